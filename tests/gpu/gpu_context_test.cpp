// The device context and the weights memory on it: every fault token fails
// its step with its code and leaves nothing allocated, the touch pass folds
// the weights like the host, and the capability queries answer with and
// without a device.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "base/files.h"
#include "container/container.h"
#include "container/op_codes.h"
#include "gpu/gpu_capabilities.h"
#include "gpu/gpu_context.h"
#include "gpu/half_planar.h"
#include "gpu/weight_slot.h"
#include "vorn.h"

namespace vorn {
namespace {

struct FaultEnv {
  explicit FaultEnv(const char* v) {
    if (v != nullptr) setenv("VORN_TEST_FAULTS", v, 1);
  }
  ~FaultEnv() { unsetenv("VORN_TEST_FAULTS"); }
};

uint64_t allocated() { return mtl::create_system_default_device()->current_allocated_size(); }

TEST(GpuContext, FaultTokensFailTheirStepWithTheirCode) {
  struct Row {
    const char* faults;
    uint32_t context_code;
    uint32_t slot_code;  // ContainerStatus of a device-shared weights buffer
  };
  const Row rows[] = {
      {nullptr, 0, 0},
      {"gpu.device", 8, kContainerBackendFailed},
      {"gpu.library", 8, kContainerBackendFailed},
      {"gpu.pipeline", 8, kContainerBackendFailed},
      {"gpu.host_allocation", 7, kContainerAllocFailed},
      {"gpu.queue", 8, kContainerBackendFailed},
      {"gpu.weights", 7, kContainerAllocFailed},
      {"gpu.queue+gpu.weights", 7, kContainerAllocFailed},  // a missing buffer outranks the queue
      {"x gpu.pipeline y gpu.device", 8, kContainerBackendFailed},
  };
  const uint64_t before = allocated();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.faults != nullptr ? r.faults : "none");
    FaultEnv env(r.faults);
    uint32_t code = 99;
    GpuContext* c = gpu_context_create(16384, &code);
    EXPECT_EQ(code, r.context_code);
    EXPECT_EQ(c != nullptr, r.context_code == 0);
    gpu_context_free(c);
    c = gpu_context_create_recording_error(16384);
    EXPECT_EQ(c != nullptr, r.context_code == 0);
    EXPECT_EQ(gpu_context_last_error(), r.context_code);
    gpu_context_free(c);
    WeightBuffer b = weight_buffer_alloc(16384, kWeightsGpuShared);
    EXPECT_EQ(b.tag, r.slot_code == 0 ? 0u : 1u);
    if (b.tag != 0) {
      EXPECT_EQ(b.data, r.slot_code);
    }
    WeightSlot s = weight_slot_from_buffer(b);
    if (b.tag == 0) weight_slot_release(&s);
  }
  EXPECT_EQ(allocated(), before);
  gpu_context_free(nullptr);
}

TEST(GpuContext, LengthLimits) {
  uint32_t code = 99;
  EXPECT_EQ(gpu_context_create(0, &code), nullptr);
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(gpu_context_create(kMaxGpuWeightsLength + 1, &code), nullptr);
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(gpu_context_create_recording_error(0), nullptr);
  EXPECT_EQ(gpu_context_last_error(), 7u);
  // The largest length passes the check; the memory is reserved, not used.
  GpuContext* c = gpu_context_create(kMaxGpuWeightsLength, &code);
  if (c == nullptr) GTEST_SKIP() << "the system refused a 64 GiB reservation";
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(gpu_context_weights_buffer(c)->length(), kMaxGpuWeightsLength);
  gpu_context_free(c);
}

// Opens on several threads record their codes in the one word at once; it
// is atomic, so the sanitizer run finds no race and the last store wins.
TEST(GpuContext, LastErrorWordUnderConcurrentOpens) {
  std::vector<std::thread> threads;
  std::atomic<bool> stop{false};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) EXPECT_EQ(gpu_context_create_recording_error(0), nullptr);
    });
  std::thread reader([&] {
    while (!stop.load()) {
      const uint32_t seen = gpu_context_last_error();  // one load: 0 before the first store, 7 after
      EXPECT_TRUE(seen == 7u || seen == 0u) << seen;
    }
  });
  for (std::thread& t : threads) t.join();
  stop = true;
  reader.join();
  EXPECT_EQ(gpu_context_last_error(), 7u);
}

TEST(GpuContext, WeightsMemoryTouchAndDrop) {
  const uint64_t before = allocated();
  WeightBuffer b = weight_buffer_alloc(3 * 16384 * 4, kWeightsGpuShared);
  ASSERT_EQ(b.tag, 0u);
  WeightSlot s = weight_slot_from_buffer(b);
  ASSERT_NE(s.context, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(s.data) % 16384, 0u);
  EXPECT_EQ(gpu_context_weights_contents(s.context), s.data);
  EXPECT_EQ(gpu_context_weights_buffer(s.context)->length(), s.length);
  EXPECT_EQ(s.context->scratch->length(), kGpuScratchLength);
  EXPECT_NE(gpu_context_queue(s.context), nullptr);
  EXPECT_EQ(allocated(), before + s.length + kGpuScratchLength);
  for (uint64_t i = 0; i < s.length; ++i) s.data[i] = uint8_t(i * 2654435761u >> 13);
  // Lengths within one row of threads, across rows, and with a 1-3 byte tail
  // that is not read.
  for (uint64_t len : {uint64_t(0), uint64_t(3), uint64_t(4), uint64_t(1001), uint64_t(131072), uint64_t(131075),
                       uint64_t(150001), s.length}) {
    uint32_t got = 0;
    ASSERT_TRUE(gpu_touch_weights(s.context, len, &got)) << len;
    EXPECT_EQ(got, xor_fold_u32(s.data, len)) << len;
    EXPECT_TRUE(weight_slot_checksum_matches(&s, len, got));
    EXPECT_FALSE(weight_slot_checksum_matches(&s, len, got ^ 1));
  }
  uint32_t got = 0;
  EXPECT_FALSE(gpu_touch_weights(s.context, s.length + 4, &got));  // past the buffer: refused
  weight_buffer_drop_gpu(&s);
  EXPECT_EQ(s.data, nullptr);
  EXPECT_NE(s.context, nullptr);
  EXPECT_EQ(allocated(), before + kGpuScratchLength);
  EXPECT_FALSE(gpu_touch_weights(s.context, 4, &got));
  weight_slot_release(&s);
  EXPECT_EQ(allocated(), before);
  // Host memory folds on the host.
  WeightBuffer h = weight_buffer_alloc(16384, 0);
  WeightSlot hs = weight_slot_from_buffer(h);
  std::memset(hs.data, 0x5A, 16384);
  EXPECT_TRUE(weight_slot_checksum_matches(&hs, 16384, 0));
  EXPECT_TRUE(weight_slot_checksum_matches(&hs, 4, 0x5A5A5A5Au));
  weight_slot_release(&hs);
}

TEST(GpuCapabilities, AnswersWithAndWithoutADevice) {
  const uint64_t device_set = mtl::create_system_default_device()->recommended_max_working_set_size();
  for (const char* faults : {static_cast<const char*>(nullptr), "gpu.device"}) {
    SCOPED_TRACE(faults != nullptr ? faults : "none");
    FaultEnv env(faults);
    EXPECT_FALSE(gpu_device_has_ane());
    EXPECT_EQ(gpu_recommended_working_set(), faults != nullptr ? 4294967296ull : device_set);
    EXPECT_TRUE(mps_multi_input_supported());
  }
  const uint64_t accepted[] = {
      op::Sub, op::Div, op::Add, op::Mul, op::Conv, op::Relu, op::MaxPool, op::GlobalAveragePool,
      op::Flatten, op::Gemm, op::Sigmoid, op::HardSigmoid, op::HardSwish, op::Transpose,
      op::LayerNormalization, op::MatMul, op::Erf, op::PRelu, op::BatchNormalization, op::Concat,
      op::Identity, op::InstanceNormalization, op::AveragePool, op::LeakyRelu, op::Resize, op::ConvTranspose,
      op::Softmax, op::Clip, op::ArgMax, op::Gelu, op::Split, op::Gather, op::Slice, op::Sqrt,
      op::ReduceMean, op::Equal, op::Where, op::Expand, op::Exp, op::ReduceSum, op::Tanh, op::Cos, op::Sin,
      op::DepthToSpace, op::Pad, op::DeformUnfold, op::DetrTopK, op::MaskToBoxLogit, op::Log, op::GridSample,
      op::Abs, op::Neg, op::Floor, op::Ceil, op::Round, op::Reciprocal, op::Max, op::Min, op::ReduceMax,
      op::ReduceMin, op::ReduceProd, op::ScatterND, op::SpaceToDepth, op::Mod, op::Not, op::YoloNms,
      op::Cast};
  for (uint64_t op = 0; op <= kOpCodeCount + 1; ++op) {
    bool want = false;
    for (uint64_t a : accepted) want = want || a == op;
    EXPECT_EQ(mps_op_supported(op, VORN_BACKEND_GPU), want) << op;
    EXPECT_FALSE(mps_op_supported(op, VORN_BACKEND_NPU)) << op;  // no neural engine
  }
}

// Narrowing of engine inputs rounds to nearest even and keeps NaN (a
// coarser half-up rounding or NaN-to-infinity would change results).
TEST(HalfPlanar, RoundsToNearestEvenAndKeepsNan) {
  const struct {
    float in;
    uint16_t out;
  } rows[] = {
      {1.0f + 0x1p-11f, 0x3C00},         // tie: down to the even 1.0
      {1.0f + 3 * 0x1p-11f, 0x3C02},     // tie: up to the even neighbour
      {1.0f + 0x1p-11f + 0x1p-20f, 0x3C01},
      {65519.0f, 0x7BFF},                // rounds to the largest half
      {65520.0f, 0x7C00},                // rounds to infinity
      {-0.0f, 0x8000},
      {0x1p-25f, 0x0000},                // tie with the smallest subnormal: to even 0
      {3 * 0x1p-26f, 0x0001},
      {-INFINITY, 0xFC00},
  };
  std::vector<float> in;
  for (const auto& r : rows) in.push_back(r.in);
  in.push_back(std::numeric_limits<float>::quiet_NaN());
  in.push_back(-std::numeric_limits<float>::quiet_NaN());
  std::vector<uint16_t> out(in.size(), 0x1234);
  f32_to_f16_planar(in.data(), out.data(), in.size());
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(out[i], rows[i].out) << rows[i].in;
  EXPECT_EQ(out[9] & 0x7C00, 0x7C00);
  EXPECT_NE(out[9] & 0x03FF, 0);       // NaN, not infinity
  EXPECT_EQ(out[10] & 0x8000, 0x8000);  // of the same sign
  EXPECT_NE(out[10] & 0x03FF, 0);
  std::vector<float> back(out.size());
  f16_to_f32_planar(out.data(), back.data(), 0);  // nothing converted
  EXPECT_EQ(back[0], 0.0f);
  f16_to_f32_planar(out.data(), back.data(), out.size());
  EXPECT_EQ(back[0], 1.0f);
  EXPECT_EQ(back[3], 65504.0f);
  EXPECT_TRUE(std::isnan(back[9]));
}

}  // namespace
}  // namespace vorn
