// Hostile input: malformed blobs and container files, short buffers, stale and
// forged handles. Each case here is an input the fuzz targets in tests/fuzz
// found (or that was found while writing them) to crash, leak, hang or give
// the wrong result; each must now fail with its error code or work.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "container.h"
#include "cryptobj.h"
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

// A protected key pair whose encrypted half names PBKDF2 with 2^31 - 1
// iterations: the count came from the file unchecked, so the first signature
// after the password was given derived keys for hours. It is now refused as a
// damaged entry before any key is derived.
TEST(Robustness, EncryptedKeyWithHugeIterationCountIsRefusedQuickly) {
  const std::string name = "robust-pbe-iter";
  EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(1024));
  ASSERT_TRUE(pkey);
  unsigned char* spki = nullptr;
  int spki_len = i2d_PUBKEY(pkey, &spki);
  ASSERT_GT(spki_len, 0);
  EVP_PKEY_free(pkey);
  unsigned char salt[16] = {1, 2, 3};
  X509_ALGOR* alg =
      PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), 0x7FFFFFFF, salt, sizeof salt, nullptr, NID_hmacWithSHA256);
  ASSERT_TRUE(alg);
  // EncryptedPrivateKeyInfo: SEQUENCE { the algorithm, OCTET STRING }; the
  // encrypted bytes are never reached.
  unsigned char* alg_der = nullptr;
  int alg_len = i2d_X509_ALGOR(alg, &alg_der);
  ASSERT_GT(alg_len, 0);
  X509_ALGOR_free(alg);
  Bytes body(alg_der, alg_der + alg_len);
  OPENSSL_free(alg_der);
  body.push_back(0x04);
  body.push_back(48);
  body.insert(body.end(), 48, 0xAB);
  ASSERT_LT(body.size(), 256u);
  Bytes enc = {0x30, 0x81, BYTE(body.size())};
  enc.insert(enc.end(), body.begin(), body.end());

  Bytes material = {2};
  put32(material, DWORD(spki_len));
  material.insert(material.end(), spki, spki + spki_len);
  OPENSSL_free(spki);
  material.insert(material.end(), enc.begin(), enc.end());
  Bytes key;
  put32(key, AT_SIGNATURE);
  put32(key, CALG_RSA_SIGN);
  put32(key, 0);
  key.insert(key.end(), material.begin(), material.end());
  plant_container(name, container_file(name, {{2, key}, {0x10, csp::prov::make_pin_verifier("pw")}}));

  Prov p;
  ASSERT_TRUE(CryptAcquireContextA(&p.h, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_SILENT));
  char pw[] = "pw";
  CRYPT_PIN_PARAM pin;
  std::memset(&pin, 0, sizeof pin);
  pin.type = CSP_PIN_VERIFY;
  pin.dest.passwd = pw;
  ASSERT_TRUE(CryptSetProvParam(p.h, PP_SIGNATURE_PIN, reinterpret_cast<BYTE*>(&pin), 0))
      << std::hex << GetLastError();
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(p.h, CALG_SHA_256, 0, 0, &h));
  ASSERT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE*>("x"), 1, 0));
  BYTE out[128];
  DWORD len = sizeof out;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, out, &len));
  EXPECT_EQ(GetLastError(), DWORD(NTE_KEYSET_ENTRY_BAD));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  CryptDestroyHash(h);
}

// Extensions pile up in the container (each call may add up to 64 KiB under a
// new identifier). The call that took the file past the 16 MiB a container
// may have was written all the same, and from then on every load refused the
// file: the container's key pairs were lost. Such a change is now refused
// with NTE_BAD_LEN and the container stays usable. (The file is planted just
// below the limit with a large record of an unknown tag, which is kept as
// it is.)
TEST(Robustness, ChangeThatWouldOutgrowTheContainerIsRefused) {
  const std::string name = "robust-too-big";
  Bytes filler(16 * 1024 * 1024 - 40 * 1024, 0x5A);
  plant_container(name, container_file(name, {{0x77, filler}}));
  Prov p;
  ASSERT_TRUE(CryptAcquireContextA(&p.h, name.c_str(), nullptr, PROV_RSA_AES, 0));
  Bytes value(60 * 1024, 0x01);
  char oid[] = "1.2.840.1";
  CERT_EXTENSION e{oid, FALSE, {DWORD(value.size()), value.data()}};
  EXPECT_FALSE(CryptSetProvParam(p.h, PP_SET_CERT_EXTENSION, reinterpret_cast<BYTE*>(&e), 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_LEN));
  // Still readable: a small change goes through.
  BYTE text[] = "still here";
  CRYPT_DATA_BLOB c{sizeof text, text};
  EXPECT_TRUE(CryptSetProvParam(p.h, PP_CONTAINER_COMMENT, reinterpret_cast<BYTE*>(&c), 0))
      << std::hex << GetLastError();
  BYTE back[32];
  DWORD len = sizeof back;
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_CONTAINER_COMMENT, back, &len, 0))
      << std::hex << GetLastError();
  EXPECT_EQ(len, DWORD(sizeof text));
  Prov q;
  EXPECT_TRUE(CryptAcquireContextA(&q.h, name.c_str(), nullptr, PROV_RSA_AES, 0));
  HCRYPTPROV gone = 0;
  EXPECT_TRUE(CryptAcquireContextA(&gone, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET));
}

}  // namespace
