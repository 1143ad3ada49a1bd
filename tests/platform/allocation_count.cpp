// Global operator new and delete that count allocations, so a test of this
// binary can see that a run makes none. Kept in a file of their own so that
// no call site inlines them.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {
std::atomic<uint64_t> allocations{0};
}

uint64_t allocation_count() { return allocations.load(std::memory_order_relaxed); }

void* operator new(size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
