// Random bytes from the provider into a Java array.
#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"
#include "special.h"

using namespace quill;

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptGenRandom(JNIEnv* env, jclass,
                                                                        jlong jhProv, jint jdwLen,
                                                                        jbyteArray jpbBuffer) {
  Frame frame(env);
  BYTE* buffer = frame.bytes(jpbBuffer);
  if (frame.failed()) return kNotEnoughMemory;
  if (frame.exception_pending()) return kPendingException;
  if (!in_bounds(env, jpbBuffer, 0, jdwLen)) return kInvalidParameter;
  return result_of(
      CryptGenRandom(to_handle<HCRYPTPROV>(jhProv), static_cast<DWORD>(jdwLen), buffer));
}
