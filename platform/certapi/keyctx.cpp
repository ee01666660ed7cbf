// The key properties of a certificate, read and changed here only: the key
// provider information (CERT_KEY_PROV_INFO_PROP_ID), the key context
// (CERT_KEY_CONTEXT_PROP_ID, and property 1, its handle), what a stored key
// context is acquired again by, and the key spec they imply; and
// CryptAcquireCertificatePrivateKey, which goes from them to a context.
//
// The provider is never called with the certificate's mutex held, but for
// CryptContextAddRef (a copy of an owned key context takes a reference of
// its own) and the CryptGetProvParam reads of what a key context is
// persisted as: both touch only the context's fields and the handle table.
// A context to release is released once the mutex is dropped, and one
// acquired again is acquired before it is taken.
#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstring>

#include "apiutil.h"
#include "certobj.h"
#include "csp/provkey.h"

namespace csp::cert {

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

// The packed provider information with its pointers into `out`.
BOOL put_prov_info(const ProvInfo& pi, BYTE* out, DWORD* len) {
  Bytes packed = pack_prov_info(pi);
  if (!out || *len < packed.size()) return put_bytes(out, len, packed);
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
  *len = DWORD(packed.size());
  return TRUE;
}

// Takes the key context out of `k`: the handle to release once the lock is
// dropped (0 when the property held no reference).
HCRYPTPROV take_key_context(KeyProps& k) {
  HCRYPTPROV release = k.has_key_context && k.key_context.owned ? k.key_context.prov : 0;
  k.has_key_context = false;
  k.key_context = KeyContext();
  return release;
}

void release_context(HCRYPTPROV h) {
  if (h) CryptReleaseContext(h, 0);
}

// A key context kept with a stored certificate is acquired again on first
// use; the certificate owns it.
void ensure_key_context(Cert& c) {
  KeyReopen r;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    if (c.keys.has_key_context || !c.keys.has_reopen) return;
    r = c.keys.reopen;
  }
  HCRYPTPROV h = 0;
  DWORD flags = CRYPT_SILENT | (r.machine ? CRYPT_MACHINE_KEYSET : 0);
  DWORD saved = GetLastError();
  if (CryptAcquireContextA(&h, r.container.c_str(), nullptr, r.type, flags)) {
    std::lock_guard<std::mutex> lock(c.mu);
    // Unless another thread set the property meanwhile.
    if (!c.keys.has_key_context && c.keys.has_reopen) {
      c.keys.has_key_context = true;
      c.keys.key_context = KeyContext{h, r.spec, true};
      h = 0;
    }
  }
  release_context(h);
  SetLastError(saved);
}

LONG set_key_context(Cert& c, DWORD id, DWORD flags, const void* data) {
  bool owned = !(flags & CERT_STORE_NO_CRYPT_RELEASE_FLAG);
  HCRYPTPROV release = 0;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    KeyProps& k = c.keys;
    KeyContext kc;
    if (data) {
      if (id == CERT_KEY_CONTEXT_PROP_ID) {
        const auto* in = static_cast<const CERT_KEY_CONTEXT*>(data);
        if (in->cbSize != sizeof(CERT_KEY_CONTEXT)) return E_INVALIDARG;
        kc = KeyContext{in->hCryptProv, in->dwKeySpec, owned};
      } else {
        HCRYPTPROV h;
        std::memcpy(&h, data, sizeof h);
        DWORD spec = k.has_key_context ? k.key_context.spec
                     : k.has_prov_info ? k.prov_info.spec
                                       : DWORD(AT_KEYEXCHANGE);
        kc = KeyContext{h, spec, owned};
      }
    }
    // Setting the handle the property already holds changes nothing.
    if (data && k.has_key_context && k.key_context.prov == kc.prov) {
      if (k.key_context.owned && kc.owned) release = kc.prov;
      kc.owned = k.key_context.owned || kc.owned;
      k.key_context = kc;
    } else {
      release = take_key_context(k);
      k.has_reopen = false;
      if (data) {
        k.has_key_context = true;
        k.key_context = kc;
      }
    }
  }
  release_context(release);
  return 0;
}

}  // namespace

bool is_key_prop(DWORD id) {
  return id == CERT_KEY_PROV_HANDLE_PROP_ID || id == CERT_KEY_PROV_INFO_PROP_ID ||
         id == CERT_KEY_CONTEXT_PROP_ID || id == CERT_KEY_SPEC_PROP_ID;
}

BOOL get_key_prop(Cert& c, DWORD id, BYTE* out, DWORD* len) {
  if (id == CERT_KEY_PROV_HANDLE_PROP_ID || id == CERT_KEY_CONTEXT_PROP_ID) ensure_key_context(c);
  std::lock_guard<std::mutex> lock(c.mu);
  const KeyProps& k = c.keys;
  switch (id) {
    case CERT_KEY_PROV_HANDLE_PROP_ID:
      if (!k.has_key_context) return fail(CRYPT_E_NOT_FOUND);
      return put_bytes(out, len, &k.key_context.prov, sizeof(HCRYPTPROV));
    case CERT_KEY_CONTEXT_PROP_ID: {
      if (!k.has_key_context) return fail(CRYPT_E_NOT_FOUND);
      CERT_KEY_CONTEXT kc{};
      kc.cbSize = sizeof kc;
      kc.hCryptProv = k.key_context.prov;
      kc.dwKeySpec = k.key_context.spec;
      return put_bytes(out, len, &kc, sizeof kc);
    }
    case CERT_KEY_PROV_INFO_PROP_ID:
      if (!k.has_prov_info) return fail(CRYPT_E_NOT_FOUND);
      return put_prov_info(k.prov_info, out, len);
    default: {  // CERT_KEY_SPEC_PROP_ID: of the key context, else as set
      DWORD spec;
      if (k.has_key_context) {
        spec = k.key_context.spec;
      } else if (k.has_reopen) {
        spec = k.reopen.spec;
      } else if (k.has_prov_info) {
        spec = k.prov_info.spec;
      } else {
        auto it = c.props.find(id);
        if (it == c.props.end()) return fail(CRYPT_E_NOT_FOUND);
        return put_bytes(out, len, it->second);
      }
      return put_bytes(out, len, &spec, sizeof spec);
    }
  }
}

LONG set_key_prop(Cert& c, DWORD id, DWORD flags, const void* data) {
  if (id == CERT_KEY_PROV_HANDLE_PROP_ID || id == CERT_KEY_CONTEXT_PROP_ID)
    return set_key_context(c, id, flags, data);
  ProvInfo pi;
  if (id == CERT_KEY_PROV_INFO_PROP_ID && data) {
    if (LONG rc = unpack_prov_info(static_cast<const CRYPT_KEY_PROV_INFO*>(data), pi)) return rc;
  }
  std::lock_guard<std::mutex> lock(c.mu);
  if (id == CERT_KEY_PROV_INFO_PROP_ID) {
    c.keys.has_prov_info = data != nullptr;
    c.keys.prov_info = std::move(pi);
  } else if (data) {  // CERT_KEY_SPEC_PROP_ID
    const BYTE* b = static_cast<const BYTE*>(data);
    c.props[id].assign(b, b + sizeof(DWORD));
  } else {
    c.props.erase(id);
  }
  return 0;
}

void add_key_prop_ids(const Cert& c, std::vector<DWORD>& ids) {
  const KeyProps& k = c.keys;
  if (k.has_key_context || k.has_reopen) {
    ids.push_back(CERT_KEY_PROV_HANDLE_PROP_ID);
    ids.push_back(CERT_KEY_CONTEXT_PROP_ID);
  }
  if (k.has_prov_info) ids.push_back(CERT_KEY_PROV_INFO_PROP_ID);
  if (k.has_key_context || k.has_reopen || k.has_prov_info) ids.push_back(CERT_KEY_SPEC_PROP_ID);
}

void drop_key_context(Cert& c) { release_context(take_key_context(c.keys)); }

HCRYPTPROV adopt_key_props(const KeyProps& from, KeyProps& to, bool inherit) {
  HCRYPTPROV release = 0;
  if (from.has_prov_info && (!inherit || !to.has_prov_info)) {
    to.has_prov_info = true;
    to.prov_info = from.prov_info;
  }
  if (from.has_key_context && (!inherit || !to.has_key_context)) {
    // The copy holds a reference of its own when the original held one.
    const KeyContext& kc = from.key_context;
    if (!kc.owned || CryptContextAddRef(kc.prov, nullptr, 0)) {
      release = take_key_context(to);
      to.has_key_context = true;
      to.key_context = kc;
    }
  }
  if (from.has_reopen && (!inherit || !to.has_reopen)) {
    to.has_reopen = true;
    to.reopen = from.reopen;
  }
  return release;
}

bool reopen_of(const Cert& c, KeyReopen& out) {
  const KeyProps& k = c.keys;
  if (!k.has_key_context) {
    if (k.has_reopen) out = k.reopen;
    return k.has_reopen;
  }
  char name[1024];
  DWORD len = sizeof name;
  DWORD machine = 0, mlen = sizeof machine;
  DWORD type = PROV_RSA_AES, tlen = sizeof type;
  DWORD saved = GetLastError();
  HCRYPTPROV prov = k.key_context.prov;
  bool have = CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &len, 0) &&
              len > 0 && len <= sizeof name &&
              CryptGetProvParam(prov, PP_KEYSET_TYPE, reinterpret_cast<BYTE*>(&machine), &mlen, 0);
  if (have) {
    out.container.assign(name, strnlen(name, len));
    out.machine = machine & CRYPT_MACHINE_KEYSET;
    out.spec = k.key_context.spec;
    if (CryptGetProvParam(prov, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &tlen, 0)) out.type = type;
  }
  SetLastError(saved);
  return have;
}

bool load_gost() {
  DWORD saved = GetLastError();
  bool ok = csp_gost_load();
  SetLastError(saved);
  return ok;
}

namespace {

// The public key of a certificate. One parsed before the GOST engine was
// loaded has no decoded GOST key; it is parsed again once the engine is.
PkeyPtr cert_public_key(X509* x) {
  EVP_PKEY* pub = X509_get0_pubkey(x);
  if (pub) return EVP_PKEY_up_ref(pub) == 1 ? PkeyPtr(pub) : nullptr;
  ERR_clear_error();
  if (!load_gost()) return nullptr;
  unsigned char* der = nullptr;
  int n = i2d_X509(x, &der);
  OsslBytes owned(der);
  const unsigned char* p = der;
  X509Ptr again(n > 0 ? d2i_X509(nullptr, &p, n) : nullptr);
  PkeyPtr out(again ? X509_get_pubkey(again.get()) : nullptr);
  ERR_clear_error();
  return out;
}

// Whether the provider's key pair is the certificate's public key.
bool key_matches(HCRYPTPROV prov, DWORD spec, X509* x) {
  PkeyPtr own(csp_public_key(prov, spec));
  PkeyPtr pub = own ? cert_public_key(x) : nullptr;
  bool same = pub && EVP_PKEY_eq(own.get(), pub.get()) == 1;
  ERR_clear_error();
  return same;
}

// A context of the caller's own on the key the certificate's properties
// name: the kept key context acquired again, else the key provider
// information's container. False (the provider's last error, or
// CRYPT_E_NO_KEY_PROPERTY) when there is none.
bool acquire_own(const KeyProps& k, DWORD acquire_flags, HCRYPTPROV& prov, DWORD& spec) {
  DWORD silent = (acquire_flags & CRYPT_ACQUIRE_SILENT_FLAG) ? CRYPT_SILENT : 0;
  if (k.has_reopen) {
    DWORD flags = (k.reopen.machine ? CRYPT_MACHINE_KEYSET : 0) | silent;
    if (CryptAcquireContextA(&prov, k.reopen.container.c_str(), nullptr, k.reopen.type, flags)) {
      spec = k.reopen.spec;
      return true;
    }
    prov = 0;
  }
  const ProvInfo& info = k.prov_info;
  if (!k.has_prov_info || !info.has_container) return fail(CRYPT_E_NO_KEY_PROPERTY);
  std::string container = narrow(info.container, CP_ACP);
  std::string provider = info.has_provider ? narrow(info.provider, CP_ACP) : std::string();
  DWORD flags = (info.flags & CRYPT_MACHINE_KEYSET) | silent;
  if (!CryptAcquireContextA(&prov, container.c_str(), provider.empty() ? nullptr : provider.c_str(),
                            info.type, flags))
    return false;
  spec = info.spec;
  return true;
}

}  // namespace

}  // namespace csp::cert

using namespace csp;
using namespace csp::cert;

extern "C" CSPAPI BOOL WINAPI CryptAcquireCertificatePrivateKey(
    PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
    BOOL* pfCallerFreeProvOrNCryptKey) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto c = resolve(pCert);
    if (!c || !phCryptProvOrNCryptKey || pvParameters) return fail(E_INVALIDARG);
    if (dwFlags & CRYPT_ACQUIRE_ONLY_NCRYPT_KEY_FLAG) return fail(NTE_BAD_FLAGS);
    *phCryptProvOrNCryptKey = 0;
    if (pfCallerFreeProvOrNCryptKey) *pfCallerFreeProvOrNCryptKey = FALSE;
    HCRYPTPROV prov = 0;
    DWORD spec = 0;
    KeyProps k;
    {
      std::lock_guard<std::mutex> lock(c->mu);
      k = c->keys;
    }
    if (k.has_key_context) {
      prov = k.key_context.prov;
      spec = k.key_context.spec;
    }
    bool caller_frees = !prov;
    if (!prov && !acquire_own(k, dwFlags, prov, spec)) return FALSE;
    if ((dwFlags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) && !key_matches(prov, spec, c->x509.get())) {
      if (caller_frees) CryptReleaseContext(prov, 0);
      return fail(NTE_BAD_PUBLIC_KEY);
    }
    if (caller_frees && (dwFlags & CRYPT_ACQUIRE_CACHE_FLAG)) {
      // Kept as the certificate's key context, which then owns it.
      CERT_KEY_CONTEXT kc{};
      kc.cbSize = sizeof kc;
      kc.hCryptProv = prov;
      kc.dwKeySpec = spec;
      if (CertSetCertificateContextProperty(pCert, CERT_KEY_CONTEXT_PROP_ID, 0, &kc))
        caller_frees = false;
    }
    *phCryptProvOrNCryptKey = prov;
    if (pdwKeySpec) *pdwKeySpec = spec;
    if (pfCallerFreeProvOrNCryptKey) *pfCallerFreeProvOrNCryptKey = caller_frees ? TRUE : FALSE;
    return TRUE;
  });
}
