// Signatures: sign a hash object's value with a container key, verify a
// signature over a hash object's value with a public key.
#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"
#include "special.h"

using namespace quill;

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptSignHash(
    JNIEnv* env, jclass, jlong hHash, jint keySpec, jstring jsDescription, jint flags,
    jbyteArray jData, jintArray jDataLen) {
  Frame frame(env);
  DWORD length = 0;
  read_int0(env, jDataLen, length);
  const char* description = frame.utf(jsDescription);
  if (frame.failed()) return kNotEnoughMemory;
  if (frame.exception_pending()) return kPendingException;
  // The provider writes up to `length` bytes of signature into the array.
  if (jData && !in_bounds(env, jData, 0, static_cast<jint>(length))) return kInvalidParameter;
  Output data = frame.out(jData, static_cast<jint>(length));
  if (frame.failed()) return kNotEnoughMemory;
  jint result = result_of(CryptSignHashA(to_handle<HCRYPTHASH>(hHash), static_cast<DWORD>(keySpec),
                                         description, static_cast<DWORD>(flags), data.data(), &length));
  if (result == 0) data.put(length);
  write_int0(env, jDataLen, length);
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptVerifySignature(
    JNIEnv* env, jclass, jlong hHash, jbyteArray jData, jint jDataLen, jlong jhPubKey,
    jstring jsDescription, jint flags) {
  Frame frame(env);
  const char* description = frame.utf(jsDescription);
  if (frame.failed()) return kNotEnoughMemory;
  if (frame.exception_pending()) return kPendingException;
  if (!in_bounds(env, jData, 0, jDataLen)) return kInvalidParameter;
  BYTE* data = frame.in(jData, 0, jDataLen);
  if (frame.failed()) return kNotEnoughMemory;
  return result_of(CryptVerifySignatureA(to_handle<HCRYPTHASH>(hHash), data,
                                         static_cast<DWORD>(jDataLen),
                                         to_handle<HCRYPTKEY>(jhPubKey), description,
                                         static_cast<DWORD>(flags)));
}
