// Library load and unload, the binding of the SSPI provider library, and the
// ten SSPI natives (credentials, handshake, records, session queries).
//
// The library-wide state below is written only by JNI_OnLoad and
// JNI_OnUnload, which the VM runs before the first native call and after the
// last; natives only read it.
#include "CSPSspi.h"

#include <cstring>
#include <vector>

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"
#include "special.h"

namespace {

JavaVM* lGlobalJvm = nullptr;
#ifdef _WIN32
HMODULE g_security_library = nullptr;
#else
void* g_security_library = nullptr;
#endif
PSecurityFunctionTableA g_security_table = nullptr;

#ifndef _WIN32
// Where the CSP installs its TLS library; the dynamic loader's search path
// is tried after these.
const char* const kSecurityLibraryPaths[] = {
#if defined(__APPLE__)
    "/opt/vantor/lib/libsecprov.dylib",
    "libsecprov.dylib",
#elif defined(__x86_64__)
    "/opt/vantor/lib/amd64/libsecprov.so",
    "libsecprov.so",
#else
    "/opt/vantor/lib/ia32/libsecprov.so",
    "libsecprov.so",
#endif
};
#endif

}  // namespace

namespace quill {

bool LoadSecurityLibrary() {
#ifdef _WIN32
  g_security_library = LoadLibraryA("Security.dll");
  if (!g_security_library) return false;
  auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(
      reinterpret_cast<void*>(GetProcAddress(g_security_library, "InitSecurityInterfaceA")));
#else
  for (const char* path : kSecurityLibraryPaths) {
    g_security_library = dlopen(path, RTLD_LAZY);
    if (g_security_library) break;
  }
  if (!g_security_library) return false;
  auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(
      dlsym(g_security_library, "InitSecurityInterfaceA"));
#endif
  if (!init) return false;
  g_security_table = init();
  return g_security_table != nullptr;
}

void UnloadSecurityLibrary() {
#ifdef _WIN32
  if (g_security_library) FreeLibrary(g_security_library);
  g_security_library = nullptr;
#endif
  // Elsewhere the library stays mapped and the table stays valid.
}

PSecurityFunctionTableA SecurityTable() { return g_security_table; }

}  // namespace quill

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  lGlobalJvm = vm;
  quill::LoadSecurityLibrary();
  return JNI_VERSION_1_6;
}

extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) { quill::UnloadSecurityLibrary(); }

// The SSPI natives. They return SSPI statuses (or Java objects with the
// status in jResult, sign-extended) and make no pending-exception check;
// instead they never make a JNI call that could raise one: arrays and
// offsets are checked before they are read or written, and the one JNI call
// that can still fail (a new array) comes last. Borrowed elements are given
// back with JNI_ABORT, since results reach Java through region copies.
namespace {

using namespace quill;

constexpr SECURITY_STATUS kNoLibrary = SEC_E_INTERNAL_ERROR;
constexpr int kMaxSupportedAlgs = 50;
constexpr size_t kWorkingBuffer = 32896;
constexpr DWORD kCipherAlgBase = 0x1E00;
// What getSessionInfo puts in dwFlags before the query; the package answers
// in the same field (SSL_SESSION_RECONNECT).
constexpr DWORD kSessionInfoFlagsIn = 0x1000;
// A chain longer than this is cut short (a store with a loop of issuers).
constexpr int kMaxChain = 64;

// Elements of a Java array, borrowed for one call.
template <class Array, class Elem, Elem* (JNIEnv::*Get)(Array, jboolean*),
          void (JNIEnv::*Release)(Array, Elem*, jint)>
class Elements {
 public:
  Elements(JNIEnv* env, Array array) : env_(env), array_(array), elems_(array ? (env->*Get)(array, nullptr) : nullptr) {}
  ~Elements() { release(); }
  Elements(const Elements&) = delete;
  Elements& operator=(const Elements&) = delete;
  Elem* get() const { return elems_; }
  void release() {
    if (elems_) (env_->*Release)(array_, elems_, JNI_ABORT);
    elems_ = nullptr;
  }

 private:
  JNIEnv* env_;
  Array array_;
  Elem* elems_;
};

using IntElements =
    Elements<jintArray, jint, &JNIEnv::GetIntArrayElements, &JNIEnv::ReleaseIntArrayElements>;

class ByteElements
    : public Elements<jbyteArray, jbyte, &JNIEnv::GetByteArrayElements, &JNIEnv::ReleaseByteArrayElements> {
 public:
  using Elements::Elements;
  BYTE* get() const { return reinterpret_cast<BYTE*>(Elements::get()); }
};

class Utf {
 public:
  Utf(JNIEnv* env, jstring text)
      : env_(env), text_(text), chars_(text ? env->GetStringUTFChars(text, nullptr) : nullptr) {}
  ~Utf() {
    if (chars_) env_->ReleaseStringUTFChars(text_, chars_);
  }
  Utf(const Utf&) = delete;
  Utf& operator=(const Utf&) = delete;
  const char* get() const { return chars_; }

 private:
  JNIEnv* env_;
  jstring text_;
  const char* chars_;
};

// Handle pairs: element 0 holds dwUpper, element 1 dwLower.
bool has_pair(JNIEnv* env, jlongArray pair) { return in_bounds(env, pair, 0, 2); }

SecHandle read_pair(JNIEnv* env, jlongArray pair) {
  jlong v[2] = {0, 0};
  env->GetLongArrayRegion(pair, 0, 2, v);
  SecHandle h;
  h.dwUpper = to_handle<ULONG_PTR>(v[0]);
  h.dwLower = to_handle<ULONG_PTR>(v[1]);
  return h;
}

void write_pair(JNIEnv* env, jlongArray pair, const SecHandle& h) {
  jlong v[2] = {from_handle(h.dwUpper), from_handle(h.dwLower)};
  env->SetLongArrayRegion(pair, 0, 2, v);
}

bool is_set(const SecHandle& h) { return h.dwLower != 0 || h.dwUpper != 0; }

void write_status(JNIEnv* env, jlongArray jResult, SECURITY_STATUS status) {
  write_long0(env, jResult, static_cast<jlong>(static_cast<int32_t>(status)));
}

jint read_int(JNIEnv* env, jintArray array) {
  DWORD v = 0;
  read_int0(env, array, v);
  return static_cast<jint>(v);
}

jbyteArray new_bytes(JNIEnv* env, const void* data, size_t n) {
  jbyteArray a = env->NewByteArray(static_cast<jsize>(n));
  if (a && n) env->SetByteArrayRegion(a, 0, static_cast<jsize>(n), static_cast<const jbyte*>(data));
  return a;
}

// Gives a credential or context pair back to the package (when it is not
// the empty pair); the package's status is not reported.
template <class Release>
jint release_pair(JNIEnv* env, jlongArray pair, Release SecurityFunctionTableA::*entry) {
  PSecurityFunctionTableA table = SecurityTable();
  if (!table || !has_pair(env, pair)) return 0;
  SecHandle handle = read_pair(env, pair);
  if (is_set(handle)) (table->*entry)(&handle);
  return 0;
}

// The function table for a native that reports through jResult, once the
// checks every such native makes first have passed; otherwise null, with the
// status in jResult when it has an element to hold it.
PSecurityFunctionTableA table_for(JNIEnv* env, jlongArray jResult, jlongArray jContext) {
  if (!has_element0(env, jResult)) return nullptr;
  PSecurityFunctionTableA table = SecurityTable();
  if (!table) return write_status(env, jResult, kNoLibrary), nullptr;
  if (!has_pair(env, jContext)) return write_status(env, jResult, SEC_E_INVALID_HANDLE), nullptr;
  return table;
}

// The boundary of the natives that report through jResult: a C++
// exception becomes SEC_E_INSUFFICIENT_MEMORY there and a null result.
template <class F>
auto guarded_status(JNIEnv* env, jlongArray jResult, F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    if (has_element0(env, jResult)) write_status(env, jResult, SEC_E_INSUFFICIENT_MEMORY);
    return nullptr;
  }
}

// True when [p, p + n) lies inside [base, base + size).
bool inside(const void* p, unsigned long n, const BYTE* base, size_t size) {
  auto* b = static_cast<const BYTE*>(p);
  return b >= base && b <= base + size && n <= size_t(base + size - b);
}

}  // namespace

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_acquireCredentialsHandle(
    JNIEnv* env, jclass, jboolean jclient, jint maxProtocol, jintArray jciphersArr, jint jciphersLen,
    jbyteArray jencodedCert, jint jcertLen, jlong jhProv, jint jkeySpec, jlongArray jCred,
    jboolean jisAutoCred) {
  return guarded(static_cast<jint>(SEC_E_INSUFFICIENT_MEMORY), [&]() -> jint {
    PSecurityFunctionTableA table = SecurityTable();
    if (!table) return kNoLibrary;
    if (!has_pair(env, jCred)) return kInvalidParameter;
    if (jencodedCert && !in_bounds(env, jencodedCert, 0, jcertLen)) return kInvalidParameter;
    if (jciphersArr && !in_bounds(env, jciphersArr, 0, jciphersLen)) return kInvalidParameter;

    SCHANNEL_CRED cred;
    std::memset(&cred, 0, sizeof cred);
    ALG_ID rgbSupportedAlgs[kMaxSupportedAlgs];
    DWORD algs = 0;
    if (jciphersArr) {
      IntElements ciphers(env, jciphersArr);
      if (!ciphers.get()) return kNotEnoughMemory;
      for (jint i = 0; i < jciphersLen; ++i) {
        if (ciphers.get()[i] == 0) continue;
        // More entries than the list holds would silently widen the
        // caller's restriction; refuse them.
        if (algs == kMaxSupportedAlgs) return kInvalidParameter;
        rgbSupportedAlgs[algs++] = static_cast<ALG_ID>(ciphers.get()[i]) | kCipherAlgBase;
      }
    }

    PCCERT_CONTEXT cert = nullptr;
    if (jencodedCert) {
      HCRYPTPROV prov = to_handle<HCRYPTPROV>(jhProv);
      {
        ByteElements encoded(env, jencodedCert);
        if (!encoded.get()) return kNotEnoughMemory;
        cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded.get(),
                                            static_cast<DWORD>(jcertLen));
      }
      if (!cert) return static_cast<jint>(GetLastError());
      // The key context property owns the extra reference: it is given back
      // when the last copy of the certificate context goes (the package keeps
      // one for as long as the credential lives).
      if (!CryptContextAddRef(prov, nullptr, 0)) {
        DWORD err = GetLastError();
        CertFreeCertificateContext(cert);
        return static_cast<jint>(err);
      }
      CERT_KEY_CONTEXT key;
      std::memset(&key, 0, sizeof key);
      key.cbSize = sizeof key;
      key.hCryptProv = prov;
      key.dwKeySpec = static_cast<DWORD>(jkeySpec);
      if (!CertSetCertificateContextProperty(cert, CERT_KEY_CONTEXT_PROP_ID, 0, &key)) {
        DWORD err = GetLastError();
        CryptReleaseContext(prov, 0);
        CertFreeCertificateContext(cert);
        return static_cast<jint>(err);
      }
      cred.cCreds = 1;
      cred.paCred = &cert;
    }
    if (algs) {
      cred.cSupportedAlgs = algs;
      cred.palgSupportedAlgs = rgbSupportedAlgs;
    }
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = static_cast<DWORD>(maxProtocol);
    unsigned long use;
    if (low_byte(jclient)) {
      use = SECPKG_CRED_OUTBOUND;
      cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS |
                     (low_byte(jisAutoCred) ? SCH_CRED_AUTO_CRED_VALIDATION : SCH_CRED_MANUAL_CRED_VALIDATION);
    } else {
      use = SECPKG_CRED_INBOUND;
      cred.dwFlags = SCH_CRED_NO_SYSTEM_MAPPER;
    }
    char package[] = UNISP_NAME_A;
    CredHandle handle;
    std::memset(&handle, 0, sizeof handle);
    SECURITY_STATUS status = table->AcquireCredentialsHandleA(nullptr, package, use, nullptr, &cred,
                                                              nullptr, nullptr, &handle, nullptr);
    if (status == SEC_E_OK) write_pair(env, jCred, handle);
    if (cert) CertFreeCertificateContext(cert);
    return status;
  });
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_freeCredentialsHandle(JNIEnv* env, jclass,
                                                                               jlongArray jCred) {
  return guarded(static_cast<jint>(SEC_E_INSUFFICIENT_MEMORY), [&]() -> jint {
    return release_pair(env, jCred, &SecurityFunctionTableA::FreeCredentialsHandle);
  });
}

JNIEXPORT jbyteArray JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_initializeSecurityContext(
    JNIEnv* env, jclass, jlongArray jCred, jlongArray jContext, jstring jServName,
    jboolean isDisconnect, jboolean isUseCreds, jbyteArray jInBuf, jintArray jInLen,
    jlongArray jResult) {
  return guarded_status(env, jResult, [&]() -> jbyteArray {
    PSecurityFunctionTableA table = table_for(env, jResult, jContext);
    if (!table) return nullptr;
    if (!has_pair(env, jCred)) return write_status(env, jResult, SEC_E_INVALID_HANDLE), nullptr;
    if (!has_element0(env, jInLen)) return write_status(env, jResult, SEC_E_INVALID_PARAMETER), nullptr;
    jint inLen = read_int(env, jInLen);
    bool disconnect = low_byte(isDisconnect);
    // Without an array there is no input to settle, whatever jInLen says.
    if (jInBuf && !in_bounds(env, jInBuf, 0, inLen))
      return write_status(env, jResult, SEC_E_INVALID_PARAMETER), nullptr;

    CredHandle cred = read_pair(env, jCred);
    CtxtHandle context = read_pair(env, jContext);
    bool has_context = is_set(context);
    ByteElements input(env, jInBuf);
    if (jInBuf && !input.get()) return write_status(env, jResult, SEC_E_INSUFFICIENT_MEMORY), nullptr;
    Utf target(env, jServName);
    if (jServName && !target.get()) return write_status(env, jResult, SEC_E_INSUFFICIENT_MEMORY), nullptr;

    unsigned long req = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                        ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;
    if (low_byte(isUseCreds)) req |= ISC_REQ_USE_SUPPLIED_CREDS;

    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, out};
    SecBuffer in[2];
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 0, in};
    PSecBufferDesc pInput = nullptr;
    if (!disconnect && input.get()) {
      in[0] = {static_cast<unsigned long>(inLen), SECBUFFER_TOKEN, input.get()};
      in[1] = {0, SECBUFFER_EMPTY, nullptr};
      inDesc.cBuffers = 2;
      pInput = &inDesc;
    } else if (!has_context) {
      in[0] = {0, SECBUFFER_APPLICATION_PROTOCOLS, nullptr};
      inDesc.cBuffers = 1;
      pInput = &inDesc;
    }

    CtxtHandle created;
    std::memset(&created, 0, sizeof created);
    unsigned long attrs = 0;
    TimeStamp expiry;
    SECURITY_STATUS status = table->InitializeSecurityContextA(
        &cred, has_context ? &context : nullptr, const_cast<SEC_CHAR*>(target.get()), req, 0,
        SECURITY_NATIVE_DREP, pInput, 0, has_context ? nullptr : &created, &outDesc, &attrs, &expiry);
    if (out[1].pvBuffer) table->FreeContextBuffer(out[1].pvBuffer);

    if (!has_context) write_pair(env, jContext, created);
    write_status(env, jResult, status);
    if (!disconnect && input.get() && inLen != 0) {
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= static_cast<unsigned long>(inLen)) {
        jint extra = static_cast<jint>(in[1].cbBuffer);
        std::memmove(input.get(), input.get() + (inLen - extra), static_cast<size_t>(extra));
        env->SetByteArrayRegion(jInBuf, 0, extra, reinterpret_cast<const jbyte*>(input.get()));
        inLen = extra;
      } else if (status >= 0 && status != SEC_I_INCOMPLETE_CREDENTIALS) {
        // All consumed; after SEC_I_INCOMPLETE_CREDENTIALS the caller passes
        // the same input again with its answer, so it stays.
        inLen = 0;
      }
      write_int0(env, jInLen, static_cast<DWORD>(inLen));
    }
    input.release();

    jbyteArray token = nullptr;
    if (out[0].pvBuffer && out[0].cbBuffer) token = new_bytes(env, out[0].pvBuffer, out[0].cbBuffer);
    if (out[0].pvBuffer) table->FreeContextBuffer(out[0].pvBuffer);
    return token;
  });
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_deleteSecurityContext(JNIEnv* env, jclass,
                                                                               jlongArray jContext) {
  return guarded(static_cast<jint>(SEC_E_INSUFFICIENT_MEMORY), [&]() -> jint {
    return release_pair(env, jContext, &SecurityFunctionTableA::DeleteSecurityContext);
  });
}

JNIEXPORT jbyteArray JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_encryptMessage(
    JNIEnv* env, jclass, jlongArray jContext, jbyteArray jInBuf, jintArray jInOff, jintArray jInLen,
    jlongArray jResult) {
  return guarded_status(env, jResult, [&]() -> jbyteArray {
    PSecurityFunctionTableA table = table_for(env, jResult, jContext);
    if (!table) return nullptr;
    if (!has_element0(env, jInOff) || !has_element0(env, jInLen))
      return write_status(env, jResult, SEC_E_INVALID_PARAMETER), nullptr;
    CtxtHandle context = read_pair(env, jContext);
    jint inLen = read_int(env, jInLen);
    jint inOff = read_int(env, jInOff);
    // A null array holds nothing; offsets and lengths stay inside the array.
    if (!in_bounds(env, jInBuf, inOff, inLen))
      return write_status(env, jResult, SEC_E_INVALID_PARAMETER), nullptr;

    SecPkgContext_StreamSizes sizes;
    std::memset(&sizes, 0, sizeof sizes);
    SECURITY_STATUS status = table->QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
    if (status != SEC_E_OK) return write_status(env, jResult, status), nullptr;
    // A record that does not fit the working buffer cannot be built: that is
    // a failure, not a success without a record.
    if (uint64_t(sizes.cbHeader) + sizes.cbMaximumMessage + sizes.cbTrailer > kWorkingBuffer)
      return write_status(env, jResult, SEC_E_BUFFER_TOO_SMALL), nullptr;

    BYTE work[kWorkingBuffer];
    jint n = static_cast<jint>(inLen) < static_cast<jint>(sizes.cbMaximumMessage)
                 ? inLen
                 : static_cast<jint>(sizes.cbMaximumMessage);
    if (n > 0) env->GetByteArrayRegion(jInBuf, inOff, n, reinterpret_cast<jbyte*>(work + sizes.cbHeader));
    SecBuffer buffers[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, work},
        {static_cast<unsigned long>(n), SECBUFFER_DATA, work + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, work + sizes.cbHeader + n},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    status = table->EncryptMessage(&context, 0, &desc, 0);
    if (status == SEC_E_OK && buffers[2].cbBuffer > sizes.cbTrailer) status = SEC_E_INTERNAL_ERROR;
    write_status(env, jResult, status);
    if (status != SEC_E_OK) {
      write_int0(env, jInLen, 0);
      return nullptr;
    }
    write_int0(env, jInLen, static_cast<DWORD>(inLen - n));
    write_int0(env, jInOff, static_cast<DWORD>(inOff + n));
    return new_bytes(env, work, sizes.cbHeader + static_cast<size_t>(n) + buffers[2].cbBuffer);
  });
}

JNIEXPORT jbyteArray JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_decryptMessage(JNIEnv* env, jclass,
                                                                             jlongArray jContext,
                                                                             jbyteArray jInBuf,
                                                                             jintArray jInLen,
                                                                             jlongArray jResult) {
  return guarded_status(env, jResult, [&]() -> jbyteArray {
    PSecurityFunctionTableA table = table_for(env, jResult, jContext);
    if (!table) return nullptr;
    if (!has_element0(env, jInLen)) return write_status(env, jResult, SEC_E_INVALID_PARAMETER), nullptr;
    CtxtHandle context = read_pair(env, jContext);
    jint inLen = read_int(env, jInLen);
    if (!jInBuf || !in_bounds(env, jInBuf, 0, inLen))
      return write_status(env, jResult, SEC_E_INVALID_PARAMETER), nullptr;
    ByteElements input(env, jInBuf);
    if (!input.get()) return write_status(env, jResult, SEC_E_INSUFFICIENT_MEMORY), nullptr;
    BYTE* base = input.get();
    size_t size = static_cast<size_t>(inLen);

    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(inLen), SECBUFFER_DATA, base},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = table->DecryptMessage(&context, &desc, 0, nullptr);
    if (status == SEC_I_CONTEXT_EXPIRED || status == SEC_E_CONTEXT_EXPIRED) {
      write_int0(env, jInLen, 0);
      return nullptr;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE)
      return write_status(env, jResult, status), nullptr;

    // The plaintext is taken out before the rest is moved over it; a record
    // larger than the working buffer gets a buffer of its own.
    BYTE work[kWorkingBuffer];
    std::vector<BYTE> large;
    BYTE* plain = work;
    size_t d = 0, e = 0;
    for (int i = 1; i < 4 && (d == 0 || e == 0); ++i) {
      const SecBuffer& b = buffers[i];
      if (d == 0 && b.BufferType == SECBUFFER_DATA) {
        if (b.cbBuffer && !inside(b.pvBuffer, b.cbBuffer, base, size))
          return write_status(env, jResult, SEC_E_INTERNAL_ERROR), nullptr;
        d = b.cbBuffer;
        if (d > sizeof work) {
          large.resize(d);
          plain = large.data();
        }
        if (d) std::memcpy(plain, b.pvBuffer, d);
      } else if (e == 0 && b.BufferType == SECBUFFER_EXTRA) {
        if (!inside(b.pvBuffer, b.cbBuffer, base, size))
          return write_status(env, jResult, SEC_E_INTERNAL_ERROR), nullptr;
        e = b.cbBuffer;
        std::memmove(base, b.pvBuffer, e);
      }
    }
    write_int0(env, jInLen, static_cast<DWORD>(e));
    if (e) env->SetByteArrayRegion(jInBuf, 0, static_cast<jsize>(e), reinterpret_cast<const jbyte*>(base));
    input.release();
    write_status(env, jResult, status);
    return d ? new_bytes(env, plain, d) : nullptr;
  });
}

JNIEXPORT jobjectArray JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_getRemoteCertificates(
    JNIEnv* env, jclass, jlongArray jContext, jlongArray jResult) {
  return guarded_status(env, jResult, [&]() -> jobjectArray {
    PSecurityFunctionTableA table = table_for(env, jResult, jContext);
    if (!table) return nullptr;
    CtxtHandle context = read_pair(env, jContext);
    PCCERT_CONTEXT peer = nullptr;
    SECURITY_STATUS status = table->QueryContextAttributesA(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer);
    if (status != SEC_E_OK) {
      status = table->QueryContextAttributesA(&context, SECPKG_ATTR_REMOTE_CERT_CHAIN, &peer);
      if (status != SEC_E_OK && peer) {
        CertFreeCertificateContext(peer);
        peer = nullptr;
      }
    }
    write_status(env, jResult, status);
    if (!peer) return nullptr;

    // The peer's certificate, then each issuer found in the store it came in.
    jbyteArray list[kMaxChain];
    int count = 0;
    bool failed = false;
    PCCERT_CONTEXT current = peer;
    while (current) {
      jbyteArray der = new_bytes(env, current->pbCertEncoded, current->cbCertEncoded);
      if (!der) failed = true;
      else list[count++] = der;
      PCCERT_CONTEXT issuer = nullptr;
      if (!failed && count < kMaxChain) {
        DWORD flags = 0;
        issuer = CertGetIssuerCertificateFromStore(peer->hCertStore, current, nullptr, &flags);
      }
      if (current != peer) CertFreeCertificateContext(current);
      current = issuer;
    }
    CertFreeCertificateContext(peer);

    jclass bytesClass = failed ? nullptr : env->FindClass("[B");
    jobjectArray result = bytesClass ? env->NewObjectArray(count, bytesClass, nullptr) : nullptr;
    for (int i = 0; i < count; ++i) {
      if (result) env->SetObjectArrayElement(result, i, list[i]);
      env->DeleteLocalRef(list[i]);
    }
    return result;
  });
}

JNIEXPORT jobjectArray JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_getIssuers(JNIEnv* env, jclass,
                                                                           jlongArray jContext,
                                                                           jlongArray jResult) {
  return guarded_status(env, jResult, [&]() -> jobjectArray {
    PSecurityFunctionTableA table = table_for(env, jResult, jContext);
    if (!table) return nullptr;
    CtxtHandle context = read_pair(env, jContext);
    SecPkgContext_IssuerListInfoEx issuers;
    std::memset(&issuers, 0, sizeof issuers);
    SECURITY_STATUS status = table->QueryContextAttributesA(&context, SECPKG_ATTR_ISSUER_LIST_EX, &issuers);
    write_status(env, jResult, status);
    jobjectArray result = nullptr;
    if (status == SEC_E_OK) {
      jclass bytesClass = env->FindClass("[B");
      result = bytesClass ? env->NewObjectArray(static_cast<jsize>(issuers.cIssuers), bytesClass, nullptr)
                          : nullptr;
      for (DWORD i = 0; result && i < issuers.cIssuers; ++i) {
        jbyteArray name = new_bytes(env, issuers.aIssuers[i].pbData, issuers.aIssuers[i].cbData);
        if (!name) {
          result = nullptr;
          break;
        }
        env->SetObjectArrayElement(result, static_cast<jsize>(i), name);
        env->DeleteLocalRef(name);
      }
    }
    if (issuers.aIssuers) table->FreeContextBuffer(issuers.aIssuers);
    return result;
  });
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_getCipherInfo(JNIEnv* env, jclass,
                                                                       jlongArray jContext,
                                                                       jintArray jProtocol,
                                                                       jintArray jCipherSuite) {
  return guarded(static_cast<jint>(SEC_E_INSUFFICIENT_MEMORY), [&]() -> jint {
    PSecurityFunctionTableA table = SecurityTable();
    if (!table) return kNoLibrary;
    if (!has_pair(env, jContext)) return SEC_E_INVALID_HANDLE;
    if (!has_element0(env, jProtocol) || !has_element0(env, jCipherSuite)) return SEC_E_INVALID_PARAMETER;
    CtxtHandle context = read_pair(env, jContext);
    SecPkgContext_CipherInfo info;
    std::memset(&info, 0, sizeof info);
    SECURITY_STATUS status = table->QueryContextAttributesA(&context, SECPKG_ATTR_CIPHER_INFO, &info);
    if (status != SEC_E_OK) return status;
    write_int0(env, jProtocol, info.dwProtocol);
    write_int0(env, jCipherSuite, info.dwCipherSuite);
    return 0;
  });
}

JNIEXPORT jbyteArray JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_getSessionInfo(JNIEnv* env, jclass,
                                                                             jlongArray jContext,
                                                                             jintArray jReconnect,
                                                                             jlongArray jResult) {
  return guarded_status(env, jResult, [&]() -> jbyteArray {
    PSecurityFunctionTableA table = table_for(env, jResult, jContext);
    if (!table) return nullptr;
    if (!has_element0(env, jReconnect)) return write_status(env, jResult, SEC_E_INVALID_PARAMETER), nullptr;
    CtxtHandle context = read_pair(env, jContext);
    SecPkgContext_SessionInfo info;
    std::memset(&info, 0, sizeof info);
    info.dwFlags = kSessionInfoFlagsIn;
    SECURITY_STATUS status = table->QueryContextAttributesA(&context, SECPKG_ATTR_SESSION_INFO, &info);
    write_status(env, jResult, status);
    if (status != SEC_E_OK) return nullptr;
    write_int0(env, jReconnect, info.dwFlags & SSL_SESSION_RECONNECT);
    DWORD n = info.cbSessionId < sizeof info.rgbSessionId ? info.cbSessionId : sizeof info.rgbSessionId;
    return new_bytes(env, info.rgbSessionId, n);
  });
}
