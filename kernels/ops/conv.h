// Convolution kernels: the shape record of a Conv node, and the plan its
// prepare step makes once at engine creation: the path that runs it, how
// that path cuts the work, and the workspace it takes.
//
// Paths, one file each: pointwise layers multiply straight on their input
// (conv_pointwise.cpp); layers of narrow groups, depthwise ones included,
// sum their windows straight from the input planes (conv_grouped.cpp);
// ungrouped layers of column stride 1 or 2 multiply from a zero-padded
// copy of the input through a table of offsets (conv_direct.cpp); small
// planes, and planes whose positions are too few to feed the threads,
// gather their columns into panels (conv_panels.cpp); those two multiply
// through conv_product.h; everything else builds column matrices in bands
// of output rows for sgemm (conv_im2col.cpp). Bias and the fused
// activation (conv_epilogue.cpp) are applied while each part is still in
// cache.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kernels/ops/conv_epilogue.h"
#include "kernels/ops/spatial_common.h"
#include "platform/panel_gemm.h"

namespace vorn::kern {

struct ConvParams {
  Nchw x, y;
  int64_t kh = 1, kw = 1, sh = 1, sw = 1, padt = 0, padl = 0, dh = 1, dw = 1, g = 1;
  int act = kActNone;
  // LeakyRelu's slope, or Clip's lower bound; hi is Clip's upper bound.
  float slope = 0.0f, hi = 0.0f;
  bool has_bias = false;
  // False keeps a grouped layer off the direct grouped kernel (the node's
  // word says so): it then runs as column matrices.
  bool depthwise_allowed = true;
  // Bias and activation over a span of one channel, in the form the
  // engine's processor runs.
  EpilogueSpan epilogue_span = &conv_epilogue_span;
  int64_t cin_g() const { return x.c / g; }
  int64_t cout_g() const { return y.c / g; }
  // Rows of the column matrix of one partition.
  int64_t k_rows() const { return kh * kw * (x.c / g); }
};

// Reads and validates the Conv node's attributes and shapes; false with a
// reason when the node breaks its size contract.
bool conv_params(const CpuState& s, const NodeRecord& n, ConvParams* p, char* msg, size_t cap);

// A depthwise layer: one input and one output channel per group.
inline bool conv_is_depthwise(const ConvParams& p) { return p.g == p.x.c && p.y.c == p.x.c && p.g > 1; }

// Widest groups and deepest sums (input channels x kernel taps of a group)
// the direct grouped kernel takes: beyond them the column-matrix product
// pays, and its product sums a depth of more than 256 in blocks the direct
// kernel does not keep.
constexpr int64_t kDirectGroupWidth = 16;
constexpr int64_t kDirectGroupDepth = 256;

// True when the direct grouped kernel (conv_grouped.cpp) runs the node:
// narrow groups, not kept off it by the node. A product whose operands are
// rounded (simulated quantisation) keeps the column-matrix path, except a
// depthwise layer, which never had a product.
inline bool conv_is_grouped_direct(const ConvParams& p, bool quantising) {
  return p.g > 1 && p.depthwise_allowed && p.cin_g() <= kDirectGroupWidth && p.cout_g() <= kDirectGroupWidth &&
         p.k_rows() <= kDirectGroupDepth && (!quantising || conv_is_depthwise(p));
}

// A 1x1 layer that reads every input position once, in place: its input
// planes are the column matrix.
inline bool conv_is_pointwise(const ConvParams& p) {
  return p.g == 1 && p.kh == 1 && p.kw == 1 && p.padt == 0 && p.padl == 0 && p.sh == 1 && p.sw == 1 &&
         p.y.h == p.x.h && p.y.w == p.x.w;
}

// ----------------------------------------------------------------- plan

enum class ConvPath : uint8_t {
  kNothing,             // no output values
  kPointwiseTiles,      // tiles of positions, one product each
  kPointwisePanels,     // panel product on the input planes in place
  kPointwiseChannels,   // blocks of output channels, one product each
  kPointwiseProduct,    // one product, then the epilogue
  kGrouped,             // direct windows of narrow groups (conv_grouped.cpp)
  kDirect,              // offsets into a zero-padded copy (conv_direct.cpp)
  kPanels,              // columns gathered into panels (conv_panels.cpp)
  kIm2col,              // column matrices in bands of rows (conv_im2col.cpp)
  kChannelLanes,        // output channels along the lanes (conv_channel_lanes.cpp)
  kTinyDepthwise,       // small depthwise planes across padded rows (conv_tiny_planes.cpp)
  kTinyDeep,            // few outputs of deep sums across padded rows (conv_tiny_planes.cpp)
};

// Column tiles of a product: `tiles` tiles of whole panels (the last one
// possibly partial) over `positions` positions, dealt out evenly so that
// no tile holds more than one panel more than another; `cols` is the
// widest tile (0 tiles: the positions are not tiled).
struct Tiling {
  int64_t tiles = 0, cols = 0, positions = 0;
  // The first position of tile i (i == tiles: the end).
  int64_t begin(int64_t i) const {
    return std::min(positions, i * panel_count(positions) / tiles * kPanelWidth);
  }
};

// A product split over output channels: `blocks` blocks of `rows` rows (0
// blocks: not split this way).
struct ChannelBlocks {
  int64_t rows = 0, blocks = 0;
};

// The zero-padded bands of the direct path.
struct DirectBands {
  int64_t half = 0;    // values of one column phase of a padded row
  int64_t wp = 0;      // padded row length: column stride x half
  int64_t rows = 0;    // output rows per band
  int64_t plane = 0;   // padded values per channel for a band
  int64_t floats = 0;  // workspace: padded band, read slack, offset table
  // Output rows narrower than a panel: the whole padded plane is one band
  // whose panels run along it, across its rows, into a block of products
  // (m x `sums` values, 0 for the banded form) from which each output row
  // is copied.
  int64_t sums = 0;
  bool across() const { return sums > 0; }
  // Stride 1 both ways: panels run on from one output row into the next,
  // over the padded rows' positions (wp per row, of which the first y.w
  // are output columns), instead of starting afresh at each row.
  bool span = false;
};

// Panels of a band of `rows` output rows of the direct path.
inline int64_t direct_panels(const DirectBands& d, int64_t rows, int64_t wo) {
  return d.span ? panel_count((rows - 1) * d.wp + wo) : rows * panel_count(wo);
}

// How one band of the column-matrix path runs.
struct Im2colBand {
  int64_t positions = 0;          // output positions of the band
  Tiling tiles;                   // tiles of positions over the pool
  bool tiles_parallel = false;
  int64_t slots = 1;              // partitions side by side, each with its own matrix
  ChannelBlocks by_channels;      // otherwise: each partition's product by channel blocks
  bool gather_parallel = false;   // column matrix filled over the pool
};

// How the direct grouped kernel runs: its form, whether padding taps are
// left out rather than multiplied by zero (depthwise layers), the output
// channels of a tile, and the units spread over the pool: blocks of
// `groups_per` groups by bands of `band_rows` output rows.
struct GroupedPlan {
  KernelIsa form = KernelIsa::kPortable;
  bool skip_padding = false;
  int64_t mc = 1;
  int64_t groups_per = 1, group_blocks = 0;
  int64_t band_rows = 0, bands = 0;
  bool parallel = false;
  // Blocks of eight channels in the vector lanes (units then hold whole
  // multiples of eight groups).
  bool lanes = false;
};

// How a panel product of one band is cut for the pool.
struct PanelBand {
  PanelSplit split;
  bool parallel = false;
};

struct ConvPlan {
  ConvParams p;
  ConvPath path = ConvPath::kNothing;
  KernelIsa form = KernelIsa::kPortable;  // the engine's instruction-set form
  int64_t col_floats = 0;  // workspace the run may use
  bool epilogue = false;            // bias or activation to apply
  bool epilogue_parallel = false;   // a separate epilogue pass spreads over the pool
  // kPointwiseTiles, and the tiles of kIm2col's bands.
  Tiling tiles;
  bool tiles_parallel = false;
  // kPointwiseChannels.
  ChannelBlocks by_channels;
  // kPointwisePanels, kPanels: the one band's split; kDirect: full bands
  // and the last band.
  PanelBand panels, last_panels;
  // kPointwisePanels: each rectangle copies its panels of the input planes
  // before its product instead of reading them in place.
  bool copy_panels = false;
  // kPointwisePanels on one thread under AVX-512: the product reads the
  // input planes in place through the convolution product's offset table
  // (conv_paths.h, pointwise_in_place_applies).
  bool in_place = false;
  // A strided 1x1 layer run as a pointwise one: its input positions are
  // first copied, one plane after another, to the workspace's start.
  bool subsampled = false;
  // kPanels on a plane of at most half a panel: the product runs with
  // output rows in registers and the positions in eight lanes.
  bool half_panel = false;
  // kPanels: how the pool gathers the band before the product (units of
  // `span` panels by `chans` channels); 0 units when each rectangle
  // gathers its own.
  int64_t gather_span = 0, gather_chans = 0, gather_units = 0;
  // kGrouped.
  GroupedPlan grouped;
  // kDirect.
  DirectBands direct;
  // kIm2col: bands of `band_rows` output rows; the last may be shorter.
  int64_t band_rows = 0;
  Im2colBand full, last;
  // kChannelLanes: units run side by side.
  int64_t lane_slots = 1;
};

// What the plan may know beyond the node: the pool's threads (for the cuts
// whose results do not depend on them: panel products, grouped units;
// tiles and channel blocks are cut for kPlanThreads), whether products
// round their operands (simulated quantisation keeps them whole), the
// workspace it must fit (0: as much as it wants), and the engine's
// instruction-set form.
struct ConvPlanInputs {
  int64_t threads = 1;
  bool quantising = false;
  int64_t workspace_floats = 0;
  KernelIsa isa = KernelIsa::kPortable;
};

// Decides path, cutting and workspace for validated params; false with a
// reason when the workspace given cannot hold what every path needs.
bool conv_plan(const ConvParams& p, const ConvPlanInputs& in, ConvPlan* plan, char* msg, size_t cap);

// ------------------------------------------------------------- grouped

// Output channels of a tile of the direct grouped kernel for groups of
// cout_g output channels.
int64_t grouped_tile_channels(int64_t cout_g);

// Groups [g0, g1) of one image, output rows [oy0, oy1), as the plan runs
// them: bias is input 2's data (null without).
void conv_grouped_rows(const ConvPlan& c, const float* xn, const float* w, const float* bias, float* yn,
                       int64_t g0, int64_t g1, int64_t oy0, int64_t oy1);

// The depthwise form with eight channels in the vector lanes: output rows
// of at most kLanesMaxWidth pixels, at most kLanesMaxTaps taps, and a band
// of at least one output row of a block of eight channels, with their
// weights, on the stack.
inline constexpr int64_t kLanesMaxWidth = 4;
inline constexpr int64_t kLanesMaxTaps = 49;
bool depthwise_lanes_apply(const ConvParams& p, KernelIsa form);

// Where the lanes form leaves channels [c0, c1), output rows [oy0, oy1) to
// the forms that take one channel at a time.
struct LanesApart {
  void (*run)(const void* ctx, int64_t c0, int64_t c1, int64_t oy0, int64_t oy1);
  const void* ctx;
};

// Output channels [c0, c1), output rows [oy0, oy1) of one image's
// depthwise layer in that form; a block of channels whose weights are not
// all finite and either zero or normal, or whose band of input rows holds
// a value whose product with its channel's least weight is not normal (it
// would slow the block's every multiply-add), goes to apart, as does
// everything where the form is not built.
void depthwise_lanes_block(const ConvParams& p, const float* xn, const float* w, float* yn, int64_t c0, int64_t c1,
                           int64_t oy0, int64_t oy1, const ChannelEpilogue* epi, const LanesApart& apart);

}  // namespace vorn::kern
