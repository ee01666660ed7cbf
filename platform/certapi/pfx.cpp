// PFX (PKCS #12) import, export and checks.
//
// Import reads every safe bag with OpenSSL and puts each RSA or GOST key into
// a new container of the provider type that keeps it (PROV_RSA_AES, or the
// GOST 2012-256 or 2012-512 type), through the provider's own functions:
// CryptAcquireContextA with CRYPT_NEWKEYSET, then CryptImportKey of a
// PRIVATEKEYBLOB for RSA, csp_import_key_pair for GOST (a GOST private key
// blob is always wrapped, so there is no plain one to import). Either becomes
// the container's AT_KEYEXCHANGE pair. The GOST engine is loaded before a
// PFX is read, so that OpenSSL decodes GOST keys and certificates in it. The
// certificate with the key gets the key provider info
// and a key context owning that context; the context is made "held by its
// keys" (PP_CONTEXT_HELD_BY_KEYS), so a key taken from it keeps the context
// handle valid after the imported store and its certificates are gone.
//
// Legacy files (RC2 and 3DES with SHA-1) need OpenSSL's legacy provider. It
// is loaded, together with the default provider, into the process's default
// library context the first time a PFX is read: OpenSSL's PKCS #12 functions
// decrypt through that context, and the legacy provider only adds old
// algorithms, it changes no default.
//
// Export takes each key pair through csp_export_key_pair, which refuses a
// key not made exportable, and writes the modern protection: keys shrouded
// and certificates encrypted with AES-256-CBC under PBES2 (PBKDF2 with
// HMAC-SHA-256), and a SHA-256 MAC.
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <mutex>

#include "apiutil.h"
#include "certobj.h"
#include "csp/provkey.h"
#include "osslptr.h"

namespace csp::cert {

namespace {

constexpr int kIterations = 2048;

void load_legacy_provider() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Kept loaded for the life of the process.
    OSSL_PROVIDER_load(nullptr, "default");
    OSSL_PROVIDER_load(nullptr, "legacy");
    ERR_clear_error();
  });
}

// The password as OpenSSL takes it: UTF-8 (empty when it does not convert),
// or null for a null password; wiped when it goes. PKCS #12 makes different
// keys of an empty password and of none at all, and tools write either for
// "no password"; an empty or null password may therefore stand for the
// other (other_form), as on Windows.
struct Password {
  bool given = false;
  SecureVector<char> utf8{'\0'};
  explicit Password(LPCWSTR w) {
    if (!w) return;
    given = true;
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return;
    utf8.assign(size_t(n), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, w, -1, utf8.data(), n, nullptr, nullptr) != n)
      utf8.assign(1, '\0');
  }
  const char* ptr() const { return given ? utf8.data() : nullptr; }
  int len() const { return given ? int(utf8.size() - 1) : 0; }
  bool other_form() {
    if (len() != 0) return false;
    given = !given;
    return true;
  }
};

LONG parse_pfx(const CRYPT_DATA_BLOB* blob, Pkcs12Ptr& out) {
  if (!blob || !blob->pbData || blob->cbData == 0) return ERROR_INVALID_PARAMETER;
  if (blob->cbData > 0x7FFFFFFF) return CRYPT_E_BAD_ENCODE;
  const unsigned char* p = blob->pbData;
  out.reset(d2i_PKCS12(nullptr, &p, long(blob->cbData)));
  ERR_clear_error();
  return out ? 0 : CRYPT_E_BAD_ENCODE;
}

// ---- RSA keys and PRIVATEKEYBLOBs --------------------------------------

const char* const kRsaParams[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                  OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                  OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                                  OSSL_PKEY_PARAM_RSA_D};

LONG blob_from_rsa(EVP_PKEY* key, ALG_ID alg, Bytes& out) {
  BIGNUM* e_raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e_raw) != 1) return NTE_BAD_KEY;
  BnPtr e(e_raw);
  DWORD bits = DWORD(EVP_PKEY_get_bits(key));
  if (bits % 8 || BN_num_bits(e.get()) > 32) return NTE_BAD_KEY;
  size_t n = bits / 8, half = (bits + 15) / 16;
  out.clear();
  for (BYTE b : {BYTE(PRIVATEKEYBLOB), BYTE(CUR_BLOB_VERSION), BYTE(0), BYTE(0)}) out.push_back(b);
  auto put32 = [&](DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(BYTE(v >> (8 * i)));
  };
  put32(alg);
  put32(RSA2_MAGIC);
  put32(bits);
  put32(DWORD(BN_get_word(e.get())));
  for (const char* name : kRsaParams) {
    size_t len = (name == kRsaParams[0] || name == kRsaParams[6]) ? n : half;
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return NTE_BAD_KEY;
    BnPtr v(raw);
    size_t at = out.size();
    out.resize(at + len);
    if (BN_bn2lebinpad(v.get(), out.data() + at, int(len)) < 0) return NTE_BAD_KEY;
  }
  return 0;
}

// ---- import ------------------------------------------------------------

// The import flags, each done as it says or refused:
//  - CRYPT_EXPORTABLE: the keys may be exported again (PFXExportCertStore);
//  - CRYPT_MACHINE_KEYSET / CRYPT_USER_KEYSET: the containers go into the
//    machine's or the user's key directory (not both);
//  - PKCS12_NO_PERSIST_KEY: the keys live in memory only, in containers no
//    other context can open, gone with the last handle to them;
//  - PKCS12_ONLY_CERTIFICATES: no keys; PKCS12_ONLY_NOT_ENCRYPTED_CERTIFICATES:
//    only the certificates readable without the password;
//  - PKCS12_ALLOW_OVERWRITE_KEY: every key gets a container of a new name, so
//    there is never a key to overwrite; PKCS12_IMPORT_SILENT: the import never
//    asks the user anything anyway; PKCS12_PREFER_CNG_KSP: the CSP is the
//    fallback such a caller accepts.
// Refused: CRYPT_USER_PROTECTED (the key would have to ask its user before
// every use, and this CSP has no way to ask: NTE_SILENT_CONTEXT),
// PKCS12_ALWAYS_CNG_KSP (no CNG key storage) and
// PKCS12_INCLUDE_EXTENDED_PROPERTIES (extended property bags are not read):
// NTE_BAD_FLAGS; unknown bits and machine with user: E_INVALIDARG.
LONG check_import_flags(DWORD f) {
  constexpr DWORD kKnown = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_MACHINE_KEYSET |
                           CRYPT_USER_KEYSET | PKCS12_IMPORT_SILENT |
                           PKCS12_INCLUDE_EXTENDED_PROPERTIES | PKCS12_PREFER_CNG_KSP |
                           PKCS12_ALWAYS_CNG_KSP | PKCS12_ONLY_CERTIFICATES |
                           PKCS12_ONLY_NOT_ENCRYPTED_CERTIFICATES | PKCS12_ALLOW_OVERWRITE_KEY |
                           PKCS12_NO_PERSIST_KEY;
  if ((f & ~kKnown) || ((f & CRYPT_MACHINE_KEYSET) && (f & CRYPT_USER_KEYSET))) return E_INVALIDARG;
  if (f & (PKCS12_ALWAYS_CNG_KSP | PKCS12_INCLUDE_EXTENDED_PROPERTIES)) return NTE_BAD_FLAGS;
  if (f & CRYPT_USER_PROTECTED) return NTE_SILENT_CONTEXT;
  return 0;
}

struct Bag {
  X509Ptr cert;
  PkeyPtr key;
  Bytes key_id;
  std::string friendly;  // UTF-8
};

// Which bags a read takes: everything, or (PKCS12_ONLY_NOT_ENCRYPTED_CERTIFICATES)
// only the certificates that are readable without the password.
enum class Take { All, PlainCertificates };

LONG read_bags(const STACK_OF(PKCS12_SAFEBAG)* bags, const Password& pw, Take take,
               std::vector<Bag>& out) {
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
    Bag b;
    if (const ASN1_TYPE* id = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID)) {
      if (id->type == V_ASN1_OCTET_STRING) {
        const unsigned char* d = ASN1_STRING_get0_data(id->value.octet_string);
        b.key_id.assign(d, d + ASN1_STRING_length(id->value.octet_string));
      }
    }
    if (char* fn = PKCS12_get_friendlyname(const_cast<PKCS12_SAFEBAG*>(bag))) {
      b.friendly = fn;
      OPENSSL_free(fn);
    }
    int nid = PKCS12_SAFEBAG_get_nid(bag);
    if (take == Take::PlainCertificates && nid != NID_certBag && nid != NID_safeContentsBag) continue;
    switch (nid) {
      case NID_keyBag: {
        const PKCS8_PRIV_KEY_INFO* p8 = PKCS12_SAFEBAG_get0_p8inf(bag);
        b.key.reset(p8 ? EVP_PKCS82PKEY(p8) : nullptr);
        if (!b.key) return CRYPT_E_BAD_ENCODE;
        break;
      }
      case NID_pkcs8ShroudedKeyBag: {
        PKCS8_PRIV_KEY_INFO* p8 = PKCS12_decrypt_skey(bag, pw.ptr(), pw.len());
        if (!p8) return ERROR_INVALID_PASSWORD;
        b.key.reset(EVP_PKCS82PKEY(p8));
        PKCS8_PRIV_KEY_INFO_free(p8);
        if (!b.key) return CRYPT_E_BAD_ENCODE;
        break;
      }
      case NID_certBag:
        if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) continue;
        b.cert.reset(PKCS12_SAFEBAG_get1_cert(bag));
        if (!b.cert) return CRYPT_E_BAD_ENCODE;
        break;
      case NID_safeContentsBag:
        if (LONG rc = read_bags(PKCS12_SAFEBAG_get0_safes(bag), pw, take, out)) return rc;
        continue;
      default:
        continue;  // CRLs, secrets: not kept
    }
    out.push_back(std::move(b));
  }
  return 0;
}

// Every bag of a PFX once the password is checked. Certificates readable
// without the password are read without checking it.
LONG read_pfx_as(PKCS12* p12, const Password& pw, std::vector<Bag>& out, Take take) {
  load_legacy_provider();
  load_gost();  // without it, GOST keys and certificates do not decode
  if (take == Take::All && PKCS12_mac_present(p12) &&
      PKCS12_verify_mac(p12, pw.ptr(), pw.len()) != 1) {
    ERR_clear_error();
    return ERROR_INVALID_PASSWORD;
  }
  Pkcs7StackPtr safes(PKCS12_unpack_authsafes(p12));
  if (!safes) return CRYPT_E_BAD_ENCODE;
  LONG rc = 0;
  for (int i = 0; i < sk_PKCS7_num(safes.get()) && !rc; ++i) {
    PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
    SafeBagsPtr bags;
    int nid = OBJ_obj2nid(p7->type);
    if (nid == NID_pkcs7_data) {
      bags.reset(PKCS12_unpack_p7data(p7));
    } else if (nid == NID_pkcs7_encrypted && take == Take::All) {
      bags.reset(PKCS12_unpack_p7encdata(p7, pw.ptr(), pw.len()));
      if (!bags) rc = ERROR_INVALID_PASSWORD;
    } else {
      continue;
    }
    if (!bags && !rc) rc = CRYPT_E_BAD_ENCODE;
    if (bags) rc = read_bags(bags.get(), pw, take, out);
  }
  ERR_clear_error();
  return rc;
}

// The same, an empty or null password tried in its other form when the
// first fails.
LONG read_pfx(PKCS12* p12, Password& pw, std::vector<Bag>& out, Take take = Take::All) {
  LONG rc = read_pfx_as(p12, pw, out, take);
  if (rc == ERROR_INVALID_PASSWORD && pw.other_form()) {
    out.clear();
    rc = read_pfx_as(p12, pw, out, take);
  }
  return rc;
}

// The notAfter of a certificate's private key usage period extension.
bool usage_end_of(X509* x, FILETIME& out) {
  PKEY_USAGE_PERIOD* pkup =
      static_cast<PKEY_USAGE_PERIOD*>(X509_get_ext_d2i(x, NID_private_key_usage_period, nullptr, nullptr));
  bool ok = pkup && pkup->notAfter && asn1_to_filetime(pkup->notAfter, out);
  PKEY_USAGE_PERIOD_free(pkup);
  return ok;
}

std::string new_container_name() {
  unsigned char r[16];
  if (RAND_bytes(r, sizeof r) != 1) return std::string();
  char buf[64];
  snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
           r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12], r[13],
           r[14], r[15]);
  return buf;
}

// Puts one key into a new container of provider type `type`, on disk or,
// with PKCS12_NO_PERSIST_KEY, in memory only; *prov holds one reference.
LONG import_key(EVP_PKEY* key, DWORD type, X509* cert, DWORD flags, const std::string& name,
                HCRYPTPROV* prov) {
  DWORD acquire = CRYPT_NEWKEYSET | CRYPT_SILENT | (flags & CRYPT_MACHINE_KEYSET);
  BOOL made = (flags & PKCS12_NO_PERSIST_KEY)
                  ? csp_acquire_memory_container(prov, name.c_str(), type)
                  : CryptAcquireContextA(prov, name.c_str(), nullptr, type, acquire);
  if (!made) return LONG(GetLastError());
  DWORD one = 1;
  HCRYPTKEY k = 0;
  LONG rc = 0;
  if (!CryptSetProvParam(*prov, PP_CONTEXT_HELD_BY_KEYS, reinterpret_cast<BYTE*>(&one), 0))
    rc = LONG(GetLastError());
  if (!rc && type == PROV_RSA_AES) {
    Bytes blob;
    rc = blob_from_rsa(key, CALG_RSA_KEYX, blob);
    if (!rc && !CryptImportKey(*prov, blob.data(), DWORD(blob.size()), 0, flags & CRYPT_EXPORTABLE, &k))
      rc = LONG(GetLastError());
    wipe(blob);
  } else if (!rc && !csp_import_key_pair(*prov, AT_KEYEXCHANGE, key, flags & CRYPT_EXPORTABLE, &k)) {
    rc = LONG(GetLastError());
  }
  FILETIME end;
  if (!rc && cert && usage_end_of(cert, end)) {
    BYTE le[8];
    for (int i = 0; i < 4; ++i) {
      le[i] = BYTE(end.dwLowDateTime >> (8 * i));
      le[4 + i] = BYTE(end.dwHighDateTime >> (8 * i));
    }
    if (!CryptSetKeyParam(k, KP_PRIVATEKEY_USAGE_PERIOD_END, le, 0)) rc = LONG(GetLastError());
  }
  if (k) CryptDestroyKey(k);
  if (rc) {
    CryptReleaseContext(*prov, 0);
    *prov = 0;
  }
  return rc;
}

void set_friendly_name(PCCERT_CONTEXT ctx, const std::string& utf8) {
  std::wstring w = widen(utf8, CP_UTF8);
  CRYPT_DATA_BLOB b{DWORD((w.size() + 1) * sizeof(WCHAR)),
                    reinterpret_cast<BYTE*>(const_cast<wchar_t*>(w.c_str()))};
  CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, &b);
}

LONG set_prov_info(PCCERT_CONTEXT ctx, const std::string& container, DWORD flags, HCRYPTPROV prov,
                   DWORD type) {
  std::wstring wc = widen(container, CP_UTF8);
  std::wstring wp;
  char pname[256];
  DWORD plen = sizeof pname;
  if (CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(pname), &plen, 0))
    wp = widen(std::string(pname, strnlen(pname, plen)), CP_UTF8);
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = &wc[0];
  info.pwszProvName = &wp[0];
  info.dwProvType = type;
  info.dwFlags = flags & CRYPT_MACHINE_KEYSET;
  info.dwKeySpec = AT_KEYEXCHANGE;
  if (!CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
    return LONG(GetLastError());
  return 0;
}

// The certificate's key context owns `prov`. A persisted key also gets the
// key provider information that acquires it again; one kept in memory has
// nothing to acquire it by.
LONG bind_key(PCCERT_CONTEXT ctx, const std::string& container, DWORD flags, HCRYPTPROV prov,
              DWORD type) {
  if (!(flags & PKCS12_NO_PERSIST_KEY)) {
    if (LONG rc = set_prov_info(ctx, container, flags, prov, type)) return rc;
  }
  CERT_KEY_CONTEXT kc{};
  kc.cbSize = sizeof kc;
  kc.hCryptProv = prov;
  kc.dwKeySpec = AT_KEYEXCHANGE;
  if (!CertSetCertificateContextProperty(ctx, CERT_KEY_CONTEXT_PROP_ID, 0, &kc))
    return LONG(GetLastError());
  return 0;
}

}  // namespace

}  // namespace csp::cert

using namespace csp;
using namespace csp::cert;

extern "C" CSPAPI BOOL WINAPI PFXIsPFXBlob(CRYPT_DATA_BLOB* pPFX) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    Pkcs12Ptr p12;
    if (LONG rc = parse_pfx(pPFX, p12)) return fail(rc);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI PFXVerifyPassword(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword,
                                                DWORD dwFlags) {
  CSP_ENTRY;
  (void)dwFlags;
  return guarded([&]() -> BOOL {
    Pkcs12Ptr p12;
    if (LONG rc = parse_pfx(pPFX, p12)) return fail(rc);
    Password pw(szPassword);
    std::vector<Bag> bags;
    if (LONG rc = read_pfx(p12.get(), pw, bags)) return fail(rc);
    return TRUE;
  });
}

extern "C" CSPAPI HCERTSTORE WINAPI PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword,
                                                       DWORD dwFlags) {
  CSP_ENTRY;
  return guarded_value<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
    if (LONG rc = check_import_flags(dwFlags)) return fail_null(rc);
    Pkcs12Ptr p12;
    if (LONG rc = parse_pfx(pPFX, p12)) return fail_null(rc);
    Password pw(szPassword);
    std::vector<Bag> bags;
    bool plain_only = dwFlags & PKCS12_ONLY_NOT_ENCRYPTED_CERTIFICATES;
    if (LONG rc = read_pfx(p12.get(), pw, bags, plain_only ? Take::PlainCertificates : Take::All))
      return fail_null(rc);

    auto s = new_store();
    if (!s) return fail_null(NTE_NO_MEMORY);
    // Containers (name, provider type) to remove if the import fails.
    std::vector<std::pair<std::string, DWORD>> created;
    LONG rc = 0;
    std::vector<PCCERT_CONTEXT> contexts(bags.size(), nullptr);
    for (size_t i = 0; i < bags.size() && !rc; ++i) {
      if (!bags[i].cert) continue;
      // The bag's certificate as it was decoded: decoding it again would
      // cost as much as the first time.
      std::shared_ptr<Cert> c;
      rc = make_cert_x509(bags[i].cert.get(), c) ? CRYPT_E_BAD_ENCODE : 0;
      if (!rc) rc = add_cert(*s, c, CERT_STORE_ADD_ALWAYS, &contexts[i]);
      if (!rc && !bags[i].friendly.empty()) set_friendly_name(contexts[i], bags[i].friendly);
    }
    bool keys = !(dwFlags & (PKCS12_ONLY_CERTIFICATES | PKCS12_ONLY_NOT_ENCRYPTED_CERTIFICATES));
    for (size_t k = 0; k < bags.size() && !rc && keys; ++k) {
      Bag& key = bags[k];
      DWORD type = key.key ? csp_key_provider_type(key.key.get()) : 0;
      if (!type) continue;
      // Its certificate: the one with the same local key id, else the one
      // whose public key it is.
      size_t owner = bags.size();
      for (size_t i = 0; i < bags.size() && owner == bags.size(); ++i)
        if (bags[i].cert && !key.key_id.empty() && bags[i].key_id == key.key_id) owner = i;
      for (size_t i = 0; i < bags.size() && owner == bags.size(); ++i)
        if (bags[i].cert && X509_check_private_key(bags[i].cert.get(), key.key.get()) == 1) owner = i;
      ERR_clear_error();
      if (owner == bags.size()) continue;
      std::string name = new_container_name();
      if (name.empty()) {
        rc = NTE_FAIL;
        break;
      }
      HCRYPTPROV prov = 0;
      rc = import_key(key.key.get(), type, bags[owner].cert.get(), dwFlags, name, &prov);
      if (rc) break;
      if (!(dwFlags & PKCS12_NO_PERSIST_KEY)) created.emplace_back(name, type);
      rc = bind_key(contexts[owner], name, dwFlags, prov, type);
      if (rc) CryptReleaseContext(prov, 0);
      if (!rc && bags[owner].friendly.empty() && !key.friendly.empty())
        set_friendly_name(contexts[owner], key.friendly);
    }
    for (PCCERT_CONTEXT c : contexts) CertFreeCertificateContext(c);
    if (rc) {
      release_store(s->handle);
      for (const auto& [name, type] : created) {
        HCRYPTPROV gone = 0;
        CryptAcquireContextA(&gone, name.c_str(), nullptr, type,
                             CRYPT_DELETEKEYSET | (dwFlags & CRYPT_MACHINE_KEYSET));
      }
      return fail_null(rc);
    }
    return reinterpret_cast<HCERTSTORE>(s->handle);
  });
}

namespace csp::cert {
namespace {

// The private key of a certificate as an EVP_PKEY; null (and a code) when it
// has none or it cannot be exported.
PkeyPtr private_key_of(PCCERT_CONTEXT ctx, LONG& why) {
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  DWORD spec = 0;
  BOOL must_free = FALSE;
  why = NTE_NO_KEY;
  if (!CryptAcquireCertificatePrivateKey(ctx, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &prov, &spec,
                                         &must_free))
    return nullptr;
  PkeyPtr out;
  HCRYPTKEY k = 0;
  if (CryptGetUserKey(prov, spec, &k)) {
    out.reset(csp_export_key_pair(k));
    if (!out) why = LONG(GetLastError());
    CryptDestroyKey(k);
  }
  if (must_free) CryptReleaseContext(prov, 0);
  return out;
}

LONG export_pfx(Store& s, const Password& pw, DWORD flags, Bytes& out) {
  std::vector<std::shared_ptr<Cert>> certs;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    fill_pending(s);
    certs = s.certs;
  }
  SafeBagsPtr cert_bags(sk_PKCS12_SAFEBAG_new_null());
  SafeBagsPtr key_bags(sk_PKCS12_SAFEBAG_new_null());
  if (!cert_bags || !key_bags) return NTE_NO_MEMORY;
  STACK_OF(PKCS12_SAFEBAG)* cb = cert_bags.get();
  STACK_OF(PKCS12_SAFEBAG)* kb = key_bags.get();
  for (auto& c : certs) {
    std::string friendly;
    {
      std::lock_guard<std::mutex> lock(c->mu);
      auto it = c->props.find(CERT_FRIENDLY_NAME_PROP_ID);
      if (it != c->props.end()) {
        std::wstring w(reinterpret_cast<const WCHAR*>(it->second.data()),
                       it->second.size() / sizeof(WCHAR));
        w.resize(wcsnlen(w.c_str(), w.size()));
        friendly = narrow(w, CP_UTF8);
      }
    }
    PkeyPtr key;
    if (flags & EXPORT_PRIVATE_KEYS) {
      LONG why = 0;
      key = private_key_of(&c->ctx, why);
      if (!key && why == NTE_NO_KEY && (flags & REPORT_NO_PRIVATE_KEY)) return why;
      if (!key && why != NTE_NO_KEY && (flags & REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY)) return why;
    }
    Bytes id = digest_of(*c, "SHA1");
    PKCS12_SAFEBAG* bag = PKCS12_add_cert(&cb, c->x509.get());
    if (!bag) return NTE_NO_MEMORY;
    if (!friendly.empty() && !PKCS12_add_friendlyname_utf8(bag, friendly.c_str(), -1)) return NTE_FAIL;
    if (!key) continue;
    if (!PKCS12_add_localkeyid(bag, id.data(), int(id.size()))) return NTE_FAIL;
    PKCS12_SAFEBAG* kbag =
        PKCS12_add_key(&kb, key.get(), 0, kIterations, NID_aes_256_cbc, pw.ptr());
    if (!kbag || !PKCS12_add_localkeyid(kbag, id.data(), int(id.size())) ||
        (!friendly.empty() && !PKCS12_add_friendlyname_utf8(kbag, friendly.c_str(), -1)))
      return NTE_FAIL;
  }
  Pkcs7StackPtr safes(sk_PKCS7_new_null());
  if (!safes) return NTE_NO_MEMORY;
  STACK_OF(PKCS7)* sp = safes.get();
  if (!PKCS12_add_safe(&sp, cb, NID_aes_256_cbc, kIterations, pw.ptr())) return NTE_FAIL;
  if (sk_PKCS12_SAFEBAG_num(kb) > 0 && !PKCS12_add_safe(&sp, kb, -1, 0, nullptr)) return NTE_FAIL;
  Pkcs12Ptr p12(PKCS12_add_safes(sp, 0));
  if (!p12 || PKCS12_set_mac(p12.get(), pw.ptr(), pw.len(), nullptr, 0, kIterations,
                             EVP_sha256()) != 1)
    return NTE_FAIL;
  unsigned char* der = nullptr;
  int n = i2d_PKCS12(p12.get(), &der);
  if (n <= 0) return NTE_FAIL;
  out.assign(der, der + n);
  OPENSSL_free(der);
  return 0;
}

}  // namespace
}  // namespace csp::cert

extern "C" CSPAPI BOOL WINAPI PFXExportCertStore(HCERTSTORE hStore, CRYPT_DATA_BLOB* pPFX,
                                                 LPCWSTR szPassword, DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto s = handle_get<Store>(reinterpret_cast<uintptr_t>(hStore));
    if (!s || !pPFX) return fail(E_INVALIDARG);
    if (dwFlags & PKCS12_EXPORT_RESERVED_MASK) return fail(E_INVALIDARG);
    Password pw(szPassword);
    Bytes der;
    LONG rc = export_pfx(*s, pw, dwFlags, der);
    ERR_clear_error();
    if (rc) return fail(rc);
    DWORD have = pPFX->cbData;
    pPFX->cbData = DWORD(der.size());
    if (!pPFX->pbData) return TRUE;
    if (have < der.size()) return fail(ERROR_MORE_DATA);
    memcpy(pPFX->pbData, der.data(), der.size());
    return TRUE;
  });
}
