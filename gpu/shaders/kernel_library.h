// The kernel library of the generative engine, as the device compiles it:
// the table of kernels by name, with the half variant under VORN_FLOAT = 0
// and the float variant under VORN_FLOAT = 1.
#pragma once
#include <cstddef>

#include "gpu/shaders/kernel_ids.h"
#include "platform/compute_kernel.h"

namespace vorn {

// The macro that picks FP32 activations.
constexpr const char* kKernelFloatMacro = "VORN_FLOAT";
constexpr size_t kGenerativeKernelCount = shaders::kKernelCount;

const mtl::KernelSource& generative_kernel_source();
// The kernel names in pipeline-building order: name i is Kernel(i)'s.
const char* const* generative_kernel_names();

}  // namespace vorn
