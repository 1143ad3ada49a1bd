#include "platform/large_pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace vorn {

// The kernel maps at page granularity; the slack before the first aligned
// boundary and after the end is given back.
void* map_pages(size_t bytes, size_t alignment, size_t large_from) {
  if (bytes == 0) return nullptr;
  const bool large = bytes >= large_from;
  if (large || alignment < 4096) alignment = large ? kLargePage : 4096;
  const size_t slack = alignment - 1;
  if (bytes > SIZE_MAX - slack) return nullptr;
  void* p = mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const uintptr_t base = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (base + slack) & ~uintptr_t(slack);
  if (aligned > base) munmap(p, aligned - base);
  const uintptr_t end = base + bytes + slack;
  const uintptr_t kept_end = (aligned + bytes + 4095) & ~uintptr_t(4095);
  if (end > kept_end) munmap(reinterpret_cast<void*>(kept_end), end - kept_end);
  // Only advice: where large pages are off or short, the buffer keeps small ones.
  if (large) madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void unmap_pages(void* data, size_t bytes) {
  if (data != nullptr) munmap(data, bytes);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapLargeBuffers = false;
#else
constexpr bool kMapLargeBuffers = true;
#endif

void* large_pages_alloc(size_t bytes, size_t alignment) {
  if (kMapLargeBuffers && bytes >= kLargePageMinBytes) return map_pages(bytes, alignment);
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  if (bytes > SIZE_MAX - alignment) return nullptr;
  return std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
}

void large_pages_free(void* data, size_t bytes) {
  if (kMapLargeBuffers && bytes >= kLargePageMinBytes)
    unmap_pages(data, bytes);
  else
    std::free(data);
}

}  // namespace vorn
