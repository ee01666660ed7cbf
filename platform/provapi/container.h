// Key containers kept on disk.
//
// A container is one file, named after a digest of the container's name, in
// the user's or the machine's key directory. The file is a sequence of
// tagged records (see container.cpp); every change is written to a fresh
// temporary file with mode 0600 and renamed over the old one, under an
// advisory lock, so readers never see a half-written container and two
// processes never lose each other's changes.
#ifndef CSP_PROVAPI_CONTAINER_H
#define CSP_PROVAPI_CONTAINER_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "csp/wincrypt.h"

namespace csp::prov {

// A key pair kept in a container under its key specification.
struct StoredKey {
  ALG_ID alg = 0;
  DWORD flags = 0;              // CRYPT_EXPORTABLE and friends
  std::vector<BYTE> material;   // encoded private key, as the key module writes it
};

struct ContainerData {
  std::string name;                          // as given to CryptAcquireContextA
  std::map<DWORD, StoredKey> keys;           // by AT_KEYEXCHANGE / AT_SIGNATURE
  std::map<DWORD, std::vector<BYTE>> extra;  // further records by tag, kept as they are
  ~ContainerData();                          // wipes key material
};

class ContainerStore {
 public:
  // The key directory of the user or of the machine. QUILL_CSP_ROOT moves
  // both under one directory (users/<uid> and machine).
  static std::string directory(bool machine);
  // Stable identifier of a container name: the file's base name.
  static std::string unique_name(const std::string& name);

  // Each returns 0 or the NTE_* / Win32 code to report.
  static LONG create(bool machine, const std::string& name);
  static LONG remove(bool machine, const std::string& name);
  static LONG exists(bool machine, const std::string& name);  // 0 or NTE_BAD_KEYSET
  static LONG load(bool machine, const std::string& name, ContainerData& out);
  // Reads, changes and writes back a container under the lock.
  static LONG update(bool machine, const std::string& name,
                     const std::function<LONG(ContainerData&)>& change);
  // Names of all containers in the directory, sorted.
  static std::vector<std::string> list(bool machine);
};

// The name used when a caller gives none: the login name of the process.
std::string default_container_name();

}  // namespace csp::prov

#endif
