// System and file certificate stores: walking one for the Java key store,
// storing a certificate with its alias and key binding, removing one.
#include <cstring>
#include <cwchar>
#include <vector>

#include "ru_Kestrel_Quill_KeyStore_MSStore.h"
#include "special.h"

using namespace quill;

namespace {

constexpr jint kStoreFailure = 1;  // a name or key algorithm the binding cannot use
constexpr DWORD kFileStoreEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kFileStoreFlags = CERT_STORE_READONLY_FLAG | CERT_STORE_SET_LOCALIZED_NAME_FLAG;

// The key specification a stored key is bound with, by its algorithm; 0 for
// an algorithm the binding does not know.
DWORD key_spec_of(ALG_ID alg) {
  switch (alg) {
    case 0x2200: case 0x2400: case 0x2E23: case 0x2E3D: case 0x2E49:
      return AT_SIGNATURE;
    case 0xA400: case 0xAA01: case 0xAA24: case 0xAA25: case 0xAA42: case 0xAA43: case 0xAA46:
    case 0xAA47:
      return AT_KEYEXCHANGE;
    default:
      return 0;
  }
}

// The certificate bytes a caller names: the first `length` bytes of the
// array. False when the length is negative or beyond the array.
bool copy_encoded(JNIEnv* env, jbyteArray encoded, jint length, std::vector<BYTE>& out) {
  if (!in_bounds(env, encoded, 0, length)) return false;
  out.assign(static_cast<size_t>(length), 0);
  if (length > 0) {
    env->GetByteArrayRegion(encoded, 0, length, reinterpret_cast<jbyte*>(out.data()));
  }
  return true;
}

// A text provider parameter (PP_CONTAINER, PP_NAME) as a wide string in
// `out`. The provider gives it in the system code page; a size beyond any
// name's is refused rather than allocated.
jint wide_prov_param(HCRYPTPROV prov, DWORD param, Frame& frame, const wchar_t*& out) {
  constexpr DWORD kMaxText = 65536;
  DWORD size = 0;
  if (!CryptGetProvParam(prov, param, nullptr, &size, 0)) return last_error_code();
  if (size > kMaxText) return kStoreFailure;
  std::vector<char> text(static_cast<size_t>(size) + 1, 0);
  if (!CryptGetProvParam(prov, param, reinterpret_cast<BYTE*>(text.data()), &size, 0)) {
    return last_error_code();
  }
  out = frame.keep(multi2wchar(CP_ACP, text.data()));
  // A text that does not convert, or an empty one, cannot bind the key; a
  // conversion that found no memory is reported as that.
  if (!out) return GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? kNotEnoughMemory : kStoreFailure;
  if (!*out) return kStoreFailure;
  return 0;
}

// Binds the certificate to the key in `prov`: key provider information and
// a key context property that holds one reference of its own on `prov`.
jint bind_key(PCCERT_CONTEXT cert, HCRYPTPROV prov, HCRYPTKEY key, DWORD flags, Frame& frame) {
  CRYPT_KEY_PROV_INFO info;
  std::memset(&info, 0, sizeof info);
  const wchar_t* container = nullptr;
  const wchar_t* provider = nullptr;
  if (jint rc = wide_prov_param(prov, PP_CONTAINER, frame, container)) return rc;
  if (jint rc = wide_prov_param(prov, PP_NAME, frame, provider)) return rc;
  info.pwszContainerName = const_cast<LPWSTR>(container);
  info.pwszProvName = const_cast<LPWSTR>(provider);
  DWORD size = sizeof info.dwProvType;
  if (!CryptGetProvParam(prov, PP_PROVTYPE, reinterpret_cast<BYTE*>(&info.dwProvType), &size, 0)) {
    return last_error_code();
  }
  info.dwFlags = flags;
  ALG_ID alg = 0;
  size = sizeof alg;
  if (!CryptGetKeyParam(key, KP_ALGID, reinterpret_cast<BYTE*>(&alg), &size, 0)) {
    return last_error_code();
  }
  info.dwKeySpec = key_spec_of(alg);
  if (!info.dwKeySpec) return kStoreFailure;
  if (!CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
    return last_error_code();
  }
  return attach_key_context(cert, prov, info.dwKeySpec);
}

// Adds a certificate to `store`, replacing an identical one, with its alias
// (when given) and its key binding (when both handles are given). The store
// is changed only by the last step.
jint store_certificate(HCERTSTORE store, const char* alias,
                       const std::vector<BYTE>& encoded, jlong jProv, jlong jKey, jint jFlags,
                       Frame& frame) {
  PCCERT_CONTEXT cert = CertCreateCertificateContext(
      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded.data(), static_cast<DWORD>(encoded.size()));
  if (!cert) return last_error_code();
  jint rc = 0;
  if (alias) {
    const wchar_t* wide = frame.keep(multi2wchar(CP_UTF8, alias));
    if (!wide) {
      rc = last_error_code();
    } else {
      CRYPT_DATA_BLOB name;
      name.cbData = static_cast<DWORD>((std::wcslen(wide) + 1) * sizeof(wchar_t));
      name.pbData = reinterpret_cast<BYTE*>(const_cast<wchar_t*>(wide));
      if (!CertSetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, 0, &name)) {
        rc = last_error_code();
      }
    }
  }
  if (rc == 0 && jProv != 0 && jKey != 0) {
    rc = bind_key(cert, to_handle<HCRYPTPROV>(jProv), to_handle<HCRYPTKEY>(jKey),
                  static_cast<DWORD>(jFlags), frame);
  }
  if (rc == 0 && !CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_REPLACE_EXISTING,
                                                   nullptr)) {
    rc = last_error_code();
  }
  CertFreeCertificateContext(cert);
  return rc;
}

// A store the native opened, closed when it returns (an exception included).
struct OpenStore {
  HCERTSTORE handle = nullptr;
  OpenStore() = default;
  OpenStore(const OpenStore&) = delete;
  OpenStore& operator=(const OpenStore&) = delete;
  ~OpenStore() {
    if (handle) CertCloseStore(handle, 0);
  }
};

// The common start of the natives that change a store: the texts, then the
// certificate bytes, refused with 87 before any platform call when the
// length does not fit the array.
jint take_arguments(JNIEnv* env, Frame& frame, jbyteArray encoded, jint length,
                    std::vector<BYTE>& bytes) {
  if (frame.exception_pending()) return kPendingException;
  if (!copy_encoded(env, encoded, length, bytes)) return kInvalidParameter;
  return frame.exception_pending() ? kPendingException : 0;
}

// The start of the natives on a named system store: the texts, the
// certificate bytes, then the store, which the caller closes.
jint open_named(JNIEnv* env, Frame& frame, jstring jCertStoreName, jstring jAlias,
                jbyteArray encoded, jint length, std::vector<BYTE>& bytes, const char*& alias,
                OpenStore& store) {
  if (!jCertStoreName) return kInvalidParameter;
  const char* name = frame.utf(jCertStoreName);
  alias = frame.utf(jAlias);
  if (jint rc = take_arguments(env, frame, encoded, length, bytes)) return rc;
  if (!name || (jAlias && !alias)) return kPendingException;
  store.handle = CertOpenSystemStoreA(0, name);
  return store.handle ? 0 : last_error_code();
}

}  // namespace

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_KeyStore_MSStore_readStore(JNIEnv* env, jobject self,
                                                                       jstring jCertStoreName,
                                                                       jboolean jFileStore) {
  return guarded(kNotEnoughMemory, [&]() -> jint {
    if (!jCertStoreName) return kStoreFailure;
    Frame frame(env);
    const char* name = frame.utf(jCertStoreName);
    if (frame.exception_pending() || !name) return kPendingException;
    OpenStore store;
    store.handle = low_byte(jFileStore) ? CertOpenStore(CERT_STORE_PROV_FILENAME_A, kFileStoreEncoding,
                                                        0, kFileStoreFlags, name)
                                        : CertOpenSystemStoreA(0, name);
    if (!store.handle) return last_error_code();
    return EnumKeysAndCertificates(env, self, store.handle, FALSE);
  });
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_KeyStore_MSStore_storeCertificate(
    JNIEnv* env, jobject, jstring jCertStoreName, jstring jAlias, jbyteArray jCertEncoded,
    jint jCertEncodedLength, jlong jProv, jlong jKey, jint jFlags) {
  return guarded(kNotEnoughMemory, [&]() -> jint {
    Frame frame(env);
    std::vector<BYTE> bytes;
    const char* alias = nullptr;
    OpenStore store;
    if (jint rc = open_named(env, frame, jCertStoreName, jAlias, jCertEncoded, jCertEncodedLength,
                             bytes, alias, store)) {
      return rc;
    }
    return store_certificate(store.handle, alias, bytes, jProv, jKey, jFlags, frame);
  });
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_KeyStore_MSStore_storeCertificateByHandle(
    JNIEnv* env, jobject, jlong jCertStore, jstring jAlias, jbyteArray jCertEncoded,
    jint jCertEncodedLength, jlong jProv, jlong jKey, jint jFlags) {
  return guarded(kNotEnoughMemory, [&]() -> jint {
    Frame frame(env);
    const char* alias = frame.utf(jAlias);
    std::vector<BYTE> bytes;
    if (jint rc = take_arguments(env, frame, jCertEncoded, jCertEncodedLength, bytes)) return rc;
    if (jAlias && !alias) return kPendingException;
    return store_certificate(to_handle<HCERTSTORE>(jCertStore), alias, bytes, jProv, jKey,
                             jFlags, frame);
  });
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_KeyStore_MSStore_removeCertificate(
    JNIEnv* env, jobject, jstring jCertStoreName, jstring jAlias, jbyteArray jCertEncoded,
    jint jCertEncodedLength) {
  return guarded(kNotEnoughMemory, [&]() -> jint {
    Frame frame(env);
    std::vector<BYTE> bytes;
    const char* alias = nullptr;
    OpenStore open;
    if (jint rc = open_named(env, frame, jCertStoreName, jAlias, jCertEncoded, jCertEncodedLength,
                             bytes, alias, open)) {
      return rc;
    }
    HCERTSTORE store = open.handle;
    jint rc = 0;
    PCCERT_CONTEXT wanted =
        CertCreateCertificateContext(X509_ASN_ENCODING, bytes.data(), static_cast<DWORD>(bytes.size()));
    if (!wanted) {
      rc = last_error_code();
    } else {
      PCCERT_CONTEXT found =
          CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
      if (found && alias) {
        char* stored_alias = nullptr;
        DWORD length = 0;
        GetFriendlyName(found, &stored_alias, &length);
        // Only the certificate that carries the alias the caller names goes.
        if (stored_alias && length >= 2 && std::strcmp(stored_alias, alias) == 0) {
          PCCERT_CONTEXT doomed = found;
          found = nullptr;  // the delete call takes the context, whatever its outcome
          if (!CertDeleteCertificateFromStore(doomed)) rc = last_error_code();
        }
        delete[] stored_alias;
      }
      if (found) CertFreeCertificateContext(found);
      CertFreeCertificateContext(wanted);
    }
    return rc;
  });
}
