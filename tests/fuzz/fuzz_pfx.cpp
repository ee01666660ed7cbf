// PFX import. The first byte picks the password (none, empty, "fuzz", or
// the two wrong ones) and the import flags; the rest is the PFX. What was
// imported is walked: each certificate read, its key acquired and used,
// everything freed. Keys stay in memory (PKCS12_NO_PERSIST_KEY).
#include "fuzz_cert.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define QUILL_LSAN_DISABLE() __lsan_disable()
#define QUILL_LSAN_ENABLE() __lsan_enable()
#endif
#endif
#ifndef QUILL_LSAN_DISABLE
#define QUILL_LSAN_DISABLE()
#define QUILL_LSAN_ENABLE()
#endif

namespace {

void use_key(PCCERT_CONTEXT c) {
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  DWORD spec = 0;
  BOOL free_it = FALSE;
  if (!CHECKED(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &spec, &free_it))) return;
  HCRYPTKEY k = 0;
  if (CHECKED(CryptGetUserKey(prov, spec, &k))) {
    std::vector<BYTE> out;
    fuzz::two_call([&](BYTE* b, DWORD* l) { return CryptExportKey(k, 0, PUBLICKEYBLOB, 0, b, l); },
                   out, "public key export");
    CryptDestroyKey(k);
  }
  if (free_it) CryptReleaseContext(prov, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::private_root();
  // The first import loads OpenSSL's legacy provider for the life of the
  // process, and what its init allocates is reachable only from inside
  // OpenSSL: that load happens here, outside the leak checker's view, with
  // an import of an empty store's PFX.
  QUILL_LSAN_DISABLE();
  HCERTSTORE empty = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  CRYPT_DATA_BLOB blob{0, nullptr};
  std::vector<BYTE> pfx;
  if (PFXExportCertStore(empty, &blob, L"fuzz", 0)) {
    pfx.resize(blob.cbData);
    blob.pbData = pfx.data();
    if (PFXExportCertStore(empty, &blob, L"fuzz", 0))
      CertCloseStore(PFXImportCertStore(&blob, L"fuzz", PKCS12_NO_PERSIST_KEY), 0);
  }
  CertCloseStore(empty, 0);
  QUILL_LSAN_ENABLE();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::NoLeaks check;
  static const wchar_t* const kPasswords[] = {nullptr, L"", L"fuzz", L"wrong", L"fuzz\u00e9"};
  const wchar_t* pw = kPasswords[(data[0] & 7) % 5];
  DWORD flags = PKCS12_NO_PERSIST_KEY;
  if (data[0] & 0x08) flags |= CRYPT_EXPORTABLE;
  if (data[0] & 0x10) flags |= PKCS12_ONLY_CERTIFICATES;
  if (data[0] & 0x20) flags |= PKCS12_ONLY_NOT_ENCRYPTED_CERTIFICATES;
  if (data[0] & 0x40) flags |= PKCS12_ALLOW_OVERWRITE_KEY | PKCS12_IMPORT_SILENT;
  std::vector<BYTE> pfx(data + 1, data + size);  // exactly the input, for ASan
  CRYPT_DATA_BLOB blob{DWORD(pfx.size()), pfx.data()};
  PFXIsPFXBlob(&blob);
  CHECKED(PFXVerifyPassword(&blob, pw, 0));
  SetLastError(0);
  HCERTSTORE s = PFXImportCertStore(&blob, pw, flags);
  if (!s) {
    if (GetLastError() == 0) fuzz::die("a refused PFX without an error code");
    return 0;
  }
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr); c;
       c = CertEnumCertificatesInStore(s, c))
    use_key(c);
  fuzz::walk_store(s, true);
  return 0;
}
