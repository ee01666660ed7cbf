// Owning pointers to OpenSSL objects, each released by OpenSSL's own free
// function, for every library of the platform.
#ifndef CSP_COMMON_OSSLPTR_H
#define CSP_COMMON_OSSLPTR_H

#include <memory>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

namespace csp {

template <auto Free>
struct OsslFree {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
template <class T, auto Free>
using OsslPtr = std::unique_ptr<T, OsslFree<Free>>;

// Bytes OpenSSL allocated (an i2d_ encoding): OPENSSL_free is a macro.
inline void openssl_free(void* p) { OPENSSL_free(p); }
using OsslBytes = OsslPtr<unsigned char, openssl_free>;

using PkeyPtr = OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using X509Ptr = OsslPtr<X509, X509_free>;
using BnPtr = OsslPtr<BIGNUM, BN_clear_free>;  // BIGNUMs here may hold secrets
using Pkcs12Ptr = OsslPtr<PKCS12, PKCS12_free>;

// Stacks, freed with their elements (the sk_ functions are macros).
inline void free_safe_bags(STACK_OF(PKCS12_SAFEBAG)* p) { sk_PKCS12_SAFEBAG_pop_free(p, PKCS12_SAFEBAG_free); }
inline void free_pkcs7_stack(STACK_OF(PKCS7)* p) { sk_PKCS7_pop_free(p, PKCS7_free); }
using SafeBagsPtr = OsslPtr<STACK_OF(PKCS12_SAFEBAG), free_safe_bags>;
using Pkcs7StackPtr = OsslPtr<STACK_OF(PKCS7), free_pkcs7_stack>;

}  // namespace csp

#endif
