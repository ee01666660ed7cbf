#include "container.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <openssl/evp.h>

#include "apiutil.h"
#include "atomicfile.h"

namespace csp::prov {

namespace {

// File layout: the magic, then records of (u32 tag, u32 length, bytes), all
// integers little-endian. Tag 1 holds the container name; tag 2 one key:
// (u32 spec, u32 alg, u32 flags, material). Other tags are kept unchanged.
constexpr char kMagic[8] = {'Q', 'C', 'S', 'P', 'K', 'C', '0', '1'};
constexpr DWORD kTagName = 1;
constexpr DWORD kTagKey = 2;
constexpr size_t kMaxFile = 16 * 1024 * 1024;

void put32(std::vector<BYTE>& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(BYTE(v >> (8 * i)));
}
DWORD get32(const BYTE* p) {
  return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}
void put_record(std::vector<BYTE>& out, DWORD tag, const BYTE* data, size_t n) {
  put32(out, tag);
  put32(out, DWORD(n));
  out.insert(out.end(), data, data + n);
}

// The buffers are sized up front: one that grew would leave copies of the
// key material in the blocks it gave back.
std::vector<BYTE> encode(const ContainerData& c) {
  size_t total = sizeof kMagic + 8 + c.name.size();
  for (const auto& [spec, key] : c.keys) total += 8 + 12 + key.material.size();
  for (const auto& [tag, data] : c.extra) total += 8 + data.size();
  std::vector<BYTE> out;
  out.reserve(total);
  out.assign(kMagic, kMagic + sizeof kMagic);
  put_record(out, kTagName, reinterpret_cast<const BYTE*>(c.name.data()), c.name.size());
  for (const auto& [spec, key] : c.keys) {
    std::vector<BYTE> rec;
    rec.reserve(12 + key.material.size());
    put32(rec, spec);
    put32(rec, key.alg);
    put32(rec, key.flags);
    rec.insert(rec.end(), key.material.begin(), key.material.end());
    put_record(out, kTagKey, rec.data(), rec.size());
    wipe(rec);
  }
  for (const auto& [tag, data] : c.extra) put_record(out, tag, data.data(), data.size());
  return out;
}

bool decode(const std::vector<BYTE>& in, ContainerData& c) {
  if (in.size() < sizeof kMagic || memcmp(in.data(), kMagic, sizeof kMagic) != 0) return false;
  size_t pos = sizeof kMagic;
  while (pos < in.size()) {
    if (in.size() - pos < 8) return false;
    DWORD tag = get32(&in[pos]);
    DWORD len = get32(&in[pos + 4]);
    pos += 8;
    if (in.size() - pos < len) return false;
    const BYTE* p = &in[pos];
    if (tag == kTagName) {
      c.name.assign(reinterpret_cast<const char*>(p), len);
    } else if (tag == kTagKey) {
      if (len < 12) return false;
      StoredKey k;
      k.alg = get32(p + 4);
      k.flags = get32(p + 8);
      k.material.assign(p + 12, p + len);
      c.keys[get32(p)] = std::move(k);
    } else {
      c.extra[tag].assign(p, p + len);
    }
    pos += len;
  }
  return true;
}

std::string path_of(bool machine, const std::string& name) {
  return ContainerStore::directory(machine) + "/" + ContainerStore::unique_name(name) + ".key";
}

LONG read_file(const std::string& path, std::vector<BYTE>& out) {
  int fd = open_private(path);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? NTE_BAD_KEYSET : errno_code(errno);
  int e = read_fd(fd, kMaxFile, out);
  LONG rc = e == EFBIG ? NTE_KEYSET_ENTRY_BAD : e ? errno_code(e) : 0;
  close(fd);
  return rc;
}

}  // namespace

ContainerData::~ContainerData() {
  for (auto& [spec, key] : keys) wipe(key.material);
  for (auto& [tag, data] : extra) wipe(data);
}

std::string ContainerStore::directory(bool machine) { return data_dir(machine, "keys"); }

std::string ContainerStore::unique_name(const std::string& name) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(name.data(), name.size(), md, &n, EVP_sha256(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < 20 && i < n; ++i) {
    out.push_back(hex[md[i] >> 4]);
    out.push_back(hex[md[i] & 15]);
  }
  return out;
}

LONG ContainerStore::create(bool machine, const std::string& name) {
  std::string dir = directory(machine);
  DirLock lock(dir);
  LONG rc = make_dirs(dir);
  if (rc) return rc;
  std::string path = path_of(machine, name);
  int e = stat_private(path);
  if (e == 0) return NTE_EXISTS;
  if (e != ENOENT) return errno_code(e);
  ContainerData c;
  c.name = name;
  return write_atomically(path, encode(c));
}

LONG ContainerStore::remove(bool machine, const std::string& name) {
  std::string dir = directory(machine);
  DirLock lock(dir);
  if (int e = check_private_dir(dir))
    return e == ENOENT || e == ENOTDIR ? NTE_BAD_KEYSET : errno_code(e);
  if (unlink(path_of(machine, name).c_str()) != 0)
    return errno == ENOENT ? NTE_BAD_KEYSET : errno_code(errno);
  return 0;
}

LONG ContainerStore::exists(bool machine, const std::string& name) {
  int e = stat_private(path_of(machine, name));
  return e == 0 ? 0 : e == ENOENT || e == ENOTDIR ? NTE_BAD_KEYSET : errno_code(e);
}

LONG ContainerStore::load(bool machine, const std::string& name, ContainerData& out) {
  std::vector<BYTE> raw;
  LONG rc = read_file(path_of(machine, name), raw);
  if (rc == 0 && (!decode(raw, out) || out.name != name)) rc = NTE_KEYSET_ENTRY_BAD;
  wipe(raw);
  return rc;
}

LONG ContainerStore::update(bool machine, const std::string& name,
                            const std::function<LONG(ContainerData&)>& change) {
  std::string dir = directory(machine);
  DirLock lock(dir);
  ContainerData c;
  LONG rc = load(machine, name, c);
  if (rc) return rc;
  rc = change(c);
  if (rc) return rc;
  std::vector<BYTE> raw = encode(c);
  // A file read_file would refuse must not be written: the container and its
  // keys would be lost to every later load.
  if (raw.size() > kMaxFile) {
    wipe(raw);
    return NTE_BAD_LEN;
  }
  rc = write_atomically(path_of(machine, name), raw);
  wipe(raw);
  return rc;
}

std::vector<std::string> ContainerStore::list(bool machine) {
  std::vector<std::string> names;
  std::string dir = directory(machine);
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent* e = readdir(d)) {
    std::string f = e->d_name;
    if (f.size() != 44 || f.compare(40, 4, ".key") != 0) continue;
    std::vector<BYTE> raw;
    ContainerData c;
    if (read_file(dir + "/" + f, raw) == 0 && decode(raw, c)) names.push_back(c.name);
    wipe(raw);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string default_container_name() {
  struct passwd pw;
  struct passwd* res = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_name)
    return res->pw_name;
  const char* u = std::getenv("USER");
  return u && *u ? u : "default";
}

}  // namespace csp::prov
