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
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fakejni {

class Env;
struct Class;

struct Object {
  virtual ~Object() = default;
  const Class* cls = nullptr;  // set for instances made through the object model
};

// Just enough of an object model for the store walk: classes with methods
// (instance methods and constructors, implemented in C++), instances,
// java/util/ArrayList and ContainerExtensionStructure.
using Impl = std::function<jvalue(Env&, jobject self, const std::vector<jvalue>& args)>;
struct Method {
  std::string name, signature;
  Impl impl;
};
struct Class : Object {
  std::string name;
  std::map<std::string, std::unique_ptr<Method>> methods;  // by name + signature
  std::function<std::unique_ptr<Object>()> make;           // a blank instance for NewObject
};
struct List : Object {
  std::vector<jobject> items;
};
// What generateCertificate returns: equal when the DER bytes are.
struct Certificate : Object {
  std::vector<unsigned char> der;
};
struct Extension : Object {
  bool critical = true;
  std::string oid;
  std::vector<unsigned char> value;
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
  unsigned char* data_of(jbyteArray a) const { return as(a)->data.data(); }
  jint int_at(jintArray a, size_t i) const;
  jlong long_at(jlongArray a, size_t i) const;

  // The object model. Classes named here are what FindClass finds.
  Class* define(const std::string& name, std::function<std::unique_ptr<Object>()> make);
  void method(Class* cls, const std::string& name, const std::string& signature, Impl impl);
  jobject instance(Class* cls);
  jobject adopt(std::unique_ptr<Object> o) { return keep<jobject>(std::move(o)); }
  Class* find(const std::string& name);
  std::string utf(jobject s) const;  // "<null>" for a null string
  // JNI calls made while an exception was pending, other than the
  // exception check and clear and the releases.
  int calls_while_pending() const { return calls_while_pending_; }
  void touch() {
    if (pending_) ++calls_while_pending_;
  }

  // Borrowed element buffers and string characters not given back yet.
  int outstanding() const { return outstanding_; }
  bool pending() const { return pending_ != nullptr; }
  std::string pending_what() const;
  void clear_pending() { pending_ = nullptr; }
  // Makes the Nth element access from now on (1 = the next) return null,
  // as a VM out of memory would, with an OutOfMemoryError pending.
  void fail_element_access(int nth) { fail_countdown_ = nth; }
  // Releases with a mode other than 0 (the bridge always uses 0, or for a
  // secret JNI_COMMIT and then JNI_ABORT, which is the same with a wipe
  // between).
  int nonzero_release_modes() const { return bad_modes_; }
  // Bytes copied out of and into byte arrays by region calls so far.
  size_t bytes_read_ = 0;
  size_t bytes_written_ = 0;

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
  std::set<void*> committed_;
  int calls_while_pending_ = 0;
  std::map<std::string, Class*> classes_;
};

// The Java key store object a walk calls back: records every callback in
// order and every entry as delivered.
struct Entry {
  bool has_key = false;
  std::string container, source, unique, provider, alias;
  jint prov_type = 0, key_spec = 0;
  jlong prov = 0, key = 0;
  jint spec = 0, free_prov = 0;
  std::vector<std::vector<unsigned char>> chain;
  const Extension* extension = nullptr;
};
struct KeyStore : Object {
  std::vector<std::string> calls;  // "certificate", "certificates", "chain", "key"
  std::vector<Entry> entries;
  std::string throw_in;            // a callback that leaves an exception pending
};
// Defines the key store class (once per Env) and makes an instance. A
// callback named in `missing` is left out of the class.
jobject key_store(Env& env, const std::string& missing = "");
inline KeyStore* key_store_of(jobject o) { return static_cast<KeyStore*>(reinterpret_cast<Object*>(o)); }

}  // namespace fakejni

#endif
