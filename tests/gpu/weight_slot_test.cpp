// Weights memory: host blocks, whole-block lengths, fault tokens and the busy
// word (the device-shared path is in gpu_context_test.cpp).
#include <gtest/gtest.h>
#include <stdlib.h>

#include "container/container.h"
#include "gpu/test_faults.h"
#include "gpu/weight_slot.h"

namespace vorn {
namespace {

struct FaultEnv {
  explicit FaultEnv(const char* v) { setenv("VORN_TEST_FAULTS", v, 1); }
  ~FaultEnv() { unsetenv("VORN_TEST_FAULTS"); }
};

TEST(WeightSlot, LengthMustBeAWholeNumberOfBlocks) {
  for (uint32_t flags : {0u, kWeightsGpuShared}) {
    for (uint64_t len : {uint64_t(0), uint64_t(16383), uint64_t(16385)}) {
      WeightBuffer b = weight_buffer_alloc(len, flags);
      EXPECT_EQ(b.tag, 1u);
      EXPECT_EQ(b.data, kContainerSlotTooSmall);
      EXPECT_EQ(b.length, len);
    }
  }
}

TEST(WeightSlot, HostMemoryIsAlignedAndReleased) {
  for (uint64_t len : {uint64_t(16384), uint64_t(5 * 16384)}) {
    WeightBuffer b = weight_buffer_alloc(len, 0);
    ASSERT_EQ(b.tag, 0u);
    EXPECT_EQ(b.data % 16384, 0u);
    EXPECT_EQ(b.context, nullptr);
    EXPECT_EQ(b.busy, 0u);
    WeightSlot s = weight_slot_from_buffer(b);
    EXPECT_EQ(s.length, len);
    s.data[len - 1] = 1;  // the whole length is usable
    weight_buffer_drop_gpu(&s);  // host memory: nothing to drop
    EXPECT_NE(s.data, nullptr);
    weight_slot_release(&s);
  }
}

TEST(WeightSlot, FaultTokensAreSubstrings) {
  EXPECT_FALSE(test_fault_enabled("gpu.device"));
  FaultEnv f("gpu.queue,gpu.library");
  EXPECT_TRUE(test_fault_enabled("gpu.queue"));
  EXPECT_TRUE(test_fault_enabled("gpu.library"));
  EXPECT_FALSE(test_fault_enabled("gpu.weights"));
}

TEST(WeightSlot, UnlockClearsTheBusyWord) {
  WeightSlot s;
  s.busy = 1;
  weight_slot_unlock(&s);
  EXPECT_EQ(s.busy, 0u);
}

}  // namespace
}  // namespace vorn
