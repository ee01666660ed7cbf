// CryptEncrypt / CryptDecrypt sequences: arbitrary data lengths, final flags,
// buffer sizes (dwBufLen never larger than the real buffer), flags, and modes,
// paddings and IVs set through CryptSetKeyParam between the calls; with and
// without a hash fed alongside; on AES, 3DES and RSA keys. Whatever the
// sequence, a final encryption followed by a final decryption of its output
// under a copy of the key must give the plaintext back.
#include <algorithm>

#include "fuzz_common.h"

namespace {

HCRYPTPROV g_prov;
HCRYPTKEY g_rsa;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_prov = fuzz::verify_context();
  g_rsa = fuzz::import_fixed(g_prov, fuzz::kExchangeKey512, sizeof fuzz::kExchangeKey512,
                             CRYPT_EXPORTABLE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider f(data, size);
  size_t before = csp::handle_count();
  HCRYPTKEY k = 0;
  bool rsa = false;
  switch (f.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: CryptGenKey(g_prov, CALG_AES_128, CRYPT_EXPORTABLE, &k); break;
    case 1: CryptGenKey(g_prov, CALG_AES_256, CRYPT_EXPORTABLE, &k); break;
    case 2: CryptGenKey(g_prov, CALG_3DES, CRYPT_EXPORTABLE, &k); break;
    case 3: CryptGenKey(g_prov, CALG_3DES_112, CRYPT_EXPORTABLE, &k); break;
    case 4: CryptGenKey(g_prov, CALG_AES_192, CRYPT_EXPORTABLE, &k); break;
    case 5: CryptDuplicateKey(g_rsa, nullptr, 0, &k); rsa = true; break;
  }
  if (!k) fuzz::die("key");
  HCRYPTHASH h = 0;
  if (f.ConsumeBool()) CryptCreateHash(g_prov, CALG_SHA1, 0, 0, &h);

  for (int step = 0; step < 16 && f.remaining_bytes() > 0; ++step) {
    int op = f.ConsumeIntegralInRange<int>(0, 4);
    if (op == 0) {
      // A mode, padding or IV between calls.
      DWORD param = f.PickValueInArray({DWORD(KP_MODE), DWORD(KP_PADDING), DWORD(KP_IV),
                                        DWORD(KP_MODE_BITS)});
      std::vector<BYTE> v(16);
      DWORD x = f.ConsumeBool() ? f.PickValueInArray({1u, 2u, 3u, 4u, 5u, 8u})
                                : f.ConsumeIntegral<DWORD>();
      std::memcpy(v.data(), &x, 4);
      if (param == KP_IV) {
        DWORD bits = 0, len = 4;
        CryptGetKeyParam(k, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&bits), &len, 0);
        v.resize(bits / 8 ? bits / 8 : 1);
      } else {
        v.resize(4);
      }
      CHECKED(CryptSetKeyParam(k, param, v.data(), 0));
      continue;
    }
    if (op == 4) {
      // Round trip under a duplicate: final encrypt, then final decrypt.
      std::vector<BYTE> plain = f.ConsumeBytes<BYTE>(f.ConsumeIntegralInRange<size_t>(0, 100));
      // Setting the IV again ends a running sequence on k.
      std::vector<BYTE> iv(32);
      DWORD ivlen = DWORD(iv.size());
      if (CryptGetKeyParam(k, KP_IV, iv.data(), &ivlen, 0))
        CHECKED(CryptSetKeyParam(k, KP_IV, iv.data(), 0));
      HCRYPTKEY d = 0;
      if (!CHECKED(CryptDuplicateKey(k, nullptr, 0, &d))) fuzz::die("duplicate");
      DWORD flags = rsa && f.ConsumeBool() ? CRYPT_OAEP : 0;
      DWORD need = DWORD(plain.size());
      if (CHECKED(CryptEncrypt(k, 0, TRUE, flags, nullptr, &need, 0))) {
        // RSA answers the modulus size whatever the length; the call itself
        // then refuses data that does not fit.
        if ((need < plain.size() && !rsa) || need > 4096) fuzz::die("size query");
        std::vector<BYTE> buf(std::max(size_t(need), plain.size()));
        if (!plain.empty()) std::memcpy(buf.data(), plain.data(), plain.size());
        DWORD len = DWORD(plain.size());
        if (CHECKED(CryptEncrypt(k, 0, TRUE, flags, buf.data(), &len, DWORD(buf.size())))) {
          if (len > buf.size()) fuzz::die("encrypt longer than the buffer");
          buf.resize(len);
          // The decrypting copy must start where k's sequence started.
          DWORD dlen = len;
          HCRYPTKEY dk = d;
          if (CHECKED(CryptDecrypt(dk, 0, TRUE, flags, buf.data(), &dlen))) {
            if (dlen != plain.size() || !std::equal(plain.begin(), plain.end(), buf.begin()))
              fuzz::die("round trip differs");
          }
        }
      }
      CryptDestroyKey(d);
      continue;
    }
    // One encrypt or decrypt call of the input's making.
    bool encrypt = op != 3;
    BOOL final = f.ConsumeBool();
    DWORD flags = f.ConsumeIntegralInRange<int>(0, 7) == 0 ? f.ConsumeIntegral<DWORD>()
                  : rsa && f.ConsumeBool()                 ? CRYPT_OAEP
                                                           : 0;
    size_t bufsize = f.ConsumeIntegralInRange<size_t>(0, 200);
    size_t datalen = f.ConsumeIntegralInRange<size_t>(0, bufsize);
    std::vector<BYTE> buf = f.ConsumeBytes<BYTE>(bufsize);
    buf.resize(bufsize);
    BYTE* p = bufsize ? buf.data() : nullptr;
    if (f.ConsumeBool() && bufsize == 0) p = nullptr;
    HCRYPTHASH hh = f.ConsumeBool() ? h : 0;
    DWORD len = DWORD(datalen);
    SetLastError(0);
    BOOL ok;
    if (encrypt) {
      DWORD buflen = DWORD(bufsize);
      ok = fuzz::checked(CryptEncrypt(k, hh, final, flags, p, &len, buflen), "CryptEncrypt");
      if (ok && p && len > bufsize) fuzz::die("encrypt reports more than the buffer");
    } else {
      ok = fuzz::checked(CryptDecrypt(k, hh, final, flags, p, &len), "CryptDecrypt");
      if (ok && len > datalen) fuzz::die("decrypt grew the data");
    }
  }
  if (h) CryptDestroyHash(h);
  CryptDestroyKey(k);
  if (csp::handle_count() != before) fuzz::die("handles leaked");
  return 0;
}
