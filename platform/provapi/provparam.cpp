// Provider parameters beyond the basic ones of context.cpp, container
// passwords, and random numbers.
//
// Parameters of this provider:
//   PP_CONTAINER_COMMENT (100)     set: CRYPT_DATA_BLOB* with a free-form
//                                  comment kept in the container ({0, NULL}
//                                  removes it); get: the comment's bytes (an
//                                  empty value when there is none).
//   PP_SET_CERT_EXTENSION (132)    set: CERT_EXTENSION* kept in the container,
//                                  replacing one with the same identifier.
//   PP_ENUM_CERT_EXTENSIONS (133)  get: the container's extensions one by one,
//                                  each as DWORD bCritical, DWORD cbExtension,
//                                  the value, the identifier with its NUL;
//                                  CRYPT_FIRST restarts, ERROR_NO_MORE_ITEMS
//                                  after the last.
//   PP_VERSION_EX (138)            get: PROV_PP_VERSION_EX {library build
//                                  number, OpenSSL's version number,
//                                  release (0) or debug (1) build,
//                                  architecture (1 x86, 2 x86_64), OS (1 Linux,
//                                  2 macOS)}.
//
// Container passwords (PP_KEYEXCHANGE_PIN and PP_SIGNATURE_PIN, which act
// alike: one password covers all keys of a container) take a
// CRYPT_PIN_PARAM whose kind says what to do:
//   CSP_PIN_PASSWORD (0)  on an unprotected container: protect it with the
//                         password; on a protected one: give the current
//                         password to this context (wrong: SCARD_W_WRONG_CHV);
//                         when this context already holds the current
//                         password: change it to the new one.
//   CSP_PIN_VERIFY (4)    only check the password and give it to the context.
//   CSP_PIN_REMOVE (5)    remove the protection (the password given, or the
//                         one this context already holds, must be current).
// Protecting, changing or removing re-encrypts every key pair at rest.
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "apiutil.h"
#include "cryptobj.h"
#include "gost.h"

namespace csp::prov {

namespace {

constexpr DWORD kProviderBuild = 1;
constexpr size_t kMaxPin = 1024;
constexpr size_t kMaxOid = 512;
constexpr size_t kMaxComment = 64 * 1024;
constexpr size_t kMaxExtension = 64 * 1024;
constexpr LONG kUnchanged = 1;  // an update callback's "nothing to write"

struct AlgEntry {
  ALG_ID alg;
  DWORD def, min, max;
  const char* name;
  const char* long_name;
  DWORD protocols = 0;  // PP_ENUMALGS_EX dwProtocols
};

constexpr DWORD kSigning = CRYPT_FLAG_SIGNING;
constexpr DWORD kRsaUse = CRYPT_FLAG_SIGNING | CRYPT_FLAG_IPSEC;

const AlgEntry kAlgs[] = {
    {CALG_MD4, 128, 128, 128, "MD4", "Message Digest 4 (MD4)", kSigning},
    {CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)", kSigning},
    {CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)", kSigning},
    {CALG_SHA_256, 256, 256, 256, "SHA-256", "Secure Hash Algorithm (SHA-256)", kSigning},
    {CALG_SHA_384, 384, 384, 384, "SHA-384", "Secure Hash Algorithm (SHA-384)", kSigning},
    {CALG_SHA_512, 512, 512, 512, "SHA-512", "Secure Hash Algorithm (SHA-512)", kSigning},
    {CALG_SSL3_SHAMD5, 288, 288, 288, "SSL3 SHAMD5", "SSL3 SHAMD5"},
    {CALG_MAC, 0, 0, 0, "MAC", "Message Authentication Code"},
    {CALG_HMAC, 0, 0, 0, "HMAC", "Hash-based Message Authentication Code"},
    {CALG_RSA_SIGN, kRsaDefaultBits, kRsaMinBits, kRsaGenMaxBits, "RSA_SIGN", "RSA Signature",
     kRsaUse},
    {CALG_RSA_KEYX, kRsaDefaultBits, kRsaMinBits, kRsaGenMaxBits, "RSA_KEYX",
     "RSA Key Exchange", kRsaUse},
    {CALG_RC2, 128, 40, 128, "RC2", "RSA Data Security's RC2"},
    {CALG_RC4, 128, 40, 128, "RC4", "RSA Data Security's RC4"},
    {CALG_DES, 56, 56, 56, "DES", "Data Encryption Standard (DES)"},
    {CALG_3DES_112, 112, 112, 112, "3DES TWO KEY", "Two Key Triple DES"},
    {CALG_3DES, 168, 168, 168, "3DES", "Three Key Triple DES"},
    {CALG_AES_128, 128, 128, 128, "AES 128", "Advanced Encryption Standard (AES) 128"},
    {CALG_AES_192, 192, 192, 192, "AES 192", "Advanced Encryption Standard (AES) 192"},
    {CALG_AES_256, 256, 256, 256, "AES 256", "Advanced Encryption Standard (AES) 256"},
    // The GOST algorithms (last: listed only when the GOST engine is there).
    {kCalgGr3411_12_256, 256, 256, 256, "GR 34.11-2012 256", "GOST R 34.11-2012 (Streebog) 256"},
    {kCalgGr3411_12_512, 512, 512, 512, "GR 34.11-2012 512", "GOST R 34.11-2012 (Streebog) 512"},
    {kCalgGr3410_12_256, 256, 256, 256, "GR 34.10-2012 256", "GOST R 34.10-2012 256 signature"},
    {kCalgGr3410_12_512, 512, 512, 512, "GR 34.10-2012 512", "GOST R 34.10-2012 512 signature"},
    {kCalgDh12_256_SF, 256, 256, 256, "DH 34.10-2012 256", "VKO GOST R 34.10-2012 256"},
    {kCalgDh12_512_SF, 512, 512, 512, "DH 34.10-2012 512", "VKO GOST R 34.10-2012 512"},
    {kCalgKuznyechik, 256, 256, 256, "GR 34.12-2015 K", "GOST R 34.12-2015 Kuznyechik"},
    {kCalgMagma, 256, 256, 256, "GR 34.12-2015 M", "GOST R 34.12-2015 Magma"},
    {kCalgG28147, 256, 256, 256, "GOST 28147-89", "GOST 28147-89"},
};
constexpr size_t kAlgCount = sizeof kAlgs / sizeof kAlgs[0];
constexpr size_t kGostAlgCount = 9;

void put32(Bytes& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(BYTE(v >> (8 * i)));
}
DWORD get32(const BYTE* p) {
  return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}

// Walks a cursor over `count` items: CRYPT_FIRST restarts, a size query does
// not advance.
BOOL enum_step(size_t& pos, size_t count, DWORD flags, BYTE* data, DWORD* len,
               const std::function<Bytes(size_t)>& item) {
  if (flags & CRYPT_FIRST) pos = 0;
  if (pos >= count) return fail(ERROR_NO_MORE_ITEMS);
  Bytes rec = item(pos);
  if (!put_bytes(data, len, rec)) return FALSE;
  if (data) ++pos;
  return TRUE;
}

Bytes enumalgs_record(const AlgEntry& a) {
  PROV_ENUMALGS r;
  std::memset(&r, 0, sizeof r);
  r.aiAlgid = a.alg;
  r.dwBitLen = a.def;
  r.dwNameLen = DWORD(strlen(a.name) + 1);
  std::memcpy(r.szName, a.name, r.dwNameLen);
  const BYTE* p = reinterpret_cast<const BYTE*>(&r);
  return Bytes(p, p + sizeof r);
}

Bytes enumalgs_ex_record(const AlgEntry& a) {
  PROV_ENUMALGS_EX r;
  std::memset(&r, 0, sizeof r);
  r.aiAlgid = a.alg;
  r.dwDefaultLen = a.def;
  r.dwMinLen = a.min;
  r.dwMaxLen = a.max;
  r.dwProtocols = a.protocols;
  r.dwNameLen = DWORD(strlen(a.name) + 1);
  std::memcpy(r.szName, a.name, r.dwNameLen);
  r.dwLongNameLen = DWORD(strlen(a.long_name) + 1);
  std::memcpy(r.szLongName, a.long_name, r.dwLongNameLen);
  const BYTE* p = reinterpret_cast<const BYTE*>(&r);
  return Bytes(p, p + sizeof r);
}

Bytes version_ex() {
  PROV_PP_VERSION_EX v;
  v.dwBuild = kProviderBuild;
  v.dwEngineBuild = DWORD(OpenSSL_version_num());
#ifdef NDEBUG
  v.dwBuildType = PROV_BUILD_RELEASE;
#else
  v.dwBuildType = PROV_BUILD_DEBUG;
#endif
#if defined(__x86_64__)
  v.dwArchitecture = PROV_ARCH_X86_64;
#elif defined(__i386__)
  v.dwArchitecture = PROV_ARCH_X86;
#else
  v.dwArchitecture = PROV_ARCH_OTHER;
#endif
#if defined(__linux__)
  v.dwOS = PROV_OS_LINUX;
#elif defined(__APPLE__)
  v.dwOS = PROV_OS_MACOS;
#else
  v.dwOS = PROV_OS_OTHER;
#endif
  Bytes out;
  for (DWORD d : {v.dwBuild, v.dwEngineBuild, v.dwBuildType, v.dwArchitecture, v.dwOS})
    put32(out, d);
  return out;
}

// ---- Certificate extensions -----------------------------------------------

struct Extension {
  std::string oid;
  bool critical = false;
  Bytes value;
};

// The extensions record: per extension u32 critical, u32 value length,
// value, u32 identifier length, identifier.
std::vector<Extension> parse_extensions(const Bytes& rec) {
  std::vector<Extension> out;
  size_t pos = 0;
  while (rec.size() - pos >= 8) {
    Extension e;
    e.critical = get32(&rec[pos]) != 0;
    DWORD vlen = get32(&rec[pos + 4]);
    pos += 8;
    // Compared without adding to vlen: on 32-bit builds size_t(vlen) + 4
    // wraps for a length near 2^32 and let the check pass.
    if (rec.size() - pos < 4 || rec.size() - pos - 4 < vlen) break;
    e.value.assign(rec.begin() + long(pos), rec.begin() + long(pos + vlen));
    pos += vlen;
    DWORD olen = get32(&rec[pos]);
    pos += 4;
    if (rec.size() - pos < olen) break;
    e.oid.assign(reinterpret_cast<const char*>(&rec[pos]), olen);
    pos += olen;
    out.push_back(std::move(e));
  }
  return out;
}

Bytes format_extensions(const std::vector<Extension>& exts) {
  Bytes out;
  for (const auto& e : exts) {
    put32(out, e.critical ? 1 : 0);
    put32(out, DWORD(e.value.size()));
    out.insert(out.end(), e.value.begin(), e.value.end());
    put32(out, DWORD(e.oid.size()));
    out.insert(out.end(), e.oid.begin(), e.oid.end());
  }
  return out;
}

bool valid_oid(const std::string& s) {
  if (s.empty() || s.front() == '.' || s.back() == '.') return false;
  bool prev_dot = false;
  for (char ch : s) {
    if (ch == '.') {
      if (prev_dot) return false;
      prev_dot = true;
    } else if (ch >= '0' && ch <= '9') {
      prev_dot = false;
    } else {
      return false;
    }
  }
  return s.find('.') != std::string::npos;
}

BOOL set_extension(Provider& p, const BYTE* data) {
  if (p.verify_only) return fail(NTE_BAD_KEYSET);
  CERT_EXTENSION ext;
  std::memcpy(&ext, data, sizeof ext);
  if (!ext.pszObjId) return fail(NTE_BAD_DATA);
  if (ext.Value.cbData && !ext.Value.pbData) return fail(ERROR_INVALID_PARAMETER);
  if (ext.Value.cbData > kMaxExtension) return fail(NTE_BAD_LEN);
  size_t olen = strnlen(ext.pszObjId, kMaxOid + 1);
  if (olen > kMaxOid) return fail(NTE_BAD_DATA);
  Extension e;
  e.oid.assign(ext.pszObjId, olen);
  if (!valid_oid(e.oid)) return fail(NTE_BAD_DATA);
  e.critical = ext.fCritical != 0;
  if (ext.Value.cbData) e.value.assign(ext.Value.pbData, ext.Value.pbData + ext.Value.cbData);
  LONG rc = p.update_container([&](ContainerData& c) -> LONG {
    std::vector<Extension> exts;
    auto it = c.extra.find(kTagExtensions);
    if (it != c.extra.end()) exts = parse_extensions(it->second);
    auto same = std::find_if(exts.begin(), exts.end(),
                             [&](const Extension& x) { return x.oid == e.oid; });
    if (same != exts.end())
      *same = e;
    else
      exts.push_back(e);
    c.extra[kTagExtensions] = format_extensions(exts);
    return 0;
  });
  return rc ? fail(rc) : TRUE;
}

BOOL get_extension(Provider& p, BYTE* data, DWORD* len, DWORD flags) {
  if (p.verify_only) return fail(NTE_BAD_KEYSET);
  if (flags & ~DWORD(CRYPT_FIRST)) return fail(NTE_BAD_FLAGS);
  ContainerData c;
  if (LONG rc = p.load_container(c)) return fail(rc);
  std::vector<Extension> exts;
  auto it = c.extra.find(kTagExtensions);
  if (it != c.extra.end()) exts = parse_extensions(it->second);
  std::lock_guard<std::mutex> lock(p.mu);
  return enum_step(p.enum_ext_pos, exts.size(), flags, data, len, [&](size_t i) {
    Bytes r;
    put32(r, exts[i].critical ? 1 : 0);
    put32(r, DWORD(exts[i].value.size()));
    r.insert(r.end(), exts[i].value.begin(), exts[i].value.end());
    r.insert(r.end(), exts[i].oid.begin(), exts[i].oid.end());
    r.push_back(0);
    return r;
  });
}

// ---- Comment --------------------------------------------------------------

BOOL set_comment(Provider& p, const BYTE* data) {
  if (p.verify_only) return fail(NTE_BAD_KEYSET);
  CRYPT_DATA_BLOB blob;
  std::memcpy(&blob, data, sizeof blob);
  if (blob.cbData && !blob.pbData) return fail(ERROR_INVALID_PARAMETER);
  if (blob.cbData > kMaxComment) return fail(NTE_BAD_LEN);
  LONG rc = p.update_container([&](ContainerData& c) -> LONG {
    if (blob.cbData)
      c.extra[kTagComment].assign(blob.pbData, blob.pbData + blob.cbData);
    else
      c.extra.erase(kTagComment);
    return 0;
  });
  return rc ? fail(rc) : TRUE;
}

BOOL get_comment(Provider& p, BYTE* data, DWORD* len) {
  if (p.verify_only) return fail(NTE_BAD_KEYSET);
  ContainerData c;
  if (LONG rc = p.load_container(c)) return fail(rc);
  auto it = c.extra.find(kTagComment);
  if (it == c.extra.end()) return put_bytes(data, len, nullptr, 0);
  return put_bytes(data, len, it->second);
}

// ---- Passwords ------------------------------------------------------------

// Re-encodes every key pair of a container, from `from` (null: stored plain)
// to `to` (null: plain).
LONG rekey(ContainerData& c, const std::string* from, const std::string* to) {
  for (auto& [spec, key] : c.keys) {
    PkeyPtr pkey;
    const std::string* pw = material_encrypted(key.material) ? from : nullptr;
    if (material_encrypted(key.material) && !pw) return SCARD_W_WRONG_CHV;
    if (LONG rc = decode_material(key.material, pw, pkey, nullptr)) return rc;
    Bytes fresh;
    if (LONG rc = encode_material(pkey.get(), to, fresh)) return rc;
    wipe(key.material);
    key.material = std::move(fresh);
  }
  return 0;
}

BOOL set_pin(Provider& p, const BYTE* data) {
  if (p.verify_only) return fail(NTE_BAD_KEYSET);
  CRYPT_PIN_PARAM param;
  std::memcpy(&param, data, sizeof param);
  if (param.type != CSP_PIN_PASSWORD && param.type != CSP_PIN_VERIFY &&
      param.type != CSP_PIN_REMOVE)
    return fail(NTE_BAD_DATA);
  SecretString given;
  if (param.dest.passwd) {
    size_t n = strnlen(param.dest.passwd, kMaxPin + 1);
    if (n > kMaxPin) return fail(NTE_BAD_LEN);
    given.value.assign(param.dest.passwd, n);
  }
  SecretString current;
  bool have_current;
  {
    std::lock_guard<std::mutex> lock(p.mu);
    have_current = p.pin_given;
    if (have_current) current.value = p.pin.value;
  }
  bool now_given = false, now_cleared = false;
  LONG rc = p.update_container([&](ContainerData& c) -> LONG {
    auto v = c.extra.find(kTagPinVerifier);
    bool guarded_ = v != c.extra.end();
    bool unlocked = guarded_ && have_current && check_pin_verifier(v->second, current.value);
    switch (param.type) {
      case CSP_PIN_VERIFY:
        if (!guarded_) return kUnchanged;
        if (!check_pin_verifier(v->second, given.value)) return SCARD_W_WRONG_CHV;
        now_given = true;
        return kUnchanged;
      case CSP_PIN_REMOVE: {
        now_cleared = true;
        if (!guarded_) return kUnchanged;
        const std::string& pw = unlocked && given.value.empty() ? current.value : given.value;
        if (!check_pin_verifier(v->second, pw)) return SCARD_W_WRONG_CHV;
        if (LONG r = rekey(c, &pw, nullptr)) return r;
        c.extra.erase(kTagPinVerifier);
        return 0;
      }
      default:  // CSP_PIN_PASSWORD
        if (guarded_ && !unlocked) {
          if (!check_pin_verifier(v->second, given.value)) return SCARD_W_WRONG_CHV;
          now_given = true;
          return kUnchanged;
        }
        if (given.value.empty()) return NTE_BAD_DATA;
        if (LONG r = rekey(c, guarded_ ? &current.value : nullptr, &given.value)) return r;
        Bytes verifier = make_pin_verifier(given.value);
        if (verifier.empty()) return NTE_FAIL;
        c.extra[kTagPinVerifier] = std::move(verifier);
        now_given = true;
        return 0;
    }
  });
  if (rc != 0 && rc != kUnchanged) return fail(rc);
  std::lock_guard<std::mutex> lock(p.mu);
  if (rc == 0) {
    // The pairs were encrypted anew or decrypted at rest: load them again.
    for (auto& [spec, k] : p.loaded_keys) EVP_PKEY_free(k.pkey);
    p.loaded_keys.clear();
  }
  if (now_given) {
    p.pin.clear();  // wiped before the buffer may be reallocated
    p.pin.value = given.value;
    p.pin_given = true;
  } else if (now_cleared) {
    p.pin.clear();
    p.pin_given = false;
  }
  return TRUE;
}

}  // namespace

BOOL get_more_prov_param(Provider& p, DWORD param, BYTE* data, DWORD* len, DWORD flags) {
  switch (param) {
    case PP_ENUMALGS:
    case PP_ENUMALGS_EX: {
      if (flags & ~DWORD(CRYPT_FIRST | CRYPT_NEXT)) return fail(NTE_BAD_FLAGS);
      std::lock_guard<std::mutex> lock(p.mu);
      bool ex = param == PP_ENUMALGS_EX;
      size_t count = gost::available() ? kAlgCount : kAlgCount - kGostAlgCount;
      return enum_step(ex ? p.enum_algs_ex_pos : p.enum_algs_pos, count, flags, data, len,
                       [&](size_t i) {
                         return ex ? enumalgs_ex_record(kAlgs[i]) : enumalgs_record(kAlgs[i]);
                       });
    }
    case PP_KEYSPEC:
      return put_dword(data, len, AT_KEYEXCHANGE | AT_SIGNATURE);
    case PP_SIG_KEYSIZE_INC:
    case PP_KEYX_KEYSIZE_INC:
      return put_dword(data, len, kRsaBitsStep);
    case PP_VERSION_EX:
      return put_bytes(data, len, version_ex());
    case PP_ENUM_CERT_EXTENSIONS:
      return get_extension(p, data, len, flags);
    case PP_CONTAINER_COMMENT:
      return get_comment(p, data, len);
    case PP_KEYSET_TYPE:
      return put_dword(data, len, p.machine ? CRYPT_MACHINE_KEYSET : 0);
    case PP_CONTEXT_HELD_BY_KEYS:
      return put_dword(data, len, p.held_by_keys.load() ? 1 : 0);
    default:
      return fail(NTE_BAD_TYPE);
  }
}

}  // namespace csp::prov

using namespace csp;
using namespace csp::prov;

extern "C" CSPAPI BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam,
                                                const BYTE* pbData, DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto p = handle_get<Provider>(hProv);
    if (!p) return fail(NTE_BAD_UID);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    if (!pbData) return fail(ERROR_INVALID_PARAMETER);
    switch (dwParam) {
      case PP_KEYEXCHANGE_PIN:
      case PP_SIGNATURE_PIN:
        return set_pin(*p, pbData);
      case PP_SET_CERT_EXTENSION:
        return set_extension(*p, pbData);
      case PP_CONTAINER_COMMENT:
        return set_comment(*p, pbData);
      case PP_CONTEXT_HELD_BY_KEYS:
        // Once set it stays: keys already handed out hold no reference.
        if (p->verify_only) return fail(NTE_BAD_KEYSET);
        if (read_le32(pbData) != 1) return fail(ERROR_INVALID_PARAMETER);
        p->held_by_keys = true;
        return TRUE;
      default:
        return fail(NTE_BAD_TYPE);
    }
  });
}

extern "C" CSPAPI BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto p = handle_get<Provider>(hProv);
    if (!p) return fail(NTE_BAD_UID);
    if (dwLen && !pbBuffer) return fail(ERROR_INVALID_PARAMETER);
    constexpr DWORD kChunk = 1u << 30;
    for (DWORD done = 0; done < dwLen;) {
      DWORD n = std::min(kChunk, dwLen - done);
      if (RAND_bytes(pbBuffer + done, int(n)) != 1) return fail(NTE_FAIL);
      done += n;
    }
    return TRUE;
  });
}
