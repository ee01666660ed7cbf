// A certificate's DER as CertCreateCertificateContext takes it: the context's
// fields, every name type, the properties, a friendly name set and read
// back, the chain build, and the context in a memory store.
#include "fuzz_cert.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::private_root();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::NoLeaks check;
  SetLastError(0);
  PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, data, DWORD(size));
  if (!c) {
    if (GetLastError() == 0) fuzz::die("a refused certificate without an error code");
    return 0;
  }
  if (c->cbCertEncoded > size || memcmp(c->pbCertEncoded, data, c->cbCertEncoded) != 0)
    fuzz::die("the context's encoding is not the input");
  fuzz::read_cert(c, nullptr, true);
  // A friendly name taken from the certificate's own bytes changes what
  // CERT_NAME_FRIENDLY_DISPLAY_TYPE gives.
  std::vector<wchar_t> name(data, data + std::min<size_t>(size, 40));
  name.push_back(0);
  CRYPT_DATA_BLOB blob{DWORD(name.size() * sizeof(wchar_t)), reinterpret_cast<BYTE*>(name.data())};
  CHECKED(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
  fuzz::read_names(c);
  HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  PCCERT_CONTEXT added = nullptr;
  if (!CHECKED(CertAddCertificateContextToStore(s, c, CERT_STORE_ADD_ALWAYS, &added)))
    fuzz::die("add to a memory store");
  CertFreeCertificateContext(added);
  CertFreeCertificateContext(c);
  if (fuzz::walk_store(s, true) != 1) fuzz::die("the memory store lost its certificate");
  return 0;
}
