// Memory for big, long-lived buffers (weights, activation arenas, scratch)
// in large pages where the kernel grants them.
//
// A buffer from kLargePageMinBytes on is an anonymous mapping aligned to
// kLargePage and advised as large-page memory: a pass over it then misses
// the address translation cache once per 2 MiB instead of once per 4 KiB.
// Smaller buffers come from the ordinary allocator and keep small pages, so
// that memory is still taken only where touched. The advice changes no
// value read or written; where large pages are off, everything is as before.
#pragma once

#include <cstddef>

namespace vorn {

inline constexpr size_t kLargePage = size_t(2) << 20;
inline constexpr size_t kLargePageMinBytes = size_t(4) << 20;

// An anonymous zero-filled mapping of `bytes` aligned to `alignment` (a
// power of two, at most kLargePage), advised as large-page memory from
// `large_from` bytes on (and then aligned to kLargePage). Null when the
// mapping fails or `bytes` is zero. Give it back with unmap_pages.
void* map_pages(size_t bytes, size_t alignment, size_t large_from = kLargePageMinBytes);
void unmap_pages(void* data, size_t bytes);

// `bytes` aligned to `alignment` (a power of two, at most kLargePage): from
// the ordinary allocator below kLargePageMinBytes, else from map_pages.
// Contents are unspecified. Null on failure. Give it back with
// large_pages_free and the same size. Address-sanitized builds always use
// the ordinary allocator, so that overruns stay visible.
void* large_pages_alloc(size_t bytes, size_t alignment = 64);
void large_pages_free(void* data, size_t bytes);

}  // namespace vorn
