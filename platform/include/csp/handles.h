/*
 * The handle table of the CSP libraries. Every object the platform hands out
 * (provider contexts, keys, hashes, certificate stores, certificate and
 * chain contexts, TLS credentials and contexts) lives here as a typed,
 * reference-counted object and is named by an opaque handle value. A handle
 * encodes a slot index and the slot's generation, so a released, forged or
 * wrong-kind handle is found out on lookup and reported, never dereferenced.
 * Certificate and chain contexts are handed out as pointers to their
 * CryptoAPI structures; libcertapi maps each pointer back to its handle.
 *
 * Two counts are kept apart:
 *  - the API reference count, what CryptContextAddRef and CryptReleaseContext
 *    (or a destroy function) move; the handle stops resolving when it reaches 0;
 *  - the memory lifetime, a std::shared_ptr: a call that looked an object up
 *    keeps it alive until it returns, even if another thread releases the
 *    handle meanwhile.
 *
 * Locking: the table is eight shards (a thread inserts into the shard its id
 * picks). A shard's spin lock covers its free list and its growth; each slot
 * has a spin lock of its own for its object, generation and count, the only
 * lock a look-up takes. Both are leaf locks, held for a few dozen
 * instructions inside these functions. Objects carry their own mutex for
 * their mutable state.
 */
#ifndef CSP_HANDLES_H
#define CSP_HANDLES_H

#include <cstdint>
#include <memory>

#include "wintypes.h"

namespace csp {

enum class Kind : uint8_t {
  Prov = 1,
  Key = 2,
  Hash = 3,
  Store = 4,
  Credential = 5,
  SecContext = 6,
  Cert = 7,       // a certificate context (an element of a store)
  CertChain = 8,  // a certificate chain context
};

class CSPAPI Object {
 public:
  explicit Object(Kind kind) : kind_(kind) {}
  virtual ~Object();
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  Kind kind() const { return kind_; }

 private:
  const Kind kind_;
};

// Result of dropping one API reference.
enum class Drop { Invalid, Released, Removed };

CSPAPI uintptr_t handle_insert(std::shared_ptr<Object> obj);
CSPAPI std::shared_ptr<Object> handle_lookup(uintptr_t handle, Kind kind);
CSPAPI bool handle_add_ref(uintptr_t handle, Kind kind);
// Drops one API reference. When it was the last, the handle stops resolving
// and the object is handed back in *removed (if given) for final clean-up.
CSPAPI Drop handle_release(uintptr_t handle, Kind kind, std::shared_ptr<Object>* removed = nullptr);
// Number of live handles (for tests and leak checks).
CSPAPI size_t handle_count();

// Calls `take` with the object a live handle of `kind` names, under the
// table's lock, and returns whether there was one.
CSPAPI bool handle_visit(uintptr_t handle, Kind kind,
                         void (*take)(const std::shared_ptr<Object>& obj, void* out), void* out);

// The object as its own type. The typed reference is made from the table's
// own under its lock, so a lookup moves the reference count once.
template <class T>
std::shared_ptr<T> handle_get(uintptr_t handle) {
  std::shared_ptr<T> out;
  handle_visit(
      handle, T::kKind,
      [](const std::shared_ptr<Object>& obj, void* to) {
        *static_cast<std::shared_ptr<T>*>(to) = std::shared_ptr<T>(obj, static_cast<T*>(obj.get()));
      },
      &out);
  return out;
}

}  // namespace csp

#endif
