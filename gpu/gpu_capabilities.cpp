#include "gpu/gpu_capabilities.h"

#include "base/files.h"
#include "container/op_codes.h"
#include "gpu/gpu_context.h"
#include "vorn.h"

namespace vorn {

namespace {

constexpr uint64_t kProbeLength = 16384;
constexpr uint64_t kFallbackWorkingSet = 4294967296ull;

// The operators the tensor-model GPU engine lowers.
// clang-format off
constexpr uint64_t kGpuOps[] = {
    // arithmetic
    op::Sub, op::Div, op::Add, op::Mul, op::Max, op::Min, op::Mod,
    // activations
    op::Relu, op::Sigmoid, op::HardSigmoid, op::HardSwish, op::Erf, op::LeakyRelu, op::Gelu, op::Clip,
    op::Softmax, op::PRelu,
    // convolution, pooling and products
    op::Conv, op::ConvTranspose, op::MaxPool, op::AveragePool, op::GlobalAveragePool, op::Gemm, op::MatMul,
    // normalisation
    op::LayerNormalization, op::BatchNormalization, op::InstanceNormalization,
    // shape and data movement
    op::Flatten, op::Transpose, op::Concat, op::Identity, op::Split, op::Gather, op::Slice, op::Expand,
    op::DepthToSpace, op::SpaceToDepth, op::Pad, op::ScatterND, op::Cast,
    // elementwise maths
    op::Sqrt, op::Exp, op::Tanh, op::Cos, op::Sin, op::Log, op::Abs, op::Neg, op::Floor, op::Ceil, op::Round,
    op::Reciprocal,
    // reductions and selection
    op::ReduceMean, op::ReduceSum, op::ReduceMax, op::ReduceMin, op::ReduceProd, op::ArgMax, op::Equal,
    op::Where, op::Not,
    // detection and sampling
    op::DeformUnfold, op::DetrTopK, op::MaskToBoxLogit, op::GridSample, op::YoloNms,
    // resampling
    op::Resize,
};
// clang-format on

struct ProbeContext {
  GpuContext* context;
  ProbeContext() {
    uint32_t code = 0;
    context = gpu_context_create(kProbeLength, &code);
  }
  ~ProbeContext() { gpu_context_free(context); }
};

}  // namespace

bool gpu_device_has_ane() {
  ProbeContext probe;
  if (probe.context == nullptr) return false;
  const mtl::DeviceRef& device = gpu_context_weights_buffer(probe.context)->device();
  return device != nullptr && device->has_ane();
}

bool mps_op_supported(uint64_t op, uint32_t backend) {
  if (backend == VORN_BACKEND_NPU && !gpu_device_has_ane()) return false;
  for (uint64_t code : kGpuOps)
    if (code == op) return true;
  return false;
}

uint64_t gpu_recommended_working_set() {
  ProbeContext probe;
  if (probe.context == nullptr) return kFallbackWorkingSet;
  const mtl::DeviceRef& device = gpu_context_weights_buffer(probe.context)->device();
  const uint64_t size = device != nullptr ? device->recommended_max_working_set_size() : 0;
  return size != 0 ? size : kFallbackWorkingSet;
}

bool mps_multi_input_supported() { return true; }

bool weight_slot_checksum_matches(const WeightSlot* slot, uint64_t length, uint32_t expected) {
  if (slot == nullptr) return false;
  uint32_t x = 0;
  if (slot->context != nullptr) {
    if (!gpu_touch_weights(slot->context, length, &x)) return false;
  } else {
    if (slot->data == nullptr) return false;
    x = xor_fold_u32(slot->data, length);
  }
  return x == expected;
}

}  // namespace vorn
