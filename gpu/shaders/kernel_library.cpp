#include "gpu/shaders/kernel_library.h"

#include "gpu/shaders/kernels.h"

namespace vorn {

namespace {

using shaders::half;

// Variant 0 computes in half (VORN_FLOAT = 0), variant 1 in float.
constexpr mtl::KernelSymbol kSymbols[] = {
#define VORN_KERNEL(name, Params)                           \
  {#name,                                                   \
   {shaders::name<half>, shaders::name<float>},             \
   {shaders::name##_check<half>, shaders::name##_check<float>}, \
   {nullptr, nullptr}},
#define VORN_GRID_KERNEL(name, Params)                      \
  {#name,                                                   \
   {nullptr, nullptr},                                      \
   {shaders::name##_check<half>, shaders::name##_check<float>}, \
   {shaders::name<half>, shaders::name<float>}},
#include "gpu/shaders/kernel_list.inc"
#undef VORN_KERNEL
#undef VORN_GRID_KERNEL
};
static_assert(sizeof kSymbols / sizeof kSymbols[0] == kGenerativeKernelCount);

constexpr const char* kNames[] = {
#define VORN_KERNEL(name, Params) #name,
#include "gpu/shaders/kernel_list.inc"
#undef VORN_KERNEL
};

constexpr mtl::KernelSource kSource{kKernelFloatMacro, kSymbols, kGenerativeKernelCount};

}  // namespace

const mtl::KernelSource& generative_kernel_source() { return kSource; }

const char* const* generative_kernel_names() { return kNames; }

}  // namespace vorn
