// The platform base: handle table, last error, code pages, configuration
// values, provider contexts and key containers on disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "atomicfile.h"
#include "container.h"
#include "csp/cfgsup.h"
#include "csp/handles.h"
#include "csp/wincrypt.h"
#include "osslptr.h"
#include "test_env.h"

namespace {

struct Thing : csp::Object {
  static constexpr csp::Kind kKind = csp::Kind::Hash;
  explicit Thing(int* alive) : Object(kKind), alive_(alive) { ++*alive_; }
  ~Thing() override { --*alive_; }
  int* alive_;
};

TEST(HandleTable, TypedLookupRefCountsAndStaleHandles) {
  int alive = 0;
  uintptr_t h = csp::handle_insert(std::make_shared<Thing>(&alive));
  ASSERT_NE(h, 0u);
  EXPECT_TRUE(csp::handle_get<Thing>(h));
  EXPECT_FALSE(csp::handle_lookup(h, csp::Kind::Key)) << "wrong kind must not resolve";
  EXPECT_TRUE(csp::handle_add_ref(h, csp::Kind::Hash));
  EXPECT_EQ(csp::handle_release(h, csp::Kind::Hash), csp::Drop::Released);
  {
    auto pinned = csp::handle_get<Thing>(h);  // a call in flight keeps it alive
    EXPECT_EQ(csp::handle_release(h, csp::Kind::Hash), csp::Drop::Removed);
    EXPECT_EQ(alive, 1);
  }
  EXPECT_EQ(alive, 0);
  EXPECT_FALSE(csp::handle_lookup(h, csp::Kind::Hash));
  EXPECT_EQ(csp::handle_release(h, csp::Kind::Hash), csp::Drop::Invalid);
  // The slot is reused under a new generation; the old value stays dead.
  uintptr_t h2 = csp::handle_insert(std::make_shared<Thing>(&alive));
  EXPECT_NE(h2, h);
  EXPECT_FALSE(csp::handle_lookup(h, csp::Kind::Hash));
  EXPECT_EQ(csp::handle_release(h2, csp::Kind::Hash), csp::Drop::Removed);
  for (uintptr_t forged : {uintptr_t(0), uintptr_t(1), ~uintptr_t(0), uintptr_t(0x7FFFFFFF)}) {
    EXPECT_FALSE(csp::handle_lookup(forged, csp::Kind::Hash));
  }
  // Handles made by other threads (in their parts of the table) resolve and
  // are released here, and only under their own generation.
  std::vector<uintptr_t> made(4);
  for (auto& m : made) std::thread([&] { m = csp::handle_insert(std::make_shared<Thing>(&alive)); }).join();
  for (uintptr_t m : made) {
    EXPECT_TRUE(csp::handle_get<Thing>(m));
    EXPECT_FALSE(csp::handle_lookup(m + (uintptr_t(1) << 20), csp::Kind::Hash));  // a later generation
    EXPECT_EQ(csp::handle_release(m, csp::Kind::Hash), csp::Drop::Removed);
  }
  EXPECT_EQ(alive, 0);
}

TEST(HandleTable, AStaleHandleStaysDeadThroughManyNewObjects) {
  // One object made and dropped over and over: the released first handle
  // must not come to name one of its successors.
  int alive = 0;
  uintptr_t first = csp::handle_insert(std::make_shared<Thing>(&alive));
  ASSERT_EQ(csp::handle_release(first, csp::Kind::Hash), csp::Drop::Removed);
  for (int i = 0; i < 5000; ++i) {
    uintptr_t h = csp::handle_insert(std::make_shared<Thing>(&alive));
    ASSERT_NE(h, first) << "after " << i << " objects";
    ASSERT_FALSE(csp::handle_lookup(first, csp::Kind::Hash));
    ASSERT_EQ(csp::handle_release(h, csp::Kind::Hash), csp::Drop::Removed);
  }
  EXPECT_EQ(alive, 0);
}

TEST(HandleTable, ConcurrentInsertAndRelease) {
  int alive = 0;
  std::mutex alive_mu;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  size_t before = csp::handle_count();
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        int local = 0;
        uintptr_t h = csp::handle_insert(std::make_shared<Thing>(&local));
        if (!csp::handle_get<Thing>(h)) ++failures;
        if (csp::handle_release(h, csp::Kind::Hash) != csp::Drop::Removed) ++failures;
        if (local != 0) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(csp::handle_count(), before);
  (void)alive;
  (void)alive_mu;
}

struct Counted : csp::Object {
  static constexpr csp::Kind kKind = csp::Kind::Key;
  std::atomic<int>* alive;
  explicit Counted(std::atomic<int>* a) : Object(kKind), alive(a) { ++*alive; }
  ~Counted() override { --*alive; }
};

// Handles one thread makes and releases while others resolve, add references
// to and release them: a handle resolves to its own object or to nothing,
// references balance, and every object is gone at the end.
TEST(HandleTable, OtherThreadsResolveHandlesWhileTheirMakerReleasesThem) {
  constexpr int kRounds = 3000;
  std::atomic<int> alive{0};
  std::atomic<uintptr_t> current{0};
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  size_t before = csp::handle_count();
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!done) {
        uintptr_t h = current.load();
        if (!h) continue;
        auto c = csp::handle_get<Counted>(h);
        if (c && c->alive != &alive) ++wrong;
        if (csp::handle_get<Thing>(h)) ++wrong;  // another kind never resolves
        if (csp::handle_add_ref(h, csp::Kind::Key) &&
            csp::handle_release(h, csp::Kind::Key) == csp::Drop::Invalid)
          ++wrong;
      }
    });
  }
  for (int i = 0; i < kRounds; ++i) {
    uintptr_t h = csp::handle_insert(std::make_shared<Counted>(&alive));
    current = h;
    std::this_thread::yield();
    current = 0;
    // A reader's reference may keep it a moment longer.
    if (csp::handle_release(h, csp::Kind::Key) == csp::Drop::Invalid) ++wrong;
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(alive.load(), 0);
  EXPECT_EQ(csp::handle_count(), before);
}

TEST(LastError, IsPerThread) {
  SetLastError(5);
  DWORD other = 1;
  std::thread([&] { other = GetLastError(); SetLastError(7); }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 5u);
}

std::wstring to_wide(const char* s, UINT cp = CP_UTF8) {
  int n = MultiByteToWideChar(cp, 0, s, -1, nullptr, 0);
  if (n <= 0) return L"<fail>";
  std::wstring w(size_t(n), L'\0');
  EXPECT_EQ(MultiByteToWideChar(cp, 0, s, -1, &w[0], n), n);
  w.pop_back();
  return w;
}

TEST(CodePages, Utf8RoundTripsAndSizeQueries) {
  EXPECT_EQ(to_wide(""), L"");
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "", -1, nullptr, 0), 1) << "terminator counts";
  EXPECT_EQ(to_wide("\xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87"), L"\x41a\x43b\x44e\x447");
  EXPECT_EQ(to_wide("\xf0\x9f\x94\x91"), std::wstring(1, wchar_t(0x1F511)));
  // Java's modified UTF-8 writes that character as a pair of 3-byte halves.
  EXPECT_EQ(to_wide("\xed\xa0\xbd\xed\xb4\x91"), std::wstring(1, wchar_t(0x1F511)));

  wchar_t small[2];
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, small, 2), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

  const wchar_t* w = L"Ключ";
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  ASSERT_EQ(n, 9);
  std::string out(size_t(n), '\0');
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, w, -1, &out[0], n, nullptr, nullptr), n);
  EXPECT_STREQ(out.c_str(), "\xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87");
}

TEST(CodePages, MalformedInputIsRefusedAndUnmappableBecomesQuestionMark) {
  for (const char* bad : {"\xff", "a\xc3", "\xc0\x80", "\xed\xa0\x80x", "\xf4\x90\x80\x80"}) {
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, bad, -1, nullptr, 0), 0) << "accepted a malformed sequence";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
  }
  const wchar_t lone[] = {L'a', wchar_t(0xD800), L'b', 0};
  char buf[8];
  BOOL used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, lone, -1, buf, sizeof buf, nullptr, &used), 4);
  EXPECT_STREQ(buf, "a?b");
  EXPECT_TRUE(used);
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(1251, 0, "x", -1, nullptr, 0), 0) << "unknown code page";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(CodePages, AcpFollowsALegacyLocaleCharacterSet) {
  // The test run provides ru_RU.CP1251 through LOCPATH (tests/CMakeLists.txt).
  ASSERT_TRUE(setlocale(LC_CTYPE, "ru_RU.CP1251")) << "no ru_RU.CP1251 locale (LOCPATH)";
  std::wstring w = to_wide("\xca", CP_ACP);  // К in windows-1251
  EXPECT_EQ(w, std::wstring(1, wchar_t(0x41A)));
  const wchar_t cyrillic[] = {wchar_t(0x41A), wchar_t(0x43B), 0};
  char narrow[4];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, cyrillic, -1, narrow, sizeof narrow, nullptr, nullptr), 3);
  EXPECT_STREQ(narrow, "\xca\xeb");
  const wchar_t emoji[] = {wchar_t(0x1F511), 0};
  char buf[4];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, emoji, -1, buf, sizeof buf, nullptr, nullptr), 2);
  EXPECT_STREQ(buf, "?");
  setlocale(LC_CTYPE, "C");
}

class Config : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = testenv::private_root() + "/csp.conf";
    setenv("QUILL_CSP_CONFIG", path_.c_str(), 1);
  }
  void write(const std::string& text) { std::ofstream(path_) << text; }
  std::string path_;
};

TEST_F(Config, ReadsNumbersWithRegistryResultCodes) {
  write(
      "# settings\n[\\config\\Parameters]\nStrengthenedKeyUsageControl = dword:1\n"
      "Big = qword:0x100000000\nSmall = qword:5\nText = sz:1\nNeg = dword:0xFFFFFFFF\n"
      "Wide = dword:-99999999999\nMinus = dword:-7\n");
  long v = 99;
  EXPECT_EQ(support_registry_get_long("\\config\\Parameters\\StrengthenedKeyUsageControl", &v), 0u);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(support_registry_get_long("\\CONFIG\\parameters\\strengthenedkeyusagecontrol", &v), 0u);
  EXPECT_EQ(support_registry_get_long("\\config\\Parameters\\Small", &v), 0u);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(support_registry_get_long("\\config\\Parameters\\Neg", &v), 0u);
  EXPECT_EQ(v, -1);
  EXPECT_EQ(support_registry_get_long("\\config\\Parameters\\Minus", &v), 0u);
  EXPECT_EQ(v, -7);
  v = 42;
  EXPECT_EQ(support_registry_get_long("\\config\\Parameters\\Text", &v), 1006u);
  EXPECT_EQ(support_registry_get_long("\\config\\Parameters\\Wide", &v), 1006u) << "not 32 bits";
  if (sizeof(long) == 4) {
    EXPECT_EQ(support_registry_get_long("\\config\\Parameters\\Big", &v), 1006u);
  }
  EXPECT_EQ(v, 42) << "nothing stored on failure";
  EXPECT_EQ(support_registry_get_long("\\config\\Parameters\\Missing", &v), 2u);
  EXPECT_EQ(support_registry_get_long("\\config\\Other\\StrengthenedKeyUsageControl", &v), 2u);
  EXPECT_EQ(support_registry_get_long("\\config\\Parameters\\", &v), 87u);
  EXPECT_EQ(support_registry_get_long("\\NoKeyPart", &v), 87u);
  EXPECT_EQ(support_registry_get_long("", &v), 87u);
  EXPECT_EQ(support_registry_get_long(("\\a\\" + std::string(258, 'x')).c_str(), &v), 87u);
  setenv("QUILL_CSP_CONFIG", (path_ + ".absent").c_str(), 1);
  EXPECT_EQ(support_registry_get_long("\\config\\Parameters\\StrengthenedKeyUsageControl", &v), 2u);
}

TEST(Containers, PersistAtomicallyWithPrivatePermissions) {
  testenv::private_root();
  std::string name = "perm-test-" + std::to_string(getpid());
  ASSERT_EQ(csp::prov::ContainerStore::create(false, name), 0);
  EXPECT_EQ(csp::prov::ContainerStore::create(false, name), NTE_EXISTS);
  ASSERT_EQ(csp::prov::ContainerStore::update(false, name,
                                              [](csp::prov::ContainerData& c) {
                                                c.extra[77] = {1, 2, 3};
                                                return LONG(0);
                                              }),
            0);
  csp::prov::ContainerData back;
  ASSERT_EQ(csp::prov::ContainerStore::load(false, name, back), 0);
  EXPECT_EQ(back.name, name);
  EXPECT_EQ(back.extra[77], (std::vector<BYTE>{1, 2, 3}));

  std::string file = csp::prov::ContainerStore::directory(false) + "/" +
                     csp::prov::ContainerStore::unique_name(name) + ".key";
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // No temporary files are left behind.
  auto names = csp::prov::ContainerStore::list(false);
  EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());
  EXPECT_EQ(csp::prov::ContainerStore::remove(false, name), 0);
  EXPECT_EQ(csp::prov::ContainerStore::remove(false, name), NTE_BAD_KEYSET);
}

TEST(Containers, CorruptFileIsReportedNotTrusted) {
  testenv::private_root();
  std::string name = "corrupt-" + std::to_string(getpid());
  ASSERT_EQ(csp::prov::ContainerStore::create(false, name), 0);
  std::string file = csp::prov::ContainerStore::directory(false) + "/" +
                     csp::prov::ContainerStore::unique_name(name) + ".key";
  { std::ofstream(file, std::ios::app) << "\x02\x00\x00\x00\xff\xff\xff\x7f"; }
  csp::prov::ContainerData back;
  EXPECT_EQ(csp::prov::ContainerStore::load(false, name, back), NTE_KEYSET_ENTRY_BAD);
  EXPECT_EQ(csp::prov::ContainerStore::remove(false, name), 0);
}

// The machine key directory is shared by all users and its lock file belongs
// to root: another user's process must wait for the lock like any other,
// not go on without it.
TEST(Containers, AnotherUsersLockFileIsStillTaken) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  char dir[] = "/tmp/quill-lock-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  ASSERT_EQ(chmod(dir, 01777), 0);
  std::string lock = std::string(dir) + "/.lock";
  int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
    { csp::DirLock taken(dir); }  // waits until the parent lets go
    _exit(0);
  }
  usleep(300 * 1000);
  int status = 0;
  pid_t early = waitpid(child, &status, WNOHANG);
  EXPECT_EQ(early, 0) << "the other user's process did not wait for the lock";
  flock(fd, LOCK_UN);
  close(fd);
  if (early == 0) {
    ASSERT_EQ(waitpid(child, &status, 0), child);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status 0x" << std::hex << status;
  unlink(lock.c_str());
  rmdir(dir);
}

TEST(Contexts, AcquireFlagsAndErrors) {
  testenv::private_root();
  HCRYPTPROV h = 0;
  EXPECT_FALSE(CryptAcquireContextA(&h, nullptr, nullptr, PROV_RSA_AES, 0x1000));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  EXPECT_FALSE(CryptAcquireContextA(&h, nullptr, nullptr, 0, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_PROV_TYPE));
  EXPECT_FALSE(CryptAcquireContextA(&h, nullptr, "No Such Provider", PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), DWORD(NTE_KEYSET_NOT_DEF));
  EXPECT_FALSE(CryptAcquireContextA(&h, nullptr, nullptr, PROV_RSA_AES,
                                    CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  EXPECT_FALSE(CryptAcquireContextA(nullptr, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

  // Machine containers are kept apart from the user's.
  std::string name = "machine-" + std::to_string(getpid());
  ASSERT_TRUE(CryptAcquireContextA(&h, name.c_str(), nullptr, PROV_RSA_AES,
                                   CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET));
  EXPECT_TRUE(CryptReleaseContext(h, 0));
  EXPECT_FALSE(CryptAcquireContextA(&h, name.c_str(), nullptr, PROV_RSA_AES, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEYSET));
  EXPECT_TRUE(CryptAcquireContextA(&h, name.c_str(), nullptr, PROV_RSA_AES,
                                   CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET));
}

}  // namespace

// The tests run with the exported functions' error-queue check armed; an
// error left behind aborts, one already queued on entry is the caller's.
TEST(ErrorQueue, LeftErrorsAbortTheTestRun) {
  ASSERT_NE(csp::error_queue_check(), csp::QueueCheck::off) << "QUILL_CHECK_ERROR_QUEUE unset";
  if (csp::error_queue_check() != csp::QueueCheck::abort) GTEST_SKIP() << "report mode";
  EXPECT_DEATH(
      {
        csp::ErrorQueueCheck check("leaky");
        ERR_raise(ERR_LIB_USER, ERR_R_PASSED_INVALID_ARGUMENT);
      },
      "leaky left OpenSSL's error queue non-empty");
  ERR_raise(ERR_LIB_USER, ERR_R_PASSED_INVALID_ARGUMENT);
  { csp::ErrorQueueCheck check("caller's error"); }
  ERR_clear_error();
}
