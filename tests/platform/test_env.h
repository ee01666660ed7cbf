// Shared set-up of the platform tests: a private CSP root per test binary.
#ifndef QUILL_TEST_ENV_H
#define QUILL_TEST_ENV_H

#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace testenv {

// A fresh directory under QUILL_TEST_TMP (or /tmp) that QUILL_CSP_ROOT points
// at, so tests never touch a real key directory.
inline std::string private_root() {
  static std::string root = [] {
    const char* base = getenv("QUILL_TEST_TMP");
    std::string dir = std::string(base && *base ? base : "/tmp");
    std::string cmd = "mkdir -p '" + dir + "'";
    if (system(cmd.c_str()) != 0) abort();
    std::string tmpl = dir + "/csp-XXXXXX";
    if (!mkdtemp(&tmpl[0])) abort();
    setenv("QUILL_CSP_ROOT", tmpl.c_str(), 1);
    return tmpl;
  }();
  return root;
}

}  // namespace testenv

#endif
