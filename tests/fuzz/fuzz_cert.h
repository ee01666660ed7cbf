// Shared pieces of the certificate targets: reading everything the platform
// exposes of a certificate context and of a store, and the leak check over
// the handle table that every target ends with.
#ifndef QUILL_FUZZ_CERT_H
#define QUILL_FUZZ_CERT_H

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "csp/wincert.h"
#include "fuzz_common.h"

namespace fuzz {

// The fields CertCreateCertificateContext filled in must lie inside the
// context's own encoding or be empty.
inline void check_blob(const BYTE* p, DWORD n, const char* what) {
  if (n && !p) die(what);
  if (n) {
    volatile BYTE sink = 0;
    for (DWORD i = 0; i < n; ++i) sink = BYTE(sink ^ p[i]);  // ASan sees a read past it
    (void)sink;
  }
}

// Every name type, of the subject and the issuer, through the two-call
// convention of CertGetNameStringA (the size, a buffer one short, exact).
inline void read_names(PCCERT_CONTEXT c) {
  for (DWORD type = 1; type <= 8; ++type) {
    for (DWORD flags : {DWORD(0), DWORD(CERT_NAME_ISSUER_FLAG)}) {
      DWORD str = CERT_X500_NAME_STR;
      void* para = type == CERT_NAME_RDN_TYPE ? &str : nullptr;
      if (type == CERT_NAME_ATTR_TYPE) para = const_cast<char*>(szOID_COMMON_NAME);
      DWORD need = CertGetNameStringA(c, type, flags, para, nullptr, 0);
      if (need == 0 || need > (1u << 20)) die("name size");
      std::vector<char> buf(need);
      DWORD got = CertGetNameStringA(c, type, flags, para, buf.data(), need);
      if (got != need || buf[need - 1] != '\0') die("name text");
      if (need > 1) {
        std::vector<char> shortbuf(need - 1);
        got = CertGetNameStringA(c, type, flags, para, shortbuf.data(), need - 1);
        if (got > need - 1 || shortbuf[got ? got - 1 : 0] != '\0') die("short name buffer");
      }
    }
  }
}

// Every property the context has, and the hashes it computes on request.
inline void read_properties(PCCERT_CONTEXT c) {
  std::vector<BYTE> out;
  for (DWORD id : {DWORD(CERT_SHA1_HASH_PROP_ID), DWORD(CERT_MD5_HASH_PROP_ID),
                   DWORD(CERT_KEY_IDENTIFIER_PROP_ID), DWORD(CERT_SIGNATURE_HASH_PROP_ID)})
    two_call([&](BYTE* b, DWORD* l) { return CertGetCertificateContextProperty(c, id, b, l); },
             out, "hash property");
  int count = 0;
  for (DWORD id = CertEnumCertificateContextProperties(c, 0); id;
       id = CertEnumCertificateContextProperties(c, id)) {
    if (++count > 10000) die("property enumeration does not end");
    if (id == CERT_KEY_PROV_HANDLE_PROP_ID || id == CERT_KEY_CONTEXT_PROP_ID) continue;
    two_call([&](BYTE* b, DWORD* l) { return CertGetCertificateContextProperty(c, id, b, l); },
             out, "property");
  }
}

inline void read_fields(PCCERT_CONTEXT c) {
  if (!c->pCertInfo || !c->pbCertEncoded) die("context without its fields");
  check_blob(c->pbCertEncoded, c->cbCertEncoded, "encoding");
  const CERT_INFO* i = c->pCertInfo;
  check_blob(i->SerialNumber.pbData, i->SerialNumber.cbData, "serial");
  check_blob(i->Issuer.pbData, i->Issuer.cbData, "issuer");
  check_blob(i->Subject.pbData, i->Subject.cbData, "subject");
  check_blob(i->SubjectPublicKeyInfo.PublicKey.pbData, i->SubjectPublicKeyInfo.PublicKey.cbData,
             "public key");
  if (i->SubjectPublicKeyInfo.Algorithm.pszObjId) (void)strlen(i->SubjectPublicKeyInfo.Algorithm.pszObjId);
  for (DWORD k = 0; k < i->cExtension; ++k) {
    if (i->rgExtension[k].pszObjId) (void)strlen(i->rgExtension[k].pszObjId);
    check_blob(i->rgExtension[k].Value.pbData, i->rgExtension[k].Value.cbData, "extension");
  }
}

// The chain of `c` over `extra` (may be null), walked and freed.
inline void build_chain(PCCERT_CONTEXT c, HCERTSTORE extra) {
  CERT_CHAIN_PARA para;
  memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CHECKED(CertGetCertificateChain(nullptr, c, nullptr, extra, &para, 0, nullptr, &chain))) return;
  for (DWORD s = 0; s < chain->cChain; ++s)
    for (DWORD e = 0; e < chain->rgpChain[s]->cElement; ++e)
      read_fields(chain->rgpChain[s]->rgpElement[e]->pCertContext);
  CertFreeCertificateChain(chain);
}

// All of one certificate context.
inline void read_cert(PCCERT_CONTEXT c, HCERTSTORE extra, bool chain) {
  read_fields(c);
  read_names(c);
  read_properties(c);
  if (chain) build_chain(c, extra);
}

// Enumerates a store, reading each certificate (its chain over the store
// for the first few) and looking each up again by subject and issuer; then
// closes it. Returns how many certificates it held.
inline int walk_store(HCERTSTORE s, bool chains) {
  int n = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr); c;
       c = CertEnumCertificatesInStore(s, c)) {
    read_cert(c, s, chains && n < 4);
    if (PCCERT_CONTEXT f = CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                                      &c->pCertInfo->Subject, nullptr))
      CertFreeCertificateContext(f);
    else
      die("a certificate of the store is not found by its subject");
    DWORD flags = 0;
    if (PCCERT_CONTEXT i = CertGetIssuerCertificateFromStore(s, c, nullptr, &flags))
      CertFreeCertificateContext(i);
    ++n;
  }
  if (!CertCloseStore(s, CERT_CLOSE_STORE_CHECK_FLAG)) die("store still referenced at close");
  return n;
}

// The handle table must hold what it held before the input.
struct NoLeaks {
  size_t before = csp::handle_count();
  ~NoLeaks() noexcept(false) {
    if (csp::handle_count() != before) die("handles leaked");
  }
};

// Writes the input as the file at `path` (0600), anew.
inline void write_file(const std::string& path, const uint8_t* p, size_t n) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, p, n) != ssize_t(n)) die("write");
  close(fd);
}

}  // namespace fuzz

#endif
