// Signatures: RSA PKCS#1 v1.5 over a hash object's value, with the
// DigestInfo of the hash algorithm (or without it for CRYPT_NOHASHOID, and
// always without it for CALG_SSL3_SHAMD5, OpenSSL's MD5-SHA1). The signature
// travels least significant byte first.
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
  value = h.value_bytes();
  *md = hash_digest(info->alg);
  return *md ? 0 : NTE_BAD_ALGID;
}

// The DigestInfo of an MD4 value (RFC 1320's OID 1.2.840.113549.2.4),
// before the 16 bytes of the value. OpenSSL 3.0 writes MD4's with the OID
// ...2.3, which no other implementation accepts, so an MD4 value is signed
// with this prefix and no digest named.
const BYTE kMd4DigestInfo[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                               0x86, 0xf7, 0x0d, 0x02, 0x04, 0x05, 0x00, 0x04, 0x10};

// What the RSA signature covers for a hash value: the value itself, or for
// MD4 (unless CRYPT_NOHASHOID) its DigestInfo; *with_oid says whether
// OpenSSL is to add the DigestInfo itself.
Bytes signed_bytes(ALG_ID alg, const Bytes& value, bool* with_oid) {
  if (alg != CALG_MD4 || !*with_oid) return value;
  *with_oid = false;
  Bytes out(kMd4DigestInfo, kMd4DigestInfo + sizeof kMd4DigestInfo);
  out.insert(out.end(), value.begin(), value.end());
  return out;
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
  CSP_ENTRY;
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
    bool with_oid = !(dwFlags & CRYPT_NOHASHOID);
    Bytes tbs = signed_bytes(h->alg, value, &with_oid);
    PkeyCtxPtr ctx = rsa_ctx(k->pkey.get(), true, md, with_oid);
    if (!ctx) return fail(NTE_FAIL);
    Bytes sig(size, 0);
    size_t n = sig.size();
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &n, tbs.data(), tbs.size()) <= 0 || n != size)
      return fail(NTE_FAIL);
    reverse_bytes(sig.data(), n);
    return put_bytes(pbSignature, pdwSigLen, sig);
  });
}

extern "C" CSPAPI BOOL WINAPI CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature,
                                                    DWORD dwSigLen, HCRYPTKEY hPubKey,
                                                    LPCSTR /*szDescription: not used*/,
                                                    DWORD dwFlags) {
  CSP_ENTRY;
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
    bool with_oid = !(dwFlags & CRYPT_NOHASHOID);
    Bytes tbs = signed_bytes(h->alg, value, &with_oid);
    PkeyCtxPtr ctx = rsa_ctx(k->pkey.get(), false, md, with_oid);
    if (!ctx) return fail(NTE_FAIL);
    if (EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), tbs.data(), tbs.size()) != 1)
      return fail(NTE_BAD_SIGNATURE);
    return TRUE;
  });
}
