// Helpers every native shares: the error-code rule, handle narrowing and
// widening, scoped access to Java arrays and strings, one-element region
// copies, and text conversion between code pages and wide strings.
//
// A native reads top to bottom: open a Frame, take its strings through it,
// return 574 if a Java exception is pending, check bounds (87), copy in the
// array ranges the platform reads (8 when there is no memory for them),
// call the platform, form the code, write back the range it produced and
// the one-element outputs. Arrays are never borrowed: a native copies in
// only the range the platform reads (GetByteArrayRegion) and writes back
// only the bytes the platform produced (SetByteArrayRegion), so its cost
// follows the range, not the array, and bytes another Java thread stores
// elsewhere in the array during the call are not overwritten. The Frame
// gives everything back when the native returns, on every path: string
// characters, then its buffers (secret ones wiped first).
#ifndef QUILL_SPECIAL_H
#define QUILL_SPECIAL_H

#include <jni.h>

#include <cstdint>

#include "capi.h"

namespace quill {

constexpr jint kNotEnoughMemory = 8;     // ERROR_NOT_ENOUGH_MEMORY
constexpr jint kInvalidParameter = 87;   // ERROR_INVALID_PARAMETER
constexpr jint kPendingException = 574;  // ERROR_UNHANDLED_EXCEPTION

// The code of a failed platform call: its last error, or NTE_FAIL when the
// platform set none.
jint last_error_code();
inline jint result_of(BOOL ok) { return ok ? 0 : last_error_code(); }

// Handles cross as Java longs. A 32-bit build uses the low 32 bits and gives
// handles back zero-extended; a 64-bit build uses all of them.
template <class H>
H to_handle(jlong value) {
  return (H)(uintptr_t)(uint64_t)value;
}
template <class H>
jlong from_handle(H handle) {
  return (jlong)(uint64_t)(uintptr_t)handle;
}

class Frame;

// Room for a range the platform writes into, starting at element 0 of a
// Java byte array: the storage is the Frame's, and nothing reaches the
// array until put() writes back what the platform produced.
class Output {
 public:
  Output() = default;
  // Null for a null array, or when there was no memory (failed() is set).
  BYTE* data() const { return data_; }
  explicit operator bool() const { return data_ != nullptr; }
  // Writes the first `count` bytes (never more than the room holds) to the
  // array. Nothing is written for a null array or while an exception is
  // pending.
  void put(DWORD count) const;

 private:
  friend class Frame;
  JNIEnv* env_ = nullptr;
  jbyteArray array_ = nullptr;
  BYTE* data_ = nullptr;
  jint capacity_ = 0;
};

class Frame {
 public:
  explicit Frame(JNIEnv* env) : env_(env) {}
  ~Frame();
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  // A copy of [offset, offset + count) of an array, which the caller has
  // checked with in_bounds. Nothing is written back. A null array gives a
  // null pointer; an empty range a valid pointer to no bytes. When the
  // storage cannot be had (or an exception is pending) the pointer is null
  // and failed() turns true.
  BYTE* in(jbyteArray array, jint offset, jint count) { return copy_in(array, offset, count, false); }
  DWORD* in(jintArray array, jint offset, jint count);
  // The same for a range that holds a secret (a PIN, key material): its
  // storage is wiped before it is freed. The VM makes no copy of its own.
  BYTE* secret_in(jbyteArray array, jint offset, jint count) { return copy_in(array, offset, count, true); }
  // Room for `capacity` bytes of output at the start of an array (checked
  // with in_bounds), zeroed, of which the first `preset` bytes are copied
  // in first (for data the platform transforms in place).
  Output out(jbyteArray array, jint capacity, jint preset = 0) { return room(array, capacity, preset, false); }
  Output secret_out(jbyteArray array, jint capacity, jint preset = 0) {
    return room(array, capacity, preset, true);
  }
  // Modified UTF-8 characters of a string, or null (for a null string, or
  // when the VM raised an exception, which exception_pending() then finds).
  // Past the Frame's capacity the pointer is null and failed() turns true.
  const char* utf(jstring text);
  // The modified UTF-8 of a secret string (a password), copied by the VM
  // into a buffer of the Frame's that is wiped before it is freed, so that
  // no copy of the VM's own is left behind. Null as for utf().
  const char* secret_utf(jstring text);
  // Takes ownership of a buffer made with new[] (by multi2wchar or
  // wchar2multi); it is freed after everything else. A null buffer (a failed
  // conversion) gives null; past the Frame's capacity the buffer is freed at
  // once, the result is null and failed() turns true.
  char* keep(char* buffer) { return keep_buffer(buffer, false, false) ? buffer : nullptr; }
  wchar_t* keep(wchar_t* buffer) { return keep_buffer(buffer, true, false) ? buffer : nullptr; }
  // The same for a converted password: it is wiped before it is freed, on
  // every path out of the native.
  wchar_t* keep_secret(wchar_t* buffer) { return keep_buffer(buffer, true, true) ? buffer : nullptr; }

  bool failed() const { return failed_; }
  // Clears a pending Java exception and reports whether there was one.
  bool exception_pending();

 private:
  bool keep_buffer(void* buffer, bool wide, bool secret);
  // Storage of `size` bytes: from the Frame's own block while it lasts, else
  // from the heap; null (failed() set) without memory or past kMax.
  BYTE* storage(size_t size, bool secret);
  BYTE* copy_in(jbyteArray array, jint offset, jint count, bool secret);
  Output room(jbyteArray array, jint capacity, jint preset, bool secret);
  template <class T>
  T* copied(T* data);
  static constexpr int kMax = 6;
  // Small ranges (a hash value, a block, a signature, a key blob) need no
  // heap allocation.
  static constexpr size_t kLocal = 1024;
  struct Range {
    BYTE* data;
    size_t size;
    bool heap;
    bool secret;
  };
  struct Buffer {
    void* data;
    bool wide;
    bool secret;
  };
  static void free_buffer(const Buffer& buffer);
  struct Chars {
    jstring text;
    const char* chars;
  };
  JNIEnv* env_;
  bool failed_ = false;
  Range ranges_[kMax] = {};
  int nranges_ = 0;
  size_t local_used_ = 0;
  Chars strings_[kMax] = {};
  int nstrings_ = 0;
  Buffer buffers_[kMax] = {};
  int nbuffers_ = 0;
  alignas(16) BYTE local_[kLocal];
};

// A local reference, deleted when its owner goes.
class LocalRef {
 public:
  explicit LocalRef(JNIEnv* env, jobject ref = nullptr) : env_(env), ref_(ref) {}
  ~LocalRef() { reset(); }
  LocalRef(const LocalRef&) = delete;
  LocalRef& operator=(const LocalRef&) = delete;
  jobject get() const { return ref_; }
  void reset(jobject ref = nullptr) {
    if (ref_) env_->DeleteLocalRef(ref_);
    ref_ = ref;
  }

 private:
  JNIEnv* env_;
  jobject ref_;
};

// Runs the body of a native: a C++ exception (a container that could not
// grow) never leaves through the VM's frame but becomes `failure`, the
// native's out-of-memory result. Whatever the body holds is given back by
// its owners as the exception passes.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

// Once a JNI call has left an exception pending, the only JNI calls a native
// may make are the exception check, the clear and the releases. Every helper
// here that calls the VM therefore does nothing while an exception is
// pending: copies in give null (with failed()), write-backs are skipped,
// lengths read as 0; the native's exception check then reports 574.
//
// One-element region copies. A null array is left alone; an empty one makes
// the VM raise ArrayIndexOutOfBoundsException, which the native's exception
// check (reads) or the Java caller (writes) then sees.
void read_int0(JNIEnv* env, jintArray array, DWORD& value);
void write_int0(JNIEnv* env, jintArray array, DWORD value);
void write_long0(JNIEnv* env, jlongArray array, jlong value);

// Moves the `count` bytes of `array` that start at `from` to its start, in
// place (the caller checked the range with in_bounds). Nothing is copied
// out of the array and back: the elements are borrowed for a memmove, or,
// should the VM refuse to lend them, moved in pieces through a buffer on the
// stack.
void move_to_front(JNIEnv* env, jbyteArray array, jint from, jint count);

// The length of an array, 0 for a null one.
jsize length_of(JNIEnv* env, jarray array);

// True when [offset, offset + count) lies inside the array (a null array has
// length 0). Natives check caller-supplied bounds with it before any platform
// call and return 87 when they do not hold.
bool in_bounds(JNIEnv* env, jarray array, jint offset, jint count);

// True when an output array has the element 0 a native writes a handle to.
inline bool has_element0(JNIEnv* env, jarray array) { return in_bounds(env, array, 0, 1); }

// True when a value handed to the platform as a bare pointer to a Java
// array's elements holds the `size` bytes the platform reads through it (a
// structure, a cipher block, a hash value). Natives take `size` from the
// structure or, where it varies, from the platform itself, and return 87
// when it does not hold, before the platform sees the pointer.
bool holds(JNIEnv* env, jarray array, size_t size);
// True when a zero-terminated text in a Java byte array (its elements at
// `elems`) ends inside the array.
bool holds_text(JNIEnv* env, jbyteArray array, const BYTE* elems);

// The low byte of a Java boolean as the caller passed it. The argument
// travels in a 32-bit slot; only its low byte counts, whatever the compiler
// assumes about the upper bits, so the value goes through a one-byte store.
inline unsigned low_byte(jboolean value) {
  volatile jboolean byte = value;
  return byte;
}

// Text conversion; each result is made with new[] and owned by the caller.
// A null input or a failed conversion gives null (the platform's last error
// tells why).
wchar_t* multi2wchar(unsigned codePage, const char* text);
char* wchar2multi(unsigned codePage, const wchar_t* text);


// The certificate store walk. Visits every certificate of `store`, builds
// its chain and looks for its private key, and hands each one to `self`
// (the Java key store object) through its four callback methods. `pfx`
// selects PFX mode: keys come from the properties the import attached, key
// entries carry their usage period extension, and a keyless certificate
// already delivered inside an earlier chain is not delivered again. Returns
// 0, or the code that ended the walk early: 574 when a callback method is
// missing or a callback left a Java exception pending (it is cleared), 8
// when the VM could not make a Java value, 1359 when a usage period cannot
// be encoded. Entries delivered before stay delivered. The store stays open.
jint EnumKeysAndCertificates(JNIEnv* env, jobject self, HCERTSTORE store, BOOL pfx);

// Gives the certificate a key context property for the key `key_spec` in
// `prov`. The property holds a reference of its own on `prov`, given back
// when the last copy of the certificate context goes; when the property
// cannot be set the reference is given back at once. 0, or the code of the
// failed call.
jint attach_key_context(PCCERT_CONTEXT cert, HCRYPTPROV prov, DWORD key_spec);

// The display name of a certificate (friendly name, else the subject's) in
// UTF-8. On a name, *text becomes a new[] string the caller frees and
// *length its size with the terminator; without one (*length below 2)
// *text is left as it was.
void GetFriendlyName(PCCERT_CONTEXT cert, char** text, DWORD* length);

}  // namespace quill

#endif
