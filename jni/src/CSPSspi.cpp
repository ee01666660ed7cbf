// The ten SSPI natives: credentials, handshake, records, session queries.
//
// They return SSPI statuses, or Java objects with the status in jResult
// (sign-extended). Natives of the second kind run inside `reporting`, the
// one place that writes jResult: their bodies answer a Reply, a status and
// the value to return, and a check that fails answers its status at once.
// They make no pending-exception check; instead they never make a JNI call
// that could raise one: arrays and offsets are checked before they are read
// or written, and the JNI calls that can still fail (new arrays) come last.
// Arrays are copied in and out by range through a Frame.
#include "CSPSspi.h"

#include <cstring>

#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"
#include "special.h"

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
// A TLS record's header: type, version, and the length of what follows.
constexpr jint kTlsRecordHeader = 5;

// What a native that reports through jResult answers: the status for
// jResult and the Java value it returns.
template <class T>
struct Reply {
  SECURITY_STATUS status;
  T value = nullptr;
  // The peer's close-notify (decryptMessage): the stream ended cleanly.
  // jResult keeps what the caller put there; a null result with all input
  // consumed is the caller's sign of the end.
  bool closed = false;
};

template <class T>
Reply<T> answer(SECURITY_STATUS status, T value = nullptr) {
  return {status, value, false};
}

template <class T>
Reply<T> closed_by_peer() {
  return {SEC_E_OK, nullptr, true};
}

void write_status(JNIEnv* env, jlongArray jResult, SECURITY_STATUS status) {
  write_long0(env, jResult, static_cast<jlong>(static_cast<int32_t>(status)));
}

// The boundary of the natives that report through jResult. Without its
// element 0 nothing can be reported and the body does not run. A C++
// exception becomes SEC_E_INSUFFICIENT_MEMORY and a null result. A Java
// value the VM could not make leaves its exception pending: it is set aside
// while the status is written, and is pending again when the native returns.
template <class T, class F>
T reporting(JNIEnv* env, jlongArray jResult, F&& body) noexcept {
  if (!has_element0(env, jResult)) return nullptr;
  Reply<T> reply = answer<T>(SEC_E_INSUFFICIENT_MEMORY);
  try {
    reply = body();
  } catch (...) {
    reply = answer<T>(SEC_E_INSUFFICIENT_MEMORY);
  }
  if (reply.closed) return reply.value;
  jthrowable pending = env->ExceptionOccurred();
  if (pending) env->ExceptionClear();
  write_status(env, jResult, reply.status);
  if (pending) {
    env->Throw(pending);
    env->DeleteLocalRef(pending);
  }
  return reply.value;
}

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

// The status of the checks every native that reports through jResult makes
// first: a library, and a context pair.
SECURITY_STATUS context_check(JNIEnv* env, jlongArray jContext) {
  if (!SecurityTable()) return kNoLibrary;
  if (!has_pair(env, jContext)) return SEC_E_INVALID_HANDLE;
  return SEC_E_OK;
}

// True when [p, p + n) lies inside [base, base + size).
bool inside(const void* p, unsigned long n, const BYTE* base, size_t size) {
  auto* b = static_cast<const BYTE*>(p);
  return b >= base && b <= base + size && n <= size_t(base + size - b);
}

// A buffer the package allocated, given back to it.
class ContextBuffer {
 public:
  explicit ContextBuffer(PSecurityFunctionTableA table) : table_(table) {}
  ~ContextBuffer() {
    if (data_) table_->FreeContextBuffer(data_);
  }
  ContextBuffer(const ContextBuffer&) = delete;
  ContextBuffer& operator=(const ContextBuffer&) = delete;
  void* data_ = nullptr;

 private:
  PSecurityFunctionTableA table_;
};

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

    Frame frame(env);
    SCHANNEL_CRED cred;
    std::memset(&cred, 0, sizeof cred);
    ALG_ID rgbSupportedAlgs[kMaxSupportedAlgs];
    DWORD algs = 0;
    const DWORD* ciphers = frame.in(jciphersArr, 0, jciphersLen);
    if (frame.failed()) return kNotEnoughMemory;
    for (jint i = 0; ciphers && i < jciphersLen; ++i) {
      if (ciphers[i] == 0) continue;
      // More entries than the list holds would silently widen the caller's
      // restriction; refuse them.
      if (algs == kMaxSupportedAlgs) return kInvalidParameter;
      rgbSupportedAlgs[algs++] = static_cast<ALG_ID>(ciphers[i]) | kCipherAlgBase;
    }

    PCCERT_CONTEXT cert = nullptr;
    if (jencodedCert) {
      const BYTE* encoded = frame.in(jencodedCert, 0, jcertLen);
      if (frame.failed()) return kNotEnoughMemory;
      cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded,
                                          static_cast<DWORD>(jcertLen));
      if (!cert) return static_cast<jint>(GetLastError());
      // The package keeps a copy of the certificate context, and with it the
      // key context's reference, for as long as the credential lives.
      if (jint rc = attach_key_context(cert, to_handle<HCRYPTPROV>(jhProv), static_cast<DWORD>(jkeySpec))) {
        CertFreeCertificateContext(cert);
        return rc;
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
  return reporting<jbyteArray>(env, jResult, [&]() -> Reply<jbyteArray> {
    if (SECURITY_STATUS status = context_check(env, jContext)) return answer<jbyteArray>(status);
    if (!has_pair(env, jCred)) return answer<jbyteArray>(SEC_E_INVALID_HANDLE);
    if (!has_element0(env, jInLen)) return answer<jbyteArray>(SEC_E_INVALID_PARAMETER);
    jint inLen = read_int(env, jInLen);
    bool disconnect = low_byte(isDisconnect);
    // Without an array there is no input to settle, whatever jInLen says.
    if (jInBuf && !in_bounds(env, jInBuf, 0, inLen)) return answer<jbyteArray>(SEC_E_INVALID_PARAMETER);

    PSecurityFunctionTableA table = SecurityTable();
    CredHandle cred = read_pair(env, jCred);
    CtxtHandle context = read_pair(env, jContext);
    bool has_context = is_set(context);
    Frame frame(env);
    BYTE* input = disconnect ? nullptr : frame.in(jInBuf, 0, inLen);
    const char* target = frame.utf(jServName);
    if (frame.failed() || (jServName && !target)) return answer<jbyteArray>(SEC_E_INSUFFICIENT_MEMORY);

    unsigned long req = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                        ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;
    if (low_byte(isUseCreds)) req |= ISC_REQ_USE_SUPPLIED_CREDS;

    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, out};
    SecBuffer in[2];
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 0, in};
    PSecBufferDesc pInput = nullptr;
    if (input) {
      in[0] = {static_cast<unsigned long>(inLen), SECBUFFER_TOKEN, input};
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
        &cred, has_context ? &context : nullptr, const_cast<SEC_CHAR*>(target), req, 0,
        SECURITY_NATIVE_DREP, pInput, 0, has_context ? nullptr : &created, &outDesc, &attrs, &expiry);
    ContextBuffer token(table), alert(table);
    token.data_ = out[0].pvBuffer;
    alert.data_ = out[1].pvBuffer;

    if (!has_context) write_pair(env, jContext, created);
    if (input && inLen != 0) {
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= static_cast<unsigned long>(inLen)) {
        // The unread rest moves to the front of the caller's array.
        jint extra = static_cast<jint>(in[1].cbBuffer);
        env->SetByteArrayRegion(jInBuf, 0, extra, reinterpret_cast<const jbyte*>(input + (inLen - extra)));
        inLen = extra;
      } else if (status >= 0 && status != SEC_I_INCOMPLETE_CREDENTIALS) {
        // All consumed; after SEC_I_INCOMPLETE_CREDENTIALS the caller passes
        // the same input again with its answer, so it stays.
        inLen = 0;
      }
      write_int0(env, jInLen, static_cast<DWORD>(inLen));
    }
    jbyteArray bytes = token.data_ && out[0].cbBuffer ? new_bytes(env, token.data_, out[0].cbBuffer) : nullptr;
    return answer(status, bytes);
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
  return reporting<jbyteArray>(env, jResult, [&]() -> Reply<jbyteArray> {
    if (SECURITY_STATUS status = context_check(env, jContext)) return answer<jbyteArray>(status);
    if (!has_element0(env, jInOff) || !has_element0(env, jInLen))
      return answer<jbyteArray>(SEC_E_INVALID_PARAMETER);
    PSecurityFunctionTableA table = SecurityTable();
    CtxtHandle context = read_pair(env, jContext);
    jint inLen = read_int(env, jInLen);
    jint inOff = read_int(env, jInOff);
    // A null array holds nothing; offsets and lengths stay inside the array.
    if (!in_bounds(env, jInBuf, inOff, inLen)) return answer<jbyteArray>(SEC_E_INVALID_PARAMETER);

    SecPkgContext_StreamSizes sizes;
    std::memset(&sizes, 0, sizeof sizes);
    SECURITY_STATUS status = table->QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
    if (status != SEC_E_OK) return answer<jbyteArray>(status);
    // A record that does not fit the working buffer cannot be built: that is
    // a failure, not a success without a record.
    if (uint64_t(sizes.cbHeader) + sizes.cbMaximumMessage + sizes.cbTrailer > kWorkingBuffer)
      return answer<jbyteArray>(SEC_E_BUFFER_TOO_SMALL);

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
    if (status != SEC_E_OK) {
      write_int0(env, jInLen, 0);
      return answer<jbyteArray>(status);
    }
    write_int0(env, jInLen, static_cast<DWORD>(inLen - n));
    write_int0(env, jInOff, static_cast<DWORD>(inOff + n));
    return answer(status, new_bytes(env, work, sizes.cbHeader + static_cast<size_t>(n) + buffers[2].cbBuffer));
  });
}

JNIEXPORT jbyteArray JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_decryptMessage(JNIEnv* env, jclass,
                                                                             jlongArray jContext,
                                                                             jbyteArray jInBuf,
                                                                             jintArray jInLen,
                                                                             jlongArray jResult) {
  return reporting<jbyteArray>(env, jResult, [&]() -> Reply<jbyteArray> {
    if (SECURITY_STATUS status = context_check(env, jContext)) return answer<jbyteArray>(status);
    if (!has_element0(env, jInLen)) return answer<jbyteArray>(SEC_E_INVALID_PARAMETER);
    PSecurityFunctionTableA table = SecurityTable();
    CtxtHandle context = read_pair(env, jContext);
    jint inLen = read_int(env, jInLen);
    if (!jInBuf || !in_bounds(env, jInBuf, 0, inLen)) return answer<jbyteArray>(SEC_E_INVALID_PARAMETER);
    // The package opens one record per call: only that record is copied
    // (the header says how long it is), however much of the receive array is
    // filled after it. The package decrypts in place in the copy.
    jint take = inLen;
    if (inLen > kTlsRecordHeader) {
      jbyte header[kTlsRecordHeader];
      env->GetByteArrayRegion(jInBuf, 0, kTlsRecordHeader, header);
      jint record = kTlsRecordHeader + (jint(BYTE(header[3])) << 8 | jint(BYTE(header[4])));
      if (record < inLen) take = record;
    }
    Frame frame(env);
    BYTE* base = frame.in(jInBuf, 0, take);
    if (frame.failed()) return answer<jbyteArray>(SEC_E_INSUFFICIENT_MEMORY);
    size_t size = static_cast<size_t>(take);

    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(take), SECBUFFER_DATA, base},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = table->DecryptMessage(&context, &desc, 0, nullptr);
    if (status == SEC_I_CONTEXT_EXPIRED || status == SEC_E_CONTEXT_EXPIRED) {
      write_int0(env, jInLen, 0);
      return closed_by_peer<jbyteArray>();
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return answer<jbyteArray>(status);

    // The plaintext lies in the copy and goes into a new array; the unread
    // rest (what the package left of the copy, then everything after it),
    // still as it came in the caller's array, moves to its front.
    const SecBuffer* plain = nullptr;
    const SecBuffer* extra = nullptr;
    for (int i = 1; i < 4; ++i) {
      const SecBuffer& b = buffers[i];
      // An empty data buffer does not end the search for the plaintext, nor
      // an empty extra buffer for the rest.
      if ((!plain || plain->cbBuffer == 0) && b.BufferType == SECBUFFER_DATA) {
        if (b.cbBuffer && !inside(b.pvBuffer, b.cbBuffer, base, size)) return answer<jbyteArray>(SEC_E_INTERNAL_ERROR);
        plain = &b;
      } else if ((!extra || extra->cbBuffer == 0) && b.BufferType == SECBUFFER_EXTRA) {
        if (!inside(b.pvBuffer, b.cbBuffer, base, size)) return answer<jbyteArray>(SEC_E_INTERNAL_ERROR);
        extra = &b;
      }
    }
    const jint consumed = take - static_cast<jint>(extra ? extra->cbBuffer : 0);
    write_int0(env, jInLen, static_cast<DWORD>(inLen - consumed));
    move_to_front(env, jInBuf, consumed, inLen - consumed);
    const size_t d = plain ? plain->cbBuffer : 0;
    return answer(status, d ? new_bytes(env, plain->pvBuffer, d) : nullptr);
  });
}

JNIEXPORT jobjectArray JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_getRemoteCertificates(
    JNIEnv* env, jclass, jlongArray jContext, jlongArray jResult) {
  return reporting<jobjectArray>(env, jResult, [&]() -> Reply<jobjectArray> {
    if (SECURITY_STATUS status = context_check(env, jContext)) return answer<jobjectArray>(status);
    PSecurityFunctionTableA table = SecurityTable();
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
    if (!peer) return answer<jobjectArray>(status);

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
    return answer(status, result);
  });
}

JNIEXPORT jobjectArray JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_getIssuers(JNIEnv* env, jclass,
                                                                           jlongArray jContext,
                                                                           jlongArray jResult) {
  return reporting<jobjectArray>(env, jResult, [&]() -> Reply<jobjectArray> {
    if (SECURITY_STATUS status = context_check(env, jContext)) return answer<jobjectArray>(status);
    PSecurityFunctionTableA table = SecurityTable();
    CtxtHandle context = read_pair(env, jContext);
    SecPkgContext_IssuerListInfoEx issuers;
    std::memset(&issuers, 0, sizeof issuers);
    SECURITY_STATUS status = table->QueryContextAttributesA(&context, SECPKG_ATTR_ISSUER_LIST_EX, &issuers);
    ContextBuffer names(table);
    names.data_ = issuers.aIssuers;
    if (status != SEC_E_OK) return answer<jobjectArray>(status);
    jclass bytesClass = env->FindClass("[B");
    jobjectArray result =
        bytesClass ? env->NewObjectArray(static_cast<jsize>(issuers.cIssuers), bytesClass, nullptr) : nullptr;
    for (DWORD i = 0; result && i < issuers.cIssuers; ++i) {
      jbyteArray name = new_bytes(env, issuers.aIssuers[i].pbData, issuers.aIssuers[i].cbData);
      if (!name) {
        result = nullptr;
        break;
      }
      env->SetObjectArrayElement(result, static_cast<jsize>(i), name);
      env->DeleteLocalRef(name);
    }
    return answer(status, result);
  });
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_getCipherInfo(JNIEnv* env, jclass,
                                                                       jlongArray jContext,
                                                                       jintArray jProtocol,
                                                                       jintArray jCipherSuite) {
  return guarded(static_cast<jint>(SEC_E_INSUFFICIENT_MEMORY), [&]() -> jint {
    if (SECURITY_STATUS status = context_check(env, jContext)) return status;
    if (!has_element0(env, jProtocol) || !has_element0(env, jCipherSuite)) return SEC_E_INVALID_PARAMETER;
    CtxtHandle context = read_pair(env, jContext);
    SecPkgContext_CipherInfo info;
    std::memset(&info, 0, sizeof info);
    SECURITY_STATUS status = SecurityTable()->QueryContextAttributesA(&context, SECPKG_ATTR_CIPHER_INFO, &info);
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
  return reporting<jbyteArray>(env, jResult, [&]() -> Reply<jbyteArray> {
    if (SECURITY_STATUS status = context_check(env, jContext)) return answer<jbyteArray>(status);
    if (!has_element0(env, jReconnect)) return answer<jbyteArray>(SEC_E_INVALID_PARAMETER);
    CtxtHandle context = read_pair(env, jContext);
    SecPkgContext_SessionInfo info;
    std::memset(&info, 0, sizeof info);
    info.dwFlags = kSessionInfoFlagsIn;
    SECURITY_STATUS status = SecurityTable()->QueryContextAttributesA(&context, SECPKG_ATTR_SESSION_INFO, &info);
    if (status != SEC_E_OK) return answer<jbyteArray>(status);
    write_int0(env, jReconnect, info.dwFlags & SSL_SESSION_RECONNECT);
    DWORD n = info.cbSessionId < sizeof info.rgbSessionId ? info.cbSessionId : sizeof info.rgbSessionId;
    return answer(status, new_bytes(env, info.rgbSessionId, n));
  });
}
