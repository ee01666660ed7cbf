// Files the CSP libraries keep on disk: directories made 0700, files written
// anew (a temporary file with mode 0600, fsync, rename over the old name,
// fsync of the directory) and a lock serialising the changes of one
// directory across threads (a mutex) and processes (flock).
#ifndef CSP_ATOMICFILE_H
#define CSP_ATOMICFILE_H

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <string.h>
#include <unistd.h>

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

// mkdir -p with 0700 for each directory it creates.
inline LONG make_dirs(const std::string& dir) {
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    cur = dir.substr(0, pos);
    if (cur.empty()) continue;
    if (mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) return errno_code(errno);
  }
  return 0;
}

// Reads the rest of an open file; 0, the errno of a failed read, or EFBIG
// when it holds more than `max` bytes. The read buffer is wiped.
inline int read_fd(int fd, size_t max, std::vector<BYTE>& out) {
  BYTE buf[8192];
  int rc = 0;
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
inline LONG write_atomically(const std::string& path, const std::vector<BYTE>& data) {
  std::string dir = path.substr(0, path.rfind('/'));
  std::string tmp = path + ".tmp." + std::to_string(getpid()) + "." +
                    std::to_string(reinterpret_cast<uintptr_t>(&data));
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno_code(errno);
  LONG rc = write_all(fd, data);
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

// Serialises changes to the files of one directory: a process-wide
// mutex for the threads of this process, flock for other processes.
class DirLock {
 public:
  explicit DirLock(const std::string& dir) : guard_(mutex()) {
    if (make_dirs(dir) != 0) return;
    std::string lock = dir + "/.lock";
    fd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // A lock file this user may not write (the machine key directory's
    // belongs to root) is locked through a read-only descriptor: flock
    // needs none, and going on unlocked would let processes lose each
    // other's changes.
    if (fd_ < 0 && errno == EACCES) fd_ = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ >= 0) {
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
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

inline std::string home_dir() {
  const char* h = std::getenv("HOME");
  if (h && *h) return h;
  struct passwd pw;
  struct passwd* res = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir)
    return res->pw_dir;
  return "/tmp";
}


// Where the CSP keeps its files of one kind ("keys", "stores"), for the user
// or the machine. QUILL_CSP_ROOT moves them under one directory: the keys
// into users/<uid> and machine, every other kind into a subdirectory there.
inline std::string data_dir(bool machine, const std::string& kind) {
  const char* root = std::getenv("QUILL_CSP_ROOT");
  if (root && *root) {
    std::string base = machine ? std::string(root) + "/machine"
                               : std::string(root) + "/users/" + std::to_string(geteuid());
    return kind == "keys" ? base : base + "/" + kind;
  }
  if (machine) return "/var/opt/quill/csp/" + kind;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base = xdg && *xdg ? std::string(xdg) : home_dir() + "/.local/share";
  return base + "/quill-csp/" + kind;
}

}  // namespace csp

#endif
