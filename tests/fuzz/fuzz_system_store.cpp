// The system store file on disk. The rest of the input after its first
// byte is written as the user's store FUZZ (<root>/users/<uid>/stores/
// FUZZ.sst) and the store is opened, enumerated and closed. When the first
// byte says so, the store is then changed: its first certificate deleted
// (which writes the file anew from what it read), and the store opened
// again must hold one certificate less; every certificate's properties
// survive the rewrite.
#include <fcntl.h>

#include "fuzz_cert.h"

namespace {

std::string g_file;

HCERTSTORE open_store(bool readonly) {
  SetLastError(0);
  HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                               CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG |
                                   (readonly ? CERT_STORE_READONLY_FLAG : 0),
                               "fuzz");
  if (!s && GetLastError() == 0) fuzz::die("a refused store file without an error code");
  return s;
}

// The values of a CRYPT_KEY_PROV_INFO, without the pointers that hold them.
std::vector<BYTE> prov_info_fields(const std::vector<BYTE>& v) {
  if (v.size() < sizeof(CRYPT_KEY_PROV_INFO)) fuzz::die("short key provider information");
  const auto* pi = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(v.data());
  std::vector<BYTE> out;
  auto put = [&](const void* p, size_t n) {
    out.insert(out.end(), static_cast<const BYTE*>(p), static_cast<const BYTE*>(p) + n);
  };
  for (LPCWSTR w : {pi->pwszContainerName, pi->pwszProvName}) {
    out.push_back(w != nullptr);
    if (w) put(w, wcslen(w) * sizeof(WCHAR));
  }
  put(&pi->dwProvType, 12);  // type, flags, parameter count
  put(&pi->dwKeySpec, 4);
  for (DWORD i = 0; i < pi->cProvParam; ++i) {
    put(&pi->rgProvParam[i].dwParam, 4);
    put(pi->rgProvParam[i].pbData, pi->rgProvParam[i].cbData);
  }
  return out;
}

// The properties of every certificate, in store order.
std::vector<std::vector<BYTE>> properties(HCERTSTORE s) {
  std::vector<std::vector<BYTE>> out;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr); c;
       c = CertEnumCertificatesInStore(s, c)) {
    std::vector<BYTE> all(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded), v;
    for (DWORD id = CertEnumCertificateContextProperties(c, 0); id;
         id = CertEnumCertificateContextProperties(c, id)) {
      if (id == CERT_KEY_PROV_HANDLE_PROP_ID || id == CERT_KEY_CONTEXT_PROP_ID) continue;
      if (!fuzz::two_call([&](BYTE* b, DWORD* l) { return CertGetCertificateContextProperty(c, id, b, l); },
                          v, "property"))
        continue;
      all.push_back(BYTE(id));
      if (id == CERT_KEY_PROV_INFO_PROP_ID) v = prov_info_fields(v);  // not its pointers
      all.insert(all.end(), v.begin(), v.end());
    }
    out.push_back(std::move(all));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string dir = fuzz::private_root() + "/users/" + std::to_string(geteuid());
  std::filesystem::create_directories(dir + "/stores");
  g_file = dir + "/stores/FUZZ.sst";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::NoLeaks check;
  fuzz::write_file(g_file, data + 1, size - 1);
  bool change = data[0] & 1;
  HCERTSTORE s = open_store(!change);
  if (!s) return 0;
  if (!change) {
    fuzz::walk_store(s, data[0] & 2);
    return 0;
  }
  std::vector<std::vector<BYTE>> before = properties(s);
  PCCERT_CONTEXT first = CertEnumCertificatesInStore(s, nullptr);
  if (!first || !CHECKED(CertDeleteCertificateFromStore(first))) {
    fuzz::walk_store(s, false);
    return 0;
  }
  fuzz::walk_store(s, false);
  HCERTSTORE again = open_store(true);
  if (!again) fuzz::die("the store does not open after it was written");
  std::vector<std::vector<BYTE>> after = properties(again);
  // The first entry went; a later copy of the same certificate stays.
  before.erase(before.begin());
  if (after != before) fuzz::die("the rewritten store differs from what was read");
  fuzz::walk_store(again, false);
  return 0;
}
