// Certificate stores: memory stores, read-only file stores (DER, PEM, PKCS#7)
// and system stores kept on disk; adding, enumerating, finding, deleting.
//
// A system store is one file, <data root>/stores/<NAME>.sst (mode 0600): the
// magic, then one length-prefixed entry per certificate. A change is applied
// under the stores directory's lock to the file as it is then on disk, not
// to a store's copy, so two processes changing one store keep both changes.
// A certificate new to the store is appended to the file (written, then
// fsync); any other change writes the file anew (atomically), every entry
// sealed.
//
// Appending is safe against a crash in the middle because every entry this
// library writes ends with a seal record (a CRC-32 of the entry before it;
// readers that do not know it skip it): after a sealed entry, a last entry
// that runs past the end of the file, or that does not decode and ends with
// the file, or bytes that are all zero, are the tail of an append that did
// not finish. Reading ignores such a tail and the next change cuts it off.
// A file whose last entry is not sealed (one of an older writer) is never
// appended to: that change writes the file anew.
//
// The files as read are cached for the process: the entries with their
// certificates parsed, keyed by path and checked against the file's device,
// inode, size and change times at every open, so a file another process
// changed is read again, and this process's own changes update the cache as
// they are written. Opening a store whose file did not change parses
// nothing.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cwctype>
#include <string_view>
#include <unordered_map>

#include "apiutil.h"
#include "atomicfile.h"
#include "certobj.h"

namespace csp::cert {

namespace {

constexpr char kMagic[8] = {'Q', 'C', 'S', 'P', 'S', 'T', '0', '1'};
constexpr size_t kMaxFile = 64 * 1024 * 1024;
constexpr size_t kMaxStoreName = 255;
// kTagReopenType (the provider type of a key context, when not PROV_RSA_AES)
// came after the others; a reader that does not know it skips it.
constexpr DWORD kTagCert = 1, kTagProp = 2, kTagProvInfo = 3, kTagReopen = 4, kTagReopenType = 5;
// The seal of an entry: the CRC-32 of the entry's bytes before it.
constexpr DWORD kTagSeal = 6;
constexpr size_t kSealSize = 12;  // tag, length, CRC
// Certificates kept parsed in the cache of store files, all files together.
constexpr size_t kCachedCerts = 32768;

void put32(Bytes& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(BYTE(v >> (8 * i)));
}
void put_record(Bytes& out, DWORD tag, const Bytes& data) {
  put32(out, tag);
  put32(out, DWORD(data.size()));
  out.insert(out.end(), data.begin(), data.end());
}
void put_wide(Bytes& out, bool present, const std::wstring& w) {
  put32(out, present ? DWORD(w.size()) : 0xFFFFFFFFu);
  if (present)
    for (wchar_t ch : w) put32(out, DWORD(ch));
}

uint32_t crc32(const BYTE* p, size_t n) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void seal(Bytes& entry) {
  Bytes crc;
  put32(crc, crc32(entry.data(), entry.size()));
  put_record(entry, kTagSeal, crc);
}

bool sealed(const Bytes& entry) {
  if (entry.size() < kSealSize) return false;
  const BYTE* tail = entry.data() + entry.size() - kSealSize;
  return read_le32(tail) == kTagSeal && read_le32(tail + 4) == 4 &&
         read_le32(tail + 8) == crc32(entry.data(), entry.size() - kSealSize);
}

// A bounds-checked reader over one record.
struct Reader {
  const BYTE* p;
  size_t n;
  bool ok = true;
  DWORD u32() {
    if (n < 4) {
      ok = false;
      return 0;
    }
    DWORD v = read_le32(p);
    p += 4;
    n -= 4;
    return v;
  }
  Bytes take(size_t k) {
    if (n < k) {
      ok = false;
      return Bytes();
    }
    Bytes v(p, p + k);
    p += k;
    n -= k;
    return v;
  }
  bool wide(bool& present, std::wstring& w) {
    DWORD len = u32();
    present = len != 0xFFFFFFFFu;
    w.clear();
    if (!present) return ok;
    if (len > n / 4) return ok = false;
    for (DWORD i = 0; i < len; ++i) w.push_back(wchar_t(u32()));
    return ok;
  }
};

std::string upper_ascii(const std::string& s) {
  std::string out = s;
  for (char& ch : out)
    if (ch >= 'a' && ch <= 'z') ch = char(ch - 'a' + 'A');
  return out;
}

std::string store_path(bool machine, const std::string& name) {
  static const char* hex = "0123456789ABCDEF";
  std::string file;
  for (unsigned char ch : name) {
    if ((ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '-') {
      file.push_back(char(ch));
    } else {
      file.push_back('%');
      file.push_back(hex[ch >> 4]);
      file.push_back(hex[ch & 15]);
    }
  }
  return data_dir(machine, "stores") + "/" + file + ".sst";
}

// A system store's file (`private_file`) is opened as atomicfile.h's rules
// say; a file store the caller names, as it is.
LONG read_all(const std::string& path, Bytes& out, bool& missing, bool private_file = false) {
  missing = false;
  int fd = private_file ? open_private(path) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT || errno == ENOTDIR;
    return missing ? ERROR_FILE_NOT_FOUND : errno == EACCES ? ERROR_ACCESS_DENIED : CRYPT_E_FILE_ERROR;
  }
  LONG rc = read_fd(fd, kMaxFile, out) ? CRYPT_E_FILE_ERROR : 0;
  close(fd);
  return rc;
}

// One stored certificate with its properties.
Bytes encode_entry(Cert& c) {
  std::lock_guard<std::mutex> lock(c.mu);
  Bytes out;
  put_record(out, kTagCert, c.der);
  for (auto& [id, v] : c.props) {
    Bytes rec;
    put32(rec, id);
    rec.insert(rec.end(), v.begin(), v.end());
    put_record(out, kTagProp, rec);
  }
  if (c.has_prov_info) {
    const ProvInfo& pi = c.prov_info;
    Bytes rec;
    put_wide(rec, pi.has_container, pi.container);
    put_wide(rec, pi.has_provider, pi.provider);
    put32(rec, pi.type);
    put32(rec, pi.flags);
    put32(rec, pi.spec);
    put32(rec, DWORD(pi.params.size()));
    for (const auto& p : pi.params) {
      put32(rec, p.id);
      put32(rec, p.flags);
      put32(rec, DWORD(p.data.size()));
      rec.insert(rec.end(), p.data.begin(), p.data.end());
    }
    put_record(out, kTagProvInfo, rec);
  }
  // A key context is kept as what acquires it again, never as a handle.
  KeyReopen reopen;
  bool have = false;
  if (c.has_key_context) {
    char name[1024];
    DWORD len = sizeof name;
    DWORD machine = 0, mlen = sizeof machine;
    DWORD type = PROV_RSA_AES, tlen = sizeof type;
    DWORD saved = GetLastError();
    if (CryptGetProvParam(c.key_context.prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &len,
                          0) &&
        len > 0 && len <= sizeof name &&
        CryptGetProvParam(c.key_context.prov, PP_KEYSET_TYPE, reinterpret_cast<BYTE*>(&machine),
                          &mlen, 0)) {
      reopen.container.assign(name, strnlen(name, len));
      reopen.machine = machine & CRYPT_MACHINE_KEYSET;
      reopen.spec = c.key_context.spec;
      if (CryptGetProvParam(c.key_context.prov, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &tlen,
                            0))
        reopen.type = type;
      have = true;
    }
    SetLastError(saved);
  } else if (c.has_reopen) {
    reopen = c.reopen;
    have = true;
  }
  if (have) {
    Bytes rec;
    put32(rec, reopen.machine ? 1 : 0);
    put32(rec, reopen.spec);
    rec.insert(rec.end(), reopen.container.begin(), reopen.container.end());
    put_record(out, kTagReopen, rec);
    if (reopen.type != PROV_RSA_AES) {
      Bytes t;
      put32(t, reopen.type);
      put_record(out, kTagReopenType, t);
    }
  }
  seal(out);
  return out;
}

// Parsed certificates to take instead of parsing an encoding again.
using Known = std::unordered_map<std::string_view, std::shared_ptr<const CertCore>>;

std::string_view view_of(const Bytes& b) {
  return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}

LONG decode_entry(const BYTE* p, size_t n, std::shared_ptr<Cert>& out, const Known* known = nullptr) {
  Reader r{p, n};
  std::shared_ptr<Cert> c;
  while (r.n > 0) {
    DWORD tag = r.u32();
    DWORD len = r.u32();
    Bytes data = r.take(len);
    if (!r.ok) return CRYPT_E_FILE_ERROR;
    if (tag == kTagCert) {
      if (c) return CRYPT_E_FILE_ERROR;
      auto it = known ? known->find(view_of(data)) : Known::const_iterator();
      if (known && it != known->end()) {
        c = new_cert(it->second);
      } else if (make_cert(data.data(), data.size(), c)) {
        return CRYPT_E_FILE_ERROR;
      }
      continue;
    }
    if (!c) return CRYPT_E_FILE_ERROR;
    Reader d{data.data(), data.size()};
    if (tag == kTagProp) {
      DWORD id = d.u32();
      if (!d.ok) return CRYPT_E_FILE_ERROR;
      c->props[id] = d.take(d.n);
    } else if (tag == kTagProvInfo) {
      ProvInfo& pi = c->prov_info;
      d.wide(pi.has_container, pi.container);
      d.wide(pi.has_provider, pi.provider);
      pi.type = d.u32();
      pi.flags = d.u32();
      pi.spec = d.u32();
      DWORD count = d.u32();
      if (!d.ok || count > d.n / 12) return CRYPT_E_FILE_ERROR;
      for (DWORD i = 0; i < count; ++i) {
        ProvInfo::Param q;
        q.id = d.u32();
        q.flags = d.u32();
        q.data = d.take(d.u32());
        pi.params.push_back(std::move(q));
      }
      if (!d.ok) return CRYPT_E_FILE_ERROR;
      c->has_prov_info = true;
    } else if (tag == kTagReopen) {
      c->reopen.machine = d.u32() != 0;
      c->reopen.spec = d.u32();
      if (!d.ok) return CRYPT_E_FILE_ERROR;
      Bytes name = d.take(d.n);
      c->reopen.container.assign(name.begin(), name.end());
      c->has_reopen = true;
    } else if (tag == kTagReopenType) {
      c->reopen.type = d.u32();
      if (!d.ok) return CRYPT_E_FILE_ERROR;
    }
  }
  if (!c) return CRYPT_E_FILE_ERROR;
  out = std::move(c);
  return 0;
}

// One entry of a store file: its bytes and what they decode to, a
// certificate with its properties that is never handed out (`proto`).
struct FileEntry {
  Bytes data;
  std::shared_ptr<Cert> proto;
  bool sealed = false;
};
using EntryPtr = std::shared_ptr<const FileEntry>;

// What identifies one content of a file: a change of any of these is a
// change of the file (an atomic rewrite is a new inode, an append a new size).
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{}, ctime{};
  explicit FileId(const struct stat& st)
      : dev(st.st_dev), ino(st.st_ino), size(st.st_size), mtime(st.st_mtim), ctime(st.st_ctim) {}
  FileId() = default;
  bool operator==(const FileId& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// A store file as read: its entries, and how many of its bytes hold them
// (less than the file when it ends in the tail of an unfinished append).
// The entries of a file in chunks shared between a snapshot and the one
// an append makes of it: an append copies the list of chunks and the last
// chunk, not every entry.
class EntryList {
 public:
  size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  const EntryPtr& operator[](size_t i) const { return (*chunks_[i / kChunk])[i % kChunk]; }
  const EntryPtr& back() const { return (*this)[n_ - 1]; }
  void push_back(EntryPtr e) {
    if (n_ % kChunk == 0) {
      chunks_.push_back(std::make_shared<Chunk>());
      chunks_.back()->reserve(kChunk);
    } else if (chunks_.back().use_count() > 1) {
      chunks_.back() = std::make_shared<Chunk>(*chunks_.back());  // shared: copied first
    }
    chunks_.back()->push_back(std::move(e));
    ++n_;
  }
  std::vector<EntryPtr> all() const {
    std::vector<EntryPtr> out;
    out.reserve(n_);
    for (auto& c : chunks_) out.insert(out.end(), c->begin(), c->end());
    return out;
  }

 private:
  static constexpr size_t kChunk = 256;
  using Chunk = std::vector<EntryPtr>;
  std::vector<std::shared_ptr<Chunk>> chunks_;
  size_t n_ = 0;
};

struct Snapshot {
  bool missing = true;
  FileId id;
  size_t valid = sizeof kMagic;
  EntryList entries;
  std::vector<size_t> hashes;  // of each entry's certificate encoding, to look one up
  void add(EntryPtr e) {
    hashes.push_back(std::hash<std::string_view>()(view_of(e->proto->der)));
    entries.push_back(std::move(e));
  }
  // The entry of a certificate encoding, or entries.size().
  size_t find(const Bytes& der) const {
    size_t h = std::hash<std::string_view>()(view_of(der));
    for (size_t i = 0; i < hashes.size(); ++i)
      if (hashes[i] == h && entries[i]->proto->der == der) return i;
    return entries.size();
  }
};
using SnapPtr = std::shared_ptr<const Snapshot>;

// The cache of store files, by path.
struct FileCache {
  std::mutex mu;
  std::unordered_map<std::string, SnapPtr> files;
};
FileCache& file_cache() {
  static FileCache* c = new FileCache;  // never destroyed, like the handle table
  return *c;
}

SnapPtr cached(const std::string& path) {
  std::lock_guard<std::mutex> lock(file_cache().mu);
  auto it = file_cache().files.find(path);
  return it == file_cache().files.end() ? nullptr : it->second;
}

void remember(const std::string& path, SnapPtr snap) {
  FileCache& fc = file_cache();
  std::lock_guard<std::mutex> lock(fc.mu);
  size_t total = snap->entries.size();
  for (auto& [p, other] : fc.files)
    if (p != path) total += other->entries.size();
  if (total > kCachedCerts) fc.files.clear();  // the newest file stays
  fc.files[path] = std::move(snap);
}

bool all_zero(const BYTE* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// Decodes a store file's bytes; certificates of `before` are not parsed again.
LONG parse_store(const Bytes& raw, const Snapshot* before, Snapshot& out) {
  if (raw.size() < sizeof kMagic || memcmp(raw.data(), kMagic, sizeof kMagic) != 0)
    return CRYPT_E_FILE_ERROR;
  Known known;
  if (before)
    for (size_t i = 0; i < before->entries.size(); ++i)
      known.emplace(view_of(before->entries[i]->proto->der), before->entries[i]->proto->core);
  size_t pos = sizeof kMagic;
  while (pos < raw.size()) {
    size_t left = raw.size() - pos;
    size_t len = left >= 4 ? read_le32(raw.data() + pos) : 0;
    bool whole = left >= 4 && len <= left - 4;
    auto e = std::make_shared<FileEntry>();
    bool ok = whole;
    if (ok) {
      e->data.assign(raw.data() + pos + 4, raw.data() + pos + 4 + len);
      // The first record of an entry is its certificate.
      ok = e->data.size() >= 8 && read_le32(e->data.data()) == kTagCert &&
           decode_entry(e->data.data(), e->data.size(), e->proto, &known) == 0;
    }
    if (!ok) {
      bool after_seal = !out.entries.empty() && out.entries.back()->sealed;
      bool tail = !whole || pos + 4 + len == raw.size() || all_zero(raw.data() + pos, left);
      if (!after_seal || !tail) return CRYPT_E_FILE_ERROR;
      break;  // an append that did not finish
    }
    e->sealed = sealed(e->data);
    out.add(std::move(e));
    pos += 4 + len;
  }
  out.valid = pos;
  return 0;
}

// The store file as it is now: from the cache when the file did not change.
LONG current(const std::string& path, SnapPtr& out) {
  // The directory's rules hold for a cached file too (a directory made
  // world-writable since does not keep serving it). lstat: a link planted in
  // the file's place is not the file the cache holds, and open_private then
  // refuses it.
  if (int e = check_private_dir(dir_of(path))) {
    if (e != ENOENT && e != ENOTDIR) return e == EACCES ? ERROR_ACCESS_DENIED : CRYPT_E_FILE_ERROR;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR)
      return errno == EACCES ? ERROR_ACCESS_DENIED : CRYPT_E_FILE_ERROR;
    out = std::make_shared<Snapshot>();
    return 0;
  }
  SnapPtr before = cached(path);
  if (before && before->id == FileId(st)) {
    out = before;
    return 0;
  }
  int fd = open_private(path);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      out = std::make_shared<Snapshot>();
      return 0;
    }
    return errno == EACCES ? ERROR_ACCESS_DENIED : CRYPT_E_FILE_ERROR;
  }
  struct stat st0, st1;
  Bytes raw;
  bool read_ok = fstat(fd, &st0) == 0 && read_fd(fd, kMaxFile, raw) == 0 && fstat(fd, &st1) == 0;
  close(fd);
  if (!read_ok) return CRYPT_E_FILE_ERROR;
  auto snap = std::make_shared<Snapshot>();
  snap->missing = false;
  snap->id = FileId(st1);
  if (LONG rc = parse_store(raw, before.get(), *snap)) return rc;
  // Kept only when no change raced with the read.
  if (FileId(st0) == FileId(st1) && size_t(st1.st_size) == raw.size()) remember(path, snap);
  out = std::move(snap);
  return 0;
}

LONG file_error(LONG rc) { return rc == NTE_PERM ? ERROR_ACCESS_DENIED : rc ? CRYPT_E_FILE_ERROR : 0; }

// Writes the file anew with `entries` (under the directory lock). Entries
// of an older writer get their seal, so that the file can be appended to.
LONG rewrite(const std::string& path, std::vector<EntryPtr> entries) {
  Bytes raw(kMagic, kMagic + sizeof kMagic);
  for (auto& e : entries) {
    if (!e->sealed) {
      auto s = std::make_shared<FileEntry>(*e);
      seal(s->data);
      s->sealed = true;
      e = std::move(s);
    }
    put32(raw, DWORD(e->data.size()));
    raw.insert(raw.end(), e->data.begin(), e->data.end());
  }
  if (raw.size() > kMaxFile) return CRYPT_E_FILE_ERROR;
  if (LONG rc = write_atomically(path, raw)) return file_error(rc);
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    auto snap = std::make_shared<Snapshot>();
    snap->missing = false;
    snap->id = FileId(st);
    snap->valid = raw.size();
    for (auto& e : entries) snap->add(std::move(e));
    remember(path, std::move(snap));
  }
  return 0;
}

// Appends one entry to the file of `snap` (under the directory lock), first
// cutting off the tail of an append that did not finish. False when the
// file is no longer the one of `snap` (nothing written).
LONG append_entry(const std::string& path, const Snapshot& snap, const EntryPtr& e, bool& done) {
  done = false;
  Bytes rec;
  put32(rec, DWORD(e->data.size()));
  rec.insert(rec.end(), e->data.begin(), e->data.end());
  if (snap.valid + rec.size() > kMaxFile) return CRYPT_E_FILE_ERROR;
  // Only the file that was read (its device and inode are checked below);
  // a link planted in its place is refused.
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == EACCES || errno == ELOOP ? ERROR_ACCESS_DENIED : CRYPT_E_FILE_ERROR;
  struct stat st;
  if (fstat(fd, &st) != 0 || !(FileId(st) == snap.id)) {
    close(fd);
    return 0;
  }
  LONG rc = 0;
  if (size_t(st.st_size) != snap.valid && ftruncate(fd, off_t(snap.valid)) != 0) rc = CRYPT_E_FILE_ERROR;
  size_t put = 0;
  while (!rc && put < rec.size()) {
    ssize_t n = pwrite(fd, rec.data() + put, rec.size() - put, off_t(snap.valid + put));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) rc = errno == ENOSPC || errno == EDQUOT ? CRYPT_E_FILE_ERROR : file_error(errno_code(errno));
    else put += size_t(n);
  }
  if (!rc && fsync(fd) != 0) rc = CRYPT_E_FILE_ERROR;
  if (rc) {
    // Nothing of a failed append may stay for a later append to follow.
    if (ftruncate(fd, off_t(snap.valid)) == 0) fsync(fd);
    close(fd);
    return rc;
  }
  done = true;
  if (fstat(fd, &st) == 0) {
    auto next = std::make_shared<Snapshot>(snap);
    next->id = FileId(st);
    next->valid = snap.valid + rec.size();
    next->add(e);
    remember(path, std::move(next));
  }
  close(fd);
  return 0;
}

// The file entry of a certificate as it is written.
EntryPtr entry_of(Cert& c) {
  auto e = std::make_shared<FileEntry>();
  e->data = encode_entry(c);
  Known known{{view_of(c.der), c.core}};
  if (decode_entry(e->data.data(), e->data.size(), e->proto, &known)) return nullptr;
  e->sealed = true;
  return e;
}

std::string dir_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

void append(Store& s, const std::shared_ptr<Cert>& c) {
  c->store = s.handle;
  c->ctx.hCertStore = reinterpret_cast<HCERTSTORE>(s.handle);
  c->seq = s.next_seq++;
  s.push(c);
}

// Certificates of a file: DER, PEM with one or many, PKCS#7 in DER or PEM.
LONG parse_file_certs(const Bytes& raw, std::vector<Bytes>& out) {
  auto from_pkcs7 = [&](const BYTE* p, size_t n) -> LONG {
    const unsigned char* q = p;
    PKCS7* p7 = d2i_PKCS7(nullptr, &q, long(n));
    if (!p7) return CRYPT_E_ASN1_CORRUPT;
    STACK_OF(X509)* certs = nullptr;
    if (PKCS7_type_is_signed(p7) && p7->d.sign) certs = p7->d.sign->cert;
    for (int i = 0; certs && i < sk_X509_num(certs); ++i) {
      unsigned char* der = nullptr;
      int len = i2d_X509(sk_X509_value(certs, i), &der);
      if (len > 0) out.emplace_back(der, der + len);
      OPENSSL_free(der);
    }
    PKCS7_free(p7);
    return 0;
  };
  if (raw.empty()) return 0;
  static const char kPem[] = "-----BEGIN ";
  if (std::search(raw.begin(), raw.end(), kPem, kPem + sizeof kPem - 1) != raw.end()) {
    BIO* bio = BIO_new_mem_buf(raw.data(), int(raw.size()));
    if (!bio) return E_OUTOFMEMORY;
    LONG rc = 0;
    for (;;) {
      char* name = nullptr;
      char* header = nullptr;
      unsigned char* data = nullptr;
      long len = 0;
      if (PEM_read_bio(bio, &name, &header, &data, &len) != 1) break;
      if (!strcmp(name, "CERTIFICATE") || !strcmp(name, "X509 CERTIFICATE")) {
        out.emplace_back(data, data + len);
      } else if (!strcmp(name, "PKCS7") || !strcmp(name, "CERTIFICATE CHAIN")) {
        rc = from_pkcs7(data, size_t(len));
      }
      OPENSSL_free(name);
      OPENSSL_free(header);
      OPENSSL_free(data);
      if (rc) break;
    }
    BIO_free(bio);
    ERR_clear_error();
    return rc;
  }
  if (raw[0] != 0x30) return CRYPT_E_ASN1_BADTAG;
  const unsigned char* q = raw.data();
  X509* x = d2i_X509(nullptr, &q, long(raw.size()));
  if (x) {
    X509_free(x);
    out.push_back(raw);
    return 0;
  }
  return from_pkcs7(raw.data(), raw.size());
}

LONG fill_from_certs(Store& s, const std::vector<Bytes>& ders) {
  std::lock_guard<std::mutex> lock(s.mu);
  for (const auto& der : ders) {
    std::shared_ptr<Cert> c;
    if (LONG rc = make_cert(der.data(), der.size(), c)) return rc;
    if (!insert_cert(c)) return E_OUTOFMEMORY;
    append(s, c);
  }
  return 0;
}

}  // namespace

struct PendingEntries {
  SnapPtr snap;
};

std::shared_ptr<Store> open_system_store(const std::string& name_in, bool machine, bool readonly,
                                         LONG& err) {
  err = 0;
  if (name_in.empty() || name_in.size() > kMaxStoreName) {
    err = E_INVALIDARG;
    return nullptr;
  }
  std::string name = upper_ascii(name_in);
  SnapPtr snap;
  if ((err = current(store_path(machine, name), snap))) return nullptr;
  auto s = new_store();
  if (!s) {
    err = E_OUTOFMEMORY;
    return nullptr;
  }
  s->system = true;
  s->machine = machine;
  s->name = name;
  s->readonly = readonly;
  std::lock_guard<std::mutex> lock(s->mu);
  if (!snap->entries.empty()) {
    s->pending = std::make_shared<PendingEntries>(PendingEntries{snap});
    s->next_seq = snap->entries.size() + 1;
  }
  return s;
}

void fill_pending(Store& s) {
  if (!s.pending) return;
  const auto& entries = s.pending->snap->entries;
  std::vector<std::shared_ptr<Cert>> certs;
  std::vector<uint64_t> names;
  certs.reserve(entries.size() + s.certs.size());
  names.reserve(entries.size() + s.certs.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    auto c = new_cert(entries[i]->proto->core);
    copy_props(*entries[i]->proto, *c, false);
    if (!insert_cert(c)) {
      for (auto& made : certs) handle_release(made->handle, Kind::Cert);
      throw std::bad_alloc();
    }
    c->store = s.handle;
    c->ctx.hCertStore = reinterpret_cast<HCERTSTORE>(s.handle);
    c->seq = i + 1;
    names.push_back(Store::name_of(*c));
    certs.push_back(std::move(c));
  }
  certs.insert(certs.end(), s.certs.begin(), s.certs.end());
  names.insert(names.end(), s.names.begin(), s.names.end());
  s.certs.swap(certs);
  s.names.swap(names);
  s.pending.reset();
}

LONG persist_put(Store& s, Cert& c) {
  if (!s.system) return 0;
  EntryPtr entry = entry_of(c);
  if (!entry) return CRYPT_E_FILE_ERROR;
  std::string path = store_path(s.machine, s.name);
  DirLock lock(dir_of(path));
  if (LONG rc = make_dirs(dir_of(path))) return file_error(rc);
  SnapPtr snap;
  if (LONG rc = current(path, snap)) return rc;
  const auto& now = snap->entries;
  if (snap->find(c.der) == now.size() && !now.empty() && now.back()->sealed) {
    bool done = false;
    if (LONG rc = append_entry(path, *snap, entry, done)) return rc;
    if (done) return 0;
    if (LONG rc = current(path, snap)) return rc;  // changed under the lock: not by a writer of ours
  }
  std::vector<EntryPtr> entries = snap->entries.all();
  size_t at = snap->find(c.der);
  if (at != entries.size()) {
    entries[at] = entry;
  } else {
    entries.push_back(entry);
  }
  return rewrite(path, std::move(entries));
}

LONG persist_remove(Store& s, const Cert& c) {
  if (!s.system) return 0;
  std::string path = store_path(s.machine, s.name);
  DirLock lock(dir_of(path));
  if (LONG rc = make_dirs(dir_of(path))) return file_error(rc);
  SnapPtr snap;
  if (LONG rc = current(path, snap)) return rc;
  std::vector<EntryPtr> entries = snap->entries.all();
  auto it = std::find_if(entries.begin(), entries.end(),
                         [&](const EntryPtr& e) { return e->proto->der == c.der; });
  if (it != entries.end()) entries.erase(it);
  return rewrite(path, std::move(entries));
}

LONG add_cert(Store& s, const std::shared_ptr<Cert>& src, DWORD disposition, PCCERT_CONTEXT* pp) {
  if (pp) *pp = nullptr;
  if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES)
    return E_INVALIDARG;
  if (s.readonly) return ERROR_ACCESS_DENIED;
  std::lock_guard<std::mutex> lock(s.mu);
  std::shared_ptr<Cert> existing;
  size_t pos = 0;
  if (s.pending && disposition != CERT_STORE_ADD_ALWAYS) {
    // Pending entries are made certificates only when one is this one.
    const Snapshot& snap = *s.pending->snap;
    if (snap.find(src->der) != snap.entries.size()) fill_pending(s);
  }
  if (disposition != CERT_STORE_ADD_ALWAYS) {
    for (size_t i = 0; i < s.certs.size(); ++i) {
      if (s.certs[i]->der == src->der) {
        existing = s.certs[i];
        pos = i;
        break;
      }
    }
  }
  bool inherit = disposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES ||
                 disposition == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES;
  if (existing) {
    switch (disposition) {
      case CERT_STORE_ADD_NEW:
        return CRYPT_E_EXISTS;
      case CERT_STORE_ADD_USE_EXISTING: {
        if (existing != src) copy_props(*src, *existing, true);
        if (LONG rc = persist_put(s, *existing)) return rc;
        if (pp && !(*pp = give(existing))) return E_OUTOFMEMORY;
        return 0;
      }
      case CERT_STORE_ADD_NEWER:
      case CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES: {
        auto ft = [](const FILETIME& f) { return uint64_t(f.dwHighDateTime) << 32 | f.dwLowDateTime; };
        if (ft(src->info.NotBefore) <= ft(existing->info.NotBefore)) return CRYPT_E_EXISTS;
        break;
      }
      default:
        break;
    }
  }
  std::shared_ptr<Cert> e = new_cert(src->core);
  copy_props(*src, *e, false);
  if (existing && inherit) copy_props(*existing, *e, true);
  if (!insert_cert(e)) return E_OUTOFMEMORY;
  e->store = s.handle;
  e->ctx.hCertStore = reinterpret_cast<HCERTSTORE>(s.handle);
  if (LONG rc = persist_put(s, *e)) {
    handle_release(e->handle, Kind::Cert);
    return rc;
  }
  if (existing) {
    e->seq = existing->seq;
    s.put(pos, e);
    handle_release(existing->handle, Kind::Cert);  // the store's reference
  } else {
    e->seq = s.next_seq++;
    s.push(e);
  }
  if (pp && !(*pp = give(e))) return E_OUTOFMEMORY;
  return 0;
}

}  // namespace csp::cert

using namespace csp;
using namespace csp::cert;

namespace {

std::shared_ptr<Store> store_of(HCERTSTORE h) {
  return handle_get<Store>(reinterpret_cast<uintptr_t>(h));
}

HCERTSTORE handle_of(const std::shared_ptr<Store>& s) {
  return reinterpret_cast<HCERTSTORE>(s->handle);
}

bool provider_is(LPCSTR p, LPCSTR number, const char* name) {
  if (p == number) return true;
  return reinterpret_cast<uintptr_t>(p) > 0xFFFF && strcasecmp(p, name) == 0;
}

// A memory store of the certificates of a file's bytes.
HCERTSTORE store_from_bytes(const Bytes& raw, bool readonly) {
  std::vector<Bytes> ders;
  if (LONG rc = parse_file_certs(raw, ders)) return fail_null(rc);
  auto s = new_store();
  if (!s) return fail_null(E_OUTOFMEMORY);
  if (LONG rc = fill_from_certs(*s, ders)) {
    release_store(s->handle);
    return fail_null(rc);
  }
  s->readonly = readonly;
  return handle_of(s);
}

HCERTSTORE open_file_store(const std::string& path) {
  Bytes raw;
  bool missing;
  if (LONG rc = read_all(path, raw, missing)) return fail_null(rc);
  return store_from_bytes(raw, true);
}

HCERTSTORE open_system(const std::string& name, DWORD flags) {
  DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
  if (location != 0 && location != CERT_SYSTEM_STORE_CURRENT_USER &&
      location != CERT_SYSTEM_STORE_LOCAL_MACHINE)
    return fail_null(E_INVALIDARG);
  bool machine = location == CERT_SYSTEM_STORE_LOCAL_MACHINE;
  if (name.empty() || name.size() > kMaxStoreName) return fail_null(E_INVALIDARG);
  std::string path = store_path(machine, upper_ascii(name));
  if (flags & CERT_STORE_DELETE_FLAG) {
    std::string dir = path.substr(0, path.rfind('/'));
    DirLock lock(dir);
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return fail_null(ERROR_ACCESS_DENIED);
    return fail_null(0);  // deleted: no store and no error
  }
  if (flags & CERT_STORE_OPEN_EXISTING_FLAG) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return fail_null(ERROR_FILE_NOT_FOUND);
  }
  LONG err;
  auto s = open_system_store(name, machine, flags & CERT_STORE_READONLY_FLAG, err);
  if (!s) return fail_null(err);
  return handle_of(s);
}

// Case-insensitive containment of wide text.
bool contains_ci(const std::wstring& hay, const std::wstring& needle) {
  auto low = [](std::wstring s) {
    for (auto& ch : s) ch = wchar_t(std::towlower(wint_t(ch)));
    return s;
  };
  return low(hay).find(low(needle)) != std::wstring::npos;
}

bool blob_is(const CRYPT_DATA_BLOB& a, const CRYPT_DATA_BLOB* b) {
  return b && a.cbData == b->cbData && (a.cbData == 0 || memcmp(a.pbData, b->pbData, a.cbData) == 0);
}

// Whether `c` matches the find type; *bad when the type is not supported.
bool matches(Cert& c, DWORD type, const void* para, bool& bad) {
  X509* x = c.x509.get();
  switch (type) {
    case CERT_FIND_ANY:
      return true;
    case CERT_FIND_EXISTING: {
      auto other = resolve(static_cast<PCCERT_CONTEXT>(para));
      if (!other) {
        bad = true;
        return false;
      }
      return other->der == c.der;
    }
    case CERT_FIND_SHA1_HASH:
    case CERT_FIND_MD5_HASH: {
      const auto* b = static_cast<const CRYPT_HASH_BLOB*>(para);
      if (!b) {
        bad = true;
        return false;
      }
      Bytes d = digest_of(c, type == CERT_FIND_SHA1_HASH ? "SHA1" : "MD5");
      return b->cbData == d.size() && memcmp(b->pbData, d.data(), d.size()) == 0;
    }
    case CERT_FIND_SUBJECT_NAME:
      return blob_is(c.info.Subject, static_cast<const CERT_NAME_BLOB*>(para));
    case CERT_FIND_ISSUER_NAME:
      return blob_is(c.info.Issuer, static_cast<const CERT_NAME_BLOB*>(para));
    case CERT_FIND_SUBJECT_STR_A:
    case CERT_FIND_ISSUER_STR_A:
    case CERT_FIND_SUBJECT_STR_W:
    case CERT_FIND_ISSUER_STR_W: {
      if (!para) {
        bad = true;
        return false;
      }
      std::wstring needle = (type == CERT_FIND_SUBJECT_STR_A || type == CERT_FIND_ISSUER_STR_A)
                                ? widen(static_cast<const char*>(para), CP_ACP)
                                : std::wstring(static_cast<const wchar_t*>(para));
      bool subject = type == CERT_FIND_SUBJECT_STR_A || type == CERT_FIND_SUBJECT_STR_W;
      return contains_ci(x500_text(subject ? X509_get_subject_name(x) : X509_get_issuer_name(x)),
                         needle);
    }
    case CERT_FIND_PROPERTY: {
      if (!para) {
        bad = true;
        return false;
      }
      DWORD id;
      memcpy(&id, para, sizeof id);
      DWORD len = 0;
      return CertGetCertificateContextProperty(&c.ctx, id, nullptr, &len) != FALSE;
    }
    case CERT_FIND_KEY_SPEC: {
      if (!para) {
        bad = true;
        return false;
      }
      DWORD want, have = 0, len = sizeof have;
      memcpy(&want, para, sizeof want);
      return CertGetCertificateContextProperty(&c.ctx, CERT_KEY_SPEC_PROP_ID, &have, &len) &&
             have == want;
    }
    case CERT_FIND_PUBLIC_KEY: {
      const auto* k = static_cast<const CERT_PUBLIC_KEY_INFO*>(para);
      if (!k) {
        bad = true;
        return false;
      }
      const auto& mine = c.info.SubjectPublicKeyInfo.PublicKey;
      return mine.cbData == k->PublicKey.cbData &&
             memcmp(mine.pbData, k->PublicKey.pbData, mine.cbData) == 0;
    }
    case CERT_FIND_SUBJECT_CERT: {
      const auto* ci = static_cast<const CERT_INFO*>(para);
      if (!ci) {
        bad = true;
        return false;
      }
      return blob_is(c.info.Issuer, &ci->Issuer) && blob_is(c.info.SerialNumber, &ci->SerialNumber);
    }
    case CERT_FIND_ISSUER_OF: {
      auto subject = resolve(static_cast<PCCERT_CONTEXT>(para));
      if (!subject) {
        bad = true;
        return false;
      }
      return X509_check_issued(x, subject->x509.get()) == X509_V_OK;
    }
    default:
      bad = true;
      return false;
  }
}

}  // namespace

extern "C" CSPAPI HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                                  HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags,
                                                  const void* pvPara) {
  CSP_ENTRY;
  (void)dwEncodingType;
  (void)hCryptProv;
  return guarded_value<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
    if (provider_is(lpszStoreProvider, CERT_STORE_PROV_MEMORY, sz_CERT_STORE_PROV_MEMORY)) {
      auto s = new_store();
      if (!s) return fail_null(E_OUTOFMEMORY);
      s->readonly = dwFlags & CERT_STORE_READONLY_FLAG;
      return handle_of(s);
    }
    if (lpszStoreProvider == CERT_STORE_PROV_FILENAME_A ||
        lpszStoreProvider == CERT_STORE_PROV_FILENAME_W) {
      // File stores are read: changes are never written back to the file.
      if (!pvPara) return fail_null(E_INVALIDARG);
      std::string path = lpszStoreProvider == CERT_STORE_PROV_FILENAME_A
                             ? std::string(static_cast<const char*>(pvPara))
                             : narrow(static_cast<const wchar_t*>(pvPara), CP_UTF8);
      return open_file_store(path);
    }
    if (lpszStoreProvider == CERT_STORE_PROV_PKCS7) {
      const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvPara);
      if (!blob || (blob->cbData && !blob->pbData)) return fail_null(E_INVALIDARG);
      Bytes raw(blob->pbData, blob->pbData + blob->cbData);
      return store_from_bytes(raw, dwFlags & CERT_STORE_READONLY_FLAG);
    }
    if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A ||
        provider_is(lpszStoreProvider, CERT_STORE_PROV_SYSTEM_W, sz_CERT_STORE_PROV_SYSTEM)) {
      if (!pvPara) return fail_null(E_INVALIDARG);
      std::string name = lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A
                             ? std::string(static_cast<const char*>(pvPara))
                             : narrow(static_cast<const wchar_t*>(pvPara), CP_UTF8);
      return open_system(name, dwFlags);
    }
    return fail_null(ERROR_FILE_NOT_FOUND);  // no such store provider
  });
}

extern "C" CSPAPI HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv,
                                                         LPCSTR szSubsystemProtocol) {
  CSP_ENTRY;
  (void)hProv;
  return guarded_value<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
    if (!szSubsystemProtocol) return fail_null(E_INVALIDARG);
    return open_system(szSubsystemProtocol, CERT_SYSTEM_STORE_CURRENT_USER);
  });
}

extern "C" CSPAPI HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE hCertStore) {
  CSP_ENTRY;
  return guarded_value<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
    if (!handle_add_ref(reinterpret_cast<uintptr_t>(hCertStore), Kind::Store))
      return fail_null(E_INVALIDARG);
    return hCertStore;
  });
}

extern "C" CSPAPI BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (!hCertStore) return TRUE;
    uintptr_t h = reinterpret_cast<uintptr_t>(hCertStore);
    // Contexts still held keep the store alive (also with the force flag:
    // freeing them under their holders would leave dangling pointers).
    if (!release_store(h)) return fail(E_INVALIDARG);
    if ((dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) && handle_lookup(h, Kind::Store))
      return fail(CRYPT_E_PENDING_CLOSE);
    return TRUE;
  });
}

namespace {

// Enumeration and find: the first certificate after `prev` that matches;
// `prev` is freed in every case.
PCCERT_CONTEXT next_match(HCERTSTORE h, PCCERT_CONTEXT prev, DWORD type, const void* para) {
  auto s = store_of(h);
  uint64_t after = 0;
  uintptr_t owner = 0;
  if (prev) {
    if (!take_back_prev(prev, after, owner)) return fail_null(E_INVALIDARG);
    if (!s || owner != s->handle) return fail_null(E_INVALIDARG);
  }
  if (!s) return fail_null(E_INVALIDARG);
  std::vector<std::shared_ptr<Cert>> candidates;
  {
    // The list is in the order of seq: the certificates after `prev` start
    // where seq first exceeds its seq. Enumerating takes the first of them.
    std::lock_guard<std::mutex> lock(s->mu);
    fill_pending(*s);
    auto from = std::partition_point(s->certs.begin(), s->certs.end(),
                                     [&](const std::shared_ptr<Cert>& c) { return c->seq <= after; });
    auto to = type == CERT_FIND_ANY && from != s->certs.end() ? from + 1 : s->certs.end();
    candidates.assign(from, to);
  }
  for (auto& c : candidates) {
    bool bad = false;
    bool m = matches(*c, type, para, bad);
    if (bad) return fail_null(E_INVALIDARG);
    if (m) {
      PCCERT_CONTEXT out = give(c);
      return out ? out : fail_null(E_OUTOFMEMORY);
    }
  }
  return fail_null(CRYPT_E_NOT_FOUND);
}

}  // namespace

extern "C" CSPAPI PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                                    PCCERT_CONTEXT prev) {
  CSP_ENTRY;
  return guarded_value<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    return next_match(hCertStore, prev, CERT_FIND_ANY, nullptr);
  });
}

extern "C" CSPAPI PCCERT_CONTEXT WINAPI CertFindCertificateInStore(
    HCERTSTORE hCertStore, DWORD dwCertEncodingType, DWORD dwFindFlags, DWORD dwFindType,
    const void* pvFindPara, PCCERT_CONTEXT prev) {
  CSP_ENTRY;
  (void)dwCertEncodingType;
  (void)dwFindFlags;
  return guarded_value<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    return next_match(hCertStore, prev, dwFindType, pvFindPara);
  });
}

extern "C" CSPAPI BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore,
                                                               PCCERT_CONTEXT pCertContext,
                                                               DWORD dwAddDisposition,
                                                               PCCERT_CONTEXT* ppStoreContext) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (ppStoreContext) *ppStoreContext = nullptr;
    auto s = store_of(hCertStore);
    auto c = resolve(pCertContext);
    if (!s || !c) return fail(E_INVALIDARG);
    if (LONG rc = add_cert(*s, c, dwAddDisposition, ppStoreContext)) return fail(rc);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore,
                                                               DWORD dwCertEncodingType,
                                                               const BYTE* pbCertEncoded,
                                                               DWORD cbCertEncoded,
                                                               DWORD dwAddDisposition,
                                                               PCCERT_CONTEXT* ppCertContext) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (ppCertContext) *ppCertContext = nullptr;
    auto s = store_of(hCertStore);
    if (!s) return fail(E_INVALIDARG);
    if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING)
      return fail(E_INVALIDARG);
    std::shared_ptr<Cert> c;
    if (LONG rc = make_cert(pbCertEncoded, cbCertEncoded, c)) return fail(rc);
    if (LONG rc = add_cert(*s, c, dwAddDisposition, ppCertContext)) return fail(rc);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto c = resolve(pCertContext);
    if (!c) return fail(E_INVALIDARG);
    LONG rc = 0;
    if (auto s = handle_get<Store>(c->store)) {
      std::lock_guard<std::mutex> lock(s->mu);
      fill_pending(*s);
      auto it = std::find(s->certs.begin(), s->certs.end(), c);
      if (s->readonly) {
        rc = ERROR_ACCESS_DENIED;
      } else if (it != s->certs.end() && !(rc = persist_remove(*s, *c))) {
        s->erase(size_t(it - s->certs.begin()));
        handle_release(c->handle, Kind::Cert);  // the store's reference
      }
    }
    take_back(*c);  // the caller's context, whatever happened
    return rc ? fail(rc) : TRUE;
  });
}
