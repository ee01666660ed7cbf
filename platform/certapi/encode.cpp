// CryptEncodeObject: the structures this library encodes (the private key
// usage period extension).
#include <openssl/x509v3.h>

#include <cstring>

#include "apiutil.h"
#include "certobj.h"

using namespace csp;
using namespace csp::cert;

extern "C" CSPAPI BOOL WINAPI CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                                const void* pvStructInfo, BYTE* pbEncoded,
                                                DWORD* pcbEncoded) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (!pcbEncoded || !pvStructInfo || !lpszStructType) return fail(E_INVALIDARG);
    if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING)
      return fail(ERROR_FILE_NOT_FOUND);
    if (reinterpret_cast<uintptr_t>(lpszStructType) <= 0xFFFF ||
        strcmp(lpszStructType, X509_QV_PRIVATEKEY_USAGE_PERIOD) != 0)
      return fail(ERROR_FILE_NOT_FOUND);  // no encoder for the structure type
    const auto* in = static_cast<const QVCERT_PRIVATEKEY_USAGE_PERIOD*>(pvStructInfo);
    PKEY_USAGE_PERIOD* pkup = PKEY_USAGE_PERIOD_new();
    if (!pkup) return fail(NTE_NO_MEMORY);
    auto set = [](ASN1_GENERALIZEDTIME*& dst, const FILETIME* ft) {
      if (!ft) return true;
      std::string text;
      if (!filetime_to_generalized(*ft, text)) return false;
      dst = ASN1_GENERALIZEDTIME_new();
      return dst && ASN1_GENERALIZEDTIME_set_string(dst, text.c_str()) == 1;
    };
    bool ok = set(pkup->notBefore, in->pNotBefore) && set(pkup->notAfter, in->pNotAfter);
    unsigned char* der = nullptr;
    int n = ok ? i2d_PKEY_USAGE_PERIOD(pkup, &der) : -1;
    PKEY_USAGE_PERIOD_free(pkup);
    if (n <= 0) return fail(CRYPT_E_BAD_ENCODE);
    BOOL r = put_bytes(pbEncoded, pcbEncoded, der, size_t(n));
    OPENSSL_free(der);
    return r;
  });
}
