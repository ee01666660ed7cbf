// Adds a DER certificate file to a system store of the CSP (the user's), or
// removes it: `cert_store add ROOT cert.der`, `cert_store remove ROOT cert.der`.
// The TLS tests use it to trust their test CA.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "csp/cfgsup.h"
#include "csp/wincrypt.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: cert_store add|remove STORE FILE.der\n");
    return 2;
  }
  HCERTSTORE store = CertOpenSystemStoreA(0, argv[2]);
  if (!store) {
    std::fprintf(stderr, "cannot open store %s: 0x%x\n", argv[2], unsigned(GetLastError()));
    return 1;
  }
  std::ifstream in(argv[3], std::ios::binary);
  std::vector<BYTE> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  bool ok = !der.empty();
  if (ok && std::strcmp(argv[1], "add") == 0) {
    ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  } else if (ok) {
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) {
      if (c->cbCertEncoded == der.size() && std::memcmp(c->pbCertEncoded, der.data(), der.size()) == 0) {
        ok = CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c));
      }
    }
  }
  if (!ok) std::fprintf(stderr, "%s failed: 0x%x\n", argv[1], unsigned(GetLastError()));
  CertCloseStore(store, 0);
  return ok ? 0 : 1;
}
