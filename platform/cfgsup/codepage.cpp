// MultiByteToWideChar / WideCharToMultiByte for CP_UTF8 and CP_ACP.
//
// Wide strings are UTF-32 here (wchar_t is 32 bits). CP_ACP is the character
// set of the process locale; the C/POSIX locale counts as UTF-8, since its
// ASCII is a subset of it and names that came from Java are UTF-8 anyway.
// Other character sets go through iconv. Malformed input is refused with
// ERROR_NO_UNICODE_TRANSLATION; a character the target cannot hold becomes '?'.
//
// The text converted may be a password: every intermediate buffer is a
// SecureVector, wiped when it goes.
#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "csp/cfgsup.h"
#include "secure.h"

namespace {

using Wide = csp::SecureVector<char32_t>;
using Narrow = csp::SecureVector<char>;

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Decodes UTF-8; false on any malformed, overlong or surrogate sequence.
bool utf8_decode(const unsigned char* s, size_t n, Wide& out) {
  size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    char32_t c;
    size_t len;
    if (b < 0x80) {
      c = b;
      len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      len = 4;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    static const char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[len] || c > kMaxCodePoint) return false;
    if (is_surrogate(c)) {
      // Java hands out "modified UTF-8", where a character above U+FFFF is a
      // surrogate pair with each half encoded in three bytes. A proper pair
      // is accepted as the one character it stands for; a lone half is not.
      if (c >= 0xDC00 || i + 6 > n || s[i + 3] != 0xED || (s[i + 4] & 0xF0) != 0xB0 ||
          (s[i + 5] & 0xC0) != 0x80) {
        return false;
      }
      char32_t low = 0xD000 | char32_t(s[i + 4] & 0x3F) << 6 | (s[i + 5] & 0x3F);
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      len = 6;
    }
    out.push_back(c);
    i += len;
  }
  return true;
}

void utf8_encode(const wchar_t* w, size_t n, Narrow& out, bool& replaced) {
  for (size_t i = 0; i < n; ++i) {
    char32_t c = static_cast<char32_t>(w[i]);
    if (c > kMaxCodePoint || is_surrogate(c)) {
      out.push_back('?');
      replaced = true;
    } else if (c < 0x80) {
      out.push_back(char(c));
    } else if (c < 0x800) {
      out.push_back(char(0xC0 | (c >> 6)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(char(0xE0 | (c >> 12)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else {
      out.push_back(char(0xF0 | (c >> 18)));
      out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }
}

// The character set CP_ACP stands for, or empty for UTF-8.
std::string acp_charset() {
  const char* cs = nl_langinfo(CODESET);
  if (!cs || !*cs || strcasecmp(cs, "UTF-8") == 0 || strcasecmp(cs, "UTF8") == 0 ||
      strcmp(cs, "ANSI_X3.4-1968") == 0 || strcasecmp(cs, "ASCII") == 0) {
    return std::string();
  }
  return cs;
}

struct Iconv {
  iconv_t cd;
  Iconv(const char* to, const char* from) : cd(iconv_open(to, from)) {}
  ~Iconv() {
    if (cd != (iconv_t)-1) iconv_close(cd);
  }
  bool ok() const { return cd != (iconv_t)-1; }
};

bool legacy_decode(const std::string& charset, const char* s, size_t n, Wide& out) {
  Iconv cv("UTF-32LE", charset.c_str());
  if (!cv.ok()) return false;
  Narrow buf(n * 4 + 4, '\0');
  char* in = const_cast<char*>(s);
  size_t inleft = n;
  char* o = buf.data();
  size_t oleft = buf.size();
  if (iconv(cv.cd, &in, &inleft, &o, &oleft) == (size_t)-1) return false;
  size_t produced = (buf.size() - oleft) / 4;
  for (size_t i = 0; i < produced; ++i) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(buf.data()) + 4 * i;
    out.push_back(char32_t(p[0]) | char32_t(p[1]) << 8 | char32_t(p[2]) << 16 |
                  char32_t(p[3]) << 24);
  }
  return true;
}

bool legacy_encode(const std::string& charset, const wchar_t* w, size_t n, Narrow& out,
                   bool& replaced) {
  Iconv cv(charset.c_str(), "UTF-32LE");
  if (!cv.ok()) return false;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = static_cast<uint32_t>(w[i]);
    unsigned char le[4] = {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), uint8_t(c >> 24)};
    char* in = reinterpret_cast<char*>(le);
    size_t inleft = 4;
    char tmp[16];
    char* o = tmp;
    size_t oleft = sizeof tmp;
    if (iconv(cv.cd, &in, &inleft, &o, &oleft) == (size_t)-1) {
      iconv(cv.cd, nullptr, nullptr, nullptr, nullptr);
      out.push_back('?');
      replaced = true;
    } else {
      out.insert(out.end(), tmp, tmp + (sizeof tmp - oleft));
    }
    csp::secure_wipe(le, sizeof le);
    csp::secure_wipe(tmp, sizeof tmp);
  }
  return true;
}

bool known_code_page(UINT cp) { return cp == CP_UTF8 || cp == CP_ACP; }

}  // namespace

namespace {

int multi_to_wide(UINT code_page, DWORD flags, LPCSTR src, int src_len, LPWSTR dst, int dst_len) {
  if (!src || src_len == 0 || src_len < -1 || dst_len < 0 || (dst_len > 0 && !dst) ||
      !known_code_page(code_page)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (flags != 0) {
    SetLastError(1004 /* ERROR_INVALID_FLAGS */);
    return 0;
  }
  size_t n = src_len == -1 ? strlen(src) + 1 : size_t(src_len);
  Wide wide;
  wide.reserve(n);
  std::string charset = code_page == CP_ACP ? acp_charset() : std::string();
  bool ok = charset.empty()
                ? utf8_decode(reinterpret_cast<const unsigned char*>(src), n, wide)
                : legacy_decode(charset, src, n, wide);
  if (!ok) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (dst_len == 0) return int(wide.size());
  if (wide.size() > size_t(dst_len)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (size_t i = 0; i < wide.size(); ++i) dst[i] = wchar_t(wide[i]);
  return int(wide.size());
}

int wide_to_multi(UINT code_page, DWORD flags, LPCWSTR src, int src_len, LPSTR dst, int dst_len,
                  LPCSTR default_char, LPBOOL used_default) {
  if (!src || src_len == 0 || src_len < -1 || dst_len < 0 || (dst_len > 0 && !dst) ||
      !known_code_page(code_page)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (flags != 0 || (code_page == CP_UTF8 && (default_char || used_default))) {
    SetLastError(code_page == CP_UTF8 ? ERROR_INVALID_PARAMETER : 1004 /* ERROR_INVALID_FLAGS */);
    return 0;
  }
  size_t n = src_len == -1 ? wcslen(src) + 1 : size_t(src_len);
  Narrow narrow;
  narrow.reserve(n * 4);
  bool replaced = false;
  std::string charset = code_page == CP_ACP ? acp_charset() : std::string();
  if (charset.empty()) {
    utf8_encode(src, n, narrow, replaced);
  } else if (!legacy_encode(charset, src, n, narrow, replaced)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (used_default) *used_default = replaced ? TRUE : FALSE;
  if (dst_len == 0) return int(narrow.size());
  if (narrow.size() > size_t(dst_len)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(dst, narrow.data(), narrow.size());
  return int(narrow.size());
}

// A C++ exception (no memory for a conversion's buffers) never crosses
// these C functions: it fails them with ERROR_NOT_ENOUGH_MEMORY.
template <class F>
int no_throw(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    SetLastError(8 /* ERROR_NOT_ENOUGH_MEMORY */);
    return 0;
  }
}

}  // namespace

extern "C" int WINAPI MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR src, int src_len,
                                          LPWSTR dst, int dst_len) {
  return no_throw([&] { return multi_to_wide(code_page, flags, src, src_len, dst, dst_len); });
}

extern "C" int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR src, int src_len,
                                          LPSTR dst, int dst_len, LPCSTR default_char,
                                          LPBOOL used_default) {
  return no_throw([&] {
    return wide_to_multi(code_page, flags, src, src_len, dst, dst_len, default_char, used_default);
  });
}
