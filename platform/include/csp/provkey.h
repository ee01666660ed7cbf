/*
 * The private key of a provider context's key pair as an OpenSSL key, for
 * the CSP's own TLS package (libsecprov), which signs its handshakes with
 * it. Not part of the CryptoAPI.
 */
#ifndef CSP_PROVKEY_H
#define CSP_PROVKEY_H

#include <openssl/evp.h>

#include "wincrypt.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A new reference to the key pair `dwKeySpec` of `hProv` (unlocked with the
 * context's PIN when it is encrypted at rest), to be freed with
 * EVP_PKEY_free; null with the last error set (NTE_BAD_UID, NTE_NO_KEY, ...). */
CSPAPI EVP_PKEY* csp_private_key(HCRYPTPROV hProv, DWORD dwKeySpec);

#ifdef __cplusplus
}
#endif

#endif
