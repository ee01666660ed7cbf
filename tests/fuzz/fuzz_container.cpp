// The container file decoder: the input is written as the file of container
// "fuzz-file" and the container is then used: acquired, its key pairs
// fetched, signed with, verified, exported, its comment and extensions read,
// containers enumerated, and a password given to it.
#include <fcntl.h>

#include "container.h"
#include "fuzz_common.h"

namespace {

constexpr const char* kName = "fuzz-file";
std::string g_path;

void write_file(const uint8_t* data, size_t size) {
  int fd = open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) fuzz::die("open");
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) fuzz::die("write");
    done += size_t(n);
  }
  close(fd);
}

void use_pair(HCRYPTPROV prov, DWORD spec) {
  HCRYPTKEY k = 0;
  if (!CHECKED(CryptGetUserKey(prov, spec, &k))) return;
  std::vector<BYTE> out;
  for (DWORD param : std::initializer_list<DWORD>{KP_ALGID, KP_KEYLEN, KP_PERMISSIONS})
    fuzz::two_call([&](BYTE* b, DWORD* l) { return CryptGetKeyParam(k, param, b, l, 0); }, out,
                   "CryptGetKeyParam");
  for (DWORD type : std::initializer_list<DWORD>{PUBLICKEYBLOB, PRIVATEKEYBLOB})
    fuzz::two_call([&](BYTE* b, DWORD* l) { return CryptExportKey(k, 0, type, 0, b, l); }, out,
                   "CryptExportKey");
  HCRYPTHASH h = 0;
  if (!CHECKED(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &h))) fuzz::die("hash");
  CHECKED(CryptHashData(h, reinterpret_cast<const BYTE*>("data"), 4, 0));
  std::vector<BYTE> sig;
  if (fuzz::two_call(
          [&](BYTE* b, DWORD* l) { return CryptSignHashA(h, spec, nullptr, 0, b, l); }, sig,
          "CryptSignHashA")) {
    CHECKED(CryptVerifySignatureA(h, sig.data(), DWORD(sig.size()), k, nullptr, 0));
  }
  CryptDestroyHash(h);
  DWORD n = 5, need = n;
  if (CHECKED(CryptEncrypt(k, 0, TRUE, 0, nullptr, &need, 0)) && need >= n && need < 8192) {
    std::vector<BYTE> buf(need, 1);
    if (CHECKED(CryptEncrypt(k, 0, TRUE, 0, buf.data(), &n, need))) {
      if (n > need) fuzz::die("encrypt longer than the buffer");
      CHECKED(CryptDecrypt(k, 0, TRUE, 0, buf.data(), &n));
    }
  }
  CryptDestroyKey(k);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::private_root();
  HCRYPTPROV p = fuzz::container_context(kName);
  CryptReleaseContext(p, 0);
  g_path = csp::prov::ContainerStore::directory(false) + "/" +
           csp::prov::ContainerStore::unique_name(kName) + ".key";
  if (access(g_path.c_str(), R_OK) != 0) fuzz::die("container file not where expected");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t before = csp::handle_count();
  write_file(data, size);
  HCRYPTPROV prov = 0;
  if (!CHECKED(CryptAcquireContextA(&prov, kName, nullptr, PROV_RSA_AES, CRYPT_SILENT)))
    fuzz::die("acquire");
  use_pair(prov, AT_SIGNATURE);
  use_pair(prov, AT_KEYEXCHANGE);
  std::vector<BYTE> out;
  fuzz::two_call(
      [&](BYTE* b, DWORD* l) { return CryptGetProvParam(prov, PP_CONTAINER_COMMENT, b, l, 0); },
      out, "comment");
  for (int i = 0; i < 4; ++i) {
    DWORD flags = i == 0 ? CRYPT_FIRST : 0;
    if (!fuzz::two_call(
            [&](BYTE* b, DWORD* l) {
              return CryptGetProvParam(prov, PP_ENUM_CERT_EXTENSIONS, b, l, flags);
            },
            out, "extensions"))
      break;
  }
  fuzz::two_call(
      [&](BYTE* b, DWORD* l) {
        return CryptGetProvParam(prov, PP_ENUMCONTAINERS, b, l, CRYPT_FIRST);
      },
      out, "containers");
  // A password for the container (checked against its verifier, if any),
  // then the protected pair again.
  if (size > 0 && (data[size - 1] & 1)) {
    char pw[] = "fuzz";
    CRYPT_PIN_PARAM pin;
    std::memset(&pin, 0, sizeof pin);
    pin.type = CSP_PIN_VERIFY;
    pin.dest.passwd = pw;
    if (CHECKED(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(&pin),
                                  0)))
      use_pair(prov, AT_SIGNATURE);
  }
  if (!CryptReleaseContext(prov, 0)) fuzz::die("release");
  if (csp::handle_count() != before) fuzz::die("handles leaked");
  return 0;
}
