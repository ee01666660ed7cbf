// getSizeOfHandle: the width of a native handle, 4 on 32-bit builds, 8 on 64-bit.
#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"
#include "special.h"

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_getSizeOfHandle(JNIEnv*, jclass) {
  return static_cast<jint>(sizeof(HCRYPTPROV));
}
