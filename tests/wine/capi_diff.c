/*
 * CryptoAPI call sequences as existing Windows callers make them, built twice:
 * against this CSP (libprovapi, libcertapi) and, with mingw-w64, for Windows,
 * run under Wine against Wine's advapi32, rsaenh and crypt32. Each build
 * prints one "name value" line per result (value: "ok", a last error in hex,
 * a number or hex bytes); capi_diff.py compares the two transcripts.
 *
 *   capi_diff PKI_DIR    (the files of tests/make_pki.sh)
 *
 * Keys and inputs are fixed, so every value is deterministic.
 */
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#else
#include "csp/cfgsup.h"
#include "csp/wincert.h"
#include "csp/wincrypt.h"
#endif
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

static const char* cat(const char* a, const char* b) {
  static char buf[128];
  snprintf(buf, sizeof buf, "%s.%s", a, b);
  return buf;
}
static void hex(const char* name, const BYTE* p, DWORD n) {
  printf("%s ", name);
  for (DWORD i = 0; i < n; ++i) printf("%02x", p[i]);
  printf("\n");
}
static void num(const char* name, DWORD v) { printf("%s %lu\n", name, (unsigned long)v); }
/* "ok", or the last error; returns ok. */
static BOOL rc(const char* name, BOOL ok) {
  if (ok) printf("%s ok\n", name);
  else printf("%s 0x%08lx\n", name, (unsigned long)GetLastError());
  return ok;
}

static const BYTE kPlain[] = "thirty-seven bytes of plain text here";
#define PLAIN_LEN ((DWORD)(sizeof kPlain - 1))
static const BYTE kZero[16];
static const BYTE kKey[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0xdc, 0xba, 0x98,
                              0x76, 0x54, 0x32, 0x10, 9,    8,    7,    6,    5,    4,    3,    2};
/* A 512-bit RSA exchange pair (PRIVATEKEYBLOB), made once by openssl. */
static const char kRsaBlob[] =
    "0702000000a40000525341320002000001000100a904c2823df2a6314cb0a7f5a59498806fe950a7fb4a40713fb8"
    "abf4b6cb58ccea3a4612c0d273d81d2d3320ceb1b1a5e420e40b18c0c2a38f77aaff5f9d4dc833ebfda33176c386"
    "f15be0f13d56a4966c672e886fbcd280472117a99bd6b9e8b3306fbb9bfb33816fabee84a7b94bf3163d3ef4669e"
    "e9b4298bc93b91b355dc719522718cfae082d5c0dc91a6c8da8c9f37d6c33276acc91237478e9f11c9ce6fd91d39"
    "a5e101846ecaf80dc89b5269992c560dca54b792cfce540542241d7869b1f4ebc421c3cc9123b9a1c0014bd199b5"
    "6ddc05fbe158d7e47c633c88901da5b2dce37462dc17c8c02954442c63d8adf26283fdca30a0fad49aabd035970c"
    "f93cc1ead856f781b62fdf860b5d534e6f8710be6f6443dc4e06ca437fee2e35";

static HCRYPTPROV verify_context(DWORD type) {
  HCRYPTPROV p = 0;
  if (!CryptAcquireContextA(&p, NULL, NULL, type, CRYPT_VERIFYCONTEXT)) {
    fprintf(stderr, "no provider of type %lu: 0x%lx\n", (unsigned long)type, (unsigned long)GetLastError());
    exit(1);
  }
  return p;
}
/* A container holding the fixed RSA pair as its exchange key. */
static HCRYPTPROV rsa_container(HCRYPTKEY* pair, DWORD flags) {
  HCRYPTPROV p = 0;
  BYTE blob[400];
  DWORD n = 0;
  for (const char* s = kRsaBlob; s[0]; s += 2, ++n) {
    unsigned v;
    sscanf(s, "%2x", &v);
    blob[n] = (BYTE)v;
  }
  CryptAcquireContextA(&p, "quill-diff-rsa", NULL, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  if (!CryptAcquireContextA(&p, "quill-diff-rsa", NULL, PROV_RSA_AES, CRYPT_NEWKEYSET) ||
      !CryptImportKey(p, blob, n, 0, flags, pair)) {
    fprintf(stderr, "no RSA container: 0x%lx\n", (unsigned long)GetLastError());
    exit(1);
  }
  return p;
}
/* A session key from its bytes (PLAINTEXTKEYBLOB). */
static HCRYPTKEY plain_key(HCRYPTPROV p, ALG_ID alg, DWORD n, DWORD flags) {
  BYTE blob[64] = {PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, 0};
  HCRYPTKEY k = 0;
  memcpy(blob + 4, &alg, 4);
  memcpy(blob + 8, &n, 4);
  memcpy(blob + 12, kKey, n);
  return CryptImportKey(p, blob, 12 + n, 0, flags, &k) ? k : 0;
}
static void key_param(const char* name, HCRYPTKEY k, DWORD param, BOOL as_dword) {
  BYTE v[64];
  DWORD n = sizeof v;
  if (!CryptGetKeyParam(k, param, v, &n, 0)) rc(name, FALSE);
  else if (as_dword) printf("%s 0x%lx\n", name, (unsigned long)(v[0] | v[1] << 8 | v[2] << 16 | v[3] << 24));
  else hex(name, v, n);
}
static BOOL set_dword(HCRYPTKEY k, DWORD param, DWORD v) {
  return CryptSetKeyParam(k, param, (const BYTE*)&v, 0);
}
/* kPlain encrypted in one final call, from a zero IV where the key has one. */
static void encrypt(const char* name, HCRYPTKEY k, BOOL iv) {
  BYTE buf[128];
  DWORD n = PLAIN_LEN;
  memcpy(buf, kPlain, n);
  if (iv) CryptSetKeyParam(k, KP_IV, kZero, 0);
  if (CryptEncrypt(k, 0, TRUE, 0, buf, &n, sizeof buf)) hex(name, buf, n);
  else rc(name, FALSE);
}
static void hash_value(const char* name, HCRYPTHASH h) {
  BYTE v[64];
  DWORD n = sizeof v;
  if (CryptGetHashParam(h, HP_HASHVAL, v, &n, 0)) hex(name, v, n);
  else rc(name, FALSE);
}

/* Keys derived from MD5, SHA-1 and SHA-256 hashes, with their salt. */
static void derivations(void) {
  static const struct { ALG_ID alg; const char* name; } hashes[] = {
      {CALG_MD5, "md5"}, {CALG_SHA1, "sha1"}, {CALG_SHA_256, "sha256"}};
  static const struct { ALG_ID alg; DWORD flags; const char* name; } keys[] = {
      {CALG_DES, 0, "des"},       {CALG_3DES_112, 0, "3des112"}, {CALG_3DES, 0, "3des"},
      {CALG_AES_128, 0, "aes128"}, {CALG_AES_192, 0, "aes192"},   {CALG_AES_256, 0, "aes256"},
      {CALG_RC2, 0, "rc2"},       {CALG_RC4, 0, "rc4"},          {CALG_RC2, 40u << 16, "rc2-40"},
      {CALG_RC4, 40u << 16, "rc4-40"}, {CALG_RC4, (40u << 16) | CRYPT_NO_SALT, "rc4-40-nosalt"},
      {CALG_RC2, (56u << 16) | CRYPT_CREATE_SALT, "rc2-56-salt"}};
  HCRYPTPROV p = verify_context(PROV_RSA_AES);
  for (size_t i = 0; i < COUNT(hashes); ++i) {
    for (size_t j = 0; j < COUNT(keys); ++j) {
      char name[64];
      HCRYPTHASH h = 0;
      HCRYPTKEY k = 0;
      BYTE blob[64];
      DWORD n = sizeof blob;
      snprintf(name, sizeof name, "derive.%s.%s", hashes[i].name, keys[j].name);
      CryptCreateHash(p, hashes[i].alg, 0, 0, &h);
      CryptHashData(h, (const BYTE*)"derive me", 9, 0);
      if (rc(name, CryptDeriveKey(p, keys[j].alg, h, keys[j].flags | CRYPT_EXPORTABLE, &k))) {
        if (CryptExportKey(k, 0, PLAINTEXTKEYBLOB, 0, blob, &n)) hex(cat(name, "key"), blob + 12, n - 12);
        if (keys[j].alg == CALG_RC2 || keys[j].alg == CALG_RC4) key_param(cat(name, "salt"), k, KP_SALT, FALSE);
        encrypt(cat(name, "ciphertext"), k, keys[j].alg != CALG_RC4);
        CryptDestroyKey(k);
      }
      CryptDestroyHash(h);
    }
  }
  CryptReleaseContext(p, 0);
}

/* Enumeration sizes, and what PP_ENUMALGS(_EX) list of these algorithms. */
static void enumerations(void) {
  static const ALG_ID wanted[] = {CALG_RC2, CALG_RC4, CALG_DES, CALG_3DES_112, CALG_3DES,
                                  CALG_AES_128, CALG_AES_256, CALG_MD4, CALG_MD5, CALG_SHA1,
                                  CALG_SHA_256, CALG_MAC, CALG_HMAC, CALG_SSL3_SHAMD5};
  static const struct { DWORD param; const char* name; } params[] = {
      {PP_ENUMCONTAINERS, "enum.containers"}, {PP_ENUMALGS, "enum.algs"}, {PP_ENUMALGS_EX, "enum.algs_ex"}};
  HCRYPTPROV p = verify_context(PROV_RSA_AES);
  for (size_t i = 0; i < COUNT(params); ++i) {
    DWORD n = 0;
    if (rc(cat(params[i].name, "size"), CryptGetProvParam(p, params[i].param, NULL, &n, CRYPT_FIRST)))
      num(cat(params[i].name, "size.len"), n);
  }
  for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
    PROV_ENUMALGS_EX a;
    DWORD n = sizeof a;
    if (!CryptGetProvParam(p, PP_ENUMALGS_EX, (BYTE*)&a, &n, flags)) break;
    for (size_t i = 0; i < COUNT(wanted); ++i)
      if (wanted[i] == a.aiAlgid)
        printf("enum.algs_ex.%04x %lu %lu %lu 0x%lx\n", (unsigned)a.aiAlgid, (unsigned long)a.dwDefaultLen,
               (unsigned long)a.dwMinLen, (unsigned long)a.dwMaxLen, (unsigned long)a.dwProtocols);
  }
  CryptReleaseContext(p, 0);
}

/* User keys, flags, the codes of bad handles and KP_SALT, key permissions. */
static void contexts_and_codes(void) {
  HCRYPTPROV v = verify_context(PROV_RSA_AES), p = 0;
  HCRYPTKEY k = 0, pair = 0;
  HCRYPTHASH h = 0;
  BYTE blob[400];
  DWORD n = 0, len;
  rc("getuserkey.verifycontext", CryptGetUserKey(v, AT_SIGNATURE, &k));
  CryptAcquireContextA(&p, "quill-diff-empty", NULL, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  if (rc("acquire.newkeyset", CryptAcquireContextA(&p, "quill-diff-empty", NULL, PROV_RSA_AES, CRYPT_NEWKEYSET))) {
    rc("getuserkey.empty", CryptGetUserKey(p, AT_KEYEXCHANGE, &k));
    rc("getuserkey.empty.badkeytype", CryptGetUserKey(p, 7, &k));
    CryptReleaseContext(p, 0);
    CryptAcquireContextA(&p, "quill-diff-empty", NULL, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  }
  if (rc("acquire.verify_newkeyset", CryptAcquireContextA(&p, NULL, NULL, PROV_RSA_AES,
                                                          CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET)))
    CryptReleaseContext(p, 0);
  CryptCreateHash(v, CALG_SHA1, 0, 0, &h);
  rc("hashdata.userdata", CryptHashData(h, kPlain, PLAIN_LEN, CRYPT_USERDATA));
  hash_value("hashdata.userdata.value", h);
  CryptDestroyHash(h);
  rc("release.zero", CryptReleaseContext(0, 0));
  rc("addref.zero", CryptContextAddRef(0, NULL, 0));
  p = verify_context(PROV_RSA_AES);
  CryptReleaseContext(p, 0);
  rc("release.released", CryptReleaseContext(p, 0));

  p = rsa_container(&pair, CRYPT_EXPORTABLE);
  len = sizeof blob;
  CryptExportKey(pair, 0, PUBLICKEYBLOB, 0, blob, &len);
  for (DWORD exportable = 0; exportable < 2; ++exportable) {
    const char* name = exportable ? "public.exportable" : "public";
    if (!rc(name, CryptImportKey(v, blob, len, 0, exportable, &k))) continue;
    key_param(cat(name, "permissions"), k, KP_PERMISSIONS, TRUE);
    n = 0;
    rc(cat(name, "salt"), CryptGetKeyParam(k, KP_SALT, NULL, &n, 0));
    CryptDestroyKey(k);
  }
  /* Clearing CRYPT_EXPORT, setting it on a key without it. */
  rc("pair.clear_export", set_dword(pair, KP_PERMISSIONS, 0x3b));
  key_param("pair.clear_export.permissions", pair, KP_PERMISSIONS, TRUE);
  rc("pair.clear_export.export", CryptExportKey(pair, 0, PRIVATEKEYBLOB, 0, NULL, &n));
  CryptDestroyKey(pair);
  CryptReleaseContext(p, 0);
  k = plain_key(v, CALG_AES_128, 16, 0);
  n = 0;
  rc("aes.salt", CryptGetKeyParam(k, KP_SALT, NULL, &n, 0));
  rc("aes.set_export", set_dword(k, KP_PERMISSIONS, 0x3f));
  key_param("aes.set_export.permissions", k, KP_PERMISSIONS, TRUE);
  CryptDestroyKey(k);
  k = plain_key(v, CALG_AES_128, 16, CRYPT_EXPORTABLE);
  rc("aes.clear_export", set_dword(k, KP_PERMISSIONS, 0x3b));
  key_param("aes.clear_export.permissions", k, KP_PERMISSIONS, TRUE);
  CryptDestroyKey(k);
  CryptReleaseContext(v, 0);

  for (DWORD type = PROV_RSA_FULL; type <= PROV_RSA_AES; type += PROV_RSA_AES - PROV_RSA_FULL) {
    char name[32];
    DWORD t = 0;
    snprintf(name, sizeof name, "provtype.%lu", (unsigned long)type);
    p = verify_context(type);
    n = sizeof t;
    if (rc(name, CryptGetProvParam(p, PP_PROVTYPE, (BYTE*)&t, &n, 0))) num(cat(name, "value"), t);
    CryptReleaseContext(p, 0);
  }
}

/* CALG_MAC of `n` bytes of kPlain, and the last CBC block of the same bytes. */
static void mac(const char* name, HCRYPTPROV p, HCRYPTKEY k, DWORD n, DWORD block) {
  HCRYPTHASH h = 0;
  BYTE buf[128];
  if (!rc(name, CryptCreateHash(p, CALG_MAC, k, 0, &h))) return;
  CryptHashData(h, kPlain, n, 0);
  hash_value(cat(name, "value"), h);
  CryptDestroyHash(h);
  memcpy(buf, kPlain, n);
  CryptSetKeyParam(k, KP_IV, kZero, 0);
  if (CryptEncrypt(k, 0, TRUE, 0, buf, &n, sizeof buf)) hex(cat(name, "cbc_last"), buf + n - block, block);
}

static void sign(const char* name, HCRYPTHASH h, HCRYPTKEY pub) {
  BYTE sig[128];
  DWORD n = sizeof sig;
  if (!rc(name, CryptSignHashA(h, AT_KEYEXCHANGE, NULL, 0, sig, &n))) return;
  hex(cat(name, "value"), sig, n);
  rc(cat(name, "verify"), CryptVerifySignatureA(h, sig, n, pub, NULL, 0));
}

/* RC2 (and its effective key length), RC4, DES, MD4, MAC, SSL3 SHAMD5. */
static void legacy_algorithms(void) {
  static const struct { ALG_ID alg; DWORD bytes; const char* name; } keys[] = {
      {CALG_RC2, 16, "rc2"}, {CALG_RC2, 5, "rc2-40"}, {CALG_RC4, 16, "rc4"},
      {CALG_RC4, 5, "rc4-40"}, {CALG_DES, 8, "des"}};
  static const DWORD effective[] = {40, 64, 1024, 0, 1025};
  HCRYPTPROV v = verify_context(PROV_RSA_AES), p;
  HCRYPTKEY k, pair = 0, pub = 0, imported = 0;
  HCRYPTHASH h = 0;
  BYTE blob[400];
  DWORD n;
  char name[64];
  p = rsa_container(&pair, 0);
  n = sizeof blob;
  CryptExportKey(pair, 0, PUBLICKEYBLOB, 0, blob, &n);
  CryptImportKey(v, blob, n, 0, 0, &pub);
  for (size_t i = 0; i < COUNT(keys); ++i) {
    /* Each key as imported, then through a SIMPLEBLOB under the RSA pair. */
    k = plain_key(p, keys[i].alg, keys[i].bytes, CRYPT_EXPORTABLE);
    BOOL iv = keys[i].alg != CALG_RC4;
    key_param(cat(keys[i].name, "keylen"), k, KP_KEYLEN, TRUE);
    if (keys[i].alg != CALG_DES) key_param(cat(keys[i].name, "salt"), k, KP_SALT, FALSE);
    encrypt(cat(keys[i].name, "ciphertext"), k, iv);
    snprintf(name, sizeof name, "simpleblob.%s", keys[i].name);
    n = sizeof blob;
    if (rc(name, CryptExportKey(k, pair, SIMPLEBLOB, 0, blob, &n)) &&
        rc(cat(name, "import"), CryptImportKey(p, blob, n, pair, 0, &imported))) {
      snprintf(name, sizeof name, "simpleblob.%s.imported", keys[i].name);
      if (keys[i].alg != CALG_DES) key_param(cat(name, "salt"), imported, KP_SALT, FALSE);
      encrypt(cat(name, "ciphertext"), imported, iv);
      CryptDestroyKey(imported);
    }
    CryptDestroyKey(k);
  }
  k = plain_key(v, CALG_RC2, 16, 0);
  key_param("rc2.effective", k, KP_EFFECTIVE_KEYLEN, TRUE);
  for (size_t i = 0; i < COUNT(effective); ++i) {
    snprintf(name, sizeof name, "rc2.effective%lu", (unsigned long)effective[i]);
    if (rc(name, set_dword(k, KP_EFFECTIVE_KEYLEN, effective[i]))) encrypt(cat(name, "ciphertext"), k, TRUE);
  }
  CryptDestroyKey(k);
  k = plain_key(v, CALG_DES, 8, 0);
  set_dword(k, KP_MODE, CRYPT_MODE_CFB);
  encrypt("des.cfb.ciphertext", k, TRUE);
  CryptDestroyKey(k);
  for (DWORD nosalt = 0; nosalt < 2; ++nosalt) {
    DWORD flags = (40u << 16) | (nosalt ? CRYPT_NO_SALT : 0);
    snprintf(name, sizeof name, "genkey.rc4.%lx", (unsigned long)flags);
    n = 0;
    if (rc(name, CryptGenKey(v, CALG_RC4, flags, &k)) && CryptGetKeyParam(k, KP_SALT, NULL, &n, 0))
      num(cat(name, "saltlen"), n);
    CryptDestroyKey(k);
  }
  rc("genkey.rc2.41", CryptGenKey(v, CALG_RC2, 41u << 16, &k));

  CryptCreateHash(v, CALG_MD4, 0, 0, &h);
  CryptHashData(h, kPlain, PLAIN_LEN, 0);
  hash_value("md4.value", h);
  CryptDestroyHash(h);
  for (DWORD aes = 0; aes < 2; ++aes) {
    k = plain_key(v, aes ? CALG_AES_128 : CALG_3DES, aes ? 16 : 24, 0);
    mac(aes ? "mac.aes128.32" : "mac.3des.32", v, k, 32, aes ? 16 : 8);
    mac(aes ? "mac.aes128.37" : "mac.3des.37", v, k, PLAIN_LEN, aes ? 16 : 8);
    CryptDestroyKey(k);
  }
  k = plain_key(v, CALG_RC4, 16, 0);
  rc("mac.rc4", CryptCreateHash(v, CALG_MAC, k, 0, &h));
  CryptDestroyKey(k);

  CryptCreateHash(p, CALG_MD4, 0, 0, &h);
  CryptHashData(h, kPlain, PLAIN_LEN, 0);
  sign("sign.md4", h, pub);
  CryptDestroyHash(h);
  if (rc("shamd5", CryptCreateHash(p, CALG_SSL3_SHAMD5, 0, 0, &h))) {
    rc("shamd5.hashdata", CryptHashData(h, kPlain, PLAIN_LEN, 0));
    memcpy(blob, kPlain, 36);
    rc("shamd5.set", CryptSetHashParam(h, HP_HASHVAL, blob, 0));
    sign("sign.shamd5", h, pub);
    CryptDestroyHash(h);
  }
  CryptDestroyKey(pub);
  CryptDestroyKey(pair);
  CryptReleaseContext(p, 0);
  CryptAcquireContextA(&p, "quill-diff-rsa", NULL, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  CryptReleaseContext(v, 0);
}

static CRYPT_DATA_BLOB read_file(const char* dir, const char* file) {
  CRYPT_DATA_BLOB b = {0, malloc(1 << 16)};
  char path[512];
  snprintf(path, sizeof path, "%s/%s", dir, file);
  FILE* f = fopen(path, "rb");
  if (!f || !b.pbData) {
    fprintf(stderr, "cannot read %s\n", path);
    exit(1);
  }
  b.cbData = (DWORD)fread(b.pbData, 1, 1 << 16, f);
  fclose(f);
  return b;
}

static void pfx_import(const char* name, CRYPT_DATA_BLOB* pfx, LPCWSTR password) {
  HCERTSTORE s = PFXImportCertStore(pfx, password, 0);
  DWORD certs = 0, keys = 0, n;
  PCCERT_CONTEXT c = NULL;
  if (!rc(name, s != NULL)) return;
  while ((c = CertEnumCertificatesInStore(s, c)) != NULL) {
    ++certs;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, NULL, &n)) ++keys;
  }
  num(cat(name, "certificates"), certs);
  num(cat(name, "keys"), keys);
  CertCloseStore(s, 0);
}

/* PFX files and a chain made by openssl; structures with a size field. */
static void certificates(const char* dir) {
  CRYPT_DATA_BLOB empty = read_file(dir, "empty-password.p12"), leaf = read_file(dir, "leaf.p12");
  CRYPT_DATA_BLOB ca = read_file(dir, "ca.der"), cert = read_file(dir, "leaf.der"), none = {0, NULL};
  rc("pfx.null", PFXImportCertStore(NULL, L"", 0) != NULL);
  rc("pfx.nodata", PFXImportCertStore(&none, L"", 0) != NULL);
  pfx_import("pfx.empty.with_empty", &empty, L"");
  pfx_import("pfx.empty.with_null", &empty, NULL);
  pfx_import("pfx.secret", &leaf, L"secret");
  pfx_import("pfx.secret.wrong", &leaf, L"wrong");

  HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, NULL);
  PCCERT_CONTEXT end = NULL;
  CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, ca.pbData, ca.cbData, CERT_STORE_ADD_ALWAYS, NULL);
  CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, cert.pbData, cert.cbData, CERT_STORE_ADD_ALWAYS, &end);
  static const struct { const char* name; DWORD size; } sizes[] = {
      {"chain.older", offsetof(CERT_CHAIN_PARA, RequestedIssuancePolicy)},
      {"chain.newer", sizeof(CERT_CHAIN_PARA)}, {"chain.zero", 0}};
  for (size_t i = 0; i < COUNT(sizes); ++i) {
    CERT_CHAIN_PARA para;
    PCCERT_CHAIN_CONTEXT chain = NULL;
    memset(&para, 0, sizeof para);
    para.cbSize = sizes[i].size;
    if (!rc(sizes[i].name, CertGetCertificateChain(NULL, end, NULL, s, &para, 0, NULL, &chain))) continue;
    num(cat(sizes[i].name, "elements"), chain->rgpChain[0]->cElement);
    num(cat(sizes[i].name, "errors"), chain->TrustStatus.dwErrorStatus);
    CertFreeCertificateChain(chain);
  }
  CERT_KEY_CONTEXT kc;
  memset(&kc, 0, sizeof kc);
  kc.cbSize = sizeof kc - 1;
  kc.dwKeySpec = AT_KEYEXCHANGE;
  rc("keycontext.short", CertSetCertificateContextProperty(end, CERT_KEY_CONTEXT_PROP_ID, 0, &kc));
  CertFreeCertificateContext(end);
  CertCloseStore(s, 0);
  free(empty.pbData);
  free(leaf.pbData);
  free(ca.pbData);
  free(cert.pbData);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: capi_diff PKI_DIR\n");
    return 2;
  }
  derivations();
  enumerations();
  contexts_and_codes();
  legacy_algorithms();
  certificates(argv[1]);
  return 0;
}
