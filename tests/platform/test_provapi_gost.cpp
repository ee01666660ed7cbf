// The GOST provider types: Streebog and HMAC against the published vectors
// and the openssl command line with the GOST engine; GOST R 34.10-2012 keys
// in containers, their blobs and signatures checked both ways with openssl;
// the RFC 7091 example; Kuznyechik and Magma against the GOST R 34.12-2015
// examples; VKO against RFC 7836; key wrap and key agreement end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "csp/cfgsup.h"
#include "csp/wincrypt.h"
#include "gost.h"
#include "test_env.h"

namespace {

using Bytes = std::vector<BYTE>;
using namespace csp::prov;

Bytes hex(const std::string& s) {
  Bytes out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(BYTE(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}
std::string tohex(const Bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (BYTE x : b) s += {d[x >> 4], d[x & 15]};
  return s;
}
Bytes reversed(Bytes b) {
  std::reverse(b.begin(), b.end());
  return b;
}
Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
DWORD le32(const Bytes& b, size_t off) {
  return DWORD(b[off]) | DWORD(b[off + 1]) << 8 | DWORD(b[off + 2]) << 16 | DWORD(b[off + 3]) << 24;
}
void put32(Bytes& b, DWORD v) {
  for (int i = 0; i < 4; ++i) b.push_back(BYTE(v >> (8 * i)));
}

std::string tmpdir() {
  std::string d = testenv::private_root() + "/gost";
  std::string cmd = "mkdir -p '" + d + "'";
  EXPECT_EQ(system(cmd.c_str()), 0);
  return d;
}
void write_file(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), long(b.size()));
}
Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}
std::string run(const std::string& cmd) {
  std::string out;
  FILE* p = popen(("( " + cmd + " ) 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  EXPECT_EQ(pclose(p), 0) << cmd;
  return out;
}

// A minimal DER reader and writer for SubjectPublicKeyInfo.
Bytes der(BYTE tag, const Bytes& content) {
  Bytes out{tag};
  size_t n = content.size();
  if (n < 0x80) {
    out.push_back(BYTE(n));
  } else {
    out.push_back(0x81 + (n > 0xFF));
    if (n > 0xFF) out.push_back(BYTE(n >> 8));
    out.push_back(BYTE(n));
  }
  return cat(out, content);
}
// The TLV at `off`: its contents' start and length; off moves past it.
std::pair<size_t, size_t> tlv(const Bytes& b, size_t& off) {
  size_t len = b[off + 1], hdr = 2;
  if (len & 0x80) {
    size_t k = len & 0x7F;
    len = 0;
    for (size_t i = 0; i < k; ++i) len = len << 8 | b[off + 2 + i];
    hdr += k;
  }
  std::pair<size_t, size_t> r{off + hdr, len};
  off += hdr + len;
  return r;
}

const Bytes kOid256 = hex("06082a85030701010101");
const Bytes kOid512 = hex("06082a85030701010102");
// The parameters and point of a GOST SubjectPublicKeyInfo.
void split_spki(const Bytes& spki, Bytes& params, Bytes& point) {
  size_t off = 0;
  auto outer = tlv(spki, off);
  off = outer.first;
  auto alg = tlv(spki, off);
  auto bits = tlv(spki, off);
  size_t a = alg.first;
  tlv(spki, a);  // the OID
  params.assign(spki.begin() + long(a), spki.begin() + long(alg.first + alg.second));
  size_t o = bits.first + 1;  // past the unused-bits byte
  auto os = tlv(spki, o);
  point.assign(spki.begin() + long(os.first), spki.begin() + long(os.first + os.second));
}
Bytes spki_of(const Bytes& oid, const Bytes& params, const Bytes& point) {
  Bytes bitstr = cat(Bytes{0}, der(0x04, point));
  return der(0x30, cat(der(0x30, cat(oid, params)), der(0x03, bitstr)));
}

Bytes public_blob(ALG_ID alg, DWORD bits, const Bytes& params, const Bytes& point) {
  Bytes b{PUBLICKEYBLOB, 2, 0, 0};
  put32(b, alg);
  put32(b, kGostPublicMagic);
  put32(b, bits);
  return cat(cat(b, params), point);
}

Bytes export_blob(HCRYPTKEY k, DWORD type, HCRYPTKEY wrap = 0) {
  DWORD n = 0;
  EXPECT_TRUE(CryptExportKey(k, wrap, type, 0, nullptr, &n)) << std::hex << GetLastError();
  Bytes b(n);
  EXPECT_TRUE(CryptExportKey(k, wrap, type, 0, b.data(), &n)) << std::hex << GetLastError();
  b.resize(n);
  return b;
}

HCRYPTKEY import(HCRYPTPROV p, const Bytes& blob, HCRYPTKEY with = 0, DWORD flags = 0) {
  HCRYPTKEY k = 0;
  EXPECT_TRUE(CryptImportKey(p, blob.data(), DWORD(blob.size()), with, flags, &k))
      << std::hex << GetLastError();
  return k;
}

HCRYPTHASH hash_of(HCRYPTPROV p, ALG_ID alg, const Bytes& data) {
  HCRYPTHASH h = 0;
  EXPECT_TRUE(CryptCreateHash(p, alg, 0, 0, &h)) << std::hex << GetLastError();
  EXPECT_TRUE(CryptHashData(h, data.data(), DWORD(data.size()), 0));
  return h;
}
Bytes value_of(HCRYPTHASH h) {
  BYTE v[64];
  DWORD n = sizeof v;
  EXPECT_TRUE(CryptGetHashParam(h, HP_HASHVAL, v, &n, 0)) << std::hex << GetLastError();
  return Bytes(v, v + n);
}

struct Container {
  std::string name;
  DWORD type;
  HCRYPTPROV prov = 0;
  Container(const std::string& n, DWORD t) : name(n), type(t) {
    testenv::private_root();
    HCRYPTPROV tmp = 0;
    CryptAcquireContextA(&tmp, name.c_str(), nullptr, type, CRYPT_DELETEKEYSET);
    EXPECT_TRUE(CryptAcquireContextA(&prov, name.c_str(), nullptr, type, CRYPT_NEWKEYSET))
        << std::hex << GetLastError();
  }
  HCRYPTPROV open(DWORD flags = 0) const {
    HCRYPTPROV p = 0;
    EXPECT_TRUE(CryptAcquireContextA(&p, name.c_str(), nullptr, type, flags));
    return p;
  }
  ~Container() {
    CryptReleaseContext(prov, 0);
    HCRYPTPROV tmp = 0;
    CryptAcquireContextA(&tmp, name.c_str(), nullptr, type, CRYPT_DELETEKEYSET);
  }
};

HCRYPTPROV verify_context(DWORD type = kProvGost2012_256) {
  HCRYPTPROV p = 0;
  EXPECT_TRUE(CryptAcquireContextA(&p, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT))
      << std::hex << GetLastError();
  return p;
}

Bytes sign(HCRYPTPROV p, DWORD spec, ALG_ID hash, const Bytes& msg) {
  HCRYPTHASH h = hash_of(p, hash, msg);
  DWORD n = 0;
  EXPECT_TRUE(CryptSignHashA(h, spec, nullptr, 0, nullptr, &n));
  Bytes sig(n);
  if (!CryptSignHashA(h, spec, nullptr, 0, sig.data(), &n)) sig.clear();
  CryptDestroyHash(h);
  return sig;
}
DWORD verify(HCRYPTPROV p, HCRYPTKEY k, ALG_ID hash, const Bytes& msg, const Bytes& sig) {
  HCRYPTHASH h = hash_of(p, hash, msg);
  DWORD rc = CryptVerifySignatureA(h, sig.data(), DWORD(sig.size()), k, nullptr, 0) ? 0 : GetLastError();
  CryptDestroyHash(h);
  return rc;
}

const Bytes kMsg = {'G', 'O', 'S', 'T', ' ', 'R', ' ', '3', '4', '.', '1', '0'};

class ProvGost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gost::available()) << "the GOST engine (libengine-gost-openssl) did not load";
  }
};

TEST_F(ProvGost, ProviderTypesAreListedAndAcquired) {
  std::vector<std::pair<DWORD, std::string>> seen;
  for (DWORD i = 0;; ++i) {
    DWORD type = 0, n = 0;
    if (!CryptEnumProvidersA(i, nullptr, 0, &type, nullptr, &n)) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
      break;
    }
    std::string name(n, '\0');
    ASSERT_TRUE(CryptEnumProvidersA(i, nullptr, 0, &type, &name[0], &n));
    seen.emplace_back(type, name.c_str());
  }
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].first, DWORD(PROV_RSA_AES));
  EXPECT_EQ(seen[1].first, DWORD(PROV_RSA_FULL));
  EXPECT_EQ(seen[2].first, kProvGost2012_256);
  EXPECT_EQ(seen[3].first, kProvGost2012_512);
  for (const auto& [type, name] : seen) {
    HCRYPTPROV p = 0;
    ASSERT_TRUE(CryptAcquireContextA(&p, nullptr, name.c_str(), type, CRYPT_VERIFYCONTEXT));
    char got[128];
    DWORD n = sizeof got, t = 0, tn = 4;
    EXPECT_TRUE(CryptGetProvParam(p, PP_NAME, reinterpret_cast<BYTE*>(got), &n, 0));
    EXPECT_EQ(name, got);
    EXPECT_TRUE(CryptGetProvParam(p, PP_PROVTYPE, reinterpret_cast<BYTE*>(&t), &tn, 0));
    EXPECT_EQ(t, type);
    CryptReleaseContext(p, 0);
  }
  HCRYPTPROV p = 0;
  EXPECT_FALSE(CryptAcquireContextA(&p, nullptr, seen[2].second.c_str(), kProvGost2012_512,
                                    CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), DWORD(NTE_PROV_TYPE_NO_MATCH));
}

// RFC 6986 example M1 (the digests as OpenSSL prints them, i.e. the RFC's
// values read from the other end) and the HMAC examples of RFC 7836, 7.1.
TEST_F(ProvGost, StreebogAndHmacMatchVectorsAndOpenssl) {
  HCRYPTPROV p = verify_context();
  std::string m1 = "012345678901234567890123456789012345678901234567890123456789012";
  Bytes msg(m1.begin(), m1.end());
  HCRYPTHASH h = hash_of(p, kCalgGr3411_12_256, msg);
  EXPECT_EQ(tohex(value_of(h)),
            tohex(reversed(hex("00557be5e584fd52a449b16b0251d05d27f94ab76cbaa6da890b59d8ef1e159d"))));
  CryptDestroyHash(h);
  h = hash_of(p, kCalgGr3411_12_512, msg);
  EXPECT_EQ(tohex(value_of(h)),
            tohex(reversed(hex("486f64c1917879417fef082b3381a4e211c324f074654c38823a7b76f830ad00"
                               "fa1fbae42b1285c0352f227524bc9ab16254288dd6863dccd5b9f54a1ad0541b"))));
  CryptDestroyHash(h);

  // HMAC: K = 00..1f, T = 01 26 bd b8 78 00 af 21 43 41 45 65 63 78 01 00.
  Bytes key;
  for (int i = 0; i < 32; ++i) key.push_back(BYTE(i));
  Bytes kb{PLAINTEXTKEYBLOB, 2, 0, 0};
  put32(kb, CALG_RC2);
  put32(kb, 32);
  kb = cat(kb, key);
  HCRYPTKEY hk = import(p, kb, 0, CRYPT_IPSEC_HMAC_KEY);
  Bytes t = hex("0126bdb87800af214341456563780100");
  struct {
    ALG_ID alg;
    const char* want;
  } macs[] = {
      {kCalgGr3411_12_256, "a1aa5f7de402d7b3d323f2991c8d4534013137010a83754fd0af6d7cd4922ed9"},
      {kCalgGr3411_12_512,
       "a59bab22ecae19c65fbde6e5f4e9f5d8549d31f037f9df9b905500e171923a77"
       "3d5f1530f2ed7e964cb2eedc29e9ad2f3afe93b2814f79f5000ffc0366c251e6"},
  };
  for (const auto& m : macs) {
    ASSERT_TRUE(CryptCreateHash(p, CALG_HMAC, hk, 0, &h));
    HMAC_INFO info{};
    info.HashAlgid = m.alg;
    ASSERT_TRUE(CryptSetHashParam(h, HP_HMAC_INFO, reinterpret_cast<BYTE*>(&info), 0));
    ASSERT_TRUE(CryptHashData(h, t.data(), DWORD(t.size()), 0));
    EXPECT_EQ(tohex(value_of(h)), m.want);
    CryptDestroyHash(h);
  }
  CryptDestroyKey(hk);

  // Every length from 0 to 4 KiB against openssl's GOST engine, one openssl
  // run per digest over all the files.
  std::string dir = tmpdir() + "/lengths";
  ASSERT_EQ(system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
  Bytes data(4096);
  ASSERT_TRUE(CryptGenRandom(p, DWORD(data.size()), data.data()));
  std::string files;
  for (size_t n = 0; n <= data.size(); ++n) {
    write_file(dir + "/" + std::to_string(n), Bytes(data.begin(), data.begin() + long(n)));
    files += " " + std::to_string(n);
  }
  for (ALG_ID alg : {kCalgGr3411_12_256, kCalgGr3411_12_512}) {
    const char* md = alg == kCalgGr3411_12_256 ? "-md_gost12_256" : "-md_gost12_512";
    std::istringstream out(run("cd '" + dir + "' && openssl dgst -engine gost " + md + " -r" + files));
    std::string line;
    size_t n = 0;
    for (; std::getline(out, line) && n <= data.size(); ++n) {
      h = hash_of(p, alg, Bytes(data.begin(), data.begin() + long(n)));
      ASSERT_EQ(line.substr(0, line.find(' ')), tohex(value_of(h))) << "length " << n;
      CryptDestroyHash(h);
    }
    EXPECT_EQ(n, data.size() + 1);
  }
  CryptReleaseContext(p, 0);
}

struct PairCase {
  DWORD type;
  DWORD bits;
  ALG_ID sig_alg, hash;
  const char* openssl_alg;
  const char* paramset;
  const char* md;
  const Bytes& oid;
};

// Keys made in a container persist, come back through a new context, sign,
// and verify with openssl; openssl's signatures verify here.
TEST_F(ProvGost, ContainerKeysSignBothWaysWithOpenssl) {
  const PairCase cases[] = {
      {kProvGost2012_256, 256, kCalgGr3410_12_256, kCalgGr3411_12_256, "gost2012_256", "TCA",
       "-md_gost12_256", kOid256},
      {kProvGost2012_512, 512, kCalgGr3410_12_512, kCalgGr3411_12_512, "gost2012_512", "C",
       "-md_gost12_512", kOid512},
  };
  std::string dir = tmpdir();
  write_file(dir + "/msg", kMsg);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    Container box("gost-sign-" + std::to_string(c.bits), c.type);
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptGenKey(box.prov, AT_SIGNATURE, 0, &k)) << std::hex << GetLastError();
    DWORD alg = 0, n = 4;
    EXPECT_TRUE(CryptGetKeyParam(k, KP_ALGID, reinterpret_cast<BYTE*>(&alg), &n, 0));
    EXPECT_EQ(alg, c.sig_alg);
    Bytes pub = export_blob(k, PUBLICKEYBLOB);
    CryptDestroyKey(k);
    ASSERT_EQ(pub.size(), 16 + 13 + c.bits / 4);
    EXPECT_EQ(le32(pub, 8), kGostPublicMagic);
    EXPECT_EQ(le32(pub, 12), c.bits);

    HCRYPTPROV again = box.open();
    ASSERT_TRUE(CryptGetUserKey(again, AT_SIGNATURE, &k));
    EXPECT_EQ(export_blob(k, PUBLICKEYBLOB), pub) << "the container keeps the pair";
    Bytes sig = sign(again, AT_SIGNATURE, c.hash, kMsg);
    ASSERT_EQ(sig.size(), c.bits / 4);
    EXPECT_EQ(verify(again, k, c.hash, kMsg, sig), 0u);
    Bytes bad = sig;
    bad[3] ^= 1;
    EXPECT_EQ(verify(again, k, c.hash, kMsg, bad), DWORD(NTE_BAD_SIGNATURE));
    EXPECT_EQ(verify(again, k, CALG_SHA_256, kMsg, sig), DWORD(NTE_BAD_ALGID));
    CryptDestroyKey(k);

    // openssl verifies ours: the engine's byte order is ours reversed.
    Bytes params(pub.begin() + 16, pub.begin() + 29), point(pub.begin() + 29, pub.end());
    write_file(dir + "/pub.der", spki_of(c.oid, params, point));
    write_file(dir + "/sig", reversed(sig));
    std::string out = run("cd '" + dir + "' && openssl dgst -engine gost " + c.md +
                          " -verify pub.der -keyform DER -signature sig msg");
    EXPECT_NE(out.find("Verified OK"), std::string::npos) << out;

    // Ours verifies openssl's.
    run("cd '" + dir + "' && openssl genpkey -engine gost -algorithm " + c.openssl_alg +
        " -pkeyopt paramset:" + c.paramset + " -out key.pem && openssl pkey -engine gost" +
        " -in key.pem -pubout -outform DER -out their.der && openssl dgst -engine gost " + c.md +
        " -sign key.pem -out their.sig msg");
    split_spki(read_file(dir + "/their.der"), params, point);
    HCRYPTKEY theirs = import(again, public_blob(c.sig_alg, c.bits, params, point));
    EXPECT_EQ(verify(again, theirs, c.hash, kMsg, reversed(read_file(dir + "/their.sig"))), 0u);
    CryptDestroyKey(theirs);
    CryptReleaseContext(again, 0);
  }
}

// The container password protects GOST pairs as it does RSA ones.
TEST_F(ProvGost, ProtectedContainerNeedsThePin) {
  Container box("gost-pin", kProvGost2012_256);
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(box.prov, AT_KEYEXCHANGE, 0, &k));
  CryptDestroyKey(k);
  CRYPT_PIN_PARAM pin{};
  pin.type = CSP_PIN_PASSWORD;
  pin.dest.passwd = const_cast<char*>("gost-pass");
  ASSERT_TRUE(CryptSetProvParam(box.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<BYTE*>(&pin), 0));
  HCRYPTPROV silent = box.open(CRYPT_SILENT);
  HCRYPTHASH h = hash_of(silent, kCalgGr3411_12_256, kMsg);
  BYTE sig[64];
  DWORD n = sizeof sig;
  EXPECT_FALSE(CryptSignHashA(h, AT_KEYEXCHANGE, nullptr, 0, sig, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_SILENT_CONTEXT));
  ASSERT_TRUE(CryptSetProvParam(silent, PP_KEYEXCHANGE_PIN, reinterpret_cast<BYTE*>(&pin), 0));
  n = sizeof sig;
  EXPECT_TRUE(CryptSignHashA(h, AT_KEYEXCHANGE, nullptr, 0, sig, &n)) << std::hex << GetLastError();
  CryptDestroyHash(h);
  CryptReleaseContext(silent, 0);
}

// GOST R 34.10-2012 example 1 (RFC 7091, 7.1) on the test parameter set:
// the hash value carries e as the little-endian number the standard reads.
TEST_F(ProvGost, Rfc7091ExampleVerifies) {
  HCRYPTPROV p = verify_context();
  Bytes params = hex("301306072a85030202230006082a85030701010202");
  Bytes qx = hex("7F2B49E270DB6D90D8595BEC458B50C58585BA1D4E9B788F6689DBD8E56FD80B");
  Bytes qy = hex("26F1B489D6701DD185C8413A977B3CBBAF64D1C593D26627DFFB101A87FF77DA");
  Bytes e = hex("2DFBC1B372D89A1188C09C52E0EEC61FCE52032AB1022E8E67ECE6672B043EE5");
  Bytes r = hex("41AA28D2F1AB148280CD9ED56FEDA41974053554A42767B83AD043FD39DC0493");
  Bytes s = hex("01456C64BA4642A1653C235A98A60249BCD6D3F746B631DF928014F6C5BF9C40");
  HCRYPTKEY k = import(p, public_blob(kCalgGr3410_12_256, 256, params, cat(reversed(qx), reversed(qy))));
  Bytes sig = cat(reversed(r), reversed(s));
  for (bool good : {true, false}) {
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(p, kCalgGr3411_12_256, 0, 0, &h));
    Bytes value = reversed(e);
    if (!good) value[0] ^= 1;
    ASSERT_TRUE(CryptSetHashParam(h, HP_HASHVAL, value.data(), 0));
    EXPECT_EQ(CryptVerifySignatureA(h, sig.data(), DWORD(sig.size()), k, nullptr, 0), good ? TRUE : FALSE);
    CryptDestroyHash(h);
  }
  // A point off the curve is refused.
  Bytes off = cat(reversed(qx), reversed(qy));
  off[40] ^= 1;
  Bytes blob = public_blob(kCalgGr3410_12_256, 256, params, off);
  HCRYPTKEY bad = 0;
  EXPECT_FALSE(CryptImportKey(p, blob.data(), DWORD(blob.size()), 0, 0, &bad));
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
}

// A GOST R 34.10-2001 key of openssl's imports and verifies its signature over
// a GOST R 34.11-94 digest given as the value of a 256-bit hash object; such
// keys are not generated.
TEST_F(ProvGost, LegacyKeysImportAndVerify) {
  std::string dir = tmpdir();
  write_file(dir + "/msg", kMsg);
  run("cd '" + dir + "' && openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A" +
      " -out k2001.pem && openssl pkey -engine gost -in k2001.pem -pubout -outform DER" +
      " -out p2001.der && openssl dgst -engine gost -md_gost94 -sign k2001.pem -out s2001 msg" +
      " && openssl dgst -engine gost -md_gost94 -binary -out d2001 msg");
  Bytes params, point;
  split_spki(read_file(dir + "/p2001.der"), params, point);
  HCRYPTPROV p = verify_context();
  HCRYPTKEY k = import(p, public_blob(kCalgGr3410El, 256, params, point));
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(p, kCalgGr3411_12_256, 0, 0, &h));
  ASSERT_TRUE(CryptSetHashParam(h, HP_HASHVAL, read_file(dir + "/d2001").data(), 0));
  Bytes sig = reversed(read_file(dir + "/s2001"));
  EXPECT_TRUE(CryptVerifySignatureA(h, sig.data(), DWORD(sig.size()), k, nullptr, 0))
      << std::hex << GetLastError();
  CryptDestroyHash(h);
  CryptDestroyKey(k);
  EXPECT_FALSE(CryptGenKey(p, kCalgGr3410El, 0, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
  CryptReleaseContext(p, 0);
}

Bytes encrypt_block(HCRYPTPROV p, ALG_ID alg, const Bytes& key, DWORD mode, const Bytes& iv,
                    const Bytes& data, bool final_call) {
  Bytes kb{PLAINTEXTKEYBLOB, 2, 0, 0};
  put32(kb, alg);
  put32(kb, DWORD(key.size()));
  HCRYPTKEY k = import(p, cat(kb, key));
  EXPECT_TRUE(CryptSetKeyParam(k, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0));
  if (!iv.empty()) {
    EXPECT_TRUE(CryptSetKeyParam(k, KP_IV, iv.data(), 0));
  }
  Bytes buf = data;
  buf.resize(data.size() + 16);
  DWORD n = DWORD(data.size());
  EXPECT_TRUE(CryptEncrypt(k, 0, final_call, 0, buf.data(), &n, DWORD(buf.size())))
      << std::hex << GetLastError();
  buf.resize(n);
  // And back.
  Bytes back = buf;
  DWORD m = n;
  EXPECT_TRUE(CryptDecrypt(k, 0, final_call, 0, back.data(), &m));
  back.resize(m);
  EXPECT_EQ(back, data);
  CryptDestroyKey(k);
  return buf;
}

// GOST R 34.12-2015 examples (RFC 7801 5.1, RFC 8891 A.1) as one CBC block
// under a zero IV; the stream modes against openssl enc with the engine.
TEST_F(ProvGost, CiphersMatchTheStandardAndOpenssl) {
  HCRYPTPROV p = verify_context();
  Bytes kkey = hex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");
  Bytes kct = encrypt_block(p, kCalgKuznyechik, kkey, CRYPT_MODE_ECB, {},
                            hex("1122334455667700ffeeddccbbaa9988"), false);
  EXPECT_EQ(tohex(kct), "7f679d90bebc24305a468d42b9d4edcd");
  Bytes mkey = hex("ffeeddccbbaa99887766554433221100f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  Bytes mct = encrypt_block(p, kCalgMagma, mkey, CRYPT_MODE_CBC, Bytes(8, 0),
                            hex("fedcba9876543210"), false);
  EXPECT_EQ(tohex(mct), "4ee901e5c2d8ca3d");

  std::string dir = tmpdir();
  Bytes data(100);
  ASSERT_TRUE(CryptGenRandom(p, DWORD(data.size()), data.data()));
  write_file(dir + "/plain", data);
  Bytes iv = hex("1234567890abcef0a1b2c3d4e5f00112");
  struct {
    ALG_ID alg;
    DWORD mode;
    const char* name;
    size_t ivlen;
  } modes[] = {
      {kCalgKuznyechik, kModeCtr, "kuznyechik-ctr", 8},
      {kCalgKuznyechik, CRYPT_MODE_CFB, "kuznyechik-cfb", 16},
      {kCalgKuznyechik, CRYPT_MODE_OFB, "kuznyechik-ofb", 16},
      {kCalgKuznyechik, CRYPT_MODE_CBC, "kuznyechik-cbc", 16},
      {kCalgMagma, kModeCtr, "magma-ctr", 4},
      {kCalgMagma, CRYPT_MODE_CBC, "magma-cbc", 8},
      {kCalgG28147, CRYPT_MODE_CFB, "gost89", 8},
      {kCalgG28147, kModeCtr, "gost89-cnt", 8},
  };
  for (const auto& m : modes) {
    SCOPED_TRACE(m.name);
    Bytes key_iv = iv;
    key_iv.resize(m.alg == kCalgKuznyechik ? 16 : 8);
    Bytes ours = encrypt_block(p, m.alg, kkey, m.mode, key_iv, data, true);
    std::string ivhex = tohex(Bytes(iv.begin(), iv.begin() + long(m.ivlen)));
    run("cd '" + dir + "' && openssl enc -engine gost -" + m.name + " -K " + tohex(kkey) +
        " -iv " + ivhex + " -in plain -out enc");
    EXPECT_EQ(tohex(ours), tohex(read_file(dir + "/enc")));
  }
  CryptReleaseContext(p, 0);
}

// VKO GOST R 34.10-2012 256 (RFC 7836, A.1) on the 512-bit paramSetA curve;
// private keys and points little-endian as the RFC prints them.
TEST_F(ProvGost, VkoMatchesRfc7836) {
  Bytes params = hex("300b06092a8503070102010201");
  Bytes ukm = hex("1d80603c8544c727");
  Bytes prv_a = hex(
      "c990ecd972fce84ec4db022778f50fcac726f46708384b8d458304962d7147f8"
      "c2db41cef22c90b102f2968404f9b9be6d47c79692d81826b32b8daca43cb667");
  Bytes pub_a = hex(
      "aab0eda4abff21208d18799fb9a8556654ba783070eba10cb9abb253ec56dcf5"
      "d3ccba6192e464e6e5bcb6dea137792f2431f6c897eb1b3c0cc14327b1adc0a7"
      "914613a3074e363aedb204d38d3563971bd8758e878c9db11403721b48002d38"
      "461f92472d40ea92f9958c0ffa4c93756401b97f89fdbe0b5e46e4a4631cdb5a");
  Bytes prv_b = hex(
      "48c859f7b6f11585887cc05ec6ef1390cfea739b1a18c0d4662293ef63b79e3b"
      "8014070b44918590b4b996acfea4edfbbbcccc8c06edd8bf5bda92a51392d0db");
  Bytes pub_b = hex(
      "192fe183b9713a077253c72c8735de2ea42a3dbc66ea317838b65fa32523cd5e"
      "fca974eda7c863f4954d1147f1f2b25c395fce1c129175e876d132e94ed5a651"
      "04883b414c9b592ec4dc84826f07d0b6d9006dda176ce48c391e3f97d102e03b"
      "b598bf132a228a45f7201aba08fc524a2d77e43a362ab022ad4028f75bde3b79");
  PkeyPtr a = gost::pair_from_private(kCalgDh12_512_SF, params, prv_a);
  PkeyPtr b = gost::pair_from_private(kCalgDh12_512_SF, params, prv_b);
  PkeyPtr qa = gost::public_from_point(kCalgDh12_512_SF, params, pub_a);
  PkeyPtr qb = gost::public_from_point(kCalgDh12_512_SF, params, pub_b);
  ASSERT_TRUE(a && b && qa && qb);
  EXPECT_EQ(EVP_PKEY_eq(a.get(), qa.get()), 1) << "the RFC's public key of A";
  Bytes kek_ab, kek_ba;
  ASSERT_EQ(gost::vko(a.get(), qb.get(), ukm, kek_ab), 0);
  ASSERT_EQ(gost::vko(b.get(), qa.get(), ukm, kek_ba), 0);
  EXPECT_EQ(tohex(kek_ab), "c9a9a77320e2cc559ed72dce6f47e2192ccea95fa648670582c054c0ef36c221");
  EXPECT_EQ(kek_ab, kek_ba);
}

// The two pieces of the key wrap against published examples: KDF_TREE (R
// 50.1.113-2016) and KExp15 with Magma (R 1323565.1.017); the Kuznyechik
// variant the blobs use differs only in the cipher.
TEST_F(ProvGost, KeyWrapPiecesMatchThePublishedExamples) {
  Bytes tree;
  ASSERT_EQ(gost::kdf_tree(hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"),
                           hex("26bdb878"), hex("af21434145656378"), tree), 0);
  EXPECT_EQ(tohex(tree),
            "22b6837845c6bef65ea71672b265831086d3c76aebe6dae91cad51d83f79d16b"
            "074c9330599d7f8d712fca54392f4ddde93751206b3584c8f43f9e6dc51531f9");
  Bytes key = hex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");
  Bytes k_enc = hex("202122232425262728292a2b2c2d2e2f38393a3b3c3d3e3f3031323334353637");
  Bytes k_mac = hex("08090a0b0c0d0e0f0001020304050607101112131415161718191a1b1c1d1e1f");
  Bytes iv = hex("67bed654"), wrapped, back;
  ASSERT_EQ(gost::kexp15(kCalgMagma, k_enc.data(), k_mac.data(), iv, key, wrapped), 0);
  EXPECT_EQ(tohex(wrapped),
            "cfd5a12d5b81b6e1e99c916d07900c6ac12703fb3abded55567bf3742c899c75"
            "5dafe7b42e3a8bd9");
  ASSERT_EQ(gost::kimp15(kCalgMagma, k_enc.data(), k_mac.data(), iv, wrapped.data(), wrapped.size(), back), 0);
  EXPECT_EQ(back, key);
  wrapped[35] ^= 1;
  EXPECT_EQ(gost::kimp15(kCalgMagma, k_enc.data(), k_mac.data(), iv, wrapped.data(), wrapped.size(), back),
            LONG(NTE_BAD_DATA));
}

// Two containers agree on a key through each other's public blobs; a session
// key wrapped under it on one side decrypts on the other. A private key
// leaves only wrapped and only when it was made exportable.
TEST_F(ProvGost, AgreementWrapsSessionAndPrivateKeys) {
  Container alice("gost-alice", kProvGost2012_256), bob("gost-bob", kProvGost2012_256);
  HCRYPTKEY ka = 0, kb = 0;
  ASSERT_TRUE(CryptGenKey(alice.prov, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &ka));
  ASSERT_TRUE(CryptGenKey(bob.prov, AT_KEYEXCHANGE, 0, &kb));
  Bytes pub_a = export_blob(ka, PUBLICKEYBLOB), pub_b = export_blob(kb, PUBLICKEYBLOB);
  EXPECT_EQ(le32(pub_a, 4), kCalgDh12_256_SF);
  HCRYPTKEY agree_a = import(alice.prov, pub_b, ka), agree_b = import(bob.prov, pub_a, kb);

  HCRYPTKEY session = 0;
  ASSERT_TRUE(CryptGenKey(alice.prov, kCalgKuznyechik, CRYPT_EXPORTABLE, &session));
  Bytes wrapped = export_blob(session, SIMPLEBLOB, agree_a);
  ASSERT_EQ(wrapped.size(), 16u + 8 + 32 + 16);
  EXPECT_EQ(le32(wrapped, 8), kGostWrapMagic);
  HCRYPTKEY received = import(bob.prov, wrapped, agree_b);
  Bytes text(40, 'x'), buf = text;
  buf.resize(64);
  DWORD n = DWORD(text.size());
  ASSERT_TRUE(CryptEncrypt(session, 0, TRUE, 0, buf.data(), &n, DWORD(buf.size())));
  ASSERT_TRUE(CryptDecrypt(received, 0, TRUE, 0, buf.data(), &n));
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + n), text);
  Bytes tampered = wrapped;
  tampered[30] ^= 1;
  HCRYPTKEY none = 0;
  EXPECT_FALSE(CryptImportKey(bob.prov, tampered.data(), DWORD(tampered.size()), agree_b, 0, &none));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));

  // Alice's pair wrapped under the session key, imported elsewhere, signs
  // what her public key verifies. Bob's was not made exportable.
  Bytes priv = export_blob(ka, PRIVATEKEYBLOB, session);
  EXPECT_EQ(le32(priv, 8), kGostPrivateMagic);
  DWORD len = 0;
  EXPECT_FALSE(CryptExportKey(kb, received, PRIVATEKEYBLOB, 0, nullptr, &len));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));
  EXPECT_FALSE(CryptExportKey(ka, 0, PRIVATEKEYBLOB, 0, nullptr, &len));
  Container copy("gost-copy", kProvGost2012_256);
  HCRYPTKEY unwrap = import(copy.prov, export_blob(session, SIMPLEBLOB, agree_a), agree_a);
  HCRYPTKEY moved = import(copy.prov, priv, unwrap);
  EXPECT_EQ(export_blob(moved, PUBLICKEYBLOB), pub_a);
  Bytes sig = sign(copy.prov, AT_KEYEXCHANGE, kCalgGr3411_12_256, kMsg);
  HCRYPTKEY pa = import(bob.prov, pub_a);
  EXPECT_EQ(verify(bob.prov, pa, kCalgGr3411_12_256, kMsg, sig), 0u);
  for (HCRYPTKEY k : {ka, kb, agree_a, agree_b, session, received, unwrap, moved, pa}) CryptDestroyKey(k);
}

}  // namespace
