// PFX import of files the openssl tool made, PFX export the openssl tool
// reads back, chains through the "ROOT" store, and the private key usage
// period from the certificate to the provider and back to its encoding.
#include <openssl/pkcs12.h>

#include <cstring>

#include "certapi_util.h"
#include "csp/cfgsup.h"
#include "csp/handles.h"

using namespace certtest;

namespace {

void make_pfx() {
  static bool done = [] {
    make_pki();
    for (const char* mode : {"", "-legacy"}) {
      std::string out = *mode ? "legacy.p12" : "modern.p12";
      sh("openssl pkcs12 -export " + std::string(mode) +
         " -in leaf.pem -inkey leaf.key -certfile ca.pem -name 'leaf alias' -passout pass:s3cret -out " + out);
    }
    sh("openssl x509 -in leaf.pem -pubkey -noout > leaf.pub");
    return true;
  }();
  (void)done;
}

CRYPT_DATA_BLOB blob_of(Bytes& b) { return CRYPT_DATA_BLOB{DWORD(b.size()), b.data()}; }

struct Imported {
  HCERTSTORE store = nullptr;
  std::vector<PCCERT_CONTEXT> certs;
  ~Imported() {
    for (auto c : certs) CertFreeCertificateContext(c);
    if (store) CertCloseStore(store, 0);
  }
};

void import(const char* file, const wchar_t* password, DWORD flags, Imported& out) {
  make_pfx();
  Bytes pfx = slurp(file);
  CRYPT_DATA_BLOB b = blob_of(pfx);
  out.store = PFXImportCertStore(&b, password, flags);
  ASSERT_NE(out.store, nullptr) << file << " " << std::hex << GetLastError();
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(out.store, c));)
    out.certs.push_back(CertDuplicateCertificateContext(c));
}

std::string friendly(PCCERT_CONTEXT c) {
  char buf[256];
  CertGetNameStringA(c, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, buf, sizeof buf);
  return buf;
}

// Signs with the key through the provider and has the openssl tool verify it.
void expect_signs(HCRYPTPROV prov, DWORD spec, const std::string& tag) {
  const std::string data = "signed by an imported key";
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &h)) << std::hex << GetLastError();
  ASSERT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()), 0));
  DWORD n = 0;
  ASSERT_TRUE(CryptSignHashA(h, spec, nullptr, 0, nullptr, &n));
  Bytes sig(n);
  ASSERT_TRUE(CryptSignHashA(h, spec, nullptr, 0, sig.data(), &n));
  CryptDestroyHash(h);
  Bytes be(sig.rbegin(), sig.rend());  // CryptoAPI signatures are little-endian
  spit(tag + ".sig", be);
  spit(tag + ".txt", Bytes(data.begin(), data.end()));
  std::string out =
      sh("openssl dgst -sha256 -verify leaf.pub -signature " + tag + ".sig " + tag + ".txt");
  EXPECT_NE(out.find("Verified OK"), std::string::npos) << out;
}

}  // namespace

TEST(PfxImport, ModernAndLegacyFilesBindTheKeyToItsCertificate) {
  for (const char* file : {"modern.p12", "legacy.p12"}) {
    SCOPED_TRACE(file);
    Imported im;
    import(file, L"s3cret", CRYPT_EXPORTABLE, im);
    ASSERT_EQ(im.certs.size(), 2u) << "the key's certificate, then the CA, in the file's order";
    PCCERT_CONTEXT leaf = im.certs[0];
    EXPECT_EQ(friendly(leaf), "leaf alias");
    CERT_KEY_CONTEXT kc{};
    DWORD n = sizeof kc;
    ASSERT_TRUE(CertGetCertificateContextProperty(leaf, CERT_KEY_CONTEXT_PROP_ID, &kc, &n));
    EXPECT_EQ(kc.dwKeySpec, DWORD(AT_KEYEXCHANGE));
    n = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(leaf, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n));
    Bytes info(n);
    ASSERT_TRUE(CertGetCertificateContextProperty(leaf, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &n));
    auto* pi = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(info.data());
    char cont[128] = {0};
    DWORD len = sizeof cont;
    ASSERT_TRUE(CryptGetProvParam(kc.hCryptProv, PP_CONTAINER, reinterpret_cast<BYTE*>(cont), &len, 0));
    EXPECT_EQ(std::wstring(pi->pwszContainerName), wide(cont));
    EXPECT_EQ(pi->dwProvType, DWORD(PROV_RSA_AES));
    n = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(im.certs[1], CERT_KEY_CONTEXT_PROP_ID, nullptr, &n));
    // The private key is the certificate's.
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
    DWORD spec = 0;
    BOOL must_free = TRUE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(
        leaf, CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_COMPARE_KEY_FLAG | CRYPT_ACQUIRE_USE_PROV_INFO_FLAG,
        nullptr, &prov, &spec, &must_free));
    EXPECT_EQ(prov, kc.hCryptProv);
    EXPECT_FALSE(must_free);
    expect_signs(prov, spec, file);
  }
  // A wrong password is ERROR_INVALID_PASSWORD; so is a null one.
  make_pfx();
  Bytes pfx = slurp("modern.p12");
  CRYPT_DATA_BLOB b = blob_of(pfx);
  size_t before = csp::handle_count();
  for (const wchar_t* pw : {L"wrong", L"", static_cast<const wchar_t*>(nullptr)}) {
    EXPECT_EQ(PFXImportCertStore(&b, pw, 0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PASSWORD));
    EXPECT_FALSE(PFXVerifyPassword(&b, pw, 0));
  }
  EXPECT_EQ(csp::handle_count(), before);
  EXPECT_TRUE(PFXVerifyPassword(&b, L"s3cret", 0));
  EXPECT_TRUE(PFXIsPFXBlob(&b));
  Bytes der = slurp("leaf.der");
  CRYPT_DATA_BLOB notpfx = blob_of(der);
  EXPECT_FALSE(PFXIsPFXBlob(&notpfx));
}

// A GOST certificate and key made by openssl's GOST engine. The key lands in
// a container of the GOST 2012-256 provider type, matches its certificate,
// keeps that type when the certificate is kept in a system store and acquired
// again from it, and signs for openssl.
TEST(PfxImport, GostKeyKeepsItsProviderTypeThroughAStoreAndSignsForOpenssl) {
  sh("openssl req -engine gost -x509 -newkey gost2012_256 -pkeyopt paramset:B -nodes -keyout gost.key "
     "-out gost.pem -days 30 -subj '/CN=Quill GOST' && "
     "openssl pkcs12 -engine gost -export -in gost.pem -inkey gost.key -passout pass:s3cret -out gost.p12 && "
     "openssl x509 -engine gost -in gost.pem -pubkey -noout > gost.pub");
  constexpr DWORD kGostType = 80;
  {
    Imported im;
    import("gost.p12", L"s3cret", 0, im);
    ASSERT_EQ(im.certs.size(), 1u);
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
    DWORD spec = 0;
    BOOL must_free = TRUE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(im.certs[0], CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &prov,
                                                  &spec, &must_free))
        << std::hex << GetLastError();
    HCERTSTORE s = CertOpenSystemStoreA(0, "GostPfx");
    ASSERT_TRUE(CertAddCertificateContextToStore(s, im.certs[0], CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    CertCloseStore(s, 0);
  }
  HCERTSTORE s = CertOpenSystemStoreA(0, "GostPfx");
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr);
  ASSERT_NE(c, nullptr);
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  DWORD spec = 0;
  BOOL must_free = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &prov, &spec,
                                                &must_free))
      << std::hex << GetLastError();
  DWORD type = 0, n = sizeof type;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &n, 0));
  EXPECT_EQ(type, kGostType);
  EXPECT_EQ(spec, DWORD(AT_KEYEXCHANGE));
  const std::string data = "signed by an imported GOST key";
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(prov, 0x8021, 0, 0, &h)) << std::hex << GetLastError();  // Streebog-256
  ASSERT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()), 0));
  Bytes sig(64);
  n = DWORD(sig.size());
  ASSERT_TRUE(CryptSignHashA(h, spec, nullptr, 0, sig.data(), &n)) << std::hex << GetLastError();
  CryptDestroyHash(h);
  spit("gost.sig", Bytes(sig.rbegin(), sig.rend()));  // the engine's order: s || r, big-endian
  spit("gost.txt", Bytes(data.begin(), data.end()));
  std::string out = sh("openssl dgst -engine gost -md_gost12_256 -verify gost.pub -signature gost.sig gost.txt");
  EXPECT_NE(out.find("Verified OK"), std::string::npos) << out;
  if (must_free) CryptReleaseContext(prov, 0);
  CertDeleteCertificateFromStore(c);
  CertCloseStore(s, 0);
}

TEST(PfxImport, KeysOutliveTheImportedStoreAndLeaveNoContextsBehind) {
  make_pfx();
  size_t before = csp::handle_count();
  for (int i = 0; i < 20; ++i) {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    {
      Imported im;
      import("modern.p12", L"s3cret", 0, im);
      CERT_KEY_CONTEXT kc{};
      DWORD n = sizeof kc;
      ASSERT_TRUE(CertGetCertificateContextProperty(im.certs[0], CERT_KEY_CONTEXT_PROP_ID, &kc, &n));
      prov = kc.hCryptProv;
      ASSERT_TRUE(CryptGetUserKey(prov, kc.dwKeySpec, &key));
      // Not exportable: imported without CRYPT_EXPORTABLE.
      DWORD len = 0;
      EXPECT_FALSE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &len));
    }
    // The store and its certificates are gone; the key still holds the context.
    if (i == 0) expect_signs(prov, AT_KEYEXCHANGE, "after-close");
    ASSERT_TRUE(CryptDestroyKey(key));
    DWORD len = 0;
    EXPECT_FALSE(CryptGetProvParam(prov, PP_CONTAINER, nullptr, &len, 0)) << "released with its key";
  }
  EXPECT_EQ(csp::handle_count(), before);
}

TEST(PfxImport, UsagePeriodReachesTheKeyAndEncodesAsTheExtension) {
  Imported im;
  import("modern.p12", L"s3cret", 0, im);
  CERT_KEY_CONTEXT kc{};
  DWORD n = sizeof kc;
  ASSERT_TRUE(CertGetCertificateContextProperty(im.certs[0], CERT_KEY_CONTEXT_PROP_ID, &kc, &n));
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGetUserKey(kc.hCryptProv, kc.dwKeySpec, &key));
  FILETIME end{};
  n = 0;
  ASSERT_TRUE(CryptGetKeyParam(key, KP_PRIVATEKEY_USAGE_PERIOD_END, nullptr, &n, 0));
  ASSERT_EQ(n, 8u);
  ASSERT_TRUE(CryptGetKeyParam(key, KP_PRIVATEKEY_USAGE_PERIOD_END, reinterpret_cast<BYTE*>(&end), &n, 0));
  CryptDestroyKey(key);
  QVCERT_PRIVATEKEY_USAGE_PERIOD period{nullptr, &end};
  DWORD len = 0;
  ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_QV_PRIVATEKEY_USAGE_PERIOD, &period, nullptr, &len));
  Bytes enc(len);
  ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_QV_PRIVATEKEY_USAGE_PERIOD, &period, enc.data(), &len));
  // Byte for byte the extension value the openssl tool put into the certificate.
  const CERT_INFO* ci = im.certs[0]->pCertInfo;
  const CERT_EXTENSION* ext = nullptr;
  for (DWORD i = 0; i < ci->cExtension; ++i)
    if (!strcmp(ci->rgExtension[i].pszObjId, szOID_PRIVATEKEY_USAGE_PERIOD)) ext = &ci->rgExtension[i];
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(Bytes(ext->Value.pbData, ext->Value.pbData + ext->Value.cbData), enc);
  FILETIME none{0xFFFFFFFF, 0xFFFFFFFF};
  period.pNotAfter = &none;
  EXPECT_FALSE(CryptEncodeObject(X509_ASN_ENCODING, X509_QV_PRIVATEKEY_USAGE_PERIOD, &period, nullptr, &len));
  EXPECT_FALSE(CryptEncodeObject(X509_ASN_ENCODING, "1.2.3", &period, nullptr, &len));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

  // A key without a usage period answers all ones.
  testenv::private_root();
  HCRYPTPROV p = 0;
  HCRYPTKEY k = 0;
  CryptAcquireContextA(&p, "certapi-no-period", nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  ASSERT_TRUE(CryptAcquireContextA(&p, "certapi-no-period", nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET));
  ASSERT_TRUE(CryptGenKey(p, AT_SIGNATURE, 1024 << 16, &k));
  n = sizeof end;
  ASSERT_TRUE(CryptGetKeyParam(k, KP_PRIVATEKEY_USAGE_PERIOD_END, reinterpret_cast<BYTE*>(&end), &n, 0));
  EXPECT_EQ(end.dwLowDateTime, 0xFFFFFFFFu);
  EXPECT_EQ(end.dwHighDateTime, 0xFFFFFFFFu);
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
}

TEST(PfxExport, OpensslReadsTheKeyTheCertificateAndTheFriendlyName) {
  Imported im;
  import("modern.p12", L"s3cret", CRYPT_EXPORTABLE, im);
  CERT_KEY_CONTEXT kc{};
  DWORD n = sizeof kc;
  ASSERT_TRUE(CertGetCertificateContextProperty(im.certs[0], CERT_KEY_CONTEXT_PROP_ID, &kc, &n));
  // A memory store holding the certificate bound to the key, as a caller fills it.
  HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, nullptr);
  PCCERT_CONTEXT c = load("leaf");
  std::wstring alias = L"exported alias";
  CRYPT_DATA_BLOB fn{DWORD((alias.size() + 1) * sizeof(WCHAR)), reinterpret_cast<BYTE*>(&alias[0])};
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &fn));
  ASSERT_TRUE(CryptContextAddRef(kc.hCryptProv, nullptr, 0));
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_CONTEXT_PROP_ID, 0, &kc));
  ASSERT_TRUE(CertAddCertificateContextToStore(mem, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  CertFreeCertificateContext(c);

  CRYPT_DATA_BLOB out{0, nullptr};
  ASSERT_TRUE(PFXExportCertStore(mem, &out, L"exp0rt", EXPORT_PRIVATE_KEYS));
  Bytes pfx(out.cbData);
  out.cbData -= 1;
  out.pbData = pfx.data();
  EXPECT_FALSE(PFXExportCertStore(mem, &out, L"exp0rt", EXPORT_PRIVATE_KEYS));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(out.cbData, pfx.size());
  ASSERT_TRUE(PFXExportCertStore(mem, &out, L"exp0rt", EXPORT_PRIVATE_KEYS));
  pfx.resize(out.cbData);
  spit("export.p12", pfx);
  std::string info = sh("openssl pkcs12 -info -in export.p12 -passin pass:exp0rt -nodes");
  EXPECT_NE(info.find("MAC: sha256"), std::string::npos) << info;
  EXPECT_NE(info.find("AES-256-CBC"), std::string::npos) << info;
  EXPECT_NE(info.find("friendlyName: exported alias"), std::string::npos) << info;
  EXPECT_NE(info.find("BEGIN PRIVATE KEY"), std::string::npos) << info;
  std::string key_mod = sh("openssl pkcs12 -in export.p12 -passin pass:exp0rt -nocerts -nodes | openssl rsa -noout -modulus");
  std::string cert_mod = sh("openssl pkcs12 -in export.p12 -passin pass:exp0rt -nokeys | openssl x509 -noout -modulus");
  std::string leaf_mod = sh("openssl x509 -in leaf.pem -noout -modulus");
  EXPECT_EQ(key_mod, leaf_mod);
  EXPECT_EQ(cert_mod, leaf_mod);
  CRYPT_DATA_BLOB b = blob_of(pfx);
  EXPECT_TRUE(PFXVerifyPassword(&b, L"exp0rt", 0));
  EXPECT_FALSE(PFXVerifyPassword(&b, L"exp0rT", 0));

  // Without a password OpenSSL keys the MAC with no password at all, not an
  // empty one (which openssl's -passout pass: writes; tests/wine imports such
  // a file both ways). Either form opens with a null or an empty password,
  // as on Windows, and only with those.
  out = CRYPT_DATA_BLOB{0, nullptr};
  ASSERT_TRUE(PFXExportCertStore(mem, &out, nullptr, 0));
  Bytes nopw(out.cbData);
  out.pbData = nopw.data();
  ASSERT_TRUE(PFXExportCertStore(mem, &out, nullptr, 0));
  nopw.resize(out.cbData);
  const unsigned char* der = nopw.data();
  PKCS12* p12 = d2i_PKCS12(nullptr, &der, long(nopw.size()));
  ASSERT_NE(p12, nullptr);
  EXPECT_EQ(PKCS12_verify_mac(p12, nullptr, 0), 1);
  EXPECT_EQ(PKCS12_verify_mac(p12, "", 0), 0);
  PKCS12_free(p12);
  b = blob_of(nopw);
  EXPECT_TRUE(PFXVerifyPassword(&b, nullptr, 0));
  EXPECT_TRUE(PFXVerifyPassword(&b, L"", 0));
  HCERTSTORE again = PFXImportCertStore(&b, L"", 0);
  EXPECT_NE(again, nullptr) << std::hex << GetLastError();
  if (again) CertCloseStore(again, 0);
  EXPECT_FALSE(PFXVerifyPassword(&b, L"exp0rt", 0));
  CertCloseStore(mem, 0);
}

TEST(Chain, BuiltThroughRootAndCaStoresWithTrustStatus) {
  make_pki();
  PCCERT_CONTEXT leaf = load("leaf"), ca = load("ca");
  LPSTR usage[] = {const_cast<LPSTR>(szOID_ANY_ENHANCED_KEY_USAGE)};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
  auto build = [&](HCERTSTORE extra, DWORD& errors) -> DWORD {
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    EXPECT_TRUE(CertGetCertificateChain(nullptr, leaf, nullptr, extra, &para,
                                        CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain));
    if (!chain) return 0;
    EXPECT_EQ(chain->cChain, 1u);
    DWORD n = chain->rgpChain[0]->cElement;
    EXPECT_EQ(chain->rgpChain[0]->rgpElement[0]->pCertContext->cbCertEncoded, leaf->cbCertEncoded);
    if (n == 2) {
      EXPECT_EQ(chain->rgpChain[0]->rgpElement[1]->pCertContext->cbCertEncoded, ca->cbCertEncoded);
    }
    errors = chain->TrustStatus.dwErrorStatus;
    CertFreeCertificateChain(chain);
    return n;
  };
  DWORD errors = 0;
  EXPECT_EQ(build(nullptr, errors), 1u);
  EXPECT_EQ(errors, DWORD(CERT_TRUST_IS_PARTIAL_CHAIN));
  // The issuer in the caller's store: complete, but not trusted.
  HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  ASSERT_TRUE(CertAddCertificateContextToStore(mem, ca, CERT_STORE_ADD_NEW, nullptr));
  EXPECT_EQ(build(mem, errors), 2u);
  EXPECT_EQ(errors, DWORD(CERT_TRUST_IS_UNTRUSTED_ROOT));
  DWORD flags = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
  PCCERT_CONTEXT issuer = CertGetIssuerCertificateFromStore(mem, leaf, nullptr, &flags);
  ASSERT_NE(issuer, nullptr);
  EXPECT_EQ(flags, 0u) << "signature and time both verified";
  CertFreeCertificateContext(issuer);
  CertCloseStore(mem, 0);
  // An impostor of the CA (its name and key identifier, another key): the
  // leaf's signature, just verified against the CA, fails against it, and
  // the CA still verifies it afterwards.
  sh("skid=$(openssl x509 -in ca.pem -noout -ext subjectKeyIdentifier | tail -1 | tr -d ' :') && "
     "openssl req -x509 -newkey rsa:2048 -nodes -keyout impostor.key -out impostor.pem -days 30 "
     "-subj '/O=Quill Tests/CN=Quill Test CA' -addext basicConstraints=critical,CA:TRUE "
     "-addext keyUsage=critical,keyCertSign -addext subjectKeyIdentifier=$skid && "
     "openssl x509 -in impostor.pem -outform DER -out impostor.der");
  PCCERT_CONTEXT impostor = load("impostor");
  for (PCCERT_CONTEXT candidate : {impostor, ca, impostor}) {
    HCERTSTORE one = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_TRUE(CertAddCertificateContextToStore(one, candidate, CERT_STORE_ADD_NEW, nullptr));
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    ASSERT_TRUE(CertGetCertificateChain(nullptr, leaf, nullptr, one, &para,
                                        CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain));
    ASSERT_EQ(chain->rgpChain[0]->cElement, 2u);
    DWORD bad = candidate == impostor ? DWORD(CERT_TRUST_IS_NOT_SIGNATURE_VALID) : 0u;
    EXPECT_EQ(chain->rgpChain[0]->rgpElement[0]->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_SIGNATURE_VALID, bad);
    CertFreeCertificateChain(chain);
    flags = CERT_STORE_SIGNATURE_FLAG;
    issuer = CertGetIssuerCertificateFromStore(one, leaf, nullptr, &flags);
    EXPECT_EQ(flags, candidate == impostor ? DWORD(CERT_STORE_SIGNATURE_FLAG) : 0u);
    CertFreeCertificateContext(issuer);
    CertCloseStore(one, 0);
  }
  CertFreeCertificateContext(impostor);
  // The issuer in "ROOT": trusted.
  HCERTSTORE root = CertOpenSystemStoreA(0, "ROOT");
  ASSERT_TRUE(CertAddCertificateContextToStore(root, ca, CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  CertCloseStore(root, 0);
  EXPECT_EQ(build(nullptr, errors), 2u);
  EXPECT_EQ(errors, 0u);
  CertFreeCertificateChain(nullptr);
  CertFreeCertificateContext(leaf);
  CertFreeCertificateContext(ca);
}
