// Shared set-up of the certificate library tests: certificates and PFX files
// made at test time with the openssl command line tool in a private
// directory, and small file and process helpers.
#ifndef QUILL_CERTAPI_UTIL_H
#define QUILL_CERTAPI_UTIL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "csp/cfgsup.h"
#include "csp/wincrypt.h"
#include "test_env.h"

namespace certtest {

using Bytes = std::vector<BYTE>;

inline std::string dir() {
  static std::string d = [] {
    std::string root = testenv::private_root();
    std::string p = root + "/pki";
    std::string cmd = "mkdir -p '" + p + "'";
    if (system(cmd.c_str()) != 0) abort();
    return p;
  }();
  return d;
}

// Runs a shell command in the test directory; its output, or "" and a test
// failure when it fails.
inline std::string sh(const std::string& cmd) {
  std::string full = "cd '" + dir() + "' && " + cmd + " 2>&1";
  FILE* f = popen(full.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while (f && (n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  int rc = f ? pclose(f) : -1;
  EXPECT_EQ(rc, 0) << cmd << "\n" << out;
  return out;
}

inline Bytes slurp(const std::string& name) {
  std::ifstream in(name.front() == '/' ? name : dir() + "/" + name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void spit(const std::string& name, const Bytes& data) {
  std::ofstream out(dir() + "/" + name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

// A CA and two end-entity certificates it issued (DER in <name>.der, PEM in
// <name>.pem, key in <name>.key); "leaf" carries a private key usage period
// ending 2030-12-31 23:59:59 UTC. Made once per test binary.
inline void make_pki() {
  static bool done = [] {
    sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 "
       "-subj '/O=Quill Tests/CN=Quill Test CA' "
       "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign");
    // [1] GeneralizedTime "20301231235959Z" inside a SEQUENCE.
    sh("printf 'basicConstraints=CA:FALSE\\n2.5.29.16=DER:3011810F3230333031323331323335393539"
       "5A\\n' > leaf.ext && printf 'basicConstraints=CA:FALSE\\n' > plain.ext");
    for (const char* n : {"leaf", "other"}) {
      std::string name = n;
      std::string subj = name == "leaf" ? "/C=RU/O=Quill/CN=Leaf Key" : "/O=Quill/OU=No Common Name";
      sh("openssl req -newkey rsa:2048 -nodes -keyout " + name + ".key -out " + name +
         ".csr -subj '" + subj + "'");
      sh("openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -set_serial 0x" +
         (name == "leaf" ? std::string("8A01") : std::string("0102")) + " -days 30 -out " + name +
         ".pem -extfile " + (name == "leaf" ? "leaf.ext" : "plain.ext"));
    }
    for (const char* n : {"ca", "leaf", "other"})
      sh(std::string("openssl x509 -in ") + n + ".pem -outform DER -out " + n + ".der");
    return true;
  }();
  (void)done;
}

inline PCCERT_CONTEXT load(const std::string& name) {
  make_pki();
  Bytes der = slurp(name + ".der");
  PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
  EXPECT_NE(c, nullptr) << name << " " << std::hex << GetLastError();
  return c;
}

inline std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

}  // namespace certtest

#endif
