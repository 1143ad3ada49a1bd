// Normalisation, Erf/Gelu, Resize, GridSample and DeformUnfold against the
// reference loops.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/ops/activation.h"
#include "reference/conv_reference.h"
#include "reference/norm_reference.h"
#include "test_util.h"

namespace vorn::test {
namespace {

TEST(LayerNormKernel, MatchesReferenceSerialAndChunked) {
  struct Case { int64_t rows, cols; bool beta; };
  // 1023 x 1024 stays on the caller's thread; 1024 x 256 runs in 8 chunks.
  for (Case c : {Case{3, 7, true}, Case{5, 33, false}, Case{1023, 1024, true}, Case{1024, 256, true},
                 Case{1030, 300, false}}) {
    SCOPED_TRACE(::testing::Message() << c.rows << "x" << c.cols);
    NodeHarness h;
    const auto x = random_values(c.rows * c.cols, 41, -3.0f, 5.0f);
    const auto g = random_values(c.cols, 42), b = random_values(c.cols, 43);
    const uint64_t xi = h.value({1, (uint64_t)c.rows, (uint64_t)c.cols}, x);
    const uint64_t gi = h.value({(uint64_t)c.cols}, g, kValueWeight);
    const uint64_t yi = h.value({1, (uint64_t)c.rows, (uint64_t)c.cols});
    NodeRecord n = c.beta ? NodeHarness::node(op::LayerNormalization, {xi, gi, h.value({(uint64_t)c.cols}, b, kValueWeight)}, {yi})
                          : NodeHarness::node(op::LayerNormalization, {xi, gi}, {yi});
    n.set_attr(attr::Norm::kEpsilon, w_f(1e-5f));
    ASSERT_TRUE(h.run(n)) << h.last_message();
    EXPECT_TRUE(close_to_reference(h.read(yi), ref::layer_norm(c.rows, c.cols, x, g, c.beta ? b : std::vector<float>{}, 1e-5)));
  }
}

TEST(LayerNormKernel, ConstantRowGivesBeta) {
  NodeHarness h;
  const uint64_t x = h.value({2, 4}, std::vector<float>(8, 3.0f));
  const uint64_t g = h.value({4}, {1, 2, 3, 4}), b = h.value({4}, {5, 6, 7, 8}), y = h.value({2, 4});
  NodeRecord n = NodeHarness::node(op::LayerNormalization, {x, g, b}, {y}, {{attr::Norm::kEpsilon, w_f(1e-5f)}});
  ASSERT_TRUE(h.run(n));
  EXPECT_EQ(h.read(y), (std::vector<float>{5, 6, 7, 8, 5, 6, 7, 8}));
}

TEST(BatchNormKernel, AppliesPerChannelAffine) {
  NodeHarness h;
  const auto x = random_values(2 * 3 * 5 * 5, 51);
  const std::vector<float> a = {1.5f, -2.0f, 0.5f}, b = {0.25f, 1.0f, -3.0f};
  const uint64_t xi = h.value({2, 3, 5, 5}, x), ai = h.value({3}, a), bi = h.value({3}, b), yi = h.value({2, 3, 5, 5});
  ASSERT_TRUE(h.run(NodeHarness::node(op::BatchNormalization, {xi, ai, bi}, {yi})));
  std::vector<float> want(x.size());
  for (size_t i = 0; i < x.size(); ++i) want[i] = x[i] * a[(i / 25) % 3] + b[(i / 25) % 3];
  EXPECT_TRUE(close_to_reference(h.read(yi), want));
  // Enough planes to run in parallel.
  const auto xb = random_values(4 * 3 * 80 * 80, 52);
  const uint64_t xbi = h.value({4, 3, 80, 80}, xb), ybi = h.value({4, 3, 80, 80});
  ASSERT_TRUE(h.run(NodeHarness::node(op::BatchNormalization, {xbi, ai, bi}, {ybi})));
  std::vector<float> wantb(xb.size());
  for (size_t i = 0; i < xb.size(); ++i) wantb[i] = xb[i] * a[(i / 6400) % 3] + b[(i / 6400) % 3];
  EXPECT_TRUE(close_to_reference(h.read(ybi), wantb));
  // Rank 1: every element is its own channel.
  const uint64_t r1 = h.value({3}, {1, 2, 3}), y1 = h.value({3});
  ASSERT_TRUE(h.run(NodeHarness::node(op::BatchNormalization, {r1, ai, bi}, {y1})));
  EXPECT_TRUE(close_to_reference(h.read(y1), {1.75f, -3.0f, -1.5f}));
}

TEST(InstanceNormKernel, NormalisesEachPlaneWithItsChannel) {
  struct Case { std::vector<uint64_t> dims; };
  // Rank 4, rank 3 ([N, C, L] over L) and a large parallel case.
  for (const Case& c : {Case{{2, 3, 6, 7}}, Case{{2, 3, 50}}, Case{{1, 16, 64, 64}}}) {
    NodeHarness h;
    uint64_t count = 1;
    for (auto d : c.dims) count *= d;
    const int64_t channels = c.dims[1], planes = c.dims[0] * c.dims[1], size = count / planes;
    const auto x = random_values(count, 61, -2.0f, 4.0f);
    const auto s = random_values(channels, 62), t = random_values(channels, 63);
    const uint64_t xi = h.value(c.dims, x), si = h.value({(uint64_t)channels}, s), ti = h.value({(uint64_t)channels}, t);
    const uint64_t yi = h.value(c.dims);
    ASSERT_TRUE(h.run(NodeHarness::node(op::InstanceNormalization, {xi, si, ti}, {yi},
                                                                                        {{attr::Norm::kEpsilon, w_f(1e-5f)}}))) << h.last_message();
    EXPECT_TRUE(close_to_reference(h.read(yi), ref::instance_norm(planes, channels, size, x, s, t, 1e-5)));
  }
}

TEST(ErfGeluKernel, PolynomialMatchesLibraryAcrossThreshold) {
  ASSERT_TRUE(cpu_vmath_enabled());
  for (uint64_t count : {5u, 16383u, 16384u, 50001u}) {
    NodeHarness h;
    const auto x = random_values(count, 71, -6.0f, 6.0f);
    const uint64_t xi = h.value({count}, x), ye = h.value({count}), yg = h.value({count});
    ASSERT_TRUE(h.run(NodeHarness::node(op::Erf, {xi}, {ye})));
    ASSERT_TRUE(h.run(NodeHarness::node(op::Gelu, {xi}, {yg})));
    std::vector<float> we(count), wg(count);
    for (size_t i = 0; i < count; ++i) {
      we[i] = static_cast<float>(std::erf(static_cast<double>(x[i])));
      wg[i] = static_cast<float>(ref::gelu(x[i]));
    }
    EXPECT_TRUE(close_to_reference(h.read(ye), we)) << count;
    EXPECT_TRUE(close_to_reference(h.read(yg), wg)) << count;
  }
  // The argument is clamped to [-4, 4].
  float a = 10.0f, b = 4.0f, ea, eb;
  erf_gelu_range(&a, &ea, 0, 1, false);
  erf_gelu_range(&b, &eb, 0, 1, false);
  EXPECT_EQ(ea, eb);
}

// The switch is read once per process, so each setting runs in a fresh
// child process.
int erf_child(const char* value, bool library) {
  setenv("VORN_CPU_VMATH", value, 1);
  const std::vector<float> x = {-3.5f, -0.3f, 0.0f, 0.7f, 2.2f, 9.0f};
  std::vector<float> y(x.size()), g(x.size());
  erf_gelu_range(x.data(), y.data(), 0, 6, false);
  erf_gelu_range(x.data(), g.data(), 0, 6, true);
  bool same = true;
  for (size_t i = 0; i < x.size(); ++i)
    same = same && y[i] == std::erf(x[i]) && g[i] == x[i] * 0.5f * (std::erf(x[i] * 0.70710677f) + 1.0f);
  return cpu_vmath_enabled() == !library && same == library ? 0 : 1;
}

void expect_library_erf_when(const char* value, bool library) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_EXIT(std::exit(erf_child(value, library)), ::testing::ExitedWithCode(0), "") << "VORN_CPU_VMATH=" << value;
}

TEST(ErfGeluKernel, VectorMathSwitch) {
  expect_library_erf_when("0", true);
  expect_library_erf_when("off", true);  // no leading digits reads as 0
  expect_library_erf_when("1", false);
}

TEST(ResizeKernel, BilinearHalfPixelAndAlignedCorners) {
  struct Case { int64_t planes, h, w, ho, wo; bool align; };
  // Outputs wider than 4096 columns compute their column taps per element.
  for (Case c : {Case{1, 2, 3, 3, 5000, false}, Case{1, 3, 2, 2, 4500, true}, Case{2, 2, 2, 4, 4, false}, Case{3, 1, 2, 1, 3, true}, Case{16, 17, 23, 40, 31, false},
                 Case{16, 17, 23, 40, 31, true}, Case{1, 9, 9, 3, 4, false}, Case{2, 5, 3, 1, 1, true}}) {
    SCOPED_TRACE(::testing::Message() << c.h << "x" << c.w << " -> " << c.ho << "x" << c.wo << " align " << c.align);
    NodeHarness h;
    const auto x = random_values(c.planes * c.h * c.w, 81);
    const uint64_t xi = h.value({1, (uint64_t)c.planes, (uint64_t)c.h, (uint64_t)c.w}, x);
    const uint64_t yi = h.value({1, (uint64_t)c.planes, (uint64_t)c.ho, (uint64_t)c.wo});
    ASSERT_TRUE(h.run(NodeHarness::node(op::Resize, {xi}, {yi}, {{attr::Resize::kLinear, 1},
                                                                 {attr::Resize::kAlignCorners, c.align ? 1u : 0u}}))) << h.last_message();
    EXPECT_TRUE(close_to_reference(h.read(yi), ref::resize_bilinear(c.planes, c.h, c.w, c.ho, c.wo, c.align, x)));
  }
}

TEST(ResizeKernel, KnownBilinearWeights) {
  NodeHarness h;
  const uint64_t x = h.value({1, 1, 1, 2}, {0, 4}), y = h.value({1, 1, 1, 4}), ya = h.value({1, 1, 1, 3});
  ASSERT_TRUE(h.run(NodeHarness::node(op::Resize, {x}, {y}, {{attr::Resize::kLinear, 1}})));
  EXPECT_EQ(h.read(y), (std::vector<float>{0, 1, 3, 4}));
  ASSERT_TRUE(h.run(NodeHarness::node(op::Resize, {x}, {ya}, {{attr::Resize::kLinear, 1},
                                                              {attr::Resize::kAlignCorners, 1}})));
  EXPECT_EQ(h.read(ya), (std::vector<float>{0, 2, 4}));
}

TEST(ResizeKernel, NearestReadsWithinThePlaneForAnySize) {
  struct Case { int64_t h, w, ho, wo; };
  // The last case has enough planes and outputs to run in parallel.
  for (Case c : {Case{3, 4, 6, 12}, Case{3, 3, 4, 5}, Case{5, 7, 3, 2}, Case{2, 3, 9, 3}, Case{4, 5, 8, 10}, Case{20, 30, 60, 45}, Case{2, 3, 3, 5000}}) {
    NodeHarness h;
    const int64_t planes = 9;
    const auto x = random_values(planes * c.h * c.w, 91);
    const uint64_t xi = h.value({1, (uint64_t)planes, (uint64_t)c.h, (uint64_t)c.w}, x);
    const uint64_t yi = h.value({1, (uint64_t)planes, (uint64_t)c.ho, (uint64_t)c.wo});
    // Factors as a converter might have truncated them; the kernel uses sizes.
    ASSERT_TRUE(h.run(NodeHarness::node(op::Resize, {xi}, {yi}, {{attr::Resize::kFactorH, 1},
                                                                 {attr::Resize::kFactorW, 1}})));
    std::vector<float> want;
    for (int64_t p = 0; p < planes; ++p)
      for (int64_t r = 0; r < c.ho; ++r)
        for (int64_t q = 0; q < c.wo; ++q) {
          const int64_t sr = std::min<int64_t>(r * c.h / c.ho, c.h - 1), sq = std::min<int64_t>(q * c.w / c.wo, c.w - 1);
          want.push_back(x[(p * c.h + sr) * c.w + sq]);
        }
    EXPECT_EQ(h.read(yi), want) << c.h << "x" << c.w << " -> " << c.ho << "x" << c.wo;
  }
}

TEST(ResizeKernel, CopyAndBroadcast) {
  NodeHarness h;
  const uint64_t x = h.value({1, 2, 1, 1}, {7, -2}), y = h.value({1, 2, 3, 2});
  ASSERT_TRUE(h.run(NodeHarness::node(op::Resize, {x}, {y}, {{attr::Resize::kLinear, 1}})));
  EXPECT_EQ(h.read(y), (std::vector<float>{7, 7, 7, 7, 7, 7, -2, -2, -2, -2, -2, -2}));
}

struct GridCase { int64_t n, c, hh, ww, ho, wo; };

class GridSampleKernel : public ::testing::TestWithParam<GridCase> {};

// The second case is large enough to split rows over the pool.
INSTANTIATE_TEST_SUITE_P(Sizes, GridSampleKernel,
                         ::testing::Values(GridCase{2, 3, 6, 7, 5, 4}, GridCase{1, 16, 40, 40, 64, 80}));

TEST_P(GridSampleKernel, MatchesReference) {
  NodeHarness h;
  const auto [n, c, hh, ww, ho, wo] = GetParam();
  const auto x = random_values(n * c * hh * ww, 101);
  auto grid = random_values(n * ho * wo * 2, 102, -1.3f, 1.3f);
  grid[0] = -1.0f, grid[1] = -1.0f;  // corner: one tap inside
  const uint64_t xi = h.value({(uint64_t)n, (uint64_t)c, (uint64_t)hh, (uint64_t)ww}, x);
  const uint64_t gi = h.value({(uint64_t)n, (uint64_t)ho, (uint64_t)wo, 2}, grid);
  const uint64_t yi = h.value({(uint64_t)n, (uint64_t)c, (uint64_t)ho, (uint64_t)wo});
  ASSERT_TRUE(h.run(NodeHarness::node(op::GridSample, {xi, gi}, {yi}))) << h.last_message();
  std::vector<float> want;
  for (int64_t b = 0; b < n; ++b)
    for (int64_t ch = 0; ch < c; ++ch)
      for (int64_t r = 0; r < ho; ++r)
        for (int64_t q = 0; q < wo; ++q) {
          const float* g = &grid[((b * ho + r) * wo + q) * 2];
          const double px = ((g[0] + 1.0) * ww - 1) / 2, py = ((g[1] + 1.0) * hh - 1) / 2;
          want.push_back(static_cast<float>(ref::sample_zero(&x[(b * c + ch) * hh * ww], hh, ww, py, px)));
        }
  const auto got = h.read(yi);
  EXPECT_TRUE(close_to_reference(got, want));
  EXPECT_FLOAT_EQ(got[0], x[0] * 0.25f);
}

TEST(DeformUnfoldKernel, ZeroOffsetsUnitMaskIsPlainUnfold) {
  NodeHarness h;
  const int64_t c = 4, hh = 9, ww = 10, k = 3;
  const auto x = random_values(c * hh * ww, 111);
  const uint64_t xi = h.value({1, (uint64_t)c, (uint64_t)hh, (uint64_t)ww}, x);
  const uint64_t oi = h.value({1, 2 * k * k, (uint64_t)hh, (uint64_t)ww});
  const uint64_t mi = h.value({1, k * k, (uint64_t)hh, (uint64_t)ww}, std::vector<float>(k * k * hh * ww, 1.0f));
  const uint64_t yi = h.value({1, (uint64_t)c, (uint64_t)(hh * k), (uint64_t)(ww * k)});
  ASSERT_TRUE(h.run(NodeHarness::node(op::DeformUnfold, {xi, oi, mi}, {yi},
                                                                             {{attr::DeformUnfold::kKernel, k}}))) << h.last_message();
  std::vector<float> want(c * hh * k * ww * k);
  for (int64_t ch = 0; ch < c; ++ch)
    for (int64_t y = 0; y < hh; ++y)
      for (int64_t q = 0; q < ww; ++q)
        for (int64_t i = 0; i < k; ++i)
          for (int64_t j = 0; j < k; ++j) {
            const int64_t sy = y + i - 1, sx = q + j - 1;
            want[(ch * hh * k + y * k + i) * ww * k + q * k + j] =
                (sy < 0 || sy >= hh || sx < 0 || sx >= ww) ? 0.0f : x[(ch * hh + sy) * ww + sx];
          }
  EXPECT_EQ(h.read(yi), want);
}

class DeformUnfoldSizes : public ::testing::TestWithParam<int64_t> {};

// 3 channels run serially, 40 channels split rows over the pool.
INSTANTIATE_TEST_SUITE_P(Channels, DeformUnfoldSizes, ::testing::Values(3, 40));

TEST_P(DeformUnfoldSizes, FractionalOffsetsAndMaskMatchReference) {
  NodeHarness h;
  const int64_t c = GetParam(), hh = 12, ww = 11, k = 3, kk = 9;
  const auto x = random_values(c * hh * ww, 121);
  const auto off = random_values(2 * kk * hh * ww, 122, -2.5f, 2.5f);
  const auto mask = random_values(kk * hh * ww, 123, 0.0f, 1.0f);
  const uint64_t xi = h.value({1, (uint64_t)c, (uint64_t)hh, (uint64_t)ww}, x);
  const uint64_t oi = h.value({1, 2 * kk, (uint64_t)hh, (uint64_t)ww}, off);
  const uint64_t mi = h.value({1, kk, (uint64_t)hh, (uint64_t)ww}, mask);
  const uint64_t yi = h.value({1, (uint64_t)c, (uint64_t)(hh * k), (uint64_t)(ww * k)});
  ASSERT_TRUE(h.run(NodeHarness::node(op::DeformUnfold, {xi, oi, mi}, {yi}, {{attr::DeformUnfold::kKernel, k}})));
  std::vector<float> want(c * hh * k * ww * k);
  const int64_t hw = hh * ww;
  for (int64_t y = 0; y < hh; ++y)
    for (int64_t q = 0; q < ww; ++q)
      for (int64_t i = 0; i < k; ++i)
        for (int64_t j = 0; j < k; ++j) {
          const int64_t t = i * k + j;
          // Sampling position in input coordinates, clamped to the padded frame.
          const double sy = std::clamp(off[2 * t * hw + y * ww + q] + y + i - 1.0, -1.0, hh + 0.0);
          const double sx = std::clamp(off[(2 * t + 1) * hw + y * ww + q] + q + j - 1.0, -1.0, ww + 0.0);
          for (int64_t ch = 0; ch < c; ++ch)
            want[(ch * hh * k + y * k + i) * ww * k + q * k + j] =
                static_cast<float>(mask[t * hw + y * ww + q] * ref::sample_zero(&x[ch * hw], hh, ww, sy, sx));
        }
  EXPECT_TRUE(close_to_reference(h.read(yi), want));
}

}  // namespace
}  // namespace vorn::test
