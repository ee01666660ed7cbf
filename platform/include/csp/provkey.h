/*
 * A provider context's key pairs as OpenSSL keys, for the CSP's own
 * libraries: the TLS package (libsecprov) signs its handshakes with them, the
 * certificate library (libcertapi) moves them in and out of PFX files. Not
 * part of the CryptoAPI.
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

/* A new reference to the pair `dwKeySpec` of `hProv` as the context has it,
 * for its public key: a private half encrypted at rest is not unlocked (one
 * already unlocked may come with it). Null with the last error set. */
CSPAPI EVP_PKEY* csp_public_key(HCRYPTPROV hProv, DWORD dwKeySpec);

/* Loads the GOST engine, once per process; FALSE when it is not installed.
 * OpenSSL's default library context decodes GOST keys and certificates only
 * once it is loaded, so a caller about to parse such data calls this first. */
CSPAPI BOOL csp_gost_load(void);

/* The provider type that keeps an OpenSSL key pair: PROV_RSA_AES for RSA,
 * the GOST 2012-256 type for GOST R 34.10-2012 256-bit and 34.10-2001 keys,
 * the 2012-512 type for 512-bit ones; 0 for any other key. */
CSPAPI DWORD csp_key_provider_type(EVP_PKEY* pkey);

/* A context on a new container `szContainer` (its name for PP_CONTAINER) of
 * provider type `dwProvType` that lives in memory only: keys stored in it
 * are never written to disk, no other context can open it, and it goes when
 * the last reference to the context does (keys of a context made held by
 * its keys keep it). FALSE with the last error set. */
CSPAPI BOOL csp_acquire_memory_container(HCRYPTPROV* phProv, LPCSTR szContainer,
                                         DWORD dwProvType);

/* Stores a GOST key pair (private half included) in the container of `hProv`
 * under `dwKeySpec` (AT_SIGNATURE or AT_KEYEXCHANGE), encrypted with the
 * context's PIN when the container has one, and gives a handle to it.
 * `dwFlags`: CRYPT_EXPORTABLE, CRYPT_USER_PROTECTED, as for CryptImportKey.
 * FALSE with the last error set (NTE_BAD_KEY for a key that is not GOST). */
CSPAPI BOOL csp_import_key_pair(HCRYPTPROV hProv, DWORD dwKeySpec, EVP_PKEY* pkey,
                                DWORD dwFlags, HCRYPTKEY* phKey);

/* A new reference to the whole key pair of `hKey`, to be freed with
 * EVP_PKEY_free, when the key may be exported: made or imported
 * CRYPT_EXPORTABLE and CRYPT_EXPORT still among its permissions
 * (NTE_BAD_KEY_STATE otherwise). Null with the last error set. */
CSPAPI EVP_PKEY* csp_export_key_pair(HCRYPTKEY hKey);

#ifdef __cplusplus
}
#endif

#endif
