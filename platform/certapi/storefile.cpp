// The system store file: the records of an entry, sealing, reading a file
// (and the cache of files read), appending to it and writing it anew. What
// the file holds and when it is appended to is told in storefile.h.
#include "storefile.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "apiutil.h"
#include "atomicfile.h"

namespace csp::cert {

namespace {

constexpr size_t kMagicSize = sizeof kStoreMagic;
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
  if (c.keys.has_prov_info) {
    const ProvInfo& pi = c.keys.prov_info;
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
  if (reopen_of(c, reopen)) {
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
      ProvInfo& pi = c->keys.prov_info;
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
      c->keys.has_prov_info = true;
    } else if (tag == kTagReopen) {
      c->keys.reopen.machine = d.u32() != 0;
      c->keys.reopen.spec = d.u32();
      if (!d.ok) return CRYPT_E_FILE_ERROR;
      Bytes name = d.take(d.n);
      c->keys.reopen.container.assign(name.begin(), name.end());
      c->keys.has_reopen = true;
    } else if (tag == kTagReopenType) {
      c->keys.reopen.type = d.u32();
      if (!d.ok) return CRYPT_E_FILE_ERROR;
    }
  }
  if (!c) return CRYPT_E_FILE_ERROR;
  out = std::move(c);
  return 0;
}

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
  if (raw.size() < kMagicSize || memcmp(raw.data(), kStoreMagic, kMagicSize) != 0)
    return CRYPT_E_FILE_ERROR;
  Known known;
  if (before)
    for (size_t i = 0; i < before->entries.size(); ++i)
      known.emplace(view_of(before->entries[i]->proto->der), before->entries[i]->proto->core);
  size_t pos = kMagicSize;
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
    out.entries.push_back(std::move(e));
    pos += 4 + len;
  }
  out.valid = pos;
  return 0;
}

}  // namespace

LONG read_store_file(const std::string& path, SnapPtr& out) {
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
  bool read_ok = fstat(fd, &st0) == 0 && read_fd(fd, kMaxStoreFile, raw) == 0 && fstat(fd, &st1) == 0;
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

namespace {

LONG file_error(LONG rc) { return rc == NTE_PERM ? ERROR_ACCESS_DENIED : rc ? CRYPT_E_FILE_ERROR : 0; }

// Writes the file anew with `entries` (under the directory lock). Entries
// of an older writer get their seal, so that the file can be appended to.
LONG rewrite(const std::string& path, std::vector<EntryPtr> entries) {
  Bytes raw(kStoreMagic, kStoreMagic + kMagicSize);
  size_t total = raw.size();  // at most: an entry of an older writer gets its seal
  for (auto& e : entries) total += 4 + e->data.size() + kSealSize;
  raw.reserve(std::min(total, kMaxStoreFile));
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
  if (raw.size() > kMaxStoreFile) return CRYPT_E_FILE_ERROR;
  if (LONG rc = write_atomically(path, raw)) return file_error(rc);
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    auto snap = std::make_shared<Snapshot>();
    snap->missing = false;
    snap->id = FileId(st);
    snap->valid = raw.size();
    for (auto& e : entries) snap->entries.push_back(std::move(e));
    remember(path, std::move(snap));
  }
  return 0;
}

// Opens the file of `snap` to change it (under the directory lock); fd is -1
// when the file is no longer the one of `snap`. Only the file that was read
// (its device and inode are checked); a link planted in its place is refused.
LONG open_snapshot_file(const std::string& path, const Snapshot& snap, int& fd, struct stat& st) {
  fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == EACCES || errno == ELOOP ? ERROR_ACCESS_DENIED : CRYPT_E_FILE_ERROR;
  if (fstat(fd, &st) != 0 || !(FileId(st) == snap.id)) {
    close(fd);
    fd = -1;
  }
  return 0;
}

// Caches what the file of `snap` now holds, `valid` bytes of entries changed
// by `change`, then closes fd.
template <class Change>
void remember_changed(const std::string& path, const Snapshot& snap, int fd, size_t valid,
                      Change change) {
  struct stat st;
  if (fstat(fd, &st) == 0) {
    auto next = std::make_shared<Snapshot>(snap);
    next->id = FileId(st);
    next->valid = valid;
    change(next->entries);
    remember(path, std::move(next));
  }
  close(fd);
}

// Appends one entry to the file of `snap` (under the directory lock), first
// cutting off the tail of an append that did not finish. False when the
// file is no longer the one of `snap` (nothing written).
LONG append_entry(const std::string& path, const Snapshot& snap, const EntryPtr& e, bool& done) {
  done = false;
  Bytes rec;
  put32(rec, DWORD(e->data.size()));
  rec.insert(rec.end(), e->data.begin(), e->data.end());
  if (snap.valid + rec.size() > kMaxStoreFile) return CRYPT_E_FILE_ERROR;
  int fd;
  struct stat st;
  if (LONG rc = open_snapshot_file(path, snap, fd, st)) return rc;
  if (fd < 0) return 0;
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
  remember_changed(path, snap, fd, snap.valid + rec.size(), [&](EntryList& l) { l.push_back(e); });
  return 0;
}

// Cuts the last entry off the file of `snap` (under the directory lock); the
// caller has checked that the entry before it, if any, is sealed, so what
// stays is a file that ends with a whole entry. False when the file is no
// longer the one of `snap` (nothing changed).
LONG cut_last_entry(const std::string& path, const Snapshot& snap, bool& done) {
  done = false;
  size_t keep = snap.valid - 4 - snap.entries.back()->data.size();
  int fd;
  struct stat st;
  if (LONG rc = open_snapshot_file(path, snap, fd, st)) return rc;
  if (fd < 0) return 0;
  if (ftruncate(fd, off_t(keep)) != 0 || fsync(fd) != 0) {
    close(fd);
    return CRYPT_E_FILE_ERROR;
  }
  done = true;
  remember_changed(path, snap, fd, keep, [](EntryList& l) { l.pop_back(); });
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

}  // namespace

void EntryList::push_back(EntryPtr e) {
  if (n_ % kChunk == 0) {
    chunks_.push_back(std::make_shared<Chunk>());
    chunks_.back()->entries.reserve(kChunk);
    chunks_.back()->hashes.reserve(kChunk);
  } else if (chunks_.back().use_count() > 1) {
    chunks_.back() = std::make_shared<Chunk>(*chunks_.back());  // shared: copied first
  }
  chunks_.back()->hashes.push_back(std::hash<std::string_view>()(view_of(e->proto->der)));
  chunks_.back()->entries.push_back(std::move(e));
  ++n_;
}

void EntryList::pop_back() {
  if (chunks_.back().use_count() > 1) chunks_.back() = std::make_shared<Chunk>(*chunks_.back());
  chunks_.back()->entries.pop_back();
  chunks_.back()->hashes.pop_back();
  if (chunks_.back()->entries.empty()) chunks_.pop_back();
  --n_;
}

std::vector<EntryPtr> EntryList::all() const {
  std::vector<EntryPtr> out;
  out.reserve(n_);
  for (auto& c : chunks_) out.insert(out.end(), c->entries.begin(), c->entries.end());
  return out;
}

size_t EntryList::find(const Bytes& der) const {
  size_t h = std::hash<std::string_view>()(view_of(der));
  for (size_t k = 0; k < chunks_.size(); ++k) {
    const Chunk& c = *chunks_[k];
    for (size_t i = 0; i < c.hashes.size(); ++i)
      if (c.hashes[i] == h && c.entries[i]->proto->der == der) return k * kChunk + i;
  }
  return n_;
}

std::string store_file_path(bool machine, const std::string& name) {
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

LONG write_store_entry(const std::string& path, Cert& c) {
  EntryPtr entry = entry_of(c);
  if (!entry) return CRYPT_E_FILE_ERROR;
  DirLock lock(dir_of(path));
  if (LONG rc = make_dirs(dir_of(path))) return file_error(rc);
  SnapPtr snap;
  if (LONG rc = read_store_file(path, snap)) return rc;
  size_t at = snap->find(c.der);
  if (at == snap->entries.size() && !snap->entries.empty() && snap->entries.back()->sealed) {
    bool done = false;
    if (LONG rc = append_entry(path, *snap, entry, done)) return rc;
    if (done) return 0;
    if (LONG rc = read_store_file(path, snap)) return rc;  // changed under the lock: not by a writer of ours
    at = snap->find(c.der);
  }
  std::vector<EntryPtr> entries = snap->entries.all();
  if (at != entries.size()) {
    entries[at] = entry;
  } else {
    entries.push_back(entry);
  }
  return rewrite(path, std::move(entries));
}

LONG remove_store_entry(const std::string& path, const Bytes& der) {
  DirLock lock(dir_of(path));
  if (LONG rc = make_dirs(dir_of(path))) return file_error(rc);
  SnapPtr snap;
  if (LONG rc = read_store_file(path, snap)) return rc;
  size_t at = snap->find(der);
  size_t n = snap->entries.size();
  if (at + 1 == n && snap->entries[at]->sealed && (n == 1 || snap->entries[n - 2]->sealed)) {
    bool done = false;
    if (LONG rc = cut_last_entry(path, *snap, done)) return rc;
    if (done) return 0;
    if (LONG rc = read_store_file(path, snap)) return rc;  // changed under the lock: not by a writer of ours
    at = snap->find(der);
  }
  std::vector<EntryPtr> entries = snap->entries.all();
  if (at < entries.size()) entries.erase(entries.begin() + long(at));
  return rewrite(path, std::move(entries));
}

LONG delete_store_file(const std::string& path) {
  DirLock lock(dir_of(path));
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return ERROR_ACCESS_DENIED;
  return 0;
}

}  // namespace csp::cert
