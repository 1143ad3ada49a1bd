// The kernel source of the device context: "touch_all", which XORs the u32
// words of a buffer so that every word is read once on the device.
#pragma once
#include <cstdint>

#include "platform/compute_kernel.h"

namespace vorn {

// Threads of a touch pass; each thread folds the words i = tid, tid + this,
// ... and writes its result to out[tid].
constexpr uint64_t kTouchThreads = 32768;

// Buffers: 0 the words (u32), 1 the results (u32 per thread), 2 the word
// count (u64 bytes).
const mtl::KernelSource& touch_kernel_source();

}  // namespace vorn
