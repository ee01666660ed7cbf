// A small stand-in for a JVM's JNIEnv, enough to call the bridge's natives
// from a plain program: on Linux against the CSP, on Windows (under Wine)
// against the system CryptoAPI. It counts borrowed array elements and
// string characters, so a test can assert that a native gave everything
// back, and it can be told to refuse the Nth element access, which a real
// JVM almost never does.
#ifndef QUILL_FAKEJNI_H
#define QUILL_FAKEJNI_H

#include <jni.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace fakejni {

struct Object {
  virtual ~Object() = default;
};

struct Array : Object {
  char type;            // 'B', 'I', 'J' or 'L' (object array)
  size_t elem;          // element size in bytes
  std::vector<unsigned char> data;
  std::vector<jobject> objects;
  Array(char t, size_t e, size_t n) : type(t), elem(e), data(n * e) {}
  jsize length() const { return jsize(type == 'L' ? objects.size() : data.size() / elem); }
};

struct String : Object {
  std::string utf;  // modified UTF-8, as GetStringUTFChars gives it
};

struct Throwable : Object {
  std::string what;
};

class Env {
 public:
  Env();
  ~Env() = default;
  JNIEnv* env() { return &env_; }

  jbyteArray bytes(const std::vector<unsigned char>& v);
  jbyteArray bytes(size_t n) { return bytes(std::vector<unsigned char>(n)); }
  jintArray ints(std::vector<jint> v);
  jlongArray longs(std::vector<jlong> v);
  jstring string(const std::string& utf);

  std::vector<unsigned char> bytes_of(jbyteArray a) const { return as(a)->data; }
  jint int_at(jintArray a, size_t i) const;
  jlong long_at(jlongArray a, size_t i) const;

  // Borrowed element buffers and string characters not given back yet.
  int outstanding() const { return outstanding_; }
  bool pending() const { return pending_ != nullptr; }
  std::string pending_what() const;
  void clear_pending() { pending_ = nullptr; }
  // Makes the Nth element access from now on (1 = the next) return null,
  // as a VM out of memory would, with an OutOfMemoryError pending.
  void fail_element_access(int nth) { fail_countdown_ = nth; }
  // Releases with a mode other than 0 (the bridge always uses 0).
  int nonzero_release_modes() const { return bad_modes_; }

  static Array* as(jobject o) { return static_cast<Array*>(reinterpret_cast<Object*>(o)); }
  void raise(const std::string& what);
  void* borrow(jarray a);
  void give_back(jarray a, void* elems, jint mode);
  const char* borrow_chars(jstring s);
  void give_back_chars(const char* chars);
  bool take_failure();

 private:
  template <class T>
  T keep(std::unique_ptr<Object> o) {
    T r = reinterpret_cast<T>(o.get());
    objects_.push_back(std::move(o));
    return r;
  }

  JNINativeInterface_ table_;
  JNIEnv_ env_;
  std::vector<std::unique_ptr<Object>> objects_;
  jobject pending_ = nullptr;
  int outstanding_ = 0;
  int fail_countdown_ = 0;
  int bad_modes_ = 0;
};

}  // namespace fakejni

#endif
