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

void fill_info(CertCore& c) {
  X509* x = c.x509.get();
  CERT_INFO& ci = c.info;
  auto blob = [&](Bytes b) -> Bytes& { return c.blobs.emplace_back(std::move(b)); };
  auto set_blob = [&](CRYPT_DATA_BLOB& dst, Bytes b) {
    Bytes& kept = blob(std::move(b));
    dst.cbData = DWORD(kept.size());
    dst.pbData = kept.empty() ? nullptr : kept.data();
  };
  auto set_oid = [&](LPSTR& dst, const ASN1_OBJECT* o) {
    dst = &c.strings.emplace_back(oid_text(o))[0];
  };
  ci.dwVersion = DWORD(X509_get_version(x));
  // The serial number as CryptoAPI keeps it: the INTEGER's content octets,
  // least significant first.
  {
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
    set_blob(ci.SerialNumber, std::move(content));
  }
  const X509_ALGOR* sig = X509_get0_tbs_sigalg(x);
  const ASN1_OBJECT* sig_oid = nullptr;
  X509_ALGOR_get0(&sig_oid, nullptr, nullptr, sig);
  set_oid(ci.SignatureAlgorithm.pszObjId, sig_oid);
  set_blob(ci.SignatureAlgorithm.Parameters, params_der(sig));
  auto name_der = [](const X509_NAME* nm) {
    const unsigned char* p = nullptr;
    size_t n = 0;
    Bytes out;
    if (X509_NAME_get0_der(const_cast<X509_NAME*>(nm), &p, &n) == 1) out.assign(p, p + n);
    return out;
  };
  set_blob(ci.Issuer, name_der(X509_get_issuer_name(x)));
  set_blob(ci.Subject, name_der(X509_get_subject_name(x)));
  asn1_to_filetime(X509_get0_notBefore(x), ci.NotBefore);
  asn1_to_filetime(X509_get0_notAfter(x), ci.NotAfter);
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
  const ASN1_OBJECT* key_oid = nullptr;
  const unsigned char* key_bytes = nullptr;
  int key_len = 0;
  X509_ALGOR* key_alg = nullptr;
  if (pub && X509_PUBKEY_get0_param(nullptr, &key_bytes, &key_len, &key_alg, pub) == 1) {
    X509_ALGOR_get0(&key_oid, nullptr, nullptr, key_alg);
    set_oid(ci.SubjectPublicKeyInfo.Algorithm.pszObjId, key_oid);
    set_blob(ci.SubjectPublicKeyInfo.Algorithm.Parameters, params_der(key_alg));
    Bytes& k = blob(Bytes(key_bytes, key_bytes + key_len));
    ci.SubjectPublicKeyInfo.PublicKey.cbData = DWORD(k.size());
    ci.SubjectPublicKeyInfo.PublicKey.pbData = k.empty() ? nullptr : k.data();
  }
  const ASN1_BIT_STRING* iuid = nullptr;
  const ASN1_BIT_STRING* suid = nullptr;
  X509_get0_uids(x, &iuid, &suid);
  auto set_bits = [&](CRYPT_BIT_BLOB& dst, const ASN1_BIT_STRING* b) {
    if (!b) return;
    const unsigned char* d = ASN1_STRING_get0_data(b);
    Bytes& kept = blob(Bytes(d, d + ASN1_STRING_length(b)));
    dst.cbData = DWORD(kept.size());
    dst.pbData = kept.empty() ? nullptr : kept.data();
    dst.cUnusedBits = (b->flags & ASN1_STRING_FLAG_BITS_LEFT) ? DWORD(b->flags & 7) : 0;
  };
  set_bits(ci.IssuerUniqueId, iuid);
  set_bits(ci.SubjectUniqueId, suid);
  int n = X509_get_ext_count(x);
  c.exts.resize(size_t(std::max(n, 0)));
  for (int i = 0; i < n; ++i) {
    X509_EXTENSION* e = X509_get_ext(x, i);
    CERT_EXTENSION& ce = c.exts[size_t(i)];
    set_oid(ce.pszObjId, X509_EXTENSION_get_object(e));
    ce.fCritical = X509_EXTENSION_get_critical(e) ? TRUE : FALSE;
    const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(e);
    const unsigned char* d = ASN1_STRING_get0_data(v);
    set_blob(ce.Value, Bytes(d, d + ASN1_STRING_length(v)));
  }
  ci.cExtension = DWORD(c.exts.size());
  ci.rgExtension = c.exts.empty() ? nullptr : c.exts.data();
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
      certs.swap(s->certs);
      s->names.clear();
      s->pending.reset();
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

void drop_key_context(Cert& c) {
  if (c.has_key_context && c.key_context.owned && c.key_context.prov)
    CryptReleaseContext(c.key_context.prov, 0);
  c.has_key_context = false;
  c.key_context = KeyContext();
}

void ensure_key_context(Cert& c) {
  if (c.has_key_context || !c.has_reopen) return;
  HCRYPTPROV h = 0;
  DWORD flags = CRYPT_SILENT | (c.reopen.machine ? CRYPT_MACHINE_KEYSET : 0);
  DWORD saved = GetLastError();
  if (CryptAcquireContextA(&h, c.reopen.container.c_str(), nullptr, c.reopen.type, flags)) {
    c.has_key_context = true;
    c.key_context = KeyContext{h, c.reopen.spec, true};
  }
  SetLastError(saved);
}

void copy_props(Cert& from, Cert& to, bool inherit) {
  // Two certificates' locks: taken one at a time, never both.
  std::map<DWORD, Bytes> props;
  bool has_info, has_kc, has_reopen;
  ProvInfo info;
  KeyContext kc;
  KeyReopen reopen;
  {
    std::lock_guard<std::mutex> lock(from.mu);
    props = from.props;
    has_info = from.has_prov_info;
    info = from.prov_info;
    has_kc = from.has_key_context;
    kc = from.key_context;
    has_reopen = from.has_reopen;
    reopen = from.reopen;
  }
  std::lock_guard<std::mutex> lock(to.mu);
  for (auto& [id, v] : props)
    if (!inherit || !to.props.count(id)) to.props[id] = v;
  if (has_info && (!inherit || !to.has_prov_info)) {
    to.has_prov_info = true;
    to.prov_info = info;
  }
  if (has_kc && (!inherit || !to.has_key_context)) {
    // The copy holds a reference of its own when the original held one.
    if (kc.owned && !CryptContextAddRef(kc.prov, nullptr, 0)) {
      has_kc = false;
    }
    if (has_kc) {
      drop_key_context(to);
      to.has_key_context = true;
      to.key_context = kc;
    }
  }
  if (has_reopen && (!inherit || !to.has_reopen)) {
    to.has_reopen = true;
    to.reopen = reopen;
  }
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

namespace {

// CRYPT_KEY_PROV_INFO as one self-contained block: the structure, then the
// parameter array, then the strings and parameter bytes it points at.
Bytes pack_prov_info(const ProvInfo& pi) {
  size_t size = sizeof(CRYPT_KEY_PROV_INFO) + pi.params.size() * sizeof(CRYPT_KEY_PROV_PARAM);
  auto align = [](size_t n) { return (n + alignof(WCHAR) - 1) / alignof(WCHAR) * alignof(WCHAR); };
  size = align(size);
  size_t cont_off = size;
  if (pi.has_container) size += (pi.container.size() + 1) * sizeof(WCHAR);
  size_t prov_off = size;
  if (pi.has_provider) size += (pi.provider.size() + 1) * sizeof(WCHAR);
  size_t data_off = size;
  for (const auto& p : pi.params) size += p.data.size();
  Bytes out(size);
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(out.data());
  auto* params = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(out.data() + sizeof(CRYPT_KEY_PROV_INFO));
  if (pi.has_container) {
    info->pwszContainerName = reinterpret_cast<LPWSTR>(out.data() + cont_off);
    std::memcpy(info->pwszContainerName, pi.container.c_str(),
                (pi.container.size() + 1) * sizeof(WCHAR));
  }
  if (pi.has_provider) {
    info->pwszProvName = reinterpret_cast<LPWSTR>(out.data() + prov_off);
    std::memcpy(info->pwszProvName, pi.provider.c_str(), (pi.provider.size() + 1) * sizeof(WCHAR));
  }
  info->dwProvType = pi.type;
  info->dwFlags = pi.flags;
  info->cProvParam = DWORD(pi.params.size());
  info->rgProvParam = pi.params.empty() ? nullptr : params;
  info->dwKeySpec = pi.spec;
  size_t off = data_off;
  for (size_t i = 0; i < pi.params.size(); ++i) {
    params[i].dwParam = pi.params[i].id;
    params[i].dwFlags = pi.params[i].flags;
    params[i].cbData = DWORD(pi.params[i].data.size());
    params[i].pbData = pi.params[i].data.empty() ? nullptr : out.data() + off;
    if (!pi.params[i].data.empty())
      std::memcpy(out.data() + off, pi.params[i].data.data(), pi.params[i].data.size());
    off += pi.params[i].data.size();
  }
  return out;
}

LONG unpack_prov_info(const CRYPT_KEY_PROV_INFO* in, ProvInfo& out) {
  out = ProvInfo();
  if (in->pwszContainerName) {
    out.has_container = true;
    out.container = in->pwszContainerName;
  }
  if (in->pwszProvName) {
    out.has_provider = true;
    out.provider = in->pwszProvName;
  }
  out.type = in->dwProvType;
  out.flags = in->dwFlags;
  out.spec = in->dwKeySpec;
  if (in->cProvParam && !in->rgProvParam) return E_INVALIDARG;
  if (in->cProvParam > 1024) return E_INVALIDARG;
  for (DWORD i = 0; i < in->cProvParam; ++i) {
    const CRYPT_KEY_PROV_PARAM& p = in->rgProvParam[i];
    if (p.cbData && !p.pbData) return E_INVALIDARG;
    ProvInfo::Param q;
    q.id = p.dwParam;
    q.flags = p.dwFlags;
    if (p.cbData) q.data.assign(p.pbData, p.pbData + p.cbData);
    out.params.push_back(std::move(q));
  }
  return 0;
}

// The store of a certificate, when it is a system store to write through.
std::shared_ptr<Store> persisted_store(const Cert& c) {
  auto s = handle_get<Store>(c.store);
  return s && s->system && !s->readonly ? s : nullptr;
}

}  // namespace

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
      SetLastError(DWORD(E_OUTOFMEMORY));
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
    std::lock_guard<std::mutex> lock(c->mu);
    switch (dwPropId) {
      case CERT_KEY_PROV_HANDLE_PROP_ID:
        ensure_key_context(*c);
        if (!c->has_key_context) return fail(CRYPT_E_NOT_FOUND);
        return put_bytes(out, pcbData, &c->key_context.prov, sizeof(HCRYPTPROV));
      case CERT_KEY_CONTEXT_PROP_ID: {
        ensure_key_context(*c);
        if (!c->has_key_context) return fail(CRYPT_E_NOT_FOUND);
        CERT_KEY_CONTEXT kc{};
        kc.cbSize = sizeof kc;
        kc.hCryptProv = c->key_context.prov;
        kc.dwKeySpec = c->key_context.spec;
        return put_bytes(out, pcbData, &kc, sizeof kc);
      }
      case CERT_KEY_PROV_INFO_PROP_ID: {
        if (!c->has_prov_info) return fail(CRYPT_E_NOT_FOUND);
        Bytes packed = pack_prov_info(c->prov_info);
        if (pvData && *pcbData >= packed.size()) {
          // The pointers inside must point into the caller's buffer.
          auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(out);
          std::memcpy(out, packed.data(), packed.size());
          auto rebase = [&](auto*& ptr) {
            if (ptr)
              ptr = reinterpret_cast<std::remove_reference_t<decltype(ptr)>>(
                  out + (reinterpret_cast<BYTE*>(ptr) - packed.data()));
          };
          rebase(info->pwszContainerName);
          rebase(info->pwszProvName);
          rebase(info->rgProvParam);
          for (DWORD i = 0; i < info->cProvParam; ++i) rebase(info->rgProvParam[i].pbData);
          *pcbData = DWORD(packed.size());
          return TRUE;
        }
        return put_bytes(out, pcbData, packed);
      }
      case CERT_KEY_SPEC_PROP_ID: {
        DWORD spec;
        if (c->has_key_context) {
          spec = c->key_context.spec;
        } else if (c->has_reopen) {
          spec = c->reopen.spec;
        } else if (c->has_prov_info) {
          spec = c->prov_info.spec;
        } else {
          auto it = c->props.find(dwPropId);
          if (it == c->props.end()) return fail(CRYPT_E_NOT_FOUND);
          return put_bytes(out, pcbData, it->second);
        }
        return put_bytes(out, pcbData, &spec, sizeof spec);
      }
      default: {
        auto it = c->props.find(dwPropId);
        if (it != c->props.end()) return put_bytes(out, pcbData, it->second);
        if (dwPropId == CERT_SHA1_HASH_PROP_ID) return put_bytes(out, pcbData, digest_of(*c, "SHA1"));
        if (dwPropId == CERT_MD5_HASH_PROP_ID) return put_bytes(out, pcbData, digest_of(*c, "MD5"));
        return fail(CRYPT_E_NOT_FOUND);
      }
    }
  });
}

extern "C" CSPAPI BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT p, DWORD dwPropId,
                                                                DWORD dwFlags, const void* pvData) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto c = resolve(p);
    if (!c || dwPropId == 0) return fail(E_INVALIDARG);
    {
      std::lock_guard<std::mutex> lock(c->mu);
      bool owned = !(dwFlags & CERT_STORE_NO_CRYPT_RELEASE_FLAG);
      switch (dwPropId) {
        case CERT_KEY_PROV_HANDLE_PROP_ID:
        case CERT_KEY_CONTEXT_PROP_ID: {
          KeyContext kc;
          if (pvData) {
            if (dwPropId == CERT_KEY_CONTEXT_PROP_ID) {
              const auto* in = static_cast<const CERT_KEY_CONTEXT*>(pvData);
              if (in->cbSize != sizeof(CERT_KEY_CONTEXT)) return fail(E_INVALIDARG);
              kc = KeyContext{in->hCryptProv, in->dwKeySpec, owned};
            } else {
              HCRYPTPROV h;
              std::memcpy(&h, pvData, sizeof h);
              DWORD spec = c->has_key_context ? c->key_context.spec
                           : c->has_prov_info ? c->prov_info.spec
                                              : DWORD(AT_KEYEXCHANGE);
              kc = KeyContext{h, spec, owned};
            }
          }
          // Setting the handle the property already holds changes nothing.
          if (pvData && c->has_key_context && c->key_context.prov == kc.prov) {
            if (c->key_context.owned && kc.owned) CryptReleaseContext(kc.prov, 0);
            kc.owned = c->key_context.owned || kc.owned;
            c->key_context = kc;
          } else {
            drop_key_context(*c);
            c->has_reopen = false;
            if (pvData) {
              c->has_key_context = true;
              c->key_context = kc;
            }
          }
          break;
        }
        case CERT_KEY_PROV_INFO_PROP_ID:
          if (!pvData) {
            c->has_prov_info = false;
            c->prov_info = ProvInfo();
          } else {
            ProvInfo pi;
            if (LONG rc = unpack_prov_info(static_cast<const CRYPT_KEY_PROV_INFO*>(pvData), pi))
              return fail(rc);
            c->has_prov_info = true;
            c->prov_info = std::move(pi);
          }
          break;
        case CERT_KEY_SPEC_PROP_ID:
          if (pvData) {
            const BYTE* b = static_cast<const BYTE*>(pvData);
            c->props[dwPropId].assign(b, b + sizeof(DWORD));
          } else {
            c->props.erase(dwPropId);
          }
          break;
        default:
          if (pvData) {
            const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
            if (blob->cbData && !blob->pbData) return fail(E_INVALIDARG);
            c->props[dwPropId].assign(blob->pbData, blob->pbData + blob->cbData);
          } else {
            c->props.erase(dwPropId);
          }
      }
    }
    if (!(dwFlags & CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG)) {
      if (auto s = persisted_store(*c)) {
        std::lock_guard<std::mutex> lock(s->mu);
        LONG rc = persist_put(*s, *c);
        if (rc && !(dwFlags & CERT_SET_PROPERTY_IGNORE_PERSIST_ERROR_FLAG)) return fail(rc);
      }
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
    if (c->has_key_context || c->has_reopen) {
      ids.push_back(CERT_KEY_PROV_HANDLE_PROP_ID);
      ids.push_back(CERT_KEY_CONTEXT_PROP_ID);
    }
    if (c->has_prov_info) ids.push_back(CERT_KEY_PROV_INFO_PROP_ID);
    if (c->has_key_context || c->has_reopen || c->has_prov_info) ids.push_back(CERT_KEY_SPEC_PROP_ID);
    std::sort(ids.begin(), ids.end());
    for (DWORD id : ids)
      if (id > dwPropId) return id;
    return 0;
  });
}
