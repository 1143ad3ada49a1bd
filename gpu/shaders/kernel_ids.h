// The kernels of the generative engine by number, expanded from
// kernel_list.inc in its order (the order the engine builds their
// pipelines): an encoder names Kernel::matvec, and the graph finds the
// pipeline at that index, resolved once when the graph is built.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vorn::shaders {

enum class Kernel : uint32_t {
#define VORN_KERNEL(name) name,
#include "gpu/shaders/kernel_list.inc"
#undef VORN_KERNEL
};

constexpr size_t kKernelCount = 0
#define VORN_KERNEL(name) +1
#include "gpu/shaders/kernel_list.inc"
#undef VORN_KERNEL
    ;

}  // namespace vorn::shaders
