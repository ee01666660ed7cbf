// The older algorithms of the RSA provider types: RC2, RC4, DES and MD4.
//
// OpenSSL keeps them in its legacy provider. It is loaded, with the default
// provider beside it, into a library context of this library's own, so the
// default library context that the rest of the process uses gains nothing.
// The context and the algorithm objects fetched from it live as long as the
// process (other libraries' destructors may still use keys at exit).
#include <openssl/err.h>
#include <openssl/provider.h>

#include "cryptobj.h"

namespace csp::prov {

OSSL_LIB_CTX* legacy_libctx() {
  static OSSL_LIB_CTX* const ctx = [] {
    OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
    if (c && (!OSSL_PROVIDER_load(c, "legacy") || !OSSL_PROVIDER_load(c, "default"))) c = nullptr;
    ERR_clear_error();
    return c;
  }();
  return ctx;
}

FetchedCiphers::FetchedCiphers(OSSL_LIB_CTX* ctx, const CipherName* names, size_t count) {
  for (size_t i = 0; i < count; ++i)
    ciphers_.emplace_back(names[i], ctx ? EVP_CIPHER_fetch(ctx, names[i].name, nullptr) : nullptr);
  ERR_clear_error();
}

const EVP_CIPHER* FetchedCiphers::find(ALG_ID alg, DWORD mode) const {
  for (const auto& [name, cipher] : ciphers_)
    if (name.alg == alg && name.mode == mode) return cipher;
  return nullptr;
}

const EVP_CIPHER* legacy_cipher(ALG_ID alg, DWORD mode) {
  // OpenSSL has no 8-bit CFB for RC2, so an RC2 key takes CBC and ECB only.
  static const CipherName kNames[] = {
      {CALG_DES, CRYPT_MODE_CBC, "DES-CBC"}, {CALG_DES, CRYPT_MODE_ECB, "DES-ECB"},
      {CALG_DES, CRYPT_MODE_CFB, "DES-CFB8"}, {CALG_RC2, CRYPT_MODE_CBC, "RC2-CBC"},
      {CALG_RC2, CRYPT_MODE_ECB, "RC2-ECB"}, {CALG_RC4, 0, "RC4"},
  };
  static const FetchedCiphers* const fetched = new FetchedCiphers(legacy_libctx(), kNames);
  return fetched->find(alg, alg == CALG_RC4 ? 0 : mode);  // a stream cipher: any mode names it
}

}  // namespace csp::prov
