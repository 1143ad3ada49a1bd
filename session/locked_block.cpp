#include "session/locked_block.h"

#include <sys/mman.h>

#include <cstdlib>

namespace vorn {

LockedBlock locked_block_new(size_t size) {
  void* p = std::calloc(1, size);
  if (p == nullptr) return {nullptr, false};
  return {p, mlock(p, size) == 0};
}

void locked_block_free(void* ptr, size_t size, bool locked) {
  if (ptr == nullptr) return;
  if (locked) munlock(ptr, size);
  std::free(ptr);
}

}  // namespace vorn
