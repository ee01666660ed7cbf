// Hash objects: MD4, MD5, SHA-1, SHA-2, HMAC, CALG_MAC and the SSL3 SHAMD5
// value, their parameters, duplication and the hashing of session keys.
//
// CALG_MAC is the CBC MAC of a block cipher key: the data CBC-encrypted from
// the key's IV under PKCS #5 padding, the last cipher block its value.
// CALG_SSL3_SHAMD5 hashes no data: its 36-byte value is set with HP_HASHVAL
// and signed without a DigestInfo.
#include <openssl/core_names.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "apiutil.h"
#include "cryptobj.h"
#include "gost.h"

namespace csp::prov {

HmacTemplates::~HmacTemplates() { wipe(key); }

Hash::~Hash() {
  drop_contexts();
  secure_wipe(value, sizeof value);
}

void Hash::drop_contexts() {
  if (md) {
    // Started again on its digest, the spare keeps nothing of this hash and
    // is ready for the next hash of that algorithm. (The digest outlives the
    // context: hash_digest's digests are kept for the life of the process.)
    // A context that finds the slot taken is freed.
    EVP_MD_CTX* expected = nullptr;
    if (prov && !prov->spare_md.load(std::memory_order_relaxed) &&
        start_digest(md.get(), EVP_MD_CTX_get0_md(md.get())) &&
        prov->spare_md.compare_exchange_strong(expected, md.get()))
      md.release();
    md.reset();
  }
  if (mac) {
    HmacTemplates& t = *hmac_templates;
    std::lock_guard<std::mutex> lock(t.mu);
    for (auto& e : t.keyed) {
      if (e.alg == hmac_alg && !e.spare) {
        e.spare = std::move(mac);
        break;
      }
    }
    mac.reset();
  }
  cbc.reset();
}

DWORD Hash::size() const {
  if (alg == CALG_MAC) return cbc_block;
  const HashInfo* h = hash_info(alg == CALG_HMAC ? hmac_alg : alg);
  return h ? h->size : 0;
}

namespace {

// Starts the underlying OpenSSL object once the parameters are fixed.
LONG start(Hash& h) {
  if (h.started) return 0;
  const HashInfo* info = hash_info(h.alg == CALG_HMAC ? h.hmac_alg : h.alg);
  if (!info) return NTE_BAD_ALGID;
  if (h.alg == CALG_HMAC) {
    // The keyed context for this inner hash, made once per key and hash.
    HmacTemplates& t = *h.hmac_templates;
    std::lock_guard<std::mutex> lock(t.mu);
    HmacTemplates::Keyed* entry = nullptr;
    for (auto& e : t.keyed)
      if (e.alg == info->alg) entry = &e;
    if (entry && entry->spare) {
      // A finished context of this key: no key given restarts it keyed.
      h.mac = std::move(entry->spare);
      if (!EVP_MAC_init(h.mac.get(), nullptr, 0, nullptr)) {
        h.mac.reset();
        return NTE_FAIL;
      }
      h.started = true;
      return 0;
    }
    if (!entry) {
      EVP_MAC* mac = gost::is_hash_alg(info->alg) ? gost::hmac() : hmac_method();
      if (!mac) return NTE_FAIL;
      MacCtxPtr made(EVP_MAC_CTX_new(mac));
      if (!made) return NTE_NO_MEMORY;
      OSSL_PARAM params[] = {
          OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(info->name), 0),
          OSSL_PARAM_construct_end()};
      static const BYTE kEmpty = 0;
      const BYTE* key = t.key.empty() ? &kEmpty : t.key.data();
      if (!EVP_MAC_init(made.get(), key, t.key.size(), params)) return NTE_FAIL;
      t.keyed.push_back({info->alg, std::move(made), nullptr});
      entry = &t.keyed.back();
    }
    h.mac.reset(EVP_MAC_CTX_dup(entry->keyed.get()));
    if (!h.mac) return NTE_NO_MEMORY;
  } else {
    const EVP_MD* md = hash_digest(info->alg);
    if (!md) return NTE_FAIL;
    // The provider context's spare digest context, when there is one, is
    // already started on its digest.
    h.md.reset(h.prov->spare_md.exchange(nullptr));
    if (!h.md || EVP_MD_CTX_get0_md(h.md.get()) != md) {
      if (!h.md) h.md.reset(EVP_MD_CTX_new());
      if (!h.md) return NTE_NO_MEMORY;
      if (!start_digest(h.md.get(), md)) return NTE_FAIL;
    }
  }
  h.started = true;
  return 0;
}

std::shared_ptr<Hash> get_hash(HCRYPTHASH h) { return handle_get<Hash>(h); }

// A CALG_MAC hash of a block cipher key (caller holds k.mu). The key's
// cipher state is its own: the MAC has a context of its own from the IV.
LONG start_cbc_mac(Hash& h, const Key& k) {
  const CipherInfo* c = cipher_info(k.alg);
  if (!c || c->block == 0 || k.hmac_only || k.secret.empty()) return NTE_BAD_KEY;
  if (LONG rc = cipher_context(k, CRYPT_MODE_CBC, true, h.cbc)) return rc;
  EVP_CIPHER_CTX_set_padding(h.cbc.get(), 1);
  h.cbc_block = c->block;
  h.started = true;
  return 0;
}

// Encrypts into a scratch buffer: only the final (padded) block counts.
LONG cbc_mac_update(Hash& h, const BYTE* data, size_t n) {
  BYTE out[4096 + 32];
  LONG rc = 0;
  while (n && !rc) {
    size_t chunk = std::min<size_t>(n, 4096);
    int outl = 0;
    if (!EVP_EncryptUpdate(h.cbc.get(), out, &outl, data, int(chunk))) rc = NTE_FAIL;
    data += chunk;
    n -= chunk;
  }
  OPENSSL_cleanse(out, sizeof out);
  return rc;
}

}  // namespace

LONG Hash::update(const BYTE* data, size_t n) {
  if (finished) return NTE_BAD_HASH_STATE;
  if (alg == CALG_SSL3_SHAMD5) return NTE_BAD_ALGID;
  if (cbc) return cbc_mac_update(*this, data, n);
  if (LONG rc = start(*this)) return rc;
  if (n == 0) return 0;
  int ok = mac ? EVP_MAC_update(mac.get(), data, n) : EVP_DigestUpdate(md.get(), data, n);
  return ok ? 0 : NTE_FAIL;
}

LONG Hash::finish() {
  if (finished) return 0;
  if (alg == CALG_SSL3_SHAMD5) return NTE_BAD_HASH_STATE;  // no value set yet
  if (cbc) {
    // A block is at most 16 bytes: the final one fits the value.
    int outl = 0;
    if (!EVP_EncryptFinal_ex(cbc.get(), value, &outl) || outl != int(cbc_block)) {
      secure_wipe(value, sizeof value);
      return NTE_FAIL;
    }
    value_len = DWORD(outl);
  } else {
    if (LONG rc = start(*this)) return rc;
    if (mac) {
      size_t n = 0;
      if (!EVP_MAC_final(mac.get(), value, &n, sizeof value)) return NTE_FAIL;
      value_len = DWORD(n);
    } else {
      unsigned int n = 0;
      if (!EVP_DigestFinal_ex(md.get(), value, &n)) return NTE_FAIL;
      value_len = n;
    }
  }
  finished = true;
  drop_contexts();
  return 0;
}

LONG hash_feed(Hash& h, const BYTE* data, size_t n) {
  std::lock_guard<std::mutex> lock(h.mu);
  return h.update(data, n);
}

}  // namespace csp::prov

using namespace csp;
using namespace csp::prov;

extern "C" CSPAPI BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey,
                                              DWORD dwFlags, HCRYPTHASH* phHash) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto p = handle_get<Provider>(hProv);
    if (!p) return fail(NTE_BAD_UID);
    if (!phHash) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    auto h = std::make_shared<Hash>();
    h->prov = std::move(p);
    h->alg = Algid;
    if (Algid == CALG_MAC) {
      auto k = handle_get<Key>(hKey);
      if (!k) return fail(NTE_BAD_KEY);
      std::lock_guard<std::mutex> lock(k->mu);
      if (LONG rc = start_cbc_mac(*h, *k)) return fail(rc);
    } else if (Algid == CALG_HMAC) {
      auto k = handle_get<Key>(hKey);
      if (!k) return fail(NTE_BAD_KEY);
      std::lock_guard<std::mutex> lock(k->mu);
      if (k->is_rsa() || k->secret.empty()) return fail(NTE_BAD_KEY);
      if (!(k->permissions & CRYPT_MAC)) return fail(NTE_PERM);
      if (!k->hmac_templates || k->hmac_templates->key != k->secret)
        k->hmac_templates = std::make_shared<HmacTemplates>(k->secret);
      h->hmac_templates = k->hmac_templates;
    } else {
      if (!hash_info(Algid)) return fail(NTE_BAD_ALGID);
      if (hKey != 0) return fail(NTE_BAD_KEY);
      if (LONG rc = start(*h)) return fail(rc);  // checks the digest is there
    }
    HCRYPTHASH handle = handle_insert(std::move(h));
    if (!handle) return fail(NTE_NO_MEMORY);
    *phHash = handle;
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData,
                                            DWORD dwDataLen, DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto h = get_hash(hHash);
    if (!h) return fail(NTE_BAD_HASH);
    // CRYPT_USERDATA (data a user typed) changes nothing for a software CSP.
    if (dwFlags & ~DWORD(CRYPT_USERDATA)) return fail(NTE_BAD_FLAGS);
    if (!pbData && dwDataLen) return fail(ERROR_INVALID_PARAMETER);
    if (LONG rc = hash_feed(*h, pbData, dwDataLen)) return fail(rc);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                                DWORD* pdwDataLen, DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto h = get_hash(hHash);
    if (!h) return fail(NTE_BAD_HASH);
    if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    std::lock_guard<std::mutex> lock(h->mu);
    switch (dwParam) {
      case HP_ALGID:
        return put_dword(pbData, pdwDataLen, h->alg);
      case HP_HASHSIZE:
        return put_dword(pbData, pdwDataLen, h->size());
      case HP_HASHVAL:
        // A size query leaves the hash open; reading the value finishes it.
        if (!pbData) return put_bytes(nullptr, pdwDataLen, nullptr, h->size());
        if (*pdwDataLen < h->size()) {
          *pdwDataLen = h->size();
          return fail(ERROR_MORE_DATA);
        }
        if (LONG rc = h->finish()) return fail(rc);
        return put_bytes(pbData, pdwDataLen, h->value, h->value_len);
      default:
        return fail(NTE_BAD_TYPE);
    }
  });
}

extern "C" CSPAPI BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam,
                                                const BYTE* pbData, DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto h = get_hash(hHash);
    if (!h) return fail(NTE_BAD_HASH);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    if (!pbData) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(h->mu);
    switch (dwParam) {
      case HP_HASHVAL: {
        // Sets the value of a hash computed elsewhere, for signing.
        DWORD n = h->size();
        if (n == 0 || n > sizeof h->value) return fail(NTE_BAD_ALGID);
        h->drop_contexts();
        h->started = true;
        h->finished = true;
        std::memcpy(h->value, pbData, n);
        h->value_len = n;
        return TRUE;
      }
      case HP_HMAC_INFO: {
        if (h->alg != CALG_HMAC) return fail(NTE_BAD_TYPE);
        if (h->started) return fail(NTE_BAD_HASH_STATE);
        HMAC_INFO info;
        std::memcpy(&info, pbData, sizeof info);
        if (!hash_info(info.HashAlgid)) return fail(NTE_BAD_ALGID);
        // Only the standard HMAC pads are supported.
        if (info.cbInnerString != 0 || info.cbOuterString != 0) return fail(NTE_BAD_DATA);
        h->hmac_alg = info.HashAlgid;
        return TRUE;
      }
      default:
        return fail(NTE_BAD_TYPE);
    }
  });
}

extern "C" CSPAPI BOOL WINAPI CryptDuplicateHash(HCRYPTHASH hHash, DWORD* pdwReserved,
                                                 DWORD dwFlags, HCRYPTHASH* phHash) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto h = get_hash(hHash);
    if (!h) return fail(NTE_BAD_HASH);
    if (pdwReserved || !phHash) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    auto d = std::make_shared<Hash>();
    {
      std::lock_guard<std::mutex> lock(h->mu);
      d->prov = h->prov;
      d->alg = h->alg;
      d->hmac_alg = h->hmac_alg;
      d->hmac_templates = h->hmac_templates;
      d->started = h->started;
      d->finished = h->finished;
      std::memcpy(d->value, h->value, h->value_len);
      d->value_len = h->value_len;
      d->cbc_block = h->cbc_block;
      if (h->cbc) {
        d->cbc.reset(EVP_CIPHER_CTX_new());
        if (!d->cbc || !EVP_CIPHER_CTX_copy(d->cbc.get(), h->cbc.get())) return fail(NTE_NO_MEMORY);
      }
      if (h->md) {
        d->md.reset(EVP_MD_CTX_new());
        if (!d->md || !EVP_MD_CTX_copy_ex(d->md.get(), h->md.get())) return fail(NTE_NO_MEMORY);
      }
      if (h->mac) {
        d->mac.reset(EVP_MAC_CTX_dup(h->mac.get()));
        if (!d->mac) return fail(NTE_NO_MEMORY);
      }
    }
    HCRYPTHASH handle = handle_insert(std::move(d));
    if (!handle) return fail(NTE_NO_MEMORY);
    *phHash = handle;
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (handle_release(hHash, Kind::Hash) == Drop::Invalid) return fail(NTE_BAD_HASH);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CryptHashSessionKey(HCRYPTHASH hHash, HCRYPTKEY hKey,
                                                  DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto h = get_hash(hHash);
    if (!h) return fail(NTE_BAD_HASH);
    auto k = handle_get<Key>(hKey);
    if (!k) return fail(NTE_BAD_KEY);
    if (dwFlags & ~DWORD(CRYPT_LITTLE_ENDIAN)) return fail(NTE_BAD_FLAGS);
    Bytes bytes;
    {
      std::lock_guard<std::mutex> lock(k->mu);
      if (k->is_rsa() || k->secret.empty()) return fail(NTE_BAD_KEY);
      bytes = k->secret;
    }
    // The key's bytes as a key blob carries them are its little-endian form;
    // the default big-endian form is that sequence reversed.
    if (!(dwFlags & CRYPT_LITTLE_ENDIAN)) reverse_bytes(bytes.data(), bytes.size());
    LONG rc = hash_feed(*h, bytes.data(), bytes.size());
    wipe(bytes);
    return rc ? fail(rc) : TRUE;
  });
}
