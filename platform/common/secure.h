// Containers for secrets (passwords, PINs, key material) and the text
// conversions they pass through: their memory is wiped whenever it is given
// back, including the old blocks a growing container leaves behind.
// Vectors, not strings: a string keeps short contents inside itself, where
// no allocator sees them.
#ifndef CSP_SECURE_H
#define CSP_SECURE_H

#include <string.h>

#include <cstddef>
#include <new>
#include <vector>

namespace csp {

// Overwrites secret bytes before their memory is given back.
inline void secure_wipe(void* p, size_t n) { explicit_bzero(p, n); }

template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, size_t n) {
    secure_wipe(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const { return true; }
  template <class U>
  bool operator!=(const WipingAllocator<U>&) const { return false; }
};

template <class T>
using SecureVector = std::vector<T, WipingAllocator<T>>;

}  // namespace csp

#endif
