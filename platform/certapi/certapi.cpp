// libcertapi: certificates, stores, chains and PFX on top of libprovapi.
// Every entry point exists so that the bridge links; the ones not built yet
// fail with E_NOTIMPL.
#include "apiutil.h"
#include "csp/wincrypt.h"

using csp::fail;

namespace {
template <class T>
T not_yet(T value) {
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return value;
}
}  // namespace

extern "C" {

CSPAPI HCERTSTORE WINAPI CertOpenStore(LPCSTR, DWORD, HCRYPTPROV_LEGACY, DWORD, const void*) {
  return not_yet<HCERTSTORE>(nullptr);
}
CSPAPI HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY, LPCSTR) {
  return not_yet<HCERTSTORE>(nullptr);
}
CSPAPI HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE) { return not_yet<HCERTSTORE>(nullptr); }
CSPAPI BOOL WINAPI CertCloseStore(HCERTSTORE, DWORD) { return fail(E_NOTIMPL); }
CSPAPI PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE, PCCERT_CONTEXT) {
  return not_yet<PCCERT_CONTEXT>(nullptr);
}
CSPAPI PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE, DWORD, DWORD, DWORD,
                                                        const void*, PCCERT_CONTEXT) {
  return not_yet<PCCERT_CONTEXT>(nullptr);
}
CSPAPI BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE, PCCERT_CONTEXT, DWORD,
                                                    PCCERT_CONTEXT*) {
  return fail(E_NOTIMPL);
}
CSPAPI BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE, DWORD, const BYTE*, DWORD, DWORD,
                                                    PCCERT_CONTEXT*) {
  return fail(E_NOTIMPL);
}
CSPAPI BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT) { return fail(E_NOTIMPL); }
CSPAPI PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD, const BYTE*, DWORD) {
  return not_yet<PCCERT_CONTEXT>(nullptr);
}
CSPAPI PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT) {
  return not_yet<PCCERT_CONTEXT>(nullptr);
}
CSPAPI BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT) { return fail(E_NOTIMPL); }
CSPAPI BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT, DWORD, void*, DWORD*) {
  return fail(E_NOTIMPL);
}
CSPAPI BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT, DWORD, DWORD, const void*) {
  return fail(E_NOTIMPL);
}
CSPAPI DWORD WINAPI CertEnumCertificateContextProperties(PCCERT_CONTEXT, DWORD) {
  return not_yet<DWORD>(0);
}
CSPAPI DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT, DWORD, DWORD, void*, LPSTR psz,
                                       DWORD cch) {
  if (psz && cch) *psz = 0;
  return not_yet<DWORD>(1);
}
CSPAPI PCCERT_CONTEXT WINAPI CertGetIssuerCertificateFromStore(HCERTSTORE, PCCERT_CONTEXT,
                                                               PCCERT_CONTEXT, DWORD*) {
  return not_yet<PCCERT_CONTEXT>(nullptr);
}
CSPAPI BOOL WINAPI CertGetCertificateChain(HCERTCHAINENGINE, PCCERT_CONTEXT, LPFILETIME,
                                           HCERTSTORE, PCERT_CHAIN_PARA, DWORD, LPVOID,
                                           PCCERT_CHAIN_CONTEXT* pp) {
  if (pp) *pp = nullptr;
  return fail(E_NOTIMPL);
}
CSPAPI void WINAPI CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT) {}
CSPAPI BOOL WINAPI CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT, DWORD, void*,
                                                     HCRYPTPROV_OR_NCRYPT_KEY_HANDLE*, DWORD*,
                                                     BOOL*) {
  return fail(E_NOTIMPL);
}
CSPAPI BOOL WINAPI CryptEncodeObject(DWORD, LPCSTR, const void*, BYTE*, DWORD*) {
  return fail(E_NOTIMPL);
}
CSPAPI HCERTSTORE WINAPI PFXImportCertStore(CRYPT_DATA_BLOB*, LPCWSTR, DWORD) {
  return not_yet<HCERTSTORE>(nullptr);
}
CSPAPI BOOL WINAPI PFXExportCertStore(HCERTSTORE, CRYPT_DATA_BLOB*, LPCWSTR, DWORD) {
  return fail(E_NOTIMPL);
}
CSPAPI BOOL WINAPI PFXVerifyPassword(CRYPT_DATA_BLOB*, LPCWSTR, DWORD) { return fail(E_NOTIMPL); }
CSPAPI BOOL WINAPI PFXIsPFXBlob(CRYPT_DATA_BLOB*) { return fail(E_NOTIMPL); }

}  // extern "C"
