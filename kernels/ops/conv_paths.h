// What the files of the Conv paths share: the operands of one image, the
// runner of each path, and the pieces more than one path uses.
#pragma once
#include <algorithm>
#include <cstdint>

#include "kernels/ops/conv.h"
#include "kernels/ops/conv_product.h"
#include "platform/blas.h"

namespace vorn::kern {

// Above this many output positions the column matrix is cut into bands of
// at most kBandValues values, so one band stays in the outer caches.
constexpr int64_t kBandOutputs = 65536;
constexpr int64_t kBandValues = 4194304;
// Multiply-adds above which a layer always spreads over the pool.
constexpr int64_t kParallelWork = int64_t{1} << 18;
// Padded planes up to this many values are gathered from a zero-padded
// copy on the stack: small planes (7 x 7, 14 x 14) then cost a few
// branch-free loops per tap instead of a few library calls per output row.
constexpr int64_t kPaddedPlane = 4096;

// One image of a Conv node, with its plan.
struct ConvRun {
  const ConvPlan& plan;
  const ConvParams& p;
  const float* w;
  const float* bias;
  float* col;  // the engine's workspace
  CpuState* state;
  // A fused residual join: the values added at each output position
  // (res[i] to y[i] of the node's output y); null without one.
  const float* res = nullptr;
  const float* y = nullptr;
  const float* residual_of(const float* v) const { return res != nullptr ? res + (v - y) : nullptr; }
};

void run_pointwise(const ConvRun& r, const float* xn, float* yn);
// A strided 1x1 layer planned as pointwise (ConvPlan::subsampled): its
// input positions are copied to the workspace's start, planes of
// subsampled_params(p)'s input shape, and the rest of the workspace serves
// that pointwise layer.
void run_subsampled(const ConvRun& r, const float* xn, float* yn);
inline ConvParams subsampled_params(const ConvParams& p) {
  ConvParams q = p;
  q.x.h = p.y.h;
  q.x.w = p.y.w;
  q.sh = q.sw = 1;
  return q;
}
// A pointwise layer's workspace: the partial last panel (k x kPanelWidth
// values), then the table of the k input planes' offsets the AVX-512 form
// reads them in place through (int64 values on whole 64-byte lines).
inline int64_t pointwise_table_at(int64_t k) { return k * kPanelWidth; }
inline int64_t pointwise_floats(int64_t k) { return pointwise_table_at(k) + (2 * k + 15) / 16 * 16; }
// Whether a pointwise layer's product reads its input planes in place in
// the AVX-512 form of the convolution product (conv_product.h) rather
// than through panel_gemm or with its channels in the lanes: from
// kInPlaceDepth input channels and one whole panel of positions, run on
// one thread. On shallower layers (and planes of less than one panel)
// packing the weights and the offset table cost more than they saved
// (fr_eye's 1x1 layers of 8 and 16 input channels, a tenth slower); split
// over eight threads each rectangle packs its own weights, and
// mobilenet_v2's 14 x 14 and 7 x 7 layers ran 10-50% slower than on the
// others' paths.
constexpr int64_t kInPlaceDepth = 32;
inline bool pointwise_in_place_applies(const ConvParams& p, KernelIsa isa, int64_t threads) {
  return isa == KernelIsa::kAvx512 && p.x.c >= kInPlaceDepth && p.y.plane() >= kPanelWidth &&
         (threads <= 1 || p.y.c * p.y.plane() * p.x.c < kParallelWork);
}
// Whether a pointwise layer the AVX-512 form would read in place does
// better copying its panels first (the general product), as measured:
// deep layers (from kCopiedDepth input channels) on planes of at least
// kCopiedPanels panels and a count of positions not a multiple of four.
// squeezenet's classifier (512 channels at 13 x 13) ran 16% faster copied,
// its 13 x 13 squeeze layers 7-12%; the deep 7 x 7 layers of
// efficientnet_b0 and mobilenet_v2 and all 14 x 14 ones ran slower copied,
// and keep reading in place.
constexpr int64_t kCopiedDepth = 384, kCopiedPanels = 8;
inline bool pointwise_copy_beats_in_place(const ConvParams& p) {
  const int64_t hw = p.y.plane();
  return p.x.c >= kCopiedDepth && hw % 4 != 0 && panel_count(hw) >= kCopiedPanels;
}
void run_grouped(const ConvRun& r, const float* xn, float* yn);
void run_direct(const ConvRun& r, const float* xn, float* yn);
// Output rows [oy0, oy1) of a direct layer in bands (not the across form),
// on the calling thread: row oy of output channel k lands at out + k ldc +
// (oy - oy0) wo. The same values as run_direct's at those rows.
void run_direct_rows(const ConvRun& r, const float* xn, float* out, int64_t ldc, int64_t oy0, int64_t oy1);
void run_panels(const ConvRun& r, const float* xn, float* yn);
void run_im2col(const ConvRun& r, const float* xn, float* yn);
void run_channel_lanes(const ConvRun& r, const float* xn, float* yn);
// Depthwise layers of small planes at stride 1, too small to spread over
// the pool: their sums across zero-padded rows, one channel at a time.
bool depthwise_tiny_applies(const ConvParams& p, KernelIsa isa);
void run_tiny_depthwise(const ConvRun& r, const float* xn, float* yn);
// Deep layers of at most kDeepOutputs output channels whose plane spans
// one vector across its padded rows, at most kDeepBlocksMost depth blocks:
// their terms summed with the depth blocks side by side; the workspace
// floats they take.
constexpr int64_t kDeepOutputs = 4, kDeepBlocksMost = 16;
bool deep_tiny_applies(const ConvParams& p, KernelIsa isa);
int64_t deep_tiny_floats(const ConvParams& p);
void run_tiny_deep(const ConvRun& r, const float* xn, float* yn);

// Layers of the panel path whose output plane fits half a panel (a
// framing layer's eight frames, a head's 2 x 2): their column matrix
// gathered eight values a row and the product run with the positions in
// eight lanes instead of a panel's sixteen, summed as the panel product.
bool half_panel_applies(const ConvParams& p, KernelIsa isa);
void run_half_panel(const ConvRun& r, const float* xn, float* yn);

// Output planes up to this many positions may run with output channels
// along the vector lanes: whether a layer does, and the workspace floats
// it then takes (its zero-padded input planes and their offset table).
constexpr int64_t kChannelLanesPlane = 256;
// Slots are the units run side by side, each with its own copy of a
// tile's weights.
bool channel_lanes_apply(const ConvParams& p, KernelIsa isa);
int64_t channel_lanes_slots(const ConvParams& p, KernelIsa isa, int64_t threads);
int64_t channel_lanes_floats(const ConvParams& p, KernelIsa isa, int64_t slots);
// Whether a pointwise layer runs in lanes even where the AVX-512 product
// could read its input planes in place.
bool channel_lanes_beat_in_place(const ConvParams& p);

// Bias and activation of output channel c over len values from v on.
inline void epilogue_span(const ConvRun& r, float* v, int64_t len, int64_t c) {
  const ConvParams& p = r.p;
  p.epilogue_span(v, len, c, r.bias, p.y.c, p.act, p.slope, p.hi, r.residual_of(v));
}

// Bias and activation of `channels` output channels from first_channel on,
// over positions [q0, q0 + len) of their planes (yg is the first one's).
inline void epilogue_tile(const ConvRun& r, float* yg, int64_t first_channel, int64_t channels, int64_t q0,
                          int64_t len) {
  const ConvParams& p = r.p;
  float* v = yg + q0;
  conv_epilogue_rows(p.epilogue_span, v, p.y.plane(), channels, len, first_channel, r.bias, p.y.c, p.act, p.slope,
                     p.hi, r.residual_of(v));
}

// The layer's epilogue as the convolution product applies it while it
// stores (conv_product.h), where the product can: false otherwise.
inline bool tile_finish_of(const ConvRun& r, TileFinish* f) {
  if (!r.plan.epilogue || !tile_finish_applies(r.p.act)) return false;
  f->act = r.p.act;
  f->bias = r.bias;
  f->res = r.res;
  f->y = r.y;
  f->lo = r.p.slope;
  f->hi = r.p.hi;
  f->span = [](const void* ctx, float* v, int64_t len, int64_t c) {
    epilogue_span(*static_cast<const ConvRun*>(ctx), v, len, c);
  };
  f->ctx = &r;
  return true;
}

// One tile's product on the calling thread.
inline void tile_gemm(int64_t m, int64_t n, int64_t k, const float* a, int64_t lda, const float* b, int64_t ldb,
                      float* c, int64_t ldc) {
  cpu_sgemm_threading(SgemmThreading::kSerial, 1, false, false, m, n, k, 1.0f, a, lda, b, ldb, 0.0f, c, ldc);
}

// A product of m rows of weights (row stride k) by n columns, cut into the
// plan's blocks of output channels spread over the pool, each block
// finished by its epilogue at once.
void product_by_channels(const ConvRun& r, const ChannelBlocks& blocks, int64_t first_channel, int64_t m,
                         int64_t n, int64_t k, const float* w, const float* col, float* y, int64_t ldy);

// The extent of the zero-padded input plane that the whole output plane
// reads; false when it does not fit kPaddedPlane.
inline bool padded_extent(const ConvParams& p, int64_t* hp, int64_t* wp) {
  *hp = (p.y.h - 1) * p.sh + (p.kh - 1) * p.dh + 1;
  *wp = (p.y.w - 1) * p.sw + (p.kw - 1) * p.dw + 1;
  // Each side first, so the product cannot wrap.
  return *hp <= kPaddedPlane && *wp <= kPaddedPlane && *hp * *wp <= kPaddedPlane;
}

// Whether none of the n weights at w is infinite or NaN: only then does a
// skipped padding tap leave the sum a product with zero would (0 x inf is
// NaN).
bool all_finite(const float* w, int64_t n);

// Copies input plane xc into the hp x wp zero-padded plane pad.
void pad_plane(const ConvParams& p, const float* xc, float* pad, int64_t hp, int64_t wp);

// Short rows: plain loops beat the library calls GCC would turn them into.
#if defined(__GNUC__) && !defined(__clang__)
#define VORN_NO_MEMCPY_CALLS [[gnu::optimize("no-tree-loop-distribute-patterns")]]
#else
#define VORN_NO_MEMCPY_CALLS
#endif

}  // namespace vorn::kern
