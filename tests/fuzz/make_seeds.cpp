// Writes the seed corpus of the fuzz targets: valid key blobs of each type,
// container files made through the API (plain and password-protected),
// configuration files and text. Usage: fuzz_make_seeds <corpus directory>.
#include <sys/stat.h>

#include <fstream>

#include "container.h"
#include "fuzz_common.h"

namespace {

std::string g_out;

void put(const std::string& target, const std::string& name, const std::vector<BYTE>& bytes) {
  std::string dir = g_out + "/" + target;
  mkdir(g_out.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  std::ofstream f(dir + "/" + name, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<BYTE> with_prefix(std::vector<BYTE> prefix, const std::vector<BYTE>& blob) {
  prefix.insert(prefix.end(), blob.begin(), blob.end());
  return prefix;
}

std::vector<BYTE> export_blob(HCRYPTKEY k, HCRYPTKEY wrap, DWORD type) {
  std::vector<BYTE> out;
  if (!fuzz::two_call([&](BYTE* b, DWORD* l) { return CryptExportKey(k, wrap, type, 0, b, l); },
                      out, "export"))
    fuzz::die("seed export");
  return out;
}

std::vector<BYTE> read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<BYTE>(std::istreambuf_iterator<char>(f), {});
}

std::vector<BYTE> text(const std::string& s) { return std::vector<BYTE>(s.begin(), s.end()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  g_out = argv[1];
  HCRYPTPROV v = fuzz::verify_context();
  HCRYPTKEY xchg = fuzz::import_fixed(v, fuzz::kExchangeKey512, sizeof fuzz::kExchangeKey512,
                                      CRYPT_EXPORTABLE);
  HCRYPTKEY sign = fuzz::import_fixed(v, fuzz::kSignKey1024, sizeof fuzz::kSignKey1024,
                                      CRYPT_EXPORTABLE);
  HCRYPTKEY aes = 0, des = 0;
  CryptGenKey(v, CALG_AES_128, CRYPT_EXPORTABLE, &aes);
  CryptGenKey(v, CALG_3DES, CRYPT_EXPORTABLE, &des);

  // fuzz_import_key: control byte (bit 0 container, bit 1 exportable, bits
  // 5-6 = 1: the exchange key unwraps), use byte, blob.
  std::vector<BYTE> priv512(fuzz::kExchangeKey512,
                            fuzz::kExchangeKey512 + sizeof fuzz::kExchangeKey512);
  std::vector<BYTE> priv1024(fuzz::kSignKey1024, fuzz::kSignKey1024 + sizeof fuzz::kSignKey1024);
  put("fuzz_import_key", "private512", with_prefix({0x02, 0x05}, priv512));
  put("fuzz_import_key", "private1024_container", with_prefix({0x03, 0x10}, priv1024));
  put("fuzz_import_key", "public1024", with_prefix({0x02, 0x08}, export_blob(sign, 0, PUBLICKEYBLOB)));
  put("fuzz_import_key", "public512_container",
      with_prefix({0x01, 0x1F}, export_blob(xchg, 0, PUBLICKEYBLOB)));
  put("fuzz_import_key", "simple_aes", with_prefix({0x22, 0x11}, export_blob(aes, xchg, SIMPLEBLOB)));
  put("fuzz_import_key", "simple_3des_container",
      with_prefix({0x23, 0x03}, export_blob(des, xchg, SIMPLEBLOB)));
  put("fuzz_import_key", "plain_aes", with_prefix({0x02, 0x21}, export_blob(aes, 0, PLAINTEXTKEYBLOB)));
  put("fuzz_import_key", "plain_hmac",
      with_prefix({0x0A, 0x07}, {PLAINTEXTKEYBLOB, 2, 0, 0, 0x02, 0x66, 0, 0, 5, 0, 0, 0, 1, 2, 3, 4, 5}));

  // fuzz_container: files of a container made through the API.
  HCRYPTPROV c = fuzz::container_context("fuzz-file");
  CryptDestroyKey(fuzz::import_fixed(c, fuzz::kSignKey1024, sizeof fuzz::kSignKey1024,
                                     CRYPT_EXPORTABLE));
  CryptDestroyKey(fuzz::import_fixed(c, fuzz::kExchangeKey512, sizeof fuzz::kExchangeKey512, 0));
  BYTE comment[] = "a comment";
  CRYPT_DATA_BLOB cb{sizeof comment, comment};
  if (!CryptSetProvParam(c, PP_CONTAINER_COMMENT, reinterpret_cast<BYTE*>(&cb), 0))
    fuzz::die("comment");
  char oid[] = "1.2.3.4";
  BYTE value[] = {0x30, 0x03, 0x01, 0x01, 0xFF};
  CERT_EXTENSION ext{oid, TRUE, {sizeof value, value}};
  if (!CryptSetProvParam(c, PP_SET_CERT_EXTENSION, reinterpret_cast<BYTE*>(&ext), 0))
    fuzz::die("extension");
  std::string file = csp::prov::ContainerStore::directory(false) + "/" +
                     csp::prov::ContainerStore::unique_name("fuzz-file") + ".key";
  put("fuzz_container", "plain", read_all(file));
  char pw[] = "fuzz";
  CRYPT_PIN_PARAM pin;
  std::memset(&pin, 0, sizeof pin);
  pin.type = CSP_PIN_PASSWORD;
  pin.dest.passwd = pw;
  if (!CryptSetProvParam(c, PP_SIGNATURE_PIN, reinterpret_cast<BYTE*>(&pin), 0))
    fuzz::die("pin");
  std::vector<BYTE> prot = read_all(file);
  // A trailing record of an unknown tag whose last byte asks the target to
  // give the password.
  for (BYTE b : {0x99, 0, 0, 0, 1, 0, 0, 0, 1}) prot.push_back(b);
  put("fuzz_container", "protected", prot);
  CryptReleaseContext(c, 0);

  // fuzz_codepage: 'C', path, NUL, configuration; or text for the code pages.
  std::string conf =
      "# comment\n[\\config\\Parameters]\nStrengthenedKeyUsageControl = dword:1\n"
      "Big = qword:0x7fffffff\nNeg = dword:-5\nLabel = sz:text\n";
  for (const char* path : {"\\config\\Parameters\\StrengthenedKeyUsageControl",
                           "\\config\\Parameters\\Big", "\\config\\Parameters\\Label"}) {
    std::vector<BYTE> seed = text(std::string("C") + path);
    seed.push_back(0);
    std::vector<BYTE> body = text(conf);
    seed.insert(seed.end(), body.begin(), body.end());
    put("fuzz_codepage", std::string("config_") + (strrchr(path, '\\') + 1), seed);
  }
  put("fuzz_codepage", "utf8", text("Ucaf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xED\xA0\xBD\xED\xB8\x80 text"));
  put("fuzz_codepage", "wide", text("W\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"));

  // The FuzzedDataProvider targets: a few deterministic byte strings.
  uint32_t x = 12345;
  for (const char* target : {"fuzz_params", "fuzz_cipher", "fuzz_handles"}) {
    for (int i = 0; i < 4; ++i) {
      std::vector<BYTE> r(size_t(64) << i);
      for (BYTE& b : r) {
        x = x * 1103515245u + 12345u;
        b = BYTE(x >> 16);
      }
      put(target, "seed" + std::to_string(i), r);
    }
  }
  CryptDestroyKey(aes);
  CryptDestroyKey(des);
  CryptDestroyKey(xchg);
  CryptDestroyKey(sign);
  CryptReleaseContext(v, 0);
  return 0;
}
