// The structure normalisers: on these little-endian hosts every copy is the
// identity in place, and across buffers each writes exactly the fields of
// its structure's rule and nothing else.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "structs.h"

using namespace quill;

namespace {

std::vector<BYTE> random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<BYTE> v(n);
  for (auto& b : v) b = BYTE(rng());
  return v;
}

template <class T, class F>
void expect_identity_in_place(F fn, const char* name) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    auto buf = random_bytes(sizeof(T), seed);
    auto before = buf;
    T* p = reinterpret_cast<T*>(buf.data());
    EXPECT_EQ(fn(p, p), TRUE) << name;
    EXPECT_EQ(buf, before) << name << " changed bytes in place";
  }
}

TEST(Normalisers, InPlaceTheyChangeNoByteAndReturnTrue) {
  expect_identity_in_place<BLOBHEADER>(letohbh_copy, "letohbh_copy");
  expect_identity_in_place<CRYPT_PUBKEY_INFO_HEADER>(letohpbh_copy, "letohpbh_copy");
  expect_identity_in_place<CRYPT_SIMPLEBLOB_HEADER>(letohsbh_copy, "letohsbh_copy");
  expect_identity_in_place<CRYPT_DIVERSBLOBHEADER>(letohdbh_copy, "letohdbh_copy");
  expect_identity_in_place<CRYPT_KDF_TREE_DIVERSBLOB_HEADER>(letohtdbh_copy, "letohtdbh_copy");
  expect_identity_in_place<CRYPT_KDF_TREE_DIVERS_INFO>(letohtdi_copy, "letohtdi_copy");
  expect_identity_in_place<quill::CONTAINER_EXTENSION>(letohce_copy, "letohce_copy");
  expect_identity_in_place<BLOBHEADER>(letoh_rsa_sbh_copy, "letoh_rsa_sbh_copy");
  expect_identity_in_place<BLOBHEADER>(letoh_rsa_p8h_copy, "letoh_rsa_p8h_copy");
  expect_identity_in_place<RSA_BLOB_HEADER>(letoh_rsa_pbh_copy, "letoh_rsa_pbh_copy");
  expect_identity_in_place<RSA_BLOB_HEADER>(letoh_rsa_prh_copy, "letoh_rsa_prh_copy");
  expect_identity_in_place<quill::PROV_PP_VERSION_EX>(letohvex_copy, "letohvex_copy");
  expect_identity_in_place<PROV_ENUMALGS>(letohea_copy, "letohea_copy");
  expect_identity_in_place<QUILL_SCHANNEL_ALG>(letohsca_copy, "letohsca_copy");
}

TEST(Normalisers, AcrossBuffersOnlyTheListedFieldsAreWritten) {
  auto src = random_bytes(sizeof(PROV_ENUMALGS), 7);
  std::vector<BYTE> dst(sizeof(PROV_ENUMALGS), 0xEE);
  letohea_copy(reinterpret_cast<PROV_ENUMALGS*>(dst.data()), reinterpret_cast<PROV_ENUMALGS*>(src.data()));
  EXPECT_EQ(0, memcmp(dst.data(), src.data(), 12)) << "aiAlgid, dwBitLen, dwNameLen";
  EXPECT_EQ(std::vector<BYTE>(dst.begin() + 12, dst.end()), std::vector<BYTE>(20, 0xEE)) << "szName kept";

  src = random_bytes(sizeof(quill::CONTAINER_EXTENSION), 8);
  dst.assign(sizeof(quill::CONTAINER_EXTENSION), 0xEE);
  letohce_copy(reinterpret_cast<quill::CONTAINER_EXTENSION*>(dst.data()),
               reinterpret_cast<quill::CONTAINER_EXTENSION*>(src.data()));
  EXPECT_EQ(std::vector<BYTE>(dst.begin(), dst.begin() + 4), std::vector<BYTE>(4, 0xEE)) << "bCritical kept";
  EXPECT_EQ(0, memcmp(dst.data() + 4, src.data() + 4, 4)) << "cbExtension copied";

  // The RSA header copy writes the key fields only between different buffers.
  src = random_bytes(sizeof(RSA_BLOB_HEADER), 9);
  dst.assign(sizeof(RSA_BLOB_HEADER), 0xEE);
  letoh_rsa_pbh_copy(reinterpret_cast<RSA_BLOB_HEADER*>(dst.data()),
                     reinterpret_cast<RSA_BLOB_HEADER*>(src.data()));
  EXPECT_EQ(dst, src);
}

TEST(Normalisers, KeyBlobsShorterThanTheirHeaderAreLeftAlone) {
  // A normaliser must never touch bytes past the buffer: guard them.
  for (DWORD type : {DWORD(SIMPLEBLOB), DWORD(PUBLICKEYBLOB), DWORD(PRIVATEKEYBLOB), DWORD(25), DWORD(0x70),
                     DWORD(0x72)}) {
    for (bool foreign : {false, true}) {
      for (size_t n = 0; n <= 40; ++n) {
        std::vector<BYTE> buf = random_bytes(n + 16, unsigned(n + type));
        auto before = buf;
        normalise_key_blob(buf.data(), n, type, foreign);
        EXPECT_EQ(buf, before) << "type " << type << " size " << n;
      }
    }
  }
  normalise_key_blob(nullptr, 100, PUBLICKEYBLOB, false);  // no buffer: nothing to do
}

}  // namespace
