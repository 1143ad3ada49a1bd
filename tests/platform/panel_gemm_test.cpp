// The panel product against a double-accumulation loop, on shapes that end
// in partial register tiles, partial panels and partial depth blocks, cut
// into rectangles every way the convolution cuts it.
#include "platform/cpu_features.h"
#include "platform/panel_gemm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "reference/random_data.h"

namespace vorn::test {
namespace {

// |diff| <= 1e-4 max|ref| + 1e-5 everywhere.
::testing::AssertionResult close_to_reference(const std::vector<float>& got, const std::vector<float>& ref) {
  double peak = 0;
  for (float r : ref) peak = std::max(peak, double(std::fabs(r)));
  for (size_t i = 0; i < got.size(); ++i)
    if (!(std::fabs(double(got[i]) - ref[i]) <= 1e-4 * peak + 1e-5))
      return ::testing::AssertionFailure() << "index " << i << ": got " << got[i] << ", reference " << ref[i];
  return ::testing::AssertionSuccess();
}

std::vector<float> to_panels(const std::vector<float>& b, int64_t k, int64_t n) {
  // Padding columns hold NaN: the product must never store what they give.
  std::vector<float> bp(static_cast<size_t>(panel_floats(k, n)), std::numeric_limits<float>::quiet_NaN());
  for (int64_t kk = 0; kk < k; ++kk)
    for (int64_t j = 0; j < n; ++j)
      panel_at(bp.data(), k, j / kPanelWidth)[kk * kPanelWidth + j % kPanelWidth] = b[size_t(kk * n + j)];
  return bp;
}

std::vector<float> reference(const std::vector<float>& a, const std::vector<float>& b, int64_t m, int64_t n,
                             int64_t k) {
  std::vector<float> c(size_t(m * n));
  for (int64_t i = 0; i < m; ++i)
    for (int64_t j = 0; j < n; ++j) {
      double s = 0;
      for (int64_t kk = 0; kk < k; ++kk) s += double(a[size_t(i * k + kk)]) * b[size_t(kk * n + j)];
      c[size_t(i * n + j)] = float(s);
    }
  return c;
}

// C computed as rb row blocks by groups of g panels, in an order that
// visits the rectangles backwards; ldc is wider than n.
std::vector<float> by_rectangles(const std::vector<float>& a, const std::vector<float>& bp, int64_t m, int64_t n,
                                 int64_t k, int64_t rows, int64_t g) {
  const int64_t ldc = n + 3, panels = panel_count(n);
  std::vector<float> c(size_t(m * ldc), -7.0f);
  for (int64_t m0 = (m - 1) / rows * rows; m0 >= 0; m0 -= rows)
    for (int64_t p0 = 0; p0 < panels; p0 += g)
      panel_gemm(a.data(), k, gathered_panels(bp.data(), k), k, n, c.data(), ldc, m0, std::min(m, m0 + rows), p0,
                 std::min(panels, p0 + g));
  std::vector<float> out(size_t(m * n));
  for (int64_t i = 0; i < m; ++i) {
    for (int64_t j = 0; j < n; ++j) out[size_t(i * n + j)] = c[size_t(i * ldc + j)];
    for (int64_t j = n; j < ldc; ++j) EXPECT_EQ(c[size_t(i * ldc + j)], -7.0f) << "stored past the last column";
  }
  return out;
}

TEST(PanelGemm, MatchesReferenceOnRaggedShapes) {
  const int64_t ms[] = {1, 5, 6, 7, 13, 50};
  const int64_t ns[] = {1, 15, 16, 17, 49, 100};
  const int64_t ks[] = {1, 3, 255, 256, 257, 600};
  for (int64_t m : ms)
    for (int64_t n : ns)
      for (int64_t k : ks) {
        SCOPED_TRACE(::testing::Message() << m << " x " << n << " x " << k);
        const auto a = random_values(size_t(m * k), uint32_t(m * 31 + k));
        const auto b = random_values(size_t(k * n), uint32_t(n * 17 + k));
        const auto bp = to_panels(b, k, n);
        const auto want = reference(a, b, m, n, k);
        std::vector<float> first_form;
        for (KernelIsa form : {KernelIsa::kAvx512, KernelIsa::kAvx2, KernelIsa::kPortable}) {
          const IsaCap isa(form);
          const auto whole = by_rectangles(a, bp, m, n, k, m, panel_count(n));
          EXPECT_TRUE(close_to_reference(whole, want)) << "form " << int(form);
          // Any cut sums each element in the same order: identical bits.
          const auto cut = by_rectangles(a, bp, m, n, k, 6, 1);
          EXPECT_EQ(0, std::memcmp(whole.data(), cut.data(), whole.size() * sizeof(float)));
          // So does every form, whatever its width.
          if (first_form.empty()) first_form = whole;
          EXPECT_EQ(0, std::memcmp(whole.data(), first_form.data(), whole.size() * 4)) << "form " << int(form);
        }
      }
}

TEST(PanelGemm, RowMajorOperandEqualsGatheredPanels) {
  // Full panels read straight from a row-major matrix (rows 40 columns
  // long, of which 32 are used) sum in the same order as gathered ones.
  const int64_t m = 13, n = 32, k = 300, ld = 40;
  const auto a = random_values(size_t(m * k), 3);
  const auto wide = random_values(size_t(k * ld), 4);
  std::vector<float> b(size_t(k * n));
  for (int64_t kk = 0; kk < k; ++kk)
    for (int64_t j = 0; j < n; ++j) b[size_t(kk * n + j)] = wide[size_t(kk * ld + j)];
  const auto bp = to_panels(b, k, n);
  std::vector<float> c1(size_t(m * n)), c2(size_t(m * n));
  panel_gemm(a.data(), k, gathered_panels(bp.data(), k), k, n, c1.data(), n, 0, m, 0, 2);
  panel_gemm(a.data(), k, PanelOperand{wide.data(), ld, kPanelWidth}, k, n, c2.data(), n, 0, m, 0, 2);
  EXPECT_EQ(0, std::memcmp(c1.data(), c2.data(), c1.size() * sizeof(float)));
  EXPECT_TRUE(close_to_reference(c2, reference(a, b, m, n, k)));
  // The same rows found through an offset table, the panels listed in
  // reverse, the second one cut to 9 columns.
  std::vector<int64_t> offsets(static_cast<size_t>(k));
  for (int64_t kk = 0; kk < k; ++kk) offsets[size_t(kk)] = kk * ld;
  std::vector<float> c3(size_t(m * n), -1.0f);
  const OffsetPanel list[2] = {{wide.data() + 16, c3.data() + 16, 9}, {wide.data(), c3.data(), 16}};
  panel_gemm_offsets(a.data(), k, offsets.data(), k, list, 2, n, 0, m);
  for (int64_t i = 0; i < m; ++i)
    for (int64_t j = 0; j < n; ++j)
      EXPECT_EQ(c3[size_t(i * n + j)], j < 25 ? c1[size_t(i * n + j)] : -1.0f) << i << "," << j;
}

TEST(PanelGemm, EmptyDepthClearsTheRectangle) {
  std::vector<float> a(1), bp(16), c(3 * 20, 5.0f);
  panel_gemm(a.data(), 0, gathered_panels(bp.data(), 0), 0, 20, c.data(), 20, 1, 3, 1, 2);
  for (int64_t i = 0; i < 3; ++i)
    for (int64_t j = 0; j < 20; ++j)
      EXPECT_EQ(c[size_t(i * 20 + j)], i >= 1 && j >= 16 ? 0.0f : 5.0f) << i << "," << j;
}

// The pool's cut of a product: every value of C in exactly one rectangle,
// row blocks of whole register tiles, and rectangles that keep every
// thread busy to the last wave (each thread's share within a quarter of
// the even one) where there are tiles and panels enough.
TEST(PanelGemm, SplitCoversEachValueOnceInBalancedRectangles) {
  struct Case {
    int64_t m, panels, threads;
  };
  const Case cases[] = {{64, 196, 8}, {128, 49, 8}, {256, 13, 8}, {512, 4, 8}, {100, 7, 3},
                        {1, 63, 8},   {24, 1, 8},   {1000, 250, 2}, {33, 5, 1}, {256, 13, 5}, {144, 13, 8}};
  for (KernelIsa form : {KernelIsa::kAvx512, KernelIsa::kAvx2, KernelIsa::kPortable}) {
    for (const Case& c : cases) {
      const IsaCap isa(form);  // the row tiles differ by form
      SCOPED_TRACE(::testing::Message() << c.m << " rows, " << c.panels << " panels, " << c.threads << " threads, form "
                                        << int(form));
      const PanelSplit sp = plan_panel_split(c.m, c.panels, c.threads);
      std::vector<int> seen(size_t(c.m * c.panels), 0);
      std::vector<int64_t> areas;
      for_rectangles(false, sp, c.m, c.panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
        EXPECT_EQ(m0 % sp.tile, 0);
        for (int64_t i = m0; i < m1; ++i)
          for (int64_t p = p0; p < p1; ++p) ++seen[size_t(i * c.panels + p)];
        areas.push_back((m1 - m0) * (p1 - p0));
      });
      for (int s : seen) ASSERT_EQ(s, 1);
      const int64_t units = (c.m + sp.tile - 1) / sp.tile;
      if (units * c.panels < 4 * c.threads) continue;
      // The threads take rectangles in turn; the busiest ends last.
      std::vector<int64_t> busy(size_t(c.threads), 0);
      for (int64_t a : areas) *std::min_element(busy.begin(), busy.end()) += a;
      const double even = double(c.m * c.panels) / double(c.threads);
      EXPECT_LE(double(*std::max_element(busy.begin(), busy.end())), 1.25 * even);
    }
  }
}

}  // namespace
}  // namespace vorn::test
