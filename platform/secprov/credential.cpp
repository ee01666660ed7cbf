// Credentials: SCHANNEL_CRED turned into an SSL_CTX (protocol range, cipher
// suites, certificate checking) with a per-credential session cache.
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <strings.h>

#include "csp/cfgsup.h"
#include "csp/provkey.h"
#include "package.h"

namespace secprov {

namespace {

// The cipher suites a supported-algorithm entry 0x1E00 | n can name: n is
// the low byte of the suite's IANA number.
struct Suite {
  unsigned n;
  const char* name;  // OpenSSL's name
  bool tls13;
};
const Suite kSuites[] = {
    {0x01, "TLS_AES_128_GCM_SHA256", true},
    {0x02, "TLS_AES_256_GCM_SHA384", true},
    {0x03, "TLS_CHACHA20_POLY1305_SHA256", true},
    {0x2B, "ECDHE-ECDSA-AES128-GCM-SHA256", false},
    {0x2C, "ECDHE-ECDSA-AES256-GCM-SHA384", false},
    {0x2F, "ECDHE-RSA-AES128-GCM-SHA256", false},
    {0x30, "ECDHE-RSA-AES256-GCM-SHA384", false},
    {0xA8, "ECDHE-RSA-CHACHA20-POLY1305", false},
    {0xA9, "ECDHE-ECDSA-CHACHA20-POLY1305", false},
    {0x9E, "DHE-RSA-AES128-GCM-SHA256", false},
    {0x9F, "DHE-RSA-AES256-GCM-SHA384", false},
};

// The TLS 1.2 GOST suites, named by their cipher's ALG_ID; libssl has them
// only once the GOST engine is loaded. 28147-89 is the suite under its IANA
// number 0xC102 (OpenSSL also knows a draft number for it).
struct GostSuite {
  ALG_ID cipher;
  const char* name;
};
const GostSuite kGostSuites[] = {
    {SCH_ALG_KUZNYECHIK, "GOST2012-KUZNYECHIK-KUZNYECHIKOMAC"},
    {SCH_ALG_MAGMA, "GOST2012-MAGMA-MAGMAOMAC"},
    {SCH_ALG_GOST28147, "IANA-GOST2012-GOST8912-GOST8912"},
};

// TLS 1.2 suites offered when the credential names none: forward secret
// AEAD suites, then the GOST suites (a server picks those only with a GOST
// certificate, which the others cannot use, so placing them last changes
// nothing for servers the international suites serve). TLS 1.3 keeps
// OpenSSL's three.
const char kDefaultTls12Suites[] = "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20:!aNULL";
const char kDefaultTls13Suites[] =
    "TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256";

// The GOST suite an entry names: the cipher's ALG_ID as it is, or with the
// suite base ORed in (as the bridge passes every entry).
const char* gost_suite_for_alg(ALG_ID alg) {
  if (!(alg & SCH_ALG_CLASS_MASK)) return nullptr;
  for (const GostSuite& s : kGostSuites)
    if (alg == s.cipher || alg == (s.cipher | SCH_ALG_SUITE_BASE)) return s.name;
  return nullptr;
}

const Suite* suite_for_alg(ALG_ID alg) {
  if ((alg & SCH_ALG_SUITE_MASK) != SCH_ALG_SUITE_BASE) return nullptr;
  for (const Suite& s : kSuites)
    if (s.n == (alg & ~SCH_ALG_SUITE_MASK)) return &s;
  return nullptr;
}

// The protocol range of a grbitEnabledProtocols mask: 0 means TLS 1.2 and
// 1.3; masks naming only older versions are refused.
bool protocol_range(DWORD mask, int& min, int& max) {
  if (mask == 0) mask = SP_PROT_TLS1_2 | SP_PROT_TLS1_3;
  bool t12 = mask & SP_PROT_TLS1_2, t13 = mask & SP_PROT_TLS1_3;
  if (!t12 && !t13) return false;
  min = t12 ? TLS1_2_VERSION : TLS1_3_VERSION;
  max = t13 ? TLS1_3_VERSION : TLS1_2_VERSION;
  return true;
}

SECURITY_STATUS configure(SSL_CTX* ctx, const SCHANNEL_CRED* sc) {
  int min = 0, max = 0;
  if (!protocol_range(sc ? sc->grbitEnabledProtocols : 0, min, max))
    return SEC_E_ALGORITHM_MISMATCH;
  // Without the engine the GOST names match nothing and drop out.
  std::string tls12 = kDefaultTls12Suites, tls13 = kDefaultTls13Suites;
  for (const GostSuite& g : kGostSuites) tls12 = tls12 + ':' + g.name;
  if (sc && sc->cSupportedAlgs > 0) {
    if (!sc->palgSupportedAlgs) return SEC_E_INVALID_PARAMETER;
    tls12.clear();
    tls13.clear();
    for (DWORD i = 0; i < sc->cSupportedAlgs; ++i) {
      const char* name = gost_suite_for_alg(sc->palgSupportedAlgs[i]);
      const Suite* s = name ? nullptr : suite_for_alg(sc->palgSupportedAlgs[i]);
      if (s) name = s->name;
      if (!name) continue;
      std::string& list = s && s->tls13 ? tls13 : tls12;
      if (list.find(name) != std::string::npos) continue;
      if (!list.empty()) list += ':';
      list += name;
    }
    if (tls12.empty()) min = std::max(min, TLS1_3_VERSION);
    if (tls13.empty()) max = std::min(max, TLS1_2_VERSION);
    if (min > max) return SEC_E_ALGORITHM_MISMATCH;
  }
  if (!SSL_CTX_set_min_proto_version(ctx, min) || !SSL_CTX_set_max_proto_version(ctx, max))
    return SEC_E_INTERNAL_ERROR;
  if (!tls12.empty() && !SSL_CTX_set_cipher_list(ctx, tls12.c_str())) return SEC_E_ALGORITHM_MISMATCH;
  if (!SSL_CTX_set_ciphersuites(ctx, tls13.c_str())) return SEC_E_ALGORITHM_MISMATCH;
  return SEC_E_OK;
}

X509* decode(PCCERT_CONTEXT c) {
  const unsigned char* p = c->pbCertEncoded;
  return d2i_X509(nullptr, &p, static_cast<long>(c->cbCertEncoded));
}

// The certificate and its private key, which comes from the provider context
// named by the certificate's key context property.
SECURITY_STATUS use_certificate(Credential& cred, PCCERT_CONTEXT cert) {
  if (!cert || !cert->pbCertEncoded) return SEC_E_UNKNOWN_CREDENTIALS;
  X509Ptr x509(decode(cert));
  if (!x509) return SEC_E_UNKNOWN_CREDENTIALS;
  CERT_KEY_CONTEXT key;
  DWORD len = sizeof key;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_CONTEXT_PROP_ID, &key, &len) || len < sizeof key)
    return SEC_E_NO_CREDENTIALS;
  PkeyPtr pkey(csp_private_key(key.hCryptProv, key.dwKeySpec));
  if (!pkey) return SEC_E_NO_CREDENTIALS;
  SSL_CTX* ctx = cred.ctx.get();
  if (!SSL_CTX_use_certificate(ctx, x509.get()) || !SSL_CTX_use_PrivateKey(ctx, pkey.get()) ||
      !SSL_CTX_check_private_key(ctx))
    return SEC_E_NO_CREDENTIALS;
  cred.cert = CertDuplicateCertificateContext(cert);
  if (!cred.cert) return SEC_E_INTERNAL_ERROR;
  cred.x509 = std::move(x509);
  cred.pkey = std::move(pkey);
  return SEC_E_OK;
}

// The expiry a credential reports: the largest time there is.
constexpr TimeStamp kNeverExpires{0xFFFFFFFFu, 0x7FFFFFFF};

// The certificates of the "ROOT" store become the credential's trust anchors.
void trust_root_store(SSL_CTX* ctx) {
  HCERTSTORE root = CertOpenSystemStoreA(0, "ROOT");
  if (!root) return;
  X509_STORE* trusted = SSL_CTX_get_cert_store(ctx);
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(root, c)) != nullptr;) {
    X509Ptr x509(decode(c));
    if (x509) X509_STORE_add_cert(trusted, x509.get());
  }
  CertCloseStore(root, 0);
}

// The credential an SCHANNEL_CRED (or none) describes.
SECURITY_STATUS new_credential(bool client, const SCHANNEL_CRED* sc, std::shared_ptr<Credential>& out) {
  auto cred = std::make_shared<Credential>();
  cred->client = client;
  cred->flags = sc ? sc->dwFlags : 0;
  // A server needs a certificate.
  if (!client && (!sc || sc->cCreds == 0)) return SEC_E_NO_CREDENTIALS;
  cred->ctx.reset(SSL_CTX_new(client ? TLS_client_method() : TLS_server_method()));
  if (!cred->ctx) return SEC_E_INSUFFICIENT_MEMORY;
  SSL_CTX* ctx = cred->ctx.get();
  SECURITY_STATUS st = configure(ctx, sc);
  if (st != SEC_E_OK) return st;
  if (sc && sc->cCreds > 0) {
    st = use_certificate(*cred, sc->paCred[0]);
    if (st != SEC_E_OK) return st;
  }
  if (client) {
    bool manual = (cred->flags & SCH_CRED_MANUAL_CRED_VALIDATION) &&
                  !(cred->flags & SCH_CRED_AUTO_CRED_VALIDATION);
    prepare_client_context(ctx, !manual);
    if (!manual) trust_root_store(ctx);
  }
  out = std::move(cred);
  return SEC_E_OK;
}

}  // namespace

Credential::~Credential() {
  if (cert) CertFreeCertificateContext(cert);
}

std::shared_ptr<Credential> credential_of(const CredHandle* h) {
  if (!h || h->dwUpper != kCredentialTag) return nullptr;
  return csp::handle_get<Credential>(h->dwLower);
}

SECURITY_STATUS SEC_ENTRY AcquireCredentialsHandleA(SEC_CHAR*, SEC_CHAR* pszPackage,
                                                    unsigned long fCredentialUse, void*,
                                                    void* pAuthData, SEC_GET_KEY_FN, void*,
                                                    PCredHandle phCredential,
                                                    PTimeStamp ptsExpiry) {
  CSP_ENTRY;
  return guarded([&]() -> SECURITY_STATUS {
    if (!pszPackage || (strcasecmp(pszPackage, UNISP_NAME_A) != 0 && strcasecmp(pszPackage, "Schannel") != 0))
      return SEC_E_SECPKG_NOT_FOUND;
    if (!phCredential) return SEC_E_INVALID_PARAMETER;
    if (fCredentialUse != SECPKG_CRED_OUTBOUND && fCredentialUse != SECPKG_CRED_INBOUND)
      return SEC_E_INVALID_PARAMETER;
    const auto* sc = static_cast<const SCHANNEL_CRED*>(pAuthData);
    if (sc && sc->dwVersion != SCHANNEL_CRED_VERSION) return SEC_E_UNKNOWN_CREDENTIALS;
    if (sc && sc->cCreds > 0 && !sc->paCred) return SEC_E_INVALID_PARAMETER;

    // The GOST engine (process-wide, loaded once, owned by libprovapi) must
    // be in place before an SSL_CTX is made: libssl fixes the suites it can
    // offer then, and the ROOT store's GOST certificates decode only with it.
    DWORD saved = GetLastError();
    if (!csp_gost_load()) ERR_clear_error();
    SetLastError(saved);

    std::shared_ptr<Credential> cred;
    SECURITY_STATUS st = new_credential(fCredentialUse == SECPKG_CRED_OUTBOUND, sc, cred);
    if (st != SEC_E_OK) return st;
    uintptr_t h = csp::handle_insert(cred);
    if (!h) return SEC_E_INSUFFICIENT_MEMORY;
    phCredential->dwLower = h;
    phCredential->dwUpper = kCredentialTag;
    if (ptsExpiry) *ptsExpiry = kNeverExpires;
    return SEC_E_OK;
  });
}

SECURITY_STATUS SEC_ENTRY FreeCredentialsHandle(PCredHandle phCredential) {
  CSP_ENTRY;
  return guarded([&]() -> SECURITY_STATUS {
    if (!phCredential || phCredential->dwUpper != kCredentialTag) return SEC_E_INVALID_HANDLE;
    if (csp::handle_release(phCredential->dwLower, csp::Kind::Credential) == csp::Drop::Invalid)
      return SEC_E_INVALID_HANDLE;
    return SEC_E_OK;
  });
}

}  // namespace secprov
