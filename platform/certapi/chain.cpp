// Issuers and chains. A chain is built from the caller's store, the
// certificate's own store and the system stores "CA" and "ROOT" (the user's,
// or the machine's for the machine chain engine), never from the network: an
// issuer is a certificate that X509_check_issued accepts for the subject,
// preferring one whose key verifies the subject's signature (X509_verify).
// The chain is trusted when it ends in a self-signed certificate of "ROOT".
//
// CERT_CHAIN_PARA grew over the years: callers pass its older or newer size
// (or another), and only the fields cbSize covers are read, the others taken
// as zero. Of them only RequestedUsage matters here (no revocation, no
// retrieval, no policies). The library is built with the newer layout
// (CERT_CHAIN_PARA_HAS_EXTRA_FIELDS).
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "apiutil.h"
#include "certobj.h"

namespace csp::cert {

namespace {

class Chain : public Object {
 public:
  static constexpr Kind kKind = Kind::CertChain;
  Chain() : Object(kKind) {}
  ~Chain() override {
    unregister_ptr(&ctx, handle);
    for (auto& c : certs) take_back(*c);
  }
  uintptr_t handle = 0;
  CERT_CHAIN_CONTEXT ctx{};
  CERT_SIMPLE_CHAIN simple{};
  PCERT_SIMPLE_CHAIN simple_ptr = nullptr;
  std::vector<CERT_CHAIN_ELEMENT> elems;
  std::vector<PCERT_CHAIN_ELEMENT> elem_ptrs;
  std::vector<std::shared_ptr<Cert>> certs;  // each holds a context reference
};

bool self_issued(X509* x) { return issued_by(x, x); }

// Whether the issuer's key verifies the subject's signature; an answer of
// yes is remembered by the subject's core (CertCore::verified_by).
bool signed_by(const Cert& subject, const Cert& issuer) {
  const CertCore& s = *subject.core;
  {
    std::lock_guard<std::mutex> lock(s.verified_mu);
    // The same object as the issuer's core (one that is gone shares no
    // owner with a core alive), without taking a reference to it.
    if (!s.verified_by.owner_before(issuer.core) && !issuer.core.owner_before(s.verified_by))
      return true;
  }
  EVP_PKEY* key = X509_get0_pubkey(issuer.x509.get());
  bool ok = key && X509_verify(subject.x509.get(), key) == 1;
  ERR_clear_error();
  if (ok) {
    std::lock_guard<std::mutex> lock(s.verified_mu);
    s.verified_by = issuer.core;
  }
  return ok;
}

// The stores a chain is looked for in, in the order they are searched; the
// roots come last.
struct Sources {
  std::vector<std::shared_ptr<Store>> opened;  // system stores opened here
  std::vector<std::pair<std::shared_ptr<Store>, bool>> stores;  // (store, holds roots)
  ~Sources() {
    for (auto& s : opened) release_store(s->handle);
  }
  void add(const std::shared_ptr<Store>& s, bool root) { stores.emplace_back(s, root); }
  void add_system(const char* name, bool machine, bool root) {
    LONG err;
    auto s = open_system_store(name, machine, true, err);
    if (!s) return;
    opened.push_back(s);
    add(s, root);
  }
  // The certificates whose subject name may be the issuer name of
  // `subject` (X509_check_issued decides), in search order. Names whose
  // hashes differ are different names, so the others are not looked at.
  std::vector<std::shared_ptr<Cert>> named_issuers(const Cert& subject) const {
    std::vector<std::shared_ptr<Cert>> out;
    const CertCore& sc = *subject.core;
    for (auto& source : stores) {
      Store& s = *source.first;
      std::lock_guard<std::mutex> lock(s.mu);
      fill_pending(s);
      s.each_named(sc.hashed ? uint64_t(sc.issuer_hash) : Store::kAnyName,
                   [&](size_t i) { out.push_back(s.certs[i]); });
    }
    return out;
  }
  // Whether a store of roots holds `top` (by its encoding; only the
  // certificates of its name are compared).
  bool is_root(const Cert& top) const {
    const CertCore& tc = *top.core;
    for (auto& [store, root] : stores) {
      if (!root) continue;
      Store& s = *store;
      std::lock_guard<std::mutex> lock(s.mu);
      fill_pending(s);
      bool found = false;
      s.each_named(tc.hashed ? uint64_t(tc.subject_hash) : Store::kAnyName,
                   [&](size_t i) { found = found || s.certs[i]->der == tc.der; });
      if (found) return true;
    }
    return false;
  }
};

// An issuer of `subject` among `pool`, not yet in the chain.
std::shared_ptr<Cert> find_issuer(const Cert& subject, const std::vector<std::shared_ptr<Cert>>& pool,
                                  const std::vector<std::shared_ptr<Cert>>& chain, bool& verified) {
  std::shared_ptr<Cert> by_name;
  for (auto& cand : pool) {
    bool used = false;
    for (auto& e : chain) used = used || e->der == cand->der;
    if (used || !issued_by(cand->x509.get(), subject.x509.get())) continue;
    if (signed_by(subject, *cand)) {
      verified = true;
      return cand;
    }
    if (!by_name) by_name = cand;
  }
  verified = false;
  return by_name;
}

bool usage_ok(X509* x, const CERT_USAGE_MATCH& want) {
  if (want.Usage.cUsageIdentifier == 0 || !want.Usage.rgpszUsageIdentifier) return true;
  EXTENDED_KEY_USAGE* eku =
      static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(x, NID_ext_key_usage, nullptr, nullptr));
  if (!eku) return true;  // no restriction
  auto has = [&](const char* oid) {
    if (!strcmp(oid, szOID_ANY_ENHANCED_KEY_USAGE)) return true;
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
      char buf[128];
      OBJ_obj2txt(buf, sizeof buf, sk_ASN1_OBJECT_value(eku, i), 1);
      if (!strcmp(buf, oid) || !strcmp(buf, szOID_ANY_ENHANCED_KEY_USAGE)) return true;
    }
    return false;
  };
  bool any = false, all = true;
  for (DWORD i = 0; i < want.Usage.cUsageIdentifier; ++i) {
    const char* oid = want.Usage.rgpszUsageIdentifier[i];
    bool h = oid && has(oid);
    any = any || h;
    all = all && h;
  }
  EXTENDED_KEY_USAGE_free(eku);
  return want.dwType == USAGE_MATCH_TYPE_OR ? any : all;
}

}  // namespace

}  // namespace csp::cert

using namespace csp;
using namespace csp::cert;

extern "C" CSPAPI PCCERT_CONTEXT WINAPI CertGetIssuerCertificateFromStore(
    HCERTSTORE hCertStore, PCCERT_CONTEXT pSubjectContext, PCCERT_CONTEXT pPrevIssuerContext,
    DWORD* pdwFlags) {
  CSP_ENTRY;
  return guarded_value<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    auto s = handle_get<Store>(reinterpret_cast<uintptr_t>(hCertStore));
    auto subject = resolve(pSubjectContext);
    uint64_t after = 0;
    uintptr_t owner = 0;
    if (pPrevIssuerContext && !take_back_prev(pPrevIssuerContext, after, owner))
      return fail_null(E_INVALIDARG);
    if (!s || !subject || !pdwFlags) return fail_null(E_INVALIDARG);
    if (*pdwFlags & ~DWORD(CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG |
                           CERT_STORE_REVOCATION_FLAG))
      return fail_null(E_INVALIDARG);
    if (self_issued(subject->x509.get())) return fail_null(CRYPT_E_SELF_SIGNED);
    std::vector<std::shared_ptr<Cert>> certs;
    {
      std::lock_guard<std::mutex> lock(s->mu);
      fill_pending(*s);
      for (auto& c : s->certs)
        if (c->seq > after) certs.push_back(c);
    }
    for (auto& c : certs) {
      if (!issued_by(c->x509.get(), subject->x509.get())) continue;
      DWORD flags = *pdwFlags;
      if ((flags & CERT_STORE_SIGNATURE_FLAG) && signed_by(*subject, *c))
        flags &= ~DWORD(CERT_STORE_SIGNATURE_FLAG);
      if ((flags & CERT_STORE_TIME_VALIDITY_FLAG) &&
          X509_cmp_current_time(X509_get0_notBefore(subject->x509.get())) < 0 &&
          X509_cmp_current_time(X509_get0_notAfter(subject->x509.get())) > 0)
        flags &= ~DWORD(CERT_STORE_TIME_VALIDITY_FLAG);
      if (flags & CERT_STORE_REVOCATION_FLAG) flags |= CERT_STORE_NO_CRL_FLAG;  // no CRLs kept
      *pdwFlags = flags;
      PCCERT_CONTEXT out = give(c);
      return out ? out : fail_null(NTE_NO_MEMORY);
    }
    return fail_null(CRYPT_E_NOT_FOUND);
  });
}

namespace {

// A chain as built: its certificates from the end certificate up, with the
// trust error and information bits of each.
struct Walk {
  std::vector<std::shared_ptr<Cert>> certs;
  std::vector<DWORD> errors, infos;
  void push(std::shared_ptr<Cert> c) {
    certs.push_back(std::move(c));
    errors.push_back(0);
    infos.push_back(0);
  }
};

// Issuers up from `end` while one is found, to a self-issued certificate or
// the depth limit; the top's trust: a self-signed certificate of the roots.
Walk build_chain(const std::shared_ptr<Cert>& end, const Sources& src) {
  Walk w;
  w.push(end);
  constexpr size_t kMaxDepth = 32;
  while (w.certs.size() < kMaxDepth) {
    Cert& cur = *w.certs.back();
    if (self_issued(cur.x509.get())) {
      w.infos.back() |= CERT_TRUST_IS_SELF_SIGNED | CERT_TRUST_HAS_NAME_MATCH_ISSUER;
      if (!signed_by(cur, cur)) w.errors.back() |= CERT_TRUST_IS_NOT_SIGNATURE_VALID;
      break;
    }
    bool verified = false;
    auto issuer = find_issuer(cur, src.named_issuers(cur), w.certs, verified);
    if (!issuer) break;
    w.infos.back() |= CERT_TRUST_HAS_NAME_MATCH_ISSUER;
    if (!verified) w.errors.back() |= CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    w.push(issuer);
  }
  Cert& top = *w.certs.back();
  if (!self_issued(top.x509.get())) {
    w.errors.back() |= CERT_TRUST_IS_PARTIAL_CHAIN;
  } else if (!src.is_root(top)) {
    w.errors.back() |= CERT_TRUST_IS_UNTRUSTED_ROOT;
  }
  return w;
}

// Validity at `pTime` (now when null) and the requested usage, per certificate.
void check_each(Walk& w, const FILETIME* pTime, const CERT_USAGE_MATCH& usage) {
  time_t now = time(nullptr);
  if (pTime) {
    uint64_t ticks = uint64_t(pTime->dwHighDateTime) << 32 | pTime->dwLowDateTime;
    now = time_t(int64_t(ticks / 10000000ULL) - 11644473600LL);
  }
  for (size_t i = 0; i < w.certs.size(); ++i) {
    X509* x = w.certs[i]->x509.get();
    if (X509_cmp_time(X509_get0_notBefore(x), &now) >= 0 ||
        X509_cmp_time(X509_get0_notAfter(x), &now) <= 0)
      w.errors[i] |= CERT_TRUST_IS_NOT_TIME_VALID;
    if (!usage_ok(x, usage)) w.errors[i] |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
  }
}

// The chain context of a walk, each element holding a context reference.
BOOL hand_out(const Walk& w, DWORD flags, PCCERT_CHAIN_CONTEXT* out) {
  auto ch = std::make_shared<Chain>();
  ch->elems.resize(w.certs.size());
  ch->elem_ptrs.resize(w.certs.size());
  DWORD all_errors = 0;
  for (size_t i = 0; i < w.certs.size(); ++i) {
    if (!give(w.certs[i])) return fail(NTE_NO_MEMORY);
    ch->certs.push_back(w.certs[i]);
    CERT_CHAIN_ELEMENT& e = ch->elems[i];
    e.cbSize = sizeof e;
    e.pCertContext = &w.certs[i]->ctx;
    e.TrustStatus.dwErrorStatus = w.errors[i];
    e.TrustStatus.dwInfoStatus = w.infos[i];
    ch->elem_ptrs[i] = &e;
    all_errors |= w.errors[i];
  }
  ch->simple.cbSize = sizeof ch->simple;
  ch->simple.TrustStatus.dwErrorStatus = all_errors;
  ch->simple.cElement = DWORD(w.certs.size());
  ch->simple.rgpElement = ch->elem_ptrs.data();
  ch->simple_ptr = &ch->simple;
  ch->ctx.cbSize = sizeof ch->ctx;
  ch->ctx.TrustStatus.dwErrorStatus = all_errors;
  ch->ctx.cChain = 1;
  ch->ctx.rgpChain = &ch->simple_ptr;
  ch->ctx.dwCreateFlags = flags;
  ch->handle = handle_insert(ch);
  if (!ch->handle) return fail(NTE_NO_MEMORY);
  register_ptr(&ch->ctx, ch->handle);
  *out = &ch->ctx;
  return TRUE;
}

}  // namespace

extern "C" CSPAPI BOOL WINAPI CertGetCertificateChain(HCERTCHAINENGINE hChainEngine,
                                                      PCCERT_CONTEXT pCertContext,
                                                      LPFILETIME pTime, HCERTSTORE hAdditionalStore,
                                                      PCERT_CHAIN_PARA pChainPara, DWORD dwFlags,
                                                      LPVOID pvReserved,
                                                      PCCERT_CHAIN_CONTEXT* ppChainContext) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (ppChainContext) *ppChainContext = nullptr;
    auto end = resolve(pCertContext);
    if (!end || !ppChainContext || !pChainPara || pvReserved) return fail(E_INVALIDARG);
    CERT_CHAIN_PARA para;
    std::memset(&para, 0, sizeof para);
    std::memcpy(&para, pChainPara, std::min<size_t>(pChainPara->cbSize, sizeof para));
    if (hChainEngine != HCCE_CURRENT_USER && hChainEngine != HCCE_LOCAL_MACHINE)
      return fail(E_INVALIDARG);
    bool machine = hChainEngine == HCCE_LOCAL_MACHINE || (dwFlags & CERT_CHAIN_USE_LOCAL_MACHINE_STORE);

    Sources src;
    if (hAdditionalStore) {
      auto extra = handle_get<Store>(reinterpret_cast<uintptr_t>(hAdditionalStore));
      if (!extra) return fail(E_INVALIDARG);
      src.add(extra, false);
    }
    if (auto own = handle_get<Store>(end->store)) src.add(own, false);
    src.add_system("CA", machine, false);
    src.add_system("ROOT", machine, true);
    Walk w = build_chain(end, src);
    check_each(w, pTime, para.RequestedUsage);
    return hand_out(w, dwFlags, ppChainContext);
  });
}

extern "C" CSPAPI void WINAPI CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
  CSP_ENTRY;
  guarded([&]() -> BOOL {
    if (!pChainContext) return TRUE;
    uintptr_t h = lookup_ptr(pChainContext);
    auto ch = handle_get<Chain>(h);
    if (!ch || &ch->ctx != pChainContext) return fail(E_INVALIDARG);
    handle_release(h, Kind::CertChain);
    return TRUE;
  });
}
