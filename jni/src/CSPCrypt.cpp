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
  read_int0(env, jDataLen, count);
  if (frame.exception_pending()) return kPendingException;
  // The provider reads `count` bytes and may write up to jBufLen bytes.
  if (jData && (!in_bounds(env, jData, 0, jBufLen) ||
                !in_bounds(env, jData, 0, static_cast<jint>(count)))) {
    return kInvalidParameter;
  }
  const jint read = static_cast<jint>(count);
  Output data = frame.out(jData, jBufLen > read ? jBufLen : read, read);
  if (frame.failed()) return kNotEnoughMemory;
  jint result = result_of(CryptEncrypt(to_handle<HCRYPTKEY>(jhKey), to_handle<HCRYPTHASH>(jhHash),
                                       final_flag(jisFinal), static_cast<DWORD>(jflags), data.data(),
                                       &count, static_cast<DWORD>(jBufLen)));
  // A refusal writes nothing; a success its ciphertext.
  if (result == 0) data.put(count);
  write_int0(env, jDataLen, count);
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptDecrypt(
    JNIEnv* env, jclass, jlong jhKey, jlong jhHash, jboolean jisFinal, jint jflags,
    jbyteArray jData, jintArray jDataLen) {
  Frame frame(env);
  DWORD count = 0;
  read_int0(env, jDataLen, count);
  if (frame.exception_pending()) return kPendingException;
  if (jData && !in_bounds(env, jData, 0, static_cast<jint>(count))) return kInvalidParameter;
  const jint read = static_cast<jint>(count);
  Output data = frame.out(jData, read, read);
  if (frame.failed()) return kNotEnoughMemory;
  jint result = result_of(CryptDecrypt(to_handle<HCRYPTKEY>(jhKey), to_handle<HCRYPTHASH>(jhHash),
                                       final_flag(jisFinal), static_cast<DWORD>(jflags), data.data(),
                                       &count));
  // The provider works on the whole range in place (padding included, and
  // also when it then refuses the padding): all of it goes back.
  data.put(static_cast<DWORD>(read));
  write_int0(env, jDataLen, count);
  return result;
}
