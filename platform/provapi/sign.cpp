// Signatures: RSA PKCS#1 v1.5 over a hash object's value, with the
// DigestInfo of the hash algorithm (or without it for CRYPT_NOHASHOID). The
// signature travels least significant byte first.
#include <openssl/rsa.h>

#include "apiutil.h"
#include "cryptobj.h"
#include "gost.h"

namespace csp::prov {

namespace {

// Finishes the hash and hands back its value and digest.
LONG hash_value(Hash& h, Bytes& value, const EVP_MD** md) {
  std::lock_guard<std::mutex> lock(h.mu);
  if (h.alg == CALG_HMAC) return NTE_BAD_ALGID;
  const HashInfo* info = hash_info(h.alg);
  if (!info) return NTE_BAD_ALGID;
  if (LONG rc = h.finish()) return rc;
  value = h.value;
  *md = hash_digest(info->alg);
  return *md ? 0 : NTE_BAD_ALGID;
}

PkeyCtxPtr rsa_ctx(EVP_PKEY* pkey, bool sign, const EVP_MD* md, bool with_oid) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  if (!ctx) return nullptr;
  int ok = sign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_init(ctx.get());
  if (ok <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) return nullptr;
  if (with_oid && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0) return nullptr;
  return ctx;
}

}  // namespace

}  // namespace csp::prov

using namespace csp;
using namespace csp::prov;

extern "C" CSPAPI BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec,
                                             LPCSTR /*szDescription: not used*/, DWORD dwFlags,
                                             BYTE* pbSignature, DWORD* pdwSigLen) {
  return guarded([&]() -> BOOL {
    auto h = handle_get<Hash>(hHash);
    if (!h) return fail(NTE_BAD_HASH);
    if (!pdwSigLen) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~DWORD(CRYPT_NOHASHOID)) return fail(NTE_BAD_FLAGS);
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return fail(NTE_BAD_KEY);
    if (h->prov->verify_only) return fail(NTE_BAD_KEYSET);
    std::shared_ptr<Key> k;
    if (LONG rc = load_user_key(h->prov, dwKeySpec, k)) return fail(rc);
    std::lock_guard<std::mutex> lock(k->mu);
    if (k->is_gost()) return gost::sign(*k, *h, pbSignature, pdwSigLen);
    DWORD size = k->rsa_bytes();
    if (!pbSignature) return put_bytes(nullptr, pdwSigLen, nullptr, size);
    if (*pdwSigLen < size) {
      *pdwSigLen = size;
      return fail(ERROR_MORE_DATA);
    }
    if (LONG rc = need_private(*k)) return fail(rc);
    Bytes value;
    const EVP_MD* md = nullptr;
    if (LONG rc = hash_value(*h, value, &md)) return fail(rc);
    PkeyCtxPtr ctx = rsa_ctx(k->pkey.get(), true, md, !(dwFlags & CRYPT_NOHASHOID));
    if (!ctx) return fail(NTE_FAIL);
    Bytes sig(size, 0);
    size_t n = sig.size();
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &n, value.data(), value.size()) <= 0 || n != size)
      return fail(NTE_FAIL);
    reverse_bytes(sig.data(), n);
    return put_bytes(pbSignature, pdwSigLen, sig);
  });
}

extern "C" CSPAPI BOOL WINAPI CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature,
                                                    DWORD dwSigLen, HCRYPTKEY hPubKey,
                                                    LPCSTR /*szDescription: not used*/,
                                                    DWORD dwFlags) {
  return guarded([&]() -> BOOL {
    auto h = handle_get<Hash>(hHash);
    if (!h) return fail(NTE_BAD_HASH);
    auto k = handle_get<Key>(hPubKey);
    if (!k) return fail(NTE_BAD_KEY);
    if (!pbSignature) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~DWORD(CRYPT_NOHASHOID)) return fail(NTE_BAD_FLAGS);
    std::lock_guard<std::mutex> lock(k->mu);
    if (k->is_gost()) return gost::verify(*k, *h, pbSignature, dwSigLen);
    if (!k->is_rsa() || !k->pkey) return fail(NTE_BAD_KEY);
    if (dwSigLen != k->rsa_bytes()) return fail(NTE_BAD_SIGNATURE);
    Bytes value;
    const EVP_MD* md = nullptr;
    if (LONG rc = hash_value(*h, value, &md)) return fail(rc);
    Bytes sig(pbSignature, pbSignature + dwSigLen);
    reverse_bytes(sig.data(), sig.size());
    PkeyCtxPtr ctx = rsa_ctx(k->pkey.get(), false, md, !(dwFlags & CRYPT_NOHASHOID));
    if (!ctx) return fail(NTE_FAIL);
    if (EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), value.data(), value.size()) != 1)
      return fail(NTE_BAD_SIGNATURE);
    return TRUE;
  });
}
