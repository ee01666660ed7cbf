// Certificate contexts: parsing into CERT_CONTEXT and CERT_INFO, the pointer
// registry, reference counting, and the context properties.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "apiutil.h"
#include "certobj.h"

namespace csp::cert {

namespace {

// Context pointer -> handle of the Cert that owns it.
struct Registry {
  std::mutex mu;
  std::unordered_map<const void*, uintptr_t> map;
};
Registry& registry() {
  static Registry* r = new Registry;  // never destroyed, like the handle table
  return *r;
}

std::string oid_text(const ASN1_OBJECT* o) {
  char buf[128];
  int n = OBJ_obj2txt(buf, sizeof buf, o, 1);
  if (n <= 0) return std::string();
  if (size_t(n) < sizeof buf) return std::string(buf, size_t(n));
  std::string big(size_t(n) + 1, '\0');
  OBJ_obj2txt(&big[0], n + 1, o, 1);
  big.resize(size_t(n));
  return big;
}

// The DER of an algorithm's parameters (empty when absent).
Bytes params_der(const X509_ALGOR* alg) {
  const ASN1_OBJECT* obj = nullptr;
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(&obj, &ptype, &pval, alg);
  Bytes out;
  if (ptype == V_ASN1_UNDEF) return out;
  // Owned, since filling `out` may throw.
  OsslPtr<ASN1_TYPE, ASN1_TYPE_free> t(ASN1_TYPE_new());
  if (!t) return out;
  if (ptype == V_ASN1_NULL) {
    ASN1_TYPE_set(t.get(), V_ASN1_NULL, nullptr);
  } else if (ASN1_TYPE_set1(t.get(), ptype, pval) != 1) {
    return out;
  }
  unsigned char* raw = nullptr;
  int n = i2d_ASN1_TYPE(t.get(), &raw);
  OsslBytes der(raw);
  if (n > 0) out.assign(der.get(), der.get() + n);
  return out;
}

// Fills a CERT_INFO's blobs and strings with storage the core keeps.
struct InfoFiller {
  CertCore& c;
  Bytes& keep(Bytes b) { return c.blobs.emplace_back(std::move(b)); }
  void blob(CRYPT_DATA_BLOB& dst, Bytes b) {
    Bytes& kept = keep(std::move(b));
    dst.cbData = DWORD(kept.size());
    dst.pbData = kept.empty() ? nullptr : kept.data();
  }
  void oid(LPSTR& dst, const ASN1_OBJECT* o) { dst = &c.strings.emplace_back(oid_text(o))[0]; }
  void bits(CRYPT_BIT_BLOB& dst, const ASN1_BIT_STRING* b) {
    if (!b) return;
    const unsigned char* d = ASN1_STRING_get0_data(b);
    Bytes& kept = keep(Bytes(d, d + ASN1_STRING_length(b)));
    dst.cbData = DWORD(kept.size());
    dst.pbData = kept.empty() ? nullptr : kept.data();
    dst.cUnusedBits = (b->flags & ASN1_STRING_FLAG_BITS_LEFT) ? DWORD(b->flags & 7) : 0;
  }
};

// The serial number as CryptoAPI keeps it: the INTEGER's content octets,
// least significant first.
Bytes serial_of(X509* x) {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
  unsigned char* raw = nullptr;
  int n = i2d_ASN1_INTEGER(serial, &raw);
  OsslBytes der(raw);
  Bytes content;
  if (n > 2) {
    const unsigned char* p = der.get();
    long len = 0;
    int tag = 0, cls = 0;
    if (!(ASN1_get_object(&p, &len, &tag, &cls, n) & 0x80)) content.assign(p, p + len);
  }
  std::reverse(content.begin(), content.end());
  return content;
}

Bytes name_der(const X509_NAME* nm) {
  const unsigned char* p = nullptr;
  size_t n = 0;
  Bytes out;
  if (X509_NAME_get0_der(const_cast<X509_NAME*>(nm), &p, &n) == 1) out.assign(p, p + n);
  return out;
}

void fill_extensions(CertCore& c, InfoFiller& f) {
  X509* x = c.x509.get();
  int n = X509_get_ext_count(x);
  c.exts.resize(size_t(std::max(n, 0)));
  for (int i = 0; i < n; ++i) {
    X509_EXTENSION* e = X509_get_ext(x, i);
    CERT_EXTENSION& ce = c.exts[size_t(i)];
    f.oid(ce.pszObjId, X509_EXTENSION_get_object(e));
    ce.fCritical = X509_EXTENSION_get_critical(e) ? TRUE : FALSE;
    const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(e);
    const unsigned char* d = ASN1_STRING_get0_data(v);
    f.blob(ce.Value, Bytes(d, d + ASN1_STRING_length(v)));
  }
  c.info.cExtension = DWORD(c.exts.size());
  c.info.rgExtension = c.exts.empty() ? nullptr : c.exts.data();
}

void fill_info(CertCore& c) {
  X509* x = c.x509.get();
  CERT_INFO& ci = c.info;
  InfoFiller f{c};
  ci.dwVersion = DWORD(X509_get_version(x));
  f.blob(ci.SerialNumber, serial_of(x));
  const X509_ALGOR* sig = X509_get0_tbs_sigalg(x);
  const ASN1_OBJECT* sig_oid = nullptr;
  X509_ALGOR_get0(&sig_oid, nullptr, nullptr, sig);
  f.oid(ci.SignatureAlgorithm.pszObjId, sig_oid);
  f.blob(ci.SignatureAlgorithm.Parameters, params_der(sig));
  f.blob(ci.Issuer, name_der(X509_get_issuer_name(x)));
  f.blob(ci.Subject, name_der(X509_get_subject_name(x)));
  asn1_to_filetime(X509_get0_notBefore(x), ci.NotBefore);
  asn1_to_filetime(X509_get0_notAfter(x), ci.NotAfter);
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
  const ASN1_OBJECT* key_oid = nullptr;
  const unsigned char* key_bytes = nullptr;
  int key_len = 0;
  X509_ALGOR* key_alg = nullptr;
  if (pub && X509_PUBKEY_get0_param(nullptr, &key_bytes, &key_len, &key_alg, pub) == 1) {
    X509_ALGOR_get0(&key_oid, nullptr, nullptr, key_alg);
    f.oid(ci.SubjectPublicKeyInfo.Algorithm.pszObjId, key_oid);
    f.blob(ci.SubjectPublicKeyInfo.Algorithm.Parameters, params_der(key_alg));
    Bytes& k = f.keep(Bytes(key_bytes, key_bytes + key_len));
    ci.SubjectPublicKeyInfo.PublicKey.cbData = DWORD(k.size());
    ci.SubjectPublicKeyInfo.PublicKey.pbData = k.empty() ? nullptr : k.data();
  }
  const ASN1_BIT_STRING* iuid = nullptr;
  const ASN1_BIT_STRING* suid = nullptr;
  X509_get0_uids(x, &iuid, &suid);
  f.bits(ci.IssuerUniqueId, iuid);
  f.bits(ci.SubjectUniqueId, suid);
  fill_extensions(c, f);
}

}  // namespace

void register_ptr(const void* p, uintptr_t h) {
  std::lock_guard<std::mutex> lock(registry().mu);
  registry().map[p] = h;
}

void unregister_ptr(const void* p, uintptr_t h) {
  std::lock_guard<std::mutex> lock(registry().mu);
  auto it = registry().map.find(p);
  if (it != registry().map.end() && it->second == h) registry().map.erase(it);
}

uintptr_t lookup_ptr(const void* p) {
  std::lock_guard<std::mutex> lock(registry().mu);
  auto it = registry().map.find(p);
  return it == registry().map.end() ? 0 : it->second;
}

Cert::~Cert() {
  drop_key_context(*this);
  unregister_ptr(&ctx, handle);
}

namespace {

std::shared_ptr<Cert> cert_of(std::shared_ptr<CertCore> core) {
  fill_info(*core);
  int ok_subject = 0, ok_issuer = 0;
  core->subject_hash = X509_NAME_hash_ex(X509_get_subject_name(core->x509.get()), nullptr, nullptr,
                                         &ok_subject);
  core->issuer_hash = X509_NAME_hash_ex(X509_get_issuer_name(core->x509.get()), nullptr, nullptr,
                                        &ok_issuer);
  core->hashed = ok_subject == 1 && ok_issuer == 1;
  ERR_clear_error();
  return new_cert(core);
}

}  // namespace

std::shared_ptr<Cert> new_cert(const std::shared_ptr<const CertCore>& core) {
  auto c = std::make_shared<Cert>(core);
  c->ctx.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  c->ctx.pbCertEncoded = const_cast<BYTE*>(core->der.data());
  c->ctx.cbCertEncoded = DWORD(core->der.size());
  c->ctx.pCertInfo = const_cast<CERT_INFO*>(&core->info);
  return c;
}

LONG make_cert(const BYTE* der, size_t n, std::shared_ptr<Cert>& out) {
  if (!der || n == 0) return CRYPT_E_ASN1_EOD;
  if (n > 0x7FFFFFFF) return CRYPT_E_ASN1_LARGE;
  if (der[0] != 0x30) return CRYPT_E_ASN1_BADTAG;
  {
    const unsigned char* p = der;
    long len = 0;
    int tag = 0, cls = 0;
    int r = ASN1_get_object(&p, &len, &tag, &cls, long(n));
    if (r & 0x80) return CRYPT_E_ASN1_EOD;  // the header claims more than there is
    if (size_t(p - der) + size_t(len) != n) return CRYPT_E_ASN1_CORRUPT;  // trailing bytes
  }
  auto core = std::make_shared<CertCore>();
  core->der.assign(der, der + n);
  const unsigned char* p = core->der.data();
  core->x509.reset(d2i_X509(nullptr, &p, long(n)));
  if (!core->x509 || p != core->der.data() + n) return CRYPT_E_ASN1_CORRUPT;
  out = cert_of(std::move(core));
  return 0;
}

LONG make_cert_x509(X509* x, std::shared_ptr<Cert>& out) {
  unsigned char* raw = nullptr;
  int n = x ? i2d_X509(x, &raw) : -1;
  OsslBytes der(raw);
  if (n <= 0 || X509_up_ref(x) != 1) return CRYPT_E_ASN1_CORRUPT;
  X509Ptr ref(x);  // the reference just taken, until the core holds it
  auto core = std::make_shared<CertCore>();
  core->x509 = std::move(ref);
  core->der.assign(der.get(), der.get() + n);
  out = cert_of(std::move(core));
  return 0;
}

std::shared_ptr<Cert> resolve(PCCERT_CONTEXT p) {
  if (!p) return nullptr;
  auto c = handle_get<Cert>(lookup_ptr(p));
  return c && &c->ctx == p ? c : nullptr;
}

bool insert_cert(const std::shared_ptr<Cert>& c) {
  c->handle = handle_insert(c);
  if (!c->handle) return false;
  register_ptr(&c->ctx, c->handle);
  return true;
}

PCCERT_CONTEXT give(const std::shared_ptr<Cert>& c) {
  if (!handle_add_ref(c->store, Kind::Store)) return nullptr;
  if (!handle_add_ref(c->handle, Kind::Cert)) {
    release_store(c->store);
    return nullptr;
  }
  return &c->ctx;
}

void take_back(const Cert& c) {
  uintptr_t store = c.store;
  handle_release(c.handle, Kind::Cert);
  release_store(store);
}

bool take_back_prev(PCCERT_CONTEXT prev, uint64_t& seq, uintptr_t& store) {
  auto p = resolve(prev);
  if (!p) return false;
  seq = p->seq;
  store = p->store;
  take_back(*p);
  return true;
}

bool release_store(uintptr_t h) {
  std::shared_ptr<Object> removed;
  Drop d = handle_release(h, Kind::Store, &removed);
  if (d == Drop::Invalid) return false;
  if (d == Drop::Removed) {
    auto s = std::static_pointer_cast<Store>(removed);
    std::vector<std::shared_ptr<Cert>> certs;
    {
      std::lock_guard<std::mutex> lock(s->mu);
      std::vector<uint64_t> names;
      s->replace(certs, names);
      take_pending(*s, certs);
    }
    for (auto& c : certs) handle_release(c->handle, Kind::Cert);
  }
  return true;
}

std::shared_ptr<Store> new_store() {
  auto s = std::make_shared<Store>();
  s->handle = handle_insert(s);
  if (!s->handle) return nullptr;
  return s;
}

void copy_props(Cert& from, Cert& to, bool inherit) {
  // Two certificates' locks: taken one at a time, never both.
  std::map<DWORD, Bytes> props;
  KeyProps keys;
  {
    std::lock_guard<std::mutex> lock(from.mu);
    props = from.props;
    keys = from.keys;
  }
  HCRYPTPROV release;
  {
    std::lock_guard<std::mutex> lock(to.mu);
    for (auto& [id, v] : props)
      if (!inherit || !to.props.count(id)) to.props[id] = v;
    release = adopt_key_props(keys, to.keys, inherit);
  }
  if (release) CryptReleaseContext(release, 0);
}

Bytes digest_of(const Cert& c, const char* md) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_MD* m = EVP_MD_fetch(nullptr, md, nullptr);
  Bytes r;
  if (m && EVP_Digest(c.der.data(), c.der.size(), out, &n, m, nullptr) == 1) r.assign(out, out + n);
  EVP_MD_free(m);
  return r;
}

}  // namespace csp::cert

using namespace csp;
using namespace csp::cert;

extern "C" CSPAPI PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                                     const BYTE* pbCertEncoded,
                                                                     DWORD cbCertEncoded) {
  CSP_ENTRY;
  return guarded_value<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING) {
      SetLastError(DWORD(E_INVALIDARG));
      return nullptr;
    }
    std::shared_ptr<Cert> c;
    if (LONG rc = make_cert(pbCertEncoded, cbCertEncoded, c)) {
      SetLastError(DWORD(rc));
      return nullptr;
    }
    // A context outside any store lives in a memory store of its own.
    auto s = new_store();
    if (!s) {
      SetLastError(DWORD(NTE_NO_MEMORY));
      return nullptr;
    }
    PCCERT_CONTEXT out = nullptr;
    LONG rc = add_cert(*s, c, CERT_STORE_ADD_ALWAYS, &out);
    release_store(s->handle);
    if (rc) SetLastError(DWORD(rc));
    return out;
  });
}

extern "C" CSPAPI PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT p) {
  CSP_ENTRY;
  return guarded_value<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    if (!p) return nullptr;
    auto c = resolve(p);
    PCCERT_CONTEXT out = c ? give(c) : nullptr;
    if (!out) SetLastError(DWORD(E_INVALIDARG));
    return out;
  });
}

extern "C" CSPAPI BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT p) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (!p) return TRUE;
    auto c = resolve(p);
    if (!c) return fail(E_INVALIDARG);
    take_back(*c);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT p, DWORD dwPropId,
                                                                void* pvData, DWORD* pcbData) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto c = resolve(p);
    if (!c || !pcbData) return fail(E_INVALIDARG);
    BYTE* out = static_cast<BYTE*>(pvData);
    if (is_key_prop(dwPropId)) return get_key_prop(*c, dwPropId, out, pcbData);
    std::lock_guard<std::mutex> lock(c->mu);
    auto it = c->props.find(dwPropId);
    if (it != c->props.end()) return put_bytes(out, pcbData, it->second);
    if (dwPropId == CERT_SHA1_HASH_PROP_ID) return put_bytes(out, pcbData, digest_of(*c, "SHA1"));
    if (dwPropId == CERT_MD5_HASH_PROP_ID) return put_bytes(out, pcbData, digest_of(*c, "MD5"));
    return fail(CRYPT_E_NOT_FOUND);
  });
}

extern "C" CSPAPI BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT p, DWORD dwPropId,
                                                                DWORD dwFlags, const void* pvData) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto c = resolve(p);
    if (!c || dwPropId == 0) return fail(E_INVALIDARG);
    if (is_key_prop(dwPropId)) {
      if (LONG rc = set_key_prop(*c, dwPropId, dwFlags, pvData)) return fail(rc);
    } else if (pvData) {
      const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
      if (blob->cbData && !blob->pbData) return fail(E_INVALIDARG);
      std::lock_guard<std::mutex> lock(c->mu);
      c->props[dwPropId].assign(blob->pbData, blob->pbData + blob->cbData);
    } else {
      std::lock_guard<std::mutex> lock(c->mu);
      c->props.erase(dwPropId);
    }
    if (!(dwFlags & CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG)) {
      LONG rc = keep_props(*c);
      if (rc && !(dwFlags & CERT_SET_PROPERTY_IGNORE_PERSIST_ERROR_FLAG)) return fail(rc);
    }
    return TRUE;
  });
}

extern "C" CSPAPI DWORD WINAPI CertEnumCertificateContextProperties(PCCERT_CONTEXT p,
                                                                    DWORD dwPropId) {
  CSP_ENTRY;
  return guarded_value<DWORD>(0, [&]() -> DWORD {
    auto c = resolve(p);
    if (!c) {
      SetLastError(DWORD(E_INVALIDARG));
      return 0;
    }
    std::lock_guard<std::mutex> lock(c->mu);
    std::vector<DWORD> ids;
    for (auto& [id, v] : c->props) ids.push_back(id);
    add_key_prop_ids(*c, ids);
    std::sort(ids.begin(), ids.end());
    for (DWORD id : ids)
      if (id > dwPropId) return id;
    return 0;
  });
}
