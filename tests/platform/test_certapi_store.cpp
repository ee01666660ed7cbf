// Certificate contexts, stores, properties and names, checked against what
// the openssl tool says of the same certificates.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstring>

#include "certapi_util.h"
#include "csp/cfgsup.h"
#include "csp/handles.h"

using namespace certtest;

namespace {

std::string hex_le(const CRYPT_INTEGER_BLOB& b) {
  static const char* h = "0123456789ABCDEF";
  std::string s;
  for (DWORD i = b.cbData; i-- > 0;) {
    s.push_back(h[b.pbData[i] >> 4]);
    s.push_back(h[b.pbData[i] & 15]);
  }
  return s;
}

std::string name_of(PCCERT_CONTEXT c, DWORD type, void* para = nullptr) {
  DWORD n = CertGetNameStringA(c, type, 0, para, nullptr, 0);
  std::string s(n, '\0');
  CertGetNameStringA(c, type, 0, para, &s[0], n);
  s.resize(n ? n - 1 : 0);
  return s;
}

void set_friendly(PCCERT_CONTEXT c, const std::wstring& name) {
  CRYPT_DATA_BLOB b{DWORD((name.size() + 1) * sizeof(WCHAR)),
                    reinterpret_cast<BYTE*>(const_cast<wchar_t*>(name.c_str()))};
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &b));
}

size_t count(HCERTSTORE s) {
  size_t n = 0;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(s, c));) ++n;
  return n;
}

HCRYPTPROV new_container(const char* name) {
  testenv::private_root();
  HCRYPTPROV p = 0, gone = 0;
  CryptAcquireContextA(&gone, name, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  EXPECT_TRUE(CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET));
  HCRYPTKEY k = 0;
  EXPECT_TRUE(CryptGenKey(p, AT_KEYEXCHANGE, 1024 << 16, &k));
  CryptDestroyKey(k);
  return p;
}

}  // namespace

TEST(CertContext, LayoutMatchesOpensslAndMalformedDerIsRefused) {
  PCCERT_CONTEXT c = load("leaf");
  ASSERT_NE(c, nullptr);
  Bytes der = slurp("leaf.der");
  ASSERT_EQ(c->cbCertEncoded, der.size());
  EXPECT_EQ(memcmp(c->pbCertEncoded, der.data(), der.size()), 0);
  EXPECT_EQ(c->dwCertEncodingType, DWORD(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING));
  EXPECT_NE(c->hCertStore, nullptr);
  const CERT_INFO* ci = c->pCertInfo;
  EXPECT_EQ(ci->dwVersion, DWORD(CERT_V3));
  EXPECT_EQ(hex_le(ci->SerialNumber), "008A01") << "content octets, least significant first";
  EXPECT_STREQ(ci->SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
  EXPECT_STREQ(ci->SubjectPublicKeyInfo.Algorithm.pszObjId, szOID_RSA_RSA);
  // The subject blob is the DER the openssl tool extracts.
  std::string subj = sh("openssl x509 -in leaf.pem -noout -subject -nameopt RFC2253");
  EXPECT_NE(subj.find("CN=Leaf Key,O=Quill,C=RU"), std::string::npos) << subj;
  EXPECT_EQ(name_of(c, CERT_NAME_RDN_TYPE), "C=RU, O=Quill, CN=Leaf Key");
  bool pkup = false;
  for (DWORD i = 0; i < ci->cExtension; ++i)
    pkup = pkup || strcmp(ci->rgExtension[i].pszObjId, szOID_PRIVATEKEY_USAGE_PERIOD) == 0;
  EXPECT_TRUE(pkup);
  // NotAfter: 30 days from the issue date the tool prints.
  uint64_t nb = uint64_t(ci->NotBefore.dwHighDateTime) << 32 | ci->NotBefore.dwLowDateTime;
  uint64_t na = uint64_t(ci->NotAfter.dwHighDateTime) << 32 | ci->NotAfter.dwLowDateTime;
  EXPECT_EQ(na - nb, 30ULL * 86400 * 10000000);

  // Duplicates are the same context with one more reference.
  PCCERT_CONTEXT d = CertDuplicateCertificateContext(c);
  EXPECT_EQ(d, c);
  EXPECT_TRUE(CertFreeCertificateContext(d));
  CERT_CONTEXT forged = *c;
  EXPECT_TRUE(CertFreeCertificateContext(c));
  // A freed context is not followed.
  EXPECT_FALSE(CertFreeCertificateContext(c));
  EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
  EXPECT_FALSE(CertFreeCertificateContext(&forged));

  struct Bad {
    Bytes der;
    LONG code;
  };
  Bytes truncated(der.begin(), der.begin() + long(der.size() / 2));
  Bytes trailing = der;
  trailing.push_back(0);
  Bytes inner = der;  // a valid outer header around a broken body
  inner[4] = 0x05;
  for (const Bad& b : {Bad{Bytes(), CRYPT_E_ASN1_EOD}, Bad{Bytes{0x04, 0x01, 0x00}, CRYPT_E_ASN1_BADTAG},
                       Bad{truncated, CRYPT_E_ASN1_EOD}, Bad{trailing, CRYPT_E_ASN1_CORRUPT},
                       Bad{inner, CRYPT_E_ASN1_CORRUPT}}) {
    SetLastError(0);
    EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, b.der.data(), DWORD(b.der.size())),
              nullptr);
    EXPECT_EQ(GetLastError(), DWORD(b.code)) << b.der.size();
  }
}

TEST(MemoryStore, DispositionsEnumerationFindAndDelete) {
  size_t before = csp::handle_count();
  HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  ASSERT_NE(s, nullptr);
  PCCERT_CONTEXT leaf = load("leaf"), other = load("other"), ca = load("ca");
  set_friendly(leaf, L"first");
  ASSERT_TRUE(CertAddCertificateContextToStore(s, leaf, CERT_STORE_ADD_NEW, nullptr));
  ASSERT_TRUE(CertAddCertificateContextToStore(s, other, CERT_STORE_ADD_NEW, nullptr));
  EXPECT_FALSE(CertAddCertificateContextToStore(s, leaf, CERT_STORE_ADD_NEW, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_EXISTS));
  EXPECT_FALSE(CertAddCertificateContextToStore(s, leaf, 99, nullptr));
  // Replace: the new properties win and the place in the order is kept.
  set_friendly(leaf, L"second");
  PCCERT_CONTEXT stored = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(s, leaf, CERT_STORE_ADD_REPLACE_EXISTING, &stored));
  EXPECT_NE(stored, leaf);
  EXPECT_EQ(stored->hCertStore, s);
  EXPECT_EQ(name_of(stored, CERT_NAME_FRIENDLY_DISPLAY_TYPE), "second");
  CertFreeCertificateContext(stored);
  ASSERT_TRUE(CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, ca->pbCertEncoded,
                                               ca->cbCertEncoded, CERT_STORE_ADD_USE_EXISTING,
                                               nullptr));
  EXPECT_EQ(count(s), 3u);
  PCCERT_CONTEXT first = CertEnumCertificatesInStore(s, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(name_of(first, CERT_NAME_FRIENDLY_DISPLAY_TYPE), "second");
  CertFreeCertificateContext(first);

  // Find: the same certificate, by hash, by subject text, by issuer.
  PCCERT_CONTEXT f = CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, other, nullptr);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->cbCertEncoded, other->cbCertEncoded);
  BYTE sha1[20];
  DWORD n = sizeof sha1;
  ASSERT_TRUE(CertGetCertificateContextProperty(other, CERT_SHA1_HASH_PROP_ID, sha1, &n));
  std::string fp = sh("openssl x509 -in other.pem -noout -fingerprint -sha1");
  char hex[3];
  snprintf(hex, sizeof hex, "%02X", sha1[19]);
  EXPECT_NE(fp.find(hex), std::string::npos) << fp;
  CRYPT_HASH_BLOB hb{n, sha1};
  PCCERT_CONTEXT g = CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hb, nullptr);
  EXPECT_EQ(g, f);
  CertFreeCertificateContext(g);
  PCCERT_CONTEXT h = CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A,
                                                "leaf key", nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(name_of(h, CERT_NAME_SIMPLE_DISPLAY_TYPE), "Leaf Key");
  PCCERT_CONTEXT i = CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_ISSUER_OF, h, nullptr);
  ASSERT_NE(i, nullptr);
  EXPECT_EQ(name_of(i, CERT_NAME_SIMPLE_DISPLAY_TYPE), "Quill Test CA");
  CertFreeCertificateContext(i);
  CertFreeCertificateContext(h);

  // Delete: gone from the store, the caller's context is taken.
  ASSERT_TRUE(CertDeleteCertificateFromStore(f));
  EXPECT_EQ(count(s), 2u);
  EXPECT_EQ(CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, other, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));

  // A context outlives the closed store, and the store's handle is refused
  // once the last context has gone.
  PCCERT_CONTEXT kept = CertEnumCertificatesInStore(s, nullptr);
  EXPECT_TRUE(CertCloseStore(s, 0));
  EXPECT_EQ(name_of(kept, CERT_NAME_FRIENDLY_DISPLAY_TYPE), "second");
  PCCERT_CONTEXT again = CertEnumCertificatesInStore(kept->hCertStore, nullptr);
  EXPECT_NE(again, nullptr);
  CertFreeCertificateContext(again);
  CertFreeCertificateContext(kept);
  EXPECT_FALSE(CertCloseStore(s, 0));
  for (PCCERT_CONTEXT c : {leaf, other, ca}) CertFreeCertificateContext(c);
  EXPECT_EQ(csp::handle_count(), before) << "every store and context released";
}

TEST(Properties, KeyContextOwnsItsReferenceUnlessToldNot) {
  HCRYPTPROV prov = new_container("certapi-keyctx");
  PCCERT_CONTEXT c = load("leaf");
  // The property takes over the reference it is given.
  ASSERT_TRUE(CryptContextAddRef(prov, nullptr, 0));
  CERT_KEY_CONTEXT kc{};
  kc.cbSize = sizeof kc;
  kc.hCryptProv = prov;
  kc.dwKeySpec = AT_KEYEXCHANGE;
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_CONTEXT_PROP_ID, 0, &kc));
  HCRYPTPROV got = 0;
  DWORD n = sizeof got;
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_HANDLE_PROP_ID, &got, &n));
  EXPECT_EQ(got, prov);
  DWORD spec = 0;
  n = sizeof spec;
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_SPEC_PROP_ID, &spec, &n));
  EXPECT_EQ(spec, DWORD(AT_KEYEXCHANGE));
  // Copied into a store, the stored certificate holds a reference of its own.
  HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  ASSERT_TRUE(CertAddCertificateContextToStore(s, c, CERT_STORE_ADD_ALWAYS, nullptr));
  CertFreeCertificateContext(c);
  ASSERT_TRUE(CryptReleaseContext(prov, 0));  // ours: the store's copy keeps it open
  DWORD len = 0;
  EXPECT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, nullptr, &len, 0));
  CertCloseStore(s, 0);
  EXPECT_FALSE(CryptGetProvParam(prov, PP_CONTAINER, nullptr, &len, 0)) << "released with the store";

  // CERT_STORE_NO_CRYPT_RELEASE_FLAG: the caller keeps the reference.
  prov = new_container("certapi-keyctx");
  c = load("leaf");
  kc.hCryptProv = prov;
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_CONTEXT_PROP_ID,
                                                CERT_STORE_NO_CRYPT_RELEASE_FLAG, &kc));
  CertFreeCertificateContext(c);
  EXPECT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, nullptr, &len, 0));
  // Removing the property releases an owned reference at once.
  c = load("leaf");
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_CONTEXT_PROP_ID, 0, &kc));
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_CONTEXT_PROP_ID, 0, nullptr));
  EXPECT_FALSE(CryptGetProvParam(prov, PP_CONTAINER, nullptr, &len, 0));
  n = 0;
  EXPECT_FALSE(CertGetCertificateContextProperty(c, CERT_KEY_CONTEXT_PROP_ID, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));

  // Key provider info: one block whose pointers point into the caller's buffer.
  std::wstring cont = L"certapi-keyctx", provname = L"Kestrel Quill RSA and AES Provider";
  CRYPT_KEY_PROV_INFO info{&cont[0], &provname[0], PROV_RSA_AES, 0, 0, nullptr, AT_KEYEXCHANGE};
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  n = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n));
  std::vector<BYTE> buf(n);
  DWORD shorter = n - 1;
  EXPECT_FALSE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &shorter));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n));
  auto* out = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
  EXPECT_EQ(std::wstring(out->pwszContainerName), cont);
  EXPECT_EQ(std::wstring(out->pwszProvName), provname);
  EXPECT_GE(reinterpret_cast<BYTE*>(out->pwszContainerName), buf.data());
  // The key is found through the provider info, and the caller must free it.
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE h = 0;
  BOOL must_free = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(
      c, CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_USE_PROV_INFO_FLAG, nullptr, &h, &spec, &must_free));
  EXPECT_TRUE(must_free);
  EXPECT_EQ(spec, DWORD(AT_KEYEXCHANGE));
  CryptReleaseContext(h, 0);
  // ...but not when the certificate's public key is not the container's.
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &h,
                                                 &spec, &must_free));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_PUBLIC_KEY));
  CertFreeCertificateContext(c);
  CryptReleaseContext(prov, 0);
}

TEST(FileStore, DerPemManyAndPkcs7AreReadOnly) {
  make_pki();
  sh("cat leaf.pem other.pem ca.pem > three.pem && openssl crl2pkcs7 -nocrl -certfile three.pem "
     "-outform DER -out three.p7b && openssl crl2pkcs7 -nocrl -certfile three.pem -out three.p7.pem");
  struct Case {
    const char* file;
    size_t n;
  };
  for (const Case& k : {Case{"leaf.der", 1}, Case{"leaf.pem", 1}, Case{"three.pem", 3},
                        Case{"three.p7b", 3}, Case{"three.p7.pem", 3}}) {
    std::string path = dir() + "/" + k.file;
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_FILENAME_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                 0, CERT_STORE_READONLY_FLAG | CERT_STORE_SET_LOCALIZED_NAME_FLAG,
                                 path.c_str());
    ASSERT_NE(s, nullptr) << k.file << " " << std::hex << GetLastError();
    EXPECT_EQ(count(s), k.n) << k.file;
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr);
    EXPECT_EQ(name_of(c, CERT_NAME_SIMPLE_DISPLAY_TYPE), "Leaf Key") << k.file;
    EXPECT_FALSE(CertDeleteCertificateFromStore(c));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    CertCloseStore(s, 0);
  }
  std::string missing = dir() + "/no-such-file";
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_FILENAME_A, 0, 0, CERT_STORE_READONLY_FLAG, missing.c_str()),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(SystemStore, PersistsCertificatesAndPropertiesAcrossReopenAndProcesses) {
  HCRYPTPROV prov = new_container("certapi-persist");
  {
    HCERTSTORE my = CertOpenSystemStoreA(0, "My");
    ASSERT_NE(my, nullptr) << std::hex << GetLastError();
    PCCERT_CONTEXT c = load("leaf");
    set_friendly(c, L"alias \u00e9");
    ASSERT_TRUE(CryptContextAddRef(prov, nullptr, 0));
    CERT_KEY_CONTEXT kc{};
    kc.cbSize = sizeof kc;
    kc.hCryptProv = prov;
    kc.dwKeySpec = AT_KEYEXCHANGE;
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_CONTEXT_PROP_ID, 0, &kc));
    ASSERT_TRUE(CertAddCertificateContextToStore(my, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    CertFreeCertificateContext(c);
    CertCloseStore(my, 0);
  }
  CryptReleaseContext(prov, 0);
  std::string file = testenv::private_root() + "/users/" + std::to_string(geteuid()) + "/stores/MY.sst";
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Two processes add at once; neither loses the other's certificate.
  pid_t child = fork();
  if (child == 0) {
    HCERTSTORE s = CertOpenSystemStoreA(0, "MY");
    Bytes der = slurp("other.der");
    bool ok = s && CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                                    CERT_STORE_ADD_NEW, nullptr);
    _exit(ok ? 0 : 1);
  }
  {
    HCERTSTORE s = CertOpenSystemStoreA(0, "MY");
    Bytes der = slurp("ca.der");
    EXPECT_TRUE(CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                                 CERT_STORE_ADD_NEW, nullptr));
    CertCloseStore(s, 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);

  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  EXPECT_EQ(count(my), 3u);
  PCCERT_CONTEXT leaf = load("leaf");
  PCCERT_CONTEXT c = CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, leaf, nullptr);
  ASSERT_NE(c, nullptr);
  std::setlocale(LC_CTYPE, "C.UTF-8");
  EXPECT_EQ(name_of(c, CERT_NAME_FRIENDLY_DISPLAY_TYPE), "alias \xc3\xa9");
  std::setlocale(LC_CTYPE, "C");
  // The key context comes back as a context on the same container: the
  // caller's own from CryptAcquireCertificatePrivateKey (so it outlives the
  // store), owned by the certificate once asked for as its property.
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE h = 0;
  DWORD spec = 0;
  BOOL must_free = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &h, &spec, &must_free));
  EXPECT_TRUE(must_free);
  EXPECT_EQ(spec, DWORD(AT_KEYEXCHANGE));
  char name[64] = {0};
  DWORD n = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(h, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &n, 0));
  EXPECT_STREQ(name, "certapi-persist");
  CryptReleaseContext(h, 0);
  HCRYPTPROV owned = 0;
  n = sizeof owned;
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_HANDLE_PROP_ID, &owned, &n));
  n = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(owned, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &n, 0));
  ASSERT_TRUE(CertDeleteCertificateFromStore(c));
  CertCloseStore(my, 0);
  my = CertOpenSystemStoreA(0, "MY");
  EXPECT_EQ(count(my), 2u);
  EXPECT_EQ(CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, leaf, nullptr), nullptr);
  CertCloseStore(my, 0);
  CertFreeCertificateContext(leaf);
  // Machine stores live apart.
  HCERTSTORE m = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "MY");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(count(m), 0u);
  CertCloseStore(m, 0);
}

TEST(Names, FriendlyDisplayFallsBackToCommonNameThenFirstAttribute) {
  PCCERT_CONTEXT leaf = load("leaf"), other = load("other");
  EXPECT_EQ(name_of(leaf, CERT_NAME_FRIENDLY_DISPLAY_TYPE), "Leaf Key");
  EXPECT_EQ(name_of(other, CERT_NAME_FRIENDLY_DISPLAY_TYPE), "Quill") << "no CN: the first attribute";
  EXPECT_EQ(name_of(leaf, CERT_NAME_ATTR_TYPE, const_cast<char*>("2.5.4.6")), "RU");
  set_friendly(leaf, L"Key \u0416");
  // The ANSI code page: UTF-8 under C.UTF-8, '?' for what the C locale lacks.
  std::setlocale(LC_CTYPE, "C.UTF-8");
  EXPECT_EQ(name_of(leaf, CERT_NAME_FRIENDLY_DISPLAY_TYPE), "Key \xd0\x96");
  if (std::setlocale(LC_CTYPE, "ru_RU.CP1251")) {
    EXPECT_EQ(name_of(leaf, CERT_NAME_FRIENDLY_DISPLAY_TYPE), "Key \xc6");
  }
  std::setlocale(LC_CTYPE, "C");
  // Short buffers get the truncated name and its count; no name gives 1.
  char two[2];
  EXPECT_EQ(CertGetNameStringA(other, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, two, 2), 2u);
  EXPECT_STREQ(two, "Q");
  EXPECT_EQ(CertGetNameStringA(other, CERT_NAME_EMAIL_TYPE, 0, nullptr, nullptr, 0), 1u);
  CertFreeCertificateContext(leaf);
  CertFreeCertificateContext(other);
}

TEST(SystemStore, ADamagedFileIsRefusedAndLeftAsItIs) {
  std::string dirname = testenv::private_root() + "/users/" + std::to_string(geteuid()) + "/stores";
  sh("mkdir -p '" + dirname + "'");
  // The magic, then an entry whose length runs past the end of the file.
  const std::string damaged("QCSPST01\xff\xff\x00\x00\x01\x00\x00\x00", 16);
  for (const std::string& content : {damaged, std::string("not a store")}) {
    {
      std::ofstream out(dirname + "/DAMAGED.sst", std::ios::binary);
      out << content;
    }
    EXPECT_EQ(CertOpenSystemStoreA(0, "damaged"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_FILE_ERROR));
    Bytes kept = slurp(dirname + "/DAMAGED.sst");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), content);
  }
}

// A new certificate is appended to its store file. A crash in the middle of
// an append leaves a torn tail; the store reads without it and the next
// change cuts it off. A file of an older writer (entries without a seal) is
// read as before and written anew when it changes. Each check reads the file
// from disk (its times changed, so no copy this process keeps is taken).
TEST(SystemStore, ATornAppendIsDroppedAndOlderFilesStayReadable) {
  make_pki();
  std::string dirname = testenv::private_root() + "/users/" + std::to_string(geteuid()) + "/stores";
  std::string file = dirname + "/TORN.sst";
  sh("mkdir -p '" + dirname + "'");
  Bytes ca = slurp("ca.der"), leaf = slurp("leaf.der"), other = slurp("other.der");
  auto put32 = [](Bytes& b, size_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(BYTE(v >> (8 * i)));
  };
  // The older format: the magic, then per entry its length and a certificate record.
  Bytes old{'Q', 'C', 'S', 'P', 'S', 'T', '0', '1'};
  put32(old, ca.size() + 8);
  put32(old, 1);
  put32(old, ca.size());
  old.insert(old.end(), ca.begin(), ca.end());
  auto write_file = [&](const Bytes& b) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
  };
  auto touched = [&](long sec) {
    struct timespec t[2] = {{sec, 0}, {sec, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), t, 0), 0);
  };
  auto stored = [&]() {
    HCERTSTORE s = CertOpenSystemStoreA(0, "torn");
    size_t n = s ? count(s) : size_t(-1);
    CertCloseStore(s, 0);
    return n;
  };
  auto add = [&](const Bytes& der) {
    HCERTSTORE s = CertOpenSystemStoreA(0, "torn");
    EXPECT_TRUE(CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                                 CERT_STORE_ADD_NEW, nullptr));
    CertCloseStore(s, 0);
  };
  auto add_existing = [&](const Bytes& der) {
    HCERTSTORE s = CertOpenSystemStoreA(0, "torn");
    EXPECT_TRUE(CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                                 CERT_STORE_ADD_USE_EXISTING, nullptr));
    CertCloseStore(s, 0);
  };
  write_file(old);
  touched(1000);
  EXPECT_EQ(stored(), 1u);
  add(leaf);  // written anew: both entries sealed
  add(other); // appended
  touched(2000);
  EXPECT_EQ(stored(), 3u);
  Bytes good = slurp(file);

  // Torn tails: a partial length, the last entry cut short, zeros of a
  // grown file. The next change leaves the file as it was before the tear.
  for (int k = 0; k < 3; ++k) {
    Bytes torn = good;
    if (k == 0) torn.insert(torn.end(), {0x40, 0x02});
    if (k == 1) torn.resize(good.size() - 20);
    if (k == 2) torn.resize(good.size() + 300, 0);
    write_file(torn);
    touched(3000);
    EXPECT_EQ(stored(), k == 1 ? 2u : 3u) << k;
    add_existing(other);
    touched(4000);
    EXPECT_EQ(stored(), 3u) << k;
    EXPECT_TRUE(slurp(file) == good) << k;
  }
  // Damage before the last entry is refused: the second entry's first
  // record (after the magic, the first entry's length, certificate record
  // and seal, and the second's length) is no certificate.
  constexpr size_t kSeal = 12;
  Bytes bad = good;
  bad[ca.size() + 8 + 4 + 8 + kSeal + 4] = 0x7F;
  write_file(bad);
  touched(5000);
  EXPECT_EQ(CertOpenSystemStoreA(0, "torn"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_FILE_ERROR));
  sh("rm -f '" + file + "'");
}

// The bytes of a store file entry, built here from the layout the readers
// of older files expect, its seal's CRC-32 computed by gzip: a certificate
// record, the properties by id, the key provider information, the key
// context as what acquires it again (its provider type apart, when not
// PROV_RSA_AES), then the seal.
TEST(SystemStore, TheFileHoldsTheRecordsOfEachEntryAndItsSeal) {
  make_pki();
  std::string file = testenv::private_root() + "/users/" + std::to_string(geteuid()) + "/stores/LAYOUT.sst";
  HCRYPTPROV rsa = new_container("certapi-layout"), full = 0;
  CryptReleaseContext(rsa, 0);
  ASSERT_TRUE(CryptAcquireContextA(&full, "certapi-layout", nullptr, PROV_RSA_FULL, 0));
  PCCERT_CONTEXT c = load("leaf");
  const BYTE value[] = {1, 2, 3};
  CRYPT_DATA_BLOB blob{3, const_cast<BYTE*>(value)};
  ASSERT_TRUE(CertSetCertificateContextProperty(c, 1000, 0, &blob));
  wchar_t container[] = L"C\u0416", provider[] = L"P";
  BYTE param_bytes[] = {9};
  CRYPT_KEY_PROV_PARAM param{7, param_bytes, 1, 8};
  CRYPT_KEY_PROV_INFO info{container, provider, PROV_RSA_AES, CRYPT_MACHINE_KEYSET, 1, &param, AT_SIGNATURE};
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  CERT_KEY_CONTEXT kc{sizeof kc, {full}, AT_KEYEXCHANGE};
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_CONTEXT_PROP_ID, 0, &kc));
  HCERTSTORE s = CertOpenSystemStoreA(0, "layout");
  ASSERT_TRUE(CertAddCertificateContextToStore(s, c, CERT_STORE_ADD_NEW, nullptr));
  CertCloseStore(s, 0);
  CertFreeCertificateContext(c);

  auto put32 = [](Bytes& b, size_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(BYTE(v >> (8 * i)));
  };
  auto record = [&](Bytes& b, DWORD tag, const Bytes& data) {
    put32(b, tag);
    put32(b, data.size());
    b.insert(b.end(), data.begin(), data.end());
  };
  Bytes entry, rec, der = slurp("leaf.der");
  record(entry, 1, der);
  put32(rec, 1000);
  rec.insert(rec.end(), value, value + 3);
  record(entry, 2, rec);
  rec.clear();
  for (const wchar_t* w : {L"C\u0416", L"P"}) {
    put32(rec, wcslen(w));
    for (; *w; ++w) put32(rec, DWORD(*w));
  }
  for (DWORD v : {DWORD(PROV_RSA_AES), DWORD(CRYPT_MACHINE_KEYSET), DWORD(AT_SIGNATURE), 1u, 7u, 8u, 1u})
    put32(rec, v);
  rec.push_back(9);
  record(entry, 3, rec);
  rec.clear();
  put32(rec, 0);
  put32(rec, AT_KEYEXCHANGE);
  for (char ch : std::string("certapi-layout")) rec.push_back(BYTE(ch));
  record(entry, 4, rec);
  rec.clear();
  put32(rec, PROV_RSA_FULL);
  record(entry, 5, rec);
  spit("entry.bin", entry);
  std::string crc = sh("gzip -c entry.bin | tail -c 8 | head -c 4");
  ASSERT_EQ(crc.size(), 4u);
  record(entry, 6, Bytes(crc.begin(), crc.end()));
  Bytes expected{'Q', 'C', 'S', 'P', 'S', 'T', '0', '1'};
  put32(expected, entry.size());
  expected.insert(expected.end(), entry.begin(), entry.end());
  EXPECT_TRUE(slurp(file) == expected);
  sh("rm -f '" + file + "'");
}

// An element deleted from a system store, or replaced there, is no longer
// the store's: a property set through a context still held on it changes
// that context only, not the store's file.
TEST(SystemStore, AnElementDeletedOrReplacedStaysOutOfTheFile) {
  make_pki();
  HCERTSTORE s = CertOpenSystemStoreA(0, "gone");
  Bytes der = slurp("leaf.der");
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                               CERT_STORE_ADD_NEW, &added));
  PCCERT_CONTEXT held = CertDuplicateCertificateContext(added);
  ASSERT_TRUE(CertDeleteCertificateFromStore(added));
  set_friendly(held, L"deleted");
  CertFreeCertificateContext(held);
  CertCloseStore(s, 0);
  s = CertOpenSystemStoreA(0, "gone");
  EXPECT_EQ(count(s), 0u);

  PCCERT_CONTEXT old = nullptr, fresh = load("leaf");
  ASSERT_TRUE(CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                               CERT_STORE_ADD_NEW, &old));
  set_friendly(fresh, L"new");
  ASSERT_TRUE(CertAddCertificateContextToStore(s, fresh, CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  set_friendly(old, L"replaced");
  CertFreeCertificateContext(old);
  CertFreeCertificateContext(fresh);
  CertCloseStore(s, 0);
  s = CertOpenSystemStoreA(0, "gone");
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(name_of(c, CERT_NAME_FRIENDLY_DISPLAY_TYPE), "new");
  CertFreeCertificateContext(c);
  CertCloseStore(s, 0);
  CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_DELETE_FLAG, "gone");
}

// A search by encoding in a store just opened makes only the entry it finds;
// that certificate is the same one the store enumerates later, deleting it
// rewrites the file without it, and closing the store releases it. One the
// file lacks is looked for among those added since the store was opened.
// Deleting the entry appended last cuts it off the file.
TEST(SystemStore, AnEntryFoundByItsEncodingIsTheStoresOwnCertificate) {
  make_pki();
  const char* kStore = "found";
  CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_DELETE_FLAG, kStore);
  Bytes leaf = slurp("leaf.der"), ca = slurp("ca.der"), other = slurp("other.der");
  HCERTSTORE s = CertOpenSystemStoreA(0, kStore);
  for (const Bytes* der : {&leaf, &ca})
    ASSERT_TRUE(CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der->data(), DWORD(der->size()),
                                                 CERT_STORE_ADD_NEW, nullptr));
  CertCloseStore(s, 0);
  size_t before = csp::handle_count();
  auto find = [](HCERTSTORE st, const Bytes& der) {
    PCCERT_CONTEXT want = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
    PCCERT_CONTEXT c = CertFindCertificateInStore(st, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, want, nullptr);
    CertFreeCertificateContext(want);
    return c;
  };

  s = CertOpenSystemStoreA(0, kStore);
  EXPECT_EQ(find(s, other), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));
  ASSERT_TRUE(CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, other.data(), DWORD(other.size()),
                                               CERT_STORE_ADD_NEW, nullptr));
  PCCERT_CONTEXT found = find(s, ca);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->hCertStore, s);
  PCCERT_CONTEXT again = find(s, ca), added = find(s, other);
  EXPECT_EQ(again, found);
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->cbCertEncoded, other.size());
  set_friendly(found, L"found");
  CertFreeCertificateContext(again);
  CertFreeCertificateContext(added);
  // Enumeration keeps the file's order and hands out the certificate found.
  std::vector<PCCERT_CONTEXT> seen;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(s, c));) seen.push_back(c);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1], found);
  EXPECT_EQ(Bytes(seen[0]->pbCertEncoded, seen[0]->pbCertEncoded + seen[0]->cbCertEncoded), leaf);
  CertFreeCertificateContext(found);
  CertCloseStore(s, 0);

  // Found, then deleted, before anything else is made: gone from the file,
  // the others and the property kept.
  s = CertOpenSystemStoreA(0, kStore);
  found = find(s, ca);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(name_of(found, CERT_NAME_FRIENDLY_DISPLAY_TYPE), "found");
  PCCERT_CONTEXT held = CertDuplicateCertificateContext(found);
  ASSERT_TRUE(CertDeleteCertificateFromStore(found));
  EXPECT_EQ(find(s, ca), nullptr);
  CertFreeCertificateContext(held);
  EXPECT_EQ(count(s), 2u);
  CertCloseStore(s, 0);
  s = CertOpenSystemStoreA(0, kStore);
  EXPECT_EQ(find(s, ca), nullptr);
  PCCERT_CONTEXT c = find(s, leaf);
  CertFreeCertificateContext(c);
  CertCloseStore(s, 0);  // with only the one found made
  EXPECT_EQ(csp::handle_count(), before);
  // Taking out the entry added last gives back the file as it was before
  // the add, byte for byte; an add after it appends again.
  std::string file = testenv::private_root() + "/users/" + std::to_string(geteuid()) + "/stores/FOUND.sst";
  Bytes was = slurp(file);
  s = CertOpenSystemStoreA(0, kStore);
  EXPECT_EQ(count(s), 2u);
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, ca.data(), DWORD(ca.size()),
                                                 CERT_STORE_ADD_NEW, nullptr));
    EXPECT_GT(slurp(file).size(), was.size());
    ASSERT_TRUE(CertDeleteCertificateFromStore(find(s, ca)));
    EXPECT_EQ(slurp(file), was);
  }
  CertCloseStore(s, 0);
  s = CertOpenSystemStoreA(0, kStore);
  EXPECT_EQ(count(s), 2u);
  CertCloseStore(s, 0);
  CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_DELETE_FLAG, kStore);
}
