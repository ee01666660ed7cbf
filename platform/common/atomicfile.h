// Files the CSP libraries keep on disk: directories made 0700, files written
// anew (a temporary file with mode 0600, fsync, rename over the old name,
// fsync of the directory) and a lock serialising the changes of one
// directory across threads (a mutex) and processes (flock). The modes are
// set exactly, whatever the umask.
//
// Key containers and system stores are secrets, so their files are opened
// only where no one else could have put or replaced them:
//  - the directory that holds them is a directory owned by this user or by
//    root, and not writable by its group or others unless it is sticky (the
//    machine key directory is root's, mode 1777: each file there stays its
//    creator's);
//  - a file is opened without following a symbolic link in its place, and
//    must then be a regular file owned by this user or by root;
//  - with no home directory (HOME unset or empty, and none in the password
//    database) a user has no key or store directory at all, rather than one
//    in a shared place such as /tmp.
// A refused file or directory reads as EACCES, which the libraries report
// as they report any file they may not open: NTE_PERM from key containers
// (CryptAcquireContext and every call that reads or changes a container),
// ERROR_ACCESS_DENIED from system stores (CertOpenStore and every call that
// changes a store). A file that is missing stays missing (ENOENT).
#ifndef CSP_ATOMICFILE_H
#define CSP_ATOMICFILE_H

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "csp/wincrypt.h"

namespace csp {

inline LONG errno_code(int e) {
  if (e == EACCES || e == EPERM || e == EROFS) return NTE_PERM;
  if (e == ENOMEM) return NTE_NO_MEMORY;
  return NTE_FAIL;
}

// mkdir -p with 0700 for each directory it creates. An empty path (a user
// without a home directory) is refused.
inline LONG make_dirs(const std::string& dir) {
  if (dir.empty()) return NTE_PERM;
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    cur = dir.substr(0, pos);
    if (cur.empty()) continue;
    if (mkdir(cur.c_str(), 0700) == 0) {
      chmod(cur.c_str(), 0700);  // the umask may have taken bits away
    } else if (errno != EEXIST) {
      return errno_code(errno);
    }
  }
  return 0;
}

inline bool trusted_owner(uid_t uid) { return uid == geteuid() || uid == 0; }

// 0 when `dir` may hold this user's secrets (see the top of this file),
// ENOENT or ENOTDIR when it is missing, EACCES when it is refused.
inline int check_private_dir(const std::string& dir) {
  if (dir.empty()) return EACCES;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (!trusted_owner(st.st_uid)) return EACCES;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) return EACCES;
  return 0;
}

inline std::string dir_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Whether the file of a private directory is there: 0, ENOENT (or ENOTDIR)
// when it is not, EACCES when the directory, or what is in the file's place
// (a symbolic link, a directory, another user's file), is refused.
inline int stat_private(const std::string& path) {
  if (int e = check_private_dir(dir_of(path))) return e;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode) || !trusted_owner(st.st_uid)) return EACCES;
  return 0;
}

// Opens the file of a private directory for reading: a descriptor, or -1
// with errno ENOENT when it is missing and EACCES when it is refused. The
// checks are made on the opened file, so nothing can be swapped in between.
inline int open_private(const std::string& path) {
  if (int e = check_private_dir(dir_of(path))) {
    errno = e;
    return -1;
  }
  // O_NONBLOCK: a FIFO in the file's place must not hang the open.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ELOOP) errno = EACCES;  // a symbolic link
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !trusted_owner(st.st_uid)) {
    close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

// Reads the rest of an open file; 0, the errno of a failed read, or EFBIG
// when it holds more than `max` bytes. The read buffer is wiped, and so is
// every block `out` outgrows (the file may hold keys).
inline int read_fd(int fd, size_t max, std::vector<BYTE>& out) {
  BYTE buf[8192];
  int rc = 0;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
      size_t(st.st_size) < max)
    out.reserve(out.size() + size_t(st.st_size) + 1);  // one more for the end-of-file read
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      rc = errno;
      break;
    }
    if (n == 0) break;
    if (out.size() + size_t(n) > max) {
      rc = EFBIG;
      break;
    }
    if (out.size() + size_t(n) > out.capacity()) {
      std::vector<BYTE> bigger;
      bigger.reserve(std::max(2 * out.capacity(), out.size() + size_t(n)));
      bigger.assign(out.begin(), out.end());
      if (!out.empty()) explicit_bzero(out.data(), out.size());
      out.swap(bigger);
    }
    out.insert(out.end(), buf, buf + n);
  }
  explicit_bzero(buf, sizeof buf);
  return rc;
}

inline LONG write_all(int fd, const std::vector<BYTE>& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno_code(errno);
    done += size_t(n);
  }
  return 0;
}

// Writes the file anew: temporary file (0600) in the same directory, fsync,
// rename over the old name, fsync of the directory.
// The directory must be one check_private_dir accepts.
inline LONG write_atomically(const std::string& path, const std::vector<BYTE>& data) {
  std::string dir = dir_of(path);
  if (int e = check_private_dir(dir)) return errno_code(e);
  std::string tmp = path + ".tmp." + std::to_string(getpid()) + "." +
                    std::to_string(reinterpret_cast<uintptr_t>(&data));
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno_code(errno);
  LONG rc = fchmod(fd, 0600) == 0 ? 0 : errno_code(errno);  // whatever the umask
  if (rc == 0) rc = write_all(fd, data);
  if (rc == 0 && fsync(fd) != 0) rc = errno_code(errno);
  if (close(fd) != 0 && rc == 0) rc = errno_code(errno);
  if (rc == 0 && rename(tmp.c_str(), path.c_str()) != 0) rc = errno_code(errno);
  if (rc != 0) {
    unlink(tmp.c_str());
    return rc;
  }
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

// Removes the temporary files of write_atomically that a writer killed
// before its rename left in `dir` (they may hold keys). Called under the
// directory's lock, when no one else can be writing one.
inline void remove_stale_temps(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (struct dirent* e = readdir(d)) {
    // <file>.tmp.<pid>.<number>
    std::string name = e->d_name;
    size_t at = name.rfind(".tmp.");
    if (at == std::string::npos || at == 0) continue;
    std::string tail = name.substr(at + 5);
    size_t dot = tail.find('.');
    if (dot == 0 || dot == std::string::npos || dot + 1 == tail.size() ||
        tail.find_first_not_of("0123456789.") != std::string::npos ||
        tail.find('.', dot + 1) != std::string::npos)
      continue;
    unlinkat(dirfd(d), e->d_name, 0);  // another user's, in a sticky directory, stays
  }
  closedir(d);
}

// Serialises changes to the files of one directory: a process-wide
// mutex for the threads of this process, flock for other processes. Once
// locked, temporary files left by killed writers are removed.
class DirLock {
 public:
  explicit DirLock(const std::string& dir) : guard_(mutex()) {
    if (make_dirs(dir) != 0) return;
    std::string lock = dir + "/.lock";
    fd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    // A lock file this user may not write (the machine key directory's
    // belongs to root) is locked through a read-only descriptor: flock
    // needs none, and going on unlocked would let processes lose each
    // other's changes.
    if (fd_ < 0 && errno == EACCES) fd_ = open(lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ >= 0) {
      int rc;
      while ((rc = flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
      }
      if (rc == 0 && check_private_dir(dir) == 0) remove_stale_temps(dir);
    }
  }
  ~DirLock() {
    if (fd_ >= 0) close(fd_);  // closing drops the flock
  }
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;

 private:
  static std::mutex& mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
  }
  std::lock_guard<std::mutex> guard_;
  int fd_ = -1;
};

// The user's home directory: HOME, else the password database's entry;
// empty when there is neither.
inline std::string home_dir() {
  const char* h = std::getenv("HOME");
  if (h && *h) return h;
  struct passwd pw;
  struct passwd* res = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir)
    return res->pw_dir;
  return std::string();
}


// Where the CSP keeps its files of one kind ("keys", "stores"), for the user
// or the machine. QUILL_CSP_ROOT moves them under one directory: the keys
// into users/<uid> and machine, every other kind into a subdirectory there.
// Empty for a user without a home directory: such a user has none.
inline std::string data_dir(bool machine, const std::string& kind) {
  const char* root = std::getenv("QUILL_CSP_ROOT");
  if (root && *root) {
    std::string base = machine ? std::string(root) + "/machine"
                               : std::string(root) + "/users/" + std::to_string(geteuid());
    return kind == "keys" ? base : base + "/" + kind;
  }
  if (machine) return "/var/opt/quill/csp/" + kind;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base = xdg && *xdg ? std::string(xdg) : home_dir();
  if (base.empty()) return base;
  return base + (xdg && *xdg ? "" : "/.local/share") + "/quill-csp/" + kind;
}

}  // namespace csp

#endif
