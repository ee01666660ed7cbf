#include "special.h"

#include <cstring>
#include <new>

namespace quill {

jint last_error_code() {
  DWORD code = GetLastError();
  return code ? static_cast<jint>(code) : static_cast<jint>(NTE_FAIL);
}

Frame::~Frame() {
  for (int i = 0; i < narrays_; ++i) {
    Borrowed& b = arrays_[i];
    if (b.is_int) {
      env_->ReleaseIntArrayElements(static_cast<jintArray>(b.array), static_cast<jint*>(b.elems), 0);
    } else if (b.wipe > 0) {
      // Mode 0 in three steps: copy back, wipe the VM's copy, free it.
      auto* elems = static_cast<jbyte*>(b.elems);
      env_->ReleaseByteArrayElements(static_cast<jbyteArray>(b.array), elems, JNI_COMMIT);
      for (volatile jbyte* p = elems; p != elems + b.wipe; ++p) *p = 0;
      env_->ReleaseByteArrayElements(static_cast<jbyteArray>(b.array), elems, JNI_ABORT);
    } else {
      env_->ReleaseByteArrayElements(static_cast<jbyteArray>(b.array), static_cast<jbyte*>(b.elems),
                                     0);
    }
  }
  for (int i = 0; i < nstrings_; ++i) env_->ReleaseStringUTFChars(strings_[i].text, strings_[i].chars);
  for (int i = 0; i < nbuffers_; ++i) free_buffer(buffers_[i]);
}

void Frame::free_buffer(const Buffer& buffer) {
  if (!buffer.wide) {
    if (buffer.secret) {
      for (volatile char* p = static_cast<char*>(buffer.data); *p; ++p) *p = 0;
    }
    delete[] static_cast<char*>(buffer.data);
    return;
  }
  if (buffer.secret) {
    for (volatile wchar_t* p = static_cast<wchar_t*>(buffer.data); *p; ++p) *p = 0;
  }
  delete[] static_cast<wchar_t*>(buffer.data);
}

bool Frame::keep_buffer(void* buffer, bool wide, bool secret) {
  if (!buffer) return false;
  if (nbuffers_ == kMax) {  // never reached by the natives; fail rather than leak or hand on null
    free_buffer({buffer, wide, secret});
    failed_ = true;
    return false;
  }
  buffers_[nbuffers_++] = {buffer, wide, secret};
  return true;
}

BYTE* Frame::bytes(jbyteArray array) { return borrow_bytes(array, false); }

BYTE* Frame::secret_bytes(jbyteArray array) { return borrow_bytes(array, true); }

BYTE* Frame::borrow_bytes(jbyteArray array, bool secret) {
  if (!array || failed_ || env_->ExceptionCheck()) return nullptr;
  if (narrays_ == kMax) {  // more arrays than any native takes: never hand on a silent null
    failed_ = true;
    return nullptr;
  }
  jsize length = secret ? env_->GetArrayLength(array) : 0;
  jboolean copy = JNI_FALSE;
  jbyte* elems = env_->GetByteArrayElements(array, &copy);
  if (!elems) {
    failed_ = true;
    return nullptr;
  }
  // Elements the VM pinned are the array itself: those are not wiped.
  arrays_[narrays_++] = {array, elems, false, copy == JNI_TRUE ? length : 0};
  return reinterpret_cast<BYTE*>(elems);
}

DWORD* Frame::ints(jintArray array) {
  if (!array || failed_ || env_->ExceptionCheck()) return nullptr;
  if (narrays_ == kMax) {
    failed_ = true;
    return nullptr;
  }
  jint* elems = env_->GetIntArrayElements(array, nullptr);
  if (!elems) {
    failed_ = true;
    return nullptr;
  }
  arrays_[narrays_++] = {array, elems, true, 0};
  return reinterpret_cast<DWORD*>(elems);
}

const char* Frame::utf(jstring text) {
  if (!text || failed_ || env_->ExceptionCheck()) return nullptr;
  if (nstrings_ == kMax) {
    failed_ = true;
    return nullptr;
  }
  const char* chars = env_->GetStringUTFChars(text, nullptr);
  if (chars) strings_[nstrings_++] = {text, chars};
  return chars;
}

const char* Frame::secret_utf(jstring text) {
  if (!text || failed_ || env_->ExceptionCheck()) return nullptr;
  jsize chars = env_->GetStringLength(text);
  jsize bytes = env_->GetStringUTFLength(text);
  char* buffer = new (std::nothrow) char[static_cast<size_t>(bytes) + 1]();
  if (!buffer) {
    failed_ = true;
    return nullptr;
  }
  env_->GetStringUTFRegion(text, 0, chars, buffer);
  if (!keep_buffer(buffer, false, true)) return nullptr;
  return env_->ExceptionCheck() ? nullptr : buffer;
}

bool Frame::exception_pending() {
  jthrowable pending = env_->ExceptionOccurred();
  if (!pending) return false;
  env_->ExceptionClear();
  env_->DeleteLocalRef(pending);
  return true;
}

void read_int0(JNIEnv* env, jintArray array, DWORD& value) {
  if (!array || env->ExceptionCheck()) return;
  jint v = 0;
  env->GetIntArrayRegion(array, 0, 1, &v);
  value = static_cast<DWORD>(v);
}

void write_int0(JNIEnv* env, jintArray array, DWORD value) {
  if (!array || env->ExceptionCheck()) return;
  jint v = static_cast<jint>(value);
  env->SetIntArrayRegion(array, 0, 1, &v);
}

void write_long0(JNIEnv* env, jlongArray array, jlong value) {
  if (!array || env->ExceptionCheck()) return;
  env->SetLongArrayRegion(array, 0, 1, &value);
}

jsize length_of(JNIEnv* env, jarray array) {
  return array && !env->ExceptionCheck() ? env->GetArrayLength(array) : 0;
}

bool in_bounds(JNIEnv* env, jarray array, jint offset, jint count) {
  jint length = length_of(env, array);
  return offset >= 0 && count >= 0 && offset <= length && count <= length - offset;
}

bool holds(JNIEnv* env, jarray array, size_t size) {
  return size == 0 || static_cast<size_t>(length_of(env, array)) >= size;
}

bool holds_text(JNIEnv* env, jbyteArray array, const BYTE* elems) {
  return elems && std::memchr(elems, 0, static_cast<size_t>(length_of(env, array))) != nullptr;
}

wchar_t* multi2wchar(unsigned codePage, const char* text) {
  if (!text) return nullptr;
  int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  wchar_t* out = new (std::nothrow) wchar_t[n];
  if (!out) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (MultiByteToWideChar(codePage, 0, text, -1, out, n) == 0) {
    delete[] out;
    return nullptr;
  }
  return out;
}

char* wchar2multi(unsigned codePage, const wchar_t* text) {
  if (!text) return nullptr;
  int n = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return nullptr;
  char* out = new (std::nothrow) char[n];
  if (!out) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (WideCharToMultiByte(codePage, 0, text, -1, out, n, nullptr, nullptr) == 0) {
    delete[] out;
    return nullptr;
  }
  return out;
}

}  // namespace quill
