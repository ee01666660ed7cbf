// support_registry_get_long: the CSP's configuration values.
//
// Values live in one text file, named by the environment variable
// QUILL_CSP_CONFIG (default /etc/opt/quill/csp.conf), laid out like a
// registry export:
//
//   # comment
//   [\config\Parameters]
//   StrengthenedKeyUsageControl = dword:1
//   SomeLimit = qword:0x10
//   Label = sz:any text
//
// Key paths and value names compare without regard to case. A path is split
// at its last backslash into key path and value name, with the same checks
// and result codes as the Windows registry reader. A value must fit in the
// platform's `long`.
#include <cctype>
#include <climits>
#include <cstdint>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "csp/cfgsup.h"

namespace {

constexpr size_t kMaxPath = 260;
constexpr DWORD kNotFound = 2;
constexpr DWORD kBadPath = 87;
constexpr DWORD kNotNumber = 1006;

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Parses "dword:N", "qword:N" or "sz:...". Returns 0 with *value set, or 1006.
DWORD convert(const std::string& text, long* value) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) return kNotNumber;
  std::string type = lower(trim(text.substr(0, colon)));
  std::string num = trim(text.substr(colon + 1));
  if (type != "dword" && type != "qword") return kNotNumber;
  if (num.empty()) return kNotNumber;
  errno = 0;
  char* end = nullptr;
  bool negative = num[0] == '-';
  long long v;
  if (negative) {
    v = std::strtoll(num.c_str(), &end, 0);
  } else {
    unsigned long long u = std::strtoull(num.c_str(), &end, 0);
    if (type == "dword" && u > 0xFFFFFFFFull) return kNotNumber;
    if (type == "dword") {
      v = static_cast<int32_t>(static_cast<uint32_t>(u));
    } else {
      if (u > 0x7FFFFFFFFFFFFFFFull) return kNotNumber;
      v = static_cast<long long>(u);
    }
  }
  if (errno != 0 || !end || *end != '\0') return kNotNumber;
  if (type == "dword" && negative && v < INT32_MIN) return kNotNumber;  // a dword is 32 bits
  if (v < LONG_MIN || v > LONG_MAX) return kNotNumber;
  *value = static_cast<long>(v);
  return 0;
}

}  // namespace

namespace {

DWORD get_long(const char* path, long* value) {
  if (!path || !value) return kBadPath;
  std::string full(path);
  if (full.size() > kMaxPath || full.empty() || full.back() == '\\') return kBadPath;
  // The value name follows the last backslash; one at index 0 leaves no key part.
  size_t split = full.rfind('\\');
  if (split == std::string::npos || split == 0) return kBadPath;
  std::string key = lower(full.substr(0, split));
  std::string name = lower(full.substr(split + 1));
  while (key.size() > 1 && key.back() == '\\') key.pop_back();

  const char* file = std::getenv("QUILL_CSP_CONFIG");
  std::ifstream in(file && *file ? file : "/etc/opt/quill/csp.conf");
  if (!in) return kNotFound;
  std::string line, section;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = lower(trim(line.substr(1, line.size() - 2)));
      while (section.size() > 1 && section.back() == '\\') section.pop_back();
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || section != key) continue;
    if (lower(trim(line.substr(0, eq))) != name) continue;
    return convert(line.substr(eq + 1), value);
  }
  return kNotFound;
}

}  // namespace

// A C++ exception (no memory for the path or a line) never crosses this C
// function: it answers ERROR_NOT_ENOUGH_MEMORY.
extern "C" DWORD support_registry_get_long(const char* path, long* value) {
  try {
    return get_long(path, value);
  } catch (...) {
    return 8;  // ERROR_NOT_ENOUGH_MEMORY
  }
}
