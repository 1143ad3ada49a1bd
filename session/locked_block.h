// Zero-filled heap blocks kept in RAM (mlock) while they live, for the
// configuration and session records.
#pragma once
#include <cstddef>

namespace vorn {

// Where a block is locked. Locking needs a privilege or a lock budget the
// process may not have; the block works unlocked then and is never unlocked.
struct LockedBlock {
  void* ptr;
  bool locked;
};

// A zero-filled block of size bytes, locked when the system allows it;
// ptr is null when memory runs out.
LockedBlock locked_block_new(size_t size);
// Unlocks (when it was locked) and frees; a null ptr does nothing.
void locked_block_free(void* ptr, size_t size, bool locked);

}  // namespace vorn
