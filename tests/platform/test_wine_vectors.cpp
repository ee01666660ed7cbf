// Known answers from an independent CryptoAPI implementation: key blobs,
// signatures, RSA and AES ciphertexts, derived keys and hashed session keys
// that Wine's software provider made (tests/wine/gen_vectors.c writes
// data/wine-rsaenh-vectors.txt). Imported here, every value must come back
// byte for byte: the blob layouts, the little-endian signatures, the key
// derivation and the session-key hashing are those of the CryptoAPI.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "csp/cfgsup.h"
#include "csp/wincrypt.h"
#include "test_env.h"

namespace {

using Bytes = std::vector<BYTE>;

const std::map<std::string, Bytes>& vectors() {
  static const std::map<std::string, Bytes> v = [] {
    std::map<std::string, Bytes> out;
    std::ifstream in(QUILL_TEST_DATA "/wine-rsaenh-vectors.txt");
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string name, hex;
      if (!(fields >> name >> hex)) continue;
      Bytes b;
      for (size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(BYTE(std::stoi(hex.substr(i, 2), nullptr, 16)));
      out[name] = b;
    }
    return out;
  }();
  return v;
}

const Bytes& V(const std::string& name) {
  auto it = vectors().find(name);
  if (it == vectors().end()) {
    ADD_FAILURE() << "no vector " << name;
    static const Bytes empty;
    return empty;
  }
  return it->second;
}

Bytes export_blob(HCRYPTKEY k, DWORD type) {
  DWORD n = 0;
  if (!CryptExportKey(k, 0, type, 0, nullptr, &n)) return {};
  Bytes b(n);
  if (!CryptExportKey(k, 0, type, 0, b.data(), &n)) return {};
  b.resize(n);
  return b;
}

HCRYPTKEY import(HCRYPTPROV p, const Bytes& blob, HCRYPTKEY wrap = 0, DWORD flags = CRYPT_EXPORTABLE) {
  HCRYPTKEY k = 0;
  EXPECT_TRUE(CryptImportKey(p, blob.data(), DWORD(blob.size()), wrap, flags, &k))
      << std::hex << GetLastError();
  return k;
}

Bytes hash_value(HCRYPTHASH h) {
  BYTE out[64];
  DWORD n = sizeof out;
  if (!CryptGetHashParam(h, HP_HASHVAL, out, &n, 0)) return {};
  return Bytes(out, out + n);
}

Bytes encrypt_plain(HCRYPTKEY k) {
  Bytes buf = V("plain");
  DWORD n = DWORD(buf.size());
  buf.resize(buf.size() + 32);
  EXPECT_TRUE(CryptSetKeyParam(k, KP_IV, V("iv").data(), 0));
  if (!CryptEncrypt(k, 0, TRUE, 0, buf.data(), &n, DWORD(buf.size()))) return {};
  buf.resize(n);
  return buf;
}

HCRYPTPROV verify_context() {
  HCRYPTPROV p = 0;
  EXPECT_TRUE(CryptAcquireContextA(&p, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  return p;
}

TEST(WineVectors, KeyBlobsComeBackByteForByte) {
  HCRYPTPROV p = verify_context();
  for (const char* who : {"sign", "xchg"}) {
    std::string w = who;
    HCRYPTKEY priv = import(p, V(w + ".private"));
    EXPECT_EQ(export_blob(priv, PRIVATEKEYBLOB), V(w + ".private")) << who;
    EXPECT_EQ(export_blob(priv, PUBLICKEYBLOB), V(w + ".public")) << who;
    HCRYPTKEY pub = import(p, V(w + ".public"), 0, 0);
    EXPECT_EQ(export_blob(pub, PUBLICKEYBLOB), V(w + ".public")) << who;
    CryptDestroyKey(priv);
    CryptDestroyKey(pub);
  }
  CryptReleaseContext(p, 0);
}

TEST(WineVectors, SignaturesAreIdenticalAndVerify) {
  testenv::private_root();
  const char* name = "wine-vectors-signer";
  HCRYPTPROV p = 0;
  CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  ASSERT_TRUE(CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET));
  HCRYPTKEY key = import(p, V("sign.private"));  // becomes the container's signature key
  HCRYPTKEY pub = import(p, V("sign.public"), 0, 0);
  struct Case {
    ALG_ID alg;
    const char* name;
    DWORD flags;
  } cases[] = {{CALG_MD5, "md5", 0},         {CALG_SHA1, "sha1", 0},
               {CALG_SHA1, "sha1", CRYPT_NOHASHOID}, {CALG_SHA_256, "sha256", 0},
               {CALG_SHA_384, "sha384", 0},  {CALG_SHA_512, "sha512", 0}};
  for (const Case& c : cases) {
    std::string sig_name = std::string("signature.") + c.name + (c.flags ? ".nooid" : "");
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(p, c.alg, 0, 0, &h));
    ASSERT_TRUE(CryptHashData(h, V("message").data(), DWORD(V("message").size()), 0));
    BYTE sig[256];
    DWORD n = sizeof sig;
    ASSERT_TRUE(CryptSignHashA(h, AT_SIGNATURE, nullptr, c.flags, sig, &n)) << std::hex << GetLastError();
    EXPECT_EQ(Bytes(sig, sig + n), V(sig_name)) << sig_name;
    EXPECT_EQ(hash_value(h), V(std::string("hash.") + c.name));
    const Bytes& theirs = V(sig_name);
    EXPECT_TRUE(CryptVerifySignatureA(h, theirs.data(), DWORD(theirs.size()), pub, nullptr, c.flags))
        << sig_name << " " << std::hex << GetLastError();
    CryptDestroyHash(h);
  }
  CryptDestroyKey(pub);
  CryptDestroyKey(key);
  CryptReleaseContext(p, 0);
  CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
}

TEST(WineVectors, RsaCiphertextsDecrypt) {
  HCRYPTPROV p = verify_context();
  HCRYPTKEY k = import(p, V("xchg.private"));
  for (DWORD flags : {DWORD(0), DWORD(CRYPT_OAEP)}) {
    Bytes c = V(flags ? "rsa.oaep" : "rsa.pkcs1");
    DWORD n = DWORD(c.size());
    ASSERT_TRUE(CryptDecrypt(k, 0, TRUE, flags, c.data(), &n)) << std::hex << GetLastError();
    c.resize(n);
    EXPECT_EQ(c, V("plain")) << (flags ? "OAEP" : "PKCS #1");
  }
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
}

TEST(WineVectors, SessionKeysUnwrapEncryptAndHash) {
  HCRYPTPROV p = verify_context();
  HCRYPTKEY xchg = import(p, V("xchg.private"));
  for (std::string c : {"aes128", "aes256", "3des"}) {
    HCRYPTKEY k = import(p, V(c + ".simple"), xchg);
    EXPECT_EQ(export_blob(k, PLAINTEXTKEYBLOB), V(c + ".plaintext")) << c;
    EXPECT_EQ(encrypt_plain(k), V(c + ".cbc")) << c;
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
    ASSERT_TRUE(CryptHashSessionKey(h, k, 0));
    EXPECT_EQ(hash_value(h), V(c + ".hashsessionkey.sha1")) << c;
    CryptDestroyHash(h);
    CryptDestroyKey(k);
    HCRYPTKEY plain = import(p, V(c + ".plaintext"));
    EXPECT_EQ(encrypt_plain(plain), V(c + ".cbc")) << c << " from the plain blob";
    CryptDestroyKey(plain);
  }
  CryptDestroyKey(xchg);
  CryptReleaseContext(p, 0);
}

TEST(WineVectors, DerivedKeysMatch) {
  HCRYPTPROV p = verify_context();
  const ALG_ID kCiphers[] = {CALG_AES_128, CALG_AES_256, CALG_3DES};
  const char* kCipherNames[] = {"aes128", "aes256", "3des"};
  for (ALG_ID halg : {ALG_ID(CALG_SHA1), ALG_ID(CALG_SHA_256)}) {
    for (int i = 0; i < 3; ++i) {
      std::string name = std::string("derive.") + (halg == CALG_SHA1 ? "sha1." : "sha256.") + kCipherNames[i];
      HCRYPTHASH h = 0;
      ASSERT_TRUE(CryptCreateHash(p, halg, 0, 0, &h));
      ASSERT_TRUE(CryptHashData(h, V("password").data(), DWORD(V("password").size()), 0));
      HCRYPTKEY k = 0;
      ASSERT_TRUE(CryptDeriveKey(p, kCiphers[i], h, CRYPT_EXPORTABLE, &k)) << name;
      EXPECT_EQ(export_blob(k, PLAINTEXTKEYBLOB), V(name + ".plaintext")) << name;
      EXPECT_EQ(encrypt_plain(k), V(name + ".cbc")) << name;
      CryptDestroyKey(k);
      CryptDestroyHash(h);
    }
  }
  CryptReleaseContext(p, 0);
}

}  // namespace
