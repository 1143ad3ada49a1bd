// FNV-1a hashing and the process-wide table of interned byte strings.
#pragma once
#include <cstdint>

#include "base/bytes.h"

namespace vorn {

// FNV-1a, 64-bit (basis 0xcbf29ce484222325, prime 0x100000001b3); an empty
// input gives the basis.
uint64_t fnv1a64(Slice bytes);

// The process-wide copy of these bytes: equal inputs give the same pointer
// for the life of the process. Safe to call from any number of threads.
// Empty input or a failed allocation gives the empty slice.
Slice intern(Slice bytes);

}  // namespace vorn
