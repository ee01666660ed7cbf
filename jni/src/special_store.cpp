// The store walk and the friendly-name function shared by the store and PFX
// natives.
//
// Ownership of a key entry's handles: the key handle and one reference on
// its provider context belong to the Java object from the moment the entry
// callback is called. When the platform handed the walk a context that the
// certificate owns (the key context property of a PFX import, or a context
// cached on a stored certificate), the walk takes a reference of its own for
// Java, so the handles stay valid after the store is closed, and reports
// fFreeProv 1: Java releases that reference when it is done with the key.
// Entries that cannot be delivered give back what the walk took.
#include <cstring>
#include <new>

#include "special.h"

namespace quill {

namespace {

constexpr jint kInternalError = 1359;  // ERROR_INTERNAL_ERROR
constexpr DWORD kAcquireFlags = CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_COMPARE_KEY_FLAG |
                                CRYPT_ACQUIRE_USE_PROV_INFO_FLAG;
constexpr DWORD kKeyParamUsageEnd = 109;  // end of the private key usage period, a FILETIME
constexpr char kUsagePeriodType[] = "{E36FC6F5-4880-4CB7-BA51-1FCD92CA1453}";
constexpr char kUsagePeriodSignature[] = "1.2.643.2.2.37.3.9";
constexpr char kUsagePeriodExchange[] = "1.2.643.2.2.37.3.10";
constexpr size_t kNameBuffer = 1024;

// What the certificate library encodes as a private key usage period.
struct QVCERT_PRIVATEKEY_USAGE_PERIOD {
  FILETIME* pNotBefore;
  FILETIME* pNotAfter;
};

// Clears a pending Java exception; true when there was one.
bool thrown(JNIEnv* env) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionClear();
  return true;
}

// The code of a JNI call that should have made a value: 574 after an
// exception (cleared), 8 for a null without one, 0 when it is there.
jint made(JNIEnv* env, const void* value) {
  if (thrown(env)) return kPendingException;
  return value ? 0 : kNotEnoughMemory;
}

struct Walk {
  JNIEnv* env;
  jobject self;
  HCERTSTORE store;
  bool pfx;
  jclass list_class = nullptr;
  jmethodID list_init = nullptr;
  jmethodID list_contains = nullptr;
  jmethodID generate_certificate = nullptr;
  jmethodID generate_certificates = nullptr;
  jmethodID generate_chain = nullptr;
  jmethodID generate_key_chain = nullptr;
  jobject delivered = nullptr;  // certificates delivered so far (PFX mode)
  // The key entries' extension class and constructor, looked up at the
  // first key entry of the walk (the class is a local reference of the walk).
  jclass extension_class = nullptr;
  jmethodID extension_init = nullptr;
  ~Walk() {
    if (extension_class) env->DeleteLocalRef(extension_class);
  }
};

// The private key found for one certificate.
struct FoundKey {
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL free_prov = FALSE;
  HCRYPTKEY key = 0;
  bool acquired = false;

  // Gives back what was taken when the entry is not handed to Java.
  void give_back() {
    if (key) CryptDestroyKey(key);
    if (prov && free_prov) CryptReleaseContext(prov, 0);
    *this = FoundKey();
  }
};

// The values of one entry that do not depend on the chain.
struct EntryText {
  char* alias = nullptr;
  char* container = nullptr;  // from the key provider information
  char* provider = nullptr;
  DWORD prov_type = 0;
  DWORD key_spec = 0;
  char source_container[kNameBuffer];
  char unique_container[kNameBuffer];
  bool has_source = false;
  bool has_unique = false;
  BYTE* extension = nullptr;
  DWORD extension_size = 0;
  const char* extension_oid = nullptr;
  ~EntryText() {
    delete[] alias;
    delete[] container;
    delete[] provider;
    delete[] extension;
  }
};

jint new_bytes(Walk& w, PCCERT_CONTEXT cert, LocalRef& out) {
  jbyteArray bytes = w.env->NewByteArray(static_cast<jsize>(cert->cbCertEncoded));
  if (jint rc = made(w.env, bytes)) return rc;
  out.reset(bytes);
  w.env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(cert->cbCertEncoded),
                            reinterpret_cast<const jbyte*>(cert->pbCertEncoded));
  return thrown(w.env) ? kPendingException : 0;
}

jint new_string(Walk& w, const char* text, LocalRef& out) {
  if (!text) return 0;
  jstring s = w.env->NewStringUTF(text);
  if (jint rc = made(w.env, s)) return rc;
  out.reset(s);
  return 0;
}

jint new_list(Walk& w, LocalRef& out) {
  jobject list = w.env->NewObject(w.list_class, w.list_init);
  if (jint rc = made(w.env, list)) return rc;
  out.reset(list);
  return 0;
}

// Hands one chain element to generateCertificates for the entry list and,
// in PFX mode, for the delivered-certificates list.
jint add_certificate(Walk& w, PCCERT_CONTEXT cert, jobject list) {
  LocalRef bytes(w.env);
  if (jint rc = new_bytes(w, cert, bytes)) return rc;
  w.env->CallVoidMethod(w.self, w.generate_certificates, bytes.get(), list);
  if (thrown(w.env)) return kPendingException;
  if (w.pfx) {
    w.env->CallVoidMethod(w.self, w.generate_certificates, bytes.get(), w.delivered);
    if (thrown(w.env)) return kPendingException;
  }
  return 0;
}

// PFX mode, keyless certificate: true when an earlier chain delivered it.
jint already_delivered(Walk& w, PCCERT_CONTEXT cert, bool& skip) {
  skip = false;
  LocalRef bytes(w.env);
  if (jint rc = new_bytes(w, cert, bytes)) return rc;
  LocalRef parsed(w.env);
  parsed.reset(w.env->CallObjectMethod(w.self, w.generate_certificate, bytes.get()));
  if (thrown(w.env)) return kPendingException;
  if (!parsed.get()) return 0;
  jboolean contained = w.env->CallBooleanMethod(w.delivered, w.list_contains, parsed.get());
  if (thrown(w.env)) return kPendingException;
  skip = contained != JNI_FALSE;
  return 0;
}

void find_key_in_store(PCCERT_CONTEXT cert, FoundKey& k) {
  if (!CryptAcquireCertificatePrivateKey(cert, kAcquireFlags, nullptr, &k.prov, &k.spec,
                                         &k.free_prov)) {
    k = FoundKey();
    return;
  }
  if (CryptGetUserKey(k.prov, k.spec, &k.key)) {
    k.acquired = true;
    return;
  }
  // A context acquired for this walk whose key cannot be opened is not
  // handed to anyone: release it here.
  k.key = 0;
  k.give_back();
}

void find_key_in_properties(PCCERT_CONTEXT cert, FoundKey& k) {
  CERT_KEY_CONTEXT context;
  std::memset(&context, 0, sizeof context);
  context.cbSize = sizeof context;
  DWORD size = sizeof context;
  if (CertGetCertificateContextProperty(cert, CERT_KEY_CONTEXT_PROP_ID, &context, &size)) {
    k.prov = context.hCryptProv;
    k.spec = context.dwKeySpec;
    if (CryptGetUserKey(k.prov, k.spec, &k.key)) {
      k.acquired = true;
      return;
    }
  }
  k = FoundKey();
  size = sizeof k.prov;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_HANDLE_PROP_ID, &k.prov, &size)) {
    k = FoundKey();
    return;
  }
  size = sizeof k.spec;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_SPEC_PROP_ID, &k.spec, &size) ||
      !CryptGetUserKey(k.prov, k.spec, &k.key)) {
    k = FoundKey();
    return;
  }
  k.acquired = true;
}

// A context the certificate owns would go with the store: take a reference
// that belongs to Java (see the top of this file).
void keep_for_java(FoundKey& k) {
  if (k.free_prov) return;
  if (CryptContextAddRef(k.prov, nullptr, 0)) k.free_prov = TRUE;
}

// The private key usage period extension of a PFX key entry; no extension
// when the key has no period end or an unknown key specification.
jint usage_period(const FoundKey& k, EntryText& t) {
  DWORD length = 0;
  if (!CryptGetKeyParam(k.key, kKeyParamUsageEnd, nullptr, &length, 0) || length != 8) return 0;
  FILETIME not_after;
  if (!CryptGetKeyParam(k.key, kKeyParamUsageEnd, reinterpret_cast<BYTE*>(&not_after), &length,
                        0)) {
    return 0;
  }
  if (not_after.dwLowDateTime == 0xFFFFFFFFu && not_after.dwHighDateTime == 0xFFFFFFFFu) return 0;
  const char* oid = k.spec == AT_KEYEXCHANGE ? kUsagePeriodExchange
                    : k.spec == AT_SIGNATURE ? kUsagePeriodSignature
                                             : nullptr;
  if (!oid) return 0;
  QVCERT_PRIVATEKEY_USAGE_PERIOD period = {nullptr, &not_after};
  DWORD size = 0;
  if (!CryptEncodeObject(X509_ASN_ENCODING, kUsagePeriodType, &period, nullptr, &size)) {
    return kInternalError;
  }
  t.extension = new (std::nothrow) BYTE[size ? size : 1];
  if (!t.extension) return kNotEnoughMemory;
  if (!CryptEncodeObject(X509_ASN_ENCODING, kUsagePeriodType, &period, t.extension, &size)) {
    return kInternalError;
  }
  t.extension_size = size;
  t.extension_oid = oid;
  return 0;
}

void container_names(const FoundKey& k, EntryText& t) {
  std::memset(t.source_container, 0, kNameBuffer);
  std::memset(t.unique_container, 0, kNameBuffer);
  DWORD n = kNameBuffer;
  t.has_source = CryptGetProvParam(k.prov, PP_CONTAINER, reinterpret_cast<BYTE*>(t.source_container),
                                   &n, 0) != FALSE;
  n = kNameBuffer;
  t.has_unique = CryptGetProvParam(k.prov, PP_UNIQUE_CONTAINER,
                                   reinterpret_cast<BYTE*>(t.unique_container), &n, 0) != FALSE;
  // The platform fills at most the buffer; keep the last byte a terminator.
  t.source_container[kNameBuffer - 1] = 0;
  t.unique_container[kNameBuffer - 1] = 0;
}

void provider_info(PCCERT_CONTEXT cert, EntryText& t) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) ||
      size < sizeof(CRYPT_KEY_PROV_INFO)) {
    return;
  }
  BYTE* buffer = new (std::nothrow) BYTE[size];
  if (!buffer) return;
  if (CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer, &size)) {
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer);
    t.container = wchar2multi(CP_UTF8, info->pwszContainerName);
    t.provider = wchar2multi(CP_UTF8, info->pwszProvName);
    t.prov_type = info->dwProvType;
    t.key_spec = info->dwKeySpec;
  }
  delete[] buffer;
}

// The alias of the current certificate; replaces an earlier one.
void take_alias(PCCERT_CONTEXT cert, EntryText& t) {
  delete[] t.alias;
  t.alias = nullptr;
  DWORD length = 0;
  GetFriendlyName(cert, &t.alias, &length);
}

jint deliver(Walk& w, FoundKey& k, EntryText& t, jobject list) {
  LocalRef container(w.env), source(w.env), unique(w.env), provider(w.env), alias(w.env);
  if (jint rc = new_string(w, t.container, container)) return rc;
  if (jint rc = new_string(w, t.has_source ? t.source_container : nullptr, source)) return rc;
  if (jint rc = new_string(w, t.has_unique ? t.unique_container : nullptr, unique)) return rc;
  if (jint rc = new_string(w, t.provider, provider)) return rc;
  if (jint rc = new_string(w, t.alias, alias)) return rc;
  jint prov_type = static_cast<jint>(t.prov_type);
  jint key_spec = static_cast<jint>(t.key_spec);
  if (!k.acquired) {
    w.env->CallVoidMethod(w.self, w.generate_chain, container.get(), source.get(), unique.get(),
                          provider.get(), alias.get(), prov_type, key_spec, list);
    return thrown(w.env) ? kPendingException : 0;
  }
  if (!w.extension_class) {
    w.extension_class = w.env->FindClass("ru/Kestrel/Quill/CStructReader/ContainerExtensionStructure");
    if (jint rc = made(w.env, w.extension_class)) return rc;
    w.extension_init = w.env->GetMethodID(w.extension_class, "<init>", "(ZLjava/lang/String;[B)V");
    if (jint rc = made(w.env, w.extension_init)) return rc == kNotEnoughMemory ? kPendingException : rc;
  }
  LocalRef extension(w.env);
  if (t.extension_oid) {
    LocalRef oid(w.env), value(w.env);
    if (jint rc = new_string(w, t.extension_oid, oid)) return rc;
    jbyteArray bytes = w.env->NewByteArray(static_cast<jsize>(t.extension_size));
    if (jint rc = made(w.env, bytes)) return rc;
    value.reset(bytes);
    w.env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(t.extension_size),
                              reinterpret_cast<const jbyte*>(t.extension));
    if (thrown(w.env)) return kPendingException;
    extension.reset(w.env->NewObject(w.extension_class, w.extension_init, JNI_FALSE,
                                     oid.get(), value.get()));
    if (jint rc = made(w.env, extension.get())) return rc;
  }
  FoundKey handed = k;
  k = FoundKey();  // Java owns the handles from here on
  w.env->CallVoidMethod(w.self, w.generate_key_chain, container.get(), source.get(), unique.get(),
                        provider.get(), alias.get(), prov_type, key_spec, from_handle(handed.prov),
                        from_handle(handed.key), static_cast<jint>(handed.spec),
                        static_cast<jint>(handed.free_prov ? 1 : 0), list, extension.get());
  return thrown(w.env) ? kPendingException : 0;
}

// One certificate of the store, from finding its key to its entry callback.
jint visit(Walk& w, PCCERT_CONTEXT cert) {
  FoundKey k;
  EntryText t;
  if (!w.pfx) {
    find_key_in_store(cert, k);
  } else {
    find_key_in_properties(cert, k);
    if (k.acquired) {
      if (jint rc = usage_period(k, t)) {
        k.give_back();  // the key only: the context is the certificate's
        return rc;
      }
    } else {
      bool skip = false;
      if (jint rc = already_delivered(w, cert, skip)) return rc;
      if (skip) return 0;
    }
  }
  if (k.acquired) {
    keep_for_java(k);
    container_names(k, t);
  }
  provider_info(cert, t);

  CERT_CHAIN_PARA para;
  std::memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  char any_usage[] = "2.5.29.37.0";
  LPSTR usages[] = {any_usage};
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  jint rc = 0;
  LocalRef list(w.env);
  if (CertGetCertificateChain(nullptr, cert, nullptr, w.store, &para,
                              CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain)) {
    if (chain->cChain == 0 || !chain->rgpChain[0]) {
      CertFreeCertificateChain(chain);
      k.give_back();
      return 0;
    }
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    rc = new_list(w, list);
    for (DWORD i = 0; rc == 0 && i < simple->cElement; ++i) {
      PCCERT_CONTEXT element = simple->rgpElement[i]->pCertContext;
      if (i == 0) take_alias(element, t);
      rc = add_certificate(w, element, list.get());
    }
    CertFreeCertificateChain(chain);
  } else {
    take_alias(cert, t);
    rc = new_list(w, list);
    if (rc == 0) rc = add_certificate(w, cert, list.get());
  }
  if (rc == 0) rc = deliver(w, k, t, list.get());
  k.give_back();  // empty once delivered
  return rc;
}

// Class and method identifiers of one walk. A missing one leaves
// NoSuchMethodError (or the like) pending: 574 after clearing it.
jint look_up(Walk& w) {
  JNIEnv* env = w.env;
  w.list_class = env->FindClass("java/util/ArrayList");
  if (thrown(env) || !w.list_class) return kPendingException;
  w.list_init = env->GetMethodID(w.list_class, "<init>", "()V");
  if (thrown(env) || !w.list_init) return kPendingException;
  w.list_contains = env->GetMethodID(w.list_class, "contains", "(Ljava/lang/Object;)Z");
  if (thrown(env) || !w.list_contains) return kPendingException;
  jclass own = env->GetObjectClass(w.self);
  if (thrown(env) || !own) return kPendingException;
  struct {
    jmethodID* id;
    const char* name;
    const char* signature;
  } methods[] = {
      {&w.generate_certificate, "generateCertificate", "([B)Ljava/security/cert/X509Certificate;"},
      {&w.generate_certificates, "generateCertificates", "([BLjava/util/Collection;)V"},
      {&w.generate_chain, "generateCertificateChain",
       "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;"
       "Ljava/lang/String;IILjava/util/Collection;)V"},
      {&w.generate_key_chain, "generateKeyAndCertificateChain",
       "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;"
       "Ljava/lang/String;IIJJIILjava/util/Collection;"
       "Lru/Kestrel/Quill/CStructReader/ContainerExtensionStructure;)V"},
  };
  jint rc = 0;
  for (auto& m : methods) {
    *m.id = env->GetMethodID(own, m.name, m.signature);
    if (thrown(env) || !*m.id) {
      rc = kPendingException;
      break;
    }
  }
  env->DeleteLocalRef(own);
  return rc;
}

}  // namespace

jint EnumKeysAndCertificates(JNIEnv* env, jobject self, HCERTSTORE store, BOOL pfx) {
  Walk w{env, self, store, pfx != FALSE};
  jint rc = look_up(w);
  LocalRef list_class(env);
  list_class.reset(w.list_class);
  if (rc) return rc;
  LocalRef delivered(env);
  if ((rc = new_list(w, delivered)) != 0) return rc;
  w.delivered = delivered.get();
  PCCERT_CONTEXT cert = nullptr;
  while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
    if ((rc = visit(w, cert)) != 0) {
      CertFreeCertificateContext(cert);
      return rc;
    }
  }
  return 0;
}

void GetFriendlyName(PCCERT_CONTEXT cert, char** text, DWORD* length) {
  DWORD n = CertGetNameStringA(cert, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  *length = n;
  if (n < 2) return;
  char* name = new (std::nothrow) char[n];
  if (!name) return;
  *text = name;
  CertGetNameStringA(cert, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name, n);
  name[n - 1] = 0;
  if (!*name) return;
  // The name is in the ANSI code page; Java wants UTF-8.
  wchar_t wide[kNameBuffer] = {};
  char utf8[kNameBuffer] = {};
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, static_cast<int>(kNameBuffer)) == 0) return;
  if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, static_cast<int>(kNameBuffer), nullptr,
                          nullptr) == 0 ||
      !*utf8) {
    return;
  }
  size_t size = std::strlen(utf8) + 1;
  char* copy = new (std::nothrow) char[size];
  if (!copy) return;
  std::memcpy(copy, utf8, size);
  delete[] name;
  *text = copy;
  *length = static_cast<DWORD>(size);
}

}  // namespace quill
