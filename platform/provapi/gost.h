// The national algorithms of the provider: GOST R 34.10-2012 keys and
// signatures (and 34.10-2001 keys for import and verification), VKO key
// agreement, the GOST R 34.11-2012 (Streebog) hashes, and the Kuznyechik,
// Magma and 28147-89 ciphers. All the algorithms come from the GOST engine
// and provider that OpenSSL loads (gost.cpp explains how); this module only
// maps them onto CryptoAPI objects and blobs.
#ifndef CSP_PROVAPI_GOST_H
#define CSP_PROVAPI_GOST_H

#include "cryptobj.h"

namespace csp::prov {

// Provider types beside PROV_RSA_AES. On these, AT_SIGNATURE and
// AT_KEYEXCHANGE make GOST R 34.10-2012 keys of 256 or 512 bits.
constexpr DWORD kProvGost2012_256 = 80;
constexpr DWORD kProvGost2012_512 = 81;

// Algorithm identifiers.
constexpr ALG_ID kCalgGr3410El = 0x2E23;          // 34.10-2001 signature
constexpr ALG_ID kCalgGr3410_12_256 = 0x2E49;     // 34.10-2012 256 signature
constexpr ALG_ID kCalgGr3410_12_512 = 0x2E3D;     // 34.10-2012 512 signature
constexpr ALG_ID kCalgDhEl_SF = 0xAA24;           // 2001 key agreement, static
constexpr ALG_ID kCalgDhEl_Ephem = 0xAA25;        // 2001 key agreement, ephemeral
constexpr ALG_ID kCalgDh12_256_SF = 0xAA46;
constexpr ALG_ID kCalgDh12_256_Ephem = 0xAA47;
constexpr ALG_ID kCalgDh12_512_SF = 0xAA42;
constexpr ALG_ID kCalgDh12_512_Ephem = 0xAA43;
constexpr ALG_ID kCalgAgreedKey = 0xAA03;         // CALG_AGREEDKEY_ANY: a VKO result
constexpr ALG_ID kCalgGr3411_12_256 = 0x8021;     // Streebog-256
constexpr ALG_ID kCalgGr3411_12_512 = 0x8022;     // Streebog-512
constexpr ALG_ID kCalgG28147 = 0x661E;            // GOST 28147-89
constexpr ALG_ID kCalgMagma = 0x6630;             // GOST R 34.12-2015 n = 64
constexpr ALG_ID kCalgKuznyechik = 0x6631;        // GOST R 34.12-2015 n = 128

// KP_MODE value for counter mode: CTR of GOST R 34.13-2015, whose counter
// starts from the first half block of KP_IV, and CNT of 28147-89, which takes
// all 8 bytes of it.
constexpr DWORD kModeCtr = 32;

// Blob magics (the DWORD after the BLOBHEADER).
constexpr DWORD kGostPublicMagic = 0x31534F47;   // "GOS1": PUBLICKEYBLOB
constexpr DWORD kGostPrivateMagic = 0x32534F47;  // "GOS2": wrapped PRIVATEKEYBLOB
constexpr DWORD kGostWrapMagic = 0x58534F47;     // "GOSX": KExp15 SIMPLEBLOB

namespace gost {

// Whether the engine and the provider could be loaded (once per process).
bool available();
// The private library context that holds the GOST provider (and the
// default provider beside it); null when not available.
OSSL_LIB_CTX* libctx();

// Provider name of a provider type of this library, or null.
const char* provider_name(DWORD type);
// The n-th provider type this library offers (RSA first), or 0 past the end.
DWORD provider_type_at(DWORD index);

// Whether an algorithm is a GOST key pair (signature or key agreement).
bool is_pair_alg(ALG_ID alg);
// The pair algorithm of an OpenSSL GOST key kept under `spec` (AT_SIGNATURE
// or AT_KEYEXCHANGE), or 0 when it is no GOST key.
ALG_ID pair_alg_of(EVP_PKEY* pkey, DWORD spec);
// The provider type of this library for a GOST key, or 0.
DWORD provider_type_of(EVP_PKEY* pkey);
bool is_hash_alg(ALG_ID alg);
bool is_cipher_alg(ALG_ID alg);
// The digest and HMAC of the private context.
const EVP_MD* digest(ALG_ID alg);
EVP_MAC* hmac();
// The cipher of a GOST cipher algorithm in a KP_MODE, or null.
const EVP_CIPHER* cipher(ALG_ID alg, DWORD mode);
// Whether a mode pads the final block (ECB and CBC do; the stream modes
// take any length).
bool mode_pads(DWORD mode);

// CryptGenKey for a GOST pair: AT_* on a GOST provider type, or a GOST pair
// algorithm on any. Returns false when `alg` is not one of those (the caller
// goes on); otherwise `rc` is 0 or the code and `out` the key.
bool gen_key(const std::shared_ptr<Provider>& prov, ALG_ID alg, DWORD flags,
             std::shared_ptr<Key>& out, LONG& rc);

BOOL get_key_param(Key& k, DWORD param, BYTE* data, DWORD* len);

// CryptSignHash / CryptVerifySignature with a GOST key (k.mu held).
BOOL sign(Key& k, Hash& h, BYTE* sig, DWORD* len);
BOOL verify(Key& k, Hash& h, const BYTE* sig, DWORD len);

// Blobs (k.mu held; wrap.mu too when given).
BOOL export_public(Key& k, BYTE* out, DWORD* len);
BOOL export_private(Key& k, Key& wrap, BYTE* out, DWORD* len);
BOOL export_wrapped(Key& k, Key& wrap, BYTE* out, DWORD* len);
// Import of a blob that is GOST by its algorithm or magic; false when the
// blob is not (the caller goes on), else `rc` is 0 or the code.
bool import_blob(const std::shared_ptr<Provider>& prov, const BYTE* p, DWORD len,
                 HCRYPTKEY hPubKey, DWORD flags, std::shared_ptr<Key>& out, LONG& rc);

// ---- Pieces the blobs are made of (also used by the tests) ---------------

// A key pair from its parameters (the DER SEQUENCE of the public key
// parameters) and its private scalar, least significant byte first.
PkeyPtr pair_from_private(ALG_ID alg, const Bytes& params, const Bytes& scalar_le);
// A public key from its parameters and X || Y, least significant bytes first.
PkeyPtr public_from_point(ALG_ID alg, const Bytes& params, const Bytes& point_le);
// VKO GOST R 34.10-2012 (RFC 7836): the 256-bit KEK of a private key, the
// peer's public key and a UKM.
LONG vko(EVP_PKEY* own, EVP_PKEY* peer, const Bytes& ukm, Bytes& kek);
// KDF_TREE_GOSTR3411_2012_256 (RFC 7836, 4.5) with R = 1 and L = 512: 64
// bytes of a key, a label and a seed.
LONG kdf_tree(const Bytes& key, const Bytes& label, const Bytes& seed, Bytes& out);
// KExp15 / KImp15 (R 1323565.1.017) with Kuznyechik or Magma: CTR(K_enc, IV,
// K || OMAC(K_mac, IV || K)); keys of 32 bytes, the IV half a block.
LONG kexp15(ALG_ID cipher, const BYTE* k_enc, const BYTE* k_mac, const Bytes& iv,
            const Bytes& secret, Bytes& out);
LONG kimp15(ALG_ID cipher, const BYTE* k_enc, const BYTE* k_mac, const Bytes& iv, const BYTE* in,
            size_t n, Bytes& secret);

}  // namespace gost

}  // namespace csp::prov

#endif
