/*
 * SSPI declarations for libsecprov: the security function table that
 * InitSecurityInterfaceA returns. Entries are in the standard order of
 * SecurityFunctionTableA; the ones libsecprov does not offer are null.
 */
#ifndef CSP_SSPI_H
#define CSP_SSPI_H

#include "wintypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef LONG SECURITY_STATUS;

typedef struct _SecHandle {
  ULONG_PTR dwLower;
  ULONG_PTR dwUpper;
} SecHandle, *PSecHandle, CredHandle, *PCredHandle, CtxtHandle, *PCtxtHandle;

#define SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION 1

typedef struct _SECURITY_FUNCTION_TABLE_A {
  unsigned long dwVersion;
  void* EnumerateSecurityPackagesA;
  void* QueryCredentialsAttributesA;
  void* AcquireCredentialsHandleA;
  void* FreeCredentialsHandle;
  void* Reserved2;
  void* InitializeSecurityContextA;
  void* AcceptSecurityContext;
  void* CompleteAuthToken;
  void* DeleteSecurityContext;
  void* ApplyControlToken;
  void* QueryContextAttributesA;
  void* ImpersonateSecurityContext;
  void* RevertSecurityContext;
  void* MakeSignature;
  void* VerifySignature;
  void* FreeContextBuffer;
  void* QuerySecurityPackageInfoA;
  void* Reserved3;
  void* Reserved4;
  void* ExportSecurityContext;
  void* ImportSecurityContextA;
  void* AddCredentialsA;
  void* Reserved8;
  void* QuerySecurityContextToken;
  void* EncryptMessage;
  void* DecryptMessage;
  void* SetContextAttributesA;
} SecurityFunctionTableA, *PSecurityFunctionTableA;

typedef PSecurityFunctionTableA(WINAPI* INIT_SECURITY_INTERFACE_A)(void);

CSPAPI PSecurityFunctionTableA WINAPI InitSecurityInterfaceA(void);

#ifdef __cplusplus
}
#endif

#endif
