// RSA key pairs in containers, key blobs, signatures and container
// passwords. Blobs are decoded here independently of the provider and
// checked with OpenSSL: signatures are verified and re-created with EVP
// keys built from the exported blobs.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "container.h"
#include "csp/cfgsup.h"
#include "csp/wincrypt.h"
#include "test_env.h"

namespace {

using Bytes = std::vector<BYTE>;

DWORD le32(const Bytes& b, size_t off) {
  return DWORD(b[off]) | DWORD(b[off + 1]) << 8 | DWORD(b[off + 2]) << 16 | DWORD(b[off + 3]) << 24;
}

struct Pkey {
  EVP_PKEY* p = nullptr;
  ~Pkey() { EVP_PKEY_free(p); }
};

BIGNUM* le_bn(const Bytes& b, size_t off, size_t n) {
  Bytes be(b.begin() + long(off), b.begin() + long(off + n));
  std::reverse(be.begin(), be.end());
  return BN_bin2bn(be.data(), int(be.size()), nullptr);
}

// Builds an OpenSSL key from a PUBLICKEYBLOB or PRIVATEKEYBLOB.
EVP_PKEY* evp_from_blob(const Bytes& blob) {
  bool priv = blob[0] == PRIVATEKEYBLOB;
  DWORD bits = le32(blob, 12);
  size_t n = bits / 8, half = bits / 16;
  std::vector<BIGNUM*> bns;
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  auto push = [&](const char* name, BIGNUM* bn) {
    bns.push_back(bn);
    OSSL_PARAM_BLD_push_BN(bld, name, bn);
  };
  BIGNUM* e = BN_new();
  BN_set_word(e, le32(blob, 16));
  push(OSSL_PKEY_PARAM_RSA_N, le_bn(blob, 20, n));
  push(OSSL_PKEY_PARAM_RSA_E, e);
  if (priv) {
    size_t off = 20 + n;
    push(OSSL_PKEY_PARAM_RSA_FACTOR1, le_bn(blob, off, half));
    push(OSSL_PKEY_PARAM_RSA_FACTOR2, le_bn(blob, off + half, half));
    push(OSSL_PKEY_PARAM_RSA_EXPONENT1, le_bn(blob, off + 2 * half, half));
    push(OSSL_PKEY_PARAM_RSA_EXPONENT2, le_bn(blob, off + 3 * half, half));
    push(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, le_bn(blob, off + 4 * half, half));
    push(OSSL_PKEY_PARAM_RSA_D, le_bn(blob, off + 5 * half, n));
  }
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* pkey = nullptr;
  EVP_PKEY_fromdata_init(ctx);
  EVP_PKEY_fromdata(ctx, &pkey, priv ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  for (BIGNUM* b : bns) BN_free(b);
  return pkey;
}

Bytes export_blob(HCRYPTKEY k, DWORD type, HCRYPTKEY wrap = 0, DWORD flags = 0) {
  DWORD n = 0;
  EXPECT_TRUE(CryptExportKey(k, wrap, type, flags, nullptr, &n)) << std::hex << GetLastError();
  Bytes b(n);
  EXPECT_TRUE(CryptExportKey(k, wrap, type, flags, b.data(), &n)) << std::hex << GetLastError();
  b.resize(n);
  return b;
}

Bytes sha(const char* md, const Bytes& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  EVP_Digest(data.data(), data.size(), out, &n, EVP_get_digestbyname(md), nullptr);
  return Bytes(out, out + n);
}

// A fresh container that is removed again at the end.
struct Container {
  std::string name;
  HCRYPTPROV prov = 0;
  explicit Container(const std::string& n, DWORD flags = 0) : name(n) {
    testenv::private_root();
    HCRYPTPROV tmp = 0;
    CryptAcquireContextA(&tmp, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    EXPECT_TRUE(CryptAcquireContextA(&prov, name.c_str(), nullptr, PROV_RSA_AES,
                                     CRYPT_NEWKEYSET | flags));
  }
  HCRYPTPROV open(DWORD flags = 0) const {
    HCRYPTPROV p = 0;
    EXPECT_TRUE(CryptAcquireContextA(&p, name.c_str(), nullptr, PROV_RSA_AES, flags));
    return p;
  }
  ~Container() {
    if (prov) CryptReleaseContext(prov, 0);
    HCRYPTPROV tmp = 0;
    CryptAcquireContextA(&tmp, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  }
};

HCRYPTHASH hash_of(HCRYPTPROV p, ALG_ID alg, const Bytes& data) {
  HCRYPTHASH h = 0;
  EXPECT_TRUE(CryptCreateHash(p, alg, 0, 0, &h));
  EXPECT_TRUE(CryptHashData(h, data.data(), DWORD(data.size()), 0));
  return h;
}

Bytes sign(HCRYPTPROV p, DWORD spec, ALG_ID alg, const Bytes& data, DWORD flags = 0) {
  HCRYPTHASH h = hash_of(p, alg, data);
  DWORD n = 0;
  EXPECT_TRUE(CryptSignHashA(h, spec, nullptr, flags, nullptr, &n));
  Bytes sig(n);
  if (!CryptSignHashA(h, spec, nullptr, flags, sig.data(), &n)) sig.clear();
  CryptDestroyHash(h);
  return sig;
}

const Bytes kMsg = {'s', 'i', 'g', 'n', ' ', 'm', 'e'};

TEST(ProvRsa, GeneratedKeysPersistInTheContainer) {
  Container c("rsa-persist");
  HCRYPTKEY k = 0;
  EXPECT_FALSE(CryptGetUserKey(c.prov, AT_SIGNATURE, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY));
  ASSERT_TRUE(CryptGenKey(c.prov, AT_SIGNATURE, (1024u << 16) | CRYPT_EXPORTABLE, &k));
  HCRYPTKEY x = 0;
  ASSERT_TRUE(CryptGenKey(c.prov, CALG_RSA_KEYX, 1024u << 16, &x));
  BYTE buf[8];
  DWORD n = sizeof buf;
  ASSERT_TRUE(CryptGetKeyParam(k, KP_ALGID, buf, &n, 0));
  EXPECT_EQ(le32(Bytes(buf, buf + 4), 0), DWORD(CALG_RSA_SIGN));
  n = sizeof buf;
  ASSERT_TRUE(CryptGetKeyParam(x, KP_KEYLEN, buf, &n, 0));
  EXPECT_EQ(le32(Bytes(buf, buf + 4), 0), 1024u);
  Bytes pub = export_blob(k, PUBLICKEYBLOB);
  Bytes xpub = export_blob(x, PUBLICKEYBLOB);
  CryptDestroyKey(k);
  CryptDestroyKey(x);
  CryptReleaseContext(c.prov, 0);
  c.prov = 0;

  // Another "process": only the file on disk connects them.
  HCRYPTPROV p = c.open();
  ASSERT_TRUE(CryptGetUserKey(p, AT_SIGNATURE, &k));
  ASSERT_TRUE(CryptGetUserKey(p, AT_KEYEXCHANGE, &x));
  EXPECT_EQ(export_blob(k, PUBLICKEYBLOB), pub);
  EXPECT_EQ(export_blob(x, PUBLICKEYBLOB), xpub);
  // Exportability was recorded with the key.
  n = 0;
  EXPECT_FALSE(CryptExportKey(x, 0, PRIVATEKEYBLOB, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));
  Bytes priv = export_blob(k, PRIVATEKEYBLOB);
  ASSERT_EQ(priv.size(), 20u + 128 + 5 * 64 + 128);
  EXPECT_EQ(le32(priv, 8), DWORD(RSA2_MAGIC));
  EXPECT_TRUE(std::equal(pub.begin() + 12, pub.end(), priv.begin() + 12)) << "same modulus";
  // PKCS#1 v1.5 signatures are deterministic: OpenSSL with the key rebuilt
  // from the private blob must produce exactly our signature.
  Pkey evp;
  evp.p = evp_from_blob(priv);
  ASSERT_NE(evp.p, nullptr);
  Bytes ours = sign(p, AT_SIGNATURE, CALG_SHA_256, kMsg);
  ASSERT_EQ(ours.size(), 128u);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(evp.p, nullptr);
  ASSERT_EQ(EVP_PKEY_sign_init(ctx), 1);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
  Bytes digest = sha("SHA256", kMsg);
  Bytes theirs(128);
  size_t tn = theirs.size();
  ASSERT_EQ(EVP_PKEY_sign(ctx, theirs.data(), &tn, digest.data(), digest.size()), 1);
  EVP_PKEY_CTX_free(ctx);
  std::reverse(theirs.begin(), theirs.end());
  EXPECT_EQ(ours, theirs);
  CryptDestroyKey(k);
  CryptDestroyKey(x);
  CryptReleaseContext(p, 0);
}

TEST(ProvRsa, GenKeyArgumentChecks) {
  testenv::private_root();
  HCRYPTPROV v = 0;
  ASSERT_TRUE(CryptAcquireContextA(&v, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  HCRYPTKEY k = 0;
  EXPECT_FALSE(CryptGenKey(v, AT_SIGNATURE, 1024u << 16, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEYSET));
  EXPECT_FALSE(CryptGetUserKey(v, AT_SIGNATURE, &k));
  Container c("rsa-args");
  for (DWORD bits : {512u, 1020u, 1028u + 2, 8192u}) {
    EXPECT_FALSE(CryptGenKey(c.prov, AT_KEYEXCHANGE, bits << 16, &k)) << bits;
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS)) << bits;
  }
  EXPECT_FALSE(CryptGenKey(c.prov, AT_KEYEXCHANGE, (1024u << 16) | 0x8000, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  EXPECT_FALSE(CryptGenKey(c.prov, CALG_DSS_SIGN, 0, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
  EXPECT_FALSE(CryptGenKey(c.prov, CALG_AES_128, 256u << 16, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  EXPECT_FALSE(CryptGetUserKey(c.prov, 7, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
  EXPECT_FALSE(CryptGenKey(k, AT_SIGNATURE, 0, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_UID));
  CryptReleaseContext(v, 0);
}

TEST(ProvRsa, PublicBlobsRoundTripAndVerify) {
  Container c("rsa-blobs");
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(c.prov, AT_SIGNATURE, 1024u << 16, &k));
  Bytes pub = export_blob(k, PUBLICKEYBLOB);
  ASSERT_EQ(pub.size(), 20u + 128);
  EXPECT_EQ(pub[0], PUBLICKEYBLOB);
  EXPECT_EQ(pub[1], CUR_BLOB_VERSION);
  EXPECT_EQ(le32(pub, 4), DWORD(CALG_RSA_SIGN));
  EXPECT_EQ(le32(pub, 8), DWORD(RSA1_MAGIC));
  EXPECT_EQ(le32(pub, 12), 1024u);
  EXPECT_EQ(le32(pub, 16), 65537u);
  // A short buffer gets ERROR_MORE_DATA and the size.
  Bytes small(10);
  DWORD n = DWORD(small.size());
  EXPECT_FALSE(CryptExportKey(k, 0, PUBLICKEYBLOB, 0, small.data(), &n));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(n, pub.size());

  HCRYPTPROV v = 0;
  ASSERT_TRUE(CryptAcquireContextA(&v, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  HCRYPTKEY imp = 0;
  ASSERT_TRUE(CryptImportKey(v, pub.data(), DWORD(pub.size()), 0, 0, &imp));
  EXPECT_EQ(export_blob(imp, PUBLICKEYBLOB), pub) << "re-export must be byte-identical";
  n = 0;
  EXPECT_FALSE(CryptExportKey(imp, 0, PRIVATEKEYBLOB, 0, nullptr, &n));

  // Our signature verifies with OpenSSL (key built from the blob here) and
  // with the imported public key; a changed byte or length does not.
  for (auto [alg, md] : {std::pair<ALG_ID, const char*>{CALG_SHA1, "SHA1"},
                         {CALG_SHA_256, "SHA256"}, {CALG_SHA_512, "SHA512"}, {CALG_MD5, "MD5"}}) {
    Bytes sig = sign(c.prov, AT_SIGNATURE, alg, kMsg);
    ASSERT_EQ(sig.size(), 128u);
    Bytes be(sig.rbegin(), sig.rend());
    Pkey evp;
    evp.p = evp_from_blob(pub);
    EVP_MD_CTX* mctx = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestVerifyInit(mctx, nullptr, EVP_get_digestbyname(md), nullptr, evp.p), 1);
    EXPECT_EQ(EVP_DigestVerify(mctx, be.data(), be.size(), kMsg.data(), kMsg.size()), 1) << md;
    EVP_MD_CTX_free(mctx);

    HCRYPTHASH h = hash_of(v, alg, kMsg);
    EXPECT_TRUE(CryptVerifySignatureA(h, sig.data(), DWORD(sig.size()), imp, nullptr, 0)) << md;
    Bytes bad = sig;
    bad[5] ^= 1;
    EXPECT_FALSE(CryptVerifySignatureA(h, bad.data(), DWORD(bad.size()), imp, nullptr, 0));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_SIGNATURE));
    EXPECT_FALSE(CryptVerifySignatureA(h, sig.data(), DWORD(sig.size() - 1), imp, nullptr, 0));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_SIGNATURE));
    CryptDestroyHash(h);
  }
  // CRYPT_NOHASHOID: PKCS#1 type 1 padding over the bare hash value.
  Bytes sig = sign(c.prov, AT_SIGNATURE, CALG_SHA1, kMsg, CRYPT_NOHASHOID);
  Bytes be(sig.rbegin(), sig.rend());
  Pkey evp;
  evp.p = evp_from_blob(pub);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(evp.p, nullptr);
  EVP_PKEY_verify_recover_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  Bytes rec(128);
  size_t rn = rec.size();
  ASSERT_EQ(EVP_PKEY_verify_recover(ctx, rec.data(), &rn, be.data(), be.size()), 1);
  rec.resize(rn);
  EXPECT_EQ(rec, sha("SHA1", kMsg));
  EVP_PKEY_CTX_free(ctx);
  HCRYPTHASH h = hash_of(v, CALG_SHA1, kMsg);
  EXPECT_TRUE(CryptVerifySignatureA(h, sig.data(), DWORD(sig.size()), imp, nullptr,
                                    CRYPT_NOHASHOID));
  EXPECT_FALSE(CryptVerifySignatureA(h, sig.data(), DWORD(sig.size()), imp, nullptr, 0));
  CryptDestroyHash(h);
  CryptDestroyKey(imp);
  CryptDestroyKey(k);
  CryptReleaseContext(v, 0);
}

TEST(ProvRsa, SignHashErrors) {
  Container c("rsa-sign-errors");
  HCRYPTHASH h = hash_of(c.prov, CALG_SHA1, kMsg);
  DWORD n = 0;
  EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY));
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(c.prov, AT_SIGNATURE, 1024u << 16, &k));
  EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, CRYPT_X931_FORMAT, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  n = 100;
  Bytes sig(128);
  EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, sig.data(), &n));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(n, 128u);
  // The description is ignored.
  EXPECT_TRUE(CryptSignHashA(h, AT_SIGNATURE, "ignored", 0, sig.data(), &n));
  EXPECT_FALSE(CryptSignHashA(k, AT_SIGNATURE, nullptr, 0, sig.data(), &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH));
  EXPECT_FALSE(CryptVerifySignatureA(h, sig.data(), 128, h, nullptr, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
  CryptDestroyHash(h);
  // HMAC values are not signed.
  Bytes blob = {PLAINTEXTKEYBLOB, 2, 0, 0, 0x0e, 0x66, 0, 0, 16, 0, 0, 0};
  blob.resize(blob.size() + 16, 7);
  HCRYPTKEY mk = 0;
  ASSERT_TRUE(CryptImportKey(c.prov, blob.data(), DWORD(blob.size()), 0, 0, &mk));
  ASSERT_TRUE(CryptCreateHash(c.prov, CALG_HMAC, mk, 0, &h));
  EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, sig.data(), &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
  CryptDestroyHash(h);
  CryptDestroyKey(mk);
  CryptDestroyKey(k);
}

TEST(ProvRsa, PrivateAndSimpleBlobs) {
  Container a("rsa-priv-a"), b("rsa-priv-b");
  HCRYPTKEY x = 0;
  ASSERT_TRUE(CryptGenKey(a.prov, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &x));
  Bytes priv = export_blob(x, PRIVATEKEYBLOB);
  // Imported into another container, the pair signs identically.
  HCRYPTKEY y = 0;
  ASSERT_TRUE(CryptImportKey(b.prov, priv.data(), DWORD(priv.size()), 0, CRYPT_EXPORTABLE, &y));
  EXPECT_EQ(export_blob(y, PRIVATEKEYBLOB), priv);
  EXPECT_EQ(sign(a.prov, AT_KEYEXCHANGE, CALG_SHA1, kMsg), sign(b.prov, AT_KEYEXCHANGE, CALG_SHA1, kMsg));
  // A private blob whose parts do not belong together is refused: one bit
  // changed in the exponent, the modulus, p, q, dp, dq, qinv or d.
  for (size_t at : {16, 20 + 5, 148 + 3, 212 + 63, 276 + 1, 340 + 40, 404 + 7, 468 + 100}) {
    Bytes broken = priv;
    broken[at] ^= 0x10;
    HCRYPTKEY z = 0;
    EXPECT_FALSE(CryptImportKey(b.prov, broken.data(), DWORD(broken.size()), 0, 0, &z)) << at;
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA)) << at;
  }

  // SIMPLEBLOB: the session key wrapped with the exchange key; OpenSSL
  // unwraps it with the key rebuilt from the private blob.
  HCRYPTKEY s = 0;
  ASSERT_TRUE(CryptGenKey(a.prov, CALG_AES_256, CRYPT_EXPORTABLE, &s));
  Bytes plain = export_blob(s, PLAINTEXTKEYBLOB);
  ASSERT_EQ(plain.size(), 12u + 32);
  EXPECT_EQ(le32(plain, 8), 32u);
  Bytes simple = export_blob(s, SIMPLEBLOB, x);
  ASSERT_EQ(simple.size(), 12u + 128);
  EXPECT_EQ(simple[0], SIMPLEBLOB);
  EXPECT_EQ(le32(simple, 4), DWORD(CALG_AES_256));
  EXPECT_EQ(le32(simple, 8), DWORD(CALG_RSA_KEYX));
  Pkey evp;
  evp.p = evp_from_blob(priv);
  Bytes wrapped(simple.rbegin(), simple.rend() - 12);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(evp.p, nullptr);
  EVP_PKEY_decrypt_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  Bytes out(128);
  size_t on = out.size();
  ASSERT_EQ(EVP_PKEY_decrypt(ctx, out.data(), &on, wrapped.data(), wrapped.size()), 1);
  out.resize(on);
  EVP_PKEY_CTX_free(ctx);
  EXPECT_EQ(out, Bytes(plain.begin() + 12, plain.end()));
  // Imported back with the (other container's copy of the) exchange key.
  HCRYPTKEY s2 = 0;
  ASSERT_TRUE(CryptImportKey(b.prov, simple.data(), DWORD(simple.size()), y, CRYPT_EXPORTABLE, &s2));
  EXPECT_EQ(export_blob(s2, PLAINTEXTKEYBLOB), plain);
  // Wrapped with OAEP, unwrapped with OAEP only.
  Bytes oaep = export_blob(s, SIMPLEBLOB, x, CRYPT_OAEP);
  EXPECT_TRUE(CryptImportKey(b.prov, oaep.data(), DWORD(oaep.size()), y, CRYPT_OAEP, &s2));
  CryptDestroyKey(s2);
  EXPECT_FALSE(CryptImportKey(b.prov, oaep.data(), DWORD(oaep.size()), y, 0, &s2));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  // A corrupted wrapping is NTE_BAD_DATA; a signature key cannot wrap.
  Bytes bad = simple;
  bad[40] ^= 1;
  EXPECT_FALSE(CryptImportKey(b.prov, bad.data(), DWORD(bad.size()), y, 0, &s2));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  HCRYPTKEY sig = 0;
  ASSERT_TRUE(CryptGenKey(b.prov, AT_SIGNATURE, 1024u << 16, &sig));
  DWORD n = 0;
  EXPECT_FALSE(CryptExportKey(s, sig, SIMPLEBLOB, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
  // A session key made without CRYPT_EXPORTABLE stays inside.
  HCRYPTKEY inside = 0;
  ASSERT_TRUE(CryptGenKey(a.prov, CALG_AES_128, 0, &inside));
  EXPECT_FALSE(CryptExportKey(inside, x, SIMPLEBLOB, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));
  for (HCRYPTKEY k : {x, y, s, sig, inside}) CryptDestroyKey(k);
}

TEST(ProvRsa, MalformedBlobsAreRefused) {
  Container c("rsa-malformed");
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(c.prov, AT_KEYEXCHANGE, 1024u << 16, &k));
  Bytes pub = export_blob(k, PUBLICKEYBLOB);
  HCRYPTKEY out = 0;
  auto import = [&](Bytes b, DWORD len) {
    // Exactly `len` bytes in their own buffer: nothing beyond may be read.
    Bytes exact(b.begin(), b.begin() + len);
    return CryptImportKey(c.prov, exact.data(), len, 0, 0, &out) ? 0 : GetLastError();
  };
  EXPECT_EQ(import(pub, DWORD(pub.size() - 1)), DWORD(NTE_BAD_DATA));
  EXPECT_EQ(import(pub, 7), DWORD(NTE_BAD_DATA));
  EXPECT_EQ(import(pub, 19), DWORD(NTE_BAD_DATA));
  Bytes b = pub;
  b[1] = 3;
  EXPECT_EQ(import(b, DWORD(b.size())), DWORD(NTE_BAD_VER));
  b = pub;
  b[0] = 0x55;
  EXPECT_EQ(import(b, DWORD(b.size())), DWORD(NTE_BAD_TYPE));
  b = pub;
  b[4] = 0x0e;
  b[5] = 0x66;  // CALG_AES_128 in a public key blob
  EXPECT_EQ(import(b, DWORD(b.size())), DWORD(NTE_BAD_ALGID));
  b = pub;
  b[11] = '2';  // RSA2 magic in a public blob
  EXPECT_EQ(import(b, DWORD(b.size())), DWORD(NTE_BAD_DATA));
  b = pub;
  b[13] = 0xFF;  // bit length far beyond the data
  EXPECT_EQ(import(b, DWORD(b.size())), DWORD(NTE_BAD_DATA));
  Bytes plain = {PLAINTEXTKEYBLOB, 2, 0, 0, 0x0e, 0x66, 0, 0, 17, 0, 0, 0};
  plain.resize(12 + 16, 1);
  EXPECT_EQ(import(plain, DWORD(plain.size())), DWORD(NTE_BAD_DATA)) << "length beyond the blob";
  plain[8] = 15;
  EXPECT_EQ(import(plain, DWORD(plain.size())), DWORD(NTE_BAD_DATA)) << "wrong AES-128 length";
  plain[8] = 16;
  plain[4] = 0x11;  // CALG_AES, which names no key size
  EXPECT_EQ(import(plain, DWORD(plain.size())), DWORD(NTE_BAD_ALGID));
  EXPECT_FALSE(CryptImportKey(c.prov, pub.data(), DWORD(pub.size()), 0, 0x80000000u, &out));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  DWORD n = 0;
  EXPECT_FALSE(CryptExportKey(k, 0, 0x42, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_TYPE));
  CryptDestroyKey(k);
}

TEST(ProvRsa, ThreadsSignConcurrently) {
  Container c("rsa-threads");
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(c.prov, AT_SIGNATURE, 1024u << 16, &k));
  Bytes pub = export_blob(k, PUBLICKEYBLOB);
  CryptDestroyKey(k);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      HCRYPTPROV p = 0;
      if (!CryptAcquireContextA(&p, c.name.c_str(), nullptr, PROV_RSA_AES, 0)) {
        ++failures;
        return;
      }
      HCRYPTKEY pk = 0;
      CryptImportKey(p, pub.data(), DWORD(pub.size()), 0, 0, &pk);
      for (int i = 0; i < 10; ++i) {
        Bytes msg = {BYTE(t), BYTE(i)};
        HCRYPTHASH h = 0;
        CryptCreateHash(p, CALG_SHA_256, 0, 0, &h);
        CryptHashData(h, msg.data(), DWORD(msg.size()), 0);
        BYTE sig[128];
        DWORD n = sizeof sig;
        if (!CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, sig, &n) ||
            !CryptVerifySignatureA(h, sig, n, pk, nullptr, 0))
          ++failures;
        CryptDestroyHash(h);
      }
      CryptDestroyKey(pk);
      CryptReleaseContext(p, 0);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

// ---- Container passwords ----------------------------------------------------

DWORD set_pin(HCRYPTPROV p, BYTE kind, const char* pw, DWORD param = PP_KEYEXCHANGE_PIN) {
  CRYPT_PIN_PARAM pin{};
  pin.type = kind;
  pin.dest.passwd = const_cast<char*>(pw);
  return CryptSetProvParam(p, param, reinterpret_cast<BYTE*>(&pin), 0) ? 0 : GetLastError();
}

DWORD try_sign(HCRYPTPROV p) {
  HCRYPTHASH h = hash_of(p, CALG_SHA1, kMsg);
  BYTE sig[256];
  DWORD n = sizeof sig;
  DWORD rc = CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, sig, &n) ? 0 : GetLastError();
  CryptDestroyHash(h);
  return rc;
}

std::string file_of(const std::string& name) {
  std::string path = csp::prov::ContainerStore::directory(false) + "/" +
                     csp::prov::ContainerStore::unique_name(name) + ".key";
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST(ProvPin, ProtectedContainerLifecycle) {
  Container c("pin-container");
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(c.prov, AT_SIGNATURE, (1024u << 16) | CRYPT_EXPORTABLE, &k));
  Bytes priv = export_blob(k, PRIVATEKEYBLOB);
  CryptDestroyKey(k);
  ASSERT_EQ(set_pin(c.prov, CSP_PIN_PASSWORD, "first-pass"), 0u);
  EXPECT_EQ(try_sign(c.prov), 0u) << "the context that set the password keeps using the keys";

  // At rest: encrypted, the password nowhere in the file.
  csp::prov::ContainerData data;
  ASSERT_EQ(csp::prov::ContainerStore::load(false, c.name, data), 0);
  ASSERT_EQ(data.keys.count(AT_SIGNATURE), 1u);
  EXPECT_EQ(data.keys[AT_SIGNATURE].material[0], 2);
  std::string file = file_of(c.name);
  EXPECT_EQ(file.find("first-pass"), std::string::npos);
  Bytes d_le(priv.end() - 128, priv.end());
  std::string d_be(d_le.rbegin(), d_le.rbegin() + 16);
  EXPECT_EQ(file.find(d_be), std::string::npos) << "private exponent in clear";

  // A new context: public use is free, private use needs the password.
  HCRYPTPROV silent = c.open(CRYPT_SILENT);
  ASSERT_TRUE(CryptGetUserKey(silent, AT_SIGNATURE, &k));
  Bytes pub = export_blob(k, PUBLICKEYBLOB);
  EXPECT_EQ(try_sign(silent), DWORD(NTE_SILENT_CONTEXT));
  HCRYPTPROV loud = c.open();
  EXPECT_EQ(try_sign(loud), DWORD(SCARD_W_CANCELLED_BY_USER));
  EXPECT_EQ(set_pin(loud, CSP_PIN_PASSWORD, "wrong"), DWORD(SCARD_W_WRONG_CHV));
  EXPECT_EQ(set_pin(loud, CSP_PIN_VERIFY, "wrong"), DWORD(SCARD_W_WRONG_CHV));
  EXPECT_EQ(try_sign(loud), DWORD(SCARD_W_CANCELLED_BY_USER));
  EXPECT_EQ(set_pin(silent, CSP_PIN_PASSWORD, "first-pass", PP_SIGNATURE_PIN), 0u);
  EXPECT_EQ(try_sign(silent), 0u);
  // The key handle taken before the password was given is usable now too.
  HCRYPTHASH h = hash_of(silent, CALG_SHA1, kMsg);
  DWORD n = 0;
  EXPECT_TRUE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, nullptr, &n));
  Bytes before_change(n);
  EXPECT_TRUE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, before_change.data(), &n));
  CryptDestroyHash(h);

  // Change: the context holding the password gives a new one.
  ASSERT_EQ(set_pin(silent, CSP_PIN_PASSWORD, "second-pass"), 0u);
  EXPECT_EQ(try_sign(silent), 0u);
  EXPECT_EQ(sign(silent, AT_SIGNATURE, CALG_SHA1, kMsg), before_change) << "same key after change";
  CryptDestroyKey(k);
  CryptReleaseContext(loud, 0);
  CryptReleaseContext(silent, 0);
  CryptReleaseContext(c.prov, 0);
  c.prov = 0;

  // Re-acquired later: only the new password opens it.
  HCRYPTPROV p = c.open(CRYPT_SILENT);
  EXPECT_EQ(set_pin(p, CSP_PIN_VERIFY, "first-pass"), DWORD(SCARD_W_WRONG_CHV));
  EXPECT_EQ(set_pin(p, CSP_PIN_VERIFY, "second-pass"), 0u);
  EXPECT_EQ(try_sign(p), 0u);
  // New keys in a protected container are stored encrypted.
  HCRYPTKEY x = 0;
  ASSERT_TRUE(CryptGenKey(p, AT_KEYEXCHANGE, 1024u << 16, &x));
  CryptDestroyKey(x);
  HCRYPTPROV q = c.open(CRYPT_SILENT);
  EXPECT_FALSE(CryptGenKey(q, AT_KEYEXCHANGE, 1024u << 16, &x));
  EXPECT_EQ(GetLastError(), DWORD(NTE_SILENT_CONTEXT));
  // Removing the protection decrypts every key at rest.
  EXPECT_EQ(set_pin(p, CSP_PIN_REMOVE, nullptr), 0u);
  EXPECT_EQ(try_sign(q), 0u);
  csp::prov::ContainerData after;
  ASSERT_EQ(csp::prov::ContainerStore::load(false, c.name, after), 0);
  for (const auto& [spec, key] : after.keys) EXPECT_EQ(key.material[0], 1) << spec;
  CryptReleaseContext(q, 0);
  CryptReleaseContext(p, 0);
}

TEST(ProvPin, BadPinRequests) {
  testenv::private_root();
  HCRYPTPROV v = 0;
  ASSERT_TRUE(CryptAcquireContextA(&v, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(set_pin(v, CSP_PIN_PASSWORD, "x"), DWORD(NTE_BAD_KEYSET));
  CryptReleaseContext(v, 0);
  Container c("pin-bad");
  EXPECT_EQ(set_pin(c.prov, 1, "x"), DWORD(NTE_BAD_DATA));
  EXPECT_EQ(set_pin(c.prov, CSP_PIN_PASSWORD, ""), DWORD(NTE_BAD_DATA));
  EXPECT_EQ(set_pin(c.prov, CSP_PIN_PASSWORD, nullptr), DWORD(NTE_BAD_DATA));
  EXPECT_FALSE(CryptSetProvParam(c.prov, PP_KEYEXCHANGE_PIN, nullptr, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  std::string huge(5000, 'a');
  EXPECT_EQ(set_pin(c.prov, CSP_PIN_PASSWORD, huge.c_str()), DWORD(NTE_BAD_LEN));
}

}  // namespace

namespace {

// A context keeps the pairs it loaded; it must still sign with what the
// container holds now: a pair replaced through it, protection removed
// through another context.
TEST(ProvRsa, SigningFollowsTheContainer) {
  Container c("follows-container");
  HCRYPTKEY first = 0, second = 0;
  ASSERT_TRUE(CryptGenKey(c.prov, AT_SIGNATURE, 1024u << 16, &first));
  Bytes sig1 = sign(c.prov, AT_SIGNATURE, CALG_SHA_256, kMsg);
  ASSERT_TRUE(CryptGenKey(c.prov, AT_SIGNATURE, 1024u << 16, &second));
  Bytes sig2 = sign(c.prov, AT_SIGNATURE, CALG_SHA_256, kMsg);
  ASSERT_EQ(sig2.size(), 128u);
  EXPECT_NE(sig1, sig2);
  HCRYPTHASH h = hash_of(c.prov, CALG_SHA_256, kMsg);
  EXPECT_TRUE(CryptVerifySignatureA(h, sig2.data(), DWORD(sig2.size()), second, nullptr, 0))
      << "signed with the replaced key: " << std::hex << GetLastError();
  EXPECT_FALSE(CryptVerifySignatureA(h, sig2.data(), DWORD(sig2.size()), first, nullptr, 0));
  CryptDestroyHash(h);
  CryptDestroyKey(first);
  CryptDestroyKey(second);

  ASSERT_EQ(set_pin(c.prov, CSP_PIN_PASSWORD, "pw-follow"), 0u);
  HCRYPTPROV other = c.open(CRYPT_SILENT);
  EXPECT_EQ(try_sign(other), DWORD(NTE_SILENT_CONTEXT));
  ASSERT_EQ(set_pin(c.prov, CSP_PIN_REMOVE, nullptr), 0u);
  EXPECT_EQ(try_sign(other), 0u) << "protection removed elsewhere";
  CryptReleaseContext(other, 0);
}

}  // namespace
