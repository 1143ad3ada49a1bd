// The panel product against a double-accumulation loop, on shapes that end
// in partial register tiles, partial panels and partial depth blocks, cut
// into rectangles every way the convolution cuts it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cpu/kernels/panel_gemm.h"
#include "test_util.h"

namespace vorn::test {
namespace {

using kern::kPanelWidth;

std::vector<float> to_panels(const std::vector<float>& b, int64_t k, int64_t n) {
  // Padding columns hold NaN: the product must never store what they give.
  std::vector<float> bp(static_cast<size_t>(kern::panel_floats(k, n)), std::numeric_limits<float>::quiet_NaN());
  for (int64_t kk = 0; kk < k; ++kk)
    for (int64_t j = 0; j < n; ++j)
      kern::panel_at(bp.data(), k, j / kPanelWidth)[kk * kPanelWidth + j % kPanelWidth] = b[size_t(kk * n + j)];
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
                                 int64_t k, int64_t rows, int64_t g, bool portable) {
  const int64_t ldc = n + 3, panels = kern::panel_count(n);
  std::vector<float> c(size_t(m * ldc), -7.0f);
  for (int64_t m0 = (m - 1) / rows * rows; m0 >= 0; m0 -= rows)
    for (int64_t p0 = 0; p0 < panels; p0 += g)
      kern::panel_gemm(a.data(), k, kern::gathered_panels(bp.data(), k), k, n, c.data(), ldc, m0, std::min(m, m0 + rows), p0,
                       std::min(panels, p0 + g), portable);
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
        for (bool portable : {false, true}) {
          const auto whole = by_rectangles(a, bp, m, n, k, m, kern::panel_count(n), portable);
          EXPECT_TRUE(close_to_reference(whole, want)) << (portable ? "portable" : "vector");
          // Any cut sums each element in the same order: identical bits.
          const auto cut = by_rectangles(a, bp, m, n, k, 6, 1, portable);
          EXPECT_EQ(0, std::memcmp(whole.data(), cut.data(), whole.size() * sizeof(float)));
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
  kern::panel_gemm(a.data(), k, kern::gathered_panels(bp.data(), k), k, n, c1.data(), n, 0, m, 0, 2);
  kern::panel_gemm(a.data(), k, kern::PanelOperand{wide.data(), ld, kPanelWidth}, k, n, c2.data(), n, 0, m, 0, 2);
  EXPECT_EQ(0, std::memcmp(c1.data(), c2.data(), c1.size() * sizeof(float)));
  EXPECT_TRUE(close_to_reference(c2, reference(a, b, m, n, k)));
  // The same rows found through an offset table, the panels listed in
  // reverse, the second one cut to 9 columns.
  std::vector<int64_t> offsets(static_cast<size_t>(k));
  for (int64_t kk = 0; kk < k; ++kk) offsets[size_t(kk)] = kk * ld;
  std::vector<float> c3(size_t(m * n), -1.0f);
  const kern::OffsetPanel list[2] = {{wide.data() + 16, c3.data() + 16, 9}, {wide.data(), c3.data(), 16}};
  kern::panel_gemm_offsets(a.data(), k, offsets.data(), k, list, 2, n, 0, m);
  for (int64_t i = 0; i < m; ++i)
    for (int64_t j = 0; j < n; ++j)
      EXPECT_EQ(c3[size_t(i * n + j)], j < 25 ? c1[size_t(i * n + j)] : -1.0f) << i << "," << j;
}

TEST(PanelGemm, ThreadedProductOfRowMajorMatrices) {
  // Shapes of transformer and classifier products, some with a partial
  // last panel, with row strides wider than the matrices.
  struct Shape {
    int64_t m, n, k;
  };
  for (const Shape& sh : {Shape{197, 576, 192}, Shape{197, 197, 64}, Shape{3, 1000, 300}, Shape{64, 49, 700},
                          Shape{1, 17, 5}}) {
    SCOPED_TRACE(::testing::Message() << sh.m << " x " << sh.n << " x " << sh.k);
    const int64_t lda = sh.k + 2, ldb = sh.n + 5, ldc = sh.n + 1;
    const auto a = random_values(size_t(sh.m * lda), 9), b = random_values(size_t(sh.k * ldb), 10);
    std::vector<float> c(size_t(sh.m * ldc), -3.0f);
    kern::panel_product(a.data(), lda, b.data(), ldb, sh.m, sh.n, sh.k, c.data(), ldc);
    std::vector<float> a0(size_t(sh.m * sh.k)), b0(size_t(sh.k * sh.n)), got(size_t(sh.m * sh.n));
    for (int64_t i = 0; i < sh.m; ++i)
      for (int64_t kk = 0; kk < sh.k; ++kk) a0[size_t(i * sh.k + kk)] = a[size_t(i * lda + kk)];
    for (int64_t kk = 0; kk < sh.k; ++kk)
      for (int64_t j = 0; j < sh.n; ++j) b0[size_t(kk * sh.n + j)] = b[size_t(kk * ldb + j)];
    for (int64_t i = 0; i < sh.m; ++i) {
      for (int64_t j = 0; j < sh.n; ++j) got[size_t(i * sh.n + j)] = c[size_t(i * ldc + j)];
      EXPECT_EQ(c[size_t(i * ldc + sh.n)], -3.0f) << "row " << i << " written past its end";
    }
    EXPECT_TRUE(close_to_reference(got, reference(a0, b0, sh.m, sh.n, sh.k)));
  }
}

TEST(PanelGemm, EmptyDepthClearsTheRectangle) {
  std::vector<float> a(1), bp(16), c(3 * 20, 5.0f);
  kern::panel_gemm(a.data(), 0, kern::gathered_panels(bp.data(), 0), 0, 20, c.data(), 20, 1, 3, 1, 2);
  for (int64_t i = 0; i < 3; ++i)
    for (int64_t j = 0; j < 20; ++j)
      EXPECT_EQ(c[size_t(i * 20 + j)], i >= 1 && j >= 16 ? 0.0f : 5.0f) << i << "," << j;
}

}  // namespace
}  // namespace vorn::test
