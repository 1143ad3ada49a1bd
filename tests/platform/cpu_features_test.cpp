#include <gtest/gtest.h>

#include "platform/cpu_features.h"

namespace vorn {
namespace {

struct Seen {
  KernelIsa widest;
  bool avx2_fma, avx2_f16c, f16c, avx512f;
};

Seen seen() {
  const CpuFeatures& f = cpu_features();
  return {f.widest, cpu_has_avx2_fma(), cpu_has_avx2_f16c(), f.f16c, cpu_has_avx512f()};
}

// A cap takes away every form wider than itself, keeps the narrower ones
// the processor has, and gives the whole record back when it ends (nested
// caps too).
TEST(CpuFeatures, ACapNarrowsTheRecordAndGivesItBack) {
  const Seen all = seen();
  EXPECT_EQ(all.widest == KernelIsa::kAvx512, all.avx512f && all.avx2_fma);
  EXPECT_EQ(all.widest == KernelIsa::kPortable, !all.avx2_fma);
  {
    const IsaCap avx2(KernelIsa::kAvx2);
    const Seen s = seen();
    EXPECT_EQ(s.widest, all.avx2_fma ? KernelIsa::kAvx2 : KernelIsa::kPortable);
    EXPECT_FALSE(s.avx512f);
    EXPECT_EQ(s.avx2_fma, all.avx2_fma);
    EXPECT_EQ(s.avx2_f16c, all.avx2_f16c);
    EXPECT_EQ(s.f16c, all.f16c);
    {
      const IsaCap portable(KernelIsa::kPortable);
      const Seen p = seen();
      EXPECT_EQ(p.widest, KernelIsa::kPortable);
      EXPECT_FALSE(p.avx2_fma || p.avx2_f16c || p.f16c || p.avx512f);
    }
    EXPECT_EQ(seen().avx2_fma, all.avx2_fma);
  }
  {
    const IsaCap wide(KernelIsa::kAvx512);
    EXPECT_EQ(seen().widest, all.widest);
    EXPECT_EQ(seen().avx512f, all.avx512f);
  }
  const Seen back = seen();
  EXPECT_EQ(back.widest, all.widest);
  EXPECT_EQ(back.avx512f, all.avx512f);
  EXPECT_EQ(back.f16c, all.f16c);
}

}  // namespace
}  // namespace vorn
