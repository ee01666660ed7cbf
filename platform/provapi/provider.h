// The provider context object and what the other modules of libprovapi share.
#ifndef CSP_PROVAPI_PROVIDER_H
#define CSP_PROVAPI_PROVIDER_H

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "container.h"
#include "csp/handles.h"
#include "csp/wincrypt.h"

namespace csp::prov {

// The RSA and AES provider, also offered as PROV_RSA_FULL under a name of its
// own (the same algorithms; PP_PROVTYPE answers the type acquired); the GOST
// provider types are in gost.h.
extern const char* const kProviderName;
extern const char* const kRsaFullProviderName;
constexpr DWORD kProviderType = PROV_RSA_AES;
constexpr DWORD kProviderVersion = 0x0200;  // PP_VERSION: major 2, minor 0

// A password held in memory only as long as needed; wiped when it goes.
struct SecretString {
  std::string value;
  SecretString() = default;
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;
  ~SecretString() { clear(); }
  void clear() {
    if (!value.empty()) OPENSSL_cleanse(&value[0], value.size());
    value.clear();
  }
};

// A container that lives in memory only: the keys of a PFX import that must
// not be persisted. It is never written, never listed, and goes with the
// last context (and so the last key) that refers to it.
struct MemoryContainer {
  std::mutex mu;  // a leaf: nothing else is taken while it is held
  ContainerData data;
};

class Provider : public Object {
 public:
  static constexpr Kind kKind = Kind::Prov;
  Provider() : Object(kKind) {}

  DWORD type = kProviderType;
  bool verify_only = false;   // CRYPT_VERIFYCONTEXT: no container
  bool machine = false;       // CRYPT_MACHINE_KEYSET
  bool silent = false;        // CRYPT_SILENT: never prompt
  std::string container;      // container name, empty when verify_only
  // Set for a container kept in memory only (csp_acquire_memory_container);
  // otherwise the container is the file ContainerStore keeps.
  std::shared_ptr<MemoryContainer> memory;

  // The container's records as they are now, and a change applied to them
  // (written back only when `change` returns 0), on disk or in memory.
  LONG load_container(ContainerData& out) const;
  LONG update_container(const std::function<LONG(ContainerData&)>& change) const;

  // Mutable per-context state (enumeration cursors and the like).
  std::mutex mu;
  bool enum_containers_loaded = false;
  size_t enum_containers_pos = 0;
  std::vector<std::string> enum_containers;
  size_t enum_algs_pos = 0;
  size_t enum_algs_ex_pos = 0;
  size_t enum_ext_pos = 0;

  // The container password given on this context (PP_KEYEXCHANGE_PIN or
  // PP_SIGNATURE_PIN); guarded by mu.
  bool pin_given = false;
  SecretString pin;

  // Key pairs of the container as this context loaded them, by key spec, so
  // that signing does not read and decode the container file on every call.
  // A pair stored through this context replaces its entry; `locked` pairs
  // hold the public half only until the PIN unlocks them. Guarded by mu.
  struct LoadedKey {
    ALG_ID alg = 0;
    DWORD flags = 0;
    EVP_PKEY* pkey = nullptr;  // one reference owned here
    bool locked = false;
  };
  std::map<DWORD, LoadedKey> loaded_keys;

  // PP_CONTEXT_HELD_BY_KEYS: every key handed out from the container takes
  // an API reference on this context and drops it when destroyed, so the
  // context handle stays valid as long as one of its keys does.
  std::atomic<bool> held_by_keys{false};

  // A digest context a finished hash of this context gave back, started
  // again on its digest (it holds no state of that hash), for the next hash
  // to use without allocating or starting one; null when there is none.
  // hash.cpp.
  alignas(128) std::atomic<EVP_MD_CTX*> spare_md{nullptr};
  void forget_loaded_key(DWORD spec);
  ~Provider() override;
};

// The provider parameters that provparam.cpp answers (NTE_BAD_TYPE for
// unknown ones).
BOOL get_more_prov_param(Provider& p, DWORD param, BYTE* data, DWORD* len, DWORD flags);

}  // namespace csp::prov

#endif
