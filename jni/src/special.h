// Helpers every native shares: the error-code rule, handle narrowing and
// widening, scoped access to Java arrays and strings, one-element region
// copies, and text conversion between code pages and wide strings.
//
// A native reads top to bottom: open a Frame, borrow its arrays and strings
// through it, return 8 if the VM gave no elements, return 574 if a Java
// exception is pending, check bounds (87), call the platform, form the code,
// write its one-element outputs. The Frame gives everything back when the
// native returns, on every path: array elements with mode 0 (copied back) in
// the order they were obtained, then string characters, then the buffers the
// conversions made.
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

class Frame {
 public:
  explicit Frame(JNIEnv* env) : env_(env) {}
  ~Frame();
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  // Element access; a null array gives a null pointer. When the VM gives no
  // elements the pointer is null and failed() turns true.
  BYTE* bytes(jbyteArray array);
  DWORD* ints(jintArray array);
  // The same for an array that holds a secret (a PIN, key material): when
  // the VM lent a copy, it is copied back, then wiped before the VM frees it.
  BYTE* secret_bytes(jbyteArray array);
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
  BYTE* borrow_bytes(jbyteArray array, bool secret);
  static constexpr int kMax = 6;
  struct Borrowed {
    jarray array;
    void* elems;
    bool is_int;
    jsize wipe;  // bytes to wipe before the VM frees its copy (0: none)
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
  Borrowed arrays_[kMax] = {};
  int narrays_ = 0;
  Chars strings_[kMax] = {};
  int nstrings_ = 0;
  Buffer buffers_[kMax] = {};
  int nbuffers_ = 0;
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
// pending: borrowing gives null (without failed()), region copies are
// skipped, lengths read as 0; the native's exception check then reports 574.
//
// One-element region copies. A null array is left alone; an empty one makes
// the VM raise ArrayIndexOutOfBoundsException, which the native's exception
// check (reads) or the Java caller (writes) then sees.
void read_int0(JNIEnv* env, jintArray array, DWORD& value);
void write_int0(JNIEnv* env, jintArray array, DWORD value);
void write_long0(JNIEnv* env, jlongArray array, jlong value);

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

// The display name of a certificate (friendly name, else the subject's) in
// UTF-8. On a name, *text becomes a new[] string the caller frees and
// *length its size with the terminator; without one (*length below 2)
// *text is left as it was.
void GetFriendlyName(PCCERT_CONTEXT cert, char** text, DWORD* length);

}  // namespace quill

#endif
