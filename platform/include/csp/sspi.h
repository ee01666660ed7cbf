/*
 * SSPI declarations for libsecprov: handles, buffers, the security function
 * table that InitSecurityInterfaceA returns, status codes and the context
 * requirement flags. Names and layouts follow the Windows SDK: members
 * declared `unsigned long` there are `unsigned long` here too (64 bits on
 * x86_64, 32 bits on i686), members declared DWORD are 32 bits everywhere.
 */
#ifndef CSP_SSPI_H
#define CSP_SSPI_H

#include "wintypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SEC_ENTRY
typedef LONG SECURITY_STATUS;
typedef CHAR SEC_CHAR;

typedef struct _SecHandle {
  ULONG_PTR dwLower;
  ULONG_PTR dwUpper;
} SecHandle, *PSecHandle, CredHandle, *PCredHandle, CtxtHandle, *PCtxtHandle;

typedef struct _SECURITY_INTEGER {
  unsigned long LowPart;
  long HighPart;
} SECURITY_INTEGER, *PSECURITY_INTEGER, TimeStamp, *PTimeStamp;

typedef struct _SecBuffer {
  unsigned long cbBuffer;
  unsigned long BufferType;
  void* pvBuffer;
} SecBuffer, *PSecBuffer;

typedef struct _SecBufferDesc {
  unsigned long ulVersion;
  unsigned long cBuffers;
  PSecBuffer pBuffers;
} SecBufferDesc, *PSecBufferDesc;

#define SECBUFFER_VERSION 0
#define SECBUFFER_EMPTY 0
#define SECBUFFER_DATA 1
#define SECBUFFER_TOKEN 2
#define SECBUFFER_MISSING 4
#define SECBUFFER_EXTRA 5
#define SECBUFFER_STREAM_TRAILER 6
#define SECBUFFER_STREAM_HEADER 7
#define SECBUFFER_ALERT 17
#define SECBUFFER_APPLICATION_PROTOCOLS 18

#define SECURITY_NATIVE_DREP 0x00000010
#define SECPKG_CRED_INBOUND 0x00000001
#define SECPKG_CRED_OUTBOUND 0x00000002

/* Context requirements (ISC_REQ_*) and the attributes granted (ISC_RET_*). */
#define ISC_REQ_REPLAY_DETECT 0x00000004
#define ISC_REQ_SEQUENCE_DETECT 0x00000008
#define ISC_REQ_CONFIDENTIALITY 0x00000010
#define ISC_REQ_USE_SUPPLIED_CREDS 0x00000080
#define ISC_REQ_ALLOCATE_MEMORY 0x00000100
#define ISC_REQ_EXTENDED_ERROR 0x00004000
#define ISC_REQ_STREAM 0x00008000
#define ISC_REQ_MANUAL_CRED_VALIDATION 0x00080000
#define ISC_RET_REPLAY_DETECT 0x00000004
#define ISC_RET_SEQUENCE_DETECT 0x00000008
#define ISC_RET_CONFIDENTIALITY 0x00000010
#define ISC_RET_USED_SUPPLIED_CREDS 0x00000080
#define ISC_RET_ALLOCATED_MEMORY 0x00000100
#define ISC_RET_EXTENDED_ERROR 0x00004000
#define ISC_RET_STREAM 0x00008000

/* Context attributes for QueryContextAttributesA. */
#define SECPKG_ATTR_STREAM_SIZES 4
#define SECPKG_ATTR_REMOTE_CERT_CONTEXT 0x53
#define SECPKG_ATTR_ISSUER_LIST_EX 0x59
#define SECPKG_ATTR_CONNECTION_INFO 0x5a
#define SECPKG_ATTR_SESSION_INFO 0x5d
#define SECPKG_ATTR_CIPHER_INFO 0x64
#define SECPKG_ATTR_REMOTE_CERT_CHAIN 0x67

typedef struct _SecPkgContext_StreamSizes {
  unsigned long cbHeader;
  unsigned long cbTrailer;
  unsigned long cbMaximumMessage;
  unsigned long cBuffers;
  unsigned long cbBlockSize;
} SecPkgContext_StreamSizes, *PSecPkgContext_StreamSizes;

/* Status codes. */
#define SEC_E_OK ((SECURITY_STATUS)0x00000000L)
#define SEC_E_INSUFFICIENT_MEMORY ((SECURITY_STATUS)0x80090300L)
#define SEC_E_INVALID_HANDLE ((SECURITY_STATUS)0x80090301L)
#define SEC_E_UNSUPPORTED_FUNCTION ((SECURITY_STATUS)0x80090302L)
#define SEC_E_TARGET_UNKNOWN ((SECURITY_STATUS)0x80090303L)
#define SEC_E_INTERNAL_ERROR ((SECURITY_STATUS)0x80090304L)
#define SEC_E_SECPKG_NOT_FOUND ((SECURITY_STATUS)0x80090305L)
#define SEC_E_INVALID_TOKEN ((SECURITY_STATUS)0x80090308L)
#define SEC_E_UNKNOWN_CREDENTIALS ((SECURITY_STATUS)0x8009030DL)
#define SEC_E_NO_CREDENTIALS ((SECURITY_STATUS)0x8009030EL)
#define SEC_E_MESSAGE_ALTERED ((SECURITY_STATUS)0x8009030FL)
#define SEC_E_OUT_OF_SEQUENCE ((SECURITY_STATUS)0x80090310L)
#define SEC_E_CONTEXT_EXPIRED ((SECURITY_STATUS)0x80090317L)
#define SEC_E_INCOMPLETE_MESSAGE ((SECURITY_STATUS)0x80090318L)
#define SEC_E_BUFFER_TOO_SMALL ((SECURITY_STATUS)0x80090321L)
#define SEC_E_WRONG_PRINCIPAL ((SECURITY_STATUS)0x80090322L)
#define SEC_E_UNTRUSTED_ROOT ((SECURITY_STATUS)0x80090325L)
#define SEC_E_ILLEGAL_MESSAGE ((SECURITY_STATUS)0x80090326L)
#define SEC_E_CERT_UNKNOWN ((SECURITY_STATUS)0x80090327L)
#define SEC_E_CERT_EXPIRED ((SECURITY_STATUS)0x80090328L)
#define SEC_E_ENCRYPT_FAILURE ((SECURITY_STATUS)0x80090329L)
#define SEC_E_DECRYPT_FAILURE ((SECURITY_STATUS)0x80090330L)
#define SEC_E_ALGORITHM_MISMATCH ((SECURITY_STATUS)0x80090331L)
#define SEC_E_INVALID_PARAMETER ((SECURITY_STATUS)0x8009035DL)
#define SEC_I_CONTINUE_NEEDED ((SECURITY_STATUS)0x00090312L)
#define SEC_I_CONTEXT_EXPIRED ((SECURITY_STATUS)0x00090317L)
#define SEC_I_INCOMPLETE_CREDENTIALS ((SECURITY_STATUS)0x00090320L)
#define SEC_I_RENEGOTIATE ((SECURITY_STATUS)0x00090321L)

typedef void(SEC_ENTRY* SEC_GET_KEY_FN)(void* Arg, void* Principal, unsigned long KeyVer, void** Key,
                                        SECURITY_STATUS* Status);

typedef SECURITY_STATUS(SEC_ENTRY* ACQUIRE_CREDENTIALS_HANDLE_FN_A)(
    SEC_CHAR* pszPrincipal, SEC_CHAR* pszPackage, unsigned long fCredentialUse, void* pvLogonId,
    void* pAuthData, SEC_GET_KEY_FN pGetKeyFn, void* pvGetKeyArgument, PCredHandle phCredential,
    PTimeStamp ptsExpiry);
typedef SECURITY_STATUS(SEC_ENTRY* FREE_CREDENTIALS_HANDLE_FN)(PCredHandle phCredential);
typedef SECURITY_STATUS(SEC_ENTRY* INITIALIZE_SECURITY_CONTEXT_FN_A)(
    PCredHandle phCredential, PCtxtHandle phContext, SEC_CHAR* pszTargetName,
    unsigned long fContextReq, unsigned long Reserved1, unsigned long TargetDataRep,
    PSecBufferDesc pInput, unsigned long Reserved2, PCtxtHandle phNewContext,
    PSecBufferDesc pOutput, unsigned long* pfContextAttr, PTimeStamp ptsExpiry);
typedef SECURITY_STATUS(SEC_ENTRY* ACCEPT_SECURITY_CONTEXT_FN)(
    PCredHandle phCredential, PCtxtHandle phContext, PSecBufferDesc pInput,
    unsigned long fContextReq, unsigned long TargetDataRep, PCtxtHandle phNewContext,
    PSecBufferDesc pOutput, unsigned long* pfContextAttr, PTimeStamp ptsExpiry);
typedef SECURITY_STATUS(SEC_ENTRY* DELETE_SECURITY_CONTEXT_FN)(PCtxtHandle phContext);
typedef SECURITY_STATUS(SEC_ENTRY* APPLY_CONTROL_TOKEN_FN)(PCtxtHandle phContext,
                                                         PSecBufferDesc pInput);
typedef SECURITY_STATUS(SEC_ENTRY* QUERY_CONTEXT_ATTRIBUTES_FN_A)(PCtxtHandle phContext,
                                                                unsigned long ulAttribute,
                                                                void* pBuffer);
typedef SECURITY_STATUS(SEC_ENTRY* FREE_CONTEXT_BUFFER_FN)(void* pvContextBuffer);
typedef SECURITY_STATUS(SEC_ENTRY* ENCRYPT_MESSAGE_FN)(PCtxtHandle phContext, unsigned long fQOP,
                                                     PSecBufferDesc pMessage,
                                                     unsigned long MessageSeqNo);
typedef SECURITY_STATUS(SEC_ENTRY* DECRYPT_MESSAGE_FN)(PCtxtHandle phContext,
                                                     PSecBufferDesc pMessage,
                                                     unsigned long MessageSeqNo,
                                                     unsigned long* pfQOP);

#define SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION 1
#define SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION_2 2

/* The standard order of SecurityFunctionTableA, up to SetContextAttributesA
 * (version 2). The entries libsecprov offers carry their real types; the
 * others are kept as untyped pointers. */
typedef struct _SECURITY_FUNCTION_TABLE_A {
  unsigned long dwVersion;
  void* EnumerateSecurityPackagesA;
  void* QueryCredentialsAttributesA;
  ACQUIRE_CREDENTIALS_HANDLE_FN_A AcquireCredentialsHandleA;
  FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
  void* Reserved2;
  INITIALIZE_SECURITY_CONTEXT_FN_A InitializeSecurityContextA;
  ACCEPT_SECURITY_CONTEXT_FN AcceptSecurityContext;
  void* CompleteAuthToken;
  DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
  APPLY_CONTROL_TOKEN_FN ApplyControlToken;
  QUERY_CONTEXT_ATTRIBUTES_FN_A QueryContextAttributesA;
  void* ImpersonateSecurityContext;
  void* RevertSecurityContext;
  void* MakeSignature;
  void* VerifySignature;
  FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
  void* QuerySecurityPackageInfoA;
  void* Reserved3;
  void* Reserved4;
  void* ExportSecurityContext;
  void* ImportSecurityContextA;
  void* AddCredentialsA;
  void* Reserved8;
  void* QuerySecurityContextToken;
  ENCRYPT_MESSAGE_FN EncryptMessage;
  DECRYPT_MESSAGE_FN DecryptMessage;
  void* SetContextAttributesA;
} SecurityFunctionTableA, *PSecurityFunctionTableA;

typedef PSecurityFunctionTableA(SEC_ENTRY* INIT_SECURITY_INTERFACE_A)(void);

CSPAPI PSecurityFunctionTableA SEC_ENTRY InitSecurityInterfaceA(void);

#ifdef __cplusplus
}
#endif

#include "schannel.h"

#endif
