#include "base/intern.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vorn {

uint64_t fnv1a64(Slice bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint64_t i = 0; i < bytes.len; ++i) {
    h ^= bytes.ptr[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

namespace {

// Entries are never removed, so a reader that has loaded a bucket's head can
// walk the chain without a lock; writers publish by compare-and-swap on the
// head.
struct InternEntry {
  InternEntry* next;
  uint64_t hash;
  uint64_t len;
  uint8_t bytes[];
};

constexpr size_t kBuckets = 256;
constinit std::atomic<InternEntry*> g_buckets[kBuckets] = {};

// Looks for the bytes in the chain from `from` up to (not including) `stop`.
InternEntry* find(InternEntry* from, InternEntry* stop, uint64_t hash, Slice bytes) {
  for (InternEntry* e = from; e != stop; e = e->next)
    if (e->hash == hash && e->len == bytes.len && std::memcmp(e->bytes, bytes.ptr, bytes.len) == 0)
      return e;
  return nullptr;
}

}  // namespace

Slice intern(Slice bytes) {
  if (bytes.len == 0) return empty_slice();
  uint64_t hash = fnv1a64(bytes);
  std::atomic<InternEntry*>& head = g_buckets[hash % kBuckets];
  InternEntry* seen = head.load(std::memory_order_acquire);
  if (InternEntry* e = find(seen, nullptr, hash, bytes)) return Slice{e->bytes, e->len};

  if (bytes.len > UINT64_MAX - sizeof(InternEntry)) return empty_slice();
  auto* fresh = static_cast<InternEntry*>(std::malloc(sizeof(InternEntry) + bytes.len));
  if (fresh == nullptr) return empty_slice();
  fresh->hash = hash;
  fresh->len = bytes.len;
  std::memcpy(fresh->bytes, bytes.ptr, bytes.len);
  fresh->next = seen;
  // On a lost race only the entries pushed since `seen` can hold the bytes.
  while (!head.compare_exchange_weak(fresh->next, fresh, std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
    if (InternEntry* e = find(fresh->next, seen, hash, bytes)) {
      std::free(fresh);
      return Slice{e->bytes, e->len};
    }
    seen = fresh->next;
  }
  return Slice{fresh->bytes, fresh->len};
}

}  // namespace vorn
