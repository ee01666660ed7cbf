// CryptEncrypt and CryptDecrypt: AES, 3DES and DES in CBC, ECB and CFB-8,
// RC2 in CBC and ECB, with PKCS #5 padding on the final call, and the stream
// cipher RC4, streamed over several calls; RSA PKCS#1 v1.5 or OAEP with the
// key exchange key.
//
// A sequence of calls keeps its cipher state in the key. Calls before the
// final one must carry whole blocks and give back as many bytes as they
// take: nothing is held back between calls. The final call pads (encrypt)
// or checks and removes the padding (decrypt), and the next sequence starts
// again from the key's configured IV. The GOST ciphers in their stream modes
// (CFB, OFB, counter) take a final call of any length and do not pad.
#include <openssl/core_names.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "apiutil.h"
#include "cryptobj.h"
#include "gost.h"

namespace csp::prov {

namespace {

bool pads(const Key& k) {
  if (k.block_bytes() == 0) return false;  // RC4
  return !gost::is_cipher_alg(k.alg) || gost::mode_pads(k.mode);
}

LONG check_hash_open(const std::shared_ptr<Hash>& h) {
  if (!h) return 0;
  std::lock_guard<std::mutex> lock(h->mu);
  return h->finished ? NTE_BAD_HASH_STATE : 0;
}

// AES contexts start a new sequence from the key's IV without a new key
// schedule (OpenSSL's init without a key resets the chaining state).
bool restartable(const Key& k) {
  return k.alg == CALG_AES_128 || k.alg == CALG_AES_192 || k.alg == CALG_AES_256;
}

LONG start_stream(Key& k, bool encrypt) {
  if (k.stream && k.stream_encrypt == encrypt) return 0;
  if (!k.stream && k.finished && k.finished_encrypt == encrypt) {
    const BYTE* iv = k.mode == CRYPT_MODE_ECB || k.iv.empty() ? nullptr : k.iv.data();
    if (EVP_CipherInit_ex2(k.finished.get(), nullptr, nullptr, iv, encrypt ? 1 : 0, nullptr) &&
        EVP_CIPHER_CTX_set_padding(k.finished.get(), 0)) {
      k.stream = std::move(k.finished);
      k.stream_encrypt = encrypt;
      return 0;
    }
    k.finished.reset();
  }
  CipherCtxPtr ctx;
  if (LONG rc = cipher_context(k, k.mode, encrypt, ctx)) return rc;
  k.stream = std::move(ctx);
  k.stream_encrypt = encrypt;
  return 0;
}

// Ends the running sequence; the next starts from the IV.
void end_stream(Key& k) {
  if (restartable(k) && k.stream) {
    k.finished = std::move(k.stream);
    k.finished_encrypt = k.stream_encrypt;
  }
  k.stream.reset();
}

LONG run_stream(Key& k, BYTE* data, size_t n) {
  if (n == 0) return 0;
  int outl = 0;
  if (!EVP_CipherUpdate(k.stream.get(), data, &outl, data, int(n)) || size_t(outl) != n) {
    k.stream.reset();
    return NTE_FAIL;
  }
  return 0;
}

// Checks PKCS #5 padding without branching on the padding bytes; returns the
// pad length, or 0 when the padding is bad.
size_t check_padding(const BYTE* data, size_t n, size_t bs) {
  BYTE pad = data[n - 1];
  unsigned bad = (pad == 0) | (pad > bs);
  for (size_t i = 0; i < bs; ++i) {
    unsigned in_pad = i < pad;
    bad |= in_pad & (data[n - 1 - i] != pad);
  }
  return bad ? 0 : pad;
}

BOOL rsa_encrypt_call(Key& k, const std::shared_ptr<Hash>& h, DWORD flags, BYTE* data,
                      DWORD* len, DWORD buflen) {
  if (k.alg != CALG_RSA_KEYX) return fail(NTE_BAD_KEY);
  bool oaep = flags & CRYPT_OAEP;
  DWORD size = k.rsa_bytes();
  if (!data) return put_bytes(nullptr, len, nullptr, size);
  if (*len > rsa_max_plain(size, oaep)) return fail(NTE_BAD_LEN);
  if (buflen < size) {
    *len = size;
    return fail(ERROR_MORE_DATA);
  }
  if (LONG rc = check_hash_open(h)) return fail(rc);
  Bytes out;
  if (LONG rc = rsa_encrypt(k.pkey.get(), oaep, data, *len, out)) return fail(rc);
  if (out.size() != size) return fail(NTE_FAIL);
  if (h) {
    if (LONG rc = hash_feed(*h, data, *len)) return fail(rc);
  }
  reverse_bytes(out.data(), out.size());
  std::memcpy(data, out.data(), size);
  *len = size;
  return TRUE;
}

BOOL rsa_decrypt_call(Key& k, const std::shared_ptr<Hash>& h, DWORD flags, BYTE* data,
                      DWORD* len) {
  if (k.alg != CALG_RSA_KEYX || !k.has_private) return fail(NTE_BAD_KEY);
  if (*len != k.rsa_bytes()) return fail(NTE_BAD_DATA);
  if (LONG rc = check_hash_open(h)) return fail(rc);
  if (LONG rc = need_private(k)) return fail(rc);
  Bytes in(data, data + *len);
  reverse_bytes(in.data(), in.size());
  Bytes out;
  if (LONG rc = rsa_decrypt(k.pkey.get(), flags & CRYPT_OAEP, in.data(), in.size(), out))
    return fail(rc);
  std::memcpy(data, out.data(), out.size());
  *len = DWORD(out.size());
  wipe(out);
  if (h) {
    if (LONG rc = hash_feed(*h, data, *len)) return fail(rc);
  }
  return TRUE;
}

}  // namespace

// The cipher's key is the key's bytes, K1 again after a two-key 3DES key
// (run as three-key 3DES with K3 = K1), and the salt after an RC2 or RC4
// key. RC2's effective key length is the key's own length in bits (salt
// not counted) unless KP_EFFECTIVE_KEYLEN set another.
LONG cipher_context(const Key& k, DWORD mode, bool encrypt, CipherCtxPtr& out) {
  const EVP_CIPHER* cipher = cipher_for(k.alg, mode);
  if (!cipher) return NTE_BAD_ALGID;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return NTE_NO_MEMORY;
  Bytes key = k.secret;
  if (k.alg == CALG_3DES_112) key.insert(key.end(), k.secret.begin(), k.secret.begin() + 8);
  if (variable_key(k.alg)) key.insert(key.end(), k.salt.begin(), k.salt.end());
  size_t key_len = key.size();
  size_t bits = k.effective_bits ? k.effective_bits : k.secret.size() * 8;
  OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_KEYLEN, &key_len),
                         OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_RC2_KEYBITS, &bits),
                         OSSL_PARAM_construct_end()};
  if (k.alg != CALG_RC2) params[1] = OSSL_PARAM_construct_end();
  if (!variable_key(k.alg)) params[0] = OSSL_PARAM_construct_end();
  const BYTE* iv = mode == CRYPT_MODE_ECB || k.iv.empty() ? nullptr : k.iv.data();
  // The lengths are set before the key: the key schedule depends on them.
  int ok = EVP_CipherInit_ex2(ctx.get(), cipher, nullptr, nullptr, encrypt ? 1 : 0, params) &&
           EVP_CipherInit_ex2(ctx.get(), nullptr, key.data(), iv, encrypt ? 1 : 0, nullptr);
  wipe(key);
  if (!ok) return NTE_FAIL;
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  out = std::move(ctx);
  return 0;
}

}  // namespace csp::prov

using namespace csp;
using namespace csp::prov;

extern "C" CSPAPI BOOL WINAPI CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                           DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                                           DWORD dwBufLen) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto k = handle_get<Key>(hKey);
    if (!k) return fail(NTE_BAD_KEY);
    std::shared_ptr<Hash> h;
    if (hHash) {
      h = handle_get<Hash>(hHash);
      if (!h) return fail(NTE_BAD_HASH);
    }
    if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(k->mu);
    if (!(k->permissions & CRYPT_ENCRYPT)) return fail(NTE_PERM);
    if (k->is_rsa()) {
      if (dwFlags & ~DWORD(CRYPT_OAEP)) return fail(NTE_BAD_FLAGS);
      return rsa_encrypt_call(*k, h, dwFlags, pbData, pdwDataLen, dwBufLen);
    }
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    if (k->hmac_only || k->secret.empty()) return fail(NTE_BAD_KEY);
    DWORD bs = std::max<DWORD>(k->block_bytes(), 1);
    DWORD n = *pdwDataLen;
    if (!Final && n % bs) return fail(NTE_BAD_DATA);
    bool pad = pads(*k);
    uint64_t need = Final && pad ? (uint64_t(n) / bs + 1) * bs : n;
    if (need > 0xFFFFFFFFu) return fail(NTE_BAD_LEN);
    if (!pbData) return put_bytes(nullptr, pdwDataLen, nullptr, size_t(need));
    if (dwBufLen < need) {
      *pdwDataLen = DWORD(need);
      return fail(ERROR_MORE_DATA);
    }
    if (LONG rc = check_hash_open(h)) return fail(rc);
    if (h) {
      if (LONG rc = hash_feed(*h, pbData, n)) return fail(rc);
    }
    if (LONG rc = start_stream(*k, true)) return fail(rc);
    if (Final && pad) std::memset(pbData + n, BYTE(need - n), size_t(need - n));
    if (LONG rc = run_stream(*k, pbData, size_t(need))) return fail(rc);
    if (Final) end_stream(*k);
    *pdwDataLen = DWORD(need);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                           DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto k = handle_get<Key>(hKey);
    if (!k) return fail(NTE_BAD_KEY);
    std::shared_ptr<Hash> h;
    if (hHash) {
      h = handle_get<Hash>(hHash);
      if (!h) return fail(NTE_BAD_HASH);
    }
    if (!pdwDataLen || !pbData) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(k->mu);
    if (!(k->permissions & CRYPT_DECRYPT)) return fail(NTE_PERM);
    if (k->is_rsa()) {
      if (dwFlags & ~DWORD(CRYPT_OAEP)) return fail(NTE_BAD_FLAGS);
      return rsa_decrypt_call(*k, h, dwFlags, pbData, pdwDataLen);
    }
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    if (k->hmac_only || k->secret.empty()) return fail(NTE_BAD_KEY);
    DWORD bs = std::max<DWORD>(k->block_bytes(), 1);
    DWORD n = *pdwDataLen;
    bool pad = pads(*k);
    if ((n % bs && (pad || !Final)) || (Final && pad && n == 0)) return fail(NTE_BAD_DATA);
    if (LONG rc = check_hash_open(h)) return fail(rc);
    if (LONG rc = start_stream(*k, false)) return fail(rc);
    if (LONG rc = run_stream(*k, pbData, n)) return fail(rc);
    DWORD out = n;
    if (Final) end_stream(*k);
    if (Final && pad) {
      size_t pad_len = check_padding(pbData, n, bs);
      if (!pad_len) {
        OPENSSL_cleanse(pbData + n - bs, bs);
        return fail(NTE_BAD_DATA);
      }
      out = n - DWORD(pad_len);
    }
    if (h) {
      if (LONG rc = hash_feed(*h, pbData, out)) return fail(rc);
    }
    *pdwDataLen = out;
    return TRUE;
  });
}
