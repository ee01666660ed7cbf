// Algorithm tables, key objects, RSA component helpers and the encoding of
// key pairs in a container, including their encryption under a container
// password.
//
// Stored material (StoredKey::material), first byte is the format:
//   1  plain:     PKCS#8 PrivateKeyInfo (DER)
//   2  encrypted: u32 little-endian length, SubjectPublicKeyInfo (DER) of that
//                 length, then PKCS#8 EncryptedPrivateKeyInfo (DER) made with
//                 PBES2: AES-256-CBC, PBKDF2 with HMAC-SHA-256.
// The public key is kept beside an encrypted private key so that public
// operations work without the password.
//
// PIN verifier record (kTagPinVerifier): u32 iterations, 16 bytes of salt,
// 32 bytes of PBKDF2-HMAC-SHA-256(password, salt, iterations).
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/param_build.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstring>
#include <utility>
#include <vector>

#include "apiutil.h"
#include "cryptobj.h"
#include "gost.h"

namespace csp::prov {

namespace {

// CALG_SSL3_SHAMD5 is the 36 bytes of MD5 then SHA-1 that SSL 3 and TLS 1.0
// sign without a DigestInfo: OpenSSL's MD5-SHA1, whose RSA signatures are
// made exactly so. Its value is always set, never hashed (hash.cpp).
const HashInfo kHashes[] = {
    {CALG_MD5, "MD5", 16},          {CALG_SHA1, "SHA1", 20},
    {CALG_SHA_256, "SHA256", 32},   {CALG_SHA_384, "SHA384", 48},
    {CALG_SHA_512, "SHA512", 64},   {CALG_MD4, "MD4", 16},
    {CALG_SSL3_SHAMD5, "MD5-SHA1", 36},
    {kCalgGr3411_12_256, "md_gost12_256", 32}, {kCalgGr3411_12_512, "md_gost12_512", 64},
};

const CipherInfo kCiphers[] = {
    {CALG_AES_128, 16, 128, 16}, {CALG_AES_192, 24, 192, 16}, {CALG_AES_256, 32, 256, 16},
    {CALG_3DES, 24, 192, 8},     {CALG_3DES_112, 16, 128, 8}, {CALG_DES, 8, 64, 8},
    {CALG_RC2, 16, 128, 8},      {CALG_RC4, 16, 128, 0},
    {kCalgKuznyechik, 32, 256, 16}, {kCalgMagma, 32, 256, 8}, {kCalgG28147, 32, 256, 8},
};

constexpr BYTE kFormatPlain = 1;
constexpr BYTE kFormatEncrypted = 2;
constexpr int kPbeIterations = 10000;
constexpr DWORD kVerifierIterations = 10000;
constexpr size_t kVerifierSalt = 16;
constexpr size_t kVerifierHash = 32;
// The largest PBKDF2 iteration count read back from a container (what is
// written is kPbeIterations / kVerifierIterations). The count comes from the
// file: without a bound a damaged or forged file makes one call derive keys
// for hours.
constexpr long kMaxStoredIterations = 1000000;

// Whether an encrypted key's algorithm is what encode_material writes (PBES2
// with PBKDF2), with an iteration count within bounds. Anything else (other
// PBE schemes, scrypt with its memory and time cost from the file) is refused
// before a key is derived.
bool pbe_params_ok(const X509_SIG* sig) {
  const X509_ALGOR* alg = nullptr;
  X509_SIG_get0(sig, &alg, nullptr);
  if (!alg || OBJ_obj2nid(alg->algorithm) != NID_pbes2 || !alg->parameter) return false;
  PBE2PARAM* pbe2 = static_cast<PBE2PARAM*>(
      ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter));
  if (!pbe2) return false;
  bool ok = false;
  if (pbe2->keyfunc && OBJ_obj2nid(pbe2->keyfunc->algorithm) == NID_id_pbkdf2 &&
      pbe2->keyfunc->parameter) {
    PBKDF2PARAM* kdf = static_cast<PBKDF2PARAM*>(
        ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter));
    if (kdf) {
      long iter = kdf->iter ? ASN1_INTEGER_get(kdf->iter) : -1;
      ok = iter > 0 && iter <= kMaxStoredIterations;
      PBKDF2PARAM_free(kdf);
    }
  }
  PBE2PARAM_free(pbe2);
  return ok;
}

Bytes bn_bytes(const BIGNUM* bn) {
  Bytes out(size_t(BN_num_bytes(bn)));
  if (!out.empty()) BN_bn2bin(bn, out.data());
  return out;
}

bool get_bn(EVP_PKEY* pkey, const char* name, Bytes& out) {
  BIGNUM* bn = nullptr;
  if (!EVP_PKEY_get_bn_param(pkey, name, &bn)) return false;
  out = bn_bytes(bn);
  BN_clear_free(bn);
  return true;
}

void put32(Bytes& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(BYTE(v >> (8 * i)));
}
DWORD get32(const BYTE* p) {
  return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}

}  // namespace

namespace {

struct Fetched {
  ALG_ID alg;
  EVP_MD* md;
  EVP_MD_CTX* started;  // started on md, only ever copied from; null if that failed
};

// Fetching is a name lookup in OpenSSL's tables; do it once per algorithm.
// The fetched digests are kept for the life of the process, in a table that
// is never destroyed: a static vector would be freed at exit and leave the
// digests unreachable (a leak to the leak checker), and another library's
// destructor may still hash after this one's static objects are gone.
const std::vector<Fetched>& fetched_digests() {
  static const auto* const fetched = [] {
    auto* v = new std::vector<Fetched>;
    for (const auto& h : kHashes) {
      if (gost::is_hash_alg(h.alg)) continue;
      EVP_MD* md = EVP_MD_fetch(h.alg == CALG_MD4 ? legacy_libctx() : nullptr, h.name, nullptr);
      EVP_MD_CTX* started = md ? EVP_MD_CTX_new() : nullptr;
      if (started && !EVP_DigestInit_ex(started, md, nullptr)) {
        EVP_MD_CTX_free(started);
        started = nullptr;
      }
      v->push_back({h.alg, md, started});
    }
    ERR_clear_error();
    return v;
  }();
  return *fetched;
}

}  // namespace

const EVP_MD* hash_digest(ALG_ID alg) {
  if (gost::is_hash_alg(alg)) return gost::digest(alg);
  for (const auto& d : fetched_digests())
    if (d.alg == alg) return d.md;
  return nullptr;
}

bool start_digest(EVP_MD_CTX* ctx, const EVP_MD* md) {
  for (const auto& d : fetched_digests())
    if (d.md == md && d.started) return EVP_MD_CTX_copy_ex(ctx, d.started) == 1;
  return EVP_DigestInit_ex(ctx, md, nullptr) == 1;
}

EVP_MAC* hmac_method() {
  static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  return mac;
}

const HashInfo* hash_info(ALG_ID alg) {
  for (const auto& h : kHashes)
    if (h.alg == alg) return &h;
  return nullptr;
}

const CipherInfo* cipher_info(ALG_ID alg) {
  for (const auto& c : kCiphers)
    if (c.alg == alg) return &c;
  return nullptr;
}

const EVP_CIPHER* cipher_for(ALG_ID alg, DWORD mode) {
  switch (alg) {
    case CALG_AES_128:
      return mode == CRYPT_MODE_CBC   ? EVP_aes_128_cbc()
             : mode == CRYPT_MODE_ECB ? EVP_aes_128_ecb()
             : mode == CRYPT_MODE_CFB ? EVP_aes_128_cfb8()
                                      : nullptr;
    case CALG_AES_192:
      return mode == CRYPT_MODE_CBC   ? EVP_aes_192_cbc()
             : mode == CRYPT_MODE_ECB ? EVP_aes_192_ecb()
             : mode == CRYPT_MODE_CFB ? EVP_aes_192_cfb8()
                                      : nullptr;
    case CALG_AES_256:
      return mode == CRYPT_MODE_CBC   ? EVP_aes_256_cbc()
             : mode == CRYPT_MODE_ECB ? EVP_aes_256_ecb()
             : mode == CRYPT_MODE_CFB ? EVP_aes_256_cfb8()
                                      : nullptr;
    case CALG_3DES:
    case CALG_3DES_112:  // run as three-key 3DES with K3 = K1
      return mode == CRYPT_MODE_CBC   ? EVP_des_ede3_cbc()
             : mode == CRYPT_MODE_ECB ? EVP_des_ede3_ecb()
             : mode == CRYPT_MODE_CFB ? EVP_des_ede3_cfb8()
                                      : nullptr;
    case CALG_DES:
    case CALG_RC2:
    case CALG_RC4:
      return legacy_cipher(alg, mode);
    default:
      return gost::cipher(alg, mode);
  }
}

// ---- Key objects ----------------------------------------------------------

Key::~Key() {
  if (held_prov) handle_release(held_prov, Kind::Prov);
  wipe(secret);
  wipe(iv);
  wipe(salt);
}

DWORD Key::block_bytes() const {
  if (is_rsa()) return 0;
  const CipherInfo* c = cipher_info(alg);
  return c ? c->block : 0;
}

DWORD default_permissions(DWORD flags) {
  DWORD p = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC;
  if (flags & CRYPT_EXPORTABLE) p |= CRYPT_EXPORT;
  return p;
}

std::shared_ptr<Key> make_session_key(const std::shared_ptr<Provider>& prov, ALG_ID alg,
                                      DWORD flags, Bytes secret) {
  auto k = std::make_shared<Key>();
  k->prov = prov;
  k->alg = alg;
  k->flags = flags & ~DWORD(CRYPT_NO_SALT);
  k->permissions = default_permissions(flags);
  k->secret = std::move(secret);
  const CipherInfo* c = cipher_info(alg);
  k->iv.assign(c ? c->block : 0, 0);
  if (c && c->block == 0) k->mode = 0;  // a stream cipher has no chaining mode
  if (variable_key(alg) && k->secret.size() == 5 && !(flags & CRYPT_NO_SALT))
    k->salt.assign(11, 0);
  return k;
}

std::shared_ptr<Key> make_rsa_key(const std::shared_ptr<Provider>& prov, ALG_ID alg, DWORD flags,
                                  PkeyPtr pkey, bool has_private, DWORD bitlen) {
  auto k = std::make_shared<Key>();
  k->prov = prov;
  k->alg = alg;
  k->flags = flags;
  k->permissions = default_permissions(flags);
  k->bitlen = bitlen ? bitlen : rsa_bits(pkey.get());
  k->pkey = std::move(pkey);
  k->has_private = has_private;
  return k;
}

// ---- RSA helpers ----------------------------------------------------------

RsaParts::~RsaParts() {
  for (Bytes* b : {&d, &p, &q, &dp, &dq, &qinv}) wipe(*b);
}

bool rsa_get_parts(EVP_PKEY* pkey, bool with_private, RsaParts& out) {
  if (!pkey || EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) return false;
  if (!get_bn(pkey, OSSL_PKEY_PARAM_RSA_N, out.n) || !get_bn(pkey, OSSL_PKEY_PARAM_RSA_E, out.e))
    return false;
  if (!with_private) return true;
  return get_bn(pkey, OSSL_PKEY_PARAM_RSA_D, out.d) &&
         get_bn(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1, out.p) &&
         get_bn(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2, out.q) &&
         get_bn(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1, out.dp) &&
         get_bn(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2, out.dq) &&
         get_bn(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, out.qinv);
}

PkeyPtr rsa_from_parts(const RsaParts& parts, bool with_private) {
  std::vector<BIGNUM*> bns;
  auto bn = [&](const Bytes& b) {
    BIGNUM* x = BN_bin2bn(b.data(), int(b.size()), nullptr);
    bns.push_back(x);
    return x;
  };
  PkeyPtr result;
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM* params = nullptr;
  EVP_PKEY_CTX* ctx = nullptr;
  bool ok = bld != nullptr;
  ok = ok && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn(parts.n)) &&
       OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, bn(parts.e));
  if (ok && with_private) {
    ok = OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, bn(parts.d)) &&
         OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, bn(parts.p)) &&
         OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, bn(parts.q)) &&
         OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, bn(parts.dp)) &&
         OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, bn(parts.dq)) &&
         OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, bn(parts.qinv));
  }
  if (ok) params = OSSL_PARAM_BLD_to_param(bld);
  if (params) ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* pkey = nullptr;
  if (ctx && EVP_PKEY_fromdata_init(ctx) > 0 &&
      EVP_PKEY_fromdata(ctx, &pkey, with_private ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                        params) > 0) {
    result.reset(pkey);
  }
  EVP_PKEY_CTX_free(ctx);
  // The parameter array holds copies of the private numbers: wipe them.
  for (OSSL_PARAM* q = params; q && q->key; ++q)
    if (q->data) OPENSSL_cleanse(q->data, q->data_size);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  for (BIGNUM* x : bns) BN_clear_free(x);
  return result;
}

// The arithmetic that ties an RSA private key's parts together: n = p q,
// e dp = 1 (mod p-1), e dq = 1 (mod q-1), d = dp (mod p-1), d = dq (mod q-1),
// q qinv = 1 (mod p). A key that passes decrypts and signs the same with and
// without the Chinese remainder parts. Primality is not tested: that costs
// tens of milliseconds per key, and a blob's factors are the owner's own.
bool rsa_parts_consistent(const RsaParts& parts) {
  BN_CTX* ctx = BN_CTX_secure_new();
  if (!ctx) return false;
  BN_CTX_start(ctx);
  auto get = [&](const Bytes& b) {
    BIGNUM* x = BN_CTX_get(ctx);
    if (x && !BN_bin2bn(b.data(), int(b.size()), x)) x = nullptr;
    if (x) BN_set_flags(x, BN_FLG_CONSTTIME);
    return x;
  };
  BIGNUM *n = get(parts.n), *e = get(parts.e), *d = get(parts.d), *p = get(parts.p),
         *q = get(parts.q), *dp = get(parts.dp), *dq = get(parts.dq), *qinv = get(parts.qinv);
  BIGNUM *p1 = BN_CTX_get(ctx), *q1 = BN_CTX_get(ctx), *t = BN_CTX_get(ctx);
  auto is_one_mod = [&](const BIGNUM* a, const BIGNUM* b, const BIGNUM* m) {
    return BN_mod_mul(t, a, b, m, ctx) && BN_is_one(t);
  };
  auto same_mod = [&](const BIGNUM* a, const BIGNUM* b, const BIGNUM* m) {
    return BN_nnmod(t, a, m, ctx) && BN_cmp(t, b) == 0;
  };
  bool ok = t && n && e && d && p && q && dp && dq && qinv && !BN_is_zero(p) && !BN_is_one(p) &&
            !BN_is_zero(q) && !BN_is_one(q) && BN_mul(t, p, q, ctx) && BN_cmp(t, n) == 0 &&
            BN_sub(p1, p, BN_value_one()) && BN_sub(q1, q, BN_value_one()) &&
            BN_cmp(dp, p1) < 0 && BN_cmp(dq, q1) < 0 && BN_cmp(qinv, p) < 0 &&
            is_one_mod(e, dp, p1) && is_one_mod(e, dq, q1) && same_mod(d, dp, p1) &&
            same_mod(d, dq, q1) && is_one_mod(q, qinv, p);
  BN_CTX_end(ctx);
  BN_CTX_free(ctx);
  return ok;
}

DWORD rsa_bits(EVP_PKEY* pkey) { return pkey ? DWORD(EVP_PKEY_get_bits(pkey)) : 0; }

void reverse_bytes(BYTE* p, size_t n) {
  for (size_t i = 0; i < n / 2; ++i) std::swap(p[i], p[n - 1 - i]);
}

// ---- Container material ---------------------------------------------------

bool material_encrypted(const Bytes& m) { return !m.empty() && m[0] == kFormatEncrypted; }

LONG encode_material(EVP_PKEY* pkey, const std::string* password, Bytes& out) {
  out.clear();
  PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(pkey);
  if (!p8) return NTE_FAIL;
  LONG rc = 0;
  if (!password) {
    unsigned char* der = nullptr;
    int n = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
    if (n > 0) {
      out.push_back(kFormatPlain);
      out.insert(out.end(), der, der + n);
      OPENSSL_clear_free(der, size_t(n));
    } else {
      rc = NTE_FAIL;
    }
  } else {
    unsigned char* spki = nullptr;
    int spki_len = i2d_PUBKEY(pkey, &spki);
    X509_SIG* sig = PKCS8_encrypt_ex(-1, EVP_aes_256_cbc(), password->data(),
                                     int(password->size()), nullptr, 0, kPbeIterations, p8,
                                     nullptr, nullptr);
    unsigned char* enc = nullptr;
    int enc_len = sig ? i2d_X509_SIG(sig, &enc) : -1;
    if (spki_len > 0 && enc_len > 0) {
      out.push_back(kFormatEncrypted);
      put32(out, DWORD(spki_len));
      out.insert(out.end(), spki, spki + spki_len);
      out.insert(out.end(), enc, enc + enc_len);
    } else {
      rc = NTE_FAIL;
    }
    OPENSSL_free(spki);
    OPENSSL_free(enc);
    X509_SIG_free(sig);
  }
  PKCS8_PRIV_KEY_INFO_free(p8);
  return rc;
}

LONG decode_material(const Bytes& m, const std::string* password, PkeyPtr& out,
                     bool* encrypted) {
  out.reset();
  if (encrypted) *encrypted = false;
  if (m.empty()) return NTE_KEYSET_ENTRY_BAD;
  if (m[0] == kFormatPlain) {
    const unsigned char* p = m.data() + 1;
    PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, long(m.size() - 1));
    if (!p8) return NTE_KEYSET_ENTRY_BAD;
    out.reset(decode_quietly([&] { return EVP_PKCS82PKEY(p8); }));
    PKCS8_PRIV_KEY_INFO_free(p8);
    return out ? 0 : NTE_KEYSET_ENTRY_BAD;
  }
  if (m[0] != kFormatEncrypted || m.size() < 5) return NTE_KEYSET_ENTRY_BAD;
  if (encrypted) *encrypted = true;
  DWORD spki_len = get32(&m[1]);
  if (spki_len > m.size() - 5) return NTE_KEYSET_ENTRY_BAD;
  if (!password) {
    const unsigned char* p = m.data() + 5;
    out.reset(decode_quietly([&] { return d2i_PUBKEY(nullptr, &p, long(spki_len)); }));
    return out ? 0 : NTE_KEYSET_ENTRY_BAD;
  }
  const unsigned char* p = m.data() + 5 + spki_len;
  X509_SIG* sig = d2i_X509_SIG(nullptr, &p, long(m.size() - 5 - spki_len));
  if (!sig) return NTE_KEYSET_ENTRY_BAD;
  if (!pbe_params_ok(sig)) {
    X509_SIG_free(sig);
    return NTE_KEYSET_ENTRY_BAD;
  }
  PKCS8_PRIV_KEY_INFO* p8 =
      PKCS8_decrypt_ex(sig, password->data(), int(password->size()), nullptr, nullptr);
  X509_SIG_free(sig);
  if (!p8) return SCARD_W_WRONG_CHV;
  out.reset(decode_quietly([&] { return EVP_PKCS82PKEY(p8); }));
  PKCS8_PRIV_KEY_INFO_free(p8);
  return out ? 0 : NTE_KEYSET_ENTRY_BAD;
}

Bytes make_pin_verifier(const std::string& password) {
  Bytes v;
  put32(v, kVerifierIterations);
  BYTE salt[kVerifierSalt];
  if (RAND_bytes(salt, sizeof salt) != 1) return {};
  v.insert(v.end(), salt, salt + sizeof salt);
  BYTE out[kVerifierHash];
  if (!PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), salt, sizeof salt,
                         int(kVerifierIterations), EVP_sha256(), sizeof out, out))
    return {};
  v.insert(v.end(), out, out + sizeof out);
  return v;
}

bool check_pin_verifier(const Bytes& v, const std::string& password) {
  if (v.size() != 4 + kVerifierSalt + kVerifierHash) return false;
  DWORD iter = get32(v.data());
  if (iter == 0 || iter > DWORD(kMaxStoredIterations)) return false;
  BYTE out[kVerifierHash];
  if (!PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), &v[4], kVerifierSalt, int(iter),
                         EVP_sha256(), sizeof out, out))
    return false;
  bool same = CRYPTO_memcmp(out, &v[4 + kVerifierSalt], kVerifierHash) == 0;
  OPENSSL_cleanse(out, sizeof out);
  return same;
}

// ---- Container keys -------------------------------------------------------

Provider::~Provider() {
  for (auto& [spec, k] : loaded_keys) EVP_PKEY_free(k.pkey);
  EVP_MD_CTX_free(spare_md.load());
}

void Provider::forget_loaded_key(DWORD spec) {
  std::lock_guard<std::mutex> lock(mu);
  auto it = loaded_keys.find(spec);
  if (it == loaded_keys.end()) return;
  EVP_PKEY_free(it->second.pkey);
  loaded_keys.erase(it);
}

namespace {

// Remembers a pair on its context (taking a reference of its own).
void remember_loaded_key(Provider& p, DWORD spec, ALG_ID alg, DWORD flags, EVP_PKEY* pkey,
                         bool locked) {
  if (!pkey || EVP_PKEY_up_ref(pkey) != 1) return;
  std::lock_guard<std::mutex> lock(p.mu);
  Provider::LoadedKey& slot = p.loaded_keys[spec];
  EVP_PKEY_free(slot.pkey);
  slot = {alg, flags, pkey, locked};
}

}  // namespace

LONG load_user_key(const std::shared_ptr<Provider>& prov, DWORD spec,
                   std::shared_ptr<Key>& out) {
  if (prov->verify_only) return NTE_NO_KEY;
  PkeyPtr pkey;
  ALG_ID alg = 0;
  DWORD flags = 0;
  bool encrypted = false;
  {
    std::lock_guard<std::mutex> lock(prov->mu);
    auto it = prov->loaded_keys.find(spec);
    if (it != prov->loaded_keys.end() && EVP_PKEY_up_ref(it->second.pkey) == 1) {
      pkey.reset(it->second.pkey);
      alg = it->second.alg;
      flags = it->second.flags;
      encrypted = it->second.locked;
    }
  }
  if (!pkey) {
    ContainerData c;
    if (LONG rc = prov->load_container(c)) return rc;
    auto it = c.keys.find(spec);
    if (it == c.keys.end()) return NTE_NO_KEY;
    if (LONG rc = decode_material(it->second.material, nullptr, pkey, &encrypted)) return rc;
    alg = it->second.alg;
    flags = it->second.flags;
    remember_loaded_key(*prov, spec, alg, flags, pkey.get(), encrypted);
  }
  out = make_rsa_key(prov, alg, flags, std::move(pkey), true, 0);
  out->spec = spec;
  out->locked = encrypted;
  return 0;
}

LONG need_private(Key& k) {
  if (!(k.is_rsa() || k.is_gost()) || !k.has_private) return NTE_BAD_KEY;
  if (!k.locked) return 0;
  Provider& p = *k.prov;
  SecretString pin;
  bool have_pin;
  {
    std::lock_guard<std::mutex> lock(p.mu);
    have_pin = p.pin_given;
    if (have_pin) pin.value = p.pin.value;
  }
  // The container is read again: another context may have removed or
  // changed its protection since this pair was loaded.
  ContainerData c;
  if (LONG rc = p.load_container(c)) return rc;
  auto it = c.keys.find(k.spec);
  if (it == c.keys.end()) return NTE_NO_KEY;
  if (material_encrypted(it->second.material) && !have_pin) return pin_missing_code(p);
  PkeyPtr full;
  if (LONG rc = decode_material(it->second.material, have_pin ? &pin.value : nullptr, full,
                                nullptr)) {
    return rc;
  }
  // The container may have been given a new key meanwhile.
  if (EVP_PKEY_eq(full.get(), k.pkey.get()) != 1) return NTE_BAD_KEY;
  remember_loaded_key(p, k.spec, k.alg, k.flags, full.get(), false);
  k.pkey = std::move(full);
  k.locked = false;
  return 0;
}

LONG store_user_key(Provider& prov, DWORD spec, ALG_ID alg, DWORD flags, EVP_PKEY* pkey) {
  SecretString pin;
  bool have_pin;
  {
    std::lock_guard<std::mutex> lock(prov.mu);
    have_pin = prov.pin_given;
    if (have_pin) pin.value = prov.pin.value;
  }
  // Whatever happens, the next use reads this spec's pair from the container.
  struct Forget {
    Provider& p;
    DWORD spec;
    ~Forget() { p.forget_loaded_key(spec); }
  } forget{prov, spec};
  return prov.update_container([&](ContainerData& c) -> LONG {
    auto v = c.extra.find(kTagPinVerifier);
    const std::string* password = nullptr;
    if (v != c.extra.end()) {
      if (!have_pin) return pin_missing_code(prov);
      if (!check_pin_verifier(v->second, pin.value)) return SCARD_W_WRONG_CHV;
      password = &pin.value;
    }
    StoredKey k;
    k.alg = alg;
    k.flags = flags;
    if (LONG rc = encode_material(pkey, password, k.material)) return rc;
    StoredKey& slot = c.keys[spec];
    wipe(slot.material);
    slot = std::move(k);
    // A new pair does not inherit the usage period of the one it replaces.
    auto u = c.extra.find(kTagUsageEnd);
    if (u != c.extra.end()) {
      Bytes kept;
      for (size_t i = 0; i + 12 <= u->second.size(); i += 12)
        if (read_le32(&u->second[i]) != spec)
          kept.insert(kept.end(), u->second.begin() + i, u->second.begin() + i + 12);
      u->second = std::move(kept);
    }
    return 0;
  });
}



LONG get_usage_end(const Provider& prov, DWORD spec, FILETIME& out) {
  out.dwLowDateTime = out.dwHighDateTime = 0xFFFFFFFFu;
  ContainerData c;
  if (LONG rc = prov.load_container(c)) return rc;
  auto u = c.extra.find(kTagUsageEnd);
  if (u == c.extra.end()) return 0;
  for (size_t i = 0; i + 12 <= u->second.size(); i += 12) {
    if (read_le32(&u->second[i]) != spec) continue;
    out.dwLowDateTime = read_le32(&u->second[i + 4]);
    out.dwHighDateTime = read_le32(&u->second[i + 8]);
  }
  return 0;
}

LONG set_usage_end(const Provider& prov, DWORD spec, const FILETIME& end) {
  return prov.update_container([&](ContainerData& c) -> LONG {
    if (!c.keys.count(spec)) return NTE_NO_KEY;
    Bytes& rec = c.extra[kTagUsageEnd];
    Bytes kept;
    for (size_t i = 0; i + 12 <= rec.size(); i += 12)
      if (read_le32(&rec[i]) != spec) kept.insert(kept.end(), rec.begin() + i, rec.begin() + i + 12);
    for (DWORD v : {spec, end.dwLowDateTime, end.dwHighDateTime})
      for (int b = 0; b < 4; ++b) kept.push_back(BYTE(v >> (8 * b)));
    rec = std::move(kept);
    return 0;
  });
}

LONG hold_context(Key& k, HCRYPTPROV hProv) {
  if (!k.prov || !k.prov->held_by_keys.load()) return 0;
  if (!handle_add_ref(hProv, Kind::Prov)) return NTE_BAD_UID;
  k.held_prov = hProv;
  return 0;
}

}  // namespace csp::prov
