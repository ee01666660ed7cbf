// Encryption and decryption in place in a Java array, optionally hashing the
// data into a hash object at the same time.
#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"
#include "special.h"

using namespace quill;

namespace {

// Only a boolean whose low byte is exactly 1 marks the last block.
BOOL final_flag(jboolean jisFinal) { return low_byte(jisFinal) == 1 ? TRUE : FALSE; }

}  // namespace

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptEncrypt(
    JNIEnv* env, jclass, jlong jhKey, jlong jhHash, jboolean jisFinal, jint jflags,
    jbyteArray jData, jintArray jDataLen, jint jBufLen) {
  Frame frame(env);
  DWORD count = 0;
  BYTE* data = frame.bytes(jData);
  if (frame.failed()) return kNotEnoughMemory;
  read_int0(env, jDataLen, count);
  if (frame.exception_pending()) return kPendingException;
  // The provider reads `count` bytes and may write up to jBufLen bytes.
  if (data && (!in_bounds(env, jData, 0, jBufLen) ||
               !in_bounds(env, jData, 0, static_cast<jint>(count)))) {
    return kInvalidParameter;
  }
  jint result = result_of(CryptEncrypt(to_handle<HCRYPTKEY>(jhKey), to_handle<HCRYPTHASH>(jhHash),
                                       final_flag(jisFinal), static_cast<DWORD>(jflags), data,
                                       &count, static_cast<DWORD>(jBufLen)));
  write_int0(env, jDataLen, count);
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptDecrypt(
    JNIEnv* env, jclass, jlong jhKey, jlong jhHash, jboolean jisFinal, jint jflags,
    jbyteArray jData, jintArray jDataLen) {
  Frame frame(env);
  DWORD count = 0;
  BYTE* data = frame.bytes(jData);
  if (frame.failed()) return kNotEnoughMemory;
  read_int0(env, jDataLen, count);
  if (frame.exception_pending()) return kPendingException;
  if (data && !in_bounds(env, jData, 0, static_cast<jint>(count))) return kInvalidParameter;
  jint result = result_of(CryptDecrypt(to_handle<HCRYPTKEY>(jhKey), to_handle<HCRYPTHASH>(jhHash),
                                       final_flag(jisFinal), static_cast<DWORD>(jflags), data,
                                       &count));
  write_int0(env, jDataLen, count);
  return result;
}
