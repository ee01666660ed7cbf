// Provider, key and hash parameters: CryptSetProvParam / CryptGetProvParam,
// CryptSetKeyParam / CryptGetKeyParam and CryptSetHashParam /
// CryptGetHashParam with arbitrary parameter numbers, flags, data and buffer
// lengths, interleaved with the calls whose state they change.
//
// Parameters that take a structure (CRYPT_PIN_PARAM, CERT_EXTENSION,
// CRYPT_DATA_BLOB, HMAC_INFO) get a valid structure whose pointers lead into
// memory this target owns, of a length the input chooses; a DWORD parameter
// gets 4 bytes and an IV or a hash value a buffer of the size the object
// reports. Every other parameter number gets raw bytes of the input's length.
#include <functional>

#include "fuzz_common.h"

namespace {

HCRYPTPROV g_verify;


DWORD pick_param(FuzzedDataProvider& f, std::initializer_list<DWORD> known) {
  if (f.ConsumeBool()) return f.ConsumeIntegral<DWORD>();
  std::vector<DWORD> v(known);
  return v[f.ConsumeIntegralInRange<size_t>(0, v.size() - 1)];
}

// Raw bytes of a chosen length, padded to 16: a parameter of fixed size
// (a DWORD, a FILETIME) has no length argument, and a caller gives it all.
std::vector<BYTE> raw(FuzzedDataProvider& f) {
  std::vector<BYTE> b = f.ConsumeBytes<BYTE>(f.ConsumeIntegralInRange<size_t>(1, 64));
  if (b.size() < 16) b.resize(16);
  return b;
}

void get_param(FuzzedDataProvider& f,
               const std::function<BOOL(BYTE*, DWORD*)>& get, const char* what) {
  std::vector<BYTE> out;
  if (f.ConsumeBool()) {
    fuzz::two_call(get, out, what);
  } else {
    // A buffer of the input's length, honestly described.
    size_t n = f.ConsumeIntegralInRange<size_t>(0, 300);
    std::vector<BYTE> buf(n);
    DWORD len = DWORD(n);
    SetLastError(0);
    BOOL ok = fuzz::checked(get(n ? buf.data() : nullptr, &len), what);
    if (ok && n && len > n) fuzz::die("reported more than the buffer holds");
  }
}

struct State {
  HCRYPTPROV prov = 0;
  std::vector<HCRYPTKEY> keys;
  std::vector<HCRYPTHASH> hashes;
};

void set_prov(FuzzedDataProvider& f, State& s) {
  DWORD param = pick_param(f, {PP_KEYEXCHANGE_PIN, PP_SIGNATURE_PIN, PP_SET_CERT_EXTENSION,
                               PP_CONTAINER_COMMENT, PP_ENUMALGS, PP_NAME});
  DWORD flags = f.ConsumeBool() ? 0 : f.ConsumeIntegral<DWORD>();
  HCRYPTPROV prov = f.ConsumeBool() ? s.prov : g_verify;
  std::string text = f.ConsumeRandomLengthString(40);  // NUL-terminated by std::string
  std::vector<BYTE> bytes = f.ConsumeBytes<BYTE>(f.ConsumeIntegralInRange<size_t>(0, 300));
  if (param == PP_KEYEXCHANGE_PIN || param == PP_SIGNATURE_PIN) {
    CRYPT_PIN_PARAM pin;
    std::memset(&pin, 0, sizeof pin);
    pin.type = f.ConsumeBool() ? BYTE(f.PickValueInArray({0, 4, 5})) : f.ConsumeIntegral<BYTE>();
    pin.dest.passwd = f.ConsumeBool() ? &text[0] : nullptr;
    CHECKED(CryptSetProvParam(prov, param, reinterpret_cast<const BYTE*>(&pin), flags));
  } else if (param == PP_SET_CERT_EXTENSION) {
    CERT_EXTENSION ext;
    std::memset(&ext, 0, sizeof ext);
    ext.pszObjId = f.ConsumeBool() ? &text[0] : nullptr;
    ext.fCritical = f.ConsumeIntegral<BYTE>();
    ext.Value.cbData = DWORD(bytes.size());
    ext.Value.pbData = bytes.empty() ? nullptr : bytes.data();
    CHECKED(CryptSetProvParam(prov, param, reinterpret_cast<const BYTE*>(&ext), flags));
  } else if (param == PP_CONTAINER_COMMENT) {
    CRYPT_DATA_BLOB blob;
    blob.cbData = DWORD(bytes.size());
    blob.pbData = bytes.empty() ? nullptr : bytes.data();
    CHECKED(CryptSetProvParam(prov, param, reinterpret_cast<const BYTE*>(&blob), flags));
  } else {
    std::vector<BYTE> r = raw(f);
    CHECKED(CryptSetProvParam(prov, param, r.data(), flags));
  }
}

void get_prov(FuzzedDataProvider& f, State& s) {
  DWORD param = pick_param(f, {PP_ENUMALGS, PP_ENUMALGS_EX, PP_ENUMCONTAINERS, PP_NAME,
                               PP_CONTAINER, PP_UNIQUE_CONTAINER, PP_VERSION_EX,
                               PP_ENUM_CERT_EXTENSIONS, PP_CONTAINER_COMMENT, PP_KEYSPEC,
                               PP_PROVTYPE, PP_IMPTYPE, PP_VERSION, PP_SIG_KEYSIZE_INC});
  DWORD flags = f.ConsumeBool() ? f.PickValueInArray({DWORD(0), DWORD(CRYPT_FIRST)})
                                : f.ConsumeIntegral<DWORD>();
  HCRYPTPROV prov = f.ConsumeBool() ? s.prov : g_verify;
  get_param(f, [&](BYTE* b, DWORD* l) { return CryptGetProvParam(prov, param, b, l, flags); },
            "CryptGetProvParam");
}

HCRYPTKEY pick_key(FuzzedDataProvider& f, State& s) {
  if (s.keys.empty() || f.ConsumeIntegralInRange<int>(0, 15) == 0) return f.ConsumeIntegral<DWORD>();
  return s.keys[f.ConsumeIntegralInRange<size_t>(0, s.keys.size() - 1)];
}
HCRYPTHASH pick_hash(FuzzedDataProvider& f, State& s) {
  if (s.hashes.empty() || f.ConsumeIntegralInRange<int>(0, 15) == 0)
    return f.ConsumeIntegral<DWORD>();
  return s.hashes[f.ConsumeIntegralInRange<size_t>(0, s.hashes.size() - 1)];
}

void set_key(FuzzedDataProvider& f, State& s) {
  HCRYPTKEY k = pick_key(f, s);
  DWORD param = pick_param(f, {KP_IV, KP_SALT, KP_PADDING, KP_MODE, KP_MODE_BITS, KP_PERMISSIONS,
                               KP_SALT_EX, KP_EFFECTIVE_KEYLEN, KP_KEYLEN});
  DWORD flags = f.ConsumeBool() ? 0 : f.ConsumeIntegral<DWORD>();
  std::vector<BYTE> data;
  if (param == KP_IV || param == KP_SALT) {
    // As long as the key reports its IV or salt: neither takes a length.
    DWORD n = 0;
    if (!CryptGetKeyParam(k, param, nullptr, &n, 0)) n = 0;
    data = f.ConsumeBytes<BYTE>(n);
    data.resize(n ? n : 1);
  } else if (param == KP_PADDING || param == KP_MODE || param == KP_MODE_BITS ||
             param == KP_PERMISSIONS || param == KP_EFFECTIVE_KEYLEN || param == KP_KEYLEN) {
    DWORD v = f.ConsumeBool() ? f.PickValueInArray({1u, 2u, 3u, 4u, 8u, 0x3Fu})
                              : f.ConsumeIntegral<DWORD>();
    data.resize(4);
    std::memcpy(data.data(), &v, 4);
  } else if (param == KP_SALT_EX) {
    static std::vector<BYTE> salt;
    salt = f.ConsumeBytes<BYTE>(f.ConsumeIntegralInRange<size_t>(0, 32));
    CRYPT_DATA_BLOB b{DWORD(salt.size()), salt.empty() ? nullptr : salt.data()};
    data.resize(sizeof b);
    std::memcpy(data.data(), &b, sizeof b);
  } else {
    data = raw(f);
  }
  CHECKED(CryptSetKeyParam(k, param, data.data(), flags));
}

void get_key(FuzzedDataProvider& f, State& s) {
  HCRYPTKEY k = pick_key(f, s);
  DWORD param = pick_param(f, {KP_IV, KP_SALT, KP_PADDING, KP_MODE, KP_MODE_BITS, KP_PERMISSIONS,
                               KP_ALGID, KP_BLOCKLEN, KP_KEYLEN, KP_CERTIFICATE});
  DWORD flags = f.ConsumeBool() ? 0 : f.ConsumeIntegral<DWORD>();
  get_param(f, [&](BYTE* b, DWORD* l) { return CryptGetKeyParam(k, param, b, l, flags); },
            "CryptGetKeyParam");
}

void set_hash(FuzzedDataProvider& f, State& s) {
  HCRYPTHASH h = pick_hash(f, s);
  DWORD param = pick_param(f, {HP_HASHVAL, HP_HMAC_INFO, HP_ALGID, HP_HASHSIZE,
                               HP_TLS1PRF_LABEL});
  DWORD flags = f.ConsumeBool() ? 0 : f.ConsumeIntegral<DWORD>();
  if (param == HP_HASHVAL) {
    DWORD size = 0, len = 4;
    CryptGetHashParam(h, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &len, 0);
    std::vector<BYTE> v = f.ConsumeBytes<BYTE>(size);
    v.resize(size ? size : 1);
    CHECKED(CryptSetHashParam(h, param, v.data(), flags));
  } else if (param == HP_HMAC_INFO) {
    std::vector<BYTE> inner = f.ConsumeBytes<BYTE>(f.ConsumeIntegralInRange<size_t>(0, 70));
    std::vector<BYTE> outer = f.ConsumeBytes<BYTE>(f.ConsumeIntegralInRange<size_t>(0, 70));
    HMAC_INFO info;
    std::memset(&info, 0, sizeof info);
    info.HashAlgid = f.ConsumeBool()
                         ? f.PickValueInArray({ALG_ID(CALG_SHA1), ALG_ID(CALG_MD5),
                                               ALG_ID(CALG_SHA_512), ALG_ID(CALG_HMAC)})
                         : f.ConsumeIntegral<ALG_ID>();
    info.pbInnerString = inner.empty() ? nullptr : inner.data();
    info.cbInnerString = DWORD(inner.size());
    info.pbOuterString = outer.empty() ? nullptr : outer.data();
    info.cbOuterString = DWORD(outer.size());
    CHECKED(CryptSetHashParam(h, param, reinterpret_cast<const BYTE*>(&info), flags));
  } else {
    std::vector<BYTE> r = raw(f);
    CHECKED(CryptSetHashParam(h, param, r.data(), flags));
  }
}

void get_hash(FuzzedDataProvider& f, State& s) {
  HCRYPTHASH h = pick_hash(f, s);
  DWORD param = pick_param(f, {HP_HASHVAL, HP_HASHSIZE, HP_ALGID, HP_HMAC_INFO});
  DWORD flags = f.ConsumeBool() ? 0 : f.ConsumeIntegral<DWORD>();
  get_param(f, [&](BYTE* b, DWORD* l) { return CryptGetHashParam(h, param, b, l, flags); },
            "CryptGetHashParam");
}

void make_object(FuzzedDataProvider& f, State& s) {
  switch (f.ConsumeIntegralInRange<int>(0, 6)) {
    case 0: {
      ALG_ID alg = f.PickValueInArray({ALG_ID(CALG_AES_128), ALG_ID(CALG_AES_256),
                                       ALG_ID(CALG_3DES), ALG_ID(CALG_3DES_112)});
      HCRYPTKEY k;
      if (CHECKED(CryptGenKey(s.prov, alg, f.ConsumeBool() ? CRYPT_EXPORTABLE : 0, &k)))
        s.keys.push_back(k);
      break;
    }
    case 1: {
      HCRYPTKEY k = fuzz::import_fixed(f.ConsumeBool() ? s.prov : g_verify,
                                       fuzz::kExchangeKey512, sizeof fuzz::kExchangeKey512,
                                       CRYPT_EXPORTABLE);
      s.keys.push_back(k);
      break;
    }
    case 2: {
      // An HMAC key of any length.
      std::vector<BYTE> blob = {PLAINTEXTKEYBLOB, 2, 0, 0, 0x02, 0x66, 0, 0};
      DWORD n = f.ConsumeIntegralInRange<DWORD>(1, 80);
      for (int i = 0; i < 4; ++i) blob.push_back(BYTE(n >> (8 * i)));
      for (DWORD i = 0; i < n; ++i) blob.push_back(BYTE(i));
      HCRYPTKEY k;
      if (CHECKED(CryptImportKey(s.prov, blob.data(), DWORD(blob.size()), 0,
                                 CRYPT_IPSEC_HMAC_KEY, &k)))
        s.keys.push_back(k);
      break;
    }
    case 3:
    case 4: {
      ALG_ID alg = f.PickValueInArray({ALG_ID(CALG_SHA1), ALG_ID(CALG_MD5), ALG_ID(CALG_SHA_256),
                                       ALG_ID(CALG_SHA_384), ALG_ID(CALG_HMAC)});
      HCRYPTKEY key = alg == CALG_HMAC ? pick_key(f, s) : 0;
      HCRYPTHASH h;
      if (CHECKED(CryptCreateHash(s.prov, alg, key, 0, &h))) s.hashes.push_back(h);
      break;
    }
    case 5: {
      if (s.hashes.empty()) break;
      HCRYPTHASH h = pick_hash(f, s);
      std::vector<BYTE> d = f.ConsumeBytes<BYTE>(f.ConsumeIntegralInRange<size_t>(0, 40));
      CHECKED(CryptHashData(h, d.empty() ? nullptr : d.data(), DWORD(d.size()), 0));
      break;
    }
    case 6: {
      HCRYPTHASH h = pick_hash(f, s);
      HCRYPTKEY k = pick_key(f, s);
      if (f.ConsumeBool()) {
        HCRYPTKEY d;
        if (CHECKED(CryptDeriveKey(s.prov, CALG_AES_128, h, 0, &d))) s.keys.push_back(d);
      } else {
        CHECKED(CryptHashSessionKey(h, k, 0));
      }
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_verify = fuzz::verify_context();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider f(data, size);
  size_t before = csp::handle_count();
  // A fresh container for every input, so that inputs do not depend on each other.
  HCRYPTPROV gone;
  CryptAcquireContextA(&gone, "fuzz-params", nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  State s;
  s.prov = fuzz::container_context("fuzz-params");
  if (f.ConsumeBool()) {
    CryptDestroyKey(fuzz::import_fixed(s.prov, fuzz::kExchangeKey512,
                                       sizeof fuzz::kExchangeKey512, CRYPT_EXPORTABLE));
  }
  for (int step = 0; step < 24 && f.remaining_bytes() > 0; ++step) {
    switch (f.ConsumeIntegralInRange<int>(0, 6)) {
      case 0: set_prov(f, s); break;
      case 1: get_prov(f, s); break;
      case 2: set_key(f, s); break;
      case 3: get_key(f, s); break;
      case 4: set_hash(f, s); break;
      case 5: get_hash(f, s); break;
      case 6: make_object(f, s); break;
    }
  }
  for (HCRYPTKEY k : s.keys) CryptDestroyKey(k);
  for (HCRYPTHASH h : s.hashes) CryptDestroyHash(h);
  if (!CryptReleaseContext(s.prov, 0)) fuzz::die("release");
  if (csp::handle_count() != before) fuzz::die("handles leaked");
  return 0;
}
