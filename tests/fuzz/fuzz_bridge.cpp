// The bridge's structure normalisers (the little-endian to host copies of
// key blob headers, provider, key and hash parameter values) reached the
// way Java reaches them: natives called through the stand-in JNIEnv with
// arrays whose contents, lengths and claimed lengths come from the input.
// Arrays are exactly as long as Java's, so a normaliser or the provider
// behind it that reads or writes past one is caught; every native must
// give all elements back and make no JNI call with an exception pending.
#include "fakejni.h"
#include "fuzz_common.h"
#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"

namespace {

HCRYPTPROV g_prov;
HCRYPTKEY g_xchg;

// A byte array from the input, its length picked first (or no array).
jbyteArray array(fakejni::Env& env, FuzzedDataProvider& f, bool content) {
  size_t n = f.ConsumeIntegralInRange<size_t>(0, 600);
  if (n == 600) return nullptr;
  std::vector<unsigned char> v = content ? f.ConsumeBytes<unsigned char>(n) : std::vector<unsigned char>();
  v.resize(n);
  return env.bytes(v);
}
// A claimed length: near the array's, or anything.
jint claimed(fakejni::Env& env, FuzzedDataProvider& f, jbyteArray a) {
  jint real = a ? jint(env.bytes_of(a).size()) : 0;
  return f.ConsumeBool() ? real + f.ConsumeIntegralInRange<jint>(-2, 2) : f.ConsumeIntegral<jint>();
}
jintArray length(fakejni::Env& env, FuzzedDataProvider& f, jbyteArray a) {
  return f.ConsumeIntegralInRange<int>(0, 9) == 0 ? nullptr : env.ints({claimed(env, f, a)});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_prov = fuzz::verify_context();
  g_xchg = fuzz::import_fixed(g_prov, fuzz::kExchangeKey512, sizeof fuzz::kExchangeKey512,
                              CRYPT_EXPORTABLE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider f(data, size);
  size_t before = csp::handle_count();
  fakejni::Env env;
  JNIEnv* e = env.env();
  HCRYPTKEY aes = 0, rsa = 0;
  HCRYPTHASH hash = 0;
  CryptGenKey(g_prov, CALG_AES_128, CRYPT_EXPORTABLE, &aes);
  CryptDuplicateKey(g_xchg, nullptr, 0, &rsa);
  CryptCreateHash(g_prov, f.ConsumeBool() ? CALG_SHA_256 : CALG_MD5, 0, 0, &hash);
  const jlong keys[] = {jlong(aes), jlong(rsa), 0, 12345};
  for (int step = 0; step < 16 && f.remaining_bytes() > 0; ++step) {
    jlong key = f.PickValueInArray(keys);
    jboolean foreign = f.ConsumeBool();
    switch (f.ConsumeIntegralInRange<int>(0, 6)) {
      case 0: {
        jbyteArray blob = array(env, f, true);
        jlongArray out = f.ConsumeBool() ? env.longs({0}) : nullptr;
        jint len = claimed(env, f, blob);
        if (Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptImportKey(e, nullptr, jlong(g_prov), blob, len,
                                                             f.ConsumeBool() ? jlong(rsa) : 0,
                                                             CRYPT_EXPORTABLE, out, foreign) == 0 &&
            out)
          CryptDestroyKey(HCRYPTKEY(env.long_at(out, 0)));
        break;
      }
      case 1: {
        jint type = f.PickValueInArray({SIMPLEBLOB, PUBLICKEYBLOB, PRIVATEKEYBLOB, PLAINTEXTKEYBLOB, 25,
                                        0x70, 0x72});
        jbyteArray buf = array(env, f, false);
        Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptExportKey(e, nullptr, key, f.ConsumeBool() ? jlong(rsa) : 0,
                                                         type, 0, buf, length(env, f, buf), foreign);
        break;
      }
      case 2: {
        jint param = f.PickValueInArray({PP_ENUMALGS, PP_ENUMALGS_EX, 133, 138, PP_VERSION, PP_PROVTYPE,
                                         PP_NAME});
        jbyteArray buf = array(env, f, false);
        Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptGetProvParam(e, nullptr, jlong(g_prov), param, buf,
                                                            length(env, f, buf), f.ConsumeBool());
        break;
      }
      case 3:
      case 4: {
        jint param = f.PickValueInArray({KP_SCHANNEL_ALG, KP_PADDING, KP_MODE, KP_MODE_BITS, KP_IV,
                                         KP_SALT, KP_ALGID, KP_KEYLEN, KP_PERMISSIONS,
                                         KP_EFFECTIVE_KEYLEN, 34, 0x65, 0x6C});
        jbyteArray buf = array(env, f, true);
        if (f.ConsumeBool())
          Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptSetKeyParam(e, nullptr, key, param, buf, 0);
        else
          Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptGetKeyParam(e, nullptr, key, param, buf,
                                                             length(env, f, buf), 0);
        break;
      }
      default: {
        jint param = f.PickValueInArray({HP_ALGID, HP_HASHVAL, HP_HASHSIZE, HP_HMAC_INFO,
                                         HP_TLS1PRF_LABEL, HP_TLS1PRF_SEED});
        jbyteArray buf = array(env, f, true);
        if (f.ConsumeBool())
          Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptSetHashParam(e, nullptr, jlong(hash), param, buf, 0);
        else
          Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptGetHashParam(e, nullptr, jlong(hash), param, buf,
                                                              length(env, f, buf), 0);
        break;
      }
    }
    if (env.outstanding() != 0) fuzz::die("a native kept array elements");
    if (env.nonzero_release_modes() != 0) fuzz::die("a native released with another mode");
    if (env.calls_while_pending() != 0) fuzz::die("a JNI call with an exception pending");
    env.clear_pending();
  }
  CryptDestroyKey(aes);
  CryptDestroyKey(rsa);
  CryptDestroyHash(hash);
  if (csp::handle_count() != before) fuzz::die("handles leaked");
  return 0;
}
