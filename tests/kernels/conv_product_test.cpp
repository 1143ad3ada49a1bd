// The convolution product gives panel_gemm's bits in every form, on shapes
// that end in partial row tiles, narrow and partial panels and partial
// depth blocks, and on panels read through an offset table.
#include "kernels/ops/conv_product.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "reference/random_data.h"

namespace vorn::test {
namespace {

constexpr KernelIsa kForms[] = {KernelIsa::kAvx512, KernelIsa::kAvx2, KernelIsa::kPortable};

struct Shape {
  int64_t m, n, k, m0, m1, p0, p1;
};

TEST(ConvProduct, GatheredPanelsGivePanelGemmBits) {
  const Shape shapes[] = {
      {64, 49, 4608 / 8, 0, 64, 0, 4},  // a 7 x 7 plane: three panels and one of one column
      {13, 100, 300, 0, 13, 0, 7},      // row tile of 5, depth block of 44
      {30, 40, 9, 3, 29, 1, 3},         // a rectangle inside, shallow depth
      {8, 700, 27, 0, 8, 0, 44},        // more panels than one pass takes
  };
  for (const Shape& s : shapes) {
    const auto a = random_values(size_t(s.m * s.k), uint32_t(s.m + s.k));
    const int64_t panels = panel_count(s.n);
    const auto bp = random_values(size_t(panels * s.k * kPanelWidth), uint32_t(s.n));
    std::vector<float> want(size_t(s.m * s.n), -3.0f);
    panel_gemm(a.data(), s.k, gathered_panels(bp.data(), s.k), s.k, s.n, want.data(), s.n, s.m0, s.m1, s.p0, s.p1);
    for (KernelIsa form : kForms) {
      std::vector<float> got(size_t(s.m * s.n), -3.0f);
      kern::conv_product_panels(form, a.data(), s.k, bp.data(), s.k, s.n, got.data(), s.n, s.m0, s.m1, s.p0, s.p1);
      EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4)) << "m " << s.m << " n " << s.n << " form "
                                                                         << int(form);
    }
  }
}

TEST(ConvProduct, OffsetPanelsGivePanelGemmBits) {
  // Panels of 16, 11, 8 and 1 real columns over a buffer read through a
  // random table (with a panel width of slack past its end).
  const int64_t m = 21, k = 530, ldc = 80, span = 4000;
  const auto a = random_values(size_t(m * k), 5);
  const auto x = random_values(size_t(span + kPanelWidth), 6);
  std::vector<int64_t> offsets(static_cast<size_t>(k));
  for (int64_t kk = 0; kk < k; ++kk) offsets[size_t(kk)] = (kk * 7919) % (span - 100);
  for (KernelIsa form : kForms) {
    std::vector<float> want(size_t(m * ldc), -3.0f), got = want;
    std::vector<OffsetPanel> lw;
    std::vector<kern::ConvPanel> lg;
    const int64_t cols[] = {16, 11, 16, 8, 1, 16};
    for (int64_t i = 0, at = 0; i < 6; at += cols[i], ++i) {
      lw.push_back({x.data() + 13 * i, want.data() + at, cols[i]});
      lg.push_back({x.data() + 13 * i, got.data() + at, cols[i]});
    }
    panel_gemm_offsets(a.data(), k, offsets.data(), k, lw.data(), 6, ldc, 2, m);
    kern::conv_product_offsets(form, a.data(), k, offsets.data(), k, lg.data(), 6, ldc, 2, m);
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4)) << "form " << int(form);
  }
}

TEST(ConvProduct, DeepBlocksSideBySideGivePanelGemmBits) {
  // One panel of 16, 5 or 1 real columns, 1 to 8 rows (row groups of four
  // and a partial one), two to six depth blocks, the last whole or not.
  const int64_t span = 3000, ldc = 20;
  const auto x = random_values(size_t(span + kPanelWidth), 8);
  for (int64_t k : {257, 300, 512, 1152, 1536})
    for (int64_t m : {1, 2, 3, 5, 8})
      for (int64_t cols : {16, 5, 1}) {
        const auto a = random_values(size_t(m * k), uint32_t(k + m));
        std::vector<int64_t> offsets(static_cast<size_t>(k));
        for (int64_t kk = 0; kk < k; ++kk) offsets[size_t(kk)] = (kk * 7919) % (span - 100);
        std::vector<float> want(size_t(m * ldc), -3.0f), got = want;
        const OffsetPanel pw{x.data() + 7, want.data() + 2, cols};
        panel_gemm_offsets(a.data(), k, offsets.data(), k, &pw, 1, ldc, 0, m);
        for (KernelIsa form : kForms) {
          if (!kern::conv_product_deep_applies(form, m, 1, k)) continue;
          std::fill(got.begin(), got.end(), -3.0f);
          kern::conv_product_deep(form, a.data(), k, offsets.data(), k, x.data() + 7, got.data() + 2, cols, ldc, 0,
                                  m);
          EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4))
              << "k " << k << " m " << m << " cols " << cols << " form " << int(form);
        }
      }
}

TEST(ConvProduct, PanelsSpanningRowsGiveTheBitsOfPanelsPerRow) {
  // Three rows of 19 outputs over padded rows of 22 positions: panels of
  // 16 consecutive positions, each storing its lanes into one or two rows.
  if (!cpu_has_avx512f()) GTEST_SKIP() << "no AVX-512";
  const int64_t m = 11, k = 270, wp = 22, wo = 19, rows = 3, span = 3000;
  const auto a = random_values(size_t(m * k), 7);
  const auto x = random_values(size_t(span + 4 * wp), 8);
  std::vector<int64_t> offsets(static_cast<size_t>(k));
  for (int64_t kk = 0; kk < k; ++kk) offsets[size_t(kk)] = (kk * 613) % span;
  std::vector<float> want(size_t(m * rows * wo), -3.0f), got = want;
  std::vector<OffsetPanel> per_row;
  for (int64_t y = 0; y < rows; ++y)
    for (int64_t x0 = 0; x0 < wo; x0 += kPanelWidth)
      per_row.push_back({x.data() + y * wp + x0, want.data() + y * wo + x0, std::min(kPanelWidth, wo - x0)});
  std::vector<kern::ConvPanel> spanning;
  for (int64_t v0 = 0; v0 < (rows - 1) * wp + wo; v0 += kPanelWidth) {
    const int64_t y = v0 / wp, x0 = v0 % wp, from = wp - x0;
    kern::ConvPanel pn{x.data() + v0, got.data() + y * wo + std::min(x0, wo), std::clamp<int64_t>(wo - x0, 0, 16)};
    if (from < kPanelWidth && y + 1 < rows) pn.next = got.data() + (y + 1) * wo, pn.from = from, pn.more = 16 - from;
    spanning.push_back(pn);
  }
  panel_gemm_offsets(a.data(), k, offsets.data(), k, per_row.data(), int64_t(per_row.size()), rows * wo, 0, m);
  kern::conv_product_offsets(KernelIsa::kAvx512, a.data(), k, offsets.data(), k, spanning.data(),
                             int64_t(spanning.size()), rows * wo, 0, m);
  EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4));
}

}  // namespace
}  // namespace vorn::test
