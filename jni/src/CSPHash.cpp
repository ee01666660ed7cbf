// Hash objects: create, feed, read and set parameters, duplicate, destroy,
// hash a session key.
#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"
#include "special.h"
#include "structs.h"

using namespace quill;

namespace {

// Parameters whose value starts with a little-endian 32-bit number. A read
// converts it after the call, a write before the call.
bool leading_value_on_get(DWORD param) {
  return param == HP_HASHSIZE || param == HP_HMAC_INFO || param == 35;
}
bool leading_value_on_set(DWORD param) {
  return param == HP_HASHSIZE || param == HP_HMAC_INFO || param == 25 || param == 35;
}

// Parameters the provider takes as a CRYPT_DATA_BLOB around the Java bytes.
bool passed_as_blob(DWORD param) {
  return param == HP_TLS1PRF_LABEL || param == HP_TLS1PRF_SEED || param == 23 || param == 24;
}

// How many bytes the provider reads through the bare pointer for a hash
// parameter: the structure, the leading number, or (for a hash value) the
// hash's own size as the provider reports it. 0 where it reads none or
// decides for itself (a value passed as a blob carries its length).
size_t hash_param_size(HCRYPTHASH hash, DWORD param) {
  if (passed_as_blob(param)) return 0;
  if (param == HP_HMAC_INFO) return sizeof(HMAC_INFO);
  if (leading_value_on_set(param)) return 4;
  if (param == HP_HASHVAL) {
    DWORD size = 0;
    DWORD length = sizeof size;
    // An unknown handle reports nothing here and fails in the call itself.
    if (CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &length, 0)) {
      return size;
    }
  }
  return 0;
}


}  // namespace

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptCreateHash(JNIEnv* env, jclass,
                                                                         jlong hProv, jint algId,
                                                                         jlong key, jint flags,
                                                                         jlongArray jhHash) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  if (!has_element0(env, jhHash)) return kInvalidParameter;
  HCRYPTHASH hHash = 0;
  jint result = result_of(CryptCreateHash(to_handle<HCRYPTPROV>(hProv), static_cast<ALG_ID>(algId),
                                          to_handle<HCRYPTKEY>(key), static_cast<DWORD>(flags),
                                          &hHash));
  write_long0(env, jhHash, from_handle(hHash));
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptHashData(JNIEnv* env, jclass,
                                                                       jlong hHash,
                                                                       jbyteArray jArray,
                                                                       jint offset, jint len,
                                                                       jint flags) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  if (!in_bounds(env, jArray, offset, len)) return kInvalidParameter;
  BYTE* data = frame.in(jArray, offset, len);
  if (frame.failed()) return kNotEnoughMemory;
  return result_of(CryptHashData(to_handle<HCRYPTHASH>(hHash), data, static_cast<DWORD>(len),
                                 static_cast<DWORD>(flags)));
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptGetHashParam(JNIEnv* env, jclass,
                                                                           jlong jHash, jint jcmd,
                                                                           jbyteArray jData,
                                                                           jintArray jDataLen,
                                                                           jint jFlags) {
  Frame frame(env);
  DWORD length = 0;
  read_int0(env, jDataLen, length);
  if (frame.exception_pending()) return kPendingException;
  const DWORD param = static_cast<DWORD>(jcmd);
  // The provider writes up to `length` bytes: never more than the array has.
  if (jData && !in_bounds(env, jData, 0, static_cast<jint>(length))) return kInvalidParameter;
  Output data = frame.out(jData, static_cast<jint>(length));
  if (frame.failed()) return kNotEnoughMemory;
  jint result = result_of(CryptGetHashParam(to_handle<HCRYPTHASH>(jHash), param, data.data(), &length,
                                            static_cast<DWORD>(jFlags)));
  if (result == 0 && data) {
    // The value's leading number is converted before it goes back.
    if (leading_value_on_get(param) && length >= 4) letoh32_inplace(data.data());
    data.put(length);
  }
  write_int0(env, jDataLen, length);
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptSetHashParam(JNIEnv* env, jclass,
                                                                           jlong handle,
                                                                           jint param,
                                                                           jbyteArray jData,
                                                                           jint flags) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  const DWORD number = static_cast<DWORD>(param);
  const HCRYPTHASH hash = to_handle<HCRYPTHASH>(handle);
  const jsize size = length_of(env, jData);
  if (jData && !holds(env, jData, hash_param_size(hash, number))) return kInvalidParameter;
  BYTE* data = frame.in(jData, 0, size);
  if (frame.failed()) return kNotEnoughMemory;
  if (data && leading_value_on_set(number)) letoh32_inplace(data);
  CRYPT_DATA_BLOB blob = {static_cast<DWORD>(size), data};
  const BYTE* argument = passed_as_blob(number) ? reinterpret_cast<const BYTE*>(&blob) : data;
  return result_of(CryptSetHashParam(hash, number,
                                     const_cast<BYTE*>(argument), static_cast<DWORD>(flags)));
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptDuplicateHash(JNIEnv* env, jclass,
                                                                            jlong handle,
                                                                            jintArray jReserved,
                                                                            jint flags,
                                                                            jlongArray jArray) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  if (!has_element0(env, jArray)) return kInvalidParameter;
  DWORD* reserved = frame.in(jReserved, 0, length_of(env, jReserved));
  if (frame.failed()) return kNotEnoughMemory;
  HCRYPTHASH copy = 0;
  jint result = result_of(CryptDuplicateHash(to_handle<HCRYPTHASH>(handle), reserved,
                                             static_cast<DWORD>(flags), &copy));
  write_long0(env, jArray, from_handle(copy));
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptDestroyHash(JNIEnv*, jclass,
                                                                          jlong hHash) {
  return result_of(CryptDestroyHash(to_handle<HCRYPTHASH>(hHash)));
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptHashSessionKey(JNIEnv* env, jclass,
                                                                             jlong hHash,
                                                                             jlong hKey,
                                                                             jint flags) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  return result_of(CryptHashSessionKey(to_handle<HCRYPTHASH>(hHash), to_handle<HCRYPTKEY>(hKey),
                                       static_cast<DWORD>(flags)));
}
