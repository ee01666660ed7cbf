#include "fakejni.h"

#include <cstdarg>
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
void* JNICALL GetPrimitiveArrayCritical(JNIEnv* e, jarray a, jboolean* is_copy) {
  if (is_copy) *is_copy = JNI_TRUE;
  return self(e)->borrow(a);
}
void JNICALL ReleasePrimitiveArrayCritical(JNIEnv* e, jarray a, void* p, jint mode) {
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
  if (n > 0) self(e)->bytes_read_ += size_t(n);
  get_region(e, a, s, n, b);
}
void JNICALL SetByteArrayRegion(JNIEnv* e, jbyteArray a, jsize s, jsize n, const jbyte* b) {
  self(e)->touch();
  if (n > 0) self(e)->bytes_written_ += size_t(n);
  set_region(e, a, s, n, b);
}
jbyteArray JNICALL NewByteArray(JNIEnv* e, jsize n) {
  self(e)->touch();
  return self(e)->bytes(size_t(n));
}
const char* JNICALL GetStringUTFChars(JNIEnv* e, jstring s, jboolean* is_copy) {
  if (is_copy) *is_copy = JNI_TRUE;
  return self(e)->borrow_chars(s);
}
void JNICALL ReleaseStringUTFChars(JNIEnv* e, jstring, const char* chars) {
  self(e)->give_back_chars(chars);
}
// The stand-in's strings are modified UTF-8 of characters of the Basic
// Multilingual Plane: one UTF-16 unit per lead byte.
const std::string& utf_of(jstring s) { return reinterpret_cast<String*>(reinterpret_cast<Object*>(s))->utf; }
jsize JNICALL GetStringLength(JNIEnv*, jstring s) {
  jsize n = 0;
  for (unsigned char c : utf_of(s)) n += (c & 0xC0) != 0x80;
  return n;
}
jsize JNICALL GetStringUTFLength(JNIEnv*, jstring s) { return jsize(utf_of(s).size()); }
void JNICALL GetStringUTFRegion(JNIEnv* e, jstring s, jsize start, jsize len, char* buf) {
  const std::string& utf = utf_of(s);
  if (start < 0 || len < 0 || start + len > GetStringLength(e, s)) {
    self(e)->raise("java/lang/StringIndexOutOfBoundsException");
    return;
  }
  size_t at = 0;
  jsize unit = -1;
  for (unsigned char c : utf) {
    if ((c & 0xC0) != 0x80) ++unit;
    if (unit >= start + len) break;
    if (unit >= start) buf[at++] = char(c);
  }
  buf[at] = 0;
}
jstring JNICALL NewStringUTF(JNIEnv* e, const char* utf) {
  self(e)->touch();
  return self(e)->string(utf);
}

Object* object(jobject o) { return reinterpret_cast<Object*>(o); }

jclass JNICALL FindClass(JNIEnv* e, const char* name) {
  self(e)->touch();
  Class* c = self(e)->find(name);
  if (!c) self(e)->raise("java/lang/NoClassDefFoundError");
  return reinterpret_cast<jclass>(c);
}
jclass JNICALL GetObjectClass(JNIEnv* e, jobject o) {
  self(e)->touch();
  return reinterpret_cast<jclass>(const_cast<Class*>(object(o)->cls));
}
jmethodID JNICALL GetMethodID(JNIEnv* e, jclass c, const char* name, const char* sig) {
  self(e)->touch();
  Class* cls = static_cast<Class*>(object(c));
  const Method* found = nullptr;
  if (cls) {
    auto it = cls->methods.find(std::string(name) + sig);
    if (it != cls->methods.end()) found = it->second.get();
  }
  if (!found) self(e)->raise("java/lang/NoSuchMethodError");
  return reinterpret_cast<jmethodID>(const_cast<Method*>(found));
}

// The arguments a signature describes, taken from a va_list.
std::vector<jvalue> arguments(const std::string& sig, va_list ap) {
  std::vector<jvalue> args;
  for (size_t i = 1; i < sig.size() && sig[i] != ')'; ++i) {
    jvalue v;
    v.j = 0;
    switch (sig[i]) {
      case 'Z': v.z = jboolean(va_arg(ap, int)); break;
      case 'B': case 'C': case 'S': case 'I': v.i = va_arg(ap, jint); break;
      case 'J': v.j = va_arg(ap, jlong); break;
      case 'F': case 'D': v.d = va_arg(ap, double); break;
      case '[':
        while (sig[i] == '[') ++i;
        if (sig[i] == 'L') i = sig.find(';', i);
        v.l = va_arg(ap, jobject);
        break;
      default:  // 'L'
        i = sig.find(';', i);
        v.l = va_arg(ap, jobject);
        break;
    }
    args.push_back(v);
  }
  return args;
}

jvalue call(JNIEnv* e, jobject o, jmethodID m, va_list ap) {
  self(e)->touch();
  const Method* method = reinterpret_cast<const Method*>(m);
  return method->impl(*self(e), o, arguments(method->signature, ap));
}
jobject JNICALL NewObjectV(JNIEnv* e, jclass c, jmethodID m, va_list ap) {
  jobject o = self(e)->instance(static_cast<Class*>(object(c)));
  call(e, o, m, ap);
  return o;
}
jobject JNICALL CallObjectMethodV(JNIEnv* e, jobject o, jmethodID m, va_list ap) {
  return call(e, o, m, ap).l;
}
jboolean JNICALL CallBooleanMethodV(JNIEnv* e, jobject o, jmethodID m, va_list ap) {
  return call(e, o, m, ap).z;
}
void JNICALL CallVoidMethodV(JNIEnv* e, jobject o, jmethodID m, va_list ap) { call(e, o, m, ap); }

jvalue nothing() {
  jvalue v;
  v.j = 0;
  return v;
}

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
  table_.GetPrimitiveArrayCritical = GetPrimitiveArrayCritical;
  table_.ReleasePrimitiveArrayCritical = ReleasePrimitiveArrayCritical;
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
  table_.GetStringLength = GetStringLength;
  table_.GetStringUTFLength = GetStringUTFLength;
  table_.GetStringUTFRegion = GetStringUTFRegion;
  table_.NewStringUTF = NewStringUTF;
  table_.FindClass = FindClass;
  table_.GetObjectClass = GetObjectClass;
  table_.GetMethodID = GetMethodID;
  table_.NewObjectV = NewObjectV;
  table_.CallObjectMethodV = CallObjectMethodV;
  table_.CallBooleanMethodV = CallBooleanMethodV;
  table_.CallVoidMethodV = CallVoidMethodV;
  env_.functions = &table_;

  Class* list = define("java/util/ArrayList", [] { return std::make_unique<List>(); });
  method(list, "<init>", "()V", [](Env&, jobject, const std::vector<jvalue>&) { return nothing(); });
  method(list, "contains", "(Ljava/lang/Object;)Z",
         [](Env&, jobject self, const std::vector<jvalue>& a) {
           jvalue r = nothing();
           auto* wanted = dynamic_cast<Certificate*>(object(a[0].l));
           for (jobject item : static_cast<List*>(object(self))->items) {
             auto* c = dynamic_cast<Certificate*>(object(item));
             if (item == a[0].l || (c && wanted && c->der == wanted->der)) r.z = JNI_TRUE;
           }
           return r;
         });
  Class* ext = define("ru/Kestrel/Quill/CStructReader/ContainerExtensionStructure",
                      [] { return std::make_unique<Extension>(); });
  method(ext, "<init>", "(ZLjava/lang/String;[B)V",
         [](Env& env, jobject self, const std::vector<jvalue>& a) {
           auto* x = static_cast<Extension*>(object(self));
           x->critical = a[0].z != JNI_FALSE;
           x->oid = env.utf(a[1].l);
           if (a[2].l) x->value = Env::as(a[2].l)->data;
           return nothing();
         });
}

Class* Env::define(const std::string& name, std::function<std::unique_ptr<Object>()> make) {
  auto c = std::make_unique<Class>();
  c->name = name;
  c->make = std::move(make);
  Class* raw = c.get();
  classes_[name] = raw;
  objects_.push_back(std::move(c));
  return raw;
}

void Env::method(Class* cls, const std::string& name, const std::string& signature, Impl impl) {
  auto m = std::make_unique<Method>();
  m->name = name;
  m->signature = signature;
  m->impl = std::move(impl);
  cls->methods[name + signature] = std::move(m);
}

jobject Env::instance(Class* cls) {
  std::unique_ptr<Object> o = cls->make();
  o->cls = cls;
  return adopt(std::move(o));
}

Class* Env::find(const std::string& name) {
  auto it = classes_.find(name);
  return it == classes_.end() ? nullptr : it->second;
}

std::string Env::utf(jobject s) const {
  return s ? reinterpret_cast<String*>(reinterpret_cast<Object*>(s))->utf : "<null>";
}

jobject key_store(Env& env, const std::string& missing) {
  std::string name = "quill/KeyStore" + missing;
  Class* c = env.find(name);
  if (c) return env.instance(c);
  c = env.define(name, [] { return std::make_unique<KeyStore>(); });
  // Records the call; true when the test asked this callback to throw.
  auto record = [](Env& e, jobject self, const char* what) {
    KeyStore* ks = key_store_of(self);
    ks->calls.push_back(what);
    if (ks->throw_in != what) return false;
    e.raise("java/lang/RuntimeException");
    return true;
  };
  auto certificate = [](Env& e, jobject der) {
    auto cert = std::make_unique<Certificate>();
    cert->der = Env::as(der)->data;
    return e.adopt(std::move(cert));
  };
  auto strings = [](Env& e, Entry& x, const std::vector<jvalue>& a) {
    x.container = e.utf(a[0].l);
    x.source = e.utf(a[1].l);
    x.unique = e.utf(a[2].l);
    x.provider = e.utf(a[3].l);
    x.alias = e.utf(a[4].l);
    x.prov_type = a[5].i;
    x.key_spec = a[6].i;
  };
  auto chain_of = [](Entry& x, jobject list) {
    for (jobject item : static_cast<List*>(reinterpret_cast<Object*>(list))->items) {
      x.chain.push_back(static_cast<Certificate*>(reinterpret_cast<Object*>(item))->der);
    }
  };
  std::map<std::string, std::pair<std::string, Impl>> callbacks;
  callbacks["generateCertificate"] = {
      "([B)Ljava/security/cert/X509Certificate;",
      [=](Env& e, jobject self, const std::vector<jvalue>& a) {
        jvalue r = nothing();
        if (!record(e, self, "certificate")) r.l = certificate(e, a[0].l);
        return r;
      }};
  callbacks["generateCertificates"] = {
      "([BLjava/util/Collection;)V", [=](Env& e, jobject self, const std::vector<jvalue>& a) {
        if (!record(e, self, "certificates")) {
          static_cast<List*>(reinterpret_cast<Object*>(a[1].l))->items.push_back(certificate(e, a[0].l));
        }
        return nothing();
      }};
  callbacks["generateCertificateChain"] = {
      "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;"
      "Ljava/lang/String;IILjava/util/Collection;)V",
      [=](Env& e, jobject self, const std::vector<jvalue>& a) {
        if (record(e, self, "chain")) return nothing();
        Entry x;
        strings(e, x, a);
        chain_of(x, a[7].l);
        key_store_of(self)->entries.push_back(x);
        return nothing();
      }};
  callbacks["generateKeyAndCertificateChain"] = {
      "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;"
      "Ljava/lang/String;IIJJIILjava/util/Collection;"
      "Lru/Kestrel/Quill/CStructReader/ContainerExtensionStructure;)V",
      [=](Env& e, jobject self, const std::vector<jvalue>& a) {
        if (record(e, self, "key")) return nothing();
        Entry x;
        strings(e, x, a);
        x.has_key = true;
        x.prov = a[7].j;
        x.key = a[8].j;
        x.spec = a[9].i;
        x.free_prov = a[10].i;
        chain_of(x, a[11].l);
        x.extension = static_cast<const Extension*>(reinterpret_cast<Object*>(a[12].l));
        key_store_of(self)->entries.push_back(x);
        return nothing();
      }};
  for (auto& cb : callbacks) {
    if (cb.first != missing) env.method(c, cb.first, cb.second.first, cb.second.second);
  }
  return env.instance(c);
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
  bool after_commit = mode == JNI_ABORT && committed_.erase(elems) == 1;
  if (mode == JNI_COMMIT) committed_.insert(elems);
  else if (mode != 0 && !after_commit) ++bad_modes_;
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
