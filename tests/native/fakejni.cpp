#include "fakejni.h"

#include <cstdlib>

namespace fakejni {

namespace {

Env* self(JNIEnv* e) {
  // The table is the first member of Env's JNIEnv_, and Env keeps a back
  // pointer in the table's reserved0 slot.
  return static_cast<Env*>(e->functions->reserved0);
}

jint JNICALL GetArrayLength(JNIEnv*, jarray a) { return Env::as(a)->length(); }

jthrowable JNICALL ExceptionOccurred(JNIEnv* e) {
  Env* env = self(e);
  return env->pending() ? reinterpret_cast<jthrowable>(env) : nullptr;
}
jboolean JNICALL ExceptionCheck(JNIEnv* e) { return self(e)->pending() ? JNI_TRUE : JNI_FALSE; }
void JNICALL ExceptionClear(JNIEnv* e) { self(e)->clear_pending(); }
void JNICALL DeleteLocalRef(JNIEnv*, jobject) {}

jbyte* JNICALL GetByteArrayElements(JNIEnv* e, jbyteArray a, jboolean* is_copy) {
  if (is_copy) *is_copy = JNI_TRUE;
  return static_cast<jbyte*>(self(e)->borrow(a));
}
void JNICALL ReleaseByteArrayElements(JNIEnv* e, jbyteArray a, jbyte* p, jint mode) {
  self(e)->give_back(a, p, mode);
}
jint* JNICALL GetIntArrayElements(JNIEnv* e, jintArray a, jboolean* is_copy) {
  if (is_copy) *is_copy = JNI_TRUE;
  return static_cast<jint*>(self(e)->borrow(a));
}
void JNICALL ReleaseIntArrayElements(JNIEnv* e, jintArray a, jint* p, jint mode) {
  self(e)->give_back(a, p, mode);
}

template <class T>
void get_region(JNIEnv* e, jarray a, jsize start, jsize len, T* buf) {
  Array* arr = Env::as(a);
  if (start < 0 || len < 0 || start > arr->length() - len) {
    self(e)->raise("java/lang/ArrayIndexOutOfBoundsException");
    return;
  }
  memcpy(buf, arr->data.data() + size_t(start) * sizeof(T), size_t(len) * sizeof(T));
}
template <class T>
void set_region(JNIEnv* e, jarray a, jsize start, jsize len, const T* buf) {
  Array* arr = Env::as(a);
  if (start < 0 || len < 0 || start > arr->length() - len) {
    self(e)->raise("java/lang/ArrayIndexOutOfBoundsException");
    return;
  }
  memcpy(arr->data.data() + size_t(start) * sizeof(T), buf, size_t(len) * sizeof(T));
}

void JNICALL GetIntArrayRegion(JNIEnv* e, jintArray a, jsize s, jsize n, jint* b) {
  get_region(e, a, s, n, b);
}
void JNICALL SetIntArrayRegion(JNIEnv* e, jintArray a, jsize s, jsize n, const jint* b) {
  set_region(e, a, s, n, b);
}
void JNICALL GetLongArrayRegion(JNIEnv* e, jlongArray a, jsize s, jsize n, jlong* b) {
  get_region(e, a, s, n, b);
}
void JNICALL SetLongArrayRegion(JNIEnv* e, jlongArray a, jsize s, jsize n, const jlong* b) {
  set_region(e, a, s, n, b);
}
void JNICALL GetByteArrayRegion(JNIEnv* e, jbyteArray a, jsize s, jsize n, jbyte* b) {
  get_region(e, a, s, n, b);
}
void JNICALL SetByteArrayRegion(JNIEnv* e, jbyteArray a, jsize s, jsize n, const jbyte* b) {
  set_region(e, a, s, n, b);
}
jbyteArray JNICALL NewByteArray(JNIEnv* e, jsize n) {
  return self(e)->bytes(size_t(n));
}
const char* JNICALL GetStringUTFChars(JNIEnv* e, jstring s, jboolean* is_copy) {
  if (is_copy) *is_copy = JNI_TRUE;
  return self(e)->borrow_chars(s);
}
void JNICALL ReleaseStringUTFChars(JNIEnv* e, jstring, const char* chars) {
  self(e)->give_back_chars(chars);
}
jstring JNICALL NewStringUTF(JNIEnv* e, const char* utf) { return self(e)->string(utf); }

}  // namespace

Env::Env() : table_(), env_() {
  table_.reserved0 = this;
  table_.GetArrayLength = GetArrayLength;
  table_.ExceptionOccurred = ExceptionOccurred;
  table_.ExceptionCheck = ExceptionCheck;
  table_.ExceptionClear = ExceptionClear;
  table_.DeleteLocalRef = DeleteLocalRef;
  table_.GetByteArrayElements = GetByteArrayElements;
  table_.ReleaseByteArrayElements = ReleaseByteArrayElements;
  table_.GetIntArrayElements = GetIntArrayElements;
  table_.ReleaseIntArrayElements = ReleaseIntArrayElements;
  table_.GetIntArrayRegion = GetIntArrayRegion;
  table_.SetIntArrayRegion = SetIntArrayRegion;
  table_.GetLongArrayRegion = GetLongArrayRegion;
  table_.SetLongArrayRegion = SetLongArrayRegion;
  table_.GetByteArrayRegion = GetByteArrayRegion;
  table_.SetByteArrayRegion = SetByteArrayRegion;
  table_.NewByteArray = NewByteArray;
  table_.GetStringUTFChars = GetStringUTFChars;
  table_.ReleaseStringUTFChars = ReleaseStringUTFChars;
  table_.NewStringUTF = NewStringUTF;
  env_.functions = &table_;
}

jbyteArray Env::bytes(const std::vector<unsigned char>& v) {
  auto a = std::make_unique<Array>('B', 1, v.size());
  a->data = v;
  return keep<jbyteArray>(std::move(a));
}

jintArray Env::ints(std::vector<jint> v) {
  auto a = std::make_unique<Array>('I', sizeof(jint), v.size());
  if (!v.empty()) memcpy(a->data.data(), v.data(), v.size() * sizeof(jint));
  return keep<jintArray>(std::move(a));
}

jlongArray Env::longs(std::vector<jlong> v) {
  auto a = std::make_unique<Array>('J', sizeof(jlong), v.size());
  if (!v.empty()) memcpy(a->data.data(), v.data(), v.size() * sizeof(jlong));
  return keep<jlongArray>(std::move(a));
}

jstring Env::string(const std::string& utf) {
  auto s = std::make_unique<String>();
  s->utf = utf;
  return keep<jstring>(std::move(s));
}

jint Env::int_at(jintArray a, size_t i) const {
  jint v;
  memcpy(&v, as(a)->data.data() + i * sizeof v, sizeof v);
  return v;
}

jlong Env::long_at(jlongArray a, size_t i) const {
  jlong v;
  memcpy(&v, as(a)->data.data() + i * sizeof v, sizeof v);
  return v;
}

std::string Env::pending_what() const { return pending_ ? "exception" : ""; }

void Env::raise(const std::string&) { pending_ = reinterpret_cast<jobject>(this); }

bool Env::take_failure() {
  if (fail_countdown_ > 0 && --fail_countdown_ == 0) {
    raise("java/lang/OutOfMemoryError");
    return true;
  }
  return false;
}

void* Env::borrow(jarray a) {
  if (take_failure()) return nullptr;
  Array* arr = as(a);
  // A copy, as most VMs give: what the native writes reaches the array only
  // when it releases with mode 0 (or JNI_COMMIT).
  // Exactly as long as the array (one byte for an empty one, so that the
  // pointer is not null), so that a memory checker sees any read past it.
  unsigned char* copy = static_cast<unsigned char*>(malloc(arr->data.empty() ? 1 : arr->data.size()));
  if (!arr->data.empty()) memcpy(copy, arr->data.data(), arr->data.size());
  ++outstanding_;
  return copy;
}

void Env::give_back(jarray a, void* elems, jint mode) {
  Array* arr = as(a);
  if (mode != 0) ++bad_modes_;
  if (mode == 0 || mode == JNI_COMMIT) {
    if (!arr->data.empty()) memcpy(arr->data.data(), elems, arr->data.size());
  }
  if (mode != JNI_COMMIT) {
    free(elems);
    --outstanding_;
  }
}

const char* Env::borrow_chars(jstring s) {
  if (take_failure()) return nullptr;
  const std::string& utf = reinterpret_cast<String*>(reinterpret_cast<Object*>(s))->utf;
  char* copy = static_cast<char*>(malloc(utf.size() + 1));
  memcpy(copy, utf.c_str(), utf.size() + 1);
  ++outstanding_;
  return copy;
}

void Env::give_back_chars(const char* chars) {
  free(const_cast<char*>(chars));
  --outstanding_;
}

}  // namespace fakejni
