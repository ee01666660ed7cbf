// Certificate files as stores: DER, PEM (one or many certificates, PKCS#7
// blocks) and PKCS#7 in DER. The first byte picks how the rest arrives: as
// a CERT_STORE_PROV_PKCS7 blob, or as a file opened by its narrow or wide
// name. The store is walked and must refuse changes.
#include <fcntl.h>

#include "fuzz_cert.h"

namespace {

std::string g_file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_file = fuzz::private_root() + "/input.crt";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::NoLeaks check;
  std::vector<BYTE> raw(data + 1, data + size);
  HCERTSTORE s;
  SetLastError(0);
  switch (data[0] % 3) {
    case 0: {
      CRYPT_DATA_BLOB blob{DWORD(raw.size()), raw.data()};
      s = CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING, 0, CERT_STORE_READONLY_FLAG, &blob);
      break;
    }
    case 1:
      fuzz::write_file(g_file, raw.data(), raw.size());
      s = CertOpenStore(CERT_STORE_PROV_FILENAME_A, X509_ASN_ENCODING, 0, 0, g_file.c_str());
      break;
    default: {
      fuzz::write_file(g_file, raw.data(), raw.size());
      std::wstring wide(g_file.begin(), g_file.end());
      s = CertOpenStore(CERT_STORE_PROV_FILENAME_W, X509_ASN_ENCODING, 0, 0, wide.c_str());
      break;
    }
  }
  if (!s) {
    if (GetLastError() == 0) fuzz::die("a refused file without an error code");
    return 0;
  }
  if (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr)) {
    if (CertAddCertificateContextToStore(s, c, CERT_STORE_ADD_ALWAYS, nullptr))
      fuzz::die("a read-only store took a certificate");
    CertFreeCertificateContext(c);
  }
  fuzz::walk_store(s, true);
  return 0;
}
