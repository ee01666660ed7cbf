// Helpers shared by the exported functions of the CSP libraries: failing with
// a last error, the two-call size convention, and the guard that turns C++
// exceptions into CryptoAPI failures at the API boundary.
#ifndef CSP_APIUTIL_H
#define CSP_APIUTIL_H

#include <string.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <openssl/err.h>

#include "csp/cfgsup.h"
#include "csp/wincrypt.h"
#include "secure.h"

namespace csp {

inline BOOL fail(LONG code) {
  SetLastError(static_cast<DWORD>(code));
  return FALSE;
}

// Delivers `n` bytes by the size-query convention: no buffer asks for the
// size (TRUE); a short buffer gets ERROR_MORE_DATA and the size; otherwise the
// bytes are copied and the written length reported.
inline BOOL put_bytes(BYTE* out, DWORD* len, const void* data, size_t n) {
  if (!len) return fail(ERROR_INVALID_PARAMETER);
  if (n > 0xFFFFFFFFu) return fail(NTE_FAIL);
  DWORD have = *len;
  *len = static_cast<DWORD>(n);
  if (!out) return TRUE;
  if (have < n) return fail(ERROR_MORE_DATA);
  if (n) std::memcpy(out, data, n);
  return TRUE;
}

inline BOOL put_bytes(BYTE* out, DWORD* len, const std::vector<BYTE>& v) {
  return put_bytes(out, len, v.data(), v.size());
}

// A null-terminated string, terminator included in the length.
inline BOOL put_string(BYTE* out, DWORD* len, const std::string& s) {
  return put_bytes(out, len, s.c_str(), s.size() + 1);
}

inline DWORD read_le32(const BYTE* p) {
  return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}

inline BOOL put_dword(BYTE* out, DWORD* len, DWORD v) {
  BYTE le[4] = {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
  return put_bytes(out, len, le, 4);
}

// Runs the body of an exported function; a C++ exception never crosses into
// the caller but becomes a failure with NTE_NO_MEMORY or NTE_FAIL.
// NTE_NO_MEMORY is the platform's one code for a failed allocation (a
// handle table that is full included), whatever the function. A failure is
// reported by its last error alone: what OpenSSL queued on the way there is
// dropped, so that the caller's next look at OpenSSL's queue does not find it.
template <class F>
BOOL guarded(F&& body) noexcept {
  BOOL ok = FALSE;
  try {
    ok = body();
  } catch (const std::bad_alloc&) {
    SetLastError(static_cast<DWORD>(NTE_NO_MEMORY));
  } catch (...) {
    SetLastError(static_cast<DWORD>(NTE_FAIL));
  }
  if (!ok) ERR_clear_error();
  return ok;
}

// The same for a function that returns a value: `on_error` and the code as
// the last error.
template <class T, class F>
T guarded_value(T on_error, F&& body) noexcept {
  T result = on_error;
  try {
    result = body();
  } catch (const std::bad_alloc&) {
    SetLastError(DWORD(NTE_NO_MEMORY));
  } catch (...) {
    SetLastError(DWORD(NTE_FAIL));
  }
  if (result == on_error) ERR_clear_error();
  return result;
}

template <class T>
void wipe(std::vector<T>& v) {
  if (!v.empty()) secure_wipe(v.data(), v.size() * sizeof(T));
  v.clear();
}
inline void wipe(std::string& s) {
  if (!s.empty()) secure_wipe(&s[0], s.size());
  s.clear();
}

}  // namespace csp

#endif
