// ConvTranspose and the pools against the reference loops.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/ops/conv.h"
#include "reference/conv_reference.h"
#include "test_util.h"

namespace vorn::test {
namespace {

struct ConvTCase {
  const char* name;
  int64_t n, cin, h, w, cout, k, stride, pad, dil, g, ho, wo;
  bool bias, relu;
};

TEST(ConvTransposeKernel, MatchesReference) {
  const ConvTCase cases[] = {
      {"stride2_2x2_exact", 1, 4, 5, 5, 6, 2, 2, 0, 1, 1, 10, 10, false, false},
      {"stride2_3x3_overlap", 1, 4, 5, 6, 6, 3, 2, 1, 1, 1, 9, 11, true, false},
      {"stride2_3x3_output_padding", 2, 3, 5, 5, 4, 3, 2, 1, 1, 1, 10, 10, true, false},
      {"groups_relu", 1, 8, 7, 7, 12, 3, 2, 1, 1, 4, 13, 13, true, true},
      {"parallel_channels", 1, 8, 16, 16, 16, 4, 2, 1, 1, 1, 32, 32, true, false},
      {"dilated", 1, 3, 6, 6, 5, 3, 1, 0, 2, 1, 10, 10, false, false},
      {"stride3_cropped", 1, 2, 4, 5, 3, 2, 3, 2, 1, 1, 7, 9, true, true},
  };
  for (const ConvTCase& c : cases) {
    SCOPED_TRACE(c.name);
    ref::ConvSpec s;
    s.n = c.n, s.cin = c.cin, s.h = c.h, s.w = c.w, s.cout = c.cout, s.kh = s.kw = c.k;
    s.sh = s.sw = c.stride, s.pt = s.pl = c.pad, s.dh = s.dw = c.dil, s.g = c.g;
    const auto x = random_values(c.n * c.cin * c.h * c.w, 11);
    const auto w = random_values(c.cin * (c.cout / c.g) * c.k * c.k, 12);
    std::vector<float> b;
    if (c.bias) b = random_values(c.cout, 13, -1.5f, 0.5f);
    NodeHarness h;
    const uint64_t xi = h.value({(uint64_t)c.n, (uint64_t)c.cin, (uint64_t)c.h, (uint64_t)c.w}, x);
    const uint64_t wi =
        h.value({(uint64_t)c.cin, (uint64_t)(c.cout / c.g), (uint64_t)c.k, (uint64_t)c.k}, w, kValueWeight);
    const uint64_t yi = h.value({(uint64_t)c.n, (uint64_t)c.cout, (uint64_t)c.ho, (uint64_t)c.wo});
    NodeRecord n = c.bias ? NodeHarness::node(op::ConvTranspose, {xi, wi, h.value({(uint64_t)c.cout}, b, kValueWeight)}, {yi})
                          : NodeHarness::node(op::ConvTranspose, {xi, wi}, {yi});
    using W = attr::ConvTranspose;
    const std::pair<uint64_t, int64_t> words[] = {
        {W::kKernelH, c.k},     {W::kKernelW, c.k},     {W::kStrideH, c.stride}, {W::kStrideW, c.stride},
        {W::kPadTop, c.pad},    {W::kPadLeft, c.pad},   {W::kDilationH, c.dil},  {W::kDilationW, c.dil},
        {W::kGroups, c.g}};
    for (auto [k, v] : words) n.set_attr(k, w_i(v));
    n.set_attr(W::kMode, c.relu ? W::kRelu : W::kNone);
    ASSERT_GE(h.state().im2col_size, h.workspace_wanted(n));
    ASSERT_TRUE(h.run(n)) << h.last_message();
    EXPECT_TRUE(close_to_reference(h.read(yi), ref::conv_transpose2d(s, c.ho, c.wo, x, w, b, c.relu)));
  }
}

TEST(ConvTransposeCheck, RefusesSmallWorkspaceAndBadWeights) {
  NodeHarness h;
  const uint64_t x = h.value({1, 4, 128, 128}), y = h.value({1, 8, 256, 256});
  const uint64_t w = h.value({4, 8, 4, 4}, {}, kValueWeight), wbad = h.value({4, 8, 3, 4}, {}, kValueWeight);
  const std::initializer_list<A> at = {{attr::ConvTranspose::kKernelH, 4}, {attr::ConvTranspose::kKernelW, 4},
                                       {attr::ConvTranspose::kStrideH, 2}, {attr::ConvTranspose::kStrideW, 2},
                                       {attr::ConvTranspose::kPadTop, 1}, {attr::ConvTranspose::kPadLeft, 1}};
  EXPECT_FALSE(h.run(NodeHarness::node(op::ConvTranspose, {x, wbad}, {y}, at)));
  // 4x4 taps x 8 channels x 128x128 positions = 2 Mi floats: more than the 1 Mi given.
  EXPECT_FALSE(h.run(NodeHarness::node(op::ConvTranspose, {x, w}, {y}, at)));
  EXPECT_NE(h.last_message().find("workspace"), std::string::npos);
}

struct PoolCase {
  const char* name;
  bool max;
  int64_t planes, h, w, k, stride, pad, ho, wo;
};

TEST(PoolKernel, MatchesReference) {
  const PoolCase cases[] = {
      {"max_3x3_s2_pad1", true, 16, 33, 33, 3, 2, 1, 17, 17},
      {"max_2x2_s2", true, 3, 8, 9, 2, 2, 0, 4, 4},
      {"max_serial_small", true, 4, 5, 5, 3, 1, 1, 5, 5},
      {"avg_3x3_pad1", false, 12, 20, 21, 3, 1, 1, 20, 21},
      {"avg_2x2_s2", false, 8, 30, 30, 2, 2, 0, 15, 15},
      {"avg_ceil_mode_edge", false, 2, 7, 7, 3, 2, 0, 4, 4},
  };
  for (const PoolCase& c : cases) {
    SCOPED_TRACE(c.name);
    NodeHarness h;
    const auto x = random_values(c.planes * c.h * c.w, 21, -5.0f, -1.0f);
    const uint64_t xi = h.value({1, (uint64_t)c.planes, (uint64_t)c.h, (uint64_t)c.w}, x);
    const uint64_t yi = h.value({1, (uint64_t)c.planes, (uint64_t)c.ho, (uint64_t)c.wo});
    ASSERT_TRUE(h.run(NodeHarness::node(c.max ? op::MaxPool : op::AveragePool, {xi}, {yi},
                                        {{attr::Window::kKernelH, c.k}, {attr::Window::kKernelW, c.k},
                                         {attr::Window::kStrideH, c.stride}, {attr::Window::kStrideW, c.stride},
                                         {attr::Window::kPadTop, c.pad}, {attr::Window::kPadLeft, c.pad}})))
        << h.last_message();
    EXPECT_TRUE(close_to_reference(
        h.read(yi), ref::pool2d(c.max, c.planes, c.h, c.w, c.ho, c.wo, c.k, c.k, c.stride, c.stride, c.pad, c.pad, x)));
  }
}

TEST(PoolKernel, WindowInPaddingAndCornerDivisor) {
  NodeHarness h;
  const uint64_t x = h.value({1, 1, 2, 2}, {1, 2, 3, 4});
  const uint64_t ym = h.value({1, 1, 2, 2}), ya = h.value({1, 1, 2, 2});
  // 2x2 window, stride 3, padding 2: output (0, 0) sees only padding.
  ASSERT_TRUE(h.run(NodeHarness::node(op::MaxPool, {x}, {ym}, {{attr::MaxPool::kKernelH, 2},
                                                               {attr::MaxPool::kKernelW, 2},
                                                               {attr::MaxPool::kStrideH, 3},
                                                               {attr::MaxPool::kStrideW, 3}, {attr::MaxPool::kPadTop, 2},
                                                               {attr::MaxPool::kPadLeft, 2}})));
  EXPECT_EQ(h.read(ym)[0], -3.4028235e38f);
  // 3x3 window with padding 1: the corner sums 4 values and divides by 9.
  ASSERT_TRUE(h.run(NodeHarness::node(op::AveragePool, {x}, {ya}, {{attr::AveragePool::kKernelH, 3},
                                                                   {attr::AveragePool::kKernelW, 3},
                                                                   {attr::AveragePool::kStrideH, 1},
                                                                   {attr::AveragePool::kStrideW, 1},
                                                                   {attr::AveragePool::kPadTop, 1},
                                                                   {attr::AveragePool::kPadLeft, 1}})));
  EXPECT_FLOAT_EQ(h.read(ya)[0], 10.0f / 9.0f);
}

TEST(GlobalAveragePoolKernel, AveragesEachPlaneInDouble) {
  NodeHarness h;
  const auto x = random_values(10 * 3 * 45 * 47, 31);
  // 30 planes of 2115 values stay on the caller's thread.
  const uint64_t xi = h.value({10, 3, 45, 47}, x), yi = h.value({10, 3, 1, 1});
  ASSERT_TRUE(h.run(NodeHarness::node(op::GlobalAveragePool, {xi}, {yi})));
  std::vector<float> want(30);
  for (int p = 0; p < 30; ++p) {
    double s = 0;
    for (int i = 0; i < 45 * 47; ++i) s += x[p * 45 * 47 + i];
    want[p] = static_cast<float>(s / (45 * 47));
  }
  EXPECT_TRUE(close_to_reference(h.read(yi), want));

  // 64 planes of 32 x 32 split over the pool.
  NodeHarness par;
  const auto xp = random_values(64 * 32 * 32, 32);
  const uint64_t pxi = par.value({1, 64, 32, 32}, xp), pyi = par.value({1, 64, 1, 1});
  ASSERT_TRUE(par.run(NodeHarness::node(op::GlobalAveragePool, {pxi}, {pyi})));
  std::vector<float> wantp(64);
  for (int p = 0; p < 64; ++p) {
    double s = 0;
    for (int i = 0; i < 1024; ++i) s += xp[p * 1024 + i];
    wantp[p] = static_cast<float>(s / 1024);
  }
  EXPECT_TRUE(close_to_reference(par.read(pyi), wantp));

  NodeHarness big;
  const uint64_t bx = big.value({1, 1, 1, 16777217}, std::vector<float>(16777217, 1.0f)), by = big.value({1, 1});
  ASSERT_TRUE(big.run(NodeHarness::node(op::GlobalAveragePool, {bx}, {by})));
  EXPECT_EQ(big.read(by)[0], 1.0f);
}

}  // namespace
}  // namespace vorn::test

namespace vorn::test {
namespace {

uint32_t g_sweep_seed = 777;
int64_t sweep(uint32_t n) {
  g_sweep_seed = g_sweep_seed * 1664525u + 1013904223u;
  return static_cast<int64_t>((g_sweep_seed >> 8) % n);
}

TEST(ConvTransposeKernel, RandomSmallShapesMatchReference) {
  for (int t = 0; t < 150; ++t) {
    ref::ConvSpec s;
    s.kh = s.kw = 1 + sweep(5);
    s.sh = s.sw = 1 + sweep(3);
    s.dh = s.dw = 1 + sweep(2);
    s.pt = s.pl = sweep(s.kh);
    s.g = 1 + sweep(2);
    s.cin = s.g * (1 + sweep(3)), s.cout = s.g * (1 + sweep(3));
    s.h = 1 + sweep(7), s.w = 1 + sweep(7), s.n = 1 + sweep(2);
    // Full extent minus both pads, plus an output padding below the stride.
    const int64_t ho = (s.h - 1) * s.sh - 2 * s.pt + s.dh * (s.kh - 1) + 1 + sweep(s.sh);
    const int64_t wo = (s.w - 1) * s.sw - 2 * s.pl + s.dw * (s.kw - 1) + 1 + sweep(s.sw);
    if (ho < 1 || wo < 1) continue;
    const bool bias = sweep(2) == 0, relu = sweep(2) == 0;
    SCOPED_TRACE(::testing::Message() << "case " << t);
    const auto x = random_values(s.n * s.cin * s.h * s.w, 200 + t);
    const auto w = random_values(s.cin * (s.cout / s.g) * s.kh * s.kw, 300 + t);
    std::vector<float> b;
    if (bias) b = random_values(s.cout, 400 + t);
    NodeHarness h;
    const uint64_t xi = h.value({(uint64_t)s.n, (uint64_t)s.cin, (uint64_t)s.h, (uint64_t)s.w}, x);
    const uint64_t wi =
        h.value({(uint64_t)s.cin, (uint64_t)(s.cout / s.g), (uint64_t)s.kh, (uint64_t)s.kw}, w, kValueWeight);
    const uint64_t yi = h.value({(uint64_t)s.n, (uint64_t)s.cout, (uint64_t)ho, (uint64_t)wo});
    NodeRecord n = bias ? NodeHarness::node(op::ConvTranspose, {xi, wi, h.value({(uint64_t)s.cout}, b, kValueWeight)}, {yi})
                        : NodeHarness::node(op::ConvTranspose, {xi, wi}, {yi});
    using W = attr::ConvTranspose;
    const std::pair<uint64_t, int64_t> words[] = {
        {W::kKernelH, s.kh}, {W::kKernelW, s.kw},     {W::kStrideH, s.sh},     {W::kStrideW, s.sw},
        {W::kPadTop, s.pt},  {W::kPadLeft, s.pl},     {W::kDilationH, s.dh},   {W::kDilationW, s.dw},
        {W::kGroups, s.g}};
    for (auto [k, v] : words) n.set_attr(k, w_i(v));
    n.set_attr(W::kMode, relu ? W::kRelu : W::kNone);
    ASSERT_TRUE(h.run(n)) << h.last_message();
    EXPECT_TRUE(close_to_reference(h.read(yi), ref::conv_transpose2d(s, ho, wo, x, w, b, relu)));
  }
}

TEST(PoolKernel, RandomSmallShapesMatchReference) {
  for (int t = 0; t < 200; ++t) {
    const bool max = sweep(2) == 0;
    const int64_t k = 1 + sweep(5), stride = 1 + sweep(3), pad = sweep(k + 1);
    const int64_t hh = 1 + sweep(11), ww = 1 + sweep(11), planes = 1 + sweep(10);
    const int64_t ho = (hh + 2 * pad - k) / stride + 1 + sweep(2), wo = (ww + 2 * pad - k) / stride + 1 + sweep(2);
    if (ho < 1 || wo < 1) continue;
    SCOPED_TRACE(::testing::Message() << "case " << t);
    NodeHarness h;
    const auto x = random_values(planes * hh * ww, 500 + t, -3.0f, 3.0f);
    const uint64_t xi = h.value({1, (uint64_t)planes, (uint64_t)hh, (uint64_t)ww}, x);
    const uint64_t yi = h.value({1, (uint64_t)planes, (uint64_t)ho, (uint64_t)wo});
    ASSERT_TRUE(h.run(NodeHarness::node(max ? op::MaxPool : op::AveragePool, {xi}, {yi},
                                        {{attr::Window::kKernelH, k}, {attr::Window::kKernelW, k},
                                         {attr::Window::kStrideH, stride}, {attr::Window::kStrideW, stride},
                                         {attr::Window::kPadTop, pad}, {attr::Window::kPadLeft, pad}})));
    EXPECT_TRUE(close_to_reference(h.read(yi), ref::pool2d(max, planes, hh, ww, ho, wo, k, k, stride, stride, pad, pad, x)));
  }
}

}  // namespace
}  // namespace vorn::test

namespace vorn::test {
namespace {

TEST(PoolKernel, NanNeverWinsMax) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  NodeHarness h;
  // One plane of 2 x 20 with NaNs mixed among the numbers.
  std::vector<float> x(40);
  for (int i = 0; i < 40; ++i) x[i] = (i % 3 == 0) ? nan : static_cast<float>(i);
  x[36] = x[37] = x[38] = x[39] = nan;
  const uint64_t xi = h.value({1, 1, 2, 20}, x), yi = h.value({1, 1, 1, 10});
  ASSERT_TRUE(h.run(NodeHarness::node(op::MaxPool, {xi}, {yi}, {{attr::MaxPool::kKernelH, 2},
                                                                {attr::MaxPool::kKernelW, 2},
                                                                {attr::MaxPool::kStrideH, 2},
                                                                {attr::MaxPool::kStrideW, 2}})));
  const auto y = h.read(yi);
  for (int c = 0; c < 9; ++c) {
    float want = -3.4028235e38f;
    for (int idx : {2 * c, 2 * c + 1, 20 + 2 * c, 21 + 2 * c})
      if (!std::isnan(x[idx]) && x[idx] > want) want = x[idx];
    EXPECT_EQ(y[c], want) << c;
  }
  EXPECT_EQ(y[9], 19.0f);  // x[18] is NaN, x[19] = 19, the row below all NaN
}

}  // namespace
}  // namespace vorn::test

namespace vorn::test {
namespace {

// Values in [-3, 3] with about one in eight replaced by NaN, an infinity or
// a zero of either sign (ties of +0 and -0 decide MaxPool's sign).
std::vector<float> pool_values(size_t n, uint32_t seed) {
  std::vector<float> v = random_values(n, seed, -3.0f, 3.0f);
  const float odd[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity(), 0.0f, -0.0f, 0.0f, -0.0f};
  uint32_t s = seed;
  for (float& x : v) {
    s = s * 1664525u + 1013904223u;
    if ((s >> 24) < 32) x = odd[(s >> 8) % 7];
  }
  return v;
}

// Equal bits, NaN matching any NaN: which operand's NaN an add passes on is
// the compiler's choice (it may swap the operands of an add).
bool same_bits(const std::vector<float>& a, const std::vector<float>& b, size_t* at) {
  for (size_t i = 0; i < a.size(); ++i)
    if (std::memcmp(&a[i], &b[i], 4) != 0 && !(std::isnan(a[i]) && std::isnan(b[i]))) return *at = i, false;
  return a.size() == b.size();
}

// Every form the engine may pick (its processor's and the portable one)
// against the f32 definition, bit for bit: windows of 1 to 6 by 1 to 6
// (and one wider than the vector forms take), strides 1 to 3, pads,
// dilations, widths either side of one and two vector widths, planes small
// and large (the vector forms copy small ones with their padding), and an
// output row and column more than the plain size gives (ceil mode).
TEST(PoolKernel, EveryFormGivesTheDefinitionsBits) {
  struct Shape {
    int64_t planes, h, w, kh, kw, sh, sw, pt, pl, dh, dw, ho, wo;
  };
  std::vector<Shape> shapes = {{16, 33, 33, 3, 3, 2, 2, 1, 1, 1, 1, 17, 17},  // split over the pool
                               {2, 9, 80, 2, 70, 1, 1, 0, 3, 1, 1, 8, 14},     // wider than the vector forms
                               {3, 13, 13, 3, 3, 2, 2, 0, 0, 1, 1, 7, 7},      // ceil mode's last window
                               {11, 5, 5, 3, 3, 2, 2, 1, 1, 1, 1, 3, 3},       // blocks of eight planes, a short last
                               {20, 20, 20, 3, 3, 2, 2, 1, 1, 1, 1, 10, 10},
                               // wide rows of column stride 2: rows of taps folded in bands
                               {1, 140, 400, 3, 3, 2, 2, 1, 1, 1, 1, 70, 200},
                               {2, 90, 260, 3, 2, 2, 2, 2, 1, 2, 2, 44, 130},
                               // narrow rows, each padded row one pair of vectors
                               {3, 27, 27, 3, 3, 2, 2, 0, 0, 1, 1, 13, 13},
                               {2, 40, 29, 3, 3, 2, 2, 1, 1, 1, 1, 20, 15},
                               {2, 60, 12, 2, 3, 1, 1, 0, 1, 1, 2, 59, 12},
                               {1, 40, 20, 3, 5, 2, 1, 1, 2, 1, 1, 20, 16},
                               {2, 70, 9, 4, 2, 3, 3, 2, 1, 1, 1, 24, 4}};
  for (int t = 0; t < 600; ++t) {
    Shape c{};
    c.kh = 1 + sweep(6), c.kw = 1 + sweep(6), c.sh = 1 + sweep(3), c.sw = 1 + sweep(3);
    c.dh = 1 + sweep(2), c.dw = 1 + sweep(2), c.pt = sweep(c.kh), c.pl = sweep(c.kw);
    const int64_t widths[] = {1, 5, 7, 8, 9, 15, 16, 17, 23, 31, 32, 33, 40, 47};
    c.h = 1 + sweep(12), c.w = widths[sweep(14)], c.planes = 1 + sweep(3);
    // Every fourth plane too large for the vector forms' padded copy.
    if (t % 4 == 0) c.h = 60 + sweep(20), c.w = 100 + sweep(60), c.planes = 1;
    const int64_t pb = sweep(c.kh), pr = sweep(c.kw);
    c.ho = (c.h + c.pt + pb - c.dh * (c.kh - 1) - 1) / c.sh + 1 + sweep(2);
    c.wo = (c.w + c.pl + pr - c.dw * (c.kw - 1) - 1) / c.sw + 1 + sweep(2);
    if (c.h + c.pt + pb >= c.dh * (c.kh - 1) + 1 && c.w + c.pl + pr >= c.dw * (c.kw - 1) + 1) shapes.push_back(c);
  }
  for (size_t t = 0; t < shapes.size(); ++t) {
    const Shape& c = shapes[t];
    const auto x = pool_values(c.planes * c.h * c.w, 900 + t);
    for (bool max : {true, false}) {
      const auto want = ref::pool2d_f32(max, c.planes, c.h, c.w, c.ho, c.wo, c.kh, c.kw, c.sh, c.sw, c.pt, c.pl, c.dh,
                                        c.dw, x);
      for (KernelIsa form : {kernel_isa_of_this_cpu(), KernelIsa::kAvx2, KernelIsa::kPortable}) {
        SCOPED_TRACE(::testing::Message() << "shape " << t << (max ? " max" : " avg") << " form "
                                          << static_cast<int>(form) << ": " << c.h << "x" << c.w << " window "
                                          << c.kh << "x" << c.kw << " stride " << c.sh << "," << c.sw << " pad "
                                          << c.pt << "," << c.pl << " dilation " << c.dh << "," << c.dw);
        const IsaCap isa(form);
        NodeHarness h;
        const uint64_t xi = h.value({1, (uint64_t)c.planes, (uint64_t)c.h, (uint64_t)c.w}, x);
        const uint64_t yi = h.value({1, (uint64_t)c.planes, (uint64_t)c.ho, (uint64_t)c.wo});
        using W = attr::Window;
        ASSERT_TRUE(h.run(NodeHarness::node(max ? op::MaxPool : op::AveragePool, {xi}, {yi},
                                            {{W::kKernelH, w_i(c.kh)}, {W::kKernelW, w_i(c.kw)},
                                             {W::kStrideH, w_i(c.sh)}, {W::kStrideW, w_i(c.sw)},
                                             {W::kPadTop, w_i(c.pt)}, {W::kPadLeft, w_i(c.pl)},
                                             {W::kDilationH, w_i(c.dh)}, {W::kDilationW, w_i(c.dw)}})))
            << h.last_message();
        size_t at = 0;
        const auto got = h.read(yi);
        EXPECT_TRUE(same_bits(got, want, &at)) << "output " << at << ": " << got[at] << " want " << want[at];
        // Nothing written past the output (the harness keeps 16 spare floats).
        const float* spare = static_cast<const float*>(h.state().data[yi]) + got.size();
        for (int k = 0; k < 16; ++k) EXPECT_EQ(spare[k], 0.0f);
      }
    }
  }
}

TEST(GlobalAveragePoolKernel, EveryFormGivesTheSameBits) {
  // Plane sizes either side of the eight sums and of the groups of planes.
  for (int64_t planes : {1, 3, 4, 5, 9}) {
    for (int64_t hw : {1, 7, 8, 9, 49, 3136}) {
      const auto x = random_values(planes * hw, 40 + hw, -2.0f, 3.0f);
      std::vector<float> out[2];
      for (int f = 0; f < 2; ++f) {
        const IsaCap isa(f == 0 ? KernelIsa::kAvx512 : KernelIsa::kPortable);
        NodeHarness h;
        const uint64_t xi = h.value({1, (uint64_t)planes, 1, (uint64_t)hw}, x), yi = h.value({1, (uint64_t)planes, 1, 1});
        ASSERT_TRUE(h.run(NodeHarness::node(op::GlobalAveragePool, {xi}, {yi})));
        out[f] = h.read(yi);
      }
      size_t at = 0;
      EXPECT_TRUE(same_bits(out[0], out[1], &at)) << planes << " planes of " << hw << ", plane " << at;
    }
  }
}

}  // namespace
}  // namespace vorn::test
