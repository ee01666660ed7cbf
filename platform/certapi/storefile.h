// The file of a system store, apart from what a store does with it.
//
// A system store is one file, <data root>/stores/<NAME>.sst (mode 0600): the
// magic, then one length-prefixed entry per certificate. An entry is
// records (tag, length, bytes): the certificate, each property, the key
// provider information, the key context as what acquires it again, and last
// a seal, the CRC-32 of the entry's bytes before it. Readers skip records
// they do not know.
//
// A change is applied under the stores directory's lock to the file as it is
// then on disk, not to a store's copy, so two processes changing one store
// keep both changes. A certificate new to the file is appended (written,
// then fsync), and removing the last entry cuts it off again (ftruncate,
// then fsync) when the entry before it is sealed; any other change writes
// the file anew (atomically), every entry sealed. After a sealed entry, a
// last entry that runs past the end of the file, or that does not decode
// and ends with the file, or bytes that are all zero, are the tail of an
// append that did not finish: reading ignores it and the next change cuts
// it off. A file whose last entry is not sealed (one of an older writer) is
// never appended to: that change writes the file anew.
//
// The files as read are cached for the process: the entries with their
// certificates parsed, keyed by path and checked against the file's device,
// inode, size and change times at every open, so a file another process
// changed is read again, and this process's own changes update the cache as
// they are written. Opening a store whose file did not change parses nothing.
#ifndef CSP_CERTAPI_STOREFILE_H
#define CSP_CERTAPI_STOREFILE_H

#include <sys/stat.h>

#include <string_view>

#include "certobj.h"

namespace csp::cert {

inline constexpr char kStoreMagic[8] = {'Q', 'C', 'S', 'P', 'S', 'T', '0', '1'};
// The largest store file read or written (and file store read).
inline constexpr size_t kMaxStoreFile = 64 * 1024 * 1024;

inline std::string_view view_of(const Bytes& b) {
  return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
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

// The entries of a file in chunks shared between a snapshot and the one an
// append makes of it: an append copies the list of chunks and the last
// chunk, not every entry. Each chunk keeps the hashes of its entries'
// certificate encodings side by side, so that a look-up reads them without
// visiting every entry.
class EntryList {
 public:
  size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  const EntryPtr& operator[](size_t i) const { return chunks_[i / kChunk]->entries[i % kChunk]; }
  const EntryPtr& back() const { return (*this)[n_ - 1]; }
  void push_back(EntryPtr e);
  void pop_back();
  std::vector<EntryPtr> all() const;
  // The entry of a certificate encoding, or size().
  size_t find(const Bytes& der) const;

 private:
  static constexpr size_t kChunk = 256;
  struct Chunk {
    std::vector<EntryPtr> entries;
    std::vector<size_t> hashes;
  };
  std::vector<std::shared_ptr<Chunk>> chunks_;
  size_t n_ = 0;
};

// A store file as read: its entries, and how many of its bytes hold them
// (less than the file when it ends in the tail of an unfinished append).
struct Snapshot {
  bool missing = true;
  FileId id;
  size_t valid = sizeof kStoreMagic;
  EntryList entries;
  // The entry of a certificate encoding, or entries.size().
  size_t find(const Bytes& der) const { return entries.find(der); }
};
using SnapPtr = std::shared_ptr<const Snapshot>;

// The file of the system store `name` (upper case) of the user or machine.
std::string store_file_path(bool machine, const std::string& name);
// The file as it is now, from the cache when it did not change; a missing
// file is an empty snapshot. 0, ERROR_ACCESS_DENIED or CRYPT_E_FILE_ERROR.
LONG read_store_file(const std::string& path, SnapPtr& out);
// Writes the entry of `c` (caller holds no certificate's lock): appended
// when the file has none of its encoding, else the file is written anew.
LONG write_store_entry(const std::string& path, Cert& c);
// Writes the file anew without the entry of `der`.
LONG remove_store_entry(const std::string& path, const Bytes& der);
// Removes the file (CERT_STORE_DELETE_FLAG): 0 or ERROR_ACCESS_DENIED.
LONG delete_store_file(const std::string& path);

}  // namespace csp::cert

#endif
