// The provider context object and what the other modules of libprovapi share.
#ifndef CSP_PROVAPI_PROVIDER_H
#define CSP_PROVAPI_PROVIDER_H

#include <mutex>
#include <string>
#include <vector>

#include "container.h"
#include "csp/handles.h"
#include "csp/wincrypt.h"

namespace csp::prov {

// The one provider this library implements.
extern const char* const kProviderName;
constexpr DWORD kProviderType = PROV_RSA_AES;
constexpr DWORD kProviderVersion = 0x0200;  // PP_VERSION: major 2, minor 0

class Provider : public Object {
 public:
  static constexpr Kind kKind = Kind::Prov;
  Provider() : Object(kKind) {}

  DWORD type = kProviderType;
  bool verify_only = false;   // CRYPT_VERIFYCONTEXT: no container
  bool machine = false;       // CRYPT_MACHINE_KEYSET
  bool silent = false;        // CRYPT_SILENT: never prompt
  std::string container;      // container name, empty when verify_only

  // Mutable per-context state (enumeration cursors and the like).
  std::mutex mu;
  bool enum_containers_loaded = false;
  size_t enum_containers_pos = 0;
  std::vector<std::string> enum_containers;
  size_t enum_algs_pos = 0;
};

}  // namespace csp::prov

#endif
