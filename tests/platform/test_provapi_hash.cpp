// Hash objects, HMAC, session-key hashing and key derivation, checked
// against published vectors (FIPS 180, RFC 1321, RFC 2202, RFC 4231) and
// against OpenSSL computing the same values independently.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "csp/cfgsup.h"
#include "csp/wincrypt.h"
#include "test_env.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes hex(const std::string& s) {
  Bytes out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(BYTE(std::stoul(s.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }

HCRYPTPROV verify_ctx() {
  HCRYPTPROV h = 0;
  EXPECT_TRUE(CryptAcquireContextA(&h, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  return h;
}

Bytes hash_val(HCRYPTHASH h) {
  DWORD n = 0;
  EXPECT_TRUE(CryptGetHashParam(h, HP_HASHVAL, nullptr, &n, 0));
  Bytes v(n);
  EXPECT_TRUE(CryptGetHashParam(h, HP_HASHVAL, v.data(), &n, 0));
  v.resize(n);
  return v;
}

Bytes digest(HCRYPTPROV p, ALG_ID alg, const Bytes& data) {
  HCRYPTHASH h = 0;
  EXPECT_TRUE(CryptCreateHash(p, alg, 0, 0, &h));
  EXPECT_TRUE(CryptHashData(h, data.data(), DWORD(data.size()), 0));
  Bytes v = hash_val(h);
  EXPECT_TRUE(CryptDestroyHash(h));
  return v;
}

Bytes evp(const char* md, const Bytes& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  EVP_Digest(data.data(), data.size(), out, &n, EVP_get_digestbyname(md), nullptr);
  return Bytes(out, out + n);
}

HCRYPTKEY import_plain(HCRYPTPROV p, ALG_ID alg, const Bytes& key, DWORD flags) {
  Bytes blob = {PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, 0};
  for (int i = 0; i < 4; ++i) blob.push_back(BYTE(alg >> (8 * i)));
  for (int i = 0; i < 4; ++i) blob.push_back(BYTE(key.size() >> (8 * i)));
  blob.insert(blob.end(), key.begin(), key.end());
  HCRYPTKEY k = 0;
  EXPECT_TRUE(CryptImportKey(p, blob.data(), DWORD(blob.size()), 0, flags, &k))
      << std::hex << GetLastError();
  return k;
}

Bytes export_plain(HCRYPTKEY k) {
  DWORD n = 0;
  EXPECT_TRUE(CryptExportKey(k, 0, PLAINTEXTKEYBLOB, 0, nullptr, &n));
  Bytes blob(n);
  EXPECT_TRUE(CryptExportKey(k, 0, PLAINTEXTKEYBLOB, 0, blob.data(), &n));
  return Bytes(blob.begin() + 12, blob.end());
}

Bytes hmac(HCRYPTPROV p, HCRYPTKEY k, ALG_ID inner, const Bytes& data) {
  HCRYPTHASH h = 0;
  EXPECT_TRUE(CryptCreateHash(p, CALG_HMAC, k, 0, &h));
  if (inner) {
    HMAC_INFO info{};
    info.HashAlgid = inner;
    EXPECT_TRUE(CryptSetHashParam(h, HP_HMAC_INFO, reinterpret_cast<BYTE*>(&info), 0));
  }
  EXPECT_TRUE(CryptHashData(h, data.data(), DWORD(data.size()), 0));
  Bytes v = hash_val(h);
  CryptDestroyHash(h);
  return v;
}

TEST(ProvHash, Fips180AndMd5KnownAnswers) {
  HCRYPTPROV p = verify_ctx();
  Bytes abc = str("abc");
  // A hash given up half-way leaves nothing behind for the context's next
  // ones (which start in the digest context it gave back).
  HCRYPTHASH left = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_MD5, 0, 0, &left));
  ASSERT_TRUE(CryptHashData(left, abc.data(), 2, 0));
  ASSERT_TRUE(CryptDestroyHash(left));
  EXPECT_EQ(digest(p, CALG_MD5, abc), hex("900150983cd24fb0d6963f7d28e17f72"));
  EXPECT_EQ(digest(p, CALG_SHA1, abc), hex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  EXPECT_EQ(digest(p, CALG_SHA_256, abc),
            hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(digest(p, CALG_SHA_384, abc),
            hex("cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
                "8086072ba1e7cc2358baeca134c825a7"));
  EXPECT_EQ(digest(p, CALG_SHA_512, abc),
            hex("ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"));
  // Data fed in pieces gives the one-shot value.
  HCRYPTHASH h = 0;
  Bytes big(1000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = BYTE(i * 7);
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA_256, 0, 0, &h));
  ASSERT_TRUE(CryptHashData(h, big.data(), 333, 0));
  ASSERT_TRUE(CryptHashData(h, big.data() + 333, 0, 0));
  ASSERT_TRUE(CryptHashData(h, big.data() + 333, 667, 0));
  EXPECT_EQ(hash_val(h), evp("SHA256", big));
  CryptDestroyHash(h);
  CryptReleaseContext(p, 0);
}

TEST(ProvHash, ParametersSizesAndFinishedState) {
  HCRYPTPROV p = verify_ctx();
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA_384, 0, 0, &h));
  BYTE buf[64];
  DWORD n = sizeof buf;
  ASSERT_TRUE(CryptGetHashParam(h, HP_ALGID, buf, &n, 0));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(*reinterpret_cast<DWORD*>(buf), DWORD(CALG_SHA_384));
  n = sizeof buf;
  ASSERT_TRUE(CryptGetHashParam(h, HP_HASHSIZE, buf, &n, 0));
  EXPECT_EQ(*reinterpret_cast<DWORD*>(buf), 48u);
  // Size query, then a short buffer: ERROR_MORE_DATA with the size, hash still open.
  n = 0;
  ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, nullptr, &n, 0));
  EXPECT_EQ(n, 48u);
  n = 10;
  EXPECT_FALSE(CryptGetHashParam(h, HP_HASHVAL, buf, &n, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(n, 48u);
  Bytes abc = str("abc");
  ASSERT_TRUE(CryptHashData(h, abc.data(), 3, 0));
  Bytes v1 = hash_val(h);
  EXPECT_EQ(v1, evp("SHA384", abc));
  // Finished: no more data, the same value again.
  EXPECT_FALSE(CryptHashData(h, abc.data(), 3, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH_STATE));
  EXPECT_EQ(hash_val(h), v1);
  EXPECT_FALSE(CryptHashData(h, abc.data(), 3, 2));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  n = sizeof buf;
  EXPECT_FALSE(CryptGetHashParam(h, 99, buf, &n, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_TYPE));
  EXPECT_TRUE(CryptDestroyHash(h));
  EXPECT_FALSE(CryptDestroyHash(h));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH));
  CryptReleaseContext(p, 0);
}

TEST(ProvHash, CreateRejectsBadArguments) {
  HCRYPTPROV p = verify_ctx();
  HCRYPTHASH h = 0;
  EXPECT_FALSE(CryptCreateHash(p, CALG_RC4, 0, 0, &h));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
  EXPECT_FALSE(CryptCreateHash(p, CALG_SHA1, 0, 4, &h));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  EXPECT_FALSE(CryptCreateHash(p, CALG_HMAC, 0, 0, &h));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
  // Handles of the wrong kind are refused with the documented codes.
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
  HCRYPTHASH h2 = 0;
  EXPECT_FALSE(CryptCreateHash(h, CALG_SHA1, 0, 0, &h2));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_UID));
  EXPECT_FALSE(CryptHashData(p, nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH));
  EXPECT_FALSE(CryptCreateHash(p, CALG_HMAC, h, 0, &h2));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
  EXPECT_FALSE(CryptDestroyKey(h));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
  CryptDestroyHash(h);
  CryptReleaseContext(p, 0);
}

TEST(ProvHash, DuplicateIsIndependent) {
  HCRYPTPROV p = verify_ctx();
  HCRYPTHASH h = 0, d = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
  Bytes ab = str("ab"), c = str("c"), x = str("x");
  ASSERT_TRUE(CryptHashData(h, ab.data(), 2, 0));
  ASSERT_TRUE(CryptDuplicateHash(h, nullptr, 0, &d));
  ASSERT_TRUE(CryptHashData(h, c.data(), 1, 0));
  ASSERT_TRUE(CryptHashData(d, x.data(), 1, 0));
  EXPECT_EQ(hash_val(h), evp("SHA1", str("abc")));
  EXPECT_EQ(hash_val(d), evp("SHA1", str("abx")));
  CryptDestroyHash(h);
  EXPECT_EQ(hash_val(d), evp("SHA1", str("abx"))) << "the duplicate outlives the original";
  CryptDestroyHash(d);
  CryptReleaseContext(p, 0);
}

TEST(ProvHash, SetHashValueForPrecomputedHash) {
  HCRYPTPROV p = verify_ctx();
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA_256, 0, 0, &h));
  Bytes v = evp("SHA256", str("precomputed"));
  ASSERT_TRUE(CryptSetHashParam(h, HP_HASHVAL, v.data(), 0));
  EXPECT_EQ(hash_val(h), v);
  EXPECT_FALSE(CryptHashData(h, v.data(), 1, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH_STATE));
  CryptDestroyHash(h);
  CryptReleaseContext(p, 0);
}

TEST(ProvHash, HmacRfc2202AndRfc4231) {
  HCRYPTPROV p = verify_ctx();
  HCRYPTKEY jefe = import_plain(p, CALG_RC2, str("Jefe"), CRYPT_IPSEC_HMAC_KEY);
  Bytes data = str("what do ya want for nothing?");
  // SHA-1 is the default inner hash.
  EXPECT_EQ(hmac(p, jefe, 0, data), hex("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"));
  EXPECT_EQ(hmac(p, jefe, CALG_MD5, data), hex("750c783e6ab0b503eaa86e310a5db738"));
  EXPECT_EQ(hmac(p, jefe, CALG_SHA_256, data),
            hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
  EXPECT_EQ(hmac(p, jefe, CALG_SHA_512, data),
            hex("164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
                "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"));
  // Again, from the contexts the first HMACs of this key gave back, also
  // after one is given up half-way.
  HCRYPTHASH left = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_HMAC, jefe, 0, &left));
  ASSERT_TRUE(CryptHashData(left, data.data(), 5, 0));
  ASSERT_TRUE(CryptDestroyHash(left));
  EXPECT_EQ(hmac(p, jefe, 0, data), hex("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"));
  EXPECT_EQ(hmac(p, jefe, CALG_SHA_256, data),
            hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
  // RFC 4231 case 6: a 131-byte key, longer than the block.
  Bytes key6(131, 0xaa);
  HCRYPTKEY k6 = import_plain(p, CALG_RC2, key6, CRYPT_IPSEC_HMAC_KEY);
  EXPECT_EQ(hmac(p, k6, CALG_SHA_256,
                 str("Test Using Larger Than Block-Size Key - Hash Key First")),
            hex("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"));
  // An HMAC key cannot encrypt.
  BYTE buf[32] = {};
  DWORD n = 16;
  EXPECT_FALSE(CryptEncrypt(k6, 0, TRUE, 0, buf, &n, sizeof buf));
  // The inner hash is fixed once data went in; strings other than the
  // standard pads are refused.
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_HMAC, jefe, 0, &h));
  HMAC_INFO info{};
  info.HashAlgid = CALG_SHA_256;
  BYTE inner[4] = {1, 2, 3, 4};
  info.pbInnerString = inner;
  info.cbInnerString = 4;
  EXPECT_FALSE(CryptSetHashParam(h, HP_HMAC_INFO, reinterpret_cast<BYTE*>(&info), 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  info.HashAlgid = CALG_HMAC;
  info.pbInnerString = nullptr;
  info.cbInnerString = 0;
  EXPECT_FALSE(CryptSetHashParam(h, HP_HMAC_INFO, reinterpret_cast<BYTE*>(&info), 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
  ASSERT_TRUE(CryptHashData(h, data.data(), DWORD(data.size()), 0));
  info.HashAlgid = CALG_SHA_256;
  EXPECT_FALSE(CryptSetHashParam(h, HP_HMAC_INFO, reinterpret_cast<BYTE*>(&info), 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH_STATE));
  // The HMAC can be duplicated mid-stream.
  HCRYPTHASH d = 0;
  ASSERT_TRUE(CryptDuplicateHash(h, nullptr, 0, &d));
  EXPECT_EQ(hash_val(d), hex("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"));
  EXPECT_EQ(hash_val(h), hash_val(d));
  CryptDestroyHash(d);
  CryptDestroyHash(h);
  // The key was copied: destroying it does not disturb a hash made from it.
  ASSERT_TRUE(CryptCreateHash(p, CALG_HMAC, jefe, 0, &h));
  CryptDestroyKey(jefe);
  ASSERT_TRUE(CryptHashData(h, data.data(), DWORD(data.size()), 0));
  EXPECT_EQ(hash_val(h), hex("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"));
  CryptDestroyHash(h);
  CryptDestroyKey(k6);
  CryptReleaseContext(p, 0);
}

TEST(ProvHash, HashSessionKeyByteOrder) {
  HCRYPTPROV p = verify_ctx();
  Bytes key = hex("000102030405060708090a0b0c0d0e0f");
  HCRYPTKEY k = import_plain(p, CALG_AES_128, key, CRYPT_EXPORTABLE);
  Bytes reversed(key.rbegin(), key.rend());
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
  ASSERT_TRUE(CryptHashSessionKey(h, k, CRYPT_LITTLE_ENDIAN));
  EXPECT_EQ(hash_val(h), evp("SHA1", key));
  CryptDestroyHash(h);
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
  ASSERT_TRUE(CryptHashSessionKey(h, k, 0));
  EXPECT_EQ(hash_val(h), evp("SHA1", reversed));
  EXPECT_FALSE(CryptHashSessionKey(h, k, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH_STATE));
  EXPECT_FALSE(CryptHashSessionKey(h, k, 2));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  EXPECT_FALSE(CryptHashSessionKey(h, h, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
  CryptDestroyHash(h);
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
}

// The documented derivation for AES and 3DES keys: a SHA-2 value long enough
// for the key as it is, otherwise H(0x36-pad ^ value) || H(0x5C-pad ^ value)
// (always so for MD5 and SHA-1, also when their value would be long enough).
// Two-key 3DES (`by_length`) takes any value long enough as it is, as
// Windows does (tests/wine/capi_diff.c holds it against Wine's provider).
Bytes expected_derivation(const char* md, const Bytes& value, size_t need, bool by_length) {
  bool sha2 = std::string(md) != "MD5" && std::string(md) != "SHA1";
  if ((sha2 || by_length) && value.size() >= need)
    return Bytes(value.begin(), value.begin() + long(need));
  Bytes b1(64, 0x36), b2(64, 0x5C);
  for (size_t i = 0; i < value.size(); ++i) {
    b1[i] ^= value[i];
    b2[i] ^= value[i];
  }
  Bytes out = evp(md, b1);
  Bytes second = evp(md, b2);
  out.insert(out.end(), second.begin(), second.end());
  out.resize(need);
  return out;
}

TEST(ProvHash, DeriveKeyAsDocumented) {
  HCRYPTPROV p = verify_ctx();
  Bytes pw = str("correct horse battery staple");
  struct Case {
    ALG_ID hash;
    const char* md;
    ALG_ID alg;
    size_t len;
  } cases[] = {
      {CALG_SHA1, "SHA1", CALG_AES_128, 16}, {CALG_SHA1, "SHA1", CALG_AES_256, 32},
      {CALG_MD5, "MD5", CALG_3DES, 24},      {CALG_SHA_256, "SHA256", CALG_AES_256, 32},
      {CALG_SHA1, "SHA1", CALG_3DES_112, 16},
  };
  for (const auto& c : cases) {
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(p, c.hash, 0, 0, &h));
    ASSERT_TRUE(CryptHashData(h, pw.data(), DWORD(pw.size()), 0));
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptDeriveKey(p, c.alg, h, CRYPT_EXPORTABLE, &k)) << std::hex << c.alg;
    EXPECT_EQ(export_plain(k),
              expected_derivation(c.md, evp(c.md, pw), c.len, c.alg == CALG_3DES_112))
        << std::hex << c.alg;
    // Deriving finishes the hash.
    EXPECT_FALSE(CryptHashData(h, pw.data(), 1, 0));
    CryptDestroyKey(k);
    CryptDestroyHash(h);
  }
  // Key length in the upper 16 bits must match the algorithm.
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
  HCRYPTKEY k = 0;
  EXPECT_FALSE(CryptDeriveKey(p, CALG_AES_128, h, 256u << 16, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  EXPECT_TRUE(CryptDeriveKey(p, CALG_AES_128, h, 128u << 16, &k));
  // Not exportable: the plaintext blob is refused.
  DWORD n = 0;
  EXPECT_FALSE(CryptExportKey(k, 0, PLAINTEXTKEYBLOB, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));
  EXPECT_FALSE(CryptDeriveKey(p, CALG_SHA1, h, 0, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
  EXPECT_FALSE(CryptDeriveKey(p, CALG_AES_128, p, 0, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH));
  CryptDestroyKey(k);
  CryptDestroyHash(h);
  CryptReleaseContext(p, 0);
}

TEST(ProvHash, ThreadsHashOnTheirOwnObjects) {
  HCRYPTPROV p = verify_ctx();
  HCRYPTKEY key = import_plain(p, CALG_RC2, str("Jefe"), CRYPT_IPSEC_HMAC_KEY);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        Bytes msg(size_t(i + 1), BYTE(t));
        HCRYPTHASH h = 0;
        ALG_ID alg = t % 2 ? CALG_SHA_256 : CALG_HMAC;
        if (!CryptCreateHash(p, alg, alg == CALG_HMAC ? key : 0, 0, &h)) {
          ++failures;
          continue;
        }
        CryptHashData(h, msg.data(), DWORD(msg.size()), 0);
        BYTE v[32];
        DWORD n = sizeof v;
        if (!CryptGetHashParam(h, HP_HASHVAL, v, &n, 0)) ++failures;
        if (alg == CALG_SHA_256 && Bytes(v, v + n) != evp("SHA256", msg)) ++failures;
        CryptDestroyHash(h);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  CryptDestroyKey(key);
  CryptReleaseContext(p, 0);
}

}  // namespace
