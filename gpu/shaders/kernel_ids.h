// The kernels of the generative engine by number, expanded from
// kernel_list.inc in its order (the order the engine builds their
// pipelines): an encoder names Kernel::matvec, and the graph finds the
// pipeline at that index, resolved once when the graph is built. Each
// kernel's parameter struct comes from the same list: the encoder fills
// KernelParams<K> and the kernel reads params<K>(args).
#pragma once
#include <cstddef>
#include <cstdint>

#include "gpu/shaders/kernel_params.h"

namespace vorn::shaders {

enum class Kernel : uint32_t {
#define VORN_KERNEL(name, Params) name,
#include "gpu/shaders/kernel_list.inc"
#undef VORN_KERNEL
};

constexpr size_t kKernelCount = 0
#define VORN_KERNEL(name, Params) +1
#include "gpu/shaders/kernel_list.inc"
#undef VORN_KERNEL
    ;

template <Kernel K>
struct KernelTraits;
#define VORN_KERNEL(name, ParamsType) \
  template <>                         \
  struct KernelTraits<Kernel::name> { \
    using Params = ParamsType;        \
  };
#include "gpu/shaders/kernel_list.inc"
#undef VORN_KERNEL

// The parameter struct of kernel K.
template <Kernel K>
using KernelParams = typename KernelTraits<K>::Params;

}  // namespace vorn::shaders
