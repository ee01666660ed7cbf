// Random bytes from the provider into a Java array.
#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"
#include "special.h"

using namespace quill;

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptGenRandom(JNIEnv* env, jclass,
                                                                        jlong jhProv, jint jdwLen,
                                                                        jbyteArray jpbBuffer) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  if (!in_bounds(env, jpbBuffer, 0, jdwLen)) return kInvalidParameter;
  Output buffer = frame.out(jpbBuffer, jdwLen);
  if (frame.failed()) return kNotEnoughMemory;
  jint result = result_of(
      CryptGenRandom(to_handle<HCRYPTPROV>(jhProv), static_cast<DWORD>(jdwLen), buffer.data()));
  if (result == 0) buffer.put(static_cast<DWORD>(jdwLen));
  return result;
}
