// Conv against the reference loop across its layouts: pointwise, strided
// pointwise, direct grouped and depthwise (vector and portable forms, bit
// for bit against each other and the column-matrix path), grouped and
// general im2col, banded large outputs, a starved workspace and fused
// activations.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/ops/conv.h"
#include "kernels/ops/conv_expand_depthwise.h"
#include "kernels/ops/conv_max_pool.h"
#include "kernels/ops/conv_paths.h"
#include "platform/cpu_features.h"
#include "platform/parallel.h"
#include "reference/conv_reference.h"
#include "test_util.h"

namespace vorn::test {
namespace {

constexpr KernelIsa kForms[] = {KernelIsa::kAvx512, KernelIsa::kAvx2, KernelIsa::kPortable};

struct ConvCase {
  const char* name;
  ref::ConvSpec s;
  bool bias;
  int act;
  bool no_depthwise;
  int64_t threads = 0;  // the pool's threads the plan is made for (0: this pool's)
  bool no_half_panel = false;  // keeps a small plane on the whole-panel product
  kern::ConvPlan* plan_out = nullptr;  // receives the plan the node ran
  float clip_hi = 0.0f;  // Clip's upper bound (its lower one is the 0.125 every case takes)
};

// Runs one Conv node through check, plan and kernel with the workspace the
// engine would give it (or the given number of bytes), planned for at most
// the given instruction-set form, and returns the output.
std::vector<float> run_conv(const ConvCase& c, const std::vector<float>& x, const std::vector<float>& w,
                            const std::vector<float>& b, size_t workspace = 0,
                            KernelIsa isa = kernel_isa_of_this_cpu(), const std::vector<float>* res = nullptr) {
  const ref::ConvSpec& s = c.s;
  NodeHarness h;
  h.state().isa = isa;
  const uint64_t xi = h.value({(uint64_t)s.n, (uint64_t)s.cin, (uint64_t)s.h, (uint64_t)s.w}, x);
  const uint64_t wi = h.value({(uint64_t)s.cout, (uint64_t)(s.cin / s.g), (uint64_t)s.kh, (uint64_t)s.kw},
                              w, kValueWeight);
  uint64_t bi = 0;
  if (c.bias) bi = h.value({(uint64_t)b.size()}, b, kValueWeight);
  const uint64_t yi =
      h.value({(uint64_t)s.n, (uint64_t)s.cout, (uint64_t)s.hout(), (uint64_t)s.wout()});
  NodeRecord n = res != nullptr ? NodeHarness::node(op::Conv, {xi, wi, bi, h.value({(uint64_t)res->size()}, *res)}, {yi})
                 : c.bias      ? NodeHarness::node(op::Conv, {xi, wi, bi}, {yi})
                               : NodeHarness::node(op::Conv, {xi, wi}, {yi});
  using W = attr::Conv;
  const std::pair<uint64_t, int64_t> words[] = {
      {W::kKernelH, s.kh}, {W::kKernelW, s.kw},     {W::kStrideH, s.sh},   {W::kStrideW, s.sw},
      {W::kPadTop, s.pt},  {W::kPadLeft, s.pl},     {W::kPadBottom, s.pb}, {W::kPadRight, s.pr},
      {W::kDilationH, s.dh}, {W::kDilationW, s.dw}, {W::kGroups, s.g},     {W::kNoDepthwise, c.no_depthwise ? 1 : 0},
      {W::kMode, c.act}};
  for (auto [k, v] : words) n.set_attr(k, w_i(v));
  n.set_attr(W::kParam, w_f(0.125f) | static_cast<uint64_t>(std::bit_cast<uint32_t>(c.clip_hi)) << 32);
  h.set_workspace(workspace != 0 ? workspace : h.workspace_wanted(n));
  char msg[256] = "";
  kern::ConvParams p;
  kern::ConvPlanInputs in;
  in.threads = c.threads > 0 ? c.threads : static_cast<int64_t>(parallel_thread_count());
  in.workspace_floats = static_cast<int64_t>(h.state().im2col_size / 4);
  in.isa = isa;
  kern::ConvPlan cp;
  NodePlan plan;
  EXPECT_TRUE(kern::conv_params(h.state(), n, &p, msg, sizeof msg) && kern::conv_plan(p, in, &cp, msg, sizeof msg))
      << msg;
  if (c.no_half_panel) cp.half_panel = false;
  if (c.plan_out != nullptr) *c.plan_out = cp;
  plan.workspace_bytes = static_cast<uint64_t>(cp.col_floats) * 4;
  plan.set(cp);
  EXPECT_TRUE(cpu_op_entry(op::Conv)->kernel(h.state(), n, plan));
  return h.read(yi);
}

void check_case(const ConvCase& c, size_t workspace = 0) {
  const ref::ConvSpec& s = c.s;
  const auto x = random_values(s.n * s.cin * s.h * s.w, 1);
  const auto w = random_values(s.cout * (s.cin / s.g) * s.kh * s.kw, 2, -0.5f, 0.5f);
  std::vector<float> b;
  if (c.bias) {
    b = random_values(c.act == 2 ? 3 * s.cout : s.cout, 3);
  }
  const auto want = ref::conv2d(s, x, w, b, c.act, 0.125);
  EXPECT_TRUE(close_to_reference(run_conv(c, x, w, b, workspace), want)) << c.name;
}

// The direct grouped kernel's portable and vector forms and the
// column-matrix path (the node kept off the direct kernel) give the same
// bits: each output sums its terms in one order from zero, and a depthwise
// layer's skipped padding taps leave the sums a product with zero leaves.
void check_grouped_bits(const ConvCase& c) {
  const ref::ConvSpec& s = c.s;
  const auto x = random_values(s.n * s.cin * s.h * s.w, 21);
  const auto w = random_values(s.cout * (s.cin / s.g) * s.kh * s.kw, 22, -0.5f, 0.5f);
  const auto b = c.bias ? random_values(c.act == 2 ? 3 * s.cout : s.cout, 23) : std::vector<float>{};
  const auto best = run_conv(c, x, w, b);
  EXPECT_TRUE(close_to_reference(best, ref::conv2d(s, x, w, b, c.act, 0.125)));
  const auto portable = run_conv(c, x, w, b, 0, KernelIsa::kPortable);
  EXPECT_EQ(0, std::memcmp(best.data(), portable.data(), best.size() * 4)) << "portable form";
  // The column-matrix product fuses its multiply-adds in its vector forms only.
  if (cpu_has_avx2_fma()) {
    ConvCase general = c;
    general.no_depthwise = true;
    const auto column = run_conv(general, x, w, b);
    EXPECT_EQ(0, std::memcmp(best.data(), column.data(), best.size() * 4)) << "column-matrix path";
  }
}

ref::ConvSpec spec(int64_t n, int64_t cin, int64_t h, int64_t w, int64_t cout, int64_t k, int64_t stride,
                   int64_t pad, int64_t g = 1) {
  ref::ConvSpec s;
  s.n = n, s.cin = cin, s.h = h, s.w = w, s.cout = cout, s.kh = s.kw = k, s.sh = s.sw = stride;
  s.pt = s.pl = s.pb = s.pr = pad;
  s.g = g;
  return s;
}

ref::ConvSpec asymmetric() {
  ref::ConvSpec s = spec(1, 5, 19, 23, 7, 1, 1, 0);
  s.kh = 3, s.kw = 5, s.sh = 2, s.sw = 1, s.pt = 0, s.pl = 2, s.pb = 2, s.pr = 0, s.dh = 1, s.dw = 2;
  return s;
}
ref::ConvSpec dilated_depthwise(int64_t dh, int64_t dw) {
  ref::ConvSpec s = spec(1, 16, 21, 22, 16, 3, 1, 2, 16);
  s.dh = dh, s.dw = dw;
  return s;
}
ref::ConvSpec padded_beyond() {
  ref::ConvSpec s = spec(1, 3, 5, 6, 4, 1, 1, 0);
  s.pt = 2, s.pl = 3, s.pb = 1, s.pr = 2;
  return s;
}

// Stride 2 with a dilated, wider-than-tall kernel and uneven padding.
ref::ConvSpec dilated_stride2() {
  ref::ConvSpec s = spec(1, 5, 30, 41, 9, 3, 2, 2);
  s.kw = 5, s.dh = 1, s.dw = 2, s.pl = 3, s.pr = 1;
  return s;
}

// The asymmetric layer with enough channels to leave few positions per
// thread.
ref::ConvSpec wide_asymmetric() {
  ref::ConvSpec s = asymmetric();
  s.cin = 48, s.cout = 64;
  return s;
}

const ConvCase kCases[] = {
    {"pointwise", spec(2, 16, 20, 20, 24, 1, 1, 0), true, 1, false},
    {"pointwise_large", spec(1, 8, 96, 96, 16, 1, 1, 0), true, 3, false},
    {"pointwise_plain", spec(1, 8, 9, 7, 5, 1, 1, 0), false, 0, false},
    // Panels copied before their product: planes 4096 bytes apart, and a
    // deep layer on a small plane.
    {"pointwise_copied_panels", spec(1, 8, 32, 32, 48, 1, 1, 0), true, 1, false},
    {"pointwise_copied_deep", spec(1, 1400, 7, 7, 8, 1, 1, 0), true, 3, false},
    // Deep layers on planes of an odd count of positions, copied rather than
    // read in place: a partial last panel of 9 columns, and of 1.
    {"pointwise_copied_odd_plane", spec(1, 400, 13, 13, 40, 1, 1, 0), true, 1, false},
    {"pointwise_copied_odd_plane_narrow", spec(1, 384, 3, 43, 19, 1, 1, 0), true, 2, false},
    // Wide planes of many channels: the product and its epilogue in passes
    // of part of the plane, the last panel partial.
    {"pointwise_epilogue_passes", spec(1, 8, 41, 41, 96, 1, 1, 0), true, 1, false},
    {"pointwise_epilogue_passes_copied", spec(1, 300, 45, 45, 40, 1, 1, 0), true, 2, false},
    {"strided_pointwise", spec(1, 16, 21, 21, 8, 1, 2, 0), false, 0, false},
    {"strided_pointwise_big", spec(1, 24, 300, 300, 8, 1, 2, 0), true, 1, false},
    {"general_3x3", spec(1, 3, 32, 32, 16, 3, 1, 1), true, 3, false},
    {"general_batch", spec(2, 8, 15, 13, 12, 3, 2, 1), true, 1, false},
    {"asymmetric_strided_dilated", asymmetric(), true, 0, false},
    {"asymmetric_panels", wide_asymmetric(), true, 1, false},
    {"padded_beyond_kernel", padded_beyond(), true, 1, false},
    {"groups", spec(1, 8, 14, 14, 12, 3, 2, 1, 4), true, 2, false},
    {"groups_parallel_im2col", spec(1, 32, 40, 40, 32, 3, 1, 1, 2), true, 1, false},
    {"depthwise_3x3", spec(1, 32, 17, 19, 32, 3, 1, 1, 32), true, 1, false},
    {"depthwise_3x3_s2", spec(1, 16, 30, 31, 16, 3, 2, 1, 16), true, 2, false},
    {"depthwise_5x5_s2", spec(1, 8, 33, 33, 8, 5, 2, 2, 8), false, 0, false},
    {"depthwise_7x7", spec(1, 12, 20, 20, 12, 7, 1, 3, 12), true, 3, false},
    {"depthwise_7x7_tiny", spec(1, 4, 7, 7, 4, 7, 1, 3, 4), true, 0, false},
    // Planes of one and two blocks of eight outputs: tiles of fewer blocks.
    {"depthwise_4x4_one_output", spec(1, 64, 4, 4, 64, 4, 1, 0, 64), false, 0, false},
    {"depthwise_4x4_two_blocks", spec(1, 16, 2, 12, 16, 4, 1, 1, 16), true, 2, false},
    {"depthwise_serial_small", spec(1, 4, 6, 6, 4, 3, 1, 1, 4), true, 1, false},
    {"depthwise_parallel_blocks", spec(1, 70, 30, 30, 70, 3, 1, 1, 70), true, 2, false},
    {"depthwise_parallel_small_planes", spec(1, 600, 7, 7, 600, 5, 1, 2, 600), true, 3, false},
    {"depthwise_3x3_nopad", spec(2, 9, 12, 40, 9, 3, 1, 0, 9), false, 0, false},
    {"depthwise_dilated_rows", dilated_depthwise(2, 1), true, 0, false},
    {"depthwise_dilated_cols", dilated_depthwise(1, 2), true, 0, false},
    {"depthwise_forced_general", spec(1, 32, 17, 19, 32, 3, 1, 1, 32), true, 1, true},
    {"depthwise_forced_general_tiles", spec(2, 16, 48, 48, 16, 3, 1, 1, 16), true, 3, true},
    {"groups_tiles", spec(1, 12, 40, 44, 18, 3, 1, 1, 3), true, 2, false},
    {"depthwise_multiplier", spec(1, 8, 30, 30, 16, 3, 2, 1, 8), true, 1, false},
    {"banded_large_output", spec(1, 16, 257, 257, 4, 3, 1, 1), true, 1, false},
    // Few output positions: one product split over output channels.
    {"channel_split_general", spec(1, 16, 14, 14, 32, 3, 1, 1), true, 3, false},
    {"channel_split_pointwise", spec(1, 64, 14, 14, 48, 1, 1, 0), true, 1, false},
    {"tiny_output", spec(1, 8, 3, 3, 5, 3, 1, 0), true, 0, false},
    // Few positions, many channels, several threads: rectangles of output
    // channels by panels of positions, gathered by the whole pool first or
    // by each rectangle itself.
    {"panels_7x7", spec(1, 64, 7, 7, 70, 3, 1, 1), true, 1, false},
    {"panels_stride2_odd", spec(1, 40, 13, 11, 131, 3, 2, 1), true, 3, false},
    {"panels_5x5_batch", spec(2, 24, 9, 9, 50, 5, 1, 2), false, 0, false},
    {"panels_one_block", spec(1, 96, 10, 10, 12, 3, 1, 1), true, 1, false},
    // Column stride 2 from a padded copy split into even and odd columns.
    {"direct_stride2_stem", spec(1, 3, 40, 45, 16, 7, 2, 3), true, 1, false},
    {"direct_stride2_3x3", spec(2, 8, 33, 34, 13, 3, 2, 1), false, 3, false},
    {"direct_stride2_dilated", dilated_stride2(), true, 0, false},
    // Panels running on from one output row into the next.
    {"direct_spanning_rows", spec(1, 16, 20, 20, 24, 3, 1, 1), true, 1, false},
    {"direct_spanning_bands", spec(2, 8, 30, 37, 16, 5, 1, 2), true, 3, false},
    {"direct_stride2_deep", spec(1, 40, 41, 38, 24, 3, 2, 1), true, 1, false},
    {"direct_stride2_deep_unpadded", spec(1, 20, 24, 40, 16, 3, 2, 0), true, 2, false},
    // Grouped, few positions: partitions side by side on the pool.
    {"groups_side_by_side", spec(1, 128, 7, 7, 128, 3, 1, 1, 8), true, 1, false},
    {"groups_side_by_side_uneven", spec(2, 96, 9, 9, 160, 3, 1, 1, 16), true, 3, false},
};

// The even and odd columns of a stride-2 layer's padded copy, split by
// vectors or one by one, feed the same sums in every form.
TEST(ConvKernel, StrideTwoDirectFormsGiveTheSameBits) {
  for (const char* name : {"direct_stride2_stem", "direct_stride2_3x3", "direct_stride2_deep_unpadded"})
    for (const ConvCase& c : kCases) {
      if (std::strcmp(c.name, name) != 0) continue;
      SCOPED_TRACE(c.name);
      const ref::ConvSpec& s = c.s;
      const auto x = random_values(s.n * s.cin * s.h * s.w, 31);
      const auto w = random_values(s.cout * s.cin * s.kh * s.kw, 32, -0.5f, 0.5f);
      const auto b = c.bias ? random_values(c.act == 2 ? 3 * s.cout : s.cout, 33) : std::vector<float>{};
      const auto best = run_conv(c, x, w, b);
      for (KernelIsa isa : {KernelIsa::kAvx2, KernelIsa::kPortable})
        EXPECT_EQ(0, std::memcmp(best.data(), run_conv(c, x, w, b, 0, isa).data(), best.size() * 4));
    }
}

TEST(ConvKernel, MatchesReferenceOnEveryLayout) {
  for (const ConvCase& c : kCases) {
    SCOPED_TRACE(c.name);
    check_case(c);
  }
}

// Shapes of the direct grouped kernel: widths either side of its blocks of
// eight columns, borders, column strides 1 and 2 (the tiles) and 3 (the row
// form), dilations, uneven padding, group widths from 1 to 16 (tiles of 1
// to 4 output channels and their remainders), outputs either side of the
// parallel threshold.
ref::ConvSpec uneven_grouped() {
  ref::ConvSpec s = spec(1, 12, 13, 18, 12, 3, 1, 0, 3);
  s.sh = 2, s.pt = 0, s.pb = 2, s.pl = 2, s.pr = 0;
  return s;
}
ref::ConvSpec dilated_stride2_depthwise() {
  ref::ConvSpec s = spec(1, 6, 19, 27, 6, 3, 2, 2, 6);
  s.dh = s.dw = 2;
  return s;
}

const ConvCase kGroupedCases[] = {
    {"dw_w7", spec(1, 5, 7, 7, 5, 3, 1, 1, 5), true, 1, false},
    {"dw_w8", spec(1, 5, 6, 8, 5, 3, 1, 1, 5), false, 0, false},
    {"dw_w9_s2", spec(1, 6, 9, 9, 6, 3, 2, 1, 6), true, 3, false},
    {"dw_w17_5x5_s2", spec(1, 3, 11, 17, 3, 5, 2, 2, 3), true, 2, false},
    {"dw_w33_7x7_batch", spec(2, 4, 10, 33, 4, 7, 1, 3, 4), true, 1, false},
    {"dw_stride3", spec(1, 6, 14, 20, 6, 3, 3, 1, 6), true, 1, false},
    {"dw_dilated_s2", dilated_stride2_depthwise(), true, 0, false},
    {"dw_pad_beyond", spec(1, 3, 4, 5, 3, 3, 1, 3, 3), true, 3, false},
    {"dw_serial", spec(1, 16, 17, 16, 16, 3, 1, 1, 16), true, 1, false},
    {"dw_parallel", spec(1, 64, 24, 24, 64, 3, 1, 1, 64), true, 2, false},
    {"g1x2_s2", spec(1, 4, 12, 19, 8, 3, 2, 1, 4), true, 1, false},
    {"g2x3", spec(1, 8, 9, 10, 12, 3, 1, 1, 4), true, 3, false},
    {"g3x5_nopad_s2", spec(1, 9, 13, 11, 15, 3, 2, 0, 3), false, 0, false},
    {"g4x4_uneven", uneven_grouped(), true, 1, false},
    {"g8x8_s1", spec(1, 48, 14, 14, 48, 3, 1, 1, 6), true, 1, false},
    {"g8x8_s2_parallel", spec(1, 48, 28, 29, 48, 3, 2, 1, 6), true, 1, false},
    {"g10x10_5x5_s2", spec(1, 20, 15, 15, 20, 5, 2, 2, 2), true, 2, false},
    {"g12x6_1x1", spec(1, 24, 9, 9, 12, 1, 1, 0, 2), true, 1, false},
    {"g16x16", spec(1, 32, 10, 21, 32, 3, 1, 1, 2), true, 3, false},
};

TEST(ConvKernel, GroupedFormsAndColumnPathGiveTheSameBits) {
  for (const ConvCase& c : kGroupedCases) {
    SCOPED_TRACE(c.name);
    check_grouped_bits(c);
  }
}

TEST(ConvKernel, DeepStrideTwoPathsGiveTheSameBits) {
  // Under AVX-512 a deep layer of column stride 2 runs the direct path,
  // under AVX2 column matrices: one order of sums either way.
  if (!cpu_has_avx512f()) GTEST_SKIP() << "no AVX-512";
  const ConvCase c{"deep_s2", spec(1, 40, 41, 38, 24, 3, 2, 1), true, 1, false};
  const auto x = random_values(40 * 41 * 38, 31);
  const auto w = random_values(24 * 40 * 9, 32, -0.5f, 0.5f);
  const auto b = random_values(24, 33);
  const auto wide = run_conv(c, x, w, b, 0, KernelIsa::kAvx512), narrow = run_conv(c, x, w, b, 0, KernelIsa::kAvx2);
  EXPECT_EQ(0, std::memcmp(wide.data(), narrow.data(), wide.size() * 4));
}

TEST(ConvKernel, RandomSmallShapesMatchReference) {
  // A sweep of small shapes that reaches every border case of the
  // depthwise fixed-size rows and of the im2col spans: kernels 1 to 7,
  // strides 1 to 3, dilations 1 and 2, pads up to past the kernel, groups.
  uint32_t seed = 12345;
  auto next = [&](uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int64_t>((seed >> 8) % n);
  };
  for (int t = 0; t < 300; ++t) {
    ref::ConvSpec s;
    const bool depthwise = next(2) == 0;
    s.kh = 1 + next(7);
    s.kw = next(3) == 0 ? 1 + next(7) : s.kh;
    s.sh = 1 + next(3), s.sw = 1 + next(3);
    s.dh = 1 + next(2), s.dw = 1 + next(2);
    s.pt = next(s.kh + 1), s.pl = next(s.kw + 1), s.pb = next(s.kh + 1), s.pr = next(s.kw + 1);
    s.h = 1 + next(12), s.w = 1 + next(14);
    if (s.hout() < 1 || s.wout() < 1) continue;
    s.n = 1 + next(2);
    if (depthwise) {
      s.cin = s.cout = s.g = 1 + next(10);
    } else {
      s.g = 1 + next(3);
      s.cin = s.g * (1 + next(3)), s.cout = s.g * (1 + next(4));
    }
    const ConvCase c{"random", s, next(2) == 0, static_cast<int>(next(4)), false};
    SCOPED_TRACE(::testing::Message() << "case " << t << ": k " << s.kh << "x" << s.kw << " s " << s.sh << "," << s.sw
                                      << " d " << s.dh << "," << s.dw << " pads " << s.pt << "," << s.pl << ","
                                      << s.pb << "," << s.pr << " in " << s.h << "x" << s.w << " g " << s.g);
    const ConvCase run = c.act == 2 && !c.bias ? ConvCase{"random", s, true, 2, false} : c;
    if (s.g > 1)
      check_grouped_bits(run);
    else
      check_case(run);
  }
}

TEST(ConvKernel, DepthwiseNarrowPlanesStayInsideTheirPlane) {
  // Rows narrower than a vector (planes of 1 to 5 columns): the vector
  // form must not write into the neighbouring channels' planes, which
  // other threads may be computing, nor past the last plane.
  for (int64_t wd : {1, 2, 3, 4, 5})
    for (int64_t k : {3, 5}) {
      SCOPED_TRACE(::testing::Message() << "width " << wd << " kernel " << k);
      const int64_t h = 3;
      kern::ConvParams p;
      p.x = {1, 3, h, wd};
      p.y = {1, 3, h, wd};
      p.kh = p.kw = k, p.padt = p.padl = k / 2, p.g = 3;
      const auto x = random_values(3 * h * wd, 7), w = random_values(3 * k * k, 8);
      // Three planes and a guard plane after them, all sentinels; only the
      // middle plane is computed.
      std::vector<float> y(4 * h * wd, -123.0f);
      kern::ConvPlan c;
      char msg[256];
      ASSERT_TRUE(kern::conv_plan(p, kern::ConvPlanInputs{}, &c, msg, sizeof msg)) << msg;
      ASSERT_EQ(c.path, kern::ConvPath::kGrouped);
      kern::conv_grouped_rows(c, x.data(), w.data(), nullptr, y.data(), 1, 2, 0, h);
      ref::ConvSpec s = spec(1, 1, h, wd, 1, k, 1, k / 2);
      const std::vector<float> x1(x.begin() + h * wd, x.begin() + 2 * h * wd), w1(w.begin() + k * k, w.begin() + 2 * k * k);
      const std::vector<float> mid(y.begin() + h * wd, y.begin() + 2 * h * wd);
      EXPECT_TRUE(close_to_reference(mid, ref::conv2d(s, x1, w1, {})));
      for (int64_t i = 0; i < h * wd; ++i) EXPECT_EQ(y[size_t(i)], -123.0f) << "plane 0 at " << i;
      for (int64_t i = 2 * h * wd; i < 4 * h * wd; ++i) EXPECT_EQ(y[size_t(i)], -123.0f) << "after at " << i;
    }
}

// The kernel's view of a square-kernel layer.
kern::ConvParams params_of(const ref::ConvSpec& s) {
  kern::ConvParams p;
  p.x = {1, s.cin, s.h, s.w};
  p.y = {1, s.cout, s.hout(), s.wout()};
  p.kh = s.kh, p.kw = s.kw, p.sh = s.sh, p.sw = s.sw, p.padt = s.pt, p.padl = s.pl, p.dh = s.dh, p.dw = s.dw;
  p.g = s.g;
  return p;
}

TEST(ConvKernel, TinyDepthwisePlanesGiveThePortableBits) {
  // Depthwise planes small enough to be summed across their padded rows:
  // odd channel counts, 1 x 1 to 5 x 5 outputs, uneven padding, dilation,
  // 2 x 2 and 5 x 5 kernels, each fused activation, and a channel whose
  // infinite weight sends it to the row forms (which skip padding taps);
  // planned for one to eight threads in each vector form, against the
  // portable form's bits and the reference.
  struct Shape {
    int64_t c, h, w, k, pt, pl, pb, pr, dilation;
    bool inf_weight;
  };
  const Shape shapes[] = {{128, 3, 3, 3, 1, 1, 1, 1, 1, false}, {64, 5, 5, 3, 1, 1, 1, 1, 1, false},
                          {13, 2, 2, 3, 1, 1, 1, 1, 1, false},  {9, 1, 1, 3, 1, 1, 1, 1, 1, true},
                          {8, 4, 3, 3, 0, 2, 2, 0, 1, false},   {10, 3, 4, 5, 2, 2, 2, 2, 1, true},
                          {6, 2, 3, 3, 2, 2, 2, 2, 2, false},   {16, 6, 6, 2, 0, 0, 0, 0, 1, false}};
  int act = 0;
  for (const Shape& sh : shapes) {
    act = (act + 1) % 4;
    ref::ConvSpec s = spec(1, sh.c, sh.h, sh.w, sh.c, sh.k, 1, 0, sh.c);
    s.pt = sh.pt, s.pl = sh.pl, s.pb = sh.pb, s.pr = sh.pr, s.dh = s.dw = sh.dilation;
    SCOPED_TRACE(::testing::Message() << sh.c << " channels " << sh.h << "x" << sh.w << " k " << sh.k << " act " << act);
    EXPECT_TRUE(kern::depthwise_tiny_applies(params_of(s), KernelIsa::kAvx2));
    const ConvCase c{"tiny", s, act == 2 || sh.c % 2 == 0, act, false};
    const auto x = random_values(s.cin * s.h * s.w, 31);
    auto w = random_values(s.cout * s.kh * s.kw, 32, -0.5f, 0.5f);
    if (sh.inf_weight) w[s.kh * s.kw] = std::numeric_limits<float>::infinity();
    const auto b = c.bias ? random_values(act == 2 ? 3 * s.cout : s.cout, 33) : std::vector<float>{};
    const auto portable = run_conv(c, x, w, b, 0, KernelIsa::kPortable);
    if (!sh.inf_weight) {
      EXPECT_TRUE(close_to_reference(portable, ref::conv2d(s, x, w, b, act, 0.125)));
    }
    for (KernelIsa isa : {KernelIsa::kAvx512, KernelIsa::kAvx2}) {
      if (isa == KernelIsa::kAvx512 && !cpu_has_avx512f()) continue;
      if (isa == KernelIsa::kAvx2 && !cpu_has_avx2_fma()) continue;
      for (int64_t threads : {1, 2, 3, 8}) {
        ConvCase t = c;
        t.threads = threads;
        const auto got = run_conv(t, x, w, b, 0, isa);
        EXPECT_EQ(0, std::memcmp(got.data(), portable.data(), got.size() * 4))
            << "form " << int(isa) << " threads " << threads;
      }
    }
  }
}

TEST(ConvKernel, HalfPanelPlanesGiveTheWholePanelBits) {
  // Planes of at most eight positions on the panel path: a framing layer
  // (one row, a wide kernel at a large stride, depths of one and of more
  // than one block, the last partial), strided heads of 2 x 2 and 1 x 1
  // (one of a 1 x 1 kernel, kept off the subsampled pointwise product),
  // padding and dilation that leave taps outside, row counts off the
  // tile's twelve; every fused activation. Planned for one to eight
  // threads in each vector form, against the same form's whole-panel
  // product, the portable bits and the reference.
  struct Shape {
    int64_t cin, h, w, cout, kh, kw, sh, sw, pad, dilation;
  };
  const Shape shapes[] = {{1, 1, 400, 37, 1, 96, 1, 40, 0, 1},  {1, 1, 1300, 25, 1, 600, 1, 100, 0, 1},
                          {64, 4, 4, 13, 3, 3, 3, 3, 1, 1},    {32, 3, 3, 1, 3, 3, 3, 3, 0, 1},
                          {5, 6, 7, 26, 3, 3, 3, 3, 2, 2},     {40, 7, 7, 12, 3, 3, 3, 3, 0, 1},
                          {64, 3, 3, 19, 1, 1, 2, 2, 0, 1}};
  int act = 0;
  for (const Shape& sh : shapes) {
    act = (act + 1) % 4;
    ref::ConvSpec s = spec(1, sh.cin, sh.h, sh.w, sh.cout, sh.kh, sh.sh, sh.pad);
    s.kw = sh.kw, s.sw = sh.sw, s.dh = s.dw = sh.dilation;
    if (sh.h == 1) s.pt = s.pb = 0;
    SCOPED_TRACE(::testing::Message() << sh.cin << " -> " << sh.cout << " on " << sh.h << "x" << sh.w << " k "
                                      << sh.kh << "x" << sh.kw << " act " << act);
    ASSERT_LE(s.hout() * s.wout(), 8);
    const ConvCase c{"half_panel", s, act == 2 || sh.cout % 2 == 0, act, false};
    const auto x = random_values(s.cin * s.h * s.w, 41);
    const auto w = random_values(s.cout * s.cin * s.kh * s.kw, 42, -0.5f, 0.5f);
    const auto b = c.bias ? random_values(act == 2 ? 3 * s.cout : s.cout, 43) : std::vector<float>{};
    const auto portable = run_conv(c, x, w, b, 0, KernelIsa::kPortable);
    EXPECT_TRUE(close_to_reference(portable, ref::conv2d(s, x, w, b, act, 0.125)));
    for (KernelIsa isa : {KernelIsa::kAvx512, KernelIsa::kAvx2}) {
      if (isa == KernelIsa::kAvx512 && !cpu_has_avx512f()) continue;
      if (isa == KernelIsa::kAvx2 && !cpu_has_avx2_fma()) continue;
      ConvCase whole = c;
      whole.no_half_panel = true;
      const auto panels = run_conv(whole, x, w, b, 0, isa);
      EXPECT_EQ(0, std::memcmp(panels.data(), portable.data(), panels.size() * 4)) << "form " << int(isa);
      for (int64_t threads : {1, 2, 3, 8}) {
        kern::ConvPlan plan;
        ConvCase t = c;
        t.threads = threads;
        t.plan_out = &plan;
        const auto got = run_conv(t, x, w, b, 0, isa);
        EXPECT_TRUE(plan.path == kern::ConvPath::kPanels && plan.half_panel) << "threads " << threads;
        EXPECT_EQ(0, std::memcmp(got.data(), panels.data(), got.size() * 4))
            << "form " << int(isa) << " threads " << threads;
      }
    }
  }
}

TEST(ConvKernel, DepthwiseTilesMatchReference) {
  // The direct tiles across plane sizes (a single block per row, tiles
  // spanning rows, several tiles per row), column strides 1 and 2 with odd
  // widths, row stride different from column stride,
  // uneven padding, every fused activation with and without bias.
  struct Plane {
    int64_t h, w;
  };
  const Plane planes[] = {{7, 7}, {14, 14}, {9, 13}, {3, 17}, {230, 150}, {5, 40}};
  int act = 0;
  for (int64_t k : {3, 5, 7})
    for (int64_t stride : {1, 2})
      for (const Plane& pl : planes) {
        ref::ConvSpec s = spec(1, 3, pl.h, pl.w, 3, k, stride, k / 2, 3);
        if (pl.h == 9) s.pt = 0, s.pb = k - 1, s.pl = k - 1, s.pr = 0;
        if (pl.h == 3) s.sh = 3 - stride;
        if (s.hout() < 1 || s.wout() < 1) continue;
        act = (act + 1) % 4;
        const bool bias = act == 2 || pl.w % 2 == 0;
        SCOPED_TRACE(::testing::Message() << "k " << k << " stride " << stride << " plane " << pl.h << "x" << pl.w
                                          << " act " << act << " bias " << bias);
        check_case(ConvCase{"strips", s, bias, act, false});
      }
}

TEST(ConvKernel, DepthwiseSmallPlanesMatchEveryForm) {
  // Output rows narrower than a vector take eight channels a vector:
  // channel counts on and off multiples of eight, planes of 1 x 1 to 7 x 7,
  // strides 1 and 2, a 4 x 4 window over a whole 4 x 4 plane, a 5 x 5
  // window, every fused activation with and without bias.
  struct Shape {
    int64_t c, h, w, k, stride, pad;
  };
  const Shape shapes[] = {{8, 4, 4, 3, 1, 1},  {11, 5, 5, 3, 1, 1},  {20, 3, 3, 3, 1, 1}, {64, 2, 2, 3, 1, 1},
                          {13, 7, 7, 3, 2, 1}, {24, 4, 4, 4, 1, 0},  {9, 6, 5, 5, 1, 2},  {17, 1, 1, 3, 1, 1},
                          {16, 14, 6, 3, 2, 1}};
  int act = 0;
  for (const Shape& sh : shapes) {
    act = (act + 1) % 4;
    const ref::ConvSpec s = spec(1, sh.c, sh.h, sh.w, sh.c, sh.k, sh.stride, sh.pad, sh.c);
    SCOPED_TRACE(::testing::Message() << sh.c << " channels " << sh.h << "x" << sh.w << " k " << sh.k << " act " << act);
    check_grouped_bits(ConvCase{"lanes", s, act == 2 || sh.c % 2 == 0, act, false});
  }
}

TEST(ConvKernel, DepthwiseLanesWithUnderflowingProductsMatchEveryForm) {
  // Eight channels a vector: bands whose inputs or products with their
  // channel's weights are not normal floats (a whole channel, a few rows of
  // one, a single pixel, tiny weights times tiny inputs) go one channel at
  // a time, and every form gives the same bits.
  struct Shape {
    int64_t c, h, w, k, stride;
  };
  const Shape shapes[] = {{24, 4, 4, 3, 1}, {19, 7, 7, 3, 2}, {16, 40, 3, 5, 1}};
  const float sub = std::numeric_limits<float>::denorm_min() * 3.0f;
  int act = 0;
  for (const Shape& sh : shapes) {
    act = (act + 1) % 4;
    const ref::ConvSpec s = spec(1, sh.c, sh.h, sh.w, sh.c, sh.k, sh.stride, sh.k / 2, sh.c);
    const ConvCase c{"lanes_tiny", s, true, act, false};
    SCOPED_TRACE(::testing::Message() << sh.c << " channels " << sh.h << "x" << sh.w << " k " << sh.k);
    auto x = random_values(s.n * s.cin * s.h * s.w, 31);
    auto w = random_values(s.cout * s.kh * s.kw, 32, -0.5f, 0.5f);
    const int64_t hw = sh.h * sh.w, taps = sh.k * sh.k;
    for (int64_t i = 0; i < hw; ++i) x[2 * hw + i] = (i % 3 == 0 ? -sub : sub) * static_cast<float>(i % 7);
    for (int64_t i = sh.w; i < 3 * sh.w; ++i) x[11 * hw + i] = sub;
    x[(sh.c - 1) * hw + hw / 2] = -sub;
    for (int64_t i = 0; i < hw; ++i) x[9 * hw + i] *= 1e-21f;
    for (int64_t t = 0; t < taps; ++t) w[9 * taps + t] *= 1e-20f;
    const auto b = random_values(act == 2 ? 3 * s.cout : s.cout, 33);
    const auto best = run_conv(c, x, w, b);
    EXPECT_TRUE(close_to_reference(best, ref::conv2d(s, x, w, b, act, 0.125)));
    for (KernelIsa isa : {KernelIsa::kPortable, KernelIsa::kAvx2}) {
      if (isa == KernelIsa::kAvx2 && !cpu_has_avx2_fma()) continue;
      const auto other = run_conv(c, x, w, b, 0, isa);
      EXPECT_EQ(0, std::memcmp(best.data(), other.data(), best.size() * 4)) << static_cast<int>(isa);
    }
  }
}

TEST(ConvKernel, DepthwiseWideFormGivesTheEightLaneBits) {
  // Sixteen columns a vector under AVX-512: rows of one block and of
  // several (and an odd last one), widths either side of 16 and 32, rows
  // either side of the tiles' 4, 7 and 8, kernels 3, 5 and 7, strides 1 and
  // 2, padding past the kernel, every fused activation with and without
  // bias, one and more units of rows; the eight-lane and portable forms give
  // the same bits. Planes of up to 64 positions whose rows are too narrow
  // for a vector each run flat (one to four vectors, kernels 3, 5 and 7),
  // planned for one to eight threads.
  if (!cpu_has_avx512f()) GTEST_SKIP() << "no AVX-512";
  struct Shape {
    int64_t c, h, w, k, stride, pad;
  };
  const Shape shapes[] = {{5, 7, 7, 3, 1, 1},     {3, 14, 14, 3, 1, 1},  {4, 28, 28, 3, 2, 1},  {2, 9, 16, 3, 1, 1},
                          {3, 11, 17, 5, 1, 2},   {2, 13, 33, 7, 1, 3},  {3, 12, 40, 5, 2, 2},  {2, 5, 31, 3, 2, 0},
                          {2, 23, 112, 3, 1, 1},  {2, 6, 3, 3, 1, 4},    {40, 30, 30, 3, 1, 1}, {3, 15, 46, 7, 2, 3},
                          {6, 8, 8, 3, 1, 1},     {4, 5, 5, 5, 1, 2},    {3, 7, 7, 7, 1, 3},    {3, 9, 7, 3, 1, 1},
                          {2, 2, 6, 3, 1, 1},     {120, 7, 7, 3, 1, 1}};
  const int acts[] = {kern::kActNone,      kern::kActRelu, kern::kActReluAffine, kern::kActLeaky,
                      kern::kActHardSwish, kern::kActClip, kern::kActSiLU};
  int n = 0;
  for (const Shape& sh : shapes) {
    const int act = acts[n++ % 7];
    const ref::ConvSpec s = spec(1, sh.c, sh.h, sh.w, sh.c, sh.k, sh.stride, sh.pad, sh.c);
    const bool bias = act == kern::kActReluAffine || n % 2 == 0;
    SCOPED_TRACE(::testing::Message() << sh.c << " channels " << sh.h << "x" << sh.w << " k " << sh.k << " stride "
                                      << sh.stride << " act " << act);
    const ConvCase c{"wide", s, bias, act, false};
    const auto x = random_values(s.cin * s.h * s.w, 41, -3.0f, 3.0f);
    const auto w = random_values(s.cout * s.kh * s.kw, 42, -0.5f, 0.5f);
    const auto b = bias ? random_values(act == kern::kActReluAffine ? 3 * s.cout : s.cout, 43) : std::vector<float>{};
    const auto wide = run_conv(c, x, w, b, 0, KernelIsa::kAvx512);
    if (act <= kern::kActLeaky) {
      EXPECT_TRUE(close_to_reference(wide, ref::conv2d(s, x, w, b, act, 0.125)));
    }
    for (int64_t threads : {1, 2, 3, 8}) {
      ConvCase t = c;
      t.threads = threads;
      const auto cut = run_conv(t, x, w, b, 0, KernelIsa::kAvx512);
      EXPECT_EQ(0, std::memcmp(wide.data(), cut.data(), wide.size() * 4)) << threads << " threads";
    }
    for (KernelIsa isa : {KernelIsa::kAvx2, KernelIsa::kPortable}) {
      const auto other = run_conv(c, x, w, b, 0, isa);
      EXPECT_EQ(0, std::memcmp(wide.data(), other.data(), wide.size() * 4)) << static_cast<int>(isa);
    }
  }
}

TEST(ConvKernel, DepthwiseWideEpilogueEdgesGiveTheEightLaneBits) {
  // The sixteen-lane epilogues past the exponential's clamps, at NaN and at
  // the infinities: inputs up to +-300 with NaN and infinities planted.
  if (!cpu_has_avx512f()) GTEST_SKIP() << "no AVX-512";
  for (int act : {kern::kActSiLU, kern::kActHardSwish, kern::kActClip, kern::kActRelu}) {
    SCOPED_TRACE(act);
    const ref::ConvSpec s = spec(1, 3, 9, 40, 3, 3, 1, 1, 3);
    const ConvCase c{"wide_edges", s, true, act, false};
    auto x = random_values(3 * 9 * 40, 51, -300.0f, 300.0f);
    x[5] = std::numeric_limits<float>::quiet_NaN();
    x[100] = std::numeric_limits<float>::infinity();
    x[300] = -std::numeric_limits<float>::infinity();
    const auto w = random_values(3 * 9, 52, -0.5f, 0.5f), b = random_values(3, 53);
    const auto wide = run_conv(c, x, w, b, 0, KernelIsa::kAvx512);
    for (KernelIsa isa : {KernelIsa::kAvx2, KernelIsa::kPortable}) {
      const auto other = run_conv(c, x, w, b, 0, isa);
      EXPECT_EQ(0, std::memcmp(wide.data(), other.data(), wide.size() * 4)) << static_cast<int>(isa);
    }
  }
}

struct PlaneShape {
  int64_t cin, h, w, cout, k, pad, dilation, stride;
};

// Each shape on seeded data, with the activations in turn (5 x 5 kernels
// padded one row less above than below): the path the plan picks, in every
// form this processor runs, gives the column-matrix path's bits (a
// workspace of one column row, or for a pointwise layer of one column), and
// that path is near the reference; planned for each of the given thread
// counts (0: this pool's).
void check_column_path_bits(const char* name, std::initializer_list<PlaneShape> shapes, uint32_t seed,
                            std::initializer_list<int64_t> thread_counts = {0}) {
  int act = 0;
  for (const PlaneShape& sh : shapes) {
    act = (act + 1) % 4;
    ref::ConvSpec s = spec(1, sh.cin, sh.h, sh.w, sh.cout, sh.k, sh.stride, sh.pad);
    s.dh = s.dw = sh.dilation;
    if (sh.k == 5) s.pb = 1;
    SCOPED_TRACE(::testing::Message() << sh.cin << " -> " << sh.cout << " on " << sh.h << "x" << sh.w << " act " << act);
    const ConvCase c{name, s, act == 2 || sh.cout % 2 == 0, act, false};
    const auto x = random_values(s.cin * s.h * s.w, seed);
    const auto w = random_values(s.cout * s.cin * s.kh * s.kw, seed + 1, -0.5f, 0.5f);
    const auto b = c.bias ? random_values(act == 2 ? 3 * s.cout : s.cout, seed + 2) : std::vector<float>{};
    // (A pointwise layer's column path: a workspace of one value per input
    // channel, too little for any path but the library product.)
    const bool pointwise = sh.k == 1 && sh.stride == 1 && sh.pad == 0;
    const auto column = run_conv(c, x, w, b, static_cast<size_t>(pointwise ? s.cin : s.cin * s.kh * s.kw * s.wout()) * 4);
    EXPECT_TRUE(close_to_reference(column, ref::conv2d(s, x, w, b, act, 0.125)));
    for (KernelIsa isa : kForms) {
      if (isa == KernelIsa::kAvx512 && !cpu_has_avx512f()) continue;
      if (isa == KernelIsa::kAvx2 && !cpu_has_avx2_fma()) continue;
      for (int64_t threads : thread_counts) {
        ConvCase t = c;
        t.threads = threads;
        const auto picked = run_conv(t, x, w, b, 0, isa);
        EXPECT_EQ(0, std::memcmp(picked.data(), column.data(), picked.size() * 4))
            << "form " << int(isa) << " threads " << threads;
      }
    }
  }
}

TEST(ConvKernel, SmallPlanesAcrossRowsGiveTheColumnPathsBits) {
  // Output rows narrower than half a panel at stride 1 run panels across
  // the padded rows, and strided 1x1 layers of small planes run as
  // pointwise ones on a copy of their positions: a 2 x 2 plane of 128
  // channels, depths past one block of 256 (few rows of one panel: the
  // blocks side by side), dilation, uneven padding, and
  // layers large enough to copy over the pool.
  check_column_path_bits("across",
                         {{128, 2, 2, 2, 3, 1, 1, 1},
                          {64, 3, 3, 5, 3, 1, 1, 1},
                          {170, 2, 3, 8, 3, 1, 1, 1},
                          {8, 5, 5, 16, 3, 1, 1, 1},
                          {3, 9, 9, 5, 3, 0, 1, 1},
                          {40, 4, 4, 9, 3, 1, 1, 1},
                          {6, 6, 6, 4, 3, 2, 2, 1},
                          {5, 3, 7, 3, 5, 2, 1, 1},
                          {8, 20, 20, 16, 1, 0, 1, 2},
                          {300, 5, 5, 20, 1, 0, 1, 2},
                          {7, 9, 8, 5, 1, 0, 1, 3},
                          {256, 7, 7, 384, 3, 1, 1, 1},
                          {256, 28, 28, 128, 1, 0, 1, 2}},
                         31);
}

TEST(ConvKernel, DeepFewOutputsGiveTheColumnPathsBits) {
  // A few output channels of deep sums on a plane of one vector across its
  // padded rows, the depth blocks side by side: a classifier's 3 x 3
  // kernel over 128 channels of 2 x 2, odd channel counts, one block and a
  // part, five blocks of a 2 x 2 kernel, a 5 x 5 kernel, dilation; on one
  // to eight threads.
  const std::initializer_list<PlaneShape> shapes = {{128, 2, 2, 2, 3, 1, 1, 1}, {64, 3, 3, 3, 3, 0, 1, 1},
                                                    {40, 4, 4, 1, 3, 0, 1, 1},  {300, 1, 2, 4, 2, 1, 1, 1},
                                                    {20, 3, 3, 2, 5, 1, 1, 1},  {60, 5, 5, 2, 3, 0, 2, 1}};
  for (const PlaneShape& sh : shapes) {
    ref::ConvSpec s = spec(1, sh.cin, sh.h, sh.w, sh.cout, sh.k, sh.stride, sh.pad);
    s.dh = s.dw = sh.dilation;
    if (sh.k == 5) s.pb = 1;
    EXPECT_TRUE(kern::deep_tiny_applies(params_of(s), KernelIsa::kAvx2)) << sh.cin << " -> " << sh.cout;
  }
  check_column_path_bits("deep", shapes, 61, {1, 2, 3, 8});
}

TEST(ConvKernel, StridedSmallPlanesAcrossPhasesGiveTheColumnPathsBits) {
  // Output rows narrower than half a panel at stride 2 run panels across
  // the rows of each stride phase of the padded plane: even and odd input
  // sizes, a 5 x 5 kernel padded unevenly, dilation, no padding, a plane
  // of two positions deep past one block, planned for one to eight
  // threads.
  check_column_path_bits("across_phases",
                         {{64, 14, 14, 96, 3, 1, 1, 2},
                          {40, 13, 11, 24, 3, 1, 1, 2},
                          {24, 9, 9, 16, 5, 2, 1, 2},
                          {16, 12, 12, 8, 3, 2, 2, 2},
                          {130, 4, 5, 17, 3, 0, 1, 2},
                          {8, 6, 6, 4, 3, 0, 1, 2}},
                         37, {1, 2, 3, 8});
}

TEST(ConvKernel, ChannelLanesGiveTheColumnPathsBitsInEveryForm) {
  // Small planes of many output channels run with the channels along the
  // lanes: 7 x 7 and 13-wide rows (runs of unequal length), dilation,
  // uneven padding, depths past one block of 256, channels that fill no
  // whole tile.
  check_column_path_bits("lanes",
                         {{64, 7, 7, 96, 3, 1, 1, 1},
                          {40, 13, 13, 48, 3, 1, 1, 1},
                          {16, 9, 13, 33, 3, 2, 2, 1},
                          {3, 11, 12, 64, 5, 2, 1, 1},
                          {130, 4, 5, 17, 3, 1, 1, 1}},
                         41);
  // A tile or two of channels, which over several threads run as panels
  // instead: planned for one to eight threads.
  check_column_path_bits("lanes_few_tiles", {{128, 7, 7, 32, 3, 1, 1, 1}, {96, 6, 7, 40, 3, 1, 1, 1}}, 47,
                         {1, 2, 3, 8});
  // Pointwise layers, read in place: depths past one block, channels that
  // fill no whole tile, a one-row plane, a plane of one position, and deep
  // weights on planes that fill whole panels; runs across the rows of a
  // plane (5 x 5, 3 x 9) and of the bands a layer split over the pool
  // takes (576 -> 160 on 7 x 7).
  check_column_path_bits("lanes_pointwise",
                         {{96, 5, 5, 640, 1, 0, 1, 1},
                          {520, 3, 9, 200, 1, 0, 1, 1},
                          {576, 7, 7, 160, 1, 0, 1, 1},
                          {160, 7, 7, 96, 1, 0, 1, 1},
                          {300, 7, 7, 40, 1, 0, 1, 1},
                          {24, 5, 7, 33, 1, 0, 1, 1},
                          {7, 1, 13, 64, 1, 0, 1, 1},
                          {72, 1, 1, 40, 1, 0, 1, 1},
                          {256, 8, 8, 260, 1, 0, 1, 1}},
                         43);
  // Deep pointwise layers on planes that leave panel lanes idle run in
  // lanes on one thread too; tiles of channels short of a whole one, and
  // positions in blocks of eight and a rest, on one to eight threads.
  check_column_path_bits("lanes_deep_pointwise", {{576, 7, 7, 160, 1, 0, 1, 1}, {264, 3, 11, 44, 1, 0, 1, 1}}, 73,
                         {1, 2, 3, 8});
}

TEST(ConvKernel, PointwisePartialPanelOverThePoolGivesTheColumnPathsBits) {
  // Pointwise layers of panels over the pool, whose rectangles holding the
  // partial last panel each copy it themselves: a rest of 4 positions
  // (14 x 14) with depths below and past one block of 256, a rest of 3 and
  // of 9, on one to eight threads.
  check_column_path_bits("partial_panel",
                         {{384, 14, 14, 64, 1, 0, 1, 1},
                          {96, 14, 14, 576, 1, 0, 1, 1},
                          {200, 9, 11, 72, 1, 0, 1, 1},
                          {600, 13, 13, 100, 1, 0, 1, 1}},
                         83, {1, 2, 3, 8});
  // Widening layers on small planes, which a full pool cuts by output
  // channels alone: whole panels, and a rest of 4 positions.
  check_column_path_bits("widening", {{24, 16, 16, 144, 1, 0, 1, 1}, {40, 10, 10, 200, 1, 0, 1, 1}}, 89,
                         {1, 2, 3, 8});
  // Shallow layers on planes whose rows thrash the cache, their panels
  // gathered a few at a time and finished by the product (the first and
  // the last, whose activations it applies), or copied by the general one.
  check_column_path_bits("gathered",
                         {{16, 32, 32, 96, 1, 0, 1, 1},
                          {24, 8, 40, 50, 1, 0, 1, 1},
                          {8, 16, 16, 20, 1, 0, 1, 1},
                          {32, 16, 44, 52, 1, 0, 1, 1}},
                         97, {1, 2, 3, 8});
}

TEST(ConvKernel, FewChannelsCopiedInPartsGiveTheColumnPathsBits) {
  // The direct path copies the padded rows of layers of few input channels
  // in parts of a channel over the pool: a strided stem and a plain one.
  check_column_path_bits("parts", {{3, 80, 80, 16, 3, 1, 1, 2}, {2, 150, 64, 8, 3, 1, 1, 1}}, 61);
}

TEST(ConvKernel, DirectSplitsForEveryPoolGiveTheColumnPathsBits) {
  // Planes whose panels (spanning output rows) the direct path cuts into
  // rectangles differently for one to eight threads.
  check_column_path_bits("direct_split", {{24, 20, 20, 64, 3, 1, 1, 1}, {16, 28, 28, 128, 3, 1, 1, 1}}, 67,
                         {1, 2, 3, 8});
}

TEST(ConvKernel, DirectRectanglesPaddingTheirOwnRowsGiveTheColumnPathsBits) {
  // Over the pool, rectangles cut mostly by positions pad the rows they
  // read themselves: a strided 7 x 7 stem, panels spanning rows, a dilated
  // 5 x 5 kernel, rows of one panel and a bit, a plane cut into bands (the
  // last one shorter) on two threads, and a deeper layer whose rectangles
  // also split its output channels.
  check_column_path_bits("own_rows",
                         {{3, 90, 70, 16, 7, 3, 1, 2},
                          {16, 40, 41, 24, 3, 1, 1, 1},
                          {8, 33, 36, 16, 5, 2, 2, 1},
                          {12, 41, 35, 8, 3, 1, 1, 2},
                          {8, 200, 330, 8, 3, 1, 1, 1},
                          {32, 24, 30, 64, 3, 1, 1, 1}},
                         71, {1, 2, 3, 8});
  // Blocks of output channels of one group of panels, which a thread takes
  // one after another and pads once for: spanning rows, and strided.
  check_column_path_bits("own_rows_kept", {{24, 28, 28, 128, 3, 1, 1, 1}, {16, 56, 56, 128, 3, 1, 1, 2}}, 73,
                         {1, 2, 3, 8});
}

TEST(ConvKernel, DirectPaddedRowsOfEveryWidthGiveTheColumnPathsBits) {
  // The direct path's zero-padded rows at widths either side of a vector
  // of eight and on its edge, padding of none to three columns (dilated),
  // and with stride 2 even and odd widths, a column phase ending on a
  // vector's edge, and a stem's wide padding.
  check_column_path_bits("padded_rows",
                         {{5, 24, 9, 8, 3, 1, 1, 1},
                          {6, 20, 23, 16, 3, 2, 1, 1},
                          {4, 21, 17, 8, 5, 2, 1, 1},
                          {3, 19, 16, 8, 3, 0, 1, 1},
                          {6, 22, 12, 8, 3, 3, 2, 1},
                          {7, 33, 19, 8, 3, 1, 1, 2},
                          {5, 40, 33, 8, 3, 1, 1, 2},
                          {3, 37, 30, 8, 7, 3, 1, 2},
                          {4, 35, 32, 8, 3, 0, 1, 2}},
                         83, {1, 2, 8});
}

TEST(ConvKernel, DirectBandsCutByChannelsAloneGiveTheColumnPathsBits) {
  // A band of a few panels and many output channels, cut by channels alone
  // rather than into groups ending in a lone panel: spanning rows, and
  // strided.
  check_column_path_bits("whole_band", {{24, 14, 14, 256, 3, 1, 1, 1}, {16, 28, 28, 256, 3, 1, 1, 2}}, 79,
                         {1, 2, 3, 8});
}

TEST(ConvKernel, ProductFinishGivesTheSeparatePassBits) {
  // Every form's product adds the bias, the fused residual, Relu and Clip
  // (bounds in order and reversed) as it stores (the record capped to the
  // form, so the AVX2 and portable tiles run); each must give the bits of a
  // separate pass (a plain loop) over the product alone. Residuals hold NaN,
  // infinities and negative zeros, the biases a NaN and an infinity.
  // Direct rows spanning panels, a strided stem, gathered panels of narrow
  // rows, rows of 8 or fewer columns, pointwise planes, depths past one
  // block of 256 and channels that fill no whole tile.
  const PlaneShape shapes[] = {{16, 20, 37, 24, 3, 1, 1, 1}, {3, 33, 40, 17, 3, 0, 1, 2},
                               {16, 12, 6, 12, 3, 1, 1, 1},  {32, 9, 21, 13, 3, 1, 1, 1},
                               {5, 15, 7, 7, 3, 1, 1, 1},
                               // pointwise layers read in place, a partial last panel
                               // of 15 and of 3 columns, depths past one block
                               {40, 7, 9, 20, 1, 0, 1, 1},   {300, 5, 7, 12, 1, 0, 1, 1},
                               // a deep one on an odd plane, its panels copied
                               {400, 13, 13, 20, 1, 0, 1, 1},
                               // a shallow one whose rows thrash the cache, its panels gathered
                               {24, 16, 32, 56, 1, 0, 1, 1}};
  // Clip twice: its upper bound 1.5, then 0 (below the lower one).
  const int acts[] = {kern::kActNone, kern::kActRelu, kern::kActAdd, kern::kActAddRelu, kern::kActClip, kern::kActClip};
  const float odd[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity(), -0.0f, 0.0f};
  for (const PlaneShape& sh : shapes) {
    const ref::ConvSpec s = spec(1, sh.cin, sh.h, sh.w, sh.cout, sh.k, sh.stride, sh.pad);
    const auto x = random_values(sh.cin * sh.h * sh.w, 51);
    const auto w = random_values(sh.cout * sh.cin * sh.k * sh.k, 52, -0.5f, 0.5f);
    auto b = random_values(sh.cout, 53);
    b[1] = odd[0];
    b[2] = odd[2];
    auto res = random_values(sh.cout * s.hout() * s.wout(), 54, -2.0f, 2.0f);
    for (size_t i = 0; i < res.size(); i += 7) res[i] = odd[(i / 7) % 5];
    const int64_t plane = s.hout() * s.wout();
    for (KernelIsa isa : kForms) {
      if (isa == KernelIsa::kAvx512 && !cpu_has_avx512f()) continue;
      if (isa == KernelIsa::kAvx2 && !cpu_has_avx2_fma()) continue;
      const IsaCap cap(isa);
      const auto sums = run_conv(ConvCase{"sums", s, false, kern::kActNone, false}, x, w, b, 0, isa);
      bool ordered = false;
      for (int act : acts) {
        const float hi = act == kern::kActClip && (ordered = !ordered) ? 1.5f : 0.0f;
        SCOPED_TRACE(::testing::Message() << sh.cin << " -> " << sh.cout << " on " << sh.h << "x" << sh.w << " act "
                                          << act << " hi " << hi << " form " << int(isa));
        const bool adds = kern::conv_act_adds(act), relu = act == kern::kActRelu || act == kern::kActAddRelu;
        std::vector<float> want(sums.size());
        for (size_t i = 0; i < sums.size(); ++i) {
          float t = sums[i] + b[i / plane];
          if (adds) t = t + res[i];
          if (act == kern::kActClip) t = t < 0.125f ? 0.125f : (t > hi ? hi : t);
          want[i] = relu ? (t >= 0.0f ? t : 0.0f) : t;
        }
        ConvCase c{"finish", s, true, act, false};
        c.clip_hi = hi;
        const auto got = run_conv(c, x, w, b, 0, isa, adds ? &res : nullptr);
        EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4));
      }
    }
  }
}

TEST(ConvKernel, ExpansionAndDepthwiseInBandsGiveTheTwoNodesBits) {
  // A 1 x 1 expansion and the depthwise layer behind it run together in
  // bands of output rows, its input rows expanded band by band (rows a
  // band shares with the next kept): odd planes and channel counts,
  // strides 1 and 2, kernels 3 and 5, activations the product finishes
  // and ones it leaves, with and without bias; bands of one row to the
  // whole plane, planned for one to eight threads in every form. Bit for
  // bit against the two nodes run one after the other.
  struct Shape {
    int64_t cin, cexp, h, w, k, stride;
    int act_e, act_d;
    bool bias;
  };
  const Shape shapes[] = {{16, 49, 23, 37, 3, 2, kern::kActClip, kern::kActClip, true},
                          {7, 51, 17, 19, 3, 1, kern::kActRelu, kern::kActNone, true},
                          {24, 57, 12, 30, 5, 1, kern::kActHardSwish, kern::kActClip, false},
                          {3, 63, 9, 33, 5, 2, kern::kActNone, kern::kActRelu, true},
                          {32, 48, 30, 18, 3, 2, kern::kActClip, kern::kActNone, false}};
  for (const Shape& sh : shapes) {
    const ref::ConvSpec se = spec(1, sh.cin, sh.h, sh.w, sh.cexp, 1, 1, 0);
    const ref::ConvSpec sd = spec(1, sh.cexp, sh.h, sh.w, sh.cexp, sh.k, sh.stride, sh.k / 2, sh.cexp);
    const auto x = random_values(sh.cin * sh.h * sh.w, 51, -2.0f, 2.0f);
    const auto ew = random_values(sh.cexp * sh.cin, 52, -0.5f, 0.5f), dw = random_values(sh.cexp * sh.k * sh.k, 53);
    const auto eb = sh.bias ? random_values(sh.cexp, 54) : std::vector<float>{};
    const auto db = sh.bias ? random_values(sh.cexp, 55) : std::vector<float>{};
    for (KernelIsa isa : kForms) {
      if (isa == KernelIsa::kAvx512 && !cpu_has_avx512f()) continue;
      if (isa == KernelIsa::kAvx2 && !cpu_has_avx2_fma()) continue;
      for (int64_t threads : {1, 2, 3, 8}) {
        SCOPED_TRACE(::testing::Message() << sh.cin << " to " << sh.cexp << " channels " << sh.h << "x" << sh.w
                                          << " k " << sh.k << " stride " << sh.stride << " form " << int(isa)
                                          << " threads " << threads);
        kern::ConvPlan pe, pd;
        ConvCase ce{"expand", se, sh.bias, sh.act_e, false, threads};
        ConvCase cd{"depthwise", sd, sh.bias, sh.act_d, false, threads};
        ce.plan_out = &pe, cd.plan_out = &pd;
        ce.clip_hi = cd.clip_hi = 1.5f;
        const auto mid = run_conv(ce, x, ew, eb, 0, isa);
        const auto want = run_conv(cd, mid, dw, db, 0, isa);
        ASSERT_EQ(pe.path, kern::ConvPath::kPointwisePanels);
        ASSERT_EQ(pd.path, kern::ConvPath::kGrouped);
        for (int64_t rows : {int64_t{1}, int64_t{3}, int64_t{8}, sd.hout()}) {
          std::vector<float> ws(size_t(kern::expand_depthwise_floats(pe, pd, rows)));
          std::vector<float> y(want.size(), std::numeric_limits<float>::quiet_NaN());
          kern::run_expand_depthwise(pe, pd, rows, x.data(), ew.data(), sh.bias ? eb.data() : nullptr, dw.data(),
                                     sh.bias ? db.data() : nullptr, ws.data(), y.data());
          EXPECT_EQ(0, std::memcmp(want.data(), y.data(), want.size() * 4)) << rows << " rows a band";
        }
      }
    }
  }
}

// MaxPool of every plane by the plain loop: the strictly greater tap wins,
// from the lowest float, taps outside the input skipped.
std::vector<float> max_pool_reference(const std::vector<float>& x, int64_t planes, int64_t h, int64_t w,
                                      const kern::PoolParams& q) {
  std::vector<float> y(size_t(planes * q.y.h * q.y.w));
  for (int64_t c = 0; c < planes; ++c)
    for (int64_t oy = 0; oy < q.y.h; ++oy)
      for (int64_t ox = 0; ox < q.y.w; ++ox) {
        float m = kern::kPoolLowest;
        for (int64_t i = 0; i < q.kh; ++i)
          for (int64_t j = 0; j < q.kw; ++j) {
            const int64_t iy = oy * q.sh - q.padt + i, ix = ox * q.sw - q.padl + j;
            if (iy < 0 || iy >= h || ix < 0 || ix >= w) continue;
            const float v = x[size_t((c * h + iy) * w + ix)];
            m = v > m ? v : m;
          }
        y[size_t((c * q.y.h + oy) * q.y.w + ox)] = m;
      }
  return y;
}

TEST(ConvKernel, ConvAndMaxPoolInBandsGiveTheTwoNodesBits) {
  // A convolution and the MaxPool behind it run together in bands of the
  // pool's output rows, the convolution rows a band shares with the next
  // kept: stems of stride 2 and 7 x 7 kernels, a stride-1 layer, pools of
  // stride 1 and 2, with and without padding, windows past the bottom edge
  // (ceil mode); bands of one row to the whole plane in every form. Bit for
  // bit against the convolution node followed by the pool's plain loop.
  struct Shape {
    int64_t cin, cout, h, w, k, stride, pad;
    int act;
    bool bias;
    int64_t pk, ps, pp;
    bool ceil;
  };
  const Shape shapes[] = {{3, 19, 37, 41, 3, 2, 0, kern::kActRelu, true, 3, 2, 0, true},
                          {3, 16, 45, 45, 7, 2, 3, kern::kActRelu, true, 3, 2, 1, false},
                          {5, 24, 30, 26, 3, 1, 1, kern::kActNone, false, 2, 2, 0, false},
                          {8, 9, 29, 33, 5, 2, 2, kern::kActClip, true, 3, 1, 1, false}};
  for (const Shape& sh : shapes) {
    const ref::ConvSpec sc = spec(1, sh.cin, sh.h, sh.w, sh.cout, sh.k, sh.stride, sh.pad);
    const int64_t ch = sc.hout(), cw = sc.wout();
    kern::PoolParams q;
    q.x = {1, sh.cout, ch, cw};
    q.kh = q.kw = sh.pk, q.sh = q.sw = sh.ps, q.padt = q.padl = sh.pp;
    const int64_t span_h = ch + 2 * sh.pp - sh.pk, span_w = cw + 2 * sh.pp - sh.pk;
    const int64_t up = sh.ceil ? sh.ps - 1 : 0;
    q.y = {1, sh.cout, (span_h + up) / sh.ps + 1, (span_w + up) / sh.ps + 1};
    const auto x = random_values(sh.cin * sh.h * sh.w, 61, -2.0f, 2.0f);
    const auto w = random_values(sh.cout * sh.cin * sh.k * sh.k, 62, -0.5f, 0.5f);
    const auto b = sh.bias ? random_values(sh.cout, 63) : std::vector<float>{};
    for (KernelIsa isa : kForms) {
      if (isa == KernelIsa::kAvx512 && !cpu_has_avx512f()) continue;
      if (isa == KernelIsa::kAvx2 && !cpu_has_avx2_fma()) continue;
      SCOPED_TRACE(::testing::Message() << sh.cin << " to " << sh.cout << " on " << sh.h << "x" << sh.w << " k "
                                        << sh.k << " pool " << sh.pk << "/" << sh.ps << " form " << int(isa));
      kern::ConvPlan pc;
      ConvCase cc{"stem", sc, sh.bias, sh.act, false, 1};
      cc.plan_out = &pc;
      cc.clip_hi = 1.5f;
      const auto mid = run_conv(cc, x, w, b, 0, isa);
      ASSERT_EQ(pc.path, kern::ConvPath::kDirect);
      ASSERT_FALSE(pc.direct.across());
      const auto want = max_pool_reference(mid, sh.cout, ch, cw, q);
      for (int64_t rows : {int64_t{1}, int64_t{2}, int64_t{5}, q.y.h}) {
        std::vector<float> ws(size_t(kern::conv_max_pool_floats(pc, q, rows)));
        std::vector<float> y(want.size(), std::numeric_limits<float>::quiet_NaN());
        kern::run_conv_max_pool(pc, q, isa, rows, x.data(), w.data(), sh.bias ? b.data() : nullptr, ws.data(),
                                y.data());
        EXPECT_EQ(0, std::memcmp(want.data(), y.data(), want.size() * 4)) << rows << " rows a band";
      }
      // A workspace short of one band's rows runs the two apart.
      EXPECT_EQ(0, kern::conv_max_pool_band_rows(pc, q, kern::conv_max_pool_floats(pc, q, 1) - 1));
    }
  }
}

TEST(ConvKernel, DepthwiseInfiniteWeightSkipsPaddingTaps) {
  // Taps in the padding are skipped, so an infinite weight there adds
  // nothing (a padded product would give inf x 0 = NaN).
  // Planes wide and narrow (the narrow ones take channels in lanes).
  for (int64_t wd : {12, 5}) {
    const ConvCase c{"inf_weight", spec(1, 2, 9, wd, 2, 3, 1, 1, 2), false, 0, false};
    const auto x = random_values(2 * 9 * wd, 7, 0.5f, 1.0f);
    auto w = random_values(2 * 9, 8, 0.1f, 0.2f);
    w[0] = std::numeric_limits<float>::infinity();
    const auto want = ref::conv2d(c.s, x, w, {});
    const auto got = run_conv(c, x, w, {});
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      if (std::isinf(want[i]))
        EXPECT_EQ(got[i], want[i]) << i;
      else
        EXPECT_NEAR(got[i], want[i], 1e-4) << i;
    }
  }
}

TEST(ConvKernel, StridedPointwiseEqualsGeneralPath) {
  // The same 1x1 stride-2 weights run once as a 1x1 and once as a 3x3 kernel
  // that is zero outside its centre tap (general im2col path).
  ref::ConvSpec s = spec(1, 6, 11, 11, 5, 1, 2, 0);
  const auto x = random_values(6 * 11 * 11, 7);
  const auto w = random_values(5 * 6, 8);
  ConvCase one{"1x1", s, false, 0, false};
  ref::ConvSpec s3 = spec(1, 6, 11, 11, 5, 3, 2, 1);
  std::vector<float> w3(5 * 6 * 9, 0.0f);
  for (int i = 0; i < 30; ++i) w3[i * 9 + 4] = w[i];
  ConvCase three{"3x3", s3, false, 0, false};
  EXPECT_TRUE(close_to_reference(run_conv(one, x, w, {}), run_conv(three, x, w3, {})));
}

TEST(ConvKernel, DepthwiseEpilogueEqualsASeparatePass) {
  // The depthwise tiles finish in vector registers; the affine form must
  // multiply and add apart, as the plain pass does, for the same bits.
  for (int act : {kern::kActRelu, kern::kActReluAffine, kern::kActLeaky}) {
    SCOPED_TRACE(act);
    const ConvCase fused{"dw", spec(1, 8, 20, 37, 8, 3, 1, 1, 8), true, act, false};
    const ConvCase raw{"dw", spec(1, 8, 20, 37, 8, 3, 1, 1, 8), false, 0, false};
    const auto x = random_values(8 * 20 * 37, 11, -4.0f, 4.0f), w = random_values(8 * 9, 12);
    const auto b = random_values(3 * 8, 13, -2.0f, 2.0f);
    const auto got = run_conv(fused, x, w, b);
    auto want = run_conv(raw, x, w, {});
    for (int64_t c = 0; c < 8; ++c)
      kern::conv_epilogue_span(want.data() + c * 20 * 37, 20 * 37, c, b.data(), 8, act, 0.125f);
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * sizeof(float)));
  }
}

TEST(ConvKernel, StarvedWorkspaceCutsThinnerBands) {
  // A workspace of exactly one output row still gives the full result: the
  // kernel never writes past the workspace it was given.
  const ConvCase c{"one_row", spec(1, 4, 23, 17, 6, 3, 1, 1), true, 1, false};
  const size_t row = 4 * 9 * 17 * 4;
  check_case(c, row);
  check_case(c, row * 3 + 4);
  const ConvCase sp{"strided_pointwise_one_row", spec(1, 16, 40, 40, 8, 1, 2, 0), true, 0, false};
  check_case(sp, 16 * 20 * 4);
  // Room for one or three partitions' column matrices of a grouped layer
  // that would run eight side by side.
  const ConvCase grp{"groups_starved", spec(1, 128, 7, 7, 128, 3, 1, 1, 8), true, 1, false};
  check_case(grp, 144 * 49 * 4);
  check_case(grp, 3 * 144 * 49 * 4 + 8);
}

TEST(ConvKernel, WorkspaceSizeFollowsTheBandRule) {
  NodeHarness h;
  // 512 x 512 output, 3x3 kernel, 64 channels: bands of 14 rows.
  const uint64_t x = h.value({1, 64, 512, 512});
  const uint64_t w = h.value({8, 64, 3, 3}, {}, kValueWeight);
  const uint64_t y = h.value({1, 8, 512, 512});
  NodeRecord n = NodeHarness::node(op::Conv, {x, w}, {y}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3},
                                                           {attr::Conv::kStrideH, 1}, {attr::Conv::kStrideW, 1},
                                                           {attr::Conv::kPadTop, 1}, {attr::Conv::kPadLeft, 1}});
  EXPECT_EQ(h.workspace_wanted(n), size_t{14} * 9 * 64 * 512 * 4);
  // Pointwise layers need no column matrix, only their partial last panel
  // and the offsets of their 64 input planes (int64).
  const uint64_t w1 = h.value({8, 64, 1, 1}, {}, kValueWeight);
  EXPECT_EQ(h.workspace_wanted(NodeHarness::node(op::Conv, {x, w1}, {y}, {{attr::Conv::kKernelH, 1},
                                                                          {attr::Conv::kKernelW, 1}})),
            64u * 16 * 4 + 64 * 8);
}

TEST(ConvKernel, ActivationWithoutBiasClampsWholeOutput) {
  for (int act : {0, 1, 3}) {
    ConvCase c{"nobias", spec(1, 3, 9, 9, 10, 3, 1, 1), false, act, false};
    check_case(c);
  }
}

TEST(ConvKernel, EpilogueSendsNanThroughItsBranches) {
  // Relu maps NaN to 0 (it is not >= 0); LeakyRelu sends it through the
  // slope and keeps it NaN; the affine form thresholds first.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> v(37, nan), params = {0.0f, 2.0f, 1.0f};
  kern::conv_epilogue_span(v.data(), 37, 0, nullptr, 1, kern::kActRelu, 0.0f);
  for (float f : v) EXPECT_EQ(f, 0.0f);
  std::fill(v.begin(), v.end(), nan);
  kern::conv_epilogue_span(v.data(), 37, 0, nullptr, 1, kern::kActLeaky, 0.1f);
  for (float f : v) EXPECT_TRUE(std::isnan(f));
  std::fill(v.begin(), v.end(), nan);
  kern::conv_epilogue_span(v.data(), 37, 0, params.data(), 1, kern::kActReluAffine, 0.0f);
  for (float f : v) EXPECT_EQ(f, 1.0f);
}

TEST(ConvCheck, RefusesBrokenContracts) {
  NodeHarness h;
  const uint64_t x = h.value({1, 6, 8, 8});
  const uint64_t y = h.value({1, 4, 8, 8});
  const uint64_t wbad = h.value({4, 6, 3, 2}, {}, kValueWeight);
  const uint64_t w = h.value({4, 6, 3, 3}, {}, kValueWeight);
  const uint64_t bshort = h.value({3}, {}, kValueWeight);
  const std::initializer_list<A> k3 = {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kPadTop, 1},
                                       {attr::Conv::kPadLeft, 1}};
  EXPECT_FALSE(h.run(NodeHarness::node(op::Conv, {x, wbad}, {y}, k3)));
  EXPECT_NE(h.last_message().find("weight"), std::string::npos) << h.last_message();
  EXPECT_FALSE(h.run(NodeHarness::node(op::Conv, {x, w, bshort}, {y}, k3)));
  // 6 input channels do not split into 4 groups.
  EXPECT_FALSE(h.run(NodeHarness::node(op::Conv, {x, w}, {y}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3},
                                                               {attr::Conv::kGroups, 4}})));
  // Affine epilogue needs its three arrays.
  EXPECT_FALSE(h.run(NodeHarness::node(op::Conv, {x, w}, {y}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3},
                                                               {attr::Conv::kMode, 2}})));
  EXPECT_FALSE(h.run(NodeHarness::node(op::Conv, {x, w}, {y}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3},
                                                               {attr::Conv::kMode, attr::Conv::kLastMode + 1}})));
  // Steps so large that the extents derived from them would not fit 64
  // bits (the output shape is the graph's and need not agree).
  for (int word : {2, 3, 4, 5, 8, 9}) {
    EXPECT_FALSE(h.run(NodeHarness::node(op::Conv, {x, w}, {y}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3},
                                                                 {word, uint64_t{1} << 21}}))) << word;
    EXPECT_NE(h.last_message().find("above"), std::string::npos) << h.last_message();
  }
  EXPECT_TRUE(h.run(NodeHarness::node(op::Conv, {x, w}, {y}, k3))) << h.last_message();
}

}  // namespace
}  // namespace vorn::test
