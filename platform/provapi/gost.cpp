// The national algorithms on OpenSSL's GOST engine and provider.
//
// Loading. The GOST provider (gostprov.so) has the digests, ciphers and MACs;
// it is loaded into a private OSSL_LIB_CTX together with the default
// provider (which has HMAC and CMAC), so the default library context that the
// rest of the provider uses stays as it was. Keys and signatures exist only
// in the engine (gost.so), loaded through the "dynamic" engine by path and
// made the default for the GOST key types' methods (engines are
// process-wide; only the GOST key types are affected). Both come from
// engines-3/gost.so and ossl-modules/gostprov.so beside the CSP's libraries
// when the engine is there (the i686 build and package carry Debian's i386
// build of them, which cannot be installed beside the amd64 one), else from
// the directories of the libcrypto in use.
//
// Key pairs (algorithm, curve, bits):
//   0x2E49 signature, 0xAA46 / 0xAA47 agreement static / ephemeral:
//          GOST R 34.10-2012 256, made on id-tc26-gost-3410-2012-256-paramSetA
//   0x2E3D signature, 0xAA42 / 0xAA43 agreement:
//          GOST R 34.10-2012 512, made on id-tc26-gost-3410-12-512-paramSetC
//   0x2E23, 0xAA24 / 0xAA25: GOST R 34.10-2001, import and verify only
// Any parameter set the engine knows is accepted on import.
//
// Signatures: the engine's signature is s || r, each big-endian. This
// platform's blobs and signatures are little-endian, so CryptSignHash gives
// that string reversed: r then s, each least significant byte first, 64
// bytes for 256-bit keys and 128 for 512-bit keys. The hash value is the
// Streebog digest as OpenSSL computes it (the engine reads it as a
// little-endian number, as the standard does). A 256-bit key takes a
// Streebog-256 hash, a 512-bit key a Streebog-512 hash; a 2001 signature over
// a GOST R 34.11-94 digest verifies through a Streebog-256 hash object given
// that digest as HP_HASHVAL.
//
// PUBLICKEYBLOB (integers little-endian):
//   BLOBHEADER {PUBLICKEYBLOB, 2, 0, aiKeyAlg}
//   DWORD Magic "GOS1" (0x31534F47), DWORD BitLen (256 or 512)
//   the public key parameters as in SubjectPublicKeyInfo: DER SEQUENCE of the
//   parameter set OID and the optional digest OID
//   X then Y, BitLen/8 bytes each, least significant byte first
// Importing one with hPubKey = an own GOST key pair gives the agreed key
// (CALG_AGREEDKEY_ANY) of VKO GOST R 34.10-2012 between the two.
//
// Key wrap (KExp15 of R 1323565.1.017 with Kuznyechik). The wrapping key is
// an agreed key (KEK = VKO_GOSTR3410_2012_256 under the blob's UKM, RFC 7836)
// or a GOST cipher session key (KEK = its 32 bytes). From the KEK,
//   K_enc || K_mac = KDF_TREE_GOSTR3411_2012_256(KEK, "kexp15", UKM, L = 512)
// (RFC 7836, R = 1); then wrapped = CTR(K_enc, IV = UKM, K || OMAC(K_mac,
// UKM || K)). The UKM is 8 fresh random bytes per export.
//   SIMPLEBLOB:      BLOBHEADER {SIMPLEBLOB, 2, 0, session key alg}
//                    DWORD Magic "GOSX" (0x58534F47), ALG_ID 0x6631
//                    UKM[8], wrapped key [key bytes + 16]
//   PRIVATEKEYBLOB:  BLOBHEADER {PRIVATEKEYBLOB, 2, 0, aiKeyAlg}
//                    DWORD Magic "GOS2" (0x32534F47), DWORD BitLen,
//                    parameters (DER, as above), UKM[8],
//                    wrapped private scalar (little-endian) [BitLen/8 + 16]
// A private key is exported only when it was made or imported
// CRYPT_EXPORTABLE, and only wrapped.
#define OPENSSL_SUPPRESS_DEPRECATED  // the ENGINE interface is deprecated
#include "gost.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include "apiutil.h"

namespace csp::prov {

namespace {

// ---- Loading --------------------------------------------------------------

struct Runtime {
  ENGINE* engine = nullptr;
  OSSL_LIB_CTX* ctx = nullptr;
  EVP_MD* md256 = nullptr;
  EVP_MD* md512 = nullptr;
  EVP_MAC* hmac = nullptr;
  EVP_MAC* cmac = nullptr;
  bool ok = false;
};

// Where the engine and the provider are loaded from.
struct GostFiles {
  std::string engine;
  std::string modules;
};

// The directory libcfgsup was loaded from, which is where the CSP's
// libraries live: every library of the CSP links it, and so does a program
// that links the provider's objects directly. "" when it cannot be told.
std::string library_dir() {
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&GetLastError), &info) || !info.dli_fname) return {};
  std::string path = info.dli_fname;
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

GostFiles gost_files() {
  std::string dir = library_dir();
  if (!dir.empty() && access((dir + "/engines-3/gost.so").c_str(), R_OK) == 0)
    return {dir + "/engines-3/gost.so", dir + "/ossl-modules"};
  return {std::string(OPENSSL_info(OPENSSL_INFO_ENGINES_DIR)) + "/gost.so",
          OPENSSL_info(OPENSSL_INFO_MODULES_DIR)};
}

ENGINE* load_engine(const std::string& path) {
  ENGINE* e = ENGINE_by_id("dynamic");
  if (!e) return nullptr;
  if (!ENGINE_ctrl_cmd_string(e, "SO_PATH", path.c_str(), 0) ||
      !ENGINE_ctrl_cmd_string(e, "LOAD", nullptr, 0) || !ENGINE_init(e)) {
    ENGINE_free(e);
    return nullptr;
  }
  if (!ENGINE_set_default(e, ENGINE_METHOD_PKEY_METHS | ENGINE_METHOD_PKEY_ASN1_METHS)) {
    ENGINE_finish(e);
    ENGINE_free(e);
    return nullptr;
  }
  return e;  // both references kept for the life of the process
}

// Loaded once; never unloaded (other libraries' destructors may still use
// keys of the engine at exit).
const Runtime& runtime() {
  static const Runtime* const r = [] {
    auto* rt = new Runtime;
    rt->ctx = OSSL_LIB_CTX_new();
    if (!rt->ctx) return rt;
    GostFiles files = gost_files();
    if (!OSSL_PROVIDER_set_default_search_path(rt->ctx, files.modules.c_str()) ||
        !OSSL_PROVIDER_load(rt->ctx, "gostprov") || !OSSL_PROVIDER_load(rt->ctx, "default"))
      return rt;
    rt->md256 = EVP_MD_fetch(rt->ctx, "md_gost12_256", nullptr);
    rt->md512 = EVP_MD_fetch(rt->ctx, "md_gost12_512", nullptr);
    rt->hmac = EVP_MAC_fetch(rt->ctx, "HMAC", nullptr);
    rt->cmac = EVP_MAC_fetch(rt->ctx, "CMAC", nullptr);
    rt->engine = load_engine(files.engine);
    rt->ok = rt->md256 && rt->md512 && rt->hmac && rt->cmac && rt->engine;
    ERR_clear_error();
    return rt;
  }();
  return *r;
}

// ---- Tables ---------------------------------------------------------------

struct PairInfo {
  ALG_ID alg;
  int nid;
  DWORD bits;
  DWORD spec;     // where it lives in a container; 0 for an ephemeral pair
  bool generate;  // the 2001 pairs are only imported
};

const PairInfo kPairs[] = {
    {kCalgGr3410_12_256, NID_id_GostR3410_2012_256, 256, AT_SIGNATURE, true},
    {kCalgDh12_256_SF, NID_id_GostR3410_2012_256, 256, AT_KEYEXCHANGE, true},
    {kCalgDh12_256_Ephem, NID_id_GostR3410_2012_256, 256, 0, true},
    {kCalgGr3410_12_512, NID_id_GostR3410_2012_512, 512, AT_SIGNATURE, true},
    {kCalgDh12_512_SF, NID_id_GostR3410_2012_512, 512, AT_KEYEXCHANGE, true},
    {kCalgDh12_512_Ephem, NID_id_GostR3410_2012_512, 512, 0, true},
    {kCalgGr3410El, NID_id_GostR3410_2001, 256, AT_SIGNATURE, false},
    {kCalgDhEl_SF, NID_id_GostR3410_2001, 256, AT_KEYEXCHANGE, false},
    {kCalgDhEl_Ephem, NID_id_GostR3410_2001, 256, 0, false},
};

const PairInfo* pair_info(ALG_ID alg) {
  for (const auto& p : kPairs)
    if (p.alg == alg) return &p;
  return nullptr;
}

struct ProvInfo {
  DWORD type;
  const char* name;
};

const ProvInfo kProviders[] = {
    {PROV_RSA_AES, nullptr},   // kProviderName
    {PROV_RSA_FULL, nullptr},  // kRsaFullProviderName
    {kProvGost2012_256, "Kestrel Quill GOST R 34.10-2012 256 Provider"},
    {kProvGost2012_512, "Kestrel Quill GOST R 34.10-2012 512 Provider"},
};

constexpr size_t kUkm = 8;
constexpr size_t kMac = 16;  // Kuznyechik OMAC
constexpr size_t kMaxParams = 64;
constexpr size_t kInfoHeader = 16;  // BLOBHEADER, Magic, BitLen / ALG_ID


// The length of a short DER SEQUENCE at p (tag, one length byte, contents),
// or 0 when there is none within n bytes.
size_t params_length(const BYTE* p, size_t n) {
  if (n < 2 || p[0] != 0x30 || p[1] >= 0x80) return 0;
  size_t total = 2 + size_t(p[1]);
  return total <= n && total <= kMaxParams ? total : 0;
}

// ---- Key pieces -----------------------------------------------------------

PkeyPtr pkey_from_spki(const Bytes& der) {
  const unsigned char* p = der.data();
  return PkeyPtr(decode_quietly([&] { return d2i_PUBKEY(nullptr, &p, long(der.size())); }));
}

// The parameters and X || Y of a GOST public key.
bool split_public(EVP_PKEY* pkey, Bytes& params, Bytes& point) {
  X509_PUBKEY* xp = nullptr;
  if (!X509_PUBKEY_set(&xp, pkey)) return false;
  const unsigned char* pk = nullptr;
  int pklen = 0;
  X509_ALGOR* alg = nullptr;
  bool ok = false;
  if (X509_PUBKEY_get0_param(nullptr, &pk, &pklen, &alg, xp)) {
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(nullptr, &ptype, &pval, alg);
    ASN1_OCTET_STRING* os = d2i_ASN1_OCTET_STRING(nullptr, &pk, pklen);
    if (ptype == V_ASN1_SEQUENCE && pval && os) {
      const auto* s = static_cast<const ASN1_STRING*>(pval);
      params.assign(ASN1_STRING_get0_data(s), ASN1_STRING_get0_data(s) + ASN1_STRING_length(s));
      point.assign(ASN1_STRING_get0_data(os),
                   ASN1_STRING_get0_data(os) + ASN1_STRING_length(os));
      ok = true;
    }
    ASN1_OCTET_STRING_free(os);
  }
  X509_PUBKEY_free(xp);
  return ok;
}

// The private scalar (little-endian, as the engine encodes it in PKCS#8).
bool private_scalar(EVP_PKEY* pkey, size_t width, Bytes& out) {
  PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(pkey);
  if (!p8) return false;
  const unsigned char* pk = nullptr;
  int pklen = 0;
  bool ok = PKCS8_pkey_get0(nullptr, &pk, &pklen, nullptr, p8) && size_t(pklen) == width;
  if (ok) out.assign(pk, pk + pklen);
  PKCS8_PRIV_KEY_INFO_free(p8);
  return ok;
}

// An ASN1_STRING holding the DER parameters, for an AlgorithmIdentifier.
ASN1_STRING* params_string(const Bytes& params) {
  ASN1_STRING* s = ASN1_STRING_new();
  if (s && !ASN1_STRING_set(s, params.data(), int(params.size()))) {
    ASN1_STRING_free(s);
    return nullptr;
  }
  return s;
}

LONG new_pair(const PairInfo& pi, PkeyPtr& out) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(pi.nid, runtime().engine));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0) return NTE_FAIL;
  const char* set = pi.bits == 512 ? "C" : "TCA";
  if (EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", set) <= 0) return NTE_FAIL;
  EVP_PKEY* pkey = nullptr;
  if (EVP_PKEY_keygen(ctx.get(), &pkey) <= 0) return NTE_FAIL;
  out.reset(pkey);
  return 0;
}

// ---- Key wrap -------------------------------------------------------------

// The block ciphers KExp15 runs on: the CBC cipher OMAC is made of, the IV
// (half a block) and the MAC (a block). CTR is the cipher table's.
struct WrapCipher {
  ALG_ID alg;
  const char* cbc;
  size_t iv;
  size_t mac;
};

const WrapCipher kWrapCiphers[] = {
    {kCalgKuznyechik, "kuznyechik-cbc", 8, kMac},
    {kCalgMagma, "magma-cbc", 4, 8},
};

const WrapCipher* wrap_cipher(ALG_ID alg) {
  for (const auto& c : kWrapCiphers)
    if (c.alg == alg) return &c;
  return nullptr;
}

LONG omac(const WrapCipher& c, const BYTE* key, const Bytes& iv, const BYTE* data, size_t n,
          BYTE* out) {
  MacCtxPtr mac(EVP_MAC_CTX_new(runtime().cmac));
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, const_cast<char*>(c.cbc), 0),
      OSSL_PARAM_construct_end()};
  size_t len = 0;
  bool ok = mac && EVP_MAC_init(mac.get(), key, 32, params) &&
            EVP_MAC_update(mac.get(), iv.data(), iv.size()) &&
            EVP_MAC_update(mac.get(), data, n) && EVP_MAC_final(mac.get(), out, &len, c.mac) &&
            len == c.mac;
  return ok ? 0 : NTE_FAIL;
}

LONG ctr(const WrapCipher& c, const BYTE* key, const Bytes& iv, Bytes& data) {
  const EVP_CIPHER* cipher = gost::cipher(c.alg, kModeCtr);
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  int outl = 0;
  bool ok = cipher && ctx && EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv.data(), 1) &&
            EVP_CipherUpdate(ctx.get(), data.data(), &outl, data.data(), int(data.size())) &&
            size_t(outl) == data.size();
  return ok ? 0 : NTE_FAIL;
}

}  // namespace

namespace gost {

LONG kdf_tree(const Bytes& key, const Bytes& label, const Bytes& seed, Bytes& out) {
  out.clear();
  const Runtime& rt = runtime();
  if (!rt.ok) return NTE_PROV_DLL_NOT_FOUND;
  for (BYTE i = 1; i <= 2; ++i) {
    MacCtxPtr mac(EVP_MAC_CTX_new(rt.hmac));
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST,
                                         const_cast<char*>("md_gost12_256"), 0),
        OSSL_PARAM_construct_end()};
    const BYTE zero = 0, len[2] = {0x02, 0x00};  // L = 512
    BYTE block[32];
    size_t n = 0;
    bool ok = mac && EVP_MAC_init(mac.get(), key.data(), key.size(), params) &&
              EVP_MAC_update(mac.get(), &i, 1) &&
              EVP_MAC_update(mac.get(), label.data(), label.size()) &&
              EVP_MAC_update(mac.get(), &zero, 1) &&
              EVP_MAC_update(mac.get(), seed.data(), seed.size()) &&
              EVP_MAC_update(mac.get(), len, 2) &&
              EVP_MAC_final(mac.get(), block, &n, sizeof block) && n == sizeof block;
    if (ok) out.insert(out.end(), block, block + n);
    OPENSSL_cleanse(block, sizeof block);
    if (!ok) {
      wipe(out);
      return NTE_FAIL;
    }
  }
  return 0;
}

LONG kexp15(ALG_ID cipher, const BYTE* k_enc, const BYTE* k_mac, const Bytes& iv,
            const Bytes& secret, Bytes& out) {
  const WrapCipher* c = wrap_cipher(cipher);
  if (!c || iv.size() != c->iv) return NTE_BAD_ALGID;
  if (!available()) return NTE_PROV_DLL_NOT_FOUND;
  out = secret;
  out.resize(secret.size() + c->mac);
  LONG rc = omac(*c, k_mac, iv, secret.data(), secret.size(), out.data() + secret.size());
  if (!rc) rc = ctr(*c, k_enc, iv, out);
  if (rc) wipe(out);
  return rc;
}

LONG kimp15(ALG_ID cipher, const BYTE* k_enc, const BYTE* k_mac, const Bytes& iv, const BYTE* in,
            size_t n, Bytes& secret) {
  const WrapCipher* c = wrap_cipher(cipher);
  if (!c || iv.size() != c->iv) return NTE_BAD_ALGID;
  if (!available()) return NTE_PROV_DLL_NOT_FOUND;
  if (n <= c->mac) return NTE_BAD_DATA;
  Bytes plain(in, in + n);
  LONG rc = ctr(*c, k_enc, iv, plain);
  BYTE mac[kMac];  // the longest MAC
  if (!rc) {
    secret.assign(plain.begin(), plain.end() - long(c->mac));
    rc = omac(*c, k_mac, iv, secret.data(), secret.size(), mac);
  }
  if (!rc && CRYPTO_memcmp(mac, plain.data() + secret.size(), c->mac) != 0) rc = NTE_BAD_DATA;
  OPENSSL_cleanse(mac, sizeof mac);
  wipe(plain);
  if (rc) wipe(secret);
  return rc;
}

}  // namespace gost

namespace {

// The 32-byte KEK of a wrapping key for a UKM (wrap.mu held).
LONG wrap_kek(Key& wrap, const Bytes& ukm, Bytes& kek) {
  if (wrap.alg == kCalgAgreedKey) {
    if (!wrap.pkey || !wrap.peer) return NTE_BAD_KEY;
    return gost::vko(wrap.pkey.get(), wrap.peer.get(), ukm, kek);
  }
  if (gost::is_cipher_alg(wrap.alg) && wrap.secret.size() == 32) {
    kek = wrap.secret;
    return 0;
  }
  return NTE_BAD_KEY;
}

// K_enc || K_mac of a wrapping key for a UKM.
LONG wrap_keys(Key& wrap, const Bytes& ukm, Bytes& keys) {
  Bytes kek;
  if (LONG rc = wrap_kek(wrap, ukm, kek)) return rc;
  static const Bytes kLabel = {'k', 'e', 'x', 'p', '1', '5'};
  LONG rc = gost::kdf_tree(kek, kLabel, ukm, keys);
  wipe(kek);
  return rc;
}

// A secret wrapped under a wrapping key (wrap.mu held): KExp15 with Kuznyechik,
// the UKM as the IV.
LONG wrap_secret(Key& wrap, const Bytes& ukm, const Bytes& secret, Bytes& out) {
  Bytes keys;
  if (LONG rc = wrap_keys(wrap, ukm, keys)) return rc;
  LONG rc = gost::kexp15(kCalgKuznyechik, keys.data(), keys.data() + 32, ukm, secret, out);
  wipe(keys);
  return rc;
}

LONG unwrap_secret(Key& wrap, const Bytes& ukm, const BYTE* in, size_t n, Bytes& secret) {
  Bytes keys;
  if (LONG rc = wrap_keys(wrap, ukm, keys)) return rc;
  LONG rc = gost::kimp15(kCalgKuznyechik, keys.data(), keys.data() + 32, ukm, in, n, secret);
  wipe(keys);
  return rc;
}

LONG fresh_ukm(Bytes& ukm) {
  ukm.assign(kUkm, 0);
  return RAND_bytes(ukm.data(), int(kUkm)) == 1 ? 0 : NTE_FAIL;
}

// ---- Hash values for signatures ------------------------------------------

LONG sign_value(Key& k, Hash& h, Bytes& value) {
  std::lock_guard<std::mutex> lock(h.mu);
  if (!gost::is_hash_alg(h.alg)) return NTE_BAD_ALGID;
  if (h.size() * 8 != k.bitlen) return NTE_BAD_ALGID;
  if (LONG rc = h.finish()) return rc;
  value = h.value_bytes();
  return 0;
}

// ---- Blob import ----------------------------------------------------------

// The header of a public or a wrapped private key blob: its pair algorithm and
// parameters, with the blob's length checked against what must follow them
// (X and Y, or the UKM and the wrapped scalar).
LONG pair_blob(const BYTE* p, DWORD len, bool priv, const PairInfo*& pi, Bytes& params) {
  pi = pair_info(get_le32(p + 4));
  if (!pi) return NTE_BAD_ALGID;
  if (get_le32(p + 12) != pi->bits) return NTE_BAD_DATA;
  size_t plen = params_length(p + kInfoHeader, len - kInfoHeader);
  if (!plen) return NTE_BAD_DATA;
  size_t width = pi->bits / 8;
  size_t rest = priv ? kUkm + width + kMac : 2 * width;
  if (len != kInfoHeader + plen + rest) return NTE_BAD_DATA;
  params.assign(p + kInfoHeader, p + kInfoHeader + plen);
  return 0;
}

LONG import_public(const std::shared_ptr<Provider>& prov, const BYTE* p, DWORD len,
                   HCRYPTKEY hPubKey, std::shared_ptr<Key>& out) {
  const PairInfo* pi = nullptr;
  Bytes params;
  if (LONG rc = pair_blob(p, len, false, pi, params)) return rc;
  size_t plen = params.size();
  Bytes point(p + kInfoHeader + plen, p + len);
  PkeyPtr pub = gost::public_from_point(pi->alg, params, point);
  if (!pub) return NTE_BAD_PUBLIC_KEY;
  if (!hPubKey) {
    out = make_rsa_key(prov, pi->alg, CRYPT_EXPORTABLE, std::move(pub), false, pi->bits);
    return 0;
  }
  // Key agreement with an own pair on the same curve.
  auto own = handle_get<Key>(hPubKey);
  if (!own) return NTE_BAD_KEY;
  PkeyPtr mine;
  {
    std::lock_guard<std::mutex> lock(own->mu);
    if (!own->is_gost() || !own->has_private) return NTE_BAD_KEY;
    if (LONG rc = need_private(*own)) return rc;
    if (EVP_PKEY_parameters_eq(own->pkey.get(), pub.get()) != 1) return NTE_BAD_PUBLIC_KEY;
    if (!EVP_PKEY_up_ref(own->pkey.get())) return NTE_FAIL;
    mine.reset(own->pkey.get());
  }
  out = make_session_key(prov, kCalgAgreedKey, 0, Bytes());
  out->pkey = std::move(mine);
  out->peer = std::move(pub);
  out->bitlen = pi->bits;
  out->permissions = CRYPT_ENCRYPT | CRYPT_DECRYPT;  // wrap and unwrap only
  return 0;
}

LONG import_private(const std::shared_ptr<Provider>& prov, const BYTE* p, DWORD len,
                    HCRYPTKEY hPubKey, DWORD flags, std::shared_ptr<Key>& out) {
  const PairInfo* pi = nullptr;
  Bytes params;
  if (LONG rc = pair_blob(p, len, true, pi, params)) return rc;
  size_t plen = params.size(), width = pi->bits / 8;
  auto wrap = handle_get<Key>(hPubKey);
  if (!wrap) return NTE_BAD_KEY;
  Bytes ukm(p + kInfoHeader + plen, p + kInfoHeader + plen + kUkm);
  Bytes scalar;
  {
    std::lock_guard<std::mutex> lock(wrap->mu);
    if (LONG rc = unwrap_secret(*wrap, ukm, p + kInfoHeader + plen + kUkm, width + kMac, scalar))
      return rc;
  }
  PkeyPtr pair = gost::pair_from_private(pi->alg, params, scalar);
  wipe(scalar);
  if (!pair) return NTE_BAD_DATA;
  DWORD kept = flags & (CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_ARCHIVABLE);
  DWORD spec = prov->verify_only ? 0 : pi->spec;
  if (spec) {
    if (LONG rc = store_user_key(*prov, spec, pi->alg, kept, pair.get())) return rc;
  }
  out = make_rsa_key(prov, pi->alg, kept, std::move(pair), true, pi->bits);
  out->spec = spec;
  return 0;
}

LONG import_wrapped(const std::shared_ptr<Provider>& prov, const BYTE* p, DWORD len,
                    HCRYPTKEY hPubKey, DWORD flags, std::shared_ptr<Key>& out) {
  const CipherInfo* c = cipher_info(get_le32(p + 4));
  if (!c) return NTE_BAD_ALGID;
  if (get_le32(p + 12) != kCalgKuznyechik) return NTE_BAD_ALGID;
  if (len != kInfoHeader + kUkm + c->key_bytes + kMac) return NTE_BAD_DATA;
  auto wrap = handle_get<Key>(hPubKey);
  if (!wrap) return NTE_BAD_KEY;
  Bytes ukm(p + kInfoHeader, p + kInfoHeader + kUkm);
  Bytes secret;
  {
    std::lock_guard<std::mutex> lock(wrap->mu);
    if (LONG rc = unwrap_secret(*wrap, ukm, p + kInfoHeader + kUkm, c->key_bytes + kMac, secret))
      return rc;
  }
  out = make_session_key(prov, c->alg, flags & CRYPT_EXPORTABLE, std::move(secret));
  return 0;
}

}  // namespace

bool is_gost_pair_alg(ALG_ID alg) { return pair_info(alg) != nullptr || alg == kCalgAgreedKey; }

namespace gost {

bool available() { return runtime().ok; }
OSSL_LIB_CTX* libctx() { return runtime().ok ? runtime().ctx : nullptr; }

const char* provider_name(DWORD type) {
  if (type == kProviderType) return kProviderName;
  if (type == PROV_RSA_FULL) return kRsaFullProviderName;
  for (const auto& p : kProviders)
    if (p.type == type && p.name) return available() ? p.name : nullptr;
  return nullptr;
}

DWORD provider_type_at(DWORD index) {
  size_t count = available() ? sizeof kProviders / sizeof kProviders[0] : 2;
  return index < count ? kProviders[index].type : 0;
}

bool is_pair_alg(ALG_ID alg) { return pair_info(alg) != nullptr; }

ALG_ID pair_alg_of(EVP_PKEY* pkey, DWORD spec) {
  int nid = pkey ? EVP_PKEY_get_base_id(pkey) : NID_undef;
  for (const auto& p : kPairs)
    if (p.nid == nid && p.spec == spec && spec) return p.alg;
  return 0;
}

DWORD provider_type_of(EVP_PKEY* pkey) {
  int nid = pkey ? EVP_PKEY_get_base_id(pkey) : NID_undef;
  if (nid == NID_id_GostR3410_2012_512) return kProvGost2012_512;
  if (nid == NID_id_GostR3410_2012_256 || nid == NID_id_GostR3410_2001) return kProvGost2012_256;
  return 0;
}
bool is_hash_alg(ALG_ID alg) { return alg == kCalgGr3411_12_256 || alg == kCalgGr3411_12_512; }
bool is_cipher_alg(ALG_ID alg) {
  return alg == kCalgKuznyechik || alg == kCalgMagma || alg == kCalgG28147;
}

const EVP_MD* digest(ALG_ID alg) {
  if (!available()) return nullptr;
  if (alg == kCalgGr3411_12_256) return runtime().md256;
  if (alg == kCalgGr3411_12_512) return runtime().md512;
  return nullptr;
}

EVP_MAC* hmac() { return available() ? runtime().hmac : nullptr; }

bool mode_pads(DWORD mode) { return mode == CRYPT_MODE_ECB || mode == CRYPT_MODE_CBC; }

const EVP_CIPHER* cipher(ALG_ID alg, DWORD mode) {
  static const CipherName kNames[] = {
      {kCalgKuznyechik, CRYPT_MODE_ECB, "kuznyechik-ecb"},
      {kCalgKuznyechik, CRYPT_MODE_CBC, "kuznyechik-cbc"},
      {kCalgKuznyechik, CRYPT_MODE_CFB, "kuznyechik-cfb"},
      {kCalgKuznyechik, CRYPT_MODE_OFB, "kuznyechik-ofb"},
      {kCalgKuznyechik, kModeCtr, "kuznyechik-ctr"},
      {kCalgMagma, CRYPT_MODE_CBC, "magma-cbc"},
      {kCalgMagma, kModeCtr, "magma-ctr"},
      {kCalgG28147, CRYPT_MODE_CFB, "gost89"},
      {kCalgG28147, CRYPT_MODE_CBC, "gost89-cbc"},
      {kCalgG28147, kModeCtr, "gost89-cnt"},
  };
  static const FetchedCiphers* const fetched = new FetchedCiphers(libctx(), kNames);
  return fetched->find(alg, mode);
}

bool gen_key(const std::shared_ptr<Provider>& prov, ALG_ID alg, DWORD flags,
             std::shared_ptr<Key>& out, LONG& rc) {
  ALG_ID a = alg;
  bool gost_type = prov->type == kProvGost2012_256 || prov->type == kProvGost2012_512;
  if (alg == AT_SIGNATURE || alg == AT_KEYEXCHANGE) {
    if (!gost_type) return false;
    bool big = prov->type == kProvGost2012_512;
    a = alg == AT_SIGNATURE ? (big ? kCalgGr3410_12_512 : kCalgGr3410_12_256)
                            : (big ? kCalgDh12_512_SF : kCalgDh12_256_SF);
  }
  const PairInfo* pi = pair_info(a);
  if (!pi) return false;
  rc = 0;
  DWORD bits = flags >> 16;
  if (!available()) rc = NTE_PROV_DLL_NOT_FOUND;
  else if (!pi->generate) rc = NTE_BAD_ALGID;
  else if (bits != 0 && bits != pi->bits) rc = NTE_BAD_FLAGS;
  else if (pi->spec && prov->verify_only) rc = NTE_BAD_KEYSET;
  if (rc) return true;
  PkeyPtr pair;
  if ((rc = new_pair(*pi, pair))) return true;
  DWORD kept = flags & (CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_ARCHIVABLE);
  if (pi->spec && (rc = store_user_key(*prov, pi->spec, pi->alg, kept, pair.get()))) return true;
  out = make_rsa_key(prov, pi->alg, kept, std::move(pair), true, pi->bits);
  out->spec = pi->spec;
  return true;
}

BOOL get_key_param(Key& k, DWORD param, BYTE* data, DWORD* len) {
  switch (param) {
    case KP_ALGID:
      return put_dword(data, len, k.alg);
    case KP_KEYLEN:
      return put_dword(data, len, k.bitlen);
    case KP_BLOCKLEN:
      return put_dword(data, len, 0);
    case KP_PERMISSIONS:
      return put_dword(data, len, k.permissions);
    default:
      return fail(NTE_BAD_TYPE);
  }
}

BOOL sign(Key& k, Hash& h, BYTE* sig, DWORD* len) {
  if (k.alg == kCalgAgreedKey || !k.has_private) return fail(NTE_BAD_KEY);
  DWORD size = 2 * k.bitlen / 8;
  if (!sig) return put_bytes(nullptr, len, nullptr, size);
  if (*len < size) {
    *len = size;
    return fail(ERROR_MORE_DATA);
  }
  if (LONG rc = need_private(k)) return fail(rc);
  Bytes value;
  if (LONG rc = sign_value(k, h, value)) return fail(rc);
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(k.pkey.get(), nullptr));
  Bytes out(size, 0);
  size_t n = out.size();
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
      EVP_PKEY_sign(ctx.get(), out.data(), &n, value.data(), value.size()) <= 0 || n != size)
    return fail(NTE_FAIL);
  reverse_bytes(out.data(), n);
  return put_bytes(sig, len, out);
}

BOOL verify(Key& k, Hash& h, const BYTE* sig, DWORD len) {
  if (k.alg == kCalgAgreedKey || !k.pkey) return fail(NTE_BAD_KEY);
  if (len != 2 * k.bitlen / 8) return fail(NTE_BAD_SIGNATURE);
  Bytes value;
  if (LONG rc = sign_value(k, h, value)) return fail(rc);
  Bytes s(sig, sig + len);
  reverse_bytes(s.data(), s.size());
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(k.pkey.get(), nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0) return fail(NTE_FAIL);
  int ok = EVP_PKEY_verify(ctx.get(), s.data(), s.size(), value.data(), value.size());
  ERR_clear_error();
  return ok == 1 ? TRUE : fail(NTE_BAD_SIGNATURE);
}

BOOL export_public(Key& k, BYTE* out, DWORD* len) {
  if (k.alg == kCalgAgreedKey || !k.pkey) return fail(NTE_BAD_KEY);
  Bytes params, point;
  if (!split_public(k.pkey.get(), params, point)) return fail(NTE_BAD_KEY);
  Bytes blob;
  put_blob_header(blob, PUBLICKEYBLOB, k.alg);
  put_le32(blob, kGostPublicMagic);
  put_le32(blob, k.bitlen);
  blob.insert(blob.end(), params.begin(), params.end());
  blob.insert(blob.end(), point.begin(), point.end());
  return put_bytes(out, len, blob);
}

BOOL export_private(Key& k, Key& wrap, BYTE* out, DWORD* len) {
  if (k.alg == kCalgAgreedKey || !k.has_private) return fail(NTE_BAD_KEY);
  if (!exportable(k)) return fail(NTE_BAD_KEY_STATE);
  if (wrap.alg != kCalgAgreedKey && !(is_cipher_alg(wrap.alg) && wrap.secret.size() == 32))
    return fail(NTE_BAD_KEY);
  Bytes params, point;
  if (!split_public(k.pkey.get(), params, point)) return fail(NTE_BAD_KEY);
  size_t width = k.bitlen / 8;
  size_t size = kInfoHeader + params.size() + kUkm + width + kMac;
  if (!out) return put_bytes(nullptr, len, nullptr, size);
  if (*len < size) {
    *len = DWORD(size);
    return fail(ERROR_MORE_DATA);
  }
  if (LONG rc = need_private(k)) return fail(rc);
  Bytes scalar, ukm, wrapped;
  if (!private_scalar(k.pkey.get(), width, scalar)) return fail(NTE_BAD_KEY);
  LONG rc = fresh_ukm(ukm);
  if (!rc) rc = wrap_secret(wrap, ukm, scalar, wrapped);
  wipe(scalar);
  if (rc) return fail(rc);
  Bytes blob;
  put_blob_header(blob, PRIVATEKEYBLOB, k.alg);
  put_le32(blob, kGostPrivateMagic);
  put_le32(blob, k.bitlen);
  blob.insert(blob.end(), params.begin(), params.end());
  blob.insert(blob.end(), ukm.begin(), ukm.end());
  blob.insert(blob.end(), wrapped.begin(), wrapped.end());
  return put_bytes(out, len, blob);
}

BOOL export_wrapped(Key& k, Key& wrap, BYTE* out, DWORD* len) {
  if (k.is_rsa() || k.is_gost() || k.hmac_only || k.secret.empty()) return fail(NTE_BAD_KEY);
  if (!exportable(k)) return fail(NTE_BAD_KEY_STATE);
  size_t size = kInfoHeader + kUkm + k.secret.size() + kMac;
  if (!out) return put_bytes(nullptr, len, nullptr, size);
  if (*len < size) {
    *len = DWORD(size);
    return fail(ERROR_MORE_DATA);
  }
  Bytes ukm, wrapped;
  LONG rc = fresh_ukm(ukm);
  if (!rc) rc = wrap_secret(wrap, ukm, k.secret, wrapped);
  if (rc) return fail(rc);
  Bytes blob;
  put_blob_header(blob, SIMPLEBLOB, k.alg);
  put_le32(blob, kGostWrapMagic);
  put_le32(blob, kCalgKuznyechik);
  blob.insert(blob.end(), ukm.begin(), ukm.end());
  blob.insert(blob.end(), wrapped.begin(), wrapped.end());
  return put_bytes(out, len, blob);
}

bool import_blob(const std::shared_ptr<Provider>& prov, const BYTE* p, DWORD len,
                 HCRYPTKEY hPubKey, DWORD flags, std::shared_ptr<Key>& out, LONG& rc) {
  if (len < kInfoHeader) return false;
  DWORD magic = get_le32(p + 8);
  bool ours = (p[0] == PUBLICKEYBLOB && magic == kGostPublicMagic) ||
              (p[0] == PRIVATEKEYBLOB && magic == kGostPrivateMagic) ||
              (p[0] == SIMPLEBLOB && magic == kGostWrapMagic);
  if (!ours) return false;
  if (!available()) {
    rc = NTE_PROV_DLL_NOT_FOUND;
    return true;
  }
  switch (p[0]) {
    case PUBLICKEYBLOB:
      rc = import_public(prov, p, len, hPubKey, out);
      break;
    case PRIVATEKEYBLOB:
      rc = import_private(prov, p, len, hPubKey, flags, out);
      break;
    default:
      rc = import_wrapped(prov, p, len, hPubKey, flags, out);
  }
  ERR_clear_error();
  return true;
}

PkeyPtr pair_from_private(ALG_ID alg, const Bytes& params, const Bytes& scalar_le) {
  const PairInfo* pi = pair_info(alg);
  if (!pi || !available() || scalar_le.size() != pi->bits / 8) return nullptr;
  PKCS8_PRIV_KEY_INFO* p8 = PKCS8_PRIV_KEY_INFO_new();
  ASN1_STRING* ps = params_string(params);
  auto* priv = static_cast<unsigned char*>(OPENSSL_malloc(scalar_le.size()));
  PkeyPtr out;
  if (p8 && ps && priv) {
    std::memcpy(priv, scalar_le.data(), scalar_le.size());
    if (PKCS8_pkey_set0(p8, OBJ_nid2obj(pi->nid), 0, V_ASN1_SEQUENCE, ps, priv,
                        int(scalar_le.size()))) {
      ps = nullptr;
      priv = nullptr;  // owned by p8 now
      out.reset(EVP_PKCS82PKEY(p8));
    }
  }
  if (priv) OPENSSL_clear_free(priv, scalar_le.size());
  ASN1_STRING_free(ps);
  PKCS8_PRIV_KEY_INFO_free(p8);  // wipes the scalar it holds
  ERR_clear_error();
  return out;
}

PkeyPtr public_from_point(ALG_ID alg, const Bytes& params, const Bytes& point_le) {
  const PairInfo* pi = pair_info(alg);
  if (!pi || !available() || point_le.size() != 2 * pi->bits / 8) return nullptr;
  ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
  unsigned char* penc = nullptr;
  int penclen = -1;
  if (os && ASN1_OCTET_STRING_set(os, point_le.data(), int(point_le.size())))
    penclen = i2d_ASN1_OCTET_STRING(os, &penc);
  ASN1_OCTET_STRING_free(os);
  ASN1_STRING* ps = params_string(params);
  X509_PUBKEY* xp = X509_PUBKEY_new();
  PkeyPtr out;
  if (penclen > 0 && ps && xp &&
      X509_PUBKEY_set0_param(xp, OBJ_nid2obj(pi->nid), V_ASN1_SEQUENCE, ps, penc, penclen)) {
    ps = nullptr;
    penc = nullptr;  // owned by xp now
    unsigned char* der = nullptr;
    int n = i2d_X509_PUBKEY(xp, &der);
    if (n > 0) out = pkey_from_spki(Bytes(der, der + n));
    OPENSSL_free(der);
  }
  OPENSSL_free(penc);
  ASN1_STRING_free(ps);
  X509_PUBKEY_free(xp);
  ERR_clear_error();
  return out;
}

LONG vko(EVP_PKEY* own, EVP_PKEY* peer, const Bytes& ukm, Bytes& kek) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(own, nullptr));
  Bytes u = ukm;
  kek.assign(32, 0);
  size_t n = kek.size();
  bool ok = ctx && EVP_PKEY_derive_init(ctx.get()) > 0 &&
            EVP_PKEY_derive_set_peer(ctx.get(), peer) > 0 &&
            EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, int(u.size()), u.data()) >
                0 &&
            EVP_PKEY_derive(ctx.get(), kek.data(), &n) > 0 && n == 32;
  ERR_clear_error();
  if (!ok) {
    wipe(kek);
    return NTE_BAD_PUBLIC_KEY;
  }
  return 0;
}

}  // namespace gost

}  // namespace csp::prov
