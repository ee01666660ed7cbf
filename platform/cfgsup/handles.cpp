// The process-wide handle table (see csp/handles.h for the contract).
#include "csp/handles.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace csp {

Object::~Object() = default;

namespace {

// A handle is (generation << kIndexBits) | (index + 1). Generations start at 1
// and advance each time a slot is freed, so no handle value is ever 0 and an
// old value does not name the slot's next occupant. Generations have 11 bits
// where a handle is 32 bits wide (it stays below 2^31) and 32 bits where it
// is 64 bits wide.
//
// Freed slots are reused oldest first, and only once kReuseAfter of them are
// waiting: a stale handle could name a new object only after its slot has
// gone round all its generations, which takes millions of handles.
//
// The table is kShards tables with a lock each, so that threads working on
// objects of their own do not wait for each other: a thread inserts into the
// shard its id picks, and the index's low bits name the shard (index =
// slot * kShards + shard).
constexpr unsigned kIndexBits = 20;
constexpr uintptr_t kIndexMask = (uintptr_t(1) << kIndexBits) - 1;
constexpr uint32_t kGenMask = sizeof(uintptr_t) >= 8 ? 0xFFFFFFFFu : 0x7FFu;
constexpr size_t kShards = 8;
constexpr size_t kMaxSlots = kIndexMask / kShards;  // index + 1 must fit in kIndexBits
constexpr size_t kReuseAfter = 1024;

// A shard's lock. It is held for a few dozen instructions at a time (only
// the rare growth of a shard allocates under it), so a waiter spins on it
// briefly, then yields to the holder. Unlocking is a plain store.
class SpinLock {
 public:
  void lock() {
    unsigned spins = 0;
    while (locked_.exchange(true, std::memory_order_acquire)) {
      while (locked_.load(std::memory_order_relaxed))
        if (++spins > 64) std::this_thread::yield();
    }
  }
  void unlock() { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

struct Slot {
  std::shared_ptr<Object> obj;
  uint32_t generation = 1;
  uint32_t refs = 0;
  uint32_t next_free = 0;  // free list link (index + 1), 0 = end
};

// Each shard on cache lines of its own (two, for the adjacent-line
// prefetcher): threads working in different shards never pull the same line
// back and forth.
class alignas(128) Shard {
 public:
  // `number` is this shard's place among the shards.
  uintptr_t insert(std::shared_ptr<Object> obj, size_t number) {
    std::lock_guard<SpinLock> lock(mu_);
    size_t index;
    if (free_count_ > 0 && (free_count_ >= kReuseAfter || slots_.size() >= kMaxSlots)) {
      index = free_head_ - 1;
      free_head_ = slots_[index].next_free;
      if (free_head_ == 0) free_tail_ = 0;
      --free_count_;
    } else {
      if (slots_.size() >= kMaxSlots) return 0;
      slots_.emplace_back();
      index = slots_.size() - 1;
    }
    Slot& s = slots_[index];
    s.obj = std::move(obj);
    s.refs = 1;
    s.next_free = 0;
    ++live_;
    return (uintptr_t(s.generation) << kIndexBits) | (index * kShards + number + 1);
  }

  std::shared_ptr<Object> lookup(uintptr_t h, Kind kind) {
    std::lock_guard<SpinLock> lock(mu_);
    Slot* s = find(h, kind);
    return s ? s->obj : nullptr;
  }

  bool visit(uintptr_t h, Kind kind, void (*take)(const std::shared_ptr<Object>&, void*),
             void* out) {
    std::lock_guard<SpinLock> lock(mu_);
    Slot* s = find(h, kind);
    if (s) take(s->obj, out);
    return s != nullptr;
  }

  bool add_ref(uintptr_t h, Kind kind) {
    std::lock_guard<SpinLock> lock(mu_);
    Slot* s = find(h, kind);
    if (!s || s->refs == UINT32_MAX) return false;
    ++s->refs;
    return true;
  }

  Drop release(uintptr_t h, Kind kind, std::shared_ptr<Object>* removed) {
    std::shared_ptr<Object> last;  // destroyed after the lock is dropped
    Drop result;
    {
      std::lock_guard<SpinLock> lock(mu_);
      Slot* s = find(h, kind);
      if (!s) return Drop::Invalid;
      if (--s->refs > 0) return Drop::Released;
      last = std::move(s->obj);
      s->generation = (s->generation % kGenMask) + 1;
      // Onto the tail of the free list: the oldest freed slot is reused first.
      uint32_t link = uint32_t(((h & kIndexMask) - 1) / kShards + 1);
      s->next_free = 0;
      if (free_tail_ != 0) {
        slots_[free_tail_ - 1].next_free = link;
      } else {
        free_head_ = link;
      }
      free_tail_ = link;
      ++free_count_;
      --live_;
      result = Drop::Removed;
    }
    if (removed) *removed = std::move(last);
    return result;
  }

  size_t count() {
    std::lock_guard<SpinLock> lock(mu_);
    return live_;
  }

 private:
  Slot* find(uintptr_t h, Kind kind) {
    uintptr_t index1 = ((h & kIndexMask) - 1) / kShards + 1;  // the caller checked h's index is not 0
    uintptr_t gen = h >> kIndexBits;  // any bit above the generation makes it too large
    if (index1 > slots_.size() || gen == 0 || gen > kGenMask) return nullptr;
    Slot& s = slots_[index1 - 1];
    if (!s.obj || s.generation != gen || s.obj->kind() != kind) return nullptr;
    return &s;
  }

  SpinLock mu_;
  std::vector<Slot> slots_;
  uint32_t free_head_ = 0;  // free list (index + 1), oldest first
  uint32_t free_tail_ = 0;
  size_t free_count_ = 0;
  size_t live_ = 0;
};

Shard* shards() {
  // Never destroyed: objects may still be released from other libraries'
  // destructors while the process exits.
  static Shard* t = new Shard[kShards];
  return t;
}

// The shard a handle names; null for a handle with index 0.
Shard* shard_of(uintptr_t h) {
  uintptr_t index1 = h & kIndexMask;
  return index1 ? &shards()[(index1 - 1) % kShards] : nullptr;
}

}  // namespace

uintptr_t handle_insert(std::shared_ptr<Object> obj) {
  if (!obj) return 0;
  // The thread's shard, picked once per thread: threads take the shards in
  // turn, so that up to kShards threads each have one of their own.
  static std::atomic<size_t> next_shard{0};
  static thread_local const size_t mine = next_shard.fetch_add(1, std::memory_order_relaxed) % kShards;
  return shards()[mine].insert(std::move(obj), mine);
}
std::shared_ptr<Object> handle_lookup(uintptr_t h, Kind kind) {
  Shard* s = shard_of(h);
  return s ? s->lookup(h, kind) : nullptr;
}
bool handle_visit(uintptr_t h, Kind kind, void (*take)(const std::shared_ptr<Object>&, void*),
                  void* out) {
  Shard* s = shard_of(h);
  return s && s->visit(h, kind, take, out);
}
bool handle_add_ref(uintptr_t h, Kind kind) {
  Shard* s = shard_of(h);
  return s && s->add_ref(h, kind);
}
Drop handle_release(uintptr_t h, Kind kind, std::shared_ptr<Object>* removed) {
  Shard* s = shard_of(h);
  return s ? s->release(h, kind, removed) : Drop::Invalid;
}
size_t handle_count() {
  size_t n = 0;
  for (size_t i = 0; i < kShards; ++i) n += shards()[i].count();
  return n;
}

}  // namespace csp
