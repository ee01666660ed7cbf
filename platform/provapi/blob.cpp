// Key blobs: CryptExportKey and CryptImportKey for PUBLICKEYBLOB,
// PRIVATEKEYBLOB, SIMPLEBLOB and PLAINTEXTKEYBLOB, and the RSA encryption
// they share with CryptEncrypt / CryptDecrypt.
//
// Layouts (all integers little-endian):
//   BLOBHEADER     bType, bVersion (2), reserved (0), aiKeyAlg
//   PUBLICKEYBLOB  header, RSAPUBKEY {"RSA1", bitlen, pubexp}, modulus[bitlen/8]
//   PRIVATEKEYBLOB header, RSAPUBKEY {"RSA2", ...}, modulus[bitlen/8],
//                  prime1, prime2, exponent1, exponent2, coefficient
//                  [bitlen/16 each], privateExponent[bitlen/8]
//   SIMPLEBLOB     header, ALG_ID of the wrapping key, the RSA-encrypted
//                  session key [modulus size]
//   PLAINTEXTKEYBLOB header, DWORD key size, key bytes
// Big numbers are stored least significant byte first.
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <cstring>

#include "apiutil.h"
#include "cryptobj.h"
#include "gost.h"

namespace csp::prov {

namespace {

constexpr DWORD kRsaMinImportBits = 384;
constexpr size_t kHeader = 8;
constexpr size_t kRsaHeader = kHeader + 12;



// Appends a big-endian magnitude as `width` little-endian bytes.
bool put_le(Bytes& out, const Bytes& be, size_t width) {
  if (be.size() > width) return false;
  size_t start = out.size();
  out.resize(start + width, 0);
  for (size_t i = 0; i < be.size(); ++i) out[start + i] = be[be.size() - 1 - i];
  return true;
}

// Reads `width` little-endian bytes as a big-endian magnitude.
Bytes get_le(const BYTE* p, size_t width) {
  Bytes be(p, p + width);
  reverse_bytes(be.data(), be.size());
  return be;
}

DWORD dword_of(const Bytes& be, bool& ok) {
  ok = be.size() <= 4;
  DWORD v = 0;
  for (BYTE b : be) v = (v << 8) | b;
  return v;
}

size_t private_blob_size(DWORD bitlen) {
  size_t n = (bitlen + 7) / 8, half = (bitlen + 15) / 16;
  return kRsaHeader + n + 5 * half + n;
}

BOOL export_public(Key& k, BYTE* out, DWORD* len) {
  size_t n = k.rsa_bytes();
  if (!out) return put_bytes(nullptr, len, nullptr, kRsaHeader + n);
  RsaParts parts;
  if (!rsa_get_parts(k.pkey.get(), false, parts)) return fail(NTE_BAD_KEY);
  bool ok = false;
  DWORD e = dword_of(parts.e, ok);
  if (!ok) return fail(NTE_BAD_KEY);
  Bytes blob;
  put_blob_header(blob, PUBLICKEYBLOB, k.alg);
  put_le32(blob, RSA1_MAGIC);
  put_le32(blob, k.bitlen);
  put_le32(blob, e);
  if (!put_le(blob, parts.n, n)) return fail(NTE_BAD_KEY);
  return put_bytes(out, len, blob);
}

BOOL export_private(Key& k, BYTE* out, DWORD* len) {
  if (!k.has_private) return fail(NTE_BAD_KEY);
  if (!exportable(k)) return fail(NTE_BAD_KEY_STATE);
  size_t size = private_blob_size(k.bitlen);
  if (!out) return put_bytes(nullptr, len, nullptr, size);
  if (*len < size) {
    *len = DWORD(size);
    return fail(ERROR_MORE_DATA);
  }
  if (LONG rc = need_private(k)) return fail(rc);
  RsaParts parts;
  if (!rsa_get_parts(k.pkey.get(), true, parts)) return fail(NTE_BAD_KEY);
  bool ok = false;
  DWORD e = dword_of(parts.e, ok);
  if (!ok) return fail(NTE_BAD_KEY);
  size_t n = k.rsa_bytes(), half = (k.bitlen + 15) / 16;
  Bytes blob;
  blob.reserve(size);  // growing would leave copies of the key in freed blocks
  put_blob_header(blob, PRIVATEKEYBLOB, k.alg);
  put_le32(blob, RSA2_MAGIC);
  put_le32(blob, k.bitlen);
  put_le32(blob, e);
  ok = put_le(blob, parts.n, n) && put_le(blob, parts.p, half) && put_le(blob, parts.q, half) &&
       put_le(blob, parts.dp, half) && put_le(blob, parts.dq, half) &&
       put_le(blob, parts.qinv, half) && put_le(blob, parts.d, n);
  BOOL r = ok ? put_bytes(out, len, blob) : fail(NTE_BAD_KEY);
  wipe(blob);
  return r;
}

BOOL export_simple(Key& k, Key& wrap, bool oaep, BYTE* out, DWORD* len) {
  if (k.is_rsa() || k.hmac_only || k.secret.empty()) return fail(NTE_BAD_KEY);
  if (!exportable(k)) return fail(NTE_BAD_KEY_STATE);
  if (wrap.alg != CALG_RSA_KEYX || !wrap.pkey) return fail(NTE_BAD_KEY);
  size_t n = wrap.rsa_bytes();
  if (!out) return put_bytes(nullptr, len, nullptr, kHeader + 4 + n);
  if (*len < kHeader + 4 + n) {
    *len = DWORD(kHeader + 4 + n);
    return fail(ERROR_MORE_DATA);
  }
  Bytes enc;
  if (LONG rc = rsa_encrypt(wrap.pkey.get(), oaep, k.secret.data(), k.secret.size(), enc))
    return fail(rc);
  Bytes blob;
  put_blob_header(blob, SIMPLEBLOB, k.alg);
  put_le32(blob, wrap.alg);
  if (!put_le(blob, enc, n)) return fail(NTE_FAIL);
  return put_bytes(out, len, blob);
}

BOOL export_plain(Key& k, BYTE* out, DWORD* len) {
  if (k.is_rsa() || k.secret.empty()) return fail(NTE_BAD_KEY);
  if (!exportable(k)) return fail(NTE_BAD_KEY_STATE);
  Bytes blob;
  put_blob_header(blob, PLAINTEXTKEYBLOB, k.alg);
  put_le32(blob, DWORD(k.secret.size()));
  blob.insert(blob.end(), k.secret.begin(), k.secret.end());
  BOOL r = put_bytes(out, len, blob);
  wipe(blob);
  return r;
}

// Checks an RSA blob's RSAPUBKEY and returns the modulus size, or 0.
size_t rsa_blob_check(const BYTE* p, DWORD len, DWORD magic, bool priv, LONG& rc) {
  rc = NTE_BAD_DATA;
  if (len < kRsaHeader) return 0;
  if (get_le32(p + 8) != magic) return 0;
  DWORD bitlen = get_le32(p + 12);
  if (bitlen < kRsaMinImportBits || bitlen > kRsaMaxBits || bitlen % 8) return 0;
  size_t need = priv ? private_blob_size(bitlen) : kRsaHeader + bitlen / 8;
  if (len < need) return 0;
  DWORD e = get_le32(p + 16);
  if (e < 3 || !(e & 1)) return 0;
  rc = 0;
  return bitlen / 8;
}

Bytes be_dword(DWORD v) {
  Bytes b;
  for (int i = 3; i >= 0; --i) b.push_back(BYTE(v >> (8 * i)));
  return b;
}

LONG import_rsa(const std::shared_ptr<Provider>& prov, const BYTE* p, DWORD len, bool priv,
                DWORD flags, std::shared_ptr<Key>& out) {
  ALG_ID alg = get_le32(p + 4);
  if (!is_rsa_alg(alg)) return NTE_BAD_ALGID;
  LONG rc = 0;
  size_t n = rsa_blob_check(p, len, priv ? RSA2_MAGIC : RSA1_MAGIC, priv, rc);
  if (!n) return rc;
  DWORD bitlen = get_le32(p + 12);
  RsaParts parts;
  parts.e = be_dword(get_le32(p + 16));
  const BYTE* q = p + kRsaHeader;
  parts.n = get_le(q, n);
  if (priv) {
    size_t half = (bitlen + 15) / 16;
    q += n;
    parts.p = get_le(q, half);
    parts.q = get_le(q + half, half);
    parts.dp = get_le(q + 2 * half, half);
    parts.dq = get_le(q + 3 * half, half);
    parts.qinv = get_le(q + 4 * half, half);
    parts.d = get_le(q + 5 * half, n);
  }
  // Refuse a private key whose parts do not belong together.
  if (priv && !rsa_parts_consistent(parts)) return NTE_BAD_DATA;
  PkeyPtr pkey = rsa_from_parts(parts, priv);
  if (!pkey) return NTE_BAD_DATA;
  DWORD kept = flags & (CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_ARCHIVABLE);
  DWORD spec = 0;
  if (priv && !prov->verify_only) {
    spec = alg == CALG_RSA_KEYX ? AT_KEYEXCHANGE : AT_SIGNATURE;
    if (LONG src = store_user_key(*prov, spec, alg, kept, pkey.get())) return src;
  }
  // A public key's CRYPT_EXPORT permission is there only when asked for, as
  // on Windows; its blob leaves the provider either way.
  out = make_rsa_key(prov, alg, priv ? kept : flags & CRYPT_EXPORTABLE, std::move(pkey), priv,
                     bitlen);
  out->spec = spec;
  return 0;
}

LONG import_simple(const std::shared_ptr<Provider>& prov, const BYTE* p, DWORD len,
                   HCRYPTKEY hPubKey, DWORD flags, std::shared_ptr<Key>& out) {
  const CipherInfo* c = cipher_info(get_le32(p + 4));
  if (!c) return NTE_BAD_ALGID;
  if (len < kHeader + 4) return NTE_BAD_DATA;
  auto wrap = handle_get<Key>(hPubKey);
  if (!wrap) return NTE_BAD_KEY;
  Bytes secret;
  {
    std::lock_guard<std::mutex> lock(wrap->mu);
    if (wrap->alg != CALG_RSA_KEYX || !wrap->has_private) return NTE_BAD_KEY;
    if (get_le32(p + 8) != wrap->alg) return NTE_BAD_ALGID;
    if (len - kHeader - 4 != wrap->rsa_bytes()) return NTE_BAD_DATA;
    if (LONG rc = need_private(*wrap)) return rc;
    Bytes enc = get_le(p + kHeader + 4, len - kHeader - 4);
    if (LONG rc = rsa_decrypt(wrap->pkey.get(), flags & CRYPT_OAEP, enc.data(), enc.size(),
                              secret))
      return rc;
  }
  if (!session_key_bytes_ok(*c, secret.size())) {
    wipe(secret);
    return NTE_BAD_DATA;
  }
  out = make_session_key(prov, c->alg, flags & (CRYPT_EXPORTABLE | CRYPT_NO_SALT),
                         std::move(secret));
  return 0;
}

LONG import_plain(const std::shared_ptr<Provider>& prov, const BYTE* p, DWORD len, DWORD flags,
                  std::shared_ptr<Key>& out) {
  ALG_ID alg = get_le32(p + 4);
  if (len < kHeader + 4) return NTE_BAD_DATA;
  DWORD n = get_le32(p + 8);
  if (n == 0 || n > len - kHeader - 4) return NTE_BAD_DATA;
  const CipherInfo* c = cipher_info(alg);
  bool hmac = flags & CRYPT_IPSEC_HMAC_KEY;
  if (!c && !(hmac && (alg == CALG_RC2 || alg == CALG_RC4))) return NTE_BAD_ALGID;
  // A key of any length is accepted for HMAC use only.
  bool hmac_only = !c || !session_key_bytes_ok(*c, n);
  if (hmac_only && !hmac) return NTE_BAD_DATA;
  Bytes secret(p + kHeader + 4, p + kHeader + 4 + n);
  out = make_session_key(prov, alg, flags & (CRYPT_EXPORTABLE | CRYPT_NO_SALT), std::move(secret));
  out->hmac_only = hmac_only;
  if (hmac_only) out->permissions &= ~DWORD(CRYPT_ENCRYPT | CRYPT_DECRYPT);
  return 0;
}

}  // namespace

// ---- RSA encryption -------------------------------------------------------

size_t rsa_max_plain(DWORD k, bool oaep) {
  size_t overhead = oaep ? 2 * 20 + 2 : 11;
  return k > overhead ? k - overhead : 0;
}

namespace {

bool set_padding(EVP_PKEY_CTX* ctx, bool oaep) {
  if (!oaep) return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0;
  return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
         EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha1()) > 0 &&
         EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha1()) > 0;
}

}  // namespace

LONG rsa_encrypt(EVP_PKEY* pkey, bool oaep, const BYTE* in, size_t n, Bytes& out) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 || !set_padding(ctx.get(), oaep))
    return NTE_FAIL;
  size_t size = 0;
  if (EVP_PKEY_encrypt(ctx.get(), nullptr, &size, in, n) <= 0) return NTE_FAIL;
  out.assign(size, 0);
  if (EVP_PKEY_encrypt(ctx.get(), out.data(), &size, in, n) <= 0) return NTE_BAD_LEN;
  out.resize(size);
  return 0;
}

LONG rsa_decrypt(EVP_PKEY* pkey, bool oaep, const BYTE* in, size_t n, Bytes& out) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || !set_padding(ctx.get(), oaep))
    return NTE_FAIL;
#ifdef OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION
  // A bad ciphertext must be reported, not turned into random bytes.
  unsigned int implicit = 0;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_uint(OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION, &implicit),
      OSSL_PARAM_construct_end()};
  EVP_PKEY_CTX_set_params(ctx.get(), params);
#endif
  size_t size = 0;
  if (EVP_PKEY_decrypt(ctx.get(), nullptr, &size, in, n) <= 0) return NTE_BAD_DATA;
  out.assign(size, 0);
  if (EVP_PKEY_decrypt(ctx.get(), out.data(), &size, in, n) <= 0) {
    wipe(out);
    return NTE_BAD_DATA;
  }
  out.resize(size);
  return 0;
}

}  // namespace csp::prov

using namespace csp;
using namespace csp::prov;

extern "C" CSPAPI BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType,
                                             DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto k = handle_get<Key>(hKey);
    if (!k) return fail(NTE_BAD_KEY);
    if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~DWORD(CRYPT_OAEP)) return fail(NTE_BAD_FLAGS);
    std::shared_ptr<Key> wrap;
    if (hExpKey) {
      wrap = handle_get<Key>(hExpKey);
      if (!wrap) return fail(NTE_BAD_KEY);
      if (wrap == k) return fail(NTE_BAD_KEY);
    }
    switch (dwBlobType) {
      case PUBLICKEYBLOB: {
        std::lock_guard<std::mutex> lock(k->mu);
        if (k->is_gost()) return gost::export_public(*k, pbData, pdwDataLen);
        if (!k->is_rsa()) return fail(NTE_BAD_KEY);
        return export_public(*k, pbData, pdwDataLen);
      }
      case PRIVATEKEYBLOB: {
        if (wrap && k->is_gost()) {  // GOST pairs leave only wrapped
          std::scoped_lock lock(k->mu, wrap->mu);
          return gost::export_private(*k, *wrap, pbData, pdwDataLen);
        }
        if (wrap) return fail(NTE_BAD_KEY);  // encrypted RSA private blobs are not offered
        std::lock_guard<std::mutex> lock(k->mu);
        if (!k->is_rsa()) return fail(NTE_BAD_KEY);
        return export_private(*k, pbData, pdwDataLen);
      }
      case SIMPLEBLOB: {
        if (!wrap) return fail(NTE_BAD_KEY);
        std::scoped_lock lock(k->mu, wrap->mu);
        if (wrap->alg == kCalgAgreedKey || gost::is_cipher_alg(wrap->alg))
          return gost::export_wrapped(*k, *wrap, pbData, pdwDataLen);
        return export_simple(*k, *wrap, dwFlags & CRYPT_OAEP, pbData, pdwDataLen);
      }
      case PLAINTEXTKEYBLOB: {
        if (wrap) return fail(NTE_BAD_KEY);
        std::lock_guard<std::mutex> lock(k->mu);
        return export_plain(*k, pbData, pdwDataLen);
      }
      default:
        return fail(NTE_BAD_TYPE);
    }
  });
}

extern "C" CSPAPI BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen,
                                             HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto p = handle_get<Provider>(hProv);
    if (!p) return fail(NTE_BAD_UID);
    if (!pbData || !phKey) return fail(ERROR_INVALID_PARAMETER);
    constexpr DWORD kImportFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_NO_SALT |
                                   CRYPT_OAEP | CRYPT_IPSEC_HMAC_KEY | CRYPT_ARCHIVABLE;
    if (dwFlags & ~kImportFlags) return fail(NTE_BAD_FLAGS);
    if (dwDataLen < kHeader) return fail(NTE_BAD_DATA);
    if (pbData[1] != CUR_BLOB_VERSION) return fail(NTE_BAD_VER);
    std::shared_ptr<Key> k;
    LONG rc = 0;
    // GOST blobs are told apart by the magic after their header.
    bool gost_blob = gost::import_blob(p, pbData, dwDataLen, hPubKey, dwFlags, k, rc);
    if (!gost_blob) switch (pbData[0]) {
      case PUBLICKEYBLOB:
        rc = import_rsa(p, pbData, dwDataLen, false, dwFlags, k);
        break;
      case PRIVATEKEYBLOB:
        rc = hPubKey ? NTE_BAD_KEY : import_rsa(p, pbData, dwDataLen, true, dwFlags, k);
        break;
      case SIMPLEBLOB:
        rc = import_simple(p, pbData, dwDataLen, hPubKey, dwFlags, k);
        break;
      case PLAINTEXTKEYBLOB:
        rc = import_plain(p, pbData, dwDataLen, dwFlags, k);
        break;
      default:
        rc = NTE_BAD_TYPE;
    }
    if (rc) return fail(rc);
    HCRYPTKEY h = handle_insert(k);
    if (!h) return fail(NTE_NO_MEMORY);
    *phKey = h;
    return TRUE;
  });
}
