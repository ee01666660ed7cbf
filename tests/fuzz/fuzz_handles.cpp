// Handle misuse: every exported function called with handles that are
// forged, released, of the wrong kind or belong to another context, mixed
// with valid ones. Each call must fail with an error code (or succeed on a
// valid handle); none may touch freed memory or leave handles behind.
#include <algorithm>

#include "fuzz_common.h"

namespace {

HCRYPTPROV g_container;

struct Pool {
  std::vector<uintptr_t> live;      // any kind
  std::vector<uintptr_t> released;  // once valid, now released

  uintptr_t pick(FuzzedDataProvider& f) {
    switch (f.ConsumeIntegralInRange<int>(0, 5)) {
      case 0: return f.ConsumeIntegral<uint32_t>();                  // forged
      case 1: return released.empty() ? 0 : released[f.ConsumeIntegralInRange<size_t>(
                                                0, released.size() - 1)];
      case 2: return 0;
      case 3: return g_container;
      default:
        return live.empty() ? 1 : live[f.ConsumeIntegralInRange<size_t>(0, live.size() - 1)];
    }
  }
  void add(uintptr_t h) { live.push_back(h); }
  // Releases one handle of the pool through the function for its kind.
  void drop(uintptr_t h) {
    for (size_t i = 0; i < live.size(); ++i) {
      if (live[i] == h) {
        live.erase(live.begin() + long(i));
        released.push_back(h);
        return;
      }
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_container = fuzz::container_context("fuzz-handles");
  HCRYPTKEY k = fuzz::import_fixed(g_container, fuzz::kSignKey1024, sizeof fuzz::kSignKey1024,
                                   CRYPT_EXPORTABLE);
  CryptDestroyKey(k);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider f(data, size);
  size_t before = csp::handle_count();
  Pool pool;
  std::vector<BYTE> buf(256);
  BYTE small[16] = {0};
  for (int step = 0; step < 40 && f.remaining_bytes() > 0; ++step) {
    uintptr_t a = pool.pick(f), b = pool.pick(f);
    DWORD len = DWORD(buf.size());
    switch (f.ConsumeIntegralInRange<int>(0, 27)) {
      case 0: {
        HCRYPTPROV p;
        if (CHECKED(CryptAcquireContextA(&p, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)))
          pool.add(p);
        break;
      }
      case 1:
        // The shared container context is released only for a reference taken here.
        if (a == g_container &&
            std::find(pool.live.begin(), pool.live.end(), a) == pool.live.end())
          break;
        if (CHECKED(CryptReleaseContext(a, 0))) pool.drop(a);
        break;
      case 2:
        if (CHECKED(CryptContextAddRef(a, nullptr, 0))) pool.add(a);
        break;
      case 3: {
        HCRYPTKEY k;
        if (CHECKED(CryptGenKey(a, CALG_AES_128, CRYPT_EXPORTABLE, &k))) pool.add(k);
        break;
      }
      case 4: {
        HCRYPTKEY k;
        if (CHECKED(CryptGetUserKey(a, AT_SIGNATURE, &k))) pool.add(k);
        break;
      }
      case 5:
        if (CHECKED(CryptDestroyKey(a))) pool.drop(a);
        break;
      case 6: {
        HCRYPTKEY k;
        if (CHECKED(CryptDuplicateKey(a, nullptr, 0, &k))) pool.add(k);
        break;
      }
      case 7: {
        HCRYPTHASH h;
        ALG_ID alg = f.ConsumeBool() ? CALG_HMAC : CALG_SHA1;
        if (CHECKED(CryptCreateHash(a, alg, alg == CALG_HMAC ? b : 0, 0, &h))) pool.add(h);
        break;
      }
      case 8:
        if (CHECKED(CryptDestroyHash(a))) pool.drop(a);
        break;
      case 9: {
        HCRYPTHASH h;
        if (CHECKED(CryptDuplicateHash(a, nullptr, 0, &h))) pool.add(h);
        break;
      }
      case 10:
        CHECKED(CryptHashData(a, small, sizeof small, 0));
        break;
      case 11:
        CHECKED(CryptGetHashParam(a, HP_HASHVAL, buf.data(), &len, 0));
        break;
      case 12:
        CHECKED(CryptSetHashParam(a, HP_HASHVAL, buf.data(), 0));
        break;
      case 13:
        CHECKED(CryptHashSessionKey(a, b, 0));
        break;
      case 14: {
        HCRYPTKEY k;
        if (CHECKED(CryptDeriveKey(a, CALG_AES_128, b, 0, &k))) pool.add(k);
        break;
      }
      case 15:
        CHECKED(CryptGetKeyParam(a, KP_ALGID, buf.data(), &len, 0));
        break;
      case 16:
        CHECKED(CryptSetKeyParam(a, KP_IV, buf.data(), 0));
        break;
      case 17:
        CHECKED(CryptExportKey(a, b, f.PickValueInArray({DWORD(PUBLICKEYBLOB),
                                                         DWORD(PRIVATEKEYBLOB),
                                                         DWORD(SIMPLEBLOB),
                                                         DWORD(PLAINTEXTKEYBLOB)}),
                               0, buf.data(), &len));
        break;
      case 18: {
        HCRYPTKEY k;
        std::vector<BYTE> blob(fuzz::kExchangeKey512,
                               fuzz::kExchangeKey512 + sizeof fuzz::kExchangeKey512);
        blob[0] = f.PickValueInArray({BYTE(PUBLICKEYBLOB), BYTE(PRIVATEKEYBLOB), BYTE(SIMPLEBLOB)});
        if (CHECKED(CryptImportKey(a, blob.data(), DWORD(blob.size()), b, 0, &k))) pool.add(k);
        break;
      }
      case 19: {
        DWORD n = 16;
        CHECKED(CryptEncrypt(a, b, TRUE, 0, buf.data(), &n, DWORD(buf.size())));
        break;
      }
      case 20: {
        DWORD n = 16;
        CHECKED(CryptDecrypt(a, b, TRUE, 0, buf.data(), &n));
        break;
      }
      case 21:
        CHECKED(CryptSignHashA(a, AT_SIGNATURE, nullptr, 0, buf.data(), &len));
        break;
      case 22:
        CHECKED(CryptVerifySignatureA(a, buf.data(), 128, b, nullptr, 0));
        break;
      case 23:
        CHECKED(CryptGetProvParam(a, PP_NAME, buf.data(), &len, 0));
        break;
      case 24: {
        CRYPT_DATA_BLOB blob{4, small};
        CHECKED(CryptSetProvParam(a, PP_CONTAINER_COMMENT, reinterpret_cast<BYTE*>(&blob), 0));
        break;
      }
      case 25:
        CHECKED(CryptGenRandom(a, sizeof small, small));
        break;
      case 26: {
        HCRYPTHASH h;
        if (CHECKED(CryptCreateHash(a, CALG_SHA_256, 0, 0, &h))) {
          CHECKED(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, buf.data(), &len));
          pool.add(h);
        }
        break;
      }
      case 27: {
        // Release a context while its keys and hashes live on.
        HCRYPTPROV p;
        if (CHECKED(CryptAcquireContextA(&p, "fuzz-handles", nullptr, PROV_RSA_AES, 0))) {
          HCRYPTKEY k;
          if (CHECKED(CryptGetUserKey(p, AT_SIGNATURE, &k))) pool.add(k);
          CryptReleaseContext(p, 0);
          pool.released.push_back(p);
        }
        break;
      }
    }
  }
  // Release what is left: each live entry is one reference.
  for (uintptr_t h : pool.live) {
    if (CryptReleaseContext(h, 0) || CryptDestroyKey(h) || CryptDestroyHash(h)) continue;
    fuzz::die("a live handle does not release");
  }
  if (csp::handle_count() != before) fuzz::die("handles leaked");
  return 0;
}
