// The kernels of the generative engine as C++ templates on the activation
// type A (half or float), one family per file; kernel_library.h gives them
// to the device as a library. Buffers sit at indices 0, 1, 2 and 4, 5; the
// parameters (KernelParams<K>, read with params<K>) at 3. Each kernel has a check that the device runs
// before its groups: it refuses bindings too small for the parameters and
// grid, so a wrong dispatch fails its command buffer instead of reading or
// writing past a buffer.
#pragma once
#include <string>

#include "gpu/shaders/kernel_ids.h"
#include "gpu/shaders/shader_types.h"

namespace vorn::shaders {

#define VORN_KERNEL(name, Params)                           \
  template <class A>                                        \
  void name(const mtl::KernelArgs& args, mtl::Size3 group); \
  template <class A>                                        \
  bool name##_check(const mtl::KernelArgs& args, std::string* error);
#define VORN_GRID_KERNEL(name, Params)  \
  template <class A>                    \
  void name(const mtl::KernelArgs& args); \
  template <class A>                    \
  bool name##_check(const mtl::KernelArgs& args, std::string* error);
#include "gpu/shaders/kernel_list.inc"
#undef VORN_KERNEL
#undef VORN_GRID_KERNEL

// The parameters of kernel K as its encoder filled them.
template <Kernel K>
inline const KernelParams<K>& params(const mtl::KernelArgs& a) {
  return a.bytes<KernelParams<K>>(kParamsIndex);
}

// Explicit instantiation of a kernel and its check for both activation
// types, in the family file that defines them.
#define VORN_INSTANTIATE_KERNEL(name)                                     \
  template void name<half>(const mtl::KernelArgs&, mtl::Size3);           \
  template void name<float>(const mtl::KernelArgs&, mtl::Size3);          \
  template bool name##_check<half>(const mtl::KernelArgs&, std::string*); \
  template bool name##_check<float>(const mtl::KernelArgs&, std::string*);
#define VORN_INSTANTIATE_GRID_KERNEL(name)                                \
  template void name<half>(const mtl::KernelArgs&);                       \
  template void name<float>(const mtl::KernelArgs&);                      \
  template bool name##_check<half>(const mtl::KernelArgs&, std::string*); \
  template bool name##_check<float>(const mtl::KernelArgs&, std::string*);

// Selector of "pointwise" (ElementwiseParams::op): the graph operation codes
// it serves; any other value copies.
enum PointwiseOp : uint32_t {
  kPointwiseAdd = 3,
  kPointwiseGelu = 7,
  kPointwiseSilu = 8,
  kPointwiseMul = 9,
};

// Rows and columns of the matrix tiles; threads per group of each kernel.
constexpr uint32_t kMatmulTile = 32;
constexpr uint32_t kMatmulThreads = 128;
constexpr uint32_t kMatmulRows64 = 64;
constexpr uint32_t kMatmulRows64Threads = 256;
constexpr uint32_t kMatmulDirectTile = 64;
constexpr uint32_t kMatmulDirectThreads = 512;
constexpr uint32_t kMatmulKStep = 32;
// Attention tiles: 32 query rows by 32 key columns or head channels.
constexpr uint32_t kAttentionTile = 32;
// Keys a single-kernel attention row holds (its threadgroup score array).
constexpr uint32_t kAttentionMaxKeys = 2048;
constexpr uint32_t kDecodeHeadDim = 64;

}  // namespace vorn::shaders
