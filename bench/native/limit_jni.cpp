// The limit of the JNI pattern, for the bridge's benchmark rows: natives of
// bench.Limit that make the same JNI calls on the same arrays as the
// bridge's natives (the exception check, the bounds reads, the region
// copies in and out, the one-element writes) and then call OpenSSL
// directly, with no provider between. A bridge row divided by its limit row
// is what the provider and the bridge's own bookkeeping cost.
//
// Handles are pointers to the objects below, made and freed by the caller's
// sequence of calls as the bridge's are. Benchmark code: inputs are the
// benchmark's own and checked only as far as the bridge checks them.
#include <jni.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstring>
#include <new>

#include "bench_Limit.h"

namespace {

// What the bridge's Frame does with a range: a 1 KiB block on the stack,
// else the heap.
class Range {
 public:
  explicit Range(jint n) : data_(n <= 1024 ? local_ : new (std::nothrow) unsigned char[n]) {}
  ~Range() {
    if (data_ != local_) delete[] data_;
  }
  Range(const Range&) = delete;
  Range& operator=(const Range&) = delete;
  unsigned char* get() { return data_; }

 private:
  alignas(16) unsigned char local_[1024];
  unsigned char* data_;
};

bool pending(JNIEnv* env) {
  jthrowable t = env->ExceptionOccurred();
  if (!t) return false;
  env->ExceptionClear();
  env->DeleteLocalRef(t);
  return true;
}

bool in_bounds(JNIEnv* env, jarray a, jint off, jint n) {
  jint len = a ? env->GetArrayLength(a) : 0;
  return off >= 0 && n >= 0 && off <= len && n <= len - off;
}

jint read0(JNIEnv* env, jintArray a) {
  jint v = 0;
  env->GetIntArrayRegion(a, 0, 1, &v);
  return v;
}

// A digest or MAC in progress; `mac` set for HMAC.
struct Hash {
  EVP_MD_CTX* md = nullptr;
  EVP_MAC_CTX* mac = nullptr;
};

// A key: an AES key with its IV and a reused cipher context, or an RSA key.
struct Key {
  unsigned char aes[16];
  unsigned char iv[16];
  EVP_CIPHER_CTX* cipher = nullptr;
  EVP_MAC_CTX* mac = nullptr;  // an HMAC key, keyed once
  EVP_PKEY* pkey = nullptr;
};

template <class T>
T* as(jlong h) {
  return reinterpret_cast<T*>(static_cast<intptr_t>(h));
}
jlong handle(const void* p) { return static_cast<jlong>(reinterpret_cast<intptr_t>(p)); }

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_bench_Limit_aesKey(JNIEnv* env, jclass, jbyteArray key, jbyteArray iv) {
  Key* k = new Key;
  env->GetByteArrayRegion(key, 0, 16, reinterpret_cast<jbyte*>(k->aes));
  env->GetByteArrayRegion(iv, 0, 16, reinterpret_cast<jbyte*>(k->iv));
  k->cipher = EVP_CIPHER_CTX_new();
  return handle(k);
}

JNIEXPORT jlong JNICALL Java_bench_Limit_macKey(JNIEnv* env, jclass, jbyteArray key) {
  Key* k = new Key;
  jint n = env->GetArrayLength(key);
  Range bytes(n);
  env->GetByteArrayRegion(key, 0, n, reinterpret_cast<jbyte*>(bytes.get()));
  EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  k->mac = EVP_MAC_CTX_new(hmac);
  EVP_MAC_free(hmac);
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
  EVP_MAC_init(k->mac, bytes.get(), size_t(n), params);
  return handle(k);
}

// An RSA key from its PKCS #8 (private) or SubjectPublicKeyInfo (public) DER.
JNIEXPORT jlong JNICALL Java_bench_Limit_rsaKey(JNIEnv* env, jclass, jbyteArray der, jboolean isPrivate) {
  jint n = env->GetArrayLength(der);
  Range bytes(n);
  env->GetByteArrayRegion(der, 0, n, reinterpret_cast<jbyte*>(bytes.get()));
  const unsigned char* p = bytes.get();
  Key* k = new Key;
  k->pkey = isPrivate ? d2i_AutoPrivateKey(nullptr, &p, n) : d2i_PUBKEY(nullptr, &p, n);
  return handle(k);
}

JNIEXPORT void JNICALL Java_bench_Limit_freeKey(JNIEnv*, jclass, jlong h) {
  Key* k = as<Key>(h);
  EVP_CIPHER_CTX_free(k->cipher);
  EVP_MAC_CTX_free(k->mac);
  EVP_PKEY_free(k->pkey);
  delete k;
}

// cryptCreateHash: an output handle written through element 0.
JNIEXPORT jint JNICALL Java_bench_Limit_createHash(JNIEnv* env, jclass, jlong macKey, jlongArray out) {
  if (pending(env)) return 574;
  if (!in_bounds(env, out, 0, 1)) return 87;
  Hash* h = new Hash;
  if (macKey) {
    h->mac = EVP_MAC_CTX_dup(as<Key>(macKey)->mac);
  } else {
    h->md = EVP_MD_CTX_new();
    EVP_DigestInit_ex2(h->md, EVP_sha256(), nullptr);
  }
  jlong v = handle(h);
  env->SetLongArrayRegion(out, 0, 1, &v);
  return 0;
}

// cryptSetHashParam(HP_HMAC_INFO): the whole array copied in, nothing back.
JNIEXPORT jint JNICALL Java_bench_Limit_setHmacInfo(JNIEnv* env, jclass, jlong, jbyteArray info) {
  if (pending(env)) return 574;
  jint n = env->GetArrayLength(info);
  Range bytes(n);
  env->GetByteArrayRegion(info, 0, n, reinterpret_cast<jbyte*>(bytes.get()));
  return 0;
}

// cryptHashData: the range copied in.
JNIEXPORT jint JNICALL Java_bench_Limit_hashData(JNIEnv* env, jclass, jlong hh, jbyteArray data, jint off,
                                                 jint len) {
  if (pending(env)) return 574;
  if (!in_bounds(env, data, off, len)) return 87;
  Range bytes(len);
  env->GetByteArrayRegion(data, off, len, reinterpret_cast<jbyte*>(bytes.get()));
  Hash* h = as<Hash>(hh);
  int ok = h->mac ? EVP_MAC_update(h->mac, bytes.get(), size_t(len))
                  : EVP_DigestUpdate(h->md, bytes.get(), size_t(len));
  return ok ? 0 : -1;
}

// cryptGetHashParam(HP_HASHVAL): the length read, the value and the length written.
JNIEXPORT jint JNICALL Java_bench_Limit_hashValue(JNIEnv* env, jclass, jlong hh, jbyteArray out, jintArray len) {
  jint n = read0(env, len);
  if (pending(env)) return 574;
  if (!in_bounds(env, out, 0, n)) return 87;
  Range value(n);
  Hash* h = as<Hash>(hh);
  unsigned int got = 0;
  size_t mac_got = 0;
  int ok = h->mac ? EVP_MAC_final(h->mac, value.get(), &mac_got, size_t(n))
                  : EVP_DigestFinal_ex(h->md, value.get(), &got);
  if (h->mac) got = unsigned(mac_got);
  env->SetByteArrayRegion(out, 0, jint(got), reinterpret_cast<jbyte*>(value.get()));
  jint g = jint(got);
  env->SetIntArrayRegion(len, 0, 1, &g);
  return ok ? 0 : -1;
}

JNIEXPORT jint JNICALL Java_bench_Limit_destroyHash(JNIEnv*, jclass, jlong hh) {
  Hash* h = as<Hash>(hh);
  EVP_MD_CTX_free(h->md);
  EVP_MAC_CTX_free(h->mac);
  delete h;
  return 0;
}

// cryptEncrypt, final, in place: `count` bytes read, up to bufLen written.
JNIEXPORT jint JNICALL Java_bench_Limit_encrypt(JNIEnv* env, jclass, jlong kh, jbyteArray data, jintArray len,
                                                jint bufLen) {
  jint count = read0(env, len);
  if (pending(env)) return 574;
  if (!in_bounds(env, data, 0, bufLen) || !in_bounds(env, data, 0, count)) return 87;
  Range buf(bufLen);
  env->GetByteArrayRegion(data, 0, count, reinterpret_cast<jbyte*>(buf.get()));
  Key* k = as<Key>(kh);
  int a = 0, b = 0;
  EVP_EncryptInit_ex2(k->cipher, EVP_aes_128_cbc(), k->aes, k->iv, nullptr);
  EVP_EncryptUpdate(k->cipher, buf.get(), &a, buf.get(), count);
  EVP_EncryptFinal_ex(k->cipher, buf.get() + a, &b);
  env->SetByteArrayRegion(data, 0, a + b, reinterpret_cast<jbyte*>(buf.get()));
  jint n = a + b;
  env->SetIntArrayRegion(len, 0, 1, &n);
  return 0;
}

// cryptSignHash: the hash's value signed (PKCS #1 v1.5), the signature and its length written.
JNIEXPORT jint JNICALL Java_bench_Limit_signHash(JNIEnv* env, jclass, jlong hh, jlong kh, jbyteArray sig,
                                                 jintArray len) {
  jint n = read0(env, len);
  if (pending(env)) return 574;
  if (!in_bounds(env, sig, 0, n)) return 87;
  Range out(n);
  unsigned char md[32];
  unsigned int mdlen = 0;
  EVP_DigestFinal_ex(as<Hash>(hh)->md, md, &mdlen);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, as<Key>(kh)->pkey, nullptr);
  size_t siglen = size_t(n);
  int ok = EVP_PKEY_sign_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
           EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) > 0 &&
           EVP_PKEY_sign(ctx, out.get(), &siglen, md, mdlen) > 0;
  EVP_PKEY_CTX_free(ctx);
  env->SetByteArrayRegion(sig, 0, jint(siglen), reinterpret_cast<jbyte*>(out.get()));
  jint s = jint(siglen);
  env->SetIntArrayRegion(len, 0, 1, &s);
  return ok ? 0 : -1;
}

// cryptVerifySignature: the signature copied in, checked against the hash's value.
JNIEXPORT jint JNICALL Java_bench_Limit_verifySignature(JNIEnv* env, jclass, jlong hh, jbyteArray sig, jint n,
                                                        jlong kh) {
  if (pending(env)) return 574;
  if (!in_bounds(env, sig, 0, n)) return 87;
  Range in(n);
  env->GetByteArrayRegion(sig, 0, n, reinterpret_cast<jbyte*>(in.get()));
  unsigned char md[32];
  unsigned int mdlen = 0;
  EVP_DigestFinal_ex(as<Hash>(hh)->md, md, &mdlen);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, as<Key>(kh)->pkey, nullptr);
  int ok = EVP_PKEY_verify_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
           EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) > 0 &&
           EVP_PKEY_verify(ctx, in.get(), size_t(n), md, mdlen) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok ? 0 : -1;
}

// importPfx: the password and the PFX copied in as the bridge copies them,
// then OpenSSL's own import of a PKCS #12 file (PKCS12_parse: the MAC, every
// safe decrypted, every bag decoded, the key); the number of certificates.
// The bridge's walk and its callbacks into Java are not made: this is what
// reading the file costs before anything is handed over.
JNIEXPORT jint JNICALL Java_bench_Limit_importPfx(JNIEnv* env, jclass, jbyteArray pfx, jint n, jstring password) {
  if (pending(env)) return -574;
  if (!pfx || !password || !in_bounds(env, pfx, 0, n)) return -87;
  jsize chars = env->GetStringLength(password);
  jsize bytes = env->GetStringUTFLength(password);
  char* utf = new (std::nothrow) char[size_t(bytes) + 1]();
  Range in(n);
  if (!utf || !in.get()) {
    delete[] utf;
    return -8;
  }
  env->GetStringUTFRegion(password, 0, chars, utf);
  env->GetByteArrayRegion(pfx, 0, n, reinterpret_cast<jbyte*>(in.get()));
  const unsigned char* p = in.get();
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, n);
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* ca = nullptr;
  jint certs = p12 && PKCS12_parse(p12, utf, &key, &cert, &ca) == 1 ? (cert ? 1 : 0) + (ca ? sk_X509_num(ca) : 0) : -1;
  sk_X509_pop_free(ca, X509_free);
  X509_free(cert);
  EVP_PKEY_free(key);
  PKCS12_free(p12);
  OPENSSL_cleanse(utf, size_t(bytes));
  delete[] utf;
  return certs;
}

}  // extern "C"
