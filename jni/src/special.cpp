#include "special.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace quill {

jint last_error_code() {
  DWORD code = GetLastError();
  return code ? static_cast<jint>(code) : static_cast<jint>(NTE_FAIL);
}

Frame::~Frame() {
  for (int i = 0; i < nstrings_; ++i) env_->ReleaseStringUTFChars(strings_[i].text, strings_[i].chars);
  for (int i = 0; i < nranges_; ++i) {
    const Range& r = ranges_[i];
    if (r.secret) {
      for (volatile BYTE* p = r.data; p != r.data + r.size; ++p) *p = 0;
    }
    if (r.heap) delete[] r.data;
  }
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

BYTE* Frame::storage(size_t size, bool secret) {
  if (failed_) return nullptr;
  if (nranges_ == kMax) {  // more ranges than any native takes: never hand on a silent null
    failed_ = true;
    return nullptr;
  }
  // Rounded up so that every range starts aligned for the structures the
  // platform reads through it.
  const size_t rounded = (size + 15) & ~size_t(15);
  BYTE* data;
  bool heap = rounded > kLocal - local_used_ || rounded < size;
  if (!heap) {
    data = local_ + local_used_;
    local_used_ += rounded;
  } else {
    data = new (std::nothrow) BYTE[size ? size : 1];
    if (!data) {
      failed_ = true;
      return nullptr;
    }
  }
  ranges_[nranges_++] = {data, size, heap, secret};
  return data;
}

BYTE* Frame::copy_in(jbyteArray array, jint offset, jint count, bool secret) {
  if (!array) return nullptr;
  if (env_->ExceptionCheck() || offset < 0 || count < 0) {
    failed_ = true;
    return nullptr;
  }
  BYTE* data = storage(static_cast<size_t>(count), secret);
  if (data && count > 0) env_->GetByteArrayRegion(array, offset, count, reinterpret_cast<jbyte*>(data));
  return copied(data);
}

// A range outside its array (a native that skipped its bounds check) makes
// the VM raise an exception: that is cleared and counts as a failed copy.
template <class T>
T* Frame::copied(T* data) {
  if (!data || !env_->ExceptionCheck()) return data;
  env_->ExceptionClear();
  failed_ = true;
  return nullptr;
}

DWORD* Frame::in(jintArray array, jint offset, jint count) {
  if (!array) return nullptr;
  if (env_->ExceptionCheck() || offset < 0 || count < 0 || count > INT32_MAX / 4) {
    failed_ = true;
    return nullptr;
  }
  BYTE* data = storage(static_cast<size_t>(count) * 4, false);
  if (data && count > 0) env_->GetIntArrayRegion(array, offset, count, reinterpret_cast<jint*>(data));
  return reinterpret_cast<DWORD*>(copied(data));
}

Output Frame::room(jbyteArray array, jint capacity, jint preset, bool secret) {
  Output out;
  if (!array) return out;
  if (env_->ExceptionCheck() || capacity < 0 || preset < 0 || preset > capacity) {
    failed_ = true;
    return out;
  }
  BYTE* data = storage(static_cast<size_t>(capacity), secret);
  if (!data) return out;
  if (preset > 0) env_->GetByteArrayRegion(array, 0, preset, reinterpret_cast<jbyte*>(data));
  if (!copied(data)) return out;
  std::memset(data + preset, 0, static_cast<size_t>(capacity - preset));
  out.env_ = env_;
  out.array_ = array;
  out.data_ = data;
  out.capacity_ = capacity;
  return out;
}

void Output::put(DWORD count) const {
  if (!data_ || env_->ExceptionCheck()) return;
  jint n = count < static_cast<DWORD>(capacity_) ? static_cast<jint>(count) : capacity_;
  if (n > 0) env_->SetByteArrayRegion(array_, 0, n, reinterpret_cast<const jbyte*>(data_));
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

void move_to_front(JNIEnv* env, jbyteArray array, jint from, jint count) {
  if (!array || from <= 0 || count <= 0 || env->ExceptionCheck()) return;
  if (void* elems = env->GetPrimitiveArrayCritical(array, nullptr)) {
    auto* bytes = static_cast<BYTE*>(elems);
    std::memmove(bytes, bytes + from, static_cast<size_t>(count));
    env->ReleasePrimitiveArrayCritical(array, elems, 0);
    return;
  }
  // Refused (the VM's OutOfMemoryError is cleared): front to back, each
  // piece read before anything at or after its source is written.
  env->ExceptionClear();
  jbyte piece[4096];
  for (jint at = 0; at < count;) {
    jint n = count - at < jint(sizeof piece) ? count - at : jint(sizeof piece);
    env->GetByteArrayRegion(array, from + at, n, piece);
    env->SetByteArrayRegion(array, at, n, piece);
    at += n;
  }
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

jint attach_key_context(PCCERT_CONTEXT cert, HCRYPTPROV prov, DWORD key_spec) {
  if (!CryptContextAddRef(prov, nullptr, 0)) return last_error_code();
  CERT_KEY_CONTEXT context;
  std::memset(&context, 0, sizeof context);
  context.cbSize = sizeof context;
  context.hCryptProv = prov;
  context.dwKeySpec = key_spec;
  if (!CertSetCertificateContextProperty(cert, CERT_KEY_CONTEXT_PROP_ID, 0, &context)) {
    jint rc = last_error_code();
    CryptReleaseContext(prov, 0);  // the property did not take it
    return rc;
  }
  return 0;
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
