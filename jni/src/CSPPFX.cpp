// PFX (PKCS #12) blobs: verify a password, import into a temporary store and
// walk it for the Java key store, export a store; memory stores to export.
#include <cwchar>

#include "ru_Kestrel_Quill_KeyStore_PFXStore.h"
#include "special.h"

using namespace quill;

namespace {

// The password as the PFX functions take it: wide, from the Java string's
// UTF-8; both are wiped when the native returns. Null for a null string; an
// empty string stays empty, which the PFX functions tell apart from null.
const wchar_t* wide_password(Frame& frame, jstring jPassword) {
  return frame.keep_secret(multi2wchar(CP_UTF8, frame.secret_utf(jPassword)));
}

// Bytes and password of verifyPfx and importPfx; 0 when the call may go on.
jint pfx_arguments(JNIEnv* env, Frame& frame, jbyteArray jPfx, jint jPfxLen, jstring jPassword,
                   CRYPT_DATA_BLOB& blob, const wchar_t*& password) {
  password = wide_password(frame, jPassword);
  if (frame.failed()) return kNotEnoughMemory;
  if (frame.exception_pending()) return kPendingException;
  if (jPassword && !password) return last_error_code();  // text not convertible
  if (!in_bounds(env, jPfx, 0, jPfxLen)) return kInvalidParameter;
  BYTE* pfx = frame.in(jPfx, 0, jPfxLen);
  if (frame.failed()) return kNotEnoughMemory;
  blob.cbData = static_cast<DWORD>(jPfxLen);
  blob.pbData = pfx;
  return 0;
}

}  // namespace

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_KeyStore_PFXStore_verifyPfx(JNIEnv* env, jobject,
                                                                        jbyteArray jPfx,
                                                                        jint jPfxLen,
                                                                        jstring jPassword,
                                                                        jint jFlags) {
  return guarded(kNotEnoughMemory, [&]() -> jint {
    Frame frame(env);
    CRYPT_DATA_BLOB blob = {0, nullptr};
    const wchar_t* password = nullptr;
    if (jint rc = pfx_arguments(env, frame, jPfx, jPfxLen, jPassword, blob, password)) return rc;
    jint rc = result_of(PFXVerifyPassword(&blob, password, static_cast<DWORD>(jFlags)));
    return rc;
  });
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_KeyStore_PFXStore_importPfx(JNIEnv* env, jobject self,
                                                                        jbyteArray jPfx,
                                                                        jint jPfxLen,
                                                                        jstring jPassword,
                                                                        jint jFlags) {
  return guarded(kNotEnoughMemory, [&]() -> jint {
    Frame frame(env);
    CRYPT_DATA_BLOB blob = {0, nullptr};
    const wchar_t* password = nullptr;
    if (jint rc = pfx_arguments(env, frame, jPfx, jPfxLen, jPassword, blob, password)) return rc;
    HCERTSTORE store = PFXImportCertStore(&blob, password, static_cast<DWORD>(jFlags));
    if (!store) return last_error_code();
    // Key entries keep their handles past this close (see special_store.cpp).
    jint rc = EnumKeysAndCertificates(env, self, store, TRUE);
    CertCloseStore(store, 0);
    return rc;
  });
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_KeyStore_PFXStore_exportPfx(JNIEnv* env, jobject,
                                                                        jlong jCertStore,
                                                                        jstring jPassword,
                                                                        jint jFlags,
                                                                        jbyteArray jPfx,
                                                                        jintArray jPfxLen) {
  return guarded(kNotEnoughMemory, [&]() -> jint {
    Frame frame(env);
    DWORD length = 0;
    read_int0(env, jPfxLen, length);
    const wchar_t* password = wide_password(frame, jPassword);
    if (frame.failed()) return kNotEnoughMemory;
    if (frame.exception_pending()) return kPendingException;
    if (jPassword && !password) return last_error_code();
    // The platform writes up to the length it is told: never more than the array.
    if (jPfx && !in_bounds(env, jPfx, 0, static_cast<jint>(length))) return kInvalidParameter;
    // A PFX holds private keys: its room is wiped when the native returns.
    Output pfx = frame.secret_out(jPfx, static_cast<jint>(length));
    if (frame.failed()) return kNotEnoughMemory;
    CRYPT_DATA_BLOB blob = {length, pfx.data()};
    jint rc = result_of(PFXExportCertStore(to_handle<HCERTSTORE>(jCertStore), &blob, password,
                                           static_cast<DWORD>(jFlags)));
    if (rc == 0) pfx.put(blob.cbData);
    write_int0(env, jPfxLen, blob.cbData);
    return rc;
  });
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_KeyStore_PFXStore_createMemoryStore(
    JNIEnv* env, jobject, jlongArray jCertStore, jint jFlags) {
  return guarded(kNotEnoughMemory, [&]() -> jint {
    Frame frame(env);
    if (frame.exception_pending()) return kPendingException;
    if (jCertStore && !has_element0(env, jCertStore)) return kInvalidParameter;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                     0, static_cast<DWORD>(jFlags), nullptr);
    jint rc = store ? 0 : last_error_code();
    // Memory store handles go to Java sign-extended on 32-bit builds; every
    // native reads them back by their low bits.
    write_long0(env, jCertStore, static_cast<jlong>(reinterpret_cast<intptr_t>(store)));
    if (store && !jCertStore) CertCloseStore(store, 0);  // nobody to own it
    return rc;
  });
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_KeyStore_PFXStore_closeMemoryStore(JNIEnv* env,
                                                                               jobject,
                                                                               jlong jCertStore) {
  return guarded(kNotEnoughMemory, [&]() -> jint {
    Frame frame(env);
    if (frame.exception_pending()) return kPendingException;
    if (jCertStore == 0) return 0;
    return result_of(CertCloseStore(to_handle<HCERTSTORE>(jCertStore), 0));
  });
}
