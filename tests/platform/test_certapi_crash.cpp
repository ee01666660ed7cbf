// Crash safety of key containers and system stores: processes that change
// them are killed (SIGKILL) at random moments, and what is on disk is then
// checked through the public API against what each process had finished.
// One process walks containers through create, key import, comment changes
// and delete; two more add and delete certificates in one system store at
// once. After every kill each container and the store must open in the state
// before the interrupted step or after it: never torn, never a key or a
// certificate lost, and the two writers never lose each other's changes.
//
// QUILL_CRASH_KILLS sets the number of kills (20 by default; 200 for the
// full run), QUILL_CRASH_SEED the random seed (printed on failure).
#include <dirent.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <set>

#include "certapi_util.h"

using namespace certtest;

namespace {

constexpr int kComments = 4;                // comment changes per container
constexpr int kCycle = kComments + 3;       // create, import, comments, delete
constexpr int kCertsPerWriter = 150;
constexpr DWORD kUserStore = CERT_SYSTEM_STORE_CURRENT_USER;

// What each child started (intent) and finished (done): counts of steps.
struct Journal {
  std::atomic<int> intent[3];
  std::atomic<int> done[3];
  std::atomic<int> failed[3];  // the failing step + 1
};

int env_int(const char* name, int fallback) {
  const char* v = getenv(name);
  return v && *v ? atoi(v) : fallback;
}

// Self-signed certificates with one EC key, each its own serial number.
std::vector<Bytes> make_certs(int n) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  std::vector<Bytes> out;
  for (int i = 0; i < n; ++i) {
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), i + 1);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_NAME* name = X509_get_subject_name(x);
    std::string cn = "crash " + std::to_string(i);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_set_pubkey(x, key);
    X509_sign(x, key, EVP_sha256());
    unsigned char* der = nullptr;
    int len = i2d_X509(x, &der);
    out.emplace_back(der, der + len);
    OPENSSL_free(der);
    X509_free(x);
  }
  EVP_PKEY_free(key);
  return out;
}

// `owner`: the test's own process id, the same in its children.
std::string container_name(pid_t owner, int round, int cycle) {
  return "crash-" + std::to_string(owner) + "-" + std::to_string(round) + "-" +
         std::to_string(cycle);
}
std::string comment_of(int step) { return "comment " + std::to_string(step); }

// What a container holds after `steps` steps of its cycle.
struct ContainerState {
  bool exists = false, key = false;
  std::string comment;
  bool operator==(const ContainerState& o) const {
    return exists == o.exists && key == o.key && comment == o.comment;
  }
};
std::ostream& operator<<(std::ostream& os, const ContainerState& s) {
  return os << (s.exists ? "exists" : "absent") << (s.key ? " key" : "") << " '" << s.comment << "'";
}
ContainerState expected_container(int steps) {
  ContainerState s;
  if (steps <= 0 || steps >= kCycle) return s;
  s.exists = true;
  s.key = steps >= 2;
  if (steps >= 3) s.comment = comment_of(steps - 1);
  return s;
}

// The container child: its steps run through cycle after cycle.
void container_child(Journal& j, pid_t owner, int round, const Bytes& private_blob) {
  HCRYPTPROV prov = 0;
  for (int step = 0;; ++step) {
    int cycle = step / kCycle, at = step % kCycle;
    std::string name = container_name(owner, round, cycle);
    j.intent[0] = step + 1;
    bool ok;
    if (at == 0) {
      ok = CryptAcquireContextA(&prov, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET);
    } else if (at == 1) {
      HCRYPTKEY k = 0;
      ok = CryptImportKey(prov, private_blob.data(), DWORD(private_blob.size()), 0,
                          CRYPT_EXPORTABLE, &k);
      CryptDestroyKey(k);
    } else if (at < kCycle - 1) {
      std::string c = comment_of(at);
      CRYPT_DATA_BLOB b{DWORD(c.size()), reinterpret_cast<BYTE*>(&c[0])};
      ok = CryptSetProvParam(prov, PP_CONTAINER_COMMENT, reinterpret_cast<BYTE*>(&b), 0);
    } else {
      CryptReleaseContext(prov, 0);
      HCRYPTPROV gone = 0;
      ok = CryptAcquireContextA(&gone, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    }
    if (!ok) {
      j.failed[0] = step + 1;
      _exit(1);
    }
    j.done[0] = step + 1;
  }
}

// A store writer's steps: add 2p, add 2p+1, delete 2p, for p = 0, 1, ...
struct StoreOp {
  bool add;
  int cert;
};
std::vector<StoreOp> store_ops() {
  std::vector<StoreOp> ops;
  for (int p = 0; 2 * p + 1 < kCertsPerWriter; ++p) {
    ops.push_back({true, 2 * p});
    ops.push_back({true, 2 * p + 1});
    ops.push_back({false, 2 * p});
  }
  return ops;
}
std::set<int> expected_certs(int steps) {
  std::set<int> s;
  auto ops = store_ops();
  for (int i = 0; i < steps && i < int(ops.size()); ++i) {
    if (ops[i].add)
      s.insert(ops[i].cert);
    else
      s.erase(ops[i].cert);
  }
  return s;
}

void store_child(Journal& j, int w, const std::string& store, const std::vector<Bytes>& certs) {
  HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUserStore, store.c_str());
  if (!s) {
    j.failed[w] = 1;
    _exit(1);
  }
  std::map<int, PCCERT_CONTEXT> added;
  auto ops = store_ops();
  for (size_t i = 0; i < ops.size(); ++i) {
    j.intent[w] = int(i) + 1;
    const Bytes& der = certs[size_t(ops[i].cert + (w - 1) * kCertsPerWriter)];
    bool ok;
    if (ops[i].add) {
      PCCERT_CONTEXT c = nullptr;
      ok = CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                            CERT_STORE_ADD_NEW, &c);
      added[ops[i].cert] = c;
    } else {
      ok = CertDeleteCertificateFromStore(added[ops[i].cert]);
    }
    if (!ok) {
      j.failed[w] = int(i) + 1;
      _exit(1);
    }
    j.done[w] = int(i) + 1;
  }
  _exit(0);
}

// The container's state as the API shows it; a failure for anything torn.
ContainerState observe(const std::string& name, const Bytes& public_blob) {
  ContainerState s;
  HCRYPTPROV p = 0;
  if (!CryptAcquireContextA(&p, name.c_str(), nullptr, PROV_RSA_AES, 0)) {
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEYSET)) << name;
    return s;
  }
  s.exists = true;
  HCRYPTKEY k = 0;
  if (CryptGetUserKey(p, AT_KEYEXCHANGE, &k)) {
    s.key = true;
    BYTE blob[1024];
    DWORD n = sizeof blob;
    EXPECT_TRUE(CryptExportKey(k, 0, PUBLICKEYBLOB, 0, blob, &n));
    EXPECT_EQ(Bytes(blob, blob + n), public_blob) << name << ": another key";
    CryptDestroyKey(k);
  } else {
    EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY)) << name;
  }
  BYTE text[256];
  DWORD n = sizeof text;
  EXPECT_TRUE(CryptGetProvParam(p, PP_CONTAINER_COMMENT, text, &n, 0)) << std::hex << GetLastError();
  s.comment.assign(reinterpret_cast<char*>(text), n);
  CryptReleaseContext(p, 0);
  return s;
}

// The certificates of each writer's pool in the store; a failure when the
// store does not open.
std::map<int, std::set<int>> observe_store(const std::string& store, const std::vector<Bytes>& certs) {
  std::map<Bytes, int> index;
  for (size_t i = 0; i < certs.size(); ++i) index[certs[i]] = int(i);
  std::map<int, std::set<int>> out{{1, {}}, {2, {}}};
  HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                               kUserStore | CERT_STORE_READONLY_FLAG, store.c_str());
  EXPECT_NE(s, nullptr) << store << ": " << std::hex << GetLastError();
  if (!s) return out;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(s, c));) {
    auto it = index.find(Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded));
    EXPECT_NE(it, index.end()) << "a certificate no one added";
    if (it != index.end()) out[1 + it->second / kCertsPerWriter].insert(it->second % kCertsPerWriter);
  }
  CertCloseStore(s, 0);
  return out;
}

std::vector<std::string> temp_files(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (strstr(e->d_name, ".tmp.")) out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

}  // namespace

TEST(CrashSafety, KilledWritersLeaveOldOrNewStateNeverTornOrLost) {
  std::string root = testenv::private_root();
  int kills = env_int("QUILL_CRASH_KILLS", 20);
  unsigned seed = unsigned(env_int("QUILL_CRASH_SEED", int(time(nullptr))));
  SCOPED_TRACE("QUILL_CRASH_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  // Most kills fall within the first steps, where files are made; some later.
  std::uniform_int_distribution<int> delay_us(0, 150000);

  Bytes private_blob, public_blob;
  {
    HCRYPTPROV v = 0;
    HCRYPTKEY k = 0;
    std::string src = "crash-source-" + std::to_string(getpid());
    ASSERT_TRUE(CryptAcquireContextA(&v, src.c_str(), nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptGenKey(v, AT_KEYEXCHANGE, (1024 << 16) | CRYPT_EXPORTABLE, &k));
    for (auto [type, out] : {std::pair<DWORD, Bytes*>{PRIVATEKEYBLOB, &private_blob},
                             {PUBLICKEYBLOB, &public_blob}}) {
      DWORD n = 0;
      ASSERT_TRUE(CryptExportKey(k, 0, type, 0, nullptr, &n));
      out->resize(n);
      ASSERT_TRUE(CryptExportKey(k, 0, type, 0, out->data(), &n));
      out->resize(n);
    }
    CryptDestroyKey(k);
    CryptReleaseContext(v, 0);
    ASSERT_TRUE(CryptAcquireContextA(&v, src.c_str(), nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET));
  }
  std::vector<Bytes> certs = make_certs(2 * kCertsPerWriter);
  auto* j = static_cast<Journal*>(
      mmap(nullptr, sizeof(Journal), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(j, MAP_FAILED);

  int container_steps = 0, store_steps = 0;
  pid_t owner = getpid();
  for (int round = 0; round < kills && !HasFailure(); ++round) {
    SCOPED_TRACE("kill " + std::to_string(round));
    new (j) Journal{};
    std::string store = "Crash" + std::to_string(round);
    pid_t kids[3];
    for (int w = 0; w < 3; ++w) {
      kids[w] = fork();
      ASSERT_GE(kids[w], 0);
      if (kids[w] == 0) {
        if (w == 0) container_child(*j, owner, round, private_blob);
        store_child(*j, w, store, certs);
      }
    }
    usleep(useconds_t(delay_us(rng)));
    for (pid_t k : kids) kill(k, SIGKILL);
    for (int w = 0; w < 3; ++w) {
      int status = 0;
      ASSERT_EQ(waitpid(kids[w], &status, 0), kids[w]);
      EXPECT_EQ(j->failed[w].load(), 0) << "child " << w << " failed a step";
    }

    // The container the last finished and the last started step belong to:
    // the state after one of the two; every earlier container deleted.
    int done = j->done[0], intent = j->intent[0];
    container_steps += done;
    for (int cycle = std::max(0, done / kCycle - 1); cycle <= intent / kCycle; ++cycle) {
      ContainerState seen = observe(container_name(owner, round, cycle), public_blob);
      ContainerState before = expected_container(done - cycle * kCycle);
      ContainerState after = expected_container(intent - cycle * kCycle);
      EXPECT_TRUE(seen == before || seen == after)
          << "container " << cycle << " after " << done << "/" << intent << " steps: " << seen
          << ", not " << before << " or " << after;
      HCRYPTPROV gone = 0;
      CryptAcquireContextA(&gone, container_name(owner, round, cycle).c_str(), nullptr, PROV_RSA_AES,
                           CRYPT_DELETEKEYSET);
    }
    // Each writer's certificates as after its last finished or started step.
    auto seen = observe_store(store, certs);
    for (int w = 1; w <= 2; ++w) {
      store_steps += j->done[w];
      EXPECT_TRUE(seen[w] == expected_certs(j->done[w]) || seen[w] == expected_certs(j->intent[w]))
          << "writer " << w << " after " << j->done[w] << "/" << j->intent[w] << " steps: "
          << seen[w].size() << " certificates";
    }
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUserStore | CERT_STORE_DELETE_FLAG,
                            store.c_str()),
              nullptr);
  }
  // The kills fell at different moments: some within the first container and
  // the first certificates, others later.
  printf("%d kills after %d container and %d store steps\n", kills, container_steps, store_steps);
  EXPECT_GT(container_steps, kills / 2) << "the children hardly ran before the kills";
  EXPECT_GT(store_steps, kills / 2);
  // The changes made after the kills removed what the killed writers left.
  std::string user = root + "/users/" + std::to_string(geteuid());
  EXPECT_EQ(temp_files(user), std::vector<std::string>());
  EXPECT_EQ(temp_files(user + "/stores"), std::vector<std::string>());
  munmap(j, sizeof(Journal));
}
