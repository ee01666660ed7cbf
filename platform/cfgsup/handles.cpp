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
// The table is kShards tables, so that threads working on objects of their
// own do not wait for each other: a thread inserts into the shard its id
// picks, and the index's low bits name the shard (index = slot * kShards +
// shard). Each slot has a lock of its own and a cache line of its own, and a
// shard's slots never move (they are made in chunks, never freed), so a look-up
// takes only its slot's lock: threads using objects that one thread made
// (contexts made up front and shared out) do not pull a shard's line back
// and forth. The shard's own lock covers its free list and its growth.
constexpr unsigned kIndexBits = 20;
constexpr uintptr_t kIndexMask = (uintptr_t(1) << kIndexBits) - 1;
constexpr uint32_t kGenMask = sizeof(uintptr_t) >= 8 ? 0xFFFFFFFFu : 0x7FFu;
constexpr size_t kShards = 8;
constexpr size_t kMaxSlots = kIndexMask / kShards;  // index + 1 must fit in kIndexBits
constexpr size_t kChunkSlots = 512;
constexpr size_t kMaxChunks = (kMaxSlots + kChunkSlots - 1) / kChunkSlots;
constexpr size_t kReuseAfter = 1024;

// A lock held for a few dozen instructions at a time, so a waiter spins on
// it briefly, then yields to the holder. Unlocking is a plain store.
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

struct alignas(64) Slot {
  SpinLock mu;  // obj, generation and refs
  uint32_t generation = 1;
  uint32_t refs = 0;
  std::shared_ptr<Object> obj;
  uint32_t next_free = 0;  // free list link (index + 1), 0 = end; the shard's lock
};

class alignas(128) Shard {
 public:
  // `number` is this shard's place among the shards.
  uintptr_t insert(std::shared_ptr<Object> obj, size_t number) {
    size_t index;
    {
      std::lock_guard<SpinLock> lock(mu_);
      size_t made = made_.load(std::memory_order_relaxed);
      if (free_count_ > 0 && (free_count_ >= kReuseAfter || made >= kMaxSlots)) {
        index = free_head_ - 1;
        free_head_ = slot(index).next_free;
        if (free_head_ == 0) free_tail_ = 0;
        --free_count_;
      } else {
        if (made >= kMaxSlots) return 0;
        if (made % kChunkSlots == 0)
          chunks_[made / kChunkSlots].store(new Slot[kChunkSlots], std::memory_order_release);
        index = made;
        made_.store(made + 1, std::memory_order_release);
      }
      slot(index).next_free = 0;
      ++live_;
    }
    Slot& s = slot(index);
    std::lock_guard<SpinLock> lock(s.mu);
    s.obj = std::move(obj);
    s.refs = 1;
    return (uintptr_t(s.generation) << kIndexBits) | (index * kShards + number + 1);
  }

  std::shared_ptr<Object> lookup(uintptr_t h, Kind kind) {
    Slot* s = slot_of(h);
    if (!s) return nullptr;
    std::lock_guard<SpinLock> lock(s->mu);
    return names(*s, h, kind) ? s->obj : nullptr;
  }

  bool visit(uintptr_t h, Kind kind, void (*take)(const std::shared_ptr<Object>&, void*),
             void* out) {
    Slot* s = slot_of(h);
    if (!s) return false;
    std::lock_guard<SpinLock> lock(s->mu);
    if (!names(*s, h, kind)) return false;
    take(s->obj, out);
    return true;
  }

  bool add_ref(uintptr_t h, Kind kind) {
    Slot* s = slot_of(h);
    if (!s) return false;
    std::lock_guard<SpinLock> lock(s->mu);
    if (!names(*s, h, kind) || s->refs == UINT32_MAX) return false;
    ++s->refs;
    return true;
  }

  Drop release(uintptr_t h, Kind kind, std::shared_ptr<Object>* removed) {
    Slot* s = slot_of(h);
    if (!s) return Drop::Invalid;
    std::shared_ptr<Object> last;  // destroyed after the locks are dropped
    {
      std::lock_guard<SpinLock> lock(s->mu);
      if (!names(*s, h, kind)) return Drop::Invalid;
      if (--s->refs > 0) return Drop::Released;
      last = std::move(s->obj);
      s->generation = (s->generation % kGenMask) + 1;
    }
    {
      // Onto the tail of the free list: the oldest freed slot is reused first.
      std::lock_guard<SpinLock> lock(mu_);
      uint32_t link = uint32_t(((h & kIndexMask) - 1) / kShards + 1);
      if (free_tail_ != 0) {
        slot(free_tail_ - 1).next_free = link;
      } else {
        free_head_ = link;
      }
      free_tail_ = link;
      ++free_count_;
      --live_;
    }
    if (removed) *removed = std::move(last);
    return Drop::Removed;
  }

  size_t count() {
    std::lock_guard<SpinLock> lock(mu_);
    return live_;
  }

 private:
  Slot& slot(size_t index) {
    return chunks_[index / kChunkSlots].load(std::memory_order_acquire)[index % kChunkSlots];
  }
  // The slot a handle's index names, if made; its generation and object are
  // checked under its lock (names).
  Slot* slot_of(uintptr_t h) {
    size_t index1 = size_t(((h & kIndexMask) - 1) / kShards + 1);  // the caller checked h's index is not 0
    if (index1 > made_.load(std::memory_order_acquire)) return nullptr;
    return &slot(index1 - 1);
  }
  static bool names(const Slot& s, uintptr_t h, Kind kind) {
    uintptr_t gen = h >> kIndexBits;  // any bit above the generation makes it too large
    return gen != 0 && gen <= kGenMask && s.obj && s.generation == gen && s.obj->kind() == kind;
  }

  // Read by every look-up; written only when the shard grows.
  std::atomic<Slot*> chunks_[kMaxChunks] = {};
  std::atomic<size_t> made_{0};
  // Inserts' and releases', on lines of their own.
  alignas(128) SpinLock mu_;
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
