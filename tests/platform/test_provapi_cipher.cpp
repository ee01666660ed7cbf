// Symmetric and RSA encryption, key parameters, provider parameters and
// random numbers. Ciphertexts are checked against NIST SP 800-38A vectors
// and against OpenSSL's EVP ciphers.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstring>
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

DWORD le32(const BYTE* p) { return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24; }

struct Verify {
  HCRYPTPROV p = 0;
  Verify() { EXPECT_TRUE(CryptAcquireContextA(&p, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)); }
  ~Verify() { CryptReleaseContext(p, 0); }
};

HCRYPTKEY import_plain(HCRYPTPROV p, ALG_ID alg, const Bytes& key) {
  Bytes blob = {PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, 0};
  for (int i = 0; i < 4; ++i) blob.push_back(BYTE(alg >> (8 * i)));
  for (int i = 0; i < 4; ++i) blob.push_back(BYTE(key.size() >> (8 * i)));
  blob.insert(blob.end(), key.begin(), key.end());
  HCRYPTKEY k = 0;
  EXPECT_TRUE(CryptImportKey(p, blob.data(), DWORD(blob.size()), 0, CRYPT_EXPORTABLE, &k));
  return k;
}

void set_dword(HCRYPTKEY k, DWORD param, DWORD v) {
  EXPECT_TRUE(CryptSetKeyParam(k, param, reinterpret_cast<BYTE*>(&v), 0)) << param;
}

DWORD get_dword(HCRYPTKEY k, DWORD param) {
  DWORD v = 0, n = 4;
  EXPECT_TRUE(CryptGetKeyParam(k, param, reinterpret_cast<BYTE*>(&v), &n, 0)) << param;
  return v;
}

// Encrypts all of `data` in one final call.
Bytes encrypt(HCRYPTKEY k, Bytes data, HCRYPTHASH h = 0) {
  DWORD n = DWORD(data.size());
  EXPECT_TRUE(CryptEncrypt(k, h, TRUE, 0, nullptr, &n, 0));
  size_t len = data.size();
  data.resize(n);
  n = DWORD(len);
  EXPECT_TRUE(CryptEncrypt(k, h, TRUE, 0, data.data(), &n, DWORD(data.size())))
      << std::hex << GetLastError();
  data.resize(n);
  return data;
}

Bytes decrypt(HCRYPTKEY k, Bytes data, HCRYPTHASH h = 0) {
  DWORD n = DWORD(data.size());
  EXPECT_TRUE(CryptDecrypt(k, h, TRUE, 0, data.data(), &n)) << std::hex << GetLastError();
  data.resize(n);
  return data;
}

Bytes evp_encrypt(const EVP_CIPHER* c, const Bytes& key, const Bytes& iv, const Bytes& in) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, c, nullptr, key.data(), iv.empty() ? nullptr : iv.data());
  Bytes out(in.size() + 32);
  int n1 = 0, n2 = 0;
  EVP_EncryptUpdate(ctx, out.data(), &n1, in.data(), int(in.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(size_t(n1 + n2));
  return out;
}

Bytes pkcs5(Bytes in, size_t bs) {
  size_t pad = bs - in.size() % bs;
  in.insert(in.end(), pad, BYTE(pad));
  return in;
}

const Bytes kAesKey = hex("2b7e151628aed2a6abf7158809cf4f3c");
const Bytes kIv = hex("000102030405060708090a0b0c0d0e0f");
const Bytes kPlain = hex(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");

TEST(ProvCipher, AesNistVectorsInEveryMode) {
  Verify v;
  HCRYPTKEY k = import_plain(v.p, CALG_AES_128, kAesKey);
  EXPECT_EQ(get_dword(k, KP_MODE), DWORD(CRYPT_MODE_CBC));
  EXPECT_EQ(get_dword(k, KP_PADDING), DWORD(PKCS5_PADDING));
  EXPECT_EQ(get_dword(k, KP_MODE_BITS), 8u);
  ASSERT_TRUE(CryptSetKeyParam(k, KP_IV, kIv.data(), 0));
  // CBC, SP 800-38A F.2.1, streamed: whole blocks, then an empty final call
  // that gives the padding block.
  Bytes buf = kPlain;
  buf.resize(kPlain.size() + 16);
  DWORD n = 32;
  ASSERT_TRUE(CryptEncrypt(k, 0, FALSE, 0, buf.data(), &n, DWORD(buf.size())));
  EXPECT_EQ(n, 32u);
  n = 32;
  ASSERT_TRUE(CryptEncrypt(k, 0, FALSE, 0, buf.data() + 32, &n, 32));
  n = 0;
  ASSERT_TRUE(CryptEncrypt(k, 0, TRUE, 0, buf.data() + 64, &n, 16));
  EXPECT_EQ(n, 16u);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 64),
            hex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
                "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"));
  EXPECT_EQ(buf, evp_encrypt(EVP_aes_128_cbc(), kAesKey, kIv, kPlain));
  // After the final call the next message starts from the configured IV.
  EXPECT_EQ(encrypt(k, kPlain), buf);
  // ECB, F.1.1.
  set_dword(k, KP_MODE, CRYPT_MODE_ECB);
  Bytes ecb = encrypt(k, Bytes(kPlain.begin(), kPlain.begin() + 16));
  ASSERT_EQ(ecb.size(), 32u);
  EXPECT_EQ(Bytes(ecb.begin(), ecb.begin() + 16), hex("3ad77bb40d7a3660a89ecaf32466ef97"));
  EXPECT_EQ(decrypt(k, ecb), Bytes(kPlain.begin(), kPlain.begin() + 16));
  // CFB with 8-bit feedback, F.3.7; the final call pads to the block.
  set_dword(k, KP_MODE, CRYPT_MODE_CFB);
  Bytes msg(kPlain.begin(), kPlain.begin() + 18);
  Bytes cfb = encrypt(k, msg);
  ASSERT_EQ(cfb.size(), 32u);
  EXPECT_EQ(Bytes(cfb.begin(), cfb.begin() + 18), hex("3b79424c9c0dd436bace9e0ed4586a4f32b9"));
  EXPECT_EQ(cfb, evp_encrypt(EVP_aes_128_cfb8(), kAesKey, kIv, pkcs5(msg, 16)));
  EXPECT_EQ(decrypt(k, cfb), msg);
  // Every finished message, either way and also a refused one, leaves the
  // next to start from the IV.
  EXPECT_EQ(decrypt(k, cfb), msg);
  EXPECT_EQ(encrypt(k, msg), cfb);
  Bytes bad = cfb;
  bad.back() ^= 0x55;
  DWORD bad_n = DWORD(bad.size());
  EXPECT_FALSE(CryptDecrypt(k, 0, TRUE, 0, bad.data(), &bad_n));
  EXPECT_EQ(decrypt(k, cfb), msg);
  CryptDestroyKey(k);
}

TEST(ProvCipher, TripleDesAndAes256AgainstOpenSsl) {
  Verify v;
  Bytes data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = BYTE(i * 13 + 1);
  struct Case {
    ALG_ID alg;
    const EVP_CIPHER* cipher;
    size_t key, block;
  } cases[] = {{CALG_3DES, EVP_des_ede3_cbc(), 24, 8},
               {CALG_3DES_112, EVP_des_ede_cbc(), 16, 8},
               {CALG_AES_192, EVP_aes_192_cbc(), 24, 16},
               {CALG_AES_256, EVP_aes_256_cbc(), 32, 16}};
  for (const auto& c : cases) {
    Bytes key(c.key);
    for (size_t i = 0; i < key.size(); ++i) key[i] = BYTE(0x40 + i * 3);
    Bytes iv(c.block, 0x5a);
    HCRYPTKEY k = import_plain(v.p, c.alg, key);
    EXPECT_EQ(get_dword(k, KP_BLOCKLEN), c.block * 8);
    ASSERT_TRUE(CryptSetKeyParam(k, KP_IV, iv.data(), 0));
    Bytes ct = encrypt(k, data);
    EXPECT_EQ(ct, evp_encrypt(c.cipher, key, iv, data)) << std::hex << c.alg;
    EXPECT_EQ(decrypt(k, ct), data);
    CryptDestroyKey(k);
  }
}

TEST(ProvCipher, SizesPaddingAndStreamingErrors) {
  Verify v;
  HCRYPTKEY k = import_plain(v.p, CALG_AES_128, kAesKey);
  DWORD n = 16;
  ASSERT_TRUE(CryptEncrypt(k, 0, TRUE, 0, nullptr, &n, 0));
  EXPECT_EQ(n, 32u);
  n = 5;
  ASSERT_TRUE(CryptEncrypt(k, 0, TRUE, 0, nullptr, &n, 0));
  EXPECT_EQ(n, 16u);
  n = 32;
  ASSERT_TRUE(CryptEncrypt(k, 0, FALSE, 0, nullptr, &n, 0));
  EXPECT_EQ(n, 32u);
  Bytes buf(32, 1);
  n = 16;
  EXPECT_FALSE(CryptEncrypt(k, 0, TRUE, 0, buf.data(), &n, 16));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(n, 32u);
  EXPECT_EQ(buf, Bytes(32, 1)) << "a refused call leaves the buffer alone";
  n = 15;
  EXPECT_FALSE(CryptEncrypt(k, 0, FALSE, 0, buf.data(), &n, 32));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  EXPECT_FALSE(CryptEncrypt(k, 0, TRUE, 1, buf.data(), &n, 32));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));

  Bytes ct = encrypt(k, Bytes(40, 7));
  ASSERT_EQ(ct.size(), 48u);
  n = 47;
  Bytes c2 = ct;
  EXPECT_FALSE(CryptDecrypt(k, 0, TRUE, 0, c2.data(), &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  n = 0;
  EXPECT_FALSE(CryptDecrypt(k, 0, TRUE, 0, c2.data(), &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  // Decrypting with another key breaks the padding: NTE_BAD_DATA.
  HCRYPTKEY other = import_plain(v.p, CALG_AES_128, Bytes(16, 9));
  int bad = 0;
  for (int i = 0; i < 8; ++i) {
    c2 = ct;
    c2[47] ^= BYTE(i + 1);
    n = 48;
    if (!CryptDecrypt(k, 0, TRUE, 0, c2.data(), &n)) {
      EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
      ++bad;
    }
  }
  EXPECT_GT(bad, 5);
  // Streaming decryption gives every byte back at once, the padding at the end.
  c2 = ct;
  n = 32;
  ASSERT_TRUE(CryptDecrypt(k, 0, FALSE, 0, c2.data(), &n));
  EXPECT_EQ(n, 32u);
  n = 16;
  ASSERT_TRUE(CryptDecrypt(k, 0, TRUE, 0, c2.data() + 32, &n));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(Bytes(c2.begin(), c2.begin() + 40), Bytes(40, 7));
  CryptDestroyKey(other);
  CryptDestroyKey(k);
}

TEST(ProvCipher, HashesThePlaintextOnTheWay) {
  Verify v;
  HCRYPTKEY k = import_plain(v.p, CALG_AES_256, Bytes(32, 3));
  Bytes msg(50, 0x61);
  HCRYPTHASH he = 0, hd = 0;
  ASSERT_TRUE(CryptCreateHash(v.p, CALG_SHA1, 0, 0, &he));
  ASSERT_TRUE(CryptCreateHash(v.p, CALG_SHA1, 0, 0, &hd));
  Bytes ct = encrypt(k, msg, he);
  EXPECT_EQ(decrypt(k, ct, hd), msg);
  unsigned char expect[20];
  unsigned en = 0;
  EVP_Digest(msg.data(), msg.size(), expect, &en, EVP_sha1(), nullptr);
  for (HCRYPTHASH h : {he, hd}) {
    BYTE val[20];
    DWORD n = sizeof val;
    ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, val, &n, 0));
    EXPECT_EQ(Bytes(val, val + 20), Bytes(expect, expect + 20));
  }
  // A finished hash refuses before anything is encrypted.
  Bytes buf(16, 0);
  DWORD n = 0;
  EXPECT_FALSE(CryptEncrypt(k, he, TRUE, 0, buf.data(), &n, 16));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH_STATE));
  EXPECT_FALSE(CryptEncrypt(k, k, TRUE, 0, buf.data(), &n, 16));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH));
  EXPECT_FALSE(CryptEncrypt(he, 0, TRUE, 0, buf.data(), &n, 16));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
  CryptDestroyHash(he);
  CryptDestroyHash(hd);
  CryptDestroyKey(k);
}

TEST(ProvCipher, KeyParametersAndDuplicates) {
  Verify v;
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(v.p, CALG_3DES, CRYPT_EXPORTABLE, &k));
  EXPECT_EQ(get_dword(k, KP_ALGID), DWORD(CALG_3DES));
  EXPECT_EQ(get_dword(k, KP_KEYLEN), 192u);
  EXPECT_EQ(get_dword(k, KP_BLOCKLEN), 64u);
  DWORD bl = 0;
  ASSERT_TRUE(CryptExportKey(k, 0, PLAINTEXTKEYBLOB, 0, nullptr, &bl));
  Bytes blob(bl);
  ASSERT_TRUE(CryptExportKey(k, 0, PLAINTEXTKEYBLOB, 0, blob.data(), &bl));
  ASSERT_EQ(bl, 12u + 24);
  for (size_t i = 12; i < blob.size(); ++i)
    EXPECT_EQ(__builtin_popcount(blob[i]) % 2, 1) << "DES parity of byte " << i;
  EXPECT_EQ(get_dword(k, KP_PERMISSIONS) & (CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_EXPORT),
            DWORD(CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_EXPORT));
  DWORD n = 0;
  ASSERT_TRUE(CryptGetKeyParam(k, KP_IV, nullptr, &n, 0));
  EXPECT_EQ(n, 8u);
  BYTE iv[8];
  n = 4;
  EXPECT_FALSE(CryptGetKeyParam(k, KP_IV, iv, &n, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(n, 8u);
  // Only RC2 and RC4 keys have salt (as in Wine's provider).
  n = 0;
  EXPECT_FALSE(CryptGetKeyParam(k, KP_SALT, nullptr, &n, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
  DWORD bad = 99;
  EXPECT_FALSE(CryptSetKeyParam(k, KP_MODE, reinterpret_cast<BYTE*>(&bad), 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  bad = 16;
  EXPECT_FALSE(CryptSetKeyParam(k, KP_MODE_BITS, reinterpret_cast<BYTE*>(&bad), 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  bad = ZERO_PADDING;
  EXPECT_FALSE(CryptSetKeyParam(k, KP_PADDING, reinterpret_cast<BYTE*>(&bad), 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  EXPECT_EQ(get_dword(k, KP_EFFECTIVE_KEYLEN), 192u);
  n = 4;
  EXPECT_FALSE(CryptSetKeyParam(k, KP_EFFECTIVE_KEYLEN, iv, 0)) << "RC2 keys only";
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_TYPE));
  EXPECT_FALSE(CryptSetKeyParam(k, KP_ALGID, iv, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_TYPE));
  EXPECT_FALSE(CryptGetKeyParam(k, KP_IV, iv, &n, 1));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));

  // A duplicate carries the state at the time and then goes its own way.
  Bytes iv1(8, 1), iv2(8, 2);
  ASSERT_TRUE(CryptSetKeyParam(k, KP_IV, iv1.data(), 0));
  Bytes block(16, 0x33);
  DWORD bn = 8;
  ASSERT_TRUE(CryptEncrypt(k, 0, FALSE, 0, block.data(), &bn, 16));
  HCRYPTKEY d = 0;
  ASSERT_TRUE(CryptDuplicateKey(k, nullptr, 0, &d));
  Bytes a(8, 0x44), b(8, 0x44);
  bn = 8;
  ASSERT_TRUE(CryptEncrypt(k, 0, FALSE, 0, a.data(), &bn, 8));
  bn = 8;
  ASSERT_TRUE(CryptEncrypt(d, 0, FALSE, 0, b.data(), &bn, 8));
  EXPECT_EQ(a, b) << "the duplicate continues the same stream";
  ASSERT_TRUE(CryptSetKeyParam(d, KP_IV, iv2.data(), 0));
  n = 8;
  ASSERT_TRUE(CryptGetKeyParam(k, KP_IV, iv, &n, 0));
  EXPECT_EQ(Bytes(iv, iv + 8), iv1);
  set_dword(d, KP_MODE, CRYPT_MODE_ECB);
  EXPECT_EQ(get_dword(k, KP_MODE), DWORD(CRYPT_MODE_CBC));
  // Permissions: without CRYPT_ENCRYPT the key no longer encrypts, and a
  // non-exportable key cannot be made exportable (NTE_BAD_DATA, as Windows;
  // clearing CRYPT_EXPORT is ignored, see tests/wine).
  set_dword(d, KP_PERMISSIONS, CRYPT_DECRYPT);
  bn = 8;
  EXPECT_FALSE(CryptEncrypt(d, 0, TRUE, 0, a.data(), &bn, 8));
  EXPECT_EQ(GetLastError(), DWORD(NTE_PERM));
  HCRYPTKEY ne = 0;
  ASSERT_TRUE(CryptGenKey(v.p, CALG_AES_128, 0, &ne));
  DWORD perm = CRYPT_ENCRYPT | CRYPT_EXPORT;
  EXPECT_FALSE(CryptSetKeyParam(ne, KP_PERMISSIONS, reinterpret_cast<BYTE*>(&perm), 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  EXPECT_FALSE(CryptDuplicateKey(k, &perm, 0, &d));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  CryptDestroyKey(ne);
  CryptDestroyKey(d);
  CryptDestroyKey(k);
  EXPECT_FALSE(CryptDestroyKey(k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
}

TEST(ProvCipher, RsaExchangeKeyEncryption) {
  testenv::private_root();
  const char* name = "rsa-cipher";
  HCRYPTPROV p = 0;
  CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  ASSERT_TRUE(CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET));
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(p, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &k));
  // The private blob gives OpenSSL the same key.
  DWORD bl = 0;
  ASSERT_TRUE(CryptExportKey(k, 0, PRIVATEKEYBLOB, 0, nullptr, &bl));
  Bytes blob(bl);
  ASSERT_TRUE(CryptExportKey(k, 0, PRIVATEKEYBLOB, 0, blob.data(), &bl));
  auto bn = [&](size_t off, size_t n) {
    Bytes be(blob.rend() - long(off + n), blob.rend() - long(off));
    return BN_bin2bn(be.data(), int(be.size()), nullptr);
  };
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  BIGNUM* nn = bn(20, 128);
  BIGNUM* dd = bn(20 + 128 + 5 * 64, 128);
  BIGNUM* ee = BN_new();
  BN_set_word(ee, le32(&blob[16]));
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, nn);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, ee);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, dd);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* fctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* evp = nullptr;
  EVP_PKEY_fromdata_init(fctx);
  ASSERT_EQ(EVP_PKEY_fromdata(fctx, &evp, EVP_PKEY_KEYPAIR, params), 1);
  EVP_PKEY_CTX_free(fctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(nn);
  BN_free(dd);
  BN_free(ee);

  Bytes msg = hex("00112233445566778899aabbccddeeff");
  for (bool oaep : {false, true}) {
    DWORD flags = oaep ? CRYPT_OAEP : 0;
    auto pad = [&](EVP_PKEY_CTX* c) {
      EVP_PKEY_CTX_set_rsa_padding(c, oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING);
      if (oaep) {
        EVP_PKEY_CTX_set_rsa_oaep_md(c, EVP_sha1());
        EVP_PKEY_CTX_set_rsa_mgf1_md(c, EVP_sha1());
      }
    };
    DWORD n = DWORD(msg.size());
    ASSERT_TRUE(CryptEncrypt(k, 0, TRUE, flags, nullptr, &n, 0));
    EXPECT_EQ(n, 128u);
    Bytes buf = msg;
    buf.resize(128);
    n = DWORD(msg.size());
    ASSERT_TRUE(CryptEncrypt(k, 0, TRUE, flags, buf.data(), &n, 128));
    ASSERT_EQ(n, 128u);
    // OpenSSL decrypts our (little-endian) ciphertext.
    Bytes be(buf.rbegin(), buf.rend());
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(evp, nullptr);
    EVP_PKEY_decrypt_init(c);
    pad(c);
    Bytes out(128);
    size_t on = out.size();
    ASSERT_EQ(EVP_PKEY_decrypt(c, out.data(), &on, be.data(), be.size()), 1) << oaep;
    out.resize(on);
    EXPECT_EQ(out, msg);
    EVP_PKEY_CTX_free(c);
    // And we decrypt OpenSSL's.
    c = EVP_PKEY_CTX_new(evp, nullptr);
    EVP_PKEY_encrypt_init(c);
    pad(c);
    Bytes ct(128);
    // An OAEP block starts with a zero byte, so its second byte, 2 once in
    // 256 blocks, alone decides whether it can pass for PKCS #1 v1.5 below:
    // take a ciphertext whose block cannot.
    for (bool ambiguous = true; ambiguous;) {
      size_t cn = ct.size();
      ASSERT_EQ(EVP_PKEY_encrypt(c, ct.data(), &cn, msg.data(), msg.size()), 1);
      EVP_PKEY_CTX* raw = EVP_PKEY_CTX_new(evp, nullptr);
      EVP_PKEY_decrypt_init(raw);
      EVP_PKEY_CTX_set_rsa_padding(raw, RSA_NO_PADDING);
      Bytes block(128);
      size_t bn = block.size();
      ASSERT_EQ(EVP_PKEY_decrypt(raw, block.data(), &bn, ct.data(), ct.size()), 1);
      EVP_PKEY_CTX_free(raw);
      ambiguous = oaep && block[1] == 2;
    }
    EVP_PKEY_CTX_free(c);
    std::reverse(ct.begin(), ct.end());
    Bytes work = ct;
    n = 128;
    ASSERT_TRUE(CryptDecrypt(k, 0, TRUE, flags, work.data(), &n));
    EXPECT_EQ(Bytes(work.begin(), work.begin() + n), msg);
    // Every kind of bad ciphertext is the same NTE_BAD_DATA.
    work = ct;
    work[3] ^= 0x80;
    n = 128;
    EXPECT_FALSE(CryptDecrypt(k, 0, TRUE, flags, work.data(), &n));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
    work = ct;
    n = 127;
    EXPECT_FALSE(CryptDecrypt(k, 0, TRUE, flags, work.data(), &n));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
    work = ct;
    n = 128;
    EXPECT_FALSE(CryptDecrypt(k, 0, TRUE, oaep ? 0 : CRYPT_OAEP, work.data(), &n));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
    // Too much plaintext for the padding.
    Bytes big(128, 1);
    n = oaep ? 87 : 118;
    EXPECT_FALSE(CryptEncrypt(k, 0, TRUE, flags, big.data(), &n, 128));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_LEN));
  }
  EVP_PKEY_free(evp);
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
  CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
}

// ---- Provider parameters and random numbers ---------------------------------

TEST(ProvParams, AlgorithmEnumeration) {
  Verify v;
  std::vector<ALG_ID> seen;
  for (DWORD flags = CRYPT_FIRST;; flags = 0) {
    PROV_ENUMALGS rec;
    DWORD n = 0;
    if (!CryptGetProvParam(v.p, PP_ENUMALGS, nullptr, &n, flags)) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
      break;
    }
    EXPECT_EQ(n, sizeof rec);
    ASSERT_TRUE(CryptGetProvParam(v.p, PP_ENUMALGS, reinterpret_cast<BYTE*>(&rec), &n, flags));
    EXPECT_EQ(rec.dwNameLen, strlen(rec.szName) + 1);
    seen.push_back(rec.aiAlgid);
    ASSERT_LT(seen.size(), 100u);
  }
  for (ALG_ID a : {CALG_SHA1, CALG_SHA_256, CALG_RSA_KEYX, CALG_RSA_SIGN, CALG_AES_256, CALG_3DES})
    EXPECT_NE(std::find(seen.begin(), seen.end(), a), seen.end()) << std::hex << a;
  // The cursor stays at the end until CRYPT_FIRST restarts it.
  BYTE buf[128];
  DWORD n = sizeof buf;
  EXPECT_FALSE(CryptGetProvParam(v.p, PP_ENUMALGS, buf, &n, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
  PROV_ENUMALGS_EX ex;
  size_t count = 0;
  bool aes = false;
  for (DWORD flags = CRYPT_FIRST;; flags = 0) {
    n = sizeof ex;
    if (!CryptGetProvParam(v.p, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&ex), &n, flags)) break;
    EXPECT_EQ(n, 88u);
    ++count;
    if (ex.aiAlgid == CALG_RSA_KEYX) {
      EXPECT_EQ(ex.dwMinLen, 1024u);
      EXPECT_EQ(ex.dwMaxLen, 4096u);
    }
    if (ex.aiAlgid == CALG_AES_256) aes = ex.dwDefaultLen == 256 && ex.dwLongNameLen > 1;
  }
  EXPECT_EQ(count, seen.size());
  EXPECT_TRUE(aes);
  n = 4;
  EXPECT_FALSE(CryptGetProvParam(v.p, PP_ENUMALGS_EX, buf, &n, CRYPT_FIRST));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(n, 88u);
  EXPECT_FALSE(CryptGetProvParam(v.p, PP_ENUMALGS, buf, &n, 0x100));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  DWORD spec = 0;
  n = 4;
  ASSERT_TRUE(CryptGetProvParam(v.p, PP_KEYSPEC, reinterpret_cast<BYTE*>(&spec), &n, 0));
  EXPECT_EQ(spec, DWORD(AT_KEYEXCHANGE | AT_SIGNATURE));
  n = sizeof buf;
  EXPECT_FALSE(CryptGetProvParam(v.p, 0x7777, buf, &n, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_TYPE));
}

TEST(ProvParams, VersionEx) {
  Verify v;
  DWORD n = 0;
  ASSERT_TRUE(CryptGetProvParam(v.p, PP_VERSION_EX, nullptr, &n, 0));
  ASSERT_EQ(n, 20u);
  BYTE buf[20];
  ASSERT_TRUE(CryptGetProvParam(v.p, PP_VERSION_EX, buf, &n, 0));
  EXPECT_GE(le32(buf), 1u);
  EXPECT_EQ(le32(buf + 4), DWORD(OpenSSL_version_num()));
  EXPECT_LE(le32(buf + 8), 1u);
  EXPECT_EQ(le32(buf + 12), sizeof(void*) == 8 ? DWORD(PROV_ARCH_X86_64) : DWORD(PROV_ARCH_X86));
  EXPECT_EQ(le32(buf + 16), DWORD(PROV_OS_LINUX));
}

TEST(ProvParams, ExtensionsAndCommentLiveInTheContainer) {
  testenv::private_root();
  const char* name = "params-ext";
  HCRYPTPROV p = 0;
  CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  ASSERT_TRUE(CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET));
  BYTE buf[256];
  DWORD n = sizeof buf;
  EXPECT_FALSE(CryptGetProvParam(p, PP_ENUM_CERT_EXTENSIONS, buf, &n, CRYPT_FIRST));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
  BYTE value[] = {0x30, 0x03, 0x01, 0x01, 0xFF};
  CERT_EXTENSION ext{};
  ext.pszObjId = const_cast<char*>("2.5.29.19");
  ext.fCritical = TRUE;
  ext.Value.cbData = sizeof value;
  ext.Value.pbData = value;
  ASSERT_TRUE(CryptSetProvParam(p, PP_SET_CERT_EXTENSION, reinterpret_cast<BYTE*>(&ext), 0));
  BYTE eku[] = {0x30, 0x00};
  ext.pszObjId = const_cast<char*>("2.5.29.37");
  ext.fCritical = FALSE;
  ext.Value.cbData = sizeof eku;
  ext.Value.pbData = eku;
  ASSERT_TRUE(CryptSetProvParam(p, PP_SET_CERT_EXTENSION, reinterpret_cast<BYTE*>(&ext), 0));
  ext.pszObjId = const_cast<char*>("not an oid");
  EXPECT_FALSE(CryptSetProvParam(p, PP_SET_CERT_EXTENSION, reinterpret_cast<BYTE*>(&ext), 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  ext.pszObjId = nullptr;
  EXPECT_FALSE(CryptSetProvParam(p, PP_SET_CERT_EXTENSION, reinterpret_cast<BYTE*>(&ext), 0));
  CRYPT_DATA_BLOB comment{7, reinterpret_cast<BYTE*>(const_cast<char*>("my keys"))};
  ASSERT_TRUE(CryptSetProvParam(p, PP_CONTAINER_COMMENT, reinterpret_cast<BYTE*>(&comment), 0));
  CryptReleaseContext(p, 0);

  ASSERT_TRUE(CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, 0));
  n = 0;
  ASSERT_TRUE(CryptGetProvParam(p, PP_ENUM_CERT_EXTENSIONS, nullptr, &n, CRYPT_FIRST));
  ASSERT_EQ(n, 8u + sizeof value + 10);
  ASSERT_TRUE(CryptGetProvParam(p, PP_ENUM_CERT_EXTENSIONS, buf, &n, CRYPT_FIRST));
  EXPECT_EQ(le32(buf), 1u);
  EXPECT_EQ(le32(buf + 4), DWORD(sizeof value));
  EXPECT_EQ(Bytes(buf + 8, buf + 8 + sizeof value), Bytes(value, value + sizeof value));
  EXPECT_STREQ(reinterpret_cast<char*>(buf + 8 + sizeof value), "2.5.29.19");
  n = sizeof buf;
  ASSERT_TRUE(CryptGetProvParam(p, PP_ENUM_CERT_EXTENSIONS, buf, &n, 0));
  EXPECT_EQ(le32(buf), 0u);
  EXPECT_STREQ(reinterpret_cast<char*>(buf + 8 + sizeof eku), "2.5.29.37");
  n = sizeof buf;
  EXPECT_FALSE(CryptGetProvParam(p, PP_ENUM_CERT_EXTENSIONS, buf, &n, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
  n = sizeof buf;
  ASSERT_TRUE(CryptGetProvParam(p, PP_CONTAINER_COMMENT, buf, &n, 0));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "my keys");
  CRYPT_DATA_BLOB none{0, nullptr};
  ASSERT_TRUE(CryptSetProvParam(p, PP_CONTAINER_COMMENT, reinterpret_cast<BYTE*>(&none), 0));
  n = sizeof buf;
  ASSERT_TRUE(CryptGetProvParam(p, PP_CONTAINER_COMMENT, buf, &n, 0));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(CryptSetProvParam(p, 0x7777, buf, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_TYPE));
  EXPECT_FALSE(CryptSetProvParam(p, PP_CONTAINER_COMMENT, reinterpret_cast<BYTE*>(&none), 1));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  CryptReleaseContext(p, 0);
  CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);

  Verify v;
  EXPECT_FALSE(CryptSetProvParam(v.p, PP_SET_CERT_EXTENSION, reinterpret_cast<BYTE*>(&ext), 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEYSET));
}

TEST(ProvParams, GenRandom) {
  Verify v;
  Bytes a(64, 0), b(64, 0);
  ASSERT_TRUE(CryptGenRandom(v.p, 64, a.data()));
  ASSERT_TRUE(CryptGenRandom(v.p, 64, b.data()));
  EXPECT_NE(a, b);
  EXPECT_NE(a, Bytes(64, 0));
  Bytes c(8, 0xEE);
  ASSERT_TRUE(CryptGenRandom(v.p, 4, c.data()));
  EXPECT_EQ(Bytes(c.begin() + 4, c.end()), Bytes(4, 0xEE)) << "nothing beyond dwLen is written";
  EXPECT_TRUE(CryptGenRandom(v.p, 0, nullptr));
  EXPECT_FALSE(CryptGenRandom(v.p, 4, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CryptGenRandom(0, 4, a.data()));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_UID));
}

}  // namespace
