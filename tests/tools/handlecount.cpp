// A test helper loaded by the call storm (quill.Storm): the number of live
// handles in the platform's handle table of this process, so that a run can
// prove it gave back everything the natives handed out.
#include <jni.h>

#include "csp/handles.h"

extern "C" JNIEXPORT jlong JNICALL Java_quill_Storm_handleCount(JNIEnv*, jclass) {
  return static_cast<jlong>(csp::handle_count());
}
