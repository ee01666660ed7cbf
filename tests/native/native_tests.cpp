// Calls the bridge's exported natives through a stand-in JNIEnv, the way a
// JVM would after looking them up by name: on Linux against the CSP, on
// Windows (under Wine) against the system's CryptoAPI. What a Java test
// cannot reach is checked here: every borrowed array and string is given
// back on every path, element access that the VM refuses gives 8 after
// releasing what was already borrowed, and the exports resolve under the
// names a JVM of the platform looks up.
//
// Prints one line per check that fails and ends with "N passed, N failed".
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "fakejni.h"

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include "support.h"
#else
#include <dlfcn.h>

#include <new>

#include "csp/wincrypt.h"
#endif

namespace {

int g_passed = 0;
int g_failed = 0;

#define CHECK(cond)                                                  \
  do {                                                               \
    if (cond) {                                                      \
      ++g_passed;                                                    \
    } else {                                                         \
      ++g_failed;                                                    \
      std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                \
  } while (0)

#define CHECK_CODE(expected, actual)                                                  \
  do {                                                                                \
    long long e_ = (long long)(uint32_t)(expected), a_ = (long long)(uint32_t)(actual); \
    if (e_ == a_) {                                                                   \
      ++g_passed;                                                                     \
    } else {                                                                          \
      ++g_failed;                                                                     \
      std::printf("FAILED %s:%d: %s: expected 0x%llx, got 0x%llx\n", __FILE__, __LINE__, \
                  #actual, e_, a_);                                                   \
    }                                                                                 \
  } while (0)

constexpr jint kVerifyContext = jint(0xF0000000u);
constexpr jint kProvRsaAes = 24;
constexpr jint kPpName = 4;

void* g_library = nullptr;

// The address of a native under the name this platform's JVM looks up.
void* lookup(const char* name, int arg_bytes) {
#ifdef _WIN32
  std::string decorated = std::string("_") + name + "@" + std::to_string(arg_bytes);
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(g_library), decorated.c_str()));
#else
  (void)arg_bytes;
  return dlsym(g_library, name);
#endif
}

template <class F>
F native(const char* method, int arg_bytes) {
  std::string name = std::string("Java_ru_Kestrel_Quill_MSCAPI_CAPI_") + method;
  void* p = lookup(name.c_str(), arg_bytes);
  if (!p) {
    std::printf("FAILED: export %s (%d argument bytes) not found\n", name.c_str(), arg_bytes);
    ++g_failed;
  }
  return reinterpret_cast<F>(p);
}

using OnLoad = jint(JNICALL*)(JavaVM*, void*);
using GetSize = jint(JNICALL*)(JNIEnv*, jclass);
using Acquire = jint(JNICALL*)(JNIEnv*, jclass, jlongArray, jstring, jstring, jint, jint);
using Release = jint(JNICALL*)(JNIEnv*, jclass, jlong, jint);
using EnumProviders = jint(JNICALL*)(JNIEnv*, jclass, jint, jint, jintArray, jbyteArray, jintArray);
using GetProvParam = jint(JNICALL*)(JNIEnv*, jclass, jlong, jint, jbyteArray, jintArray, jint);
using GenKey = jint(JNICALL*)(JNIEnv*, jclass, jlong, jint, jint, jlongArray);
using DestroyKey = jint(JNICALL*)(JNIEnv*, jclass, jlong);
// The Java booleans of these natives travel in a full 32-bit argument slot;
// declaring them as jint here lets a test put any 32-bit pattern there.
using Encrypt = jint(JNICALL*)(JNIEnv*, jclass, jlong, jlong, jint, jint, jbyteArray, jintArray, jint);
using ImportKey = jint(JNICALL*)(JNIEnv*, jclass, jlong, jbyteArray, jint, jlong, jint, jlongArray, jint);

using CreateHash = jint(JNICALL*)(JNIEnv*, jclass, jlong, jint, jlong, jint, jlongArray);
using SetParam = jint(JNICALL*)(JNIEnv*, jclass, jlong, jint, jbyteArray, jint);
using HashData = jint(JNICALL*)(JNIEnv*, jclass, jlong, jbyteArray, jint, jint, jint);

constexpr jint kCalgAes128 = 0x660e;
constexpr jint kCalgSha512 = 0x800e;
constexpr jint kHpHashVal = 2;
constexpr jint kKpIv = 1;

void test_load_and_handle_size() {
  auto onload = reinterpret_cast<OnLoad>(lookup("JNI_OnLoad", 8));
  CHECK(onload != nullptr);
  CHECK(lookup("JNI_OnUnload", 8) != nullptr);
  if (onload) CHECK_CODE(0x10006, onload(reinterpret_cast<JavaVM*>(&g_library), nullptr));
  fakejni::Env fx;
  if (auto size = native<GetSize>("getSizeOfHandle", 8)) CHECK_CODE(sizeof(void*), size(fx.env(), nullptr));
}

void test_context_round_trip() {
  fakejni::Env fx;
  auto acquire = native<Acquire>("cryptAcquireContext", 28);
  auto release = native<Release>("cryptReleaseContext", 20);
  auto addref = native<Release>("cryptContextAddRef", 20);
  auto param = native<GetProvParam>("cryptGetProvParam", 32);
  if (!acquire || !release || !addref || !param) return;

  jlongArray h = fx.longs({0x5555});
  CHECK_CODE(0, acquire(fx.env(), nullptr, h, nullptr, nullptr, kProvRsaAes, kVerifyContext));
  jlong handle = fx.long_at(h, 0);
  CHECK(handle != 0);
  CHECK(uint64_t(handle) <= uintptr_t(-1));  // zero-extended on 32-bit builds

  // The two-call convention, with the length copied back after a short buffer.
  jintArray len = fx.ints({0});
  CHECK_CODE(0, param(fx.env(), nullptr, handle, kPpName, nullptr, len, 0));
  jint need = fx.int_at(len, 0);
  CHECK(need > 1);
  jbyteArray small = fx.bytes(2);
  jintArray small_len = fx.ints({2});
  CHECK_CODE(234, param(fx.env(), nullptr, handle, kPpName, small, small_len, 0));
  CHECK_CODE(need, fx.int_at(small_len, 0));
  jbyteArray name = fx.bytes(size_t(need));
  jintArray name_len = fx.ints({need});
  CHECK_CODE(0, param(fx.env(), nullptr, handle, kPpName, name, name_len, 0));
  std::vector<unsigned char> got = fx.bytes_of(name);
  CHECK(got.back() == 0 && std::strlen(reinterpret_cast<char*>(got.data())) + 1 == size_t(need));
  std::printf("provider: %s\n", reinterpret_cast<char*>(got.data()));

  // High bits of a handle are ignored on 32-bit builds.
  jlong widened = sizeof(void*) == 4 ? jlong(uint64_t(handle) | 0xABCD000000000000ull) : handle;
  CHECK_CODE(0, addref(fx.env(), nullptr, widened, 0));
  CHECK_CODE(0, release(fx.env(), nullptr, handle, 0));
  CHECK_CODE(0, release(fx.env(), nullptr, widened, 0));
  CHECK(release(fx.env(), nullptr, handle, 0) != 0);
  CHECK(fx.outstanding() == 0);
  CHECK(fx.nonzero_release_modes() == 0);
}

// Natives copy only the range the platform reads and write back only what
// it produced: the cost follows the range, not the array, and the rest of
// the array keeps what the caller (or another thread) put there.
void test_ranges_copied_not_arrays() {
  fakejni::Env fx;
  auto acquire = native<Acquire>("cryptAcquireContext", 28);
  auto release = native<Release>("cryptReleaseContext", 20);
  auto param = native<GetProvParam>("cryptGetProvParam", 32);
  auto create = native<CreateHash>("cryptCreateHash", 36);
  auto hash_data = native<HashData>("cryptHashData", 32);
  auto destroy = native<DestroyKey>("cryptDestroyHash", 16);
  if (!acquire || !release || !param || !create || !hash_data || !destroy) return;
  jlongArray h = fx.longs({0});
  CHECK_CODE(0, acquire(fx.env(), nullptr, h, nullptr, nullptr, kProvRsaAes, kVerifyContext));
  jlong prov = fx.long_at(h, 0);
  const size_t big = 1 << 20;
  jbyteArray array = fx.bytes(big);
  std::memset(fx.data_of(array), 0x5A, big);
  jintArray len = fx.ints({jint(big)});
  fx.bytes_read_ = fx.bytes_written_ = 0;
  CHECK_CODE(0, param(fx.env(), nullptr, prov, kPpName, array, len, 0));
  const size_t name = size_t(fx.int_at(len, 0));
  CHECK(fx.bytes_read_ == 0 && fx.bytes_written_ == name);
  CHECK(fx.data_of(array)[name] == 0x5A && fx.data_of(array)[big - 1] == 0x5A);

  jlongArray hh = fx.longs({0});
  CHECK_CODE(0, create(fx.env(), nullptr, prov, kCalgSha512, 0, 0, hh));
  fx.bytes_read_ = fx.bytes_written_ = 0;
  CHECK_CODE(0, hash_data(fx.env(), nullptr, fx.long_at(hh, 0), array, 1000, 16, 0));
  CHECK(fx.bytes_read_ == 16 && fx.bytes_written_ == 0);
  CHECK_CODE(0, destroy(fx.env(), nullptr, fx.long_at(hh, 0)));
  CHECK_CODE(0, release(fx.env(), nullptr, prov, 0));
  CHECK(fx.outstanding() == 0);
}

void test_pending_exception_is_cleared_and_reported() {
  fakejni::Env fx;
  auto enumerate = native<EnumProviders>("cryptEnumProviders", 28);
  if (!enumerate) return;
  jintArray type = fx.ints({77});
  CHECK_CODE(574, enumerate(fx.env(), nullptr, 0, 0, type, fx.bytes(8), fx.ints({})));
  CHECK(!fx.pending());
  CHECK(fx.outstanding() == 0);
  CHECK_CODE(77, fx.int_at(type, 0));  // nothing written back after 574

  // Past the last provider: 259, with both out values written back.
  jintArray len = fx.ints({0});
  jintArray t2 = fx.ints({-1});
  CHECK_CODE(259, enumerate(fx.env(), nullptr, 1000, 0, t2, nullptr, len));
  CHECK(fx.outstanding() == 0);
}

// Only a boolean whose low byte is exactly 1 ends a message: 2 and 256 are
// not final, so no padding block is added.
void test_final_flag_low_byte() {
  fakejni::Env fx;
  auto acquire = native<Acquire>("cryptAcquireContext", 28);
  auto release = native<Release>("cryptReleaseContext", 20);
  auto genkey = native<GenKey>("cryptGenKey", 28);
  auto destroy = native<DestroyKey>("cryptDestroyKey", 16);
  auto encrypt = native<Encrypt>("cryptEncrypt", 44);
  if (!acquire || !release || !genkey || !destroy || !encrypt) return;
  jlongArray h = fx.longs({0});
  CHECK_CODE(0, acquire(fx.env(), nullptr, h, nullptr, nullptr, kProvRsaAes, kVerifyContext));
  jlong prov = fx.long_at(h, 0);
  struct Case {
    jint flag;
    jint expected_len;
  };
  for (Case c : {Case{1, 32}, Case{0, 16}, Case{2, 16}, Case{256, 16}, Case{0x101, 32}}) {
    jlongArray k = fx.longs({0});
    CHECK_CODE(0, genkey(fx.env(), nullptr, prov, kCalgAes128, 0, k));
    jintArray len = fx.ints({16});
    CHECK_CODE(0, encrypt(fx.env(), nullptr, fx.long_at(k, 0), 0, c.flag, 0, fx.bytes(32), len, 32));
    if (fx.int_at(len, 0) != c.expected_len) {
      std::printf("final flag 0x%x: %d bytes of ciphertext\n", unsigned(c.flag), int(fx.int_at(len, 0)));
    }
    CHECK_CODE(c.expected_len, fx.int_at(len, 0));
    CHECK_CODE(0, destroy(fx.env(), nullptr, fx.long_at(k, 0)));
  }
  CHECK_CODE(0, release(fx.env(), nullptr, prov, 0));
  CHECK(fx.outstanding() == 0);
}

// The foreign flag counts as set when its low byte is not 0: given as 256 it
// is clear, so a simple blob needs the provider's 16-byte header and a
// 12-byte one is refused before the provider sees it.
void test_foreign_flag_low_byte() {
  fakejni::Env fx;
  auto acquire = native<Acquire>("cryptAcquireContext", 28);
  auto release = native<Release>("cryptReleaseContext", 20);
  auto import = native<ImportKey>("cryptImportKey", 44);
  if (!acquire || !release || !import) return;
  jlongArray h = fx.longs({0});
  CHECK_CODE(0, acquire(fx.env(), nullptr, h, nullptr, nullptr, kProvRsaAes, kVerifyContext));
  jlong prov = fx.long_at(h, 0);
  std::vector<unsigned char> blob = {1, 2, 0, 0, 0x0e, 0x66, 0, 0, 0, 0xa4, 0, 0};
  jlongArray key = fx.longs({0});
  CHECK_CODE(87, import(fx.env(), nullptr, prov, fx.bytes(blob), 12, 0, 0, key, 256));
  jint with_flag = import(fx.env(), nullptr, prov, fx.bytes(blob), 12, 0, 0, key, 1);
  CHECK(with_flag != 0 && with_flag != 87);  // reaches the provider, which refuses it
  CHECK_CODE(0, fx.long_at(key, 0));
  CHECK_CODE(0, release(fx.env(), nullptr, prov, 0));
  CHECK(fx.outstanding() == 0);
}


// ---- Certificate stores and PFX through the store walk ----

using ReadStore = jint(JNICALL*)(JNIEnv*, jobject, jstring, jint);
using StoreCert = jint(JNICALL*)(JNIEnv*, jobject, jstring, jstring, jbyteArray, jint, jlong, jlong, jint);
using StoreByHandle = jint(JNICALL*)(JNIEnv*, jobject, jlong, jstring, jbyteArray, jint, jlong, jlong, jint);
using RemoveCert = jint(JNICALL*)(JNIEnv*, jobject, jstring, jstring, jbyteArray, jint);
using VerifyPfx = jint(JNICALL*)(JNIEnv*, jobject, jbyteArray, jint, jstring, jint);
using ExportPfx = jint(JNICALL*)(JNIEnv*, jobject, jlong, jstring, jint, jbyteArray, jintArray);
using CreateStore = jint(JNICALL*)(JNIEnv*, jobject, jlongArray, jint);
using CloseStore = jint(JNICALL*)(JNIEnv*, jobject, jlong);
using HashData = jint(JNICALL*)(JNIEnv*, jclass, jlong, jbyteArray, jint, jint, jint);
using SignHash = jint(JNICALL*)(JNIEnv*, jclass, jlong, jint, jstring, jint, jbyteArray, jintArray);
using VerifySig = jint(JNICALL*)(JNIEnv*, jclass, jlong, jbyteArray, jint, jlong, jstring, jint);
using ExportKey = jint(JNICALL*)(JNIEnv*, jclass, jlong, jlong, jint, jint, jbyteArray, jintArray, jint);

std::string g_pki;  // directory of the certificates and PFX files

std::vector<unsigned char> read_file(const std::string& name) {
  std::vector<unsigned char> data;
  if (FILE* f = std::fopen((g_pki + "/" + name).c_str(), "rb")) {
    unsigned char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    std::fclose(f);
  }
  if (data.empty()) std::printf("FAILED: no test file %s\n", name.c_str());
  return data;
}

template <class F>
F store_native(const char* cls, const char* method, int arg_bytes) {
  std::string name = std::string("Java_ru_Kestrel_Quill_KeyStore_") + cls + "_" + method;
  void* p = lookup(name.c_str(), arg_bytes);
  if (!p) {
    std::printf("FAILED: export %s (%d argument bytes) not found\n", name.c_str(), arg_bytes);
    ++g_failed;
  }
  return reinterpret_cast<F>(p);
}

std::string calls_of(const fakejni::KeyStore* ks) {
  std::string all;
  for (const std::string& c : ks->calls) all += (all.empty() ? "" : " ") + c;
  return all;
}

#define CHECK_CALLS(expected, ks)                                                          \
  do {                                                                                     \
    std::string got_ = calls_of(ks);                                                       \
    if (got_ != (expected)) std::printf("callbacks: %s\n", got_.c_str());                 \
    CHECK(got_ == (expected));                                                             \
  } while (0)

// Signs with the key entry's context after the walk has returned and checks
// the signature with the key's public half in a context of its own.
void check_key_signs(fakejni::Env& fx, const fakejni::Entry& e) {
  auto create = native<CreateHash>("cryptCreateHash", 36);
  auto hash = native<HashData>("cryptHashData", 32);
  auto sign = native<SignHash>("cryptSignHash", 36);
  auto verify = native<VerifySig>("cryptVerifySignature", 40);
  auto destroy_hash = native<DestroyKey>("cryptDestroyHash", 16);
  auto export_key = native<ExportKey>("cryptExportKey", 44);
  auto import = native<ImportKey>("cryptImportKey", 44);
  auto acquire = native<Acquire>("cryptAcquireContext", 28);
  auto release = native<Release>("cryptReleaseContext", 20);
  auto destroy = native<DestroyKey>("cryptDestroyKey", 16);
  if (!create || !hash || !sign || !verify || !destroy_hash || !export_key || !import || !acquire ||
      !release || !destroy) {
    return;
  }
  constexpr jint kCalgSha1 = 0x8004, kPublicKeyBlob = 6;
  jbyteArray message = fx.bytes({'q', 'u', 'i', 'l', 'l'});
  jlongArray h = fx.longs({0});
  CHECK_CODE(0, create(fx.env(), nullptr, e.prov, kCalgSha1, 0, 0, h));
  CHECK_CODE(0, hash(fx.env(), nullptr, fx.long_at(h, 0), message, 0, 5, 0));
  jintArray len = fx.ints({512});
  jbyteArray signature = fx.bytes(512);
  CHECK_CODE(0, sign(fx.env(), nullptr, fx.long_at(h, 0), e.spec, nullptr, 0, signature, len));
  CHECK_CODE(256, fx.int_at(len, 0));
  CHECK_CODE(0, destroy_hash(fx.env(), nullptr, fx.long_at(h, 0)));

  jintArray blob_len = fx.ints({1024});
  jbyteArray blob = fx.bytes(1024);
  CHECK_CODE(0, export_key(fx.env(), nullptr, e.key, 0, kPublicKeyBlob, 0, blob, blob_len, 0));
  jlongArray v = fx.longs({0});
  CHECK_CODE(0, acquire(fx.env(), nullptr, v, nullptr, nullptr, kProvRsaAes, kVerifyContext));
  jlongArray pub = fx.longs({0});
  CHECK_CODE(0, import(fx.env(), nullptr, fx.long_at(v, 0), blob, fx.int_at(blob_len, 0), 0, 0, pub, 0));
  CHECK_CODE(0, create(fx.env(), nullptr, fx.long_at(v, 0), kCalgSha1, 0, 0, h));
  CHECK_CODE(0, hash(fx.env(), nullptr, fx.long_at(h, 0), message, 0, 5, 0));
  CHECK_CODE(0, verify(fx.env(), nullptr, fx.long_at(h, 0), signature, 256, fx.long_at(pub, 0), nullptr, 0));
  CHECK_CODE(0, destroy_hash(fx.env(), nullptr, fx.long_at(h, 0)));
  CHECK_CODE(0, destroy(fx.env(), nullptr, fx.long_at(pub, 0)));
  CHECK_CODE(0, release(fx.env(), nullptr, fx.long_at(v, 0), 0));
}

// Gives back what a key entry handed to Java.
void drop_key_entry(fakejni::Env& fx, const fakejni::Entry& e) {
  auto release = native<Release>("cryptReleaseContext", 20);
  auto destroy = native<DestroyKey>("cryptDestroyKey", 16);
  if (!release || !destroy) return;
  CHECK_CODE(0, destroy(fx.env(), nullptr, e.key));
  CHECK_CODE(1, e.free_prov);  // one reference on the context is Java's
  CHECK_CODE(0, release(fx.env(), nullptr, e.prov, 0));
}

// Arguments refused before any platform call, and the memory store natives'
// simple cases.
void test_store_arguments() {
  fakejni::Env fx;
  auto read = store_native<ReadStore>("MSStore", "readStore", 16);
  auto store = store_native<StoreCert>("MSStore", "storeCertificate", 44);
  auto by_handle = store_native<StoreByHandle>("MSStore", "storeCertificateByHandle", 48);
  auto remove = store_native<RemoveCert>("MSStore", "removeCertificate", 24);
  auto create = store_native<CreateStore>("PFXStore", "createMemoryStore", 16);
  auto close = store_native<CloseStore>("PFXStore", "closeMemoryStore", 16);
  if (!read || !store || !by_handle || !remove || !create || !close) return;
  jobject ks = fakejni::key_store(fx);
  std::vector<unsigned char> leaf = read_file("leaf.der");
  jint n = jint(leaf.size());
  CHECK_CODE(1, read(fx.env(), ks, nullptr, 0));
  CHECK_CODE(87, store(fx.env(), ks, nullptr, nullptr, fx.bytes(leaf), n, 0, 0, 0));
  CHECK_CODE(87, remove(fx.env(), ks, nullptr, nullptr, fx.bytes(leaf), n));

  jlongArray h = fx.longs({0});
  CHECK_CODE(0, create(fx.env(), ks, h, 0));
  jlong mem = fx.long_at(h, 0);
  CHECK(mem != 0);
  // A length beyond the array or below zero: 87, and the store stays empty.
  CHECK_CODE(87, by_handle(fx.env(), ks, mem, nullptr, fx.bytes(leaf), n + 1, 0, 0, 0));
  CHECK_CODE(87, by_handle(fx.env(), ks, mem, nullptr, fx.bytes(leaf), -1, 0, 0, 0));
  CHECK_CODE(87, remove(fx.env(), ks, fx.string("MY"), nullptr, fx.bytes(leaf), n + 1));
  CHECK(by_handle(fx.env(), ks, mem, nullptr, fx.bytes(leaf), n - 1, 0, 0, 0) != 0);  // malformed
  CHECK_CODE(0, close(fx.env(), ks, mem));
  CHECK_CODE(0, close(fx.env(), ks, 0));
  CHECK(fakejni::key_store_of(ks)->calls.empty());
  CHECK(fx.outstanding() == 0);
}

// A PKCS #7 file of a certificate and its CA, walked in store mode: each is
// an entry, the first with its chain built through the file's own store.
void test_file_store_walk() {
  fakejni::Env fx;
  auto read = store_native<ReadStore>("MSStore", "readStore", 16);
  if (!read) return;
  std::vector<unsigned char> leaf = read_file("leaf.der"), ca = read_file("ca.der");
  jobject obj = fakejni::key_store(fx);
  CHECK_CODE(0, read(fx.env(), obj, fx.string(g_pki + "/chain.p7b"), 1));
  fakejni::KeyStore* ks = fakejni::key_store_of(obj);
  CHECK(ks->entries.size() == 2);
  std::string calls = calls_of(ks);
  CHECK(calls == "certificates certificates chain certificates chain" ||
        calls == "certificates chain certificates certificates chain");
  for (const fakejni::Entry& e : ks->entries) {
    CHECK(!e.has_key && e.container == "<null>" && e.source == "<null>" && e.prov_type == 0);
    if (!e.chain.empty() && e.chain[0] == leaf) {
      CHECK(e.chain.size() == 2 && e.chain[1] == ca);
      CHECK(e.alias == "Quill Test Leaf");
    } else {
      CHECK(e.chain.size() == 1 && e.chain[0] == ca);
      CHECK(e.alias == "Quill Test CA");
    }
  }
  // False in the low byte: a system store of that name, which is empty.
  jobject system = fakejni::key_store(fx);
  CHECK_CODE(0, read(fx.env(), system, fx.string("QuillEmpty"), 0x100));
  CHECK(fakejni::key_store_of(system)->calls.empty());
  jint missing = read(fx.env(), fakejni::key_store(fx), fx.string(g_pki + "/no-such-file.p7b"), 1);
#ifdef _WIN32
  // Seen under Wine: a read-only file store of a missing file is created empty.
  if (missing == 0) std::printf("note: Wine opens a missing file as an empty file store\n");
#else
  CHECK(missing != 0);
#endif
  CHECK(fx.outstanding() == 0);
}

// A callback method the object lacks, or a callback that throws, ends the
// walk with 574; no JNI call is made while the exception is pending, and
// none is left pending.
void test_callback_failures() {
  auto read = store_native<ReadStore>("MSStore", "readStore", 16);
  if (!read) return;
  {
    fakejni::Env fx;
    jobject obj = fakejni::key_store(fx, "generateCertificateChain");
    CHECK_CODE(574, read(fx.env(), obj, fx.string(g_pki + "/chain.p7b"), 1));
    CHECK(fakejni::key_store_of(obj)->calls.empty());
    CHECK(!fx.pending() && fx.calls_while_pending() == 0);
  }
  for (const char* which : {"certificates", "chain"}) {
    fakejni::Env fx;
    jobject obj = fakejni::key_store(fx);
    fakejni::key_store_of(obj)->throw_in = which;
    CHECK_CODE(574, read(fx.env(), obj, fx.string(g_pki + "/chain.p7b"), 1));
    std::string calls = calls_of(fakejni::key_store_of(obj));
    CHECK(calls.size() >= std::strlen(which) &&
          calls.compare(calls.size() - std::strlen(which), std::string::npos, which) == 0);
    CHECK(!fx.pending() && fx.calls_while_pending() == 0);
    CHECK(fx.outstanding() == 0);
  }
}

// importPfx of openssl's files: one key entry with the chain in order, the
// CA that follows the key's certificate not delivered again; the key signs
// after importPfx has returned and its temporary store is gone.
void test_pfx_import() {
  auto import = store_native<VerifyPfx>("PFXStore", "importPfx", 24);
  auto verify = store_native<VerifyPfx>("PFXStore", "verifyPfx", 24);
  if (!import || !verify) return;
  std::vector<unsigned char> leaf = read_file("leaf.der"), ca = read_file("ca.der");
  for (const char* file : {"leaf.p12", "leaf-legacy.p12"}) {
    fakejni::Env fx;
    std::vector<unsigned char> pfx = read_file(file);
    jobject obj = fakejni::key_store(fx);
    fakejni::KeyStore* ks = fakejni::key_store_of(obj);
    CHECK(import(fx.env(), obj, fx.bytes(pfx), jint(pfx.size()), fx.string("wrong"), 0) != 0);
    CHECK(ks->calls.empty());
    CHECK_CODE(87, import(fx.env(), obj, fx.bytes(pfx), jint(pfx.size()) + 1, fx.string("secret"), 0));
    CHECK_CODE(0, import(fx.env(), obj, fx.bytes(pfx), jint(pfx.size()), fx.string("secret"), 0));
#ifdef _WIN32
    // Wine's gaps: its import keeps the key's certificate only, without the
    // PKCS #12 friendly name, and reports key specification 3 for the key,
    // which no key is found under: a keyless entry.
    CHECK_CALLS("certificate certificates certificates chain", ks);
    CHECK(ks->entries.size() == 1);
    if (ks->entries.size() == 1) {
      const fakejni::Entry& e = ks->entries[0];
      CHECK(!e.has_key && e.chain.size() == 1 && e.chain[0] == leaf);
      CHECK_CODE(3, e.key_spec);
      CHECK(e.provider != "<null>" && e.container != "<null>");
    }
#else
    CHECK_CALLS("certificates certificates certificates certificates key certificate", ks);
    CHECK(ks->entries.size() == 1);
    if (ks->entries.size() != 1) continue;
    const fakejni::Entry& e = ks->entries[0];
    CHECK(e.has_key && e.prov != 0 && e.key != 0);
    CHECK(e.chain.size() == 2 && e.chain[0] == leaf && e.chain[1] == ca);
    CHECK(e.alias == "leaf");
    CHECK(e.extension == nullptr);
    CHECK_CODE(1, e.spec);
    check_key_signs(fx, e);
    drop_key_entry(fx, e);
#endif

    jint right = verify(fx.env(), obj, fx.bytes(pfx), jint(pfx.size()), fx.string("secret"), 0);
    jint wrong = verify(fx.env(), obj, fx.bytes(pfx), jint(pfx.size()), fx.string("wrong"), 0);
    CHECK(wrong != 0);
#ifdef _WIN32
    // Wine's gap: its PFXVerifyPassword fails for every password.
    if (right != 0) std::printf("note: Wine's PFXVerifyPassword refuses the right password (0x%x)\n", unsigned(right));
#else
    CHECK_CODE(0, right);
#endif
    CHECK(fx.outstanding() == 0);
  }
}

// A key and a certificate for it to store by handle: under Wine a new key
// pair with a self-signed certificate (Wine's PFX import delivers no key),
// elsewhere the key openssl's PFX file imports.
bool key_and_certificate(fakejni::Env& fx, jobject obj, fakejni::Entry& key,
                         std::vector<unsigned char>& der) {
#ifdef _WIN32
  (void)obj;
  auto acquire = native<Acquire>("cryptAcquireContext", 28);
  auto genkey = native<GenKey>("cryptGenKey", 28);
  if (!acquire || !genkey) return false;
  jlongArray h = fx.longs({0});
  acquire(fx.env(), nullptr, h, fx.string("quill-export"), nullptr, kProvRsaAes, 0x10);
  CHECK_CODE(0, acquire(fx.env(), nullptr, h, fx.string("quill-export"), nullptr, kProvRsaAes, 0x8));
  key.prov = fx.long_at(h, 0);
  jlongArray k = fx.longs({0});
  CHECK_CODE(0, genkey(fx.env(), nullptr, key.prov, 2, (2048 << 16) | 1, k));
  key.key = fx.long_at(k, 0);
  key.free_prov = 1;
  key.spec = 2;
  BYTE name[256];
  DWORD size = sizeof name;
  if (!CertStrToNameA(X509_ASN_ENCODING, "CN=Quill Export", CERT_X500_NAME_STR, nullptr, name, &size,
                      nullptr)) {
    return false;
  }
  CERT_NAME_BLOB subject = {size, name};
  PCCERT_CONTEXT cert = CertCreateSelfSignCertificate(HCRYPTPROV(key.prov), &subject, 0, nullptr,
                                                      nullptr, nullptr, nullptr, nullptr);
  CHECK(cert != nullptr);
  if (!cert) return false;
  der.assign(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
  CertFreeCertificateContext(cert);
  return key.key != 0;
#else
  auto import = store_native<VerifyPfx>("PFXStore", "importPfx", 24);
  if (!import) return false;
  std::vector<unsigned char> pfx = read_file("leaf.p12");
  CHECK_CODE(0, import(fx.env(), obj, fx.bytes(pfx), jint(pfx.size()), fx.string("secret"), 1));
  fakejni::KeyStore* ks = fakejni::key_store_of(obj);
  if (ks->entries.size() != 1) return false;
  key = ks->entries[0];
  der = read_file("leaf.der");
  return true;
#endif
}

// A memory store given a certificate and its key by handle exports as PFX
// (two-call length protocol) and the export imports again with its alias.
void test_memory_store_export() {
  auto import = store_native<VerifyPfx>("PFXStore", "importPfx", 24);
  auto by_handle = store_native<StoreByHandle>("MSStore", "storeCertificateByHandle", 48);
  auto exp = store_native<ExportPfx>("PFXStore", "exportPfx", 32);
  auto create = store_native<CreateStore>("PFXStore", "createMemoryStore", 16);
  auto close = store_native<CloseStore>("PFXStore", "closeMemoryStore", 16);
  if (!import || !by_handle || !exp || !create || !close) return;
  fakejni::Env fx;
  jobject obj = fakejni::key_store(fx);
  fakejni::Entry key;
  std::vector<unsigned char> leaf;
  if (!key_and_certificate(fx, obj, key, leaf)) return;
  check_key_signs(fx, key);
  jlongArray h = fx.longs({0});
  CHECK_CODE(0, create(fx.env(), obj, h, 0));
  jlong mem = fx.long_at(h, 0);
  CHECK_CODE(0, by_handle(fx.env(), obj, mem, fx.string("exported"), fx.bytes(leaf), jint(leaf.size()),
                          key.prov, key.key, 0));
  constexpr jint kExportPrivateKeys = 4;
  jintArray len = fx.ints({-1});
  jint sized = exp(fx.env(), obj, mem, fx.string("pass"), kExportPrivateKeys, nullptr, len);
#ifdef _WIN32
  // Wine's gap: its PFX export is a stub that fails without setting an
  // error (NTE_FAIL here).
  std::printf("note: Wine's PFX export is a stub (0x%x)\n", unsigned(sized));
  CHECK_CODE(NTE_FAIL, sized);
  CHECK_CODE(0, close(fx.env(), obj, mem));
  drop_key_entry(fx, key);
  return;
#endif
  CHECK_CODE(0, sized);
  jint need = fx.int_at(len, 0);
  CHECK(need > 0);
  jintArray small_len = fx.ints({16});
  CHECK(exp(fx.env(), obj, mem, fx.string("pass"), kExportPrivateKeys, fx.bytes(16), small_len) != 0);
  CHECK_CODE(87, exp(fx.env(), obj, mem, fx.string("pass"), kExportPrivateKeys, fx.bytes(16), fx.ints({17})));
  jbyteArray out = fx.bytes(size_t(need));
  jintArray out_len = fx.ints({need});
  CHECK_CODE(0, exp(fx.env(), obj, mem, fx.string("pass"), kExportPrivateKeys, out, out_len));
  CHECK_CODE(0, close(fx.env(), obj, mem));
  std::vector<unsigned char> exported = fx.bytes_of(out);
  exported.resize(size_t(fx.int_at(out_len, 0)));
  drop_key_entry(fx, key);

  jobject again = fakejni::key_store(fx);
  CHECK_CODE(0, import(fx.env(), again, fx.bytes(exported), jint(exported.size()), fx.string("pass"), 0));
  fakejni::KeyStore* ks2 = fakejni::key_store_of(again);
  CHECK(ks2->entries.size() == 1);
  if (ks2->entries.size() == 1) {
    CHECK(ks2->entries[0].chain.size() >= 1 && ks2->entries[0].chain[0] == leaf);
#ifndef _WIN32  // Wine's import gaps again (no friendly name, key spec 3)
    CHECK(ks2->entries[0].has_key && ks2->entries[0].alias == "exported");
    drop_key_entry(fx, ks2->entries[0]);
#endif
  }
  CHECK(fx.outstanding() == 0);
}

// A system store: stored with an alias, found by readStore, removed only
// under that alias.
void test_system_store() {
  auto read = store_native<ReadStore>("MSStore", "readStore", 16);
  auto store = store_native<StoreCert>("MSStore", "storeCertificate", 44);
  auto remove = store_native<RemoveCert>("MSStore", "removeCertificate", 24);
  if (!read || !store || !remove) return;
  fakejni::Env fx;
  std::vector<unsigned char> ca = read_file("ca.der");
  jint n = jint(ca.size());
  // A store of its own per run: a Wine prefix keeps what earlier runs left.
  jstring name = fx.string("QuillTest-" + std::to_string(std::time(nullptr)));
  CHECK_CODE(0, store(fx.env(), nullptr, name, fx.string("quill-ca"), fx.bytes(ca), n, 0, 0, 0));
  auto aliases = [&]() {
    jobject obj = fakejni::key_store(fx);
    CHECK_CODE(0, read(fx.env(), obj, name, 0));
    std::string all;
    for (const fakejni::Entry& e : fakejni::key_store_of(obj)->entries) all += e.alias + ";";
    return all;
  };
  CHECK(aliases() == "quill-ca;");
  CHECK_CODE(0, remove(fx.env(), nullptr, name, fx.string("other"), fx.bytes(ca), n));
  CHECK_CODE(0, remove(fx.env(), nullptr, name, nullptr, fx.bytes(ca), n));
  CHECK(aliases() == "quill-ca;");
  CHECK_CODE(0, remove(fx.env(), nullptr, name, fx.string("quill-ca"), fx.bytes(ca), n));
#ifdef _WIN32
  // Seen under Wine: the delete succeeds but does not reach the registry
  // store behind the system store, so the certificate is back when the store
  // is opened again.
  if (aliases() != "") std::printf("note: Wine keeps a certificate deleted from a system store\n");
#else
  CHECK(aliases() == "");
#endif
  CHECK(remove(fx.env(), nullptr, name, fx.string("quill-ca"), fx.bytes(ca), n - 1) != 0);
  CHECK(fx.outstanding() == 0);
}

// A value shorter than what the provider reads through the pointer (a hash
// value, an IV) is refused before the provider sees it. The stand-in's
// element copies are exactly as long as the array, so a memory checker run
// of this program reports any read past them.
void test_short_values_are_refused() {
  fakejni::Env fx;
  auto acquire = native<Acquire>("cryptAcquireContext", 28);
  auto release = native<Release>("cryptReleaseContext", 20);
  auto genkey = native<GenKey>("cryptGenKey", 28);
  auto destroy = native<DestroyKey>("cryptDestroyKey", 16);
  auto create = native<CreateHash>("cryptCreateHash", 36);
  auto destroy_hash = native<DestroyKey>("cryptDestroyHash", 16);
  auto set_hash = native<SetParam>("cryptSetHashParam", 28);
  auto set_key = native<SetParam>("cryptSetKeyParam", 28);
  if (!acquire || !release || !genkey || !destroy || !create || !destroy_hash || !set_hash || !set_key) {
    return;
  }
  jlongArray h = fx.longs({0});
  CHECK_CODE(0, acquire(fx.env(), nullptr, h, nullptr, nullptr, kProvRsaAes, kVerifyContext));
  jlong prov = fx.long_at(h, 0);
  jlongArray hash = fx.longs({0});
  CHECK_CODE(0, create(fx.env(), nullptr, prov, kCalgSha512, 0, 0, hash));
  CHECK_CODE(87, set_hash(fx.env(), nullptr, fx.long_at(hash, 0), kHpHashVal, fx.bytes(1), 0));
  CHECK_CODE(87, set_hash(fx.env(), nullptr, fx.long_at(hash, 0), kHpHashVal, fx.bytes(63), 0));
  CHECK_CODE(0, set_hash(fx.env(), nullptr, fx.long_at(hash, 0), kHpHashVal, fx.bytes(64), 0));
  CHECK_CODE(0, destroy_hash(fx.env(), nullptr, fx.long_at(hash, 0)));
  jlongArray key = fx.longs({0});
  CHECK_CODE(0, genkey(fx.env(), nullptr, prov, kCalgAes128, 0, key));
  CHECK_CODE(87, set_key(fx.env(), nullptr, fx.long_at(key, 0), kKpIv, fx.bytes(1), 0));
  CHECK_CODE(0, set_key(fx.env(), nullptr, fx.long_at(key, 0), kKpIv, fx.bytes(16), 0));
  CHECK_CODE(0, destroy(fx.env(), nullptr, fx.long_at(key, 0)));
  CHECK_CODE(0, release(fx.env(), nullptr, prov, 0));
  CHECK(fx.outstanding() == 0);
}

#ifndef _WIN32
// Faults the natives below the store and TLS natives can meet: an
// allocation that fails (this program replaces operator new, for itself and
// every library it loads) and a provider that reports an absurd size (its
// CryptGetProvParam, exported from this program, comes first as well).
int g_fail_allocation = 0;  // > 0: the allocation that many from now fails
bool g_huge_container_name = false;
using ProvParamFn = BOOL (*)(HCRYPTPROV, DWORD, BYTE*, DWORD*, DWORD);
ProvParamFn g_real_prov_param = nullptr;

// The bridge's own code, and the platform's one code for a failed allocation.
constexpr jint kOutOfMemoryCodes[] = {8, jint(0x8009000Eu) /* NTE_NO_MEMORY */};
bool out_of_memory(jint rc) {
  for (jint c : kOutOfMemoryCodes)
    if (rc == c) return true;
  return false;
}

// The result of `native()` with the Nth allocation from now failing;
// `met` tells whether the failure came.
template <class F>
auto failing_allocation(int n, bool& met, F native) {
  g_fail_allocation = n;
  auto r = native();
  met = g_fail_allocation == 0;
  g_fail_allocation = 0;
  return r;
}

// Calls `call(n, met)` for N = 1, 2, ... until a call meets no failure; each
// must give `done` (or, when the failure came, an out-of-memory result) and
// give back everything it borrowed.
template <class Call, class Done>
void fail_each_allocation(fakejni::Env& fx, const char* what, Call call, Done done) {
  for (int n = 1; n < 5000; ++n) {
    bool met = false;
    jint rc = call(n, met);
    if (!(done(rc) || (met && out_of_memory(rc))) || fx.outstanding() != 0) {
      std::printf("FAILED: %s with allocation %d failing: 0x%x, %d elements kept\n", what, n,
                  unsigned(rc), fx.outstanding());
      ++g_failed;
      return;
    }
    if (!met) {
      ++g_passed;
      return;
    }
  }
  CHECK(!"a call that never ends without an allocation failure");
}

using InitContextFn = jbyteArray(JNICALL*)(JNIEnv*, jclass, jlongArray, jlongArray, jstring, jboolean, jboolean,
                                           jbyteArray, jintArray, jlongArray);
using AcquireCredFn = jint(JNICALL*)(JNIEnv*, jclass, jboolean, jint, jintArray, jint, jbyteArray, jint, jlong,
                                     jint, jlongArray, jboolean);
using PairFn = jint(JNICALL*)(JNIEnv*, jclass, jlongArray);

void test_faults_below_the_natives() {
  auto acquire = native<Acquire>("cryptAcquireContext", 28);
  auto release = native<Release>("cryptReleaseContext", 20);
  auto genkey = native<GenKey>("cryptGenKey", 28);
  auto destroy = native<DestroyKey>("cryptDestroyKey", 16);
  auto by_handle = store_native<StoreByHandle>("MSStore", "storeCertificateByHandle", 48);
  auto create = store_native<CreateStore>("PFXStore", "createMemoryStore", 16);
  auto close = store_native<CloseStore>("PFXStore", "closeMemoryStore", 16);
  auto cred_fn = native<AcquireCredFn>("acquireCredentialsHandle", 52);
  auto free_cred = native<PairFn>("freeCredentialsHandle", 12);
  auto init = native<InitContextFn>("initializeSecurityContext", 40);
  auto del = native<PairFn>("deleteSecurityContext", 12);
  if (!acquire || !release || !genkey || !destroy || !by_handle || !create || !close || !cred_fn ||
      !free_cred || !init || !del)
    return;
  fakejni::Env fx;
  std::string container = "quill-faults-" + std::to_string(std::time(nullptr));
  jlongArray h = fx.longs({0});
  CHECK_CODE(0, acquire(fx.env(), nullptr, h, fx.string(container), nullptr, kProvRsaAes, 8 /* NEWKEYSET */));
  jlong prov = fx.long_at(h, 0);
  jlongArray key = fx.longs({0});
  CHECK_CODE(0, genkey(fx.env(), nullptr, prov, 1 /* AT_KEYEXCHANGE */, 0, key));
  std::vector<unsigned char> ca = read_file("ca.der");
  jlongArray mem = fx.longs({0});
  CHECK_CODE(0, create(fx.env(), nullptr, mem, 0));

  // No memory for the room a native gives the platform: 8, and the array
  // keeps what it held.
  {
    auto param = native<GetProvParam>("cryptGetProvParam", 32);
    // (Under a memory checker, whose allocator this program cannot replace,
    // the allocation does not fail and the call succeeds.)
    jbyteArray room = fx.bytes(4096);
    jintArray room_len = fx.ints({4096});
    bool met = false;
    jint rc = failing_allocation(1, met, [&] { return param(fx.env(), nullptr, prov, kPpName, room, room_len, 0); });
    CHECK_CODE(met ? 8 : 0, rc);
    CHECK((fx.data_of(room)[0] == 0) == met);
  }

  // A key binding whose container name the provider claims is 4 GiB long.
  g_huge_container_name = true;
  CHECK_CODE(1, by_handle(fx.env(), nullptr, fx.long_at(mem, 0), fx.string("a"), fx.bytes(ca), jint(ca.size()),
                          prov, fx.long_at(key, 0), 0));
  g_huge_container_name = false;

  fail_each_allocation(fx, "storeCertificateByHandle", [&](int n, bool& met) {
    jstring alias = fx.string("alias");
    jbyteArray der = fx.bytes(ca);
    return failing_allocation(n, met, [&] {
      return by_handle(fx.env(), nullptr, fx.long_at(mem, 0), alias, der, jint(ca.size()), prov,
                       fx.long_at(key, 0), 0);
    });
  }, [](jint rc) { return rc == 0; });

  jlongArray cred = fx.longs({0, 0});
  CHECK_CODE(0, cred_fn(fx.env(), nullptr, 1, 0, nullptr, 0, nullptr, 0, 0, 0, cred, 0));
  // A native outside any guard whose name conversions fail for memory: the
  // conversions answer 8 rather than let the exception reach the VM.
  fail_each_allocation(fx, "cryptAcquireContext", [&](int n, bool& met) {
    jstring name = fx.string("quill-no-such-container");
    jlongArray out = fx.longs({0});
    return failing_allocation(n, met, [&] { return acquire(fx.env(), nullptr, out, name, nullptr, kProvRsaAes, 0); });
  }, [](jint rc) { return rc == jint(0x80090016u); /* NTE_BAD_KEYSET */ });

  fail_each_allocation(fx, "initializeSecurityContext", [&](int n, bool& met) {
    jlongArray ctx = fx.longs({0, 0});
    jlongArray res = fx.longs({0});
    jstring target = fx.string("localhost");
    jintArray len = fx.ints({0});
    failing_allocation(n, met, [&] { return init(fx.env(), nullptr, cred, ctx, target, 0, 0, nullptr, len, res); });
    del(fx.env(), nullptr, ctx);
    jlong st = fx.long_at(res, 0);
    return st == jlong(int32_t(0x80090300u)) /* SEC_E_INSUFFICIENT_MEMORY */ ? jint(8) : jint(st);
  }, [](jint rc) { return rc == 0x00090312 /* SEC_I_CONTINUE_NEEDED */; });

  free_cred(fx.env(), nullptr, cred);
  CHECK_CODE(0, close(fx.env(), nullptr, fx.long_at(mem, 0)));
  CHECK_CODE(0, destroy(fx.env(), nullptr, fx.long_at(key, 0)));
  CHECK_CODE(0, release(fx.env(), nullptr, prov, 0));
  acquire(fx.env(), nullptr, h, fx.string(container), nullptr, kProvRsaAes, 0x10 /* DELETEKEYSET */);
  CHECK(fx.outstanding() == 0);
}
#endif

#ifdef _WIN32
// The configuration reader, against registry values the driver has set.
void test_registry_reader() {
  LONG v = 1234;
  CHECK_CODE(0, support_registry_get_long(L"\\config\\Parameters\\StrengthenedKeyUsageControl", &v));
  CHECK_CODE(1, v);
  CHECK_CODE(0, support_registry_get_long(L"\\CONFIG\\parameters\\StrengthenedKeyUsageControl", &v));
  CHECK_CODE(0, support_registry_get_long(L"\\config\\Parameters\\Quad5", &v));
  CHECK_CODE(5, v);
  v = 42;
  CHECK_CODE(1006, support_registry_get_long(L"\\config\\Parameters\\QuadBig", &v));
  CHECK_CODE(1006, support_registry_get_long(L"\\config\\Parameters\\Text", &v));
  CHECK_CODE(42, v);
  CHECK_CODE(2, support_registry_get_long(L"\\config\\Parameters\\Missing", &v));
  CHECK_CODE(2, support_registry_get_long(L"\\config\\NoSuchKey\\Value", &v));
  CHECK_CODE(0, support_registry_get_long(L"\\GLOBAL\\Limits\\Max", &v));
  CHECK_CODE(7, v);
  CHECK_CODE(0, support_registry_get_long(L"\\CRYPTOGRAPHY64\\Quill\\Wide", &v));
  CHECK_CODE(64, v);
  CHECK_CODE(0, support_registry_get_long(L"\\CRYPTOGRAPHY\\Quill\\Wide", &v));
  CHECK_CODE(32, v);
  std::wstring long_path = L"\\config\\" + std::wstring(253, L'x');  // 261 characters
  CHECK_CODE(87, support_registry_get_long(long_path.c_str(), &v));
  CHECK_CODE(87, support_registry_get_long(L"\\config\\Parameters\\", &v));
  CHECK_CODE(87, support_registry_get_long(L"\\NoKeyPart", &v));
  CHECK_CODE(87, support_registry_get_long(L"", &v));
  // Paths under no known prefix read the user's settings below the SID text.
  CHECK_CODE(0, support_registry_get_long(L"\\LOCAL\\Prefs\\Level", &v));
  CHECK_CODE(3, v);
  CHECK_CODE(0, support_registry_get_long(L"Prefs\\Level", &v));
  CHECK_CODE(3, v);
}

// TLS through the SSPI natives against Wine's Schannel, with an openssl
// s_server -WWW -tls1_2 on 127.0.0.1:port that serves page.bin (the line
// below, repeated to 100000 bytes). The natives must give back every array
// they borrow. Wine's gaps (no TLS 1.3, no session info) are printed as
// Wine's, not failed.
using AcquireCred = jint(JNICALL*)(JNIEnv*, jclass, jboolean, jint, jintArray, jint, jbyteArray, jint, jlong,
                                   jint, jlongArray, jboolean);
using PairCall = jint(JNICALL*)(JNIEnv*, jclass, jlongArray);
using InitContext = jbyteArray(JNICALL*)(JNIEnv*, jclass, jlongArray, jlongArray, jstring, jboolean, jboolean,
                                         jbyteArray, jintArray, jlongArray);
using EncryptMsg = jbyteArray(JNICALL*)(JNIEnv*, jclass, jlongArray, jbyteArray, jintArray, jintArray,
                                        jlongArray);
using DecryptMsg = jbyteArray(JNICALL*)(JNIEnv*, jclass, jlongArray, jbyteArray, jintArray, jlongArray);
using CipherInfo = jint(JNICALL*)(JNIEnv*, jclass, jlongArray, jintArray, jintArray);
using SessionInfo = jbyteArray(JNICALL*)(JNIEnv*, jclass, jlongArray, jintArray, jlongArray);

constexpr jlong kContinueNeeded = 0x00090312;
constexpr jlong kIncomplete = jlong(int32_t(0x80090318u));
const char kPageLine[] = "quill tls record exchange 0123456789\n";

struct Connection {
  fakejni::Env& fx;
  SOCKET s;
  jbyteArray buf;
  jintArray len;
  // Receives more bytes after the unconsumed ones.
  bool receive() {
    auto* a = fakejni::Env::as(buf);
    jint have = fx.int_at(len, 0);
    int n = recv(s, reinterpret_cast<char*>(a->data.data()) + have, int(a->data.size()) - have, 0);
    if (n <= 0) return false;
    have += n;
    std::memcpy(fakejni::Env::as(len)->data.data(), &have, sizeof have);
    return true;
  }
  void send_all(jbyteArray a) {
    if (!a) return;
    std::vector<unsigned char> d = fx.bytes_of(a);
    for (size_t off = 0; off < d.size();) {
      int n = send(s, reinterpret_cast<const char*>(d.data()) + off, int(d.size() - off), 0);
      if (n <= 0) return;
      off += size_t(n);
    }
  }
};

// A loopback connection to s_server's port, with a receive timeout (Winsock
// started for it; the caller ends both); false when it cannot connect.
bool connect_to(SOCKET& s, int port) {
  WSADATA wsa;
  CHECK(WSAStartup(MAKEWORD(2, 2), &wsa) == 0);
  s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(u_short(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  DWORD timeout = 30000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  return connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// A TLS 1.2 client of the SSPI natives connected to s_server on a port:
// its credential (no certificate), context and connection. `ready` is false
// when a native is missing or the connection failed. Everything is given
// back, and checked, when it goes.
struct TlsClient {
  fakejni::Env& fx;
  AcquireCred acquire = native<AcquireCred>("acquireCredentialsHandle", 52);
  PairCall free_cred = native<PairCall>("freeCredentialsHandle", 12);
  InitContext init = native<InitContext>("initializeSecurityContext", 40);
  PairCall del = native<PairCall>("deleteSecurityContext", 12);
  jlongArray cred = fx.longs({0, 0});
  jlongArray ctx = fx.longs({0, 0});
  jlongArray res = fx.longs({0});
  jstring target = fx.string("localhost");
  Connection c{fx, INVALID_SOCKET, fx.bytes(1 << 16), fx.ints({0})};
  bool ready = false;

  TlsClient(fakejni::Env& env, int port) : fx(env) {
    if (!acquire || !free_cred || !init || !del) return;
    CHECK_CODE(0, acquire(fx.env(), nullptr, 1, 0x800 /* TLS 1.2 */, nullptr, 0, nullptr, 0, 0, 0, cred, 0));
    ready = connect_to(c.s, port);
    if (!ready) CHECK(!"connect to s_server");
  }
  ~TlsClient() {
    if (!acquire || !free_cred || !init || !del) return;
    CHECK_CODE(0, del(fx.env(), nullptr, ctx));
    CHECK_CODE(0, free_cred(fx.env(), nullptr, cred));
    CHECK(fx.outstanding() == 0);
    closesocket(c.s);
    WSACleanup();
  }
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // Drives initializeSecurityContext until it answers anything but "more
  // input" (the first call when there is no context yet); the status.
  jlong handshake(jboolean use_creds) {
    bool first = fx.long_at(ctx, 0) == 0 && fx.long_at(ctx, 1) == 0;
    jbyteArray token = init(fx.env(), nullptr, cred, ctx, target, 0, use_creds, first ? nullptr : c.buf, c.len, res);
    for (int round = 0; round < 50; ++round) {
      c.send_all(token);
      jlong status = fx.long_at(res, 0);
      if (status != kContinueNeeded && status != kIncomplete) break;
      if ((status == kIncomplete || fx.int_at(c.len, 0) == 0) && !c.receive()) break;
      token = init(fx.env(), nullptr, cred, ctx, target, 0, use_creds, c.buf, c.len, res);
    }
    return fx.long_at(res, 0);
  }
};

void test_tls_against_openssl(int port) {
  fakejni::Env fx;
  auto encrypt = native<EncryptMsg>("encryptMessage", 28);
  auto decrypt = native<DecryptMsg>("decryptMessage", 24);
  auto cipher = native<CipherInfo>("getCipherInfo", 20);
  auto session = native<SessionInfo>("getSessionInfo", 20);
  TlsClient t(fx, port);
  if (!t.ready || !encrypt || !decrypt || !cipher || !session) return;
  jlongArray tls13 = fx.longs({0, 0});
  jint st = t.acquire(fx.env(), nullptr, 1, 0x2000 /* TLS 1.3 only */, nullptr, 0, nullptr, 0, 0, 0, tls13, 0);
  if (st != 0) std::printf("Wine: no TLS 1.3 credential (0x%x)\n", unsigned(st));
  else CHECK_CODE(0, t.free_cred(fx.env(), nullptr, tls13));

  CHECK_CODE(0, t.handshake(0));
  Connection& c = t.c;
  jlongArray ctx = t.ctx;
  jlongArray res = t.res;
  CHECK(fx.long_at(ctx, 0) != 0 || fx.long_at(ctx, 1) != 0);

  jintArray protocol = fx.ints({0});
  jintArray suite = fx.ints({0});
  CHECK_CODE(0, cipher(fx.env(), nullptr, ctx, protocol, suite));
  if (fx.int_at(protocol, 0) != 0x800 || fx.int_at(suite, 0) == 0)
    std::printf("Wine: cipher info gives protocol 0x%x (the record version, not SP_PROT_TLS1_2_CLIENT) "
                "and cipher suite 0x%x\n",
                unsigned(fx.int_at(protocol, 0)), unsigned(fx.int_at(suite, 0)));
  CHECK(fx.int_at(protocol, 0) == 0x800 || fx.int_at(protocol, 0) == 0x303);
  jintArray reconnect = fx.ints({-1});
  jbyteArray id = session(fx.env(), nullptr, ctx, reconnect, res);
  if (!id) std::printf("Wine: no session info (0x%llx)\n", (unsigned long long)fx.long_at(res, 0));

  std::string request = "GET /page.bin HTTP/1.0\r\n\r\n";
  jbyteArray req = fx.bytes(std::vector<unsigned char>(request.begin(), request.end()));
  jintArray off = fx.ints({0});
  jintArray left = fx.ints({jint(request.size())});
  while (fx.int_at(left, 0) > 0) {
    jbyteArray record = encrypt(fx.env(), nullptr, ctx, req, off, left, res);
    CHECK_CODE(0, fx.long_at(res, 0));
    if (!record) break;
    c.send_all(record);
  }
  std::string reply;
  for (int guard = 0; guard < 100000; ++guard) {
    if (fx.int_at(c.len, 0) > 0) {
      const jlong untouched = 0x7777;  // not written at close-notify
      std::memcpy(fakejni::Env::as(res)->data.data(), &untouched, sizeof untouched);
      jbyteArray plain = decrypt(fx.env(), nullptr, ctx, c.buf, c.len, res);
      jlong status = fx.long_at(res, 0);
      if (status == untouched) break;
      if (plain) {
        std::vector<unsigned char> p = fx.bytes_of(plain);
        reply.append(p.begin(), p.end());
      }
      if (status == 0 && fx.int_at(c.len, 0) > 0) continue;
      if (status != 0 && status != kIncomplete) {
        CHECK_CODE(0, status);
        break;
      }
    }
    if (!c.receive()) break;
  }
  size_t body = reply.find("\r\n\r\n");
  CHECK(body != std::string::npos);
  std::string expected;
  while (expected.size() < 100000) expected += kPageLine;
  expected.resize(100000);
  CHECK(body != std::string::npos && reply.substr(body + 4) == expected);
}

// A TLS 1.2 server that asks for a client certificate (s_server -verify 1
// on port) while the credential holds none: SEC_I_INCOMPLETE_CREDENTIALS
// must keep the input with the caller, whose next call with isUseCreds goes
// on without a certificate to a completed handshake. What Wine's Schannel
// does differently is printed as Wine's.
void test_tls_certificate_request(int port) {
  fakejni::Env fx;
  TlsClient t(fx, port);
  if (!t.ready) return;
  constexpr jlong kIncompleteCredentials = 0x00090320;
  jlong status = t.handshake(0);
  if (status == kIncompleteCredentials) {
    CHECK(fx.int_at(t.c.len, 0) > 0);  // the server's flight stays for the next call
    CHECK_CODE(0, t.handshake(1));
  } else {
    std::printf("Wine: a certificate request gives 0x%llx, not SEC_I_INCOMPLETE_CREDENTIALS\n",
                (unsigned long long)status);
    CHECK(status == 0 || status == kIncompleteCredentials);
  }
}
#endif

}  // namespace

#ifndef _WIN32
// The replacement allocates with malloc and frees with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
// Never inlined: a memory checker that replaces the allocation functions
// (valgrind) then replaces every one of them, and the pairs stay matched.
#define QUILL_REPLACED __attribute__((noinline))
QUILL_REPLACED void* operator new(size_t n) {
  if (g_fail_allocation > 0 && --g_fail_allocation == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
QUILL_REPLACED void* operator new[](size_t n) { return operator new(n); }
// The nothrow forms too, so that every allocation of the libraries (the
// bridge's range storage is one) goes through the same pair, also where a
// sanitizer's runtime provides the forms this program does not.
QUILL_REPLACED void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (...) {
    return nullptr;
  }
}
QUILL_REPLACED void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
QUILL_REPLACED void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
QUILL_REPLACED void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
QUILL_REPLACED void operator delete(void* p) noexcept { std::free(p); }
QUILL_REPLACED void operator delete[](void* p) noexcept { std::free(p); }
QUILL_REPLACED void operator delete(void* p, size_t) noexcept { std::free(p); }
QUILL_REPLACED void operator delete[](void* p, size_t) noexcept { std::free(p); }

extern "C" BOOL CryptGetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* len, DWORD flags) {
  if (g_huge_container_name && param == 6 /* PP_CONTAINER */ && !data && len) {
    *len = 0xFFFFFFFFu;
    return TRUE;
  }
  if (!g_real_prov_param) {
    // The provider's own, in the library loaded with the bridge.
    void* provapi = dlopen("libprovapi.so.4", RTLD_NOW | RTLD_NOLOAD);
    g_real_prov_param = provapi ? reinterpret_cast<ProvParamFn>(dlsym(provapi, "CryptGetProvParam")) : nullptr;
    if (!g_real_prov_param) std::abort();
  }
  return g_real_prov_param(prov, param, data, len, flags);
}
#endif

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: native_tests LIBRARY\n");
    return 2;
  }
#ifdef _WIN32
  g_library = LoadLibraryA(argv[1]);
#else
  g_library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
#endif
  if (!g_library) {
    std::printf("FAILED: cannot load %s\n", argv[1]);
    std::printf("0 passed, 1 failed\n");
    return 1;
  }
  test_load_and_handle_size();
  test_context_round_trip();
  test_ranges_copied_not_arrays();
  test_pending_exception_is_cleared_and_reported();
  test_final_flag_low_byte();
  test_foreign_flag_low_byte();
  test_short_values_are_refused();
  for (int i = 2; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--pki") == 0) g_pki = argv[i + 1];
  }
  if (!g_pki.empty()) {
    test_store_arguments();
    test_file_store_walk();
    test_callback_failures();
    test_pfx_import();
    test_memory_store_export();
    test_system_store();
#ifndef _WIN32
    test_faults_below_the_natives();
#endif
  }
#ifdef _WIN32
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--registry") == 0) test_registry_reader();
    if (std::strcmp(argv[i], "--tls") == 0 && i + 1 < argc) test_tls_against_openssl(std::atoi(argv[++i]));
    if (std::strcmp(argv[i], "--tls-verify") == 0 && i + 1 < argc)
      test_tls_certificate_request(std::atoi(argv[++i]));
  }
#endif
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
