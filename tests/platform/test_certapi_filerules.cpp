// The rules for the files that hold keys and stores (common/atomicfile.h):
// made 0600 in 0700 directories whatever the umask; refused, as access
// denied, where someone else could have put or replaced them: a directory of
// another user or writable by others (unless sticky), a symbolic link, FIFO
// or another user's file in a file's place; no user directory at all for a
// user without a home directory.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "certapi_util.h"

using namespace certtest;

namespace {

constexpr uid_t kNobody = 65534;

struct Paths {
  std::string root, keys, stores, key_file, store_file;
};

mode_t mode_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// 0 when the container opens with its key, else the error.
DWORD open_container(const char* name) {
  HCRYPTPROV p = 0;
  if (!CryptAcquireContextA(&p, name, nullptr, PROV_RSA_AES, 0)) return GetLastError();
  HCRYPTKEY k = 0;
  DWORD rc = CryptGetUserKey(p, AT_KEYEXCHANGE, &k) ? 0 : GetLastError();
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
  return rc;
}

// 0 when the store opens holding one certificate, else the error.
DWORD open_store(const char* name) {
  HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name);
  if (!s) return GetLastError();
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr);
  DWORD rc = c ? 0 : DWORD(CRYPT_E_NOT_FOUND);
  CertFreeCertificateContext(c);
  CertCloseStore(s, 0);
  return rc;
}

// A container with a key and a store with a certificate, under a fresh root.
Paths make_both(const std::string& base, mode_t umask_bits) {
  Paths p;
  p.root = base;
  setenv("QUILL_CSP_ROOT", p.root.c_str(), 1);
  p.keys = p.root + "/users/" + std::to_string(geteuid());
  p.stores = p.keys + "/stores";
  mode_t old = umask(umask_bits);
  HCRYPTPROV prov = 0;
  HCRYPTKEY k = 0;
  EXPECT_TRUE(CryptAcquireContextA(&prov, "Rules", nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET));
  EXPECT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 1024 << 16, &k));
  char unique[64] = {};
  DWORD n = sizeof unique;
  EXPECT_TRUE(CryptGetProvParam(prov, PP_UNIQUE_CONTAINER, reinterpret_cast<BYTE*>(unique), &n, 0));
  p.key_file = p.keys + "/" + unique + ".key";
  CryptDestroyKey(k);
  CryptReleaseContext(prov, 0);
  HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Rules");
  Bytes der = slurp("leaf.der");
  EXPECT_TRUE(s && CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                                    CERT_STORE_ADD_NEW, nullptr));
  CertCloseStore(s, 0);
  p.store_file = p.stores + "/RULES.sst";
  umask(old);
  return p;
}

void plant_link(const std::string& file, const std::string& elsewhere) {
  ASSERT_EQ(rename(file.c_str(), elsewhere.c_str()), 0) << file;
  ASSERT_EQ(symlink(elsewhere.c_str(), file.c_str()), 0);
}

}  // namespace

TEST(FileRules, PrivateModesWhateverTheUmaskAndPlantedOrForeignFilesRefused) {
  make_pki();
  std::string base = testenv::private_root() + "/rules";
  ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
  struct Restore {  // the other tests' root, however this one ends
    std::string root = getenv("QUILL_CSP_ROOT");
    ~Restore() { setenv("QUILL_CSP_ROOT", root.c_str(), 1); }
  } restore;
  bool root = geteuid() == 0;
  struct Case {
    const char* what;
    mode_t umask_bits;
    bool needs_root;
    std::function<void(const Paths&)> change;
    DWORD container, store;  // what opening each gives afterwards
  };
  const Case cases[] = {
      {"umask 0", 0, false, nullptr, 0, 0},
      {"umask 077", 077, false, nullptr, 0, 0},
      {"key directory group-writable", 022, false,
       [](const Paths& p) { chmod(p.keys.c_str(), 0770); }, DWORD(NTE_PERM), 0},
      {"store directory world-writable", 022, false,
       [](const Paths& p) { chmod(p.stores.c_str(), 0777); }, 0, ERROR_ACCESS_DENIED},
      {"sticky shared directories, as the machine's", 022, false,
       [](const Paths& p) {
         chmod(p.keys.c_str(), 01777);
         chmod(p.stores.c_str(), 01777);
       },
       0, 0},
      {"directories of another user", 022, true,
       [](const Paths& p) {
         EXPECT_EQ(chown(p.keys.c_str(), kNobody, kNobody), 0);
         EXPECT_EQ(chown(p.stores.c_str(), kNobody, kNobody), 0);
       },
       DWORD(NTE_PERM), ERROR_ACCESS_DENIED},
      {"files of another user", 022, true,
       [](const Paths& p) {
         EXPECT_EQ(chown(p.key_file.c_str(), kNobody, kNobody), 0);
         EXPECT_EQ(chown(p.store_file.c_str(), kNobody, kNobody), 0);
       },
       DWORD(NTE_PERM), ERROR_ACCESS_DENIED},
      {"symbolic links in place of the files", 022, false,
       [](const Paths& p) {
         plant_link(p.key_file, p.root + "/elsewhere.key");
         plant_link(p.store_file, p.root + "/elsewhere.sst");
       },
       DWORD(NTE_PERM), ERROR_ACCESS_DENIED},
      {"FIFOs in place of the files", 022, false,
       [](const Paths& p) {
         for (const std::string& f : {p.key_file, p.store_file}) {
           unlink(f.c_str());
           EXPECT_EQ(mkfifo(f.c_str(), 0600), 0);
         }
       },
       DWORD(NTE_PERM), ERROR_ACCESS_DENIED},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needs_root && !root) {
      printf("skipped without root: %s\n", c.what);
      continue;
    }
    Paths p = make_both(base + "/" + std::to_string(n++), c.umask_bits);
    if (!c.change) {
      for (const std::string& d : {p.root + "/users", p.keys, p.stores}) EXPECT_EQ(mode_of(d), 0700u) << d;
      for (const std::string& f : {p.key_file, p.store_file}) EXPECT_EQ(mode_of(f), 0600u) << f;
    } else {
      c.change(p);
    }
    EXPECT_EQ(open_container("Rules"), c.container) << std::hex << c.container;
    EXPECT_EQ(open_store("Rules"), c.store) << std::hex << c.store;
  }

  // A dangling link planted for a container about to be made, and for the
  // lock file: neither is followed, nothing appears where they point.
  Paths p = make_both(base + "/links", 022);
  std::string victim = p.root + "/victim";
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "Planted", nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET));
  char unique[64] = {};
  DWORD len = sizeof unique;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_UNIQUE_CONTAINER, reinterpret_cast<BYTE*>(unique), &len, 0));
  CryptReleaseContext(prov, 0);
  ASSERT_TRUE(CryptAcquireContextA(&prov, "Planted", nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET));
  ASSERT_EQ(unlink((p.keys + "/.lock").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), (p.keys + "/.lock").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), (p.keys + "/" + unique + ".key").c_str()), 0);
  EXPECT_FALSE(CryptAcquireContextA(&prov, "Planted", nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), DWORD(NTE_PERM));
  EXPECT_EQ(mode_of(victim), 0u) << "a planted link was followed";

  // No home directory (HOME unset, no entry in the password database): no
  // key or store directory, rather than one in a shared place.
  if (!root || getpwuid(54321)) {
    printf("skipped without root or with uid 54321 in use: no home directory\n");
  } else {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      unsetenv("QUILL_CSP_ROOT");
      unsetenv("XDG_DATA_HOME");
      unsetenv("HOME");
      if (setresgid(54321, 54321, 54321) != 0 || setresuid(54321, 54321, 54321) != 0) _exit(10);
      HCRYPTPROV h = 0;
      if (CryptAcquireContextA(&h, "Homeless", nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET)) _exit(11);
      if (GetLastError() != DWORD(NTE_PERM)) _exit(12);
      if (CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My")) _exit(13);
      if (GetLastError() != ERROR_ACCESS_DENIED) _exit(14);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status 0x" << std::hex << status;
    EXPECT_EQ(mode_of("/tmp/.local/share/quill-csp"), 0u);
  }
}
