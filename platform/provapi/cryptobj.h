// Key and hash objects of libprovapi and the helpers the key, hash, blob,
// cipher and signature modules share.
//
// Locking: a Key or Hash carries its own mutex for its mutable state. A call
// that needs a key and a hash at once takes the key's mutex first. The
// provider's mutex (PIN state) may be taken while a key's mutex is held, never
// the other way round.
#ifndef CSP_PROVAPI_CRYPTOBJ_H
#define CSP_PROVAPI_CRYPTOBJ_H

#include <openssl/evp.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "provider.h"
#include "osslptr.h"

namespace csp::prov {

using Bytes = std::vector<BYTE>;

using csp::PkeyCtxPtr;
using csp::PkeyPtr;
using CipherCtxPtr = OsslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using MdCtxPtr = OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using MacCtxPtr = OsslPtr<EVP_MAC_CTX, EVP_MAC_CTX_free>;

// ---- Algorithms -----------------------------------------------------------

// Plain hash algorithms (not CALG_HMAC): OpenSSL name and digest size.
struct HashInfo {
  ALG_ID alg;
  const char* name;
  DWORD size;
};
const HashInfo* hash_info(ALG_ID alg);
// The OpenSSL digest of a plain hash algorithm, fetched once for the life of
// the process; null for an unknown algorithm.
const EVP_MD* hash_digest(ALG_ID alg);
// Starts `ctx` on `md` (EVP_DigestInit_ex's result). A digest of
// hash_digest's table is started by copying a context started on it once:
// EVP_DigestInit_ex asks OpenSSL's ENGINE tables for every digest it starts,
// under a process-wide write lock, which threads hashing at once queue on
// (the tables exist once the GOST engine is loaded).
bool start_digest(EVP_MD_CTX* ctx, const EVP_MD* md);
// OpenSSL's HMAC, fetched once.
EVP_MAC* hmac_method();

// Symmetric ciphers: key bytes, reported key length in bits, block bytes
// (0 for the stream cipher RC4). RC2 and RC4 keys may be shorter than their
// default key_bytes (see session_key_bytes_ok).
struct CipherInfo {
  ALG_ID alg;
  DWORD key_bytes;
  DWORD key_bits;
  DWORD block;
};
const CipherInfo* cipher_info(ALG_ID alg);
// The OpenSSL cipher for an algorithm and CryptoAPI mode, or null.
const EVP_CIPHER* cipher_for(ALG_ID alg, DWORD mode);

// RC2 and RC4 keys come in any whole number of bytes from 40 to 128 bits
// and may carry salt; every other cipher has one key length.
inline bool variable_key(ALG_ID alg) { return alg == CALG_RC2 || alg == CALG_RC4; }
inline bool session_key_bytes_ok(const CipherInfo& c, size_t n) {
  return variable_key(c.alg) ? n >= 5 && n <= 16 : n == c.key_bytes;
}

// Ciphers of a private library context by name, fetched once and kept for
// the life of the process (see hash_digest), found by algorithm and KP_MODE;
// none at all for a null context. legacy.cpp.
struct CipherName {
  ALG_ID alg;
  DWORD mode;
  const char* name;
};
class FetchedCiphers {
 public:
  template <size_t N>
  FetchedCiphers(OSSL_LIB_CTX* ctx, const CipherName (&names)[N]) : FetchedCiphers(ctx, names, N) {}
  FetchedCiphers(OSSL_LIB_CTX* ctx, const CipherName* names, size_t count);
  const EVP_CIPHER* find(ALG_ID alg, DWORD mode) const;

 private:
  std::vector<std::pair<CipherName, EVP_CIPHER*>> ciphers_;
};

// The private library context with OpenSSL's legacy provider (and the
// default provider) that RC2, RC4, DES and MD4 come from; null when it could
// not be loaded. legacy.cpp.
OSSL_LIB_CTX* legacy_libctx();
// Its cipher for RC2, RC4 or DES in a CryptoAPI mode, or null.
const EVP_CIPHER* legacy_cipher(ALG_ID alg, DWORD mode);

inline bool is_rsa_alg(ALG_ID alg) { return alg == CALG_RSA_KEYX || alg == CALG_RSA_SIGN; }
// GOST R 34.10 key pairs and agreed keys (gost.h).
bool is_gost_pair_alg(ALG_ID alg);

constexpr DWORD kRsaMinBits = 1024;
constexpr DWORD kRsaMaxBits = 16384;
constexpr DWORD kRsaGenMaxBits = 4096;
constexpr DWORD kRsaDefaultBits = 2048;
constexpr DWORD kRsaBitsStep = 8;

// ---- Blob fields ----------------------------------------------------------

// Little-endian 32-bit fields and the BLOBHEADER {type, version 2, 0, alg}
// that every key blob starts with.
inline void put_le32(Bytes& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(BYTE(v >> (8 * i)));
}
inline DWORD get_le32(const BYTE* p) {
  return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}
inline void put_blob_header(Bytes& out, BYTE type, ALG_ID alg) {
  out.push_back(type);
  out.push_back(CUR_BLOB_VERSION);
  out.push_back(0);
  out.push_back(0);
  put_le32(out, alg);
}

// ---- Keys -----------------------------------------------------------------

struct HmacTemplates;

class Key : public Object {
 public:
  static constexpr Kind kKind = Kind::Key;
  Key() : Object(kKind) {}
  ~Key() override;

  std::mutex mu;
  std::shared_ptr<Provider> prov;
  ALG_ID alg = 0;
  DWORD flags = 0;        // CRYPT_EXPORTABLE and the other creation flags kept
  DWORD permissions = 0;  // KP_PERMISSIONS
  // The context handle this key holds one API reference on (see
  // Provider::held_by_keys), released with the key; 0 for none.
  HCRYPTPROV held_prov = 0;

  // RSA and GOST key pairs.
  DWORD spec = 0;    // AT_KEYEXCHANGE / AT_SIGNATURE for a container key, else 0
  DWORD bitlen = 0;  // as generated or as the imported blob said
  PkeyPtr pkey;      // public key, or the whole pair when has_private
  bool has_private = false;
  bool locked = false;  // private half still encrypted in the container
  PkeyPtr peer;         // an agreed key: the peer's public key (pkey is the own pair)

  // Symmetric keys.
  Bytes secret;
  bool hmac_only = false;  // imported with CRYPT_IPSEC_HMAC_KEY
  // Keyed HMAC contexts of `secret`; replaced when the secret is not theirs.
  std::shared_ptr<HmacTemplates> hmac_templates;
  DWORD mode = CRYPT_MODE_CBC;
  DWORD mode_bits = 8;
  DWORD padding = PKCS5_PADDING;
  Bytes iv;    // the configured IV; each sequence starts from it
  Bytes salt;  // RC2 and RC4: appended to the key bytes for the cipher
  DWORD effective_bits = 0;  // RC2 KP_EFFECTIVE_KEYLEN; 0: the key's length

  // The running CryptEncrypt / CryptDecrypt sequence.
  CipherCtxPtr stream;
  bool stream_encrypt = false;
  // The context of the last finished sequence, kept to start the next one
  // without a new key schedule; dropped when the key's parameters change.
  CipherCtxPtr finished;
  bool finished_encrypt = false;

  bool is_rsa() const { return is_rsa_alg(alg); }
  bool is_gost() const { return is_gost_pair_alg(alg); }
  DWORD block_bytes() const;
  DWORD rsa_bytes() const { return (bitlen + 7) / 8; }
};

// Default permissions of a new key.
DWORD default_permissions(DWORD flags);
// Whether a key's secret or private half may leave the provider: made or
// imported CRYPT_EXPORTABLE, with CRYPT_EXPORT still among its permissions.
inline bool exportable(const Key& k) {
  return (k.flags & CRYPT_EXPORTABLE) && (k.permissions & CRYPT_EXPORT);
}

// A fresh session key of `alg` with `secret` as its bytes. An RC2 or RC4 key
// of 40 bits gets 11 bytes of zero salt unless `flags` has CRYPT_NO_SALT (not
// kept with the key).
std::shared_ptr<Key> make_session_key(const std::shared_ptr<Provider>& prov, ALG_ID alg,
                                      DWORD flags, Bytes secret);
// An OpenSSL context of a session key's cipher in `mode`, keyed and set to
// the key's IV, without padding (caller holds k.mu). cipher.cpp.
LONG cipher_context(const Key& k, DWORD mode, bool encrypt, CipherCtxPtr& out);
// A key object around an RSA EVP_PKEY (takes ownership).
std::shared_ptr<Key> make_rsa_key(const std::shared_ptr<Provider>& prov, ALG_ID alg, DWORD flags,
                                  PkeyPtr pkey, bool has_private, DWORD bitlen);

// Loads the key pair of `spec` from the context's container; NTE_NO_KEY when
// it holds none. An encrypted private key is left locked until first use.
LONG load_user_key(const std::shared_ptr<Provider>& prov, DWORD spec, std::shared_ptr<Key>& out);
// Makes the private half of an RSA key available (caller holds k.mu):
// unlocks it with the context's PIN when it is encrypted at rest.
LONG need_private(Key& k);
// Stores a key pair in the context's container under `spec`.
LONG store_user_key(Provider& prov, DWORD spec, ALG_ID alg, DWORD flags, EVP_PKEY* pkey);

// ---- RSA helpers ----------------------------------------------------------

struct RsaParts {
  Bytes n, e, d, p, q, dp, dq, qinv;  // big-endian magnitudes
  ~RsaParts();
};
bool rsa_get_parts(EVP_PKEY* pkey, bool with_private, RsaParts& out);
PkeyPtr rsa_from_parts(const RsaParts& parts, bool with_private);
// Whether a private key's parts belong together (cheap arithmetic checks).
bool rsa_parts_consistent(const RsaParts& parts);
DWORD rsa_bits(EVP_PKEY* pkey);
void reverse_bytes(BYTE* p, size_t n);
// RSA with PKCS#1 v1.5 or OAEP (SHA-1, MGF1-SHA-1) padding; big-endian byte
// strings. Every decryption failure is NTE_BAD_DATA.
LONG rsa_encrypt(EVP_PKEY* pkey, bool oaep, const BYTE* in, size_t n, Bytes& out);
LONG rsa_decrypt(EVP_PKEY* pkey, bool oaep, const BYTE* in, size_t n, Bytes& out);
// Largest plaintext for the padding.
size_t rsa_max_plain(DWORD modulus_bytes, bool oaep);

// ---- Container material and PINs -----------------------------------------

// Encodes a key pair for the container: plain PKCS#8, or, with a password,
// the public key plus PKCS#8 encrypted with PBES2 (AES-256-CBC, PBKDF2).
LONG encode_material(EVP_PKEY* pkey, const std::string* password, Bytes& out);
// Decodes stored material. An encrypted one without a password gives the
// public key only and sets *encrypted; a wrong password gives
// SCARD_W_WRONG_CHV.
LONG decode_material(const Bytes& material, const std::string* password, PkeyPtr& out,
                     bool* encrypted);
bool material_encrypted(const Bytes& material);

// Container record tags used by the provider.
constexpr DWORD kTagPinVerifier = 0x10;
constexpr DWORD kTagComment = 0x11;
constexpr DWORD kTagExtensions = 0x12;
constexpr DWORD kTagUsageEnd = 0x13;  // (u32 spec, FILETIME) per key pair

// The end of the private key usage period of a container's key pair; both
// halves 0xFFFFFFFF when it has none.
LONG get_usage_end(const Provider& prov, DWORD spec, FILETIME& out);
LONG set_usage_end(const Provider& prov, DWORD spec, const FILETIME& end);
// Takes one reference on `hProv` for a key of a context held by its keys.
LONG hold_context(Key& k, HCRYPTPROV hProv);

Bytes make_pin_verifier(const std::string& password);
bool check_pin_verifier(const Bytes& verifier, const std::string& password);

// The code for a protected key used without a PIN on the context.
inline LONG pin_missing_code(const Provider& p) {
  return p.silent ? NTE_SILENT_CONTEXT : SCARD_W_CANCELLED_BY_USER;
}

// ---- Hashes ---------------------------------------------------------------

// The keyed HMAC contexts of one key's secret, one per inner hash, made at
// the first HMAC of that hash and duplicated for every later one, so that a
// hash does not fetch the digest and key the MAC again. Shared by the key
// and its HMAC hashes; `mu` is a leaf lock.
//
// A finished hash gives its context back as the spare of its inner hash; the
// next hash restarts that one (OpenSSL re-keys it from its own keyed copy)
// instead of duplicating the template.
struct HmacTemplates {
  explicit HmacTemplates(const Bytes& k) : key(k) {}
  ~HmacTemplates();
  std::mutex mu;
  Bytes key;  // a copy of the key's secret, wiped with the contexts
  struct Keyed {
    ALG_ID alg;
    MacCtxPtr keyed;
    MacCtxPtr spare;  // a finished context, or null
  };
  std::vector<Keyed> keyed;
};

class Hash : public Object {
 public:
  static constexpr Kind kKind = Kind::Hash;
  Hash() : Object(kKind) {}
  ~Hash() override;

  std::mutex mu;
  std::shared_ptr<Provider> prov;
  ALG_ID alg = 0;
  ALG_ID hmac_alg = CALG_SHA1;  // CALG_HMAC: the inner hash
  std::shared_ptr<HmacTemplates> hmac_templates;  // CALG_HMAC: of the key's secret
  MdCtxPtr md;
  MacCtxPtr mac;
  // CALG_MAC: CBC encryption with the key under PKCS #5 padding; the value
  // is the last cipher block.
  CipherCtxPtr cbc;
  DWORD cbc_block = 0;
  bool started = false;   // data has gone in (HMAC parameters are fixed)
  bool finished = false;  // value computed or set; no more data
  // The value once finished: at most one digest (a CBC MAC block, the
  // 36-byte SHAMD5 value) long.
  BYTE value[EVP_MAX_MD_SIZE];
  DWORD value_len = 0;

  DWORD size() const;
  Bytes value_bytes() const { return Bytes(value, value + value_len); }
  // Both with mu held; return 0 or the code to fail with.
  LONG update(const BYTE* data, size_t n);
  LONG finish();
  // Gives the digest and MAC contexts back to their pools (with mu held).
  void drop_contexts();
};

// Hashes `n` bytes into a hash object (takes its lock).
LONG hash_feed(Hash& h, const BYTE* data, size_t n);

}  // namespace csp::prov

#endif
