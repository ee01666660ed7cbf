/*
 * CryptoAPI 1.0 declarations for the Linux CSP libraries: algorithm
 * identifiers, blob layouts, parameter numbers, flags, NTE_* codes and the
 * functions libprovapi exports. Values are those of the documented CryptoAPI,
 * so code written against the Windows headers compiles and behaves the same.
 */
#ifndef CSP_WINCRYPT_H
#define CSP_WINCRYPT_H

#include "wintypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef unsigned int ALG_ID;

/* Algorithm classes, types and sub-identifiers. */
#define ALG_CLASS_ANY (0)
#define ALG_CLASS_SIGNATURE (1 << 13)
#define ALG_CLASS_MSG_ENCRYPT (2 << 13)
#define ALG_CLASS_DATA_ENCRYPT (3 << 13)
#define ALG_CLASS_HASH (4 << 13)
#define ALG_CLASS_KEY_EXCHANGE (5 << 13)
#define ALG_CLASS_ALL (7 << 13)
#define GET_ALG_CLASS(x) ((x) & (7 << 13))
#define GET_ALG_TYPE(x) ((x) & (15 << 9))
#define GET_ALG_SID(x) ((x) & (511))

#define ALG_TYPE_ANY (0)
#define ALG_TYPE_DSS (1 << 9)
#define ALG_TYPE_RSA (2 << 9)
#define ALG_TYPE_BLOCK (3 << 9)
#define ALG_TYPE_STREAM (4 << 9)
#define ALG_TYPE_DH (5 << 9)
#define ALG_TYPE_SECURECHANNEL (6 << 9)

#define CALG_MD4 0x00008002
#define CALG_MD5 0x00008003
#define CALG_SHA1 0x00008004
#define CALG_SHA 0x00008004
#define CALG_MAC 0x00008005
#define CALG_SSL3_SHAMD5 0x00008008
#define CALG_HMAC 0x00008009
#define CALG_SHA_256 0x0000800c
#define CALG_SHA_384 0x0000800d
#define CALG_SHA_512 0x0000800e
#define CALG_RSA_SIGN 0x00002400
#define CALG_DSS_SIGN 0x00002200
#define CALG_RSA_KEYX 0x0000a400
#define CALG_DH_SF 0x0000aa01
#define CALG_DH_EPHEM 0x0000aa02
#define CALG_ECDH_EPHEM 0x0000ae06
#define CALG_DES 0x00006601
#define CALG_3DES_112 0x00006609
#define CALG_3DES 0x00006603
#define CALG_RC2 0x00006602
#define CALG_RC4 0x00006801
#define CALG_AES_128 0x0000660e
#define CALG_AES_192 0x0000660f
#define CALG_AES_256 0x00006610
#define CALG_AES 0x00006611

/* Provider types and names. */
#define PROV_RSA_FULL 1
#define PROV_RSA_AES 24

/* CryptAcquireContext flags. */
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040
#define CRYPT_DEFAULT_CONTAINER_OPTIONAL 0x00000080

/* CryptGenKey / CryptDeriveKey / CryptImportKey flags. */
#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_USER_PROTECTED 0x00000002
#define CRYPT_CREATE_SALT 0x00000004
#define CRYPT_UPDATE_KEY 0x00000008
#define CRYPT_NO_SALT 0x00000010
#define CRYPT_PREGEN 0x00000040
#define CRYPT_ARCHIVABLE 0x00004000
#define CRYPT_OAEP 0x00000040
#define CRYPT_IPSEC_HMAC_KEY 0x00000100
#define CRYPT_DECRYPT_RSA_NO_PADDING_CHECK 0x00000020

/* Key specifications. */
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

/* Blob types and version. */
#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define PLAINTEXTKEYBLOB 0x8
#define OPAQUEKEYBLOB 0x9
#define PUBLICKEYBLOBEX 0xA
#define SYMMETRICWRAPKEYBLOB 0xB
#define CUR_BLOB_VERSION 2

/* Hash parameters. */
#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004
#define HP_HMAC_INFO 0x0005
#define HP_TLS1PRF_LABEL 0x0006
#define HP_TLS1PRF_SEED 0x0007

/* Key parameters. */
#define KP_IV 1
#define KP_SALT 2
#define KP_PADDING 3
#define KP_MODE 4
#define KP_MODE_BITS 5
#define KP_PERMISSIONS 6
#define KP_ALGID 7
#define KP_BLOCKLEN 8
#define KP_KEYLEN 9
#define KP_SALT_EX 10
#define KP_P 11
#define KP_G 12
#define KP_Q 13
#define KP_X 14
#define KP_Y 15
#define KP_RA 16
#define KP_RB 17
#define KP_INFO 18
#define KP_EFFECTIVE_KEYLEN 19
#define KP_SCHANNEL_ALG 20
#define KP_CERTIFICATE 26

#define PKCS5_PADDING 1
#define RANDOM_PADDING 2
#define ZERO_PADDING 3

#define CRYPT_MODE_CBC 1
#define CRYPT_MODE_ECB 2
#define CRYPT_MODE_OFB 3
#define CRYPT_MODE_CFB 4
#define CRYPT_MODE_CTS 5

#define CRYPT_ENCRYPT 0x0001
#define CRYPT_DECRYPT 0x0002
#define CRYPT_EXPORT 0x0004
#define CRYPT_READ 0x0008
#define CRYPT_WRITE 0x0010
#define CRYPT_MAC 0x0020
#define CRYPT_EXPORT_KEY 0x0040
#define CRYPT_IMPORT_KEY 0x0080
#define CRYPT_ARCHIVE 0x0100

/* Provider parameters. */
#define PP_ENUMALGS 1
#define PP_ENUMCONTAINERS 2
#define PP_IMPTYPE 3
#define PP_NAME 4
#define PP_VERSION 5
#define PP_CONTAINER 6
#define PP_CHANGE_PASSWORD 7
#define PP_KEYSET_SEC_DESCR 8
#define PP_CERTCHAIN 9
#define PP_KEY_TYPE_SUBTYPE 10
#define PP_PROVTYPE 16
#define PP_KEYSTORAGE 17
#define PP_SYM_KEYSIZE 19
#define PP_SESSION_KEYSIZE 20
#define PP_UI_PROMPT 21
#define PP_ENUMALGS_EX 22
#define PP_ENUMMANDROOTS 25
#define PP_ENUMELECTROOTS 26
#define PP_KEYSET_TYPE 27
#define PP_ADMIN_PIN 31
#define PP_KEYEXCHANGE_PIN 32
#define PP_SIGNATURE_PIN 33
#define PP_SIG_KEYSIZE_INC 34
#define PP_KEYX_KEYSIZE_INC 35
#define PP_UNIQUE_CONTAINER 36
#define PP_SGC_INFO 37
#define PP_USE_HARDWARE_RNG 38
#define PP_KEYSPEC 39
#define PP_ENUMEX_SIGNING_PROT 40
#define PP_KEYSTORAGE 17

#define CRYPT_FIRST 1
#define CRYPT_NEXT 2
#define CRYPT_SGC_ENUM 4

#define CRYPT_IMPL_HARDWARE 1
#define CRYPT_IMPL_SOFTWARE 2
#define CRYPT_IMPL_MIXED 3
#define CRYPT_IMPL_UNKNOWN 4

/* Hash and signature flags. */
#define CRYPT_NOHASHOID 0x00000001
#define CRYPT_TYPE2_FORMAT 0x00000002
#define CRYPT_X931_FORMAT 0x00000004
#define CRYPT_USERDATA 1
#define CRYPT_LITTLE_ENDIAN 0x00000001

/* NTE_* codes reported through the last error. */
#define NTE_BAD_UID ((LONG)0x80090001L)
#define NTE_BAD_HASH ((LONG)0x80090002L)
#define NTE_BAD_KEY ((LONG)0x80090003L)
#define NTE_BAD_LEN ((LONG)0x80090004L)
#define NTE_BAD_DATA ((LONG)0x80090005L)
#define NTE_BAD_SIGNATURE ((LONG)0x80090006L)
#define NTE_BAD_VER ((LONG)0x80090007L)
#define NTE_BAD_ALGID ((LONG)0x80090008L)
#define NTE_BAD_FLAGS ((LONG)0x80090009L)
#define NTE_BAD_TYPE ((LONG)0x8009000AL)
#define NTE_BAD_KEY_STATE ((LONG)0x8009000BL)
#define NTE_BAD_HASH_STATE ((LONG)0x8009000CL)
#define NTE_NO_KEY ((LONG)0x8009000DL)
#define NTE_NO_MEMORY ((LONG)0x8009000EL)
#define NTE_EXISTS ((LONG)0x8009000FL)
#define NTE_PERM ((LONG)0x80090010L)
#define NTE_NOT_FOUND ((LONG)0x80090011L)
#define NTE_DOUBLE_ENCRYPT ((LONG)0x80090012L)
#define NTE_BAD_PROVIDER ((LONG)0x80090013L)
#define NTE_BAD_PROV_TYPE ((LONG)0x80090014L)
#define NTE_BAD_PUBLIC_KEY ((LONG)0x80090015L)
#define NTE_BAD_KEYSET ((LONG)0x80090016L)
#define NTE_PROV_TYPE_NOT_DEF ((LONG)0x80090017L)
#define NTE_PROV_TYPE_ENTRY_BAD ((LONG)0x80090018L)
#define NTE_KEYSET_NOT_DEF ((LONG)0x80090019L)
#define NTE_KEYSET_ENTRY_BAD ((LONG)0x8009001AL)
#define NTE_PROV_TYPE_NO_MATCH ((LONG)0x8009001BL)
#define NTE_SIGNATURE_FILE_BAD ((LONG)0x8009001CL)
#define NTE_PROVIDER_DLL_FAIL ((LONG)0x8009001DL)
#define NTE_PROV_DLL_NOT_FOUND ((LONG)0x8009001EL)
#define NTE_BAD_KEYSET_PARAM ((LONG)0x8009001FL)
#define NTE_FAIL ((LONG)0x80090020L)
#define NTE_SYS_ERR ((LONG)0x80090021L)
#define NTE_SILENT_CONTEXT ((LONG)0x80090022L)
#define NTE_TOKEN_KEYSET_STORAGE_FULL ((LONG)0x80090023L)
#define NTE_TEMPORARY_PROFILE ((LONG)0x80090024L)
#define NTE_FIXEDPARAMETER ((LONG)0x80090025L)
#define NTE_INVALID_HANDLE ((LONG)0x80090026L)
#define NTE_INVALID_PARAMETER ((LONG)0x80090027L)
#define NTE_BUFFER_TOO_SMALL ((LONG)0x80090028L)
#define NTE_NOT_SUPPORTED ((LONG)0x80090029L)
#define NTE_NO_MORE_ITEMS ((LONG)0x8009002AL)
#define SCARD_W_WRONG_CHV ((LONG)0x8010006BL)
#define SCARD_W_CANCELLED_BY_USER ((LONG)0x8010006EL)

/* Blob layouts (little-endian, packed as on Windows). */
typedef struct _PUBLICKEYSTRUC {
  BYTE bType;
  BYTE bVersion;
  WORD reserved;
  ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

typedef struct _RSAPUBKEY {
  DWORD magic;
  DWORD bitlen;
  DWORD pubexp;
} RSAPUBKEY;

#define RSA1_MAGIC 0x31415352 /* "RSA1" */
#define RSA2_MAGIC 0x32415352 /* "RSA2" */

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB, CRYPT_INTEGER_BLOB,
    CRYPT_OBJID_BLOB, CERT_NAME_BLOB, CRYPT_DER_BLOB, *PCRYPT_DER_BLOB,
    CERT_BLOB, *PCERT_BLOB, CRYPT_ATTR_BLOB, *PCRYPT_ATTR_BLOB;

typedef struct _HMAC_Info {
  ALG_ID HashAlgid;
  BYTE* pbInnerString;
  DWORD cbInnerString;
  BYTE* pbOuterString;
  DWORD cbOuterString;
} HMAC_INFO, *PHMAC_INFO;

typedef struct _PROV_ENUMALGS {
  ALG_ID aiAlgid;
  DWORD dwBitLen;
  DWORD dwNameLen;
  CHAR szName[20];
} PROV_ENUMALGS;

/* PROV_ENUMALGS_EX dwProtocols. */
#define CRYPT_FLAG_PCT1 0x0001
#define CRYPT_FLAG_SSL2 0x0002
#define CRYPT_FLAG_SSL3 0x0004
#define CRYPT_FLAG_TLS1 0x0008
#define CRYPT_FLAG_IPSEC 0x0010
#define CRYPT_FLAG_SIGNING 0x0020

typedef struct _PROV_ENUMALGS_EX {
  ALG_ID aiAlgid;
  DWORD dwDefaultLen;
  DWORD dwMinLen;
  DWORD dwMaxLen;
  DWORD dwProtocols;
  DWORD dwNameLen;
  CHAR szName[20];
  DWORD dwLongNameLen;
  CHAR szLongName[40];
} PROV_ENUMALGS_EX;

typedef struct _CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

/* Provider parameters of this provider (see provparam.cpp). */
#define PP_CONTAINER_COMMENT 100   /* set and get: free-form container comment */
#define PP_SET_CERT_EXTENSION 132  /* set: CERT_EXTENSION* stored in the container */
#define PP_ENUM_CERT_EXTENSIONS 133 /* get: CONTAINER_EXTENSION records, CRYPT_FIRST restarts */
#define PP_VERSION_EX 138          /* get: PROV_PP_VERSION_EX */
/* set: DWORD 1 makes every key taken from the container (CryptGetUserKey,
 * CryptDuplicateKey) hold one reference on the context until destroyed;
 * get: DWORD 0 or 1. */
#define PP_CONTEXT_HELD_BY_KEYS 141

/* Returned by PP_VERSION_EX: five little-endian DWORDs. */
typedef struct _PROV_PP_VERSION_EX {
  DWORD dwBuild;        /* build number of the provider library */
  DWORD dwEngineBuild;  /* build number of the cryptographic engine (OpenSSL) */
  DWORD dwBuildType;    /* PROV_BUILD_RELEASE or PROV_BUILD_DEBUG */
  DWORD dwArchitecture; /* PROV_ARCH_* */
  DWORD dwOS;           /* PROV_OS_* */
} PROV_PP_VERSION_EX;

#define PROV_BUILD_RELEASE 0
#define PROV_BUILD_DEBUG 1
#define PROV_ARCH_X86 1
#define PROV_ARCH_X86_64 2
#define PROV_ARCH_OTHER 0xFF
#define PROV_OS_LINUX 1
#define PROV_OS_MACOS 2
#define PROV_OS_OTHER 0xFF

/* Header of a record returned by PP_ENUM_CERT_EXTENSIONS: bCritical and
 * cbExtension, then cbExtension bytes of the extension value, then the
 * extension's object identifier as a NUL-terminated string. */
typedef struct _CONTAINER_EXTENSION_HEADER {
  DWORD bCritical;
  DWORD cbExtension;
} CONTAINER_EXTENSION_HEADER;

/* PIN description for PP_KEYEXCHANGE_PIN / PP_SIGNATURE_PIN. */
#define CSP_PIN_PASSWORD 0 /* give, set or change the container password */
#define CSP_PIN_VERIFY 4   /* check the password and unlock, never change it */
#define CSP_PIN_REMOVE 5   /* remove the password protection */

typedef union _CRYPT_PIN_SOURCE {
  HCRYPTPROV prov;
  char* passwd;
  void* other;
} CRYPT_PIN_SOURCE;

typedef struct _CRYPT_PIN_PARAM {
  BYTE type;
  CRYPT_PIN_SOURCE dest;
} CRYPT_PIN_PARAM;

/* CryptoAPI 1.0 functions exported by libprovapi. */
CSPAPI BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                                        DWORD dwProvType, DWORD dwFlags);
CSPAPI BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
CSPAPI BOOL WINAPI CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags);
CSPAPI BOOL WINAPI CryptEnumProvidersA(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags,
                                       DWORD* pdwProvType, LPSTR szProvName, DWORD* pcbProvName);
CSPAPI BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                     DWORD* pdwDataLen, DWORD dwFlags);
CSPAPI BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                                     DWORD dwFlags);
CSPAPI BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);
CSPAPI BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
CSPAPI BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
CSPAPI BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);
CSPAPI BOOL WINAPI CryptDuplicateKey(HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags,
                                     HCRYPTKEY* phKey);
CSPAPI BOOL WINAPI CryptDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData,
                                  DWORD dwFlags, HCRYPTKEY* phKey);
CSPAPI BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                    DWORD dwFlags);
CSPAPI BOOL WINAPI CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                                    DWORD dwFlags);
CSPAPI BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType,
                                  DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen);
CSPAPI BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen,
                                  HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey);
CSPAPI BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                   HCRYPTHASH* phHash);
CSPAPI BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                                 DWORD dwFlags);
CSPAPI BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                     DWORD* pdwDataLen, DWORD dwFlags);
CSPAPI BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData,
                                     DWORD dwFlags);
CSPAPI BOOL WINAPI CryptDuplicateHash(HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags,
                                      HCRYPTHASH* phHash);
CSPAPI BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);
CSPAPI BOOL WINAPI CryptHashSessionKey(HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags);
CSPAPI BOOL WINAPI CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags,
                                BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen);
CSPAPI BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags,
                                BYTE* pbData, DWORD* pdwDataLen);
CSPAPI BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription,
                                  DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen);
CSPAPI BOOL WINAPI CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature,
                                         DWORD dwSigLen, HCRYPTKEY hPubKey,
                                         LPCSTR szDescription, DWORD dwFlags);

#ifdef __cplusplus
}
#endif

/* Certificates, stores, chains and PFX (libcertapi). */
#include "wincert.h"

#endif
