// CryptImportKey with arbitrary blob bytes, into a verify context or a
// container context, then export of what was imported (size query, short
// buffer, exact buffer; the public, private and plaintext forms must import
// again to the same bytes) and use of the key: parameters, encryption and
// decryption, HMAC, signing and verification.
//
// Input: one control byte (context, import flags, which key unwraps a
// SIMPLEBLOB), one byte of use choices, then the blob.
#include "fuzz_common.h"

namespace {

HCRYPTPROV g_verify, g_container;
HCRYPTKEY g_xchg_verify, g_xchg_container;

void roundtrip(HCRYPTPROV prov, const std::vector<BYTE>& blob, DWORD type, DWORD flags) {
  HCRYPTKEY again = 0;
  // A private pair goes back into the verify context only: importing it into
  // the container would replace the stored pair.
  if (!CHECKED(CryptImportKey(prov, blob.data(), DWORD(blob.size()), 0,
                              flags | CRYPT_EXPORTABLE, &again)))
    fuzz::die("an exported blob does not import again");
  std::vector<BYTE> second;
  bool ok = fuzz::two_call(
      [&](BYTE* b, DWORD* l) { return CryptExportKey(again, 0, type, 0, b, l); }, second,
      "re-export");
  if (!ok || second != blob) fuzz::die("export of the re-imported key differs");
  CryptDestroyKey(again);
}

void use_key(HCRYPTKEY k, HCRYPTPROV prov, HCRYPTKEY xchg, bool in_container, BYTE choice,
             DWORD import_flags, bool private_pair) {
  std::vector<BYTE> out;
  for (DWORD param : std::initializer_list<DWORD>{KP_ALGID, KP_KEYLEN, KP_BLOCKLEN, KP_PERMISSIONS, KP_IV, KP_SALT, KP_MODE,
                      KP_MODE_BITS, KP_PADDING, KP_EFFECTIVE_KEYLEN}) {
    fuzz::two_call([&](BYTE* b, DWORD* l) { return CryptGetKeyParam(k, param, b, l, 0); }, out,
                   "CryptGetKeyParam");
  }
  ALG_ID alg = 0;
  DWORD alen = sizeof alg;
  if (!CHECKED(CryptGetKeyParam(k, KP_ALGID, reinterpret_cast<BYTE*>(&alg), &alen, 0)))
    fuzz::die("no algorithm");

  // Exports in every form, with and without a wrapping key.
  for (DWORD type : std::initializer_list<DWORD>{PUBLICKEYBLOB, PRIVATEKEYBLOB, PLAINTEXTKEYBLOB, SIMPLEBLOB, DWORD(0x42)}) {
    for (DWORD flags : std::initializer_list<DWORD>{DWORD(0), DWORD(CRYPT_OAEP)}) {
      HCRYPTKEY wrap = type == SIMPLEBLOB ? xchg : 0;
      std::vector<BYTE> blob;
      if (!fuzz::two_call(
              [&](BYTE* b, DWORD* l) { return CryptExportKey(k, wrap, type, flags, b, l); },
              blob, "CryptExportKey"))
        continue;
      if (type == SIMPLEBLOB) {
        HCRYPTKEY s = 0;
        if (!CHECKED(CryptImportKey(prov, blob.data(), DWORD(blob.size()), xchg,
                                    flags | CRYPT_EXPORTABLE, &s)))
          fuzz::die("a SIMPLEBLOB does not unwrap");
        CryptDestroyKey(s);
      } else if (flags == 0 && type != DWORD(0x42)) {
        roundtrip(type == PRIVATEKEYBLOB ? g_verify : prov, blob, type,
                  import_flags & CRYPT_IPSEC_HMAC_KEY);
      }
    }
  }

  // Encryption and decryption of a few bytes in place.
  for (DWORD flags : std::initializer_list<DWORD>{DWORD(0), DWORD(CRYPT_OAEP)}) {
    DWORD n = choice & 0x1F;
    DWORD need = n;
    if (!CHECKED(CryptEncrypt(k, 0, TRUE, flags, nullptr, &need, 0))) continue;
    if (need < n || need > 4096) fuzz::die("encrypt size query");
    std::vector<BYTE> buf(need);
    for (DWORD i = 0; i < n; ++i) buf[i] = BYTE(i * 7);
    DWORD len = n;
    if (!CHECKED(CryptEncrypt(k, 0, TRUE, flags, buf.data(), &len, need))) continue;
    if (len > need) fuzz::die("encrypt wrote past the buffer it was given");
    buf.resize(len);
    DWORD dlen = len;
    if (CHECKED(CryptDecrypt(k, 0, TRUE, flags, buf.data(), &dlen))) {
      if (dlen != n) fuzz::die("decrypt length differs");
      for (DWORD i = 0; i < n; ++i)
        if (buf[i] != BYTE(i * 7)) fuzz::die("decrypt gives other bytes");
    }
  }

  // HMAC under the key.
  HCRYPTHASH mac = 0;
  if (CHECKED(CryptCreateHash(prov, CALG_HMAC, k, 0, &mac))) {
    CHECKED(CryptHashData(mac, reinterpret_cast<const BYTE*>("abc"), 3, 0));
    fuzz::two_call([&](BYTE* b, DWORD* l) { return CryptGetHashParam(mac, HP_HASHVAL, b, l, 0); },
                   out, "HMAC value");
    CryptDestroyHash(mac);
  }

  // Signing with the container's pair of the key's kind, verification with k.
  for (ALG_ID halg : std::initializer_list<ALG_ID>{CALG_SHA1, CALG_SHA_512}) {
    HCRYPTHASH h = 0;
    if (!CHECKED(CryptCreateHash(prov, halg, 0, 0, &h))) fuzz::die("hash");
    CHECKED(CryptHashData(h, reinterpret_cast<const BYTE*>("message"), 7, 0));
    DWORD spec = alg == CALG_RSA_KEYX ? AT_KEYEXCHANGE : AT_SIGNATURE;
    std::vector<BYTE> sig;
    bool signed_ok = fuzz::two_call(
        [&](BYTE* b, DWORD* l) { return CryptSignHashA(h, spec, nullptr, 0, b, l); }, sig,
        "CryptSignHashA");
    if (!signed_ok) sig.assign(choice & 0x80 ? 128 : 64, BYTE(choice));
    BOOL verified = CHECKED(
        CryptVerifySignatureA(h, sig.data(), DWORD(sig.size()), k, nullptr, 0));
    // The pair just imported into the container is the one that signs.
    if (signed_ok && in_container && private_pair && !verified)
      fuzz::die("a signature of the imported pair does not verify");
    CryptDestroyHash(h);
  }

  // Duplicates, session key hashing, permissions.
  HCRYPTKEY d = 0;
  if (CHECKED(CryptDuplicateKey(k, nullptr, 0, &d))) CryptDestroyKey(d);
  HCRYPTHASH h = 0;
  if (CHECKED(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &h))) {
    CHECKED(CryptHashSessionKey(h, k, choice & 1 ? CRYPT_LITTLE_ENDIAN : 0));
    CryptDestroyHash(h);
  }
  DWORD perm = choice & 0x40 ? 0 : CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_EXPORT;
  CHECKED(CryptSetKeyParam(k, KP_PERMISSIONS, reinterpret_cast<const BYTE*>(&perm), 0));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_verify = fuzz::verify_context();
  g_container = fuzz::container_context("fuzz-import");
  g_xchg_verify = fuzz::import_fixed(g_verify, fuzz::kExchangeKey512,
                                     sizeof fuzz::kExchangeKey512, CRYPT_EXPORTABLE);
  g_xchg_container = fuzz::import_fixed(g_container, fuzz::kExchangeKey512,
                                        sizeof fuzz::kExchangeKey512, CRYPT_EXPORTABLE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t before = csp::handle_count();
  BYTE control = data[0], choice = data[1];
  std::vector<BYTE> blob(data + 2, data + size);  // exactly as long as the caller says
  bool in_container = control & 1;
  HCRYPTPROV prov = in_container ? g_container : g_verify;
  HCRYPTKEY xchg = in_container ? g_xchg_container : g_xchg_verify;
  DWORD flags = 0;
  if (control & 2) flags |= CRYPT_EXPORTABLE;
  if (control & 4) flags |= CRYPT_OAEP;
  if (control & 8) flags |= CRYPT_IPSEC_HMAC_KEY;
  if (control & 16) flags |= CRYPT_NO_SALT;
  HCRYPTKEY pub = 0;
  switch ((control >> 5) & 3) {
    case 1: pub = xchg; break;
    case 2: pub = 0x12345; break;                        // forged
    case 3: pub = in_container ? g_xchg_verify : 0; break;  // another context's key
  }
  HCRYPTKEY k = 0;
  BYTE* p = blob.empty() ? &control : blob.data();
  if (CHECKED(CryptImportKey(prov, p, DWORD(blob.size()), pub, flags, &k))) {
    if (!k) fuzz::die("no handle");
    bool private_pair = !blob.empty() && blob[0] == PRIVATEKEYBLOB;
    use_key(k, prov, xchg, in_container, choice, flags, private_pair);
    if (!CryptDestroyKey(k)) fuzz::die("destroy");
    if (private_pair && in_container) {
      // Put the container's exchange pair back for the next input.
      HCRYPTKEY again = fuzz::import_fixed(g_container, fuzz::kExchangeKey512,
                                           sizeof fuzz::kExchangeKey512, CRYPT_EXPORTABLE);
      CryptDestroyKey(again);
    }
  }
  if (csp::handle_count() != before) fuzz::die("handles leaked");
  return 0;
}
