// Hostile input: malformed blobs and container files, short buffers, stale and
// forged handles. Each case here is an input the fuzz targets in tests/fuzz
// found (or that was found while writing them) to crash, leak, hang or give
// the wrong result; each must now fail with its error code or work.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "container.h"
#include "csp/cfgsup.h"
#include "csp/handles.h"
#include "csp/wincrypt.h"
#include "test_env.h"

namespace {

using Bytes = std::vector<BYTE>;

void put32(Bytes& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(BYTE(v >> (8 * i)));
}

void put_record(Bytes& out, DWORD tag, const Bytes& data) {
  put32(out, tag);
  put32(out, DWORD(data.size()));
  out.insert(out.end(), data.begin(), data.end());
}

// A container file as the provider lays it out: magic, then (tag, length,
// bytes) records; tag 1 is the name.
Bytes container_file(const std::string& name, const std::vector<std::pair<DWORD, Bytes>>& recs) {
  const char magic[] = "QCSPKC01";
  Bytes out(magic, magic + 8);
  put_record(out, 1, Bytes(name.begin(), name.end()));
  for (const auto& [tag, data] : recs) put_record(out, tag, data);
  return out;
}

std::string container_path(const std::string& name) {
  return csp::prov::ContainerStore::directory(false) + "/" +
         csp::prov::ContainerStore::unique_name(name) + ".key";
}

// Creates the container through the API (so that its directory exists), then
// replaces its file with `bytes`.
void plant_container(const std::string& name, const Bytes& bytes) {
  testenv::private_root();
  HCRYPTPROV p = 0;
  CryptAcquireContextA(&p, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  ASSERT_TRUE(CryptAcquireContextA(&p, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET))
      << std::hex << GetLastError();
  ASSERT_TRUE(CryptReleaseContext(p, 0));
  std::ofstream f(container_path(name), std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  ASSERT_TRUE(f.good());
}

struct Prov {
  HCRYPTPROV h = 0;
  ~Prov() {
    if (h) CryptReleaseContext(h, 0);
  }
};

// ---- Container files ------------------------------------------------------

// An extensions record whose second entry claims a value of 0xFFFFFFFD bytes:
// on 32-bit builds the bounds check added 4 to the length, wrapped, passed,
// and the copy threw (NTE_FAIL from every extension call, on any container
// that carried such a record). The entries before the bad one are kept; the
// bad one ends the record.
TEST(Robustness, ExtensionRecordWithLengthNear4GiB) {
  const std::string name = "robust-ext-wrap";
  Bytes ext;
  put32(ext, 1);  // critical
  put32(ext, 2);
  ext.push_back(0x05);
  ext.push_back(0x00);
  put32(ext, 5);
  for (char c : std::string("1.2.3")) ext.push_back(BYTE(c));
  put32(ext, 0);            // second entry: not critical
  put32(ext, 0xFFFFFFFDu);  // value length that wraps when 4 is added
  for (int i = 0; i < 8; ++i) ext.push_back(BYTE(i));
  plant_container(name, container_file(name, {{0x12, ext}}));

  Prov p;
  ASSERT_TRUE(CryptAcquireContextA(&p.h, name.c_str(), nullptr, PROV_RSA_AES, 0));
  BYTE buf[64];
  DWORD len = sizeof buf;
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_ENUM_CERT_EXTENSIONS, buf, &len, CRYPT_FIRST))
      << std::hex << GetLastError();
  ASSERT_EQ(len, 8u + 2 + 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf) + 10), "1.2.3");
  len = sizeof buf;
  EXPECT_FALSE(CryptGetProvParam(p.h, PP_ENUM_CERT_EXTENSIONS, buf, &len, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));

  // A new extension can still be stored beside the good one.
  char oid[] = "1.2.4";
  BYTE value[] = {0x30, 0x00};
  CERT_EXTENSION e{oid, FALSE, {sizeof value, value}};
  EXPECT_TRUE(CryptSetProvParam(p.h, PP_SET_CERT_EXTENSION, reinterpret_cast<BYTE*>(&e), 0))
      << std::hex << GetLastError();
  len = sizeof buf;
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_ENUM_CERT_EXTENSIONS, buf, &len, CRYPT_FIRST));
  len = sizeof buf;
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_ENUM_CERT_EXTENSIONS, buf, &len, 0));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf) + 10), "1.2.4");
}

}  // namespace
