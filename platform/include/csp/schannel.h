/*
 * Schannel-compatible declarations for the package "Microsoft Unified
 * Security Protocol Provider" of libsecprov: the credential description, the
 * protocol bits and the structures of its context attributes. Names and
 * layouts follow the Windows SDK (DWORD members 32 bits everywhere).
 *
 * Supported-algorithm lists: an ALG_ID of the form 0x1E00 | n (n from 1
 * to 0xFF) names the cipher suite whose IANA number
 * ends in the byte n among the suites the package offers (see
 * schannel_suite_for_alg in libsecprov): 0x1E01 to 0x1E03 the TLS 1.3 suites
 * 0x1301 to 0x1303, 0x1E2B/0x1E2C/0x1E2F/0x1E30 the ECDHE GCM suites
 * 0xC02B/0xC02C/0xC02F/0xC030, 0x1EA8/0x1EA9 the ECDHE ChaCha20 suites
 * 0xCCA8/0xCCA9, 0x1E9E/0x1E9F the DHE GCM suites 0x009E/0x009F. A list
 * restricts the handshake to the suites it names; a list that names none of
 * them is refused with SEC_E_ALGORITHM_MISMATCH.
 *
 * The TLS 1.2 GOST suites (offered only when the GOST engine loads) are named
 * by the cipher ALG_ID of the GOST provider types instead: SCH_ALG_KUZNYECHIK
 * the suite 0xC100 (Kuznyechik CTR-OMAC), SCH_ALG_MAGMA 0xC101 (Magma
 * CTR-OMAC), SCH_ALG_GOST28147 0xC102 (28147-89 CNT-IMIT). An ALG_ID with
 * SCH_ALG_SUITE_BASE ORed in names the same suite, as the bridge passes it.
 */
#ifndef CSP_SCHANNEL_H
#define CSP_SCHANNEL_H

#include "wincrypt.h"
#include "wintypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#define UNISP_NAME_A "Microsoft Unified Security Protocol Provider"
#define SCHANNEL_CRED_VERSION 0x00000004
/* The control token of ApplyControlToken that asks for a close-notify. */
#define SCHANNEL_SHUTDOWN 1

/* Protocol bits of grbitEnabledProtocols and dwProtocol. */
#define SP_PROT_SSL2_SERVER 0x00000004
#define SP_PROT_SSL2_CLIENT 0x00000008
#define SP_PROT_SSL3_SERVER 0x00000010
#define SP_PROT_SSL3_CLIENT 0x00000020
#define SP_PROT_TLS1_0_SERVER 0x00000040
#define SP_PROT_TLS1_0_CLIENT 0x00000080
#define SP_PROT_TLS1_1_SERVER 0x00000100
#define SP_PROT_TLS1_1_CLIENT 0x00000200
#define SP_PROT_TLS1_2_SERVER 0x00000400
#define SP_PROT_TLS1_2_CLIENT 0x00000800
#define SP_PROT_TLS1_3_SERVER 0x00001000
#define SP_PROT_TLS1_3_CLIENT 0x00002000
#define SP_PROT_TLS1_2 (SP_PROT_TLS1_2_SERVER | SP_PROT_TLS1_2_CLIENT)
#define SP_PROT_TLS1_3 (SP_PROT_TLS1_3_SERVER | SP_PROT_TLS1_3_CLIENT)

/* dwFlags of SCHANNEL_CRED. */
#define SCH_CRED_NO_SYSTEM_MAPPER 0x00000002
#define SCH_CRED_NO_SERVERNAME_CHECK 0x00000004
#define SCH_CRED_MANUAL_CRED_VALIDATION 0x00000008
#define SCH_CRED_NO_DEFAULT_CREDS 0x00000010
#define SCH_CRED_AUTO_CRED_VALIDATION 0x00000020
#define SCH_CRED_USE_DEFAULT_CREDS 0x00000040

/* The ALG_ID space of supported-algorithm entries that name cipher suites. */
#define SCH_ALG_SUITE_BASE 0x1E00
#define SCH_ALG_SUITE_MASK 0xFE00
/* Cipher ALG_IDs of the GOST provider types that name the GOST suites. */
#define SCH_ALG_CLASS_MASK 0xE000
#define SCH_ALG_KUZNYECHIK 0x6631
#define SCH_ALG_MAGMA 0x6630
#define SCH_ALG_GOST28147 0x661E

typedef struct _SCHANNEL_CRED {
  DWORD dwVersion;
  DWORD cCreds;
  PCCERT_CONTEXT* paCred;
  HCERTSTORE hRootStore;
  DWORD cMappers;
  struct _HMAPPER** aphMappers;
  DWORD cSupportedAlgs;
  ALG_ID* palgSupportedAlgs;
  DWORD grbitEnabledProtocols;
  DWORD dwMinimumCipherStrength;
  DWORD dwMaximumCipherStrength;
  DWORD dwSessionLifespan;
  DWORD dwFlags;
  DWORD dwCredFormat;
} SCHANNEL_CRED, *PSCHANNEL_CRED;

#define SZ_ALG_MAX_SIZE 64
#define SECPKGCONTEXT_CIPHERINFO_V1 1

typedef struct _SecPkgContext_CipherInfo {
  DWORD dwVersion;
  DWORD dwProtocol;
  DWORD dwCipherSuite;
  DWORD dwBaseCipherSuite;
  WCHAR szCipherSuite[SZ_ALG_MAX_SIZE];
  WCHAR szCipher[SZ_ALG_MAX_SIZE];
  DWORD dwCipherLen;
  DWORD dwCipherBlockLen;
  WCHAR szHash[SZ_ALG_MAX_SIZE];
  DWORD dwHashLen;
  WCHAR szExchange[SZ_ALG_MAX_SIZE];
  DWORD dwMinExchangeLen;
  DWORD dwMaxExchangeLen;
  WCHAR szCertificate[SZ_ALG_MAX_SIZE];
  DWORD dwKeyType;
} SecPkgContext_CipherInfo, *PSecPkgContext_CipherInfo;

#define SSL_SESSION_RECONNECT 1

typedef struct _SecPkgContext_SessionInfo {
  DWORD dwFlags;
  DWORD cbSessionId;
  BYTE rgbSessionId[32];
} SecPkgContext_SessionInfo, *PSecPkgContext_SessionInfo;

typedef struct _SecPkgContext_IssuerListInfoEx {
  CERT_NAME_BLOB* aIssuers;
  DWORD cIssuers;
} SecPkgContext_IssuerListInfoEx, *PSecPkgContext_IssuerListInfoEx;

typedef struct _SecPkgContext_ConnectionInfo {
  DWORD dwProtocol;
  ALG_ID aiCipher;
  DWORD dwCipherStrength;
  ALG_ID aiHash;
  DWORD dwHashStrength;
  ALG_ID aiExch;
  DWORD dwExchStrength;
} SecPkgContext_ConnectionInfo, *PSecPkgContext_ConnectionInfo;

/* The application-protocols input buffer (SECBUFFER_APPLICATION_PROTOCOLS). */
typedef enum _SEC_APPLICATION_PROTOCOL_NEGOTIATION_EXT {
  SecApplicationProtocolNegotiationExt_None,
  SecApplicationProtocolNegotiationExt_NPN,
  SecApplicationProtocolNegotiationExt_ALPN
} SEC_APPLICATION_PROTOCOL_NEGOTIATION_EXT;

typedef struct _SEC_APPLICATION_PROTOCOL_LIST {
  SEC_APPLICATION_PROTOCOL_NEGOTIATION_EXT ProtoNegoExt;
  unsigned short ProtocolListSize;
  unsigned char ProtocolList[1];
} SEC_APPLICATION_PROTOCOL_LIST;

typedef struct _SEC_APPLICATION_PROTOCOLS {
  unsigned long ProtocolListsSize;
  SEC_APPLICATION_PROTOCOL_LIST ProtocolLists[1];
} SEC_APPLICATION_PROTOCOLS;

#ifdef __cplusplus
}
#endif

#endif
