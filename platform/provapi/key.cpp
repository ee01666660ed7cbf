// Key objects: generation, the container's user keys, duplication,
// destruction, derivation from a hash, and key parameters.
#include <openssl/rand.h>

#include <cstring>

#include "apiutil.h"
#include "cryptobj.h"
#include "gost.h"

namespace csp::prov {

namespace {

constexpr DWORD kGenFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_CREATE_SALT |
                            CRYPT_NO_SALT | CRYPT_ARCHIVABLE;
constexpr DWORD kDeriveFlags = CRYPT_EXPORTABLE | CRYPT_CREATE_SALT | CRYPT_NO_SALT;
// Flags kept with a key; the others only steer its creation.
constexpr DWORD kKeptFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_ARCHIVABLE;

// Whether the key length in the upper 16 bits of the flags fits the cipher.
bool session_length_ok(const CipherInfo& c, DWORD bits) {
  if (bits == 0 || bits == c.key_bits) return true;
  if (variable_key(c.alg)) return bits % 8 == 0 && session_key_bytes_ok(c, bits / 8);
  if (c.alg == CALG_3DES) return bits == 168;
  if (c.alg == CALG_3DES_112) return bits == 112;
  if (c.alg == CALG_DES) return bits == 56;
  return false;
}

// The key bytes a session key of `bits` (0: the default) has.
size_t session_key_bytes(const CipherInfo& c, DWORD bits) {
  return variable_key(c.alg) && bits ? bits / 8 : c.key_bytes;
}

// CRYPT_CREATE_SALT gives an RC2 or RC4 key salt up to 16 bytes of key and
// salt together; its length.
size_t created_salt(const CipherInfo& c, DWORD flags, size_t key_bytes) {
  return variable_key(c.alg) && (flags & CRYPT_CREATE_SALT) ? 16 - key_bytes : 0;
}

bool is_des_family(ALG_ID alg) {
  return alg == CALG_DES || alg == CALG_3DES || alg == CALG_3DES_112;
}

LONG random_secret(size_t n, Bytes& out) {
  out.assign(n, 0);
  if (n && RAND_priv_bytes(out.data(), int(n)) != 1) return NTE_FAIL;
  return 0;
}

// DES keys carry odd parity in the low bit of every byte.
void set_des_parity(Bytes& key) {
  for (BYTE& b : key) {
    BYTE high = b & 0xFE;
    int ones = __builtin_popcount(high);
    b = BYTE(high | (ones % 2 == 0 ? 1 : 0));
  }
}

BOOL give_key(const std::shared_ptr<Key>& k, HCRYPTKEY* out) {
  HCRYPTKEY h = handle_insert(k);
  if (!h) return fail(NTE_NO_MEMORY);
  *out = h;
  return TRUE;
}

// Derives key bytes from a finished hash value: its first bytes when it is
// long enough, else (and always for an AES, 3DES or GOST cipher key from a
// hash older than SHA-2) the two 64-byte pads (0x36 and 0x5C) XORed with the
// value, each hashed with the hash's algorithm, the two digests
// concatenated. DES, two-key 3DES, RC2 and RC4 keys go by the length alone:
// from an MD5 or SHA-1 value they are its first bytes, as Windows derives
// them (its documentation has two-key 3DES expanded too; Windows does not).
LONG derive_bytes(const Bytes& value, ALG_ID hash_alg, ALG_ID key_alg, size_t need, Bytes& out) {
  bool sha2 = hash_alg == CALG_SHA_256 || hash_alg == CALG_SHA_384 || hash_alg == CALG_SHA_512;
  bool by_length = key_alg == CALG_DES || key_alg == CALG_3DES_112 || variable_key(key_alg);
  if (value.size() >= need && (sha2 || by_length)) {
    out.assign(value.begin(), value.begin() + long(need));
    return 0;
  }
  const HashInfo* info = hash_info(hash_alg);
  if (!info || value.size() > 64) return NTE_BAD_ALGID;
  BYTE pad1[64], pad2[64];
  std::memset(pad1, 0x36, sizeof pad1);
  std::memset(pad2, 0x5C, sizeof pad2);
  for (size_t i = 0; i < value.size(); ++i) {
    pad1[i] ^= value[i];
    pad2[i] ^= value[i];
  }
  BYTE d1[EVP_MAX_MD_SIZE], d2[EVP_MAX_MD_SIZE];
  unsigned n1 = 0, n2 = 0;
  const EVP_MD* md = hash_digest(info->alg);
  bool ok = md && EVP_Digest(pad1, sizeof pad1, d1, &n1, md, nullptr) &&
            EVP_Digest(pad2, sizeof pad2, d2, &n2, md, nullptr);
  OPENSSL_cleanse(pad1, sizeof pad1);
  OPENSSL_cleanse(pad2, sizeof pad2);
  if (ok) {
    out.assign(d1, d1 + n1);
    out.insert(out.end(), d2, d2 + n2);
    if (out.size() < need) ok = false;
    out.resize(need);
  }
  OPENSSL_cleanse(d1, sizeof d1);
  OPENSSL_cleanse(d2, sizeof d2);
  if (!ok) wipe(out);
  return ok ? 0 : NTE_FAIL;
}

BOOL get_key_param(Key& k, DWORD param, BYTE* data, DWORD* len) {
  if (k.is_gost()) return gost::get_key_param(k, param, data, len);
  if (k.is_rsa()) {
    switch (param) {
      case KP_ALGID:
        return put_dword(data, len, k.alg);
      case KP_KEYLEN:
      case KP_BLOCKLEN:
        return put_dword(data, len, k.bitlen);
      case KP_PERMISSIONS:
        return put_dword(data, len, k.permissions);
      case KP_SALT:
        return fail(NTE_BAD_KEY);  // a key pair has no salt
      case KP_PRIVATEKEY_USAGE_PERIOD_END: {
        FILETIME end{0xFFFFFFFFu, 0xFFFFFFFFu};
        if (k.spec && k.prov && !k.prov->verify_only) {
          if (LONG rc = get_usage_end(*k.prov, k.spec, end)) return fail(rc);
        }
        BYTE le[8];
        for (int i = 0; i < 4; ++i) {
          le[i] = BYTE(end.dwLowDateTime >> (8 * i));
          le[4 + i] = BYTE(end.dwHighDateTime >> (8 * i));
        }
        return put_bytes(data, len, le, sizeof le);
      }
      default:
        return fail(NTE_BAD_TYPE);
    }
  }
  const CipherInfo* c = cipher_info(k.alg);
  DWORD bits = k.hmac_only || !c || variable_key(k.alg) ? DWORD(k.secret.size() * 8) : c->key_bits;
  switch (param) {
    case KP_ALGID:
      return put_dword(data, len, k.alg);
    case KP_KEYLEN:
      return put_dword(data, len, bits);
    case KP_EFFECTIVE_KEYLEN:
      return put_dword(data, len, k.effective_bits ? k.effective_bits : bits);
    case KP_BLOCKLEN:
      return put_dword(data, len, c ? c->block * 8 : 0);
    case KP_PERMISSIONS:
      return put_dword(data, len, k.permissions);
    case KP_IV:
      return put_bytes(data, len, k.iv);
    case KP_SALT:
      if (!variable_key(k.alg)) return fail(NTE_BAD_KEY);
      return put_bytes(data, len, k.salt);
    case KP_MODE:
      return put_dword(data, len, k.mode);
    case KP_MODE_BITS:
      return put_dword(data, len, k.mode_bits);
    case KP_PADDING:
      return put_dword(data, len, k.padding);
    default:
      return fail(NTE_BAD_TYPE);
  }
}

DWORD read_dword(const BYTE* p) {
  DWORD v;
  std::memcpy(&v, p, 4);
  return v;
}

BOOL set_key_param(Key& k, DWORD param, const BYTE* data) {
  if (param == KP_PRIVATEKEY_USAGE_PERIOD_END) {
    // Only a key pair kept in a container has a usage period.
    if (!(k.is_rsa() || k.is_gost()) || !k.spec || !k.prov || k.prov->verify_only)
      return fail(NTE_BAD_TYPE);
    FILETIME end{read_le32(data), read_le32(data + 4)};
    if (LONG rc = set_usage_end(*k.prov, k.spec, end)) return fail(rc);
    return TRUE;
  }
  if (param == KP_PERMISSIONS) {
    DWORD v = read_dword(data);
    // A key without CRYPT_EXPORT cannot gain it, and one with it keeps it:
    // Windows ignores a request to clear it.
    if ((v & CRYPT_EXPORT) && !(k.permissions & CRYPT_EXPORT)) return fail(NTE_BAD_DATA);
    k.permissions = v | (k.permissions & CRYPT_EXPORT);
    return TRUE;
  }
  if (param == KP_SALT && !variable_key(k.alg)) return fail(NTE_BAD_KEY);
  if (k.is_rsa() || k.is_gost()) return fail(NTE_BAD_TYPE);
  switch (param) {
    case KP_IV:
      k.iv.assign(data, data + k.iv.size());
      k.stream.reset();
      return TRUE;
    case KP_SALT:
      // A new salt of the length the key's salt has (KP_SALT reports it).
      if (k.salt.empty()) return fail(NTE_BAD_DATA);
      k.salt.assign(data, data + k.salt.size());
      k.stream.reset();
      k.finished.reset();
      return TRUE;
    case KP_EFFECTIVE_KEYLEN: {
      if (k.alg != CALG_RC2) return fail(NTE_BAD_TYPE);
      DWORD v = read_dword(data);
      if (v == 0 || v > 1024) return fail(NTE_BAD_DATA);
      k.effective_bits = v;
      k.stream.reset();
      k.finished.reset();
      return TRUE;
    }
    case KP_MODE: {
      DWORD v = read_dword(data);
      if (!cipher_for(k.alg, v)) return fail(NTE_BAD_DATA);
      k.mode = v;
      k.stream.reset();
      k.finished.reset();
      return TRUE;
    }
    case KP_MODE_BITS:
      if (read_dword(data) != 8) return fail(NTE_BAD_DATA);
      k.mode_bits = 8;
      return TRUE;
    case KP_PADDING:
      if (read_dword(data) != PKCS5_PADDING) return fail(NTE_BAD_DATA);
      k.padding = PKCS5_PADDING;
      return TRUE;
    default:
      return fail(NTE_BAD_TYPE);
  }
}

}  // namespace

}  // namespace csp::prov

using namespace csp;
using namespace csp::prov;

extern "C" CSPAPI BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags,
                                          HCRYPTKEY* phKey) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto p = handle_get<Provider>(hProv);
    if (!p) return fail(NTE_BAD_UID);
    if (!phKey) return fail(ERROR_INVALID_PARAMETER);
    DWORD bits = dwFlags >> 16;
    DWORD flags = dwFlags & 0xFFFF;
    if (flags & ~kGenFlags) return fail(NTE_BAD_FLAGS);
    std::shared_ptr<Key> pair;
    LONG pair_rc = 0;
    if (gost::gen_key(p, Algid, dwFlags, pair, pair_rc))
      return pair_rc ? fail(pair_rc) : give_key(pair, phKey);

    DWORD spec = 0;
    if (Algid == AT_KEYEXCHANGE || Algid == CALG_RSA_KEYX) spec = AT_KEYEXCHANGE;
    if (Algid == AT_SIGNATURE || Algid == CALG_RSA_SIGN) spec = AT_SIGNATURE;
    if (spec) {
      if (p->verify_only) return fail(NTE_BAD_KEYSET);
      if (bits == 0) bits = kRsaDefaultBits;
      if (bits < kRsaMinBits || bits > kRsaGenMaxBits || bits % kRsaBitsStep)
        return fail(NTE_BAD_FLAGS);
      ALG_ID alg = spec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
      PkeyPtr pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(bits)));
      if (!pkey) return fail(NTE_FAIL);
      DWORD kept = flags & kKeptFlags;
      if (LONG rc = store_user_key(*p, spec, alg, kept, pkey.get())) return fail(rc);
      auto k = make_rsa_key(p, alg, kept, std::move(pkey), true, bits);
      k->spec = spec;
      return give_key(k, phKey);
    }
    const CipherInfo* c = cipher_info(Algid);
    if (!c) return fail(NTE_BAD_ALGID);
    if (!session_length_ok(*c, bits)) return fail(NTE_BAD_FLAGS);
    size_t n = session_key_bytes(*c, bits);
    Bytes secret, salt;
    if (LONG rc = random_secret(n, secret)) return fail(rc);
    if (LONG rc = random_secret(created_salt(*c, flags, n), salt)) return fail(rc);
    if (is_des_family(Algid)) set_des_parity(secret);
    auto k = make_session_key(p, Algid, flags & (kKeptFlags | CRYPT_NO_SALT), std::move(secret));
    if (!salt.empty()) k->salt = std::move(salt);
    return give_key(k, phKey);
  });
}

extern "C" CSPAPI BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec,
                                              HCRYPTKEY* phUserKey) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto p = handle_get<Provider>(hProv);
    if (!p) return fail(NTE_BAD_UID);
    if (!phUserKey) return fail(ERROR_INVALID_PARAMETER);
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return fail(NTE_BAD_KEY);
    // A verify context holds no pair: NTE_NO_KEY, as for a container
    // without one, tells the caller to generate it.
    std::shared_ptr<Key> k;
    if (LONG rc = load_user_key(p, dwKeySpec, k)) return fail(rc);
    if (LONG rc = hold_context(*k, hProv)) return fail(rc);
    return give_key(k, phUserKey);
  });
}

extern "C" CSPAPI BOOL WINAPI CryptDuplicateKey(HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags,
                                                HCRYPTKEY* phKey) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto k = handle_get<Key>(hKey);
    if (!k) return fail(NTE_BAD_KEY);
    if (pdwReserved || !phKey) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    auto d = std::make_shared<Key>();
    {
      std::lock_guard<std::mutex> lock(k->mu);
      d->prov = k->prov;
      d->alg = k->alg;
      d->flags = k->flags;
      d->permissions = k->permissions;
      d->spec = k->spec;
      d->bitlen = k->bitlen;
      if (k->held_prov) {
        if (LONG rc = hold_context(*d, k->held_prov)) return fail(rc);
      }
      if (k->pkey) {
        if (!EVP_PKEY_up_ref(k->pkey.get())) return fail(NTE_FAIL);
        d->pkey.reset(k->pkey.get());  // never changed in place: sharing is safe
      }
      if (k->peer) {
        if (!EVP_PKEY_up_ref(k->peer.get())) return fail(NTE_FAIL);
        d->peer.reset(k->peer.get());
      }
      d->has_private = k->has_private;
      d->locked = k->locked;
      d->secret = k->secret;
      d->hmac_only = k->hmac_only;
      d->mode = k->mode;
      d->mode_bits = k->mode_bits;
      d->padding = k->padding;
      d->iv = k->iv;
      d->salt = k->salt;
      d->effective_bits = k->effective_bits;
      d->stream_encrypt = k->stream_encrypt;
      if (k->stream) {
        d->stream.reset(EVP_CIPHER_CTX_new());
        if (!d->stream || !EVP_CIPHER_CTX_copy(d->stream.get(), k->stream.get()))
          return fail(NTE_NO_MEMORY);
      }
    }
    return give_key(d, phKey);
  });
}

extern "C" CSPAPI BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (handle_release(hKey, Kind::Key) == Drop::Invalid) return fail(NTE_BAD_KEY);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CryptDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData,
                                             DWORD dwFlags, HCRYPTKEY* phKey) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto p = handle_get<Provider>(hProv);
    if (!p) return fail(NTE_BAD_UID);
    auto h = handle_get<Hash>(hBaseData);
    if (!h) return fail(NTE_BAD_HASH);
    if (!phKey) return fail(ERROR_INVALID_PARAMETER);
    DWORD bits = dwFlags >> 16;
    DWORD flags = dwFlags & 0xFFFF;
    if (flags & ~kDeriveFlags) return fail(NTE_BAD_FLAGS);
    const CipherInfo* c = cipher_info(Algid);
    if (!c) return fail(NTE_BAD_ALGID);
    if (!session_length_ok(*c, bits)) return fail(NTE_BAD_FLAGS);
    size_t n = session_key_bytes(*c, bits);
    Bytes secret, salt(created_salt(*c, flags, n), 0);
    {
      std::lock_guard<std::mutex> lock(h->mu);
      if (LONG rc = h->finish()) return fail(rc);
      ALG_ID base = h->alg == CALG_HMAC ? h->hmac_alg : h->alg;
      Bytes value = h->value_bytes();
      LONG rc = derive_bytes(value, base, Algid, n, secret);
      // Created salt is the hash value's next bytes.
      for (size_t i = 0; !rc && i < salt.size() && n + i < value.size(); ++i) salt[i] = value[n + i];
      wipe(value);
      if (rc) return fail(rc);
    }
    auto k = make_session_key(p, Algid, flags & (kKeptFlags | CRYPT_NO_SALT), std::move(secret));
    if (!salt.empty()) k->salt = std::move(salt);
    return give_key(k, phKey);
  });
}

extern "C" CSPAPI BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                               DWORD* pdwDataLen, DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto k = handle_get<Key>(hKey);
    if (!k) return fail(NTE_BAD_KEY);
    if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    std::lock_guard<std::mutex> lock(k->mu);
    return get_key_param(*k, dwParam, pbData, pdwDataLen);
  });
}

extern "C" CSPAPI BOOL WINAPI CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                                               DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto k = handle_get<Key>(hKey);
    if (!k) return fail(NTE_BAD_KEY);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    if (!pbData) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(k->mu);
    return set_key_param(*k, dwParam, pbData);
  });
}
