/*
 * Writes known-answer vectors made by the system CryptoAPI (run it under
 * Wine, whose software provider is an implementation independent of ours):
 * key blobs of every type, signatures, RSA and AES ciphertexts, derived keys
 * and hashed session keys. The provider's tests import these and must give
 * back the same bytes.
 *
 * Output: one "name hex" line per value, on standard output.
 */
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

static void hex(const char* name, const BYTE* p, DWORD n) {
  printf("%s ", name);
  for (DWORD i = 0; i < n; ++i) printf("%02x", p[i]);
  printf("\n");
}

static void check(BOOL ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "%s failed: 0x%lx\n", what, GetLastError());
    ++failures;
  }
}

static void export_blob(const char* name, HCRYPTKEY key, HCRYPTKEY wrap, DWORD type, DWORD flags) {
  BYTE buf[4096];
  DWORD n = sizeof buf;
  if (CryptExportKey(key, wrap, type, flags, buf, &n)) {
    hex(name, buf, n);
  } else {
    check(FALSE, name);
  }
}

static const BYTE kMessage[] = "Known answers from an independent CryptoAPI";
static const BYTE kPlain[] = "thirty-seven bytes of plain text here";
static const BYTE kIv[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

/* Encrypts kPlain (without its terminator) with `key` in CBC mode from kIv. */
static void encrypt_plain(const char* name, HCRYPTKEY key) {
  BYTE buf[128];
  DWORD n = sizeof kPlain - 1;
  memcpy(buf, kPlain, n);
  check(CryptSetKeyParam(key, KP_IV, kIv, 0), "KP_IV");
  if (CryptEncrypt(key, 0, TRUE, 0, buf, &n, sizeof buf)) {
    hex(name, buf, n);
  } else {
    check(FALSE, name);
  }
}

int main(void) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    fprintf(stderr, "no provider: 0x%lx\n", GetLastError());
    return 1;
  }
  hex("message", kMessage, sizeof kMessage - 1);
  hex("plain", kPlain, sizeof kPlain - 1);
  hex("iv", kIv, sizeof kIv);

  HCRYPTKEY sig = 0, xchg = 0;
  check(CryptGenKey(prov, CALG_RSA_SIGN, (1024u << 16) | CRYPT_EXPORTABLE, &sig), "sign key");
  check(CryptGenKey(prov, CALG_RSA_KEYX, (1024u << 16) | CRYPT_EXPORTABLE, &xchg), "exchange key");
  export_blob("sign.private", sig, 0, PRIVATEKEYBLOB, 0);
  export_blob("sign.public", sig, 0, PUBLICKEYBLOB, 0);
  export_blob("xchg.private", xchg, 0, PRIVATEKEYBLOB, 0);
  export_blob("xchg.public", xchg, 0, PUBLICKEYBLOB, 0);

  /* PKCS #1 v1.5 signatures are deterministic: ours must be identical. */
  static const struct { ALG_ID alg; const char* name; } hashes[] = {
      {CALG_MD5, "md5"}, {CALG_SHA1, "sha1"}, {CALG_SHA_256, "sha256"},
      {CALG_SHA_384, "sha384"}, {CALG_SHA_512, "sha512"}};
  for (int i = 0; i < 5; ++i) {
    for (int nooid = 0; nooid < 2; ++nooid) {
      HCRYPTHASH h = 0;
      BYTE out[256];
      DWORD n = sizeof out;
      char name[64];
      check(CryptCreateHash(prov, hashes[i].alg, 0, 0, &h), "hash");
      check(CryptHashData(h, kMessage, sizeof kMessage - 1, 0), "hash data");
      snprintf(name, sizeof name, "hash.%s", hashes[i].name);
      if (!nooid && CryptGetHashParam(h, HP_HASHVAL, out, &n, 0)) hex(name, out, n);
      n = sizeof out;
      snprintf(name, sizeof name, "signature.%s%s", hashes[i].name, nooid ? ".nooid" : "");
      /* Without the hash identifier only SHA-1 and MD5 are customary. */
      if (nooid && hashes[i].alg != CALG_SHA1) {
        CryptDestroyHash(h);
        continue;
      }
      if (CryptSignHashA(h, AT_SIGNATURE, NULL, nooid ? CRYPT_NOHASHOID : 0, out, &n)) {
        hex(name, out, n);
      } else {
        check(FALSE, name);
      }
      CryptDestroyHash(h);
    }
  }
  /* Signing above used the context's own key: say which. */
  {
    HCRYPTKEY user = 0;
    if (CryptGetUserKey(prov, AT_SIGNATURE, &user)) {
      export_blob("user-sign.public", user, 0, PUBLICKEYBLOB, 0);
      CryptDestroyKey(user);
    }
  }

  /* RSA encryption with the exchange key, PKCS #1 v1.5 and OAEP. */
  for (int oaep = 0; oaep < 2; ++oaep) {
    BYTE buf[256];
    DWORD n = sizeof kPlain - 1;
    memcpy(buf, kPlain, n);
    if (CryptEncrypt(xchg, 0, TRUE, oaep ? CRYPT_OAEP : 0, buf, &n, sizeof buf)) {
      hex(oaep ? "rsa.oaep" : "rsa.pkcs1", buf, n);
    } else {
      check(FALSE, oaep ? "rsa.oaep" : "rsa.pkcs1");
    }
  }

  /* Session keys: wrapped for the exchange key, in plain, and in use. */
  static const struct { ALG_ID alg; const char* name; } ciphers[] = {
      {CALG_AES_128, "aes128"}, {CALG_AES_256, "aes256"}, {CALG_3DES, "3des"}};
  for (int i = 0; i < 3; ++i) {
    HCRYPTKEY k = 0;
    char name[64];
    check(CryptGenKey(prov, ciphers[i].alg, CRYPT_EXPORTABLE, &k), "session key");
    snprintf(name, sizeof name, "%s.simple", ciphers[i].name);
    export_blob(name, k, xchg, SIMPLEBLOB, 0);
    snprintf(name, sizeof name, "%s.plaintext", ciphers[i].name);
    export_blob(name, k, 0, PLAINTEXTKEYBLOB, 0);
    snprintf(name, sizeof name, "%s.cbc", ciphers[i].name);
    encrypt_plain(name, k);
    {
      HCRYPTHASH h = 0;
      BYTE out[64];
      DWORD n = sizeof out;
      check(CryptCreateHash(prov, CALG_SHA1, 0, 0, &h), "hash");
      check(CryptHashSessionKey(h, k, 0), "hash session key");
      snprintf(name, sizeof name, "%s.hashsessionkey.sha1", ciphers[i].name);
      if (CryptGetHashParam(h, HP_HASHVAL, out, &n, 0)) hex(name, out, n);
      CryptDestroyHash(h);
    }
    CryptDestroyKey(k);
  }

  /* Keys derived from a hash of a password. */
  static const BYTE kPassword[] = "derive me";
  hex("password", kPassword, sizeof kPassword - 1);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 2; ++j) {
      ALG_ID halg = j ? CALG_SHA_256 : CALG_SHA1;
      HCRYPTHASH h = 0;
      HCRYPTKEY k = 0;
      char name[64];
      check(CryptCreateHash(prov, halg, 0, 0, &h), "hash");
      check(CryptHashData(h, kPassword, sizeof kPassword - 1, 0), "hash data");
      snprintf(name, sizeof name, "derive.%s.%s", j ? "sha256" : "sha1", ciphers[i].name);
      if (CryptDeriveKey(prov, ciphers[i].alg, h, CRYPT_EXPORTABLE, &k)) {
        char sub[80];
        snprintf(sub, sizeof sub, "%s.plaintext", name);
        export_blob(sub, k, 0, PLAINTEXTKEYBLOB, 0);
        snprintf(sub, sizeof sub, "%s.cbc", name);
        encrypt_plain(sub, k);
        CryptDestroyKey(k);
      } else {
        check(FALSE, name);
      }
      CryptDestroyHash(h);
    }
  }

  CryptDestroyKey(sig);
  CryptDestroyKey(xchg);
  CryptReleaseContext(prov, 0);
  return failures ? 1 : 0;
}
