/*
 * CryptoAPI 2.0 declarations for libcertapi: certificate contexts, stores,
 * properties, chains, object encoding and PFX. Names, values and layouts are
 * those of the documented CryptoAPI, so code written against the Windows
 * headers compiles and behaves the same. Included by wincrypt.h.
 */
#ifndef CSP_WINCERT_H
#define CSP_WINCERT_H

#include "wincrypt.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* HCERTSTORE;
typedef void* HCERTCHAINENGINE;
typedef ULONG_PTR HCRYPTPROV_LEGACY;
typedef ULONG_PTR NCRYPT_KEY_HANDLE;
typedef ULONG_PTR HCRYPTPROV_OR_NCRYPT_KEY_HANDLE;

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID;
#endif

/* Encoding types. */
#define CRYPT_ASN_ENCODING 0x00000001
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
#define CERT_ENCODING_TYPE_MASK 0x0000FFFF
#define CMSG_ENCODING_TYPE_MASK 0xFFFF0000

/* ---- Certificate layout ------------------------------------------------- */

typedef struct _CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER, *PCRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO, *PCERT_PUBLIC_KEY_INFO;

#define CERT_V1 0
#define CERT_V2 1
#define CERT_V3 2

typedef struct _CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber; /* little-endian, as CryptoAPI keeps it */
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

/* ---- Key properties ----------------------------------------------------- */

typedef struct _CRYPT_KEY_PROV_PARAM {
  DWORD dwParam;
  BYTE* pbData;
  DWORD cbData;
  DWORD dwFlags;
} CRYPT_KEY_PROV_PARAM, *PCRYPT_KEY_PROV_PARAM;

typedef struct _CRYPT_KEY_PROV_INFO {
  LPWSTR pwszContainerName;
  LPWSTR pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags; /* CRYPT_MACHINE_KEYSET, CERT_SET_KEY_CONTEXT_PROP_ID, ... */
  DWORD cProvParam;
  PCRYPT_KEY_PROV_PARAM rgProvParam;
  DWORD dwKeySpec;
} CRYPT_KEY_PROV_INFO, *PCRYPT_KEY_PROV_INFO;

#define CERT_SET_KEY_PROV_HANDLE_PROP_ID 0x00000001
#define CERT_SET_KEY_CONTEXT_PROP_ID 0x00000001

typedef struct _CERT_KEY_CONTEXT {
  DWORD cbSize;
  union {
    HCRYPTPROV hCryptProv;
    NCRYPT_KEY_HANDLE hNCryptKey;
  };
  DWORD dwKeySpec;
} CERT_KEY_CONTEXT, *PCERT_KEY_CONTEXT;

#define CERT_NCRYPT_KEY_SPEC 0xFFFFFFFF

/* Property identifiers. */
#define CERT_KEY_PROV_HANDLE_PROP_ID 1
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_MD5_HASH_PROP_ID 4
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID
#define CERT_KEY_CONTEXT_PROP_ID 5
#define CERT_KEY_SPEC_PROP_ID 6
#define CERT_IE30_RESERVED_PROP_ID 7
#define CERT_PUBKEY_HASH_RESERVED_PROP_ID 8
#define CERT_ENHKEY_USAGE_PROP_ID 9
#define CERT_CTL_USAGE_PROP_ID CERT_ENHKEY_USAGE_PROP_ID
#define CERT_NEXT_UPDATE_LOCATION_PROP_ID 10
#define CERT_FRIENDLY_NAME_PROP_ID 11
#define CERT_PVK_FILE_PROP_ID 12
#define CERT_DESCRIPTION_PROP_ID 13
#define CERT_ACCESS_STATE_PROP_ID 14
#define CERT_SIGNATURE_HASH_PROP_ID 15
#define CERT_KEY_IDENTIFIER_PROP_ID 20
#define CERT_FIRST_USER_PROP_ID 0x00008000
#define CERT_LAST_USER_PROP_ID 0x0000FFFF

/* CertSetCertificateContextProperty flags. */
#define CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG 0x40000000
#define CERT_SET_PROPERTY_IGNORE_PERSIST_ERROR_FLAG 0x80000000
/* CERT_STORE_NO_CRYPT_RELEASE_FLAG (below) keeps a key context property from
 * releasing its provider context. */

/* CERT_ACCESS_STATE_PROP_ID bits. */
#define CERT_ACCESS_STATE_WRITE_PERSIST_FLAG 0x1
#define CERT_ACCESS_STATE_SYSTEM_STORE_FLAG 0x2
#define CERT_ACCESS_STATE_LM_SYSTEM_STORE_FLAG 0x4

/* ---- Stores ------------------------------------------------------------- */

#define CERT_STORE_PROV_MSG ((LPCSTR)1)
#define CERT_STORE_PROV_MEMORY ((LPCSTR)2)
#define CERT_STORE_PROV_FILE ((LPCSTR)3)
#define CERT_STORE_PROV_REG ((LPCSTR)4)
#define CERT_STORE_PROV_PKCS7 ((LPCSTR)5)
#define CERT_STORE_PROV_SERIALIZED ((LPCSTR)6)
#define CERT_STORE_PROV_FILENAME_A ((LPCSTR)7)
#define CERT_STORE_PROV_FILENAME_W ((LPCSTR)8)
#define CERT_STORE_PROV_FILENAME CERT_STORE_PROV_FILENAME_W
#define CERT_STORE_PROV_SYSTEM_A ((LPCSTR)9)
#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)
#define CERT_STORE_PROV_SYSTEM CERT_STORE_PROV_SYSTEM_W
#define CERT_STORE_PROV_COLLECTION ((LPCSTR)11)

#define sz_CERT_STORE_PROV_MEMORY "Memory"
#define sz_CERT_STORE_PROV_FILENAME_W "File"
#define sz_CERT_STORE_PROV_FILENAME sz_CERT_STORE_PROV_FILENAME_W
#define sz_CERT_STORE_PROV_SYSTEM_W "System"
#define sz_CERT_STORE_PROV_SYSTEM sz_CERT_STORE_PROV_SYSTEM_W
#define sz_CERT_STORE_PROV_PKCS7 "PKCS7"

/* CertOpenStore flags. */
#define CERT_STORE_NO_CRYPT_RELEASE_FLAG 0x00000001
#define CERT_STORE_SET_LOCALIZED_NAME_FLAG 0x00000002
#define CERT_STORE_DEFER_CLOSE_UNTIL_LAST_FREE_FLAG 0x00000004
#define CERT_STORE_DELETE_FLAG 0x00000010
#define CERT_STORE_UNSAFE_PHYSICAL_FLAG 0x00000020
#define CERT_STORE_SHARE_STORE_FLAG 0x00000040
#define CERT_STORE_SHARE_CONTEXT_FLAG 0x00000080
#define CERT_STORE_MANIFOLD_FLAG 0x00000100
#define CERT_STORE_ENUM_ARCHIVED_FLAG 0x00000200
#define CERT_STORE_UPDATE_KEYID_FLAG 0x00000400
#define CERT_STORE_BACKUP_RESTORE_FLAG 0x00000800
#define CERT_STORE_MAXIMUM_ALLOWED_FLAG 0x00001000
#define CERT_STORE_CREATE_NEW_FLAG 0x00002000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000
#define CERT_STORE_READONLY_FLAG 0x00008000

/* System store locations (high word of the CertOpenStore flags). */
#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000
#define CERT_SYSTEM_STORE_LOCATION_SHIFT 16
#define CERT_SYSTEM_STORE_CURRENT_USER_ID 1
#define CERT_SYSTEM_STORE_LOCAL_MACHINE_ID 2
#define CERT_SYSTEM_STORE_CURRENT_USER \
  (CERT_SYSTEM_STORE_CURRENT_USER_ID << CERT_SYSTEM_STORE_LOCATION_SHIFT)
#define CERT_SYSTEM_STORE_LOCAL_MACHINE \
  (CERT_SYSTEM_STORE_LOCAL_MACHINE_ID << CERT_SYSTEM_STORE_LOCATION_SHIFT)

/* CertCloseStore flags. */
#define CERT_CLOSE_STORE_FORCE_FLAG 0x00000001
#define CERT_CLOSE_STORE_CHECK_FLAG 0x00000002

/* Add dispositions. */
#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4
#define CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES 5
#define CERT_STORE_ADD_NEWER 6
#define CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES 7

/* ---- Find types --------------------------------------------------------- */

#define CERT_COMPARE_MASK 0xFFFF
#define CERT_COMPARE_SHIFT 16
#define CERT_COMPARE_ANY 0
#define CERT_COMPARE_SHA1_HASH 1
#define CERT_COMPARE_NAME 2
#define CERT_COMPARE_ATTR 3
#define CERT_COMPARE_MD5_HASH 4
#define CERT_COMPARE_PROPERTY 5
#define CERT_COMPARE_PUBLIC_KEY 6
#define CERT_COMPARE_HASH CERT_COMPARE_SHA1_HASH
#define CERT_COMPARE_NAME_STR_A 7
#define CERT_COMPARE_NAME_STR_W 8
#define CERT_COMPARE_KEY_SPEC 9
#define CERT_COMPARE_ENHKEY_USAGE 10
#define CERT_COMPARE_CTL_USAGE CERT_COMPARE_ENHKEY_USAGE
#define CERT_COMPARE_SUBJECT_CERT 11
#define CERT_COMPARE_ISSUER_OF 12
#define CERT_COMPARE_EXISTING 13
#define CERT_COMPARE_SIGNATURE_HASH 14
#define CERT_COMPARE_KEY_IDENTIFIER 15
#define CERT_COMPARE_CERT_ID 16

#define CERT_INFO_VERSION_FLAG 1
#define CERT_INFO_SERIAL_NUMBER_FLAG 2
#define CERT_INFO_SIGNATURE_ALGORITHM_FLAG 3
#define CERT_INFO_ISSUER_FLAG 4
#define CERT_INFO_NOT_BEFORE_FLAG 5
#define CERT_INFO_NOT_AFTER_FLAG 6
#define CERT_INFO_SUBJECT_FLAG 7
#define CERT_INFO_SUBJECT_PUBLIC_KEY_INFO_FLAG 8
#define CERT_INFO_ISSUER_UNIQUE_ID_FLAG 9
#define CERT_INFO_SUBJECT_UNIQUE_ID_FLAG 10
#define CERT_INFO_EXTENSION_FLAG 11

#define CERT_FIND_ANY (CERT_COMPARE_ANY << CERT_COMPARE_SHIFT)
#define CERT_FIND_SHA1_HASH (CERT_COMPARE_SHA1_HASH << CERT_COMPARE_SHIFT)
#define CERT_FIND_MD5_HASH (CERT_COMPARE_MD5_HASH << CERT_COMPARE_SHIFT)
#define CERT_FIND_HASH CERT_FIND_SHA1_HASH
#define CERT_FIND_PROPERTY (CERT_COMPARE_PROPERTY << CERT_COMPARE_SHIFT)
#define CERT_FIND_PUBLIC_KEY (CERT_COMPARE_PUBLIC_KEY << CERT_COMPARE_SHIFT)
#define CERT_FIND_SUBJECT_NAME \
  (CERT_COMPARE_NAME << CERT_COMPARE_SHIFT | CERT_INFO_SUBJECT_FLAG)
#define CERT_FIND_ISSUER_NAME (CERT_COMPARE_NAME << CERT_COMPARE_SHIFT | CERT_INFO_ISSUER_FLAG)
#define CERT_FIND_SUBJECT_STR_A \
  (CERT_COMPARE_NAME_STR_A << CERT_COMPARE_SHIFT | CERT_INFO_SUBJECT_FLAG)
#define CERT_FIND_SUBJECT_STR_W \
  (CERT_COMPARE_NAME_STR_W << CERT_COMPARE_SHIFT | CERT_INFO_SUBJECT_FLAG)
#define CERT_FIND_SUBJECT_STR CERT_FIND_SUBJECT_STR_W
#define CERT_FIND_ISSUER_STR_A \
  (CERT_COMPARE_NAME_STR_A << CERT_COMPARE_SHIFT | CERT_INFO_ISSUER_FLAG)
#define CERT_FIND_ISSUER_STR_W \
  (CERT_COMPARE_NAME_STR_W << CERT_COMPARE_SHIFT | CERT_INFO_ISSUER_FLAG)
#define CERT_FIND_ISSUER_STR CERT_FIND_ISSUER_STR_W
#define CERT_FIND_KEY_SPEC (CERT_COMPARE_KEY_SPEC << CERT_COMPARE_SHIFT)
#define CERT_FIND_ENHKEY_USAGE (CERT_COMPARE_ENHKEY_USAGE << CERT_COMPARE_SHIFT)
#define CERT_FIND_SUBJECT_CERT (CERT_COMPARE_SUBJECT_CERT << CERT_COMPARE_SHIFT)
#define CERT_FIND_ISSUER_OF (CERT_COMPARE_ISSUER_OF << CERT_COMPARE_SHIFT)
#define CERT_FIND_EXISTING (CERT_COMPARE_EXISTING << CERT_COMPARE_SHIFT)
#define CERT_FIND_SIGNATURE_HASH (CERT_COMPARE_SIGNATURE_HASH << CERT_COMPARE_SHIFT)
#define CERT_FIND_KEY_IDENTIFIER (CERT_COMPARE_KEY_IDENTIFIER << CERT_COMPARE_SHIFT)

/* CertGetIssuerCertificateFromStore verification flags. */
#define CERT_STORE_SIGNATURE_FLAG 0x00000001
#define CERT_STORE_TIME_VALIDITY_FLAG 0x00000002
#define CERT_STORE_REVOCATION_FLAG 0x00000004
#define CERT_STORE_NO_CRL_FLAG 0x00010000
#define CERT_STORE_NO_ISSUER_FLAG 0x00020000

/* ---- Names -------------------------------------------------------------- */

#define CERT_NAME_EMAIL_TYPE 1
#define CERT_NAME_RDN_TYPE 2
#define CERT_NAME_ATTR_TYPE 3
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5
#define CERT_NAME_DNS_TYPE 6
#define CERT_NAME_URL_TYPE 7
#define CERT_NAME_UPN_TYPE 8
#define CERT_NAME_ISSUER_FLAG 0x00000001
#define CERT_NAME_DISABLE_IE4_UTF8_FLAG 0x00010000

#define CERT_SIMPLE_NAME_STR 1
#define CERT_OID_NAME_STR 2
#define CERT_X500_NAME_STR 3

/* ---- Chains ------------------------------------------------------------- */

#define HCCE_CURRENT_USER ((HCERTCHAINENGINE)NULL)
#define HCCE_LOCAL_MACHINE ((HCERTCHAINENGINE)0x1)

typedef struct _CTL_USAGE {
  DWORD cUsageIdentifier;
  LPSTR* rgpszUsageIdentifier;
} CTL_USAGE, *PCTL_USAGE, CERT_ENHKEY_USAGE, *PCERT_ENHKEY_USAGE;

#define USAGE_MATCH_TYPE_AND 0x00000000
#define USAGE_MATCH_TYPE_OR 0x00000001

typedef struct _CERT_USAGE_MATCH {
  DWORD dwType;
  CERT_ENHKEY_USAGE Usage;
} CERT_USAGE_MATCH, *PCERT_USAGE_MATCH;

/* The fields after RequestedUsage came later; callers that define
 * CERT_CHAIN_PARA_HAS_EXTRA_FIELDS see them. CertGetCertificateChain takes
 * either size (any cbSize) and reads only the fields cbSize covers. */
struct _CERT_STRONG_SIGN_PARA;
typedef struct _CERT_CHAIN_PARA {
  DWORD cbSize;
  CERT_USAGE_MATCH RequestedUsage;
#ifdef CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
  CERT_USAGE_MATCH RequestedIssuancePolicy;
  DWORD dwUrlRetrievalTimeout;
  BOOL fCheckRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
  LPFILETIME pftCacheResync;
  const struct _CERT_STRONG_SIGN_PARA* pStrongSignPara;
  DWORD dwStrongSignFlags;
#endif
} CERT_CHAIN_PARA, *PCERT_CHAIN_PARA;

typedef struct _CERT_TRUST_STATUS {
  DWORD dwErrorStatus;
  DWORD dwInfoStatus;
} CERT_TRUST_STATUS, *PCERT_TRUST_STATUS;

#define CERT_TRUST_NO_ERROR 0x00000000
#define CERT_TRUST_IS_NOT_TIME_VALID 0x00000001
#define CERT_TRUST_IS_NOT_TIME_NESTED 0x00000002
#define CERT_TRUST_IS_REVOKED 0x00000004
#define CERT_TRUST_IS_NOT_SIGNATURE_VALID 0x00000008
#define CERT_TRUST_IS_NOT_VALID_FOR_USAGE 0x00000010
#define CERT_TRUST_IS_UNTRUSTED_ROOT 0x00000020
#define CERT_TRUST_REVOCATION_STATUS_UNKNOWN 0x00000040
#define CERT_TRUST_IS_CYCLIC 0x00000080
#define CERT_TRUST_INVALID_EXTENSION 0x00000100
#define CERT_TRUST_INVALID_BASIC_CONSTRAINTS 0x00000400
#define CERT_TRUST_IS_PARTIAL_CHAIN 0x00010000

#define CERT_TRUST_HAS_EXACT_MATCH_ISSUER 0x00000001
#define CERT_TRUST_HAS_KEY_MATCH_ISSUER 0x00000002
#define CERT_TRUST_HAS_NAME_MATCH_ISSUER 0x00000004
#define CERT_TRUST_IS_SELF_SIGNED 0x00000008
#define CERT_TRUST_HAS_PREFERRED_ISSUER 0x00000100
#define CERT_TRUST_IS_COMPLEX_CHAIN 0x00010000

struct _CERT_REVOCATION_INFO;
struct _CERT_TRUST_LIST_INFO;
typedef struct _CERT_REVOCATION_INFO* PCERT_REVOCATION_INFO;
typedef struct _CERT_TRUST_LIST_INFO* PCERT_TRUST_LIST_INFO;

typedef struct _CERT_CHAIN_ELEMENT {
  DWORD cbSize;
  PCCERT_CONTEXT pCertContext;
  CERT_TRUST_STATUS TrustStatus;
  PCERT_REVOCATION_INFO pRevocationInfo;
  PCERT_ENHKEY_USAGE pIssuanceUsage;
  PCERT_ENHKEY_USAGE pApplicationUsage;
  LPCWSTR pwszExtendedErrorInfo;
} CERT_CHAIN_ELEMENT, *PCERT_CHAIN_ELEMENT;
typedef const CERT_CHAIN_ELEMENT* PCCERT_CHAIN_ELEMENT;

typedef struct _CERT_SIMPLE_CHAIN {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cElement;
  PCERT_CHAIN_ELEMENT* rgpElement;
  PCERT_TRUST_LIST_INFO pTrustListInfo;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
} CERT_SIMPLE_CHAIN, *PCERT_SIMPLE_CHAIN;
typedef const CERT_SIMPLE_CHAIN* PCCERT_SIMPLE_CHAIN;

typedef struct _CERT_CHAIN_CONTEXT CERT_CHAIN_CONTEXT, *PCERT_CHAIN_CONTEXT;
typedef const CERT_CHAIN_CONTEXT* PCCERT_CHAIN_CONTEXT;
struct _CERT_CHAIN_CONTEXT {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cChain;
  PCERT_SIMPLE_CHAIN* rgpChain;
  DWORD cLowerQualityChainContext;
  PCCERT_CHAIN_CONTEXT* rgpLowerQualityChainContext;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
  DWORD dwCreateFlags;
  GUID ChainId;
};

/* CertGetCertificateChain flags. */
#define CERT_CHAIN_CACHE_END_CERT 0x00000001
#define CERT_CHAIN_THREAD_STORE_SYNC 0x00000002
#define CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL 0x00000004
#define CERT_CHAIN_USE_LOCAL_MACHINE_STORE 0x00000008
#define CERT_CHAIN_ENABLE_CACHE_AUTO_UPDATE 0x00000010
#define CERT_CHAIN_ENABLE_SHARE_STORE 0x00000020
#define CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE 0x00000100
#define CERT_CHAIN_REVOCATION_CHECK_END_CERT 0x10000000
#define CERT_CHAIN_REVOCATION_CHECK_CHAIN 0x20000000
#define CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT 0x40000000
#define CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY 0x80000000

/* ---- Private keys ------------------------------------------------------- */

/* CryptAcquireCertificatePrivateKey flags. */
#define CRYPT_ACQUIRE_CACHE_FLAG 0x00000001
#define CRYPT_ACQUIRE_USE_PROV_INFO_FLAG 0x00000002
#define CRYPT_ACQUIRE_COMPARE_KEY_FLAG 0x00000004
#define CRYPT_ACQUIRE_NO_HEALING 0x00000008
#define CRYPT_ACQUIRE_SILENT_FLAG 0x00000040
#define CRYPT_ACQUIRE_WINDOW_HANDLE_FLAG 0x00000080
#define CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG 0x00010000
#define CRYPT_ACQUIRE_PREFER_NCRYPT_KEY_FLAG 0x00020000
#define CRYPT_ACQUIRE_ONLY_NCRYPT_KEY_FLAG 0x00040000

/* Key set flags that PFX import understands besides CRYPT_EXPORTABLE,
 * CRYPT_USER_PROTECTED and CRYPT_MACHINE_KEYSET. */
#define CRYPT_USER_KEYSET 0x00001000
#define PKCS12_IMPORT_SILENT 0x00000040
#define PKCS12_INCLUDE_EXTENDED_PROPERTIES 0x00000010
#define PKCS12_PREFER_CNG_KSP 0x00000100
#define PKCS12_ALWAYS_CNG_KSP 0x00000200
#define PKCS12_ONLY_CERTIFICATES 0x00000400
#define PKCS12_ONLY_NOT_ENCRYPTED_CERTIFICATES 0x00000800
#define PKCS12_ALLOW_OVERWRITE_KEY 0x00004000
#define PKCS12_NO_PERSIST_KEY 0x00008000
#define PKCS12_VIRTUAL_ISOLATION_KEY 0x00010000
#define PKCS12_IMPORT_RESERVED_MASK 0xFFFF0000

/* PFXExportCertStore flags. */
#define REPORT_NO_PRIVATE_KEY 0x00000001
#define REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY 0x00000002
#define EXPORT_PRIVATE_KEYS 0x00000004
#define PKCS12_PROTECT_TO_DOMAIN_SIDS 0x00000020
#define PKCS12_EXPORT_SILENT 0x00000040
#define PKCS12_EXPORT_PBES2_PARAMS 0x00000080
#define PKCS12_DISABLE_ENCRYPT_CERTIFICATES 0x00000100
#define PKCS12_ENCRYPT_CERTIFICATES 0x00000200
#define PKCS12_EXPORT_ECC_CURVE_PARAMETERS 0x00001000
#define PKCS12_EXPORT_ECC_CURVE_OID 0x00002000
#define PKCS12_EXPORT_RESERVED_MASK 0xFFFF0000

/* ---- Object encoding ---------------------------------------------------- */

#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#define szOID_RSA_emailAddr "1.2.840.113549.1.9.1"
#define szOID_PRIVATEKEY_USAGE_PERIOD "2.5.29.16"
#define szOID_ENHANCED_KEY_USAGE "2.5.29.37"
#define szOID_ANY_ENHANCED_KEY_USAGE "2.5.29.37.0"

/* Object identifiers under which the provider's key entries carry the
 * private key usage period, by key specification. */
#define szOID_QV_PRIVATEKEY_USAGE_PERIOD_KEYX "1.2.643.2.2.37.3.10"
#define szOID_QV_PRIVATEKEY_USAGE_PERIOD_SIGN "1.2.643.2.2.37.3.9"

/* Structure type for CryptEncodeObject: a QVCERT_PRIVATEKEY_USAGE_PERIOD,
 * encoded as X.509's PrivateKeyUsagePeriod (SEQUENCE of [0] notBefore and
 * [1] notAfter, each a GeneralizedTime, both optional). */
#define X509_QV_PRIVATEKEY_USAGE_PERIOD "{E36FC6F5-4880-4CB7-BA51-1FCD92CA1453}"

typedef struct _QVCERT_PRIVATEKEY_USAGE_PERIOD {
  FILETIME* pNotBefore; /* null: absent */
  FILETIME* pNotAfter;  /* null: absent */
} QVCERT_PRIVATEKEY_USAGE_PERIOD, *PQVCERT_PRIVATEKEY_USAGE_PERIOD;

/* Key parameter of the provider: the end of the private key's usage period as
 * a FILETIME; both halves 0xFFFFFFFF when the key has none. */
#define KP_PRIVATEKEY_USAGE_PERIOD_END 109

/* ---- Error codes -------------------------------------------------------- */

#ifndef ERROR_INTERNAL_ERROR
#define ERROR_INTERNAL_ERROR 1359L
#endif
#define E_NOTIMPL ((LONG)0x80004001L)
#define E_INVALIDARG ((LONG)0x80070057L)
#define E_OUTOFMEMORY ((LONG)0x8007000EL)

#define CRYPT_E_MSG_ERROR ((LONG)0x80091001L)
#define CRYPT_E_UNKNOWN_ALGO ((LONG)0x80091002L)
#define CRYPT_E_OID_FORMAT ((LONG)0x80091003L)
#define CRYPT_E_INVALID_MSG_TYPE ((LONG)0x80091004L)
#define CRYPT_E_UNEXPECTED_ENCODING ((LONG)0x80091005L)
#define CRYPT_E_HASH_VALUE ((LONG)0x80091007L)
#define CRYPT_E_BAD_LEN ((LONG)0x80092001L)
#define CRYPT_E_BAD_ENCODE ((LONG)0x80092002L)
#define CRYPT_E_FILE_ERROR ((LONG)0x80092003L)
#define CRYPT_E_NOT_FOUND ((LONG)0x80092004L)
#define CRYPT_E_EXISTS ((LONG)0x80092005L)
#define CRYPT_E_NO_PROVIDER ((LONG)0x80092006L)
#define CRYPT_E_SELF_SIGNED ((LONG)0x80092007L)
#define CRYPT_E_DELETED_PREV ((LONG)0x80092008L)
#define CRYPT_E_NO_MATCH ((LONG)0x80092009L)
#define CRYPT_E_UNEXPECTED_MSG_TYPE ((LONG)0x8009200AL)
#define CRYPT_E_NO_KEY_PROPERTY ((LONG)0x8009200BL)
#define CRYPT_E_NO_DECRYPT_CERT ((LONG)0x8009200CL)
#define CRYPT_E_BAD_MSG ((LONG)0x8009200DL)
#define CRYPT_E_NO_SIGNER ((LONG)0x8009200EL)
#define CRYPT_E_PENDING_CLOSE ((LONG)0x8009200FL)
#define CRYPT_E_REVOKED ((LONG)0x80092010L)
#define CRYPT_E_NO_REVOCATION_CHECK ((LONG)0x80092012L)
#define CRYPT_E_REVOCATION_OFFLINE ((LONG)0x80092013L)
#define CRYPT_E_ASN1_ERROR ((LONG)0x80093100L)
#define CRYPT_E_ASN1_INTERNAL ((LONG)0x80093101L)
#define CRYPT_E_ASN1_EOD ((LONG)0x80093102L)
#define CRYPT_E_ASN1_CORRUPT ((LONG)0x80093103L)
#define CRYPT_E_ASN1_LARGE ((LONG)0x80093104L)
#define CRYPT_E_ASN1_MEMORY ((LONG)0x80093106L)
#define CRYPT_E_ASN1_BADTAG ((LONG)0x8009310BL)
#define CRYPT_E_ASN1_NOEOD ((LONG)0x80093202L)
#define TRUST_E_CERT_SIGNATURE ((LONG)0x80096004L)
#define CERT_E_EXPIRED ((LONG)0x800B0101L)
#define CERT_E_UNTRUSTEDROOT ((LONG)0x800B0109L)
#define CERT_E_CHAINING ((LONG)0x800B010AL)

/* ---- Functions exported by libcertapi ------------------------------------ */

CSPAPI HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                       HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags,
                                       const void* pvPara);
CSPAPI HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv,
                                              LPCSTR szSubsystemProtocol);
CSPAPI HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE hCertStore);
CSPAPI BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);

CSPAPI PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                         PCCERT_CONTEXT pPrevCertContext);
CSPAPI PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore,
                                                        DWORD dwCertEncodingType,
                                                        DWORD dwFindFlags, DWORD dwFindType,
                                                        const void* pvFindPara,
                                                        PCCERT_CONTEXT pPrevCertContext);
CSPAPI BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore,
                                                    PCCERT_CONTEXT pCertContext,
                                                    DWORD dwAddDisposition,
                                                    PCCERT_CONTEXT* ppStoreContext);
CSPAPI BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore,
                                                    DWORD dwCertEncodingType,
                                                    const BYTE* pbCertEncoded,
                                                    DWORD cbCertEncoded, DWORD dwAddDisposition,
                                                    PCCERT_CONTEXT* ppCertContext);
CSPAPI BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);

CSPAPI PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                          const BYTE* pbCertEncoded,
                                                          DWORD cbCertEncoded);
CSPAPI PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
CSPAPI BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

CSPAPI BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                     void* pvData, DWORD* pcbData);
CSPAPI BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                     DWORD dwFlags, const void* pvData);
CSPAPI DWORD WINAPI CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext,
                                                         DWORD dwPropId);

CSPAPI DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                       void* pvTypePara, LPSTR pszNameString, DWORD cchNameString);

CSPAPI PCCERT_CONTEXT WINAPI CertGetIssuerCertificateFromStore(HCERTSTORE hCertStore,
                                                               PCCERT_CONTEXT pSubjectContext,
                                                               PCCERT_CONTEXT pPrevIssuerContext,
                                                               DWORD* pdwFlags);
CSPAPI BOOL WINAPI CertGetCertificateChain(HCERTCHAINENGINE hChainEngine,
                                           PCCERT_CONTEXT pCertContext, LPFILETIME pTime,
                                           HCERTSTORE hAdditionalStore,
                                           PCERT_CHAIN_PARA pChainPara, DWORD dwFlags,
                                           LPVOID pvReserved,
                                           PCCERT_CHAIN_CONTEXT* ppChainContext);
CSPAPI void WINAPI CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);

CSPAPI BOOL WINAPI CryptAcquireCertificatePrivateKey(
    PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
    BOOL* pfCallerFreeProvOrNCryptKey);

CSPAPI BOOL WINAPI CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                     const void* pvStructInfo, BYTE* pbEncoded,
                                     DWORD* pcbEncoded);

CSPAPI HCERTSTORE WINAPI PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword,
                                            DWORD dwFlags);
CSPAPI BOOL WINAPI PFXExportCertStore(HCERTSTORE hStore, CRYPT_DATA_BLOB* pPFX,
                                      LPCWSTR szPassword, DWORD dwFlags);
CSPAPI BOOL WINAPI PFXVerifyPassword(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);
CSPAPI BOOL WINAPI PFXIsPFXBlob(CRYPT_DATA_BLOB* pPFX);

#ifdef __cplusplus
}
#endif

#endif
