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
#include <string>

#include "fakejni.h"

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include "support.h"
#else
#include <dlfcn.h>
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

void test_refused_element_access_releases_what_was_borrowed() {
  fakejni::Env fx;
  auto param = native<GetProvParam>("cryptGetProvParam", 32);
  auto enumerate = native<EnumProviders>("cryptEnumProviders", 28);
  if (!param || !enumerate) return;
  // The second array's elements are refused: 8, and the first is given back.
  fx.fail_element_access(2);
  CHECK_CODE(8, param(fx.env(), nullptr, 1, kPpName, fx.bytes(16), fx.ints({16}), 0));
  CHECK(fx.outstanding() == 0);
  fx.clear_pending();
  fx.fail_element_access(1);
  CHECK_CODE(8, enumerate(fx.env(), nullptr, 0, 0, fx.ints({0}), fx.bytes(8), fx.ints({8})));
  CHECK(fx.outstanding() == 0);
  fx.clear_pending();
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

void test_tls_against_openssl(int port) {
  fakejni::Env fx;
  auto acquire = native<AcquireCred>("acquireCredentialsHandle", 52);
  auto free_cred = native<PairCall>("freeCredentialsHandle", 12);
  auto init = native<InitContext>("initializeSecurityContext", 40);
  auto del = native<PairCall>("deleteSecurityContext", 12);
  auto encrypt = native<EncryptMsg>("encryptMessage", 28);
  auto decrypt = native<DecryptMsg>("decryptMessage", 24);
  auto cipher = native<CipherInfo>("getCipherInfo", 20);
  auto session = native<SessionInfo>("getSessionInfo", 20);
  if (!acquire || !free_cred || !init || !del || !encrypt || !decrypt || !cipher || !session) return;

  jlongArray cred = fx.longs({0, 0});
  jint st = acquire(fx.env(), nullptr, 1, 0x2000 /* TLS 1.3 only */, nullptr, 0, nullptr, 0, 0, 0, cred, 0);
  if (st != 0) std::printf("Wine: no TLS 1.3 credential (0x%x)\n", unsigned(st));
  else CHECK_CODE(0, free_cred(fx.env(), nullptr, cred));
  CHECK_CODE(0, acquire(fx.env(), nullptr, 1, 0x800 /* TLS 1.2 */, nullptr, 0, nullptr, 0, 0, 0, cred, 0));

  WSADATA wsa;
  CHECK(WSAStartup(MAKEWORD(2, 2), &wsa) == 0);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(u_short(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  DWORD timeout = 30000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    CHECK(!"connect to s_server");
    return;
  }
  Connection c{fx, s, fx.bytes(1 << 16), fx.ints({0})};
  jlongArray ctx = fx.longs({0, 0});
  jlongArray res = fx.longs({0});
  jstring target = fx.string("localhost");
  jbyteArray token = init(fx.env(), nullptr, cred, ctx, target, 0, 0, nullptr, c.len, res);
  for (int round = 0; round < 50; ++round) {
    c.send_all(token);
    jlong status = fx.long_at(res, 0);
    if (status != kContinueNeeded && status != kIncomplete) break;
    if ((status == kIncomplete || fx.int_at(c.len, 0) == 0) && !c.receive()) break;
    token = init(fx.env(), nullptr, cred, ctx, target, 0, 0, c.buf, c.len, res);
  }
  CHECK_CODE(0, fx.long_at(res, 0));
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
  CHECK_CODE(0, del(fx.env(), nullptr, ctx));
  CHECK_CODE(0, free_cred(fx.env(), nullptr, cred));
  CHECK(fx.outstanding() == 0);
  closesocket(s);
  WSACleanup();
}
#endif

}  // namespace

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
  test_refused_element_access_releases_what_was_borrowed();
  test_pending_exception_is_cleared_and_reported();
  test_final_flag_low_byte();
  test_foreign_flag_low_byte();
  test_short_values_are_refused();
#ifdef _WIN32
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--registry") == 0) test_registry_reader();
    if (std::strcmp(argv[i], "--tls") == 0 && i + 1 < argc) test_tls_against_openssl(std::atoi(argv[++i]));
  }
#endif
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
