// Conv's prepare step and kernel entry: the node's attributes and shapes
// are read and checked once, the path, the cutting of the work and the
// workspace are decided once, and each run only follows the plan.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "container/attr_words.h"
#include "kernels/ops/conv_paths.h"
#include "kernels/quant_operands.h"
#include "platform/parallel.h"

namespace vorn {
namespace kern {

namespace {

bool mul_ok(int64_t a, int64_t b, int64_t* out) {
  return !__builtin_mul_overflow(a, b, out) && *out <= kMaxElements * 8;
}

// The tiled paths cut the output positions into tiles; each tile gathers
// its columns, multiplies them on one thread and finishes its slice of every
// output plane while it is still in cache. A tile's column block and its
// output are kept to about the size of a core's L2 cache, a tile spans
// whole panels of the product, and the tile count is a multiple of the
// pool's threads so the pool stays balanced. (Their products sum every
// element alike in any tile width, so the cut is a choice of size, not of
// bits.) Whether a layer has positions enough for tiles at all is asked for
// kPlanThreads, so the path does not depend on the pool.
constexpr int64_t kTileValues = int64_t{1} << 18;
constexpr int64_t kPlan = static_cast<int64_t>(kPlanThreads);
// Below this many positions per tile the product is too thin for one
// thread; the layer then runs as one product split over output channels.
constexpr int64_t kMinTileColumns = 64;
// Above this many positions per tile a shallow layer's output tile (a
// stem's) outgrows the cache closest to the core before its epilogue.
constexpr int64_t kMaxTileColumns = 2048;

// Tiles of positions, a multiple of the threads, each holding about
// kTileValues of `rows` values.
int64_t tile_count(int64_t positions, int64_t rows, int64_t threads) {
  const int64_t tiles = std::max<int64_t>(1, (positions * rows + kTileValues - 1) / kTileValues);
  return (tiles + threads - 1) / threads * threads;
}

// Columns per tile of tile_count's tiles.
int64_t tile_columns(int64_t positions, int64_t rows, int64_t threads) {
  const int64_t tiles = tile_count(positions, rows, threads);
  return (positions + tiles - 1) / tiles;
}

// Whether the positions are too few to give kPlanThreads tiles of their own.
bool too_few_for_tiles(int64_t positions, int64_t k_rows) {
  return tile_columns(positions, k_rows, kPlan) < kMinTileColumns;
}

// No tiles where the positions are too few; otherwise tiles of k_rows
// gathered and out_rows written per position, for the pool's threads.
Tiling plan_tiles(int64_t positions, int64_t k_rows, int64_t out_rows, int64_t threads) {
  Tiling t;
  if (too_few_for_tiles(positions, k_rows)) return t;
  // A multiple of the threads, of whole panels each, none wider than
  // kMaxTileColumns where the threads allow it: rounding the width up to
  // whole panels instead would leave fewer tiles than threads (7 tiles of
  // 7 panels for 8 threads on 49 panels).
  const int64_t th = std::max<int64_t>(1, threads), units = panel_count(positions);
  int64_t tiles = tile_count(positions, k_rows + out_rows, th);
  const int64_t narrow = (units + kMaxTileColumns / kPanelWidth - 1) / (kMaxTileColumns / kPanelWidth);
  tiles = std::max(tiles, (narrow + th - 1) / th * th);
  t.tiles = std::clamp<int64_t>(tiles, 1, units);
  t.cols = (units + t.tiles - 1) / t.tiles * kPanelWidth;
  t.positions = positions;
  return t;
}

// Output channels from which a pointwise layer on a large plane runs as a
// panel product rather than as library tiles.
constexpr int64_t kPointwisePanelRows = 48;

// Layers whose positions are too few to keep the pool's threads busy with
// tiles of their own, or small enough planes that gathering them into
// panels beats a library product: both run as rectangles of output
// channels by panels.
bool few_positions(const ConvParams& p) {
  const int64_t hw = p.y.plane();
  return hw <= 256 || too_few_for_tiles(hw, p.k_rows());
}

// Partitions of a grouped layer run side by side when the layer is too
// small to tile over positions: at most one per thread, each needing its
// own column matrix of k_rows x positions values, and no more than keep
// the workspace at about kBandValues values.
int64_t group_slots_wanted(const ConvParams& p, int64_t positions) {
  const int64_t threads = kPlan;  // one product per partition
  if (p.g < 2) return 1;
  if (p.y.c * positions * p.k_rows() < kParallelWork) return 1;
  const int64_t per = std::max<int64_t>(1, p.k_rows() * positions);
  return std::max<int64_t>(1, std::min({p.g, threads, kBandValues / per}));
}

int64_t group_slots(const ConvParams& p, int64_t positions, int64_t col_cap) {
  const int64_t per = std::max<int64_t>(1, p.k_rows() * positions);
  return std::max<int64_t>(1, std::min(group_slots_wanted(p, positions), col_cap / per));
}

// Few positions, many output channels: one block of whole register tiles
// of rows per planned thread (each one product). No blocks when the
// product is too small to spread.
ChannelBlocks channel_blocks(int64_t m, int64_t n, int64_t k) {
  const int64_t threads = kPlan;
  ChannelBlocks b;
  if (threads < 2 || m * n * k < kParallelWork || m < 16) return b;
  const int64_t align = m >= 16 * threads ? 16 : 8;
  b.rows = ((m + threads - 1) / threads + align - 1) / align * align;
  b.blocks = (m + b.rows - 1) / b.rows;
  return b;
}

bool epilogue_parallel(const ConvParams& p) { return p.y.c > 7 && p.y.c * p.y.plane() >= 65536; }

// Rows narrower than half a panel leave most of each register tile idle;
// such planes are small and gather faster into panels spanning rows.
// Column strides 1 and 2 read their padded copy in runs of consecutive
// values (stride 2 from its even and odd halves). With column stride 2 a
// deep layer gains over gathering only with the AVX-512 form of the
// product (conv_product.h); under the others only stems (few input
// channels, whose column matrix is large against the product) do. Both
// paths sum in one order, so the choice is one of speed.
bool direct_applies(const ConvParams& p, KernelIsa isa) {
  const bool stride_ok = p.sw == 1 || (p.sw == 2 && (p.x.c <= 16 || isa == KernelIsa::kAvx512));
  return p.g == 1 && stride_ok && p.kh * p.kw > 1 && p.y.w >= kPanelWidth / 2;
}

// Planes of narrower rows run the direct path with panels across the
// padded plane's rows: a panel then spans whole output rows and the
// padding columns between them, whose sums are dropped. Only where the
// positions are few, so that the dropped sums stay a small share. With
// stride 2 each channel's padded plane is stored as its stride phases
// (even and odd rows by even and odd columns), so that output (oy, ox)
// reads position (oy + i dh / sh, ox + j dw / sw) of one phase at tap
// (i, j) and the panels still run along consecutive values.
DirectBands plan_direct_across(const ConvParams& p, int64_t cap) {
  DirectBands d;
  if (p.g != 1 || p.sh > 2 || p.sw > 2 || p.kh * p.kw < 2 || p.y.w >= kPanelWidth / 2 || p.y.plane() > 64)
    return d;
  d.half = d.wp = p.y.w + (p.kw - 1) * p.dw / p.sw;
  const int64_t hq = p.y.h + (p.kh - 1) * p.dh / p.sh;
  const int64_t spans = (p.y.h - 1) * d.wp + p.y.w;  // padded positions from the first output to the last
  const int64_t sums = panel_count(spans) * kPanelWidth, plane = p.sh * p.sw * hq * d.wp;
  // Padded planes, read slack of the last panel, the offset table (int64,
  // 64-byte aligned) and the products.
  const int64_t need = (p.x.c * plane + 15) / 16 * 16 + sums + 2 * p.k_rows() + 16 + p.y.c * sums;
  if (need > cap) return DirectBands{};
  d.sums = sums;
  d.plane = plane;
  d.rows = p.y.h;
  d.floats = need;
  return d;
}

// A 1x1 layer of stride above 1 without padding whose plane is small
// enough for panels: its input positions copied into planes of the output's
// shape make a pointwise layer, whose products sum as the column matrix's.
// Every output position must read a position inside the input: an output
// larger than the input's extent (a shape the file declares) reads zeros
// on the gathering paths, which check each read.
bool subsample_applies(const ConvParams& p) {
  return p.g == 1 && p.kh == 1 && p.kw == 1 && p.padt == 0 && p.padl == 0 && (p.sh > 1 || p.sw > 1) &&
         p.y.plane() <= 256 && p.y.h > 0 && p.y.w > 0 && (p.y.h - 1) * p.sh < p.x.h && (p.y.w - 1) * p.sw < p.x.w;
}

// Workspace floats of a subsampled layer: its copied planes (whole
// 64-byte lines), then a pointwise layer's partial panel.
int64_t subsample_floats(const ConvParams& p) {
  return (p.x.c * p.y.plane() + 15) / 16 * 16 + pointwise_floats(p.x.c);
}
// A direct band of about a megabyte per thread stays in the second-level
// caches from its copy to the last tile that reads it; a larger one (a
// whole 32-channel 256 x 256 plane is 8 MB) goes out to memory and back,
// and at one thread its copy cost a tenth of the layer. Bands overlap by
// the kernel's height less the row stride, a few rows in tens.
constexpr int64_t kDirectBandValues = int64_t{1} << 18;

// The direct path's bands as large as cap floats allow (at most
// kDirectBandValues per thread and kBandValues, or one output row's);
// rows 0 when not even one output row fits.
DirectBands plan_direct(const ConvParams& p, int64_t cap, KernelIsa isa, int64_t threads) {
  DirectBands d;
  // Output column x at kernel column j reads phase (j dw) mod sw at
  // x + (j dw) / sw.
  d.half = p.y.w + (p.kw - 1) * p.dw / p.sw;
  d.wp = p.sw * d.half;
  const int64_t table = 2 * p.k_rows() + 16;  // int64 offsets, kept 64-byte aligned
  // Floats a band of `rows` output rows takes, in double so that absurd
  // shapes compare as too large instead of wrapping.
  auto need = [&](int64_t rows) {
    const double hp = double(rows - 1) * double(p.sh) + double(p.kh - 1) * double(p.dh) + 1.0;
    return std::ceil(double(p.x.c) * hp * double(d.wp) / 16.0) * 16.0 + double(kPanelWidth + table);
  };
  const double band = double(std::min(kBandValues, kDirectBandValues * std::max<int64_t>(1, threads)));
  const double limit = std::min(double(cap), std::max(band, need(1)));
  int64_t lo = 0, hi = p.y.h;
  while (lo < hi) {  // the most rows whose band fits
    const int64_t mid = (lo + hi + 1) / 2;
    if (need(mid) <= limit) lo = mid; else hi = mid - 1;
  }
  d.rows = lo;
  // Spanning rows leaves wp - y.w lanes of each padded row idle, instead of
  // the last panel's padding of each output row; taken where that is
  // fewer (a 56-wide row: 2 of 58 against 8 of 64) and a panel spans at
  // most two rows. Only the AVX-512 product stores the two rows' lanes.
  const int64_t whole_rows = panel_count(p.y.w) * kPanelWidth;
  d.span = isa == KernelIsa::kAvx512 && p.sh == 1 && p.sw == 1 && d.wp >= kPanelWidth &&
           (d.wp - p.y.w) * whole_rows < (whole_rows - p.y.w) * d.wp;
  if (lo > 0) {
    d.plane = ((lo - 1) * p.sh + (p.kh - 1) * p.dh + 1) * d.wp;
    d.floats = static_cast<int64_t>(need(lo));
  }
  return d;
}

// Positions per band of the panel path, a whole number of panels, or 0
// when the workspace cannot hold one panel.
int64_t panel_band(const ConvParams& p, int64_t col_cap) {
  const int64_t per_panel = p.k_rows() * kPanelWidth;
  int64_t panels = col_cap / per_panel;
  if (p.y.plane() >= kBandOutputs) panels = std::min(panels, std::max<int64_t>(1, kBandValues / per_panel));
  return std::min(panels * kPanelWidth, panel_count(p.y.plane()) * kPanelWidth);
}

// The split of a panel product of m rows by `panels` panels and k depth,
// run by tiles of tile_panels panels.
PanelBand panel_band_split(int64_t m, int64_t panels, int64_t positions, int64_t k, int64_t threads,
                           int64_t tile_panels = 1) {
  PanelBand b;
  b.parallel = threads > 1 && m * positions * k >= kParallelWork;
  b.split = plan_panel_split(m, panels, b.parallel ? threads : 1, tile_panels);
  return b;
}

// A direct band whose panels all fit one group but were cut into groups
// that end in a panel of its own after whole tiles (14 panels as two
// groups of 3 + 3 + 1) is cut by output channels alone instead, where
// they give two blocks per thread: each rectangle then runs the band's
// panels as whole tiles (3 + 3 + 3 + 3 + 2) over its own slice of the
// weights. At eight threads resnet18's 14 x 14 layers ran about a sixth
// faster this way, though every block reads the whole band.
void whole_band_groups(PanelBand& b, int64_t m, int64_t panels, int64_t threads, int64_t tile_panels) {
  const PanelSplit& sp = b.split;
  const int64_t group = (panels + sp.groups - 1) / sp.groups, units = (m + sp.tile - 1) / sp.tile;
  const bool lone = tile_panels > 1 && group > tile_panels && group % tile_panels == 1;
  if (!b.parallel || sp.groups == 1 || !lone || panels > kPanelGroupMost || units < 2 * threads) return;
  b.split.rb = 2 * threads;
  b.split.groups = 1;
}

// A pointwise layer that widens a small plane (an inverted residual
// block's expansion) into enough whole tiles of output channels for two
// blocks per thread is cut by channels alone, on a full pool: each thread
// computes every position of the channels the depthwise layer after it
// reads on that thread, and no group of panels is a panel longer than
// another. At eight threads mobilenet_v2's 96 -> 576 layers on 14 x 14
// (cut into two groups of 6 and 7 panels) ran about a tenth faster.
constexpr int64_t kWideningThreads = 8;
void widening_by_channels(PanelBand& b, const ConvParams& p, int64_t threads) {
  const int64_t m = p.y.c, units = (m + b.split.tile - 1) / b.split.tile;
  if (!b.parallel || b.split.groups == 1 || threads < kWideningThreads || m <= p.x.c ||
      p.y.plane() > kChannelLanesPlane || units < 2 * threads)
    return;
  b.split.rb = 2 * threads;
  b.split.groups = 1;
}

// Workspace floats the layer wants: pointwise layers with few positions
// copy a partial last panel; general layers a band of the column matrix
// (one per partition run side by side), rounded up to whole panels when a
// whole plane is one band. The direct path cuts its padded bands to fit
// the same space.
int64_t workspace_floats(const ConvParams& p, bool quantising, KernelIsa isa, int64_t threads) {
  if (conv_is_pointwise(p)) {
    const int64_t lanes = !quantising && channel_lanes_apply(p, isa)
                              ? channel_lanes_floats(p, isa, channel_lanes_slots(p, isa, threads))
                              : 0;
    return std::max(pointwise_floats(p.x.c), lanes);
  }
  if (conv_is_grouped_direct(p, quantising)) return 0;
  const int64_t row = p.k_rows() * p.y.w;
  int64_t rows = p.y.h;
  if (p.y.plane() >= kBandOutputs) rows = std::min(rows, std::max<int64_t>(1, kBandValues / row));
  int64_t slots = 1;
  if (rows == p.y.h && too_few_for_tiles(p.y.plane(), p.k_rows()))
    slots = group_slots_wanted(p, p.y.plane());
  const int64_t panel_pad = p.g == 1 && rows == p.y.h ? p.k_rows() * kPanelWidth : 0;
  const DirectBands across = quantising ? DirectBands{} : plan_direct_across(p, kBandValues);
  const int64_t subsample = !quantising && subsample_applies(p) ? subsample_floats(p) : 0;
  const int64_t lanes = !quantising && channel_lanes_apply(p, isa)
                            ? channel_lanes_floats(p, isa, channel_lanes_slots(p, isa, threads))
                            : 0;
  return std::max({row * rows * slots + panel_pad, across.floats, subsample, lanes});
}

// Whether a panel read in place from planes of hw values thrashes the
// first-level cache: its rows are one line each, a plane apart, so a plane
// of a large power-of-two multiple of 64 bytes (56 x 56, 112 x 112) puts
// them in a few of its 64 sets; and on small planes (7 x 7) the many rows
// of a deep layer spread over more pages than the translation buffer holds
// and are fetched again tile after tile.
bool panels_thrash(int64_t hw, int64_t k) {
  const int64_t bytes = hw * 4;
  const int64_t sets = bytes % 64 != 0 ? 64 : 64 / std::gcd<int64_t>(bytes / 64, 64);
  return sets < 32 || (k * bytes / 4096 > 64 && bytes < 512);
}

// Whether a pointwise layer takes the panel product and reads its input
// planes in place through the AVX-512 form's offset table: the panel path
// (enough output channels or few positions, room for its workspace), no
// thrashing planes, and a layer pointwise_in_place_applies to.
bool pointwise_panels_in_place(const ConvParams& p, const ConvPlanInputs& in, int64_t col_floats) {
  const bool panels = few_positions(p) || p.y.c >= kPointwisePanelRows;
  return !in.quantising && panels && col_floats >= pointwise_floats(p.x.c) && !panels_thrash(p.y.plane(), p.x.c) &&
         pointwise_in_place_applies(p, in.isa, in.threads);
}

// Small planes of many output channels: their channels along the vector
// lanes (conv_channel_lanes.cpp), where the workspace holds what it takes.
bool plan_channel_lanes(const ConvParams& p, const ConvPlanInputs& in, ConvPlan& c) {
  if (in.quantising || !channel_lanes_apply(p, in.isa)) return false;
  // A pointwise layer the AVX-512 product can read in place keeps the
  // panels: its tiles pack each depth block of the weights once for all
  // panels (squeezenet's classifier and mobilenet_v2's 7 x 7 layers, 8-13%
  // faster in the model than with the channels in the lanes; the classifier
  // faster still with its panels copied, pointwise_copy_beats_in_place).
  // Deep layers whose panels leave many lanes idle take the lanes all the
  // same (channel_lanes_beat_in_place).
  if (conv_is_pointwise(p) && !channel_lanes_beat_in_place(p) && pointwise_panels_in_place(p, in, c.col_floats))
    return false;
  const bool parallel = in.threads > 1 && p.y.c * p.y.plane() * p.k_rows() >= kParallelWork;
  const int64_t slots = channel_lanes_slots(p, in.isa, parallel ? in.threads : 1);
  // A layer of a tile or two of channels would keep most of the pool
  // waiting in lanes; its panels split over every thread instead. At eight
  // threads fr_expression's 3 x 3 layers of 128 into 32 channels on 7 x 7
  // took half their time so (one tile of the AVX-512 form, two of the
  // AVX2 one); the wakeword embedding's layers of three or four tiles ran
  // a tenth slower on panels and keep the lanes.
  if (parallel && !conv_is_pointwise(p) && slots * 4 <= in.threads) return false;
  if (channel_lanes_floats(p, in.isa, slots) > c.col_floats) return false;
  c.path = ConvPath::kChannelLanes;
  c.lane_slots = slots;
  return true;
}

void plan_pointwise(const ConvParams& p, const ConvPlanInputs& in, ConvPlan& c) {
  const int64_t hw = p.y.plane(), m = p.y.c, k = p.x.c, threads = in.threads;
  // The panel product reads the input planes in place and finishes each
  // tile in registers. It reads each input panel once per register tile of
  // output channels, so on large planes only layers with enough output
  // channels to share those reads take it; tiles of the general product,
  // which copies each panel once for all its rows, serve the narrow ones.
  const bool panels = few_positions(p) || m >= kPointwisePanelRows;
  if (!in.quantising && panels && c.col_floats >= pointwise_floats(k)) {
    c.path = ConvPath::kPointwisePanels;
    c.panels = panel_band_split(m, panel_count(hw), hw, k, threads);
    widening_by_channels(c.panels, p, threads);
    // A layer the tiles could read in place but that runs faster with its
    // panels copied takes the copy (and still keeps off the channel lanes).
    const bool readable = pointwise_panels_in_place(p, in, c.col_floats);
    const bool copied = readable && pointwise_copy_beats_in_place(p);
    c.in_place = readable && !copied;
    c.copy_panels = panels_thrash(hw, k) || copied;
  } else if (const Tiling t = in.quantising ? Tiling{} : plan_tiles(hw, k, m, threads); t.tiles > 0) {
    c.path = ConvPath::kPointwiseTiles;
    c.tiles = t;
    c.tiles_parallel = m * hw * k >= kParallelWork || (c.epilogue && epilogue_parallel(p));
  } else if (!in.quantising && (c.by_channels = channel_blocks(m, hw, k)).blocks > 0) {
    c.path = ConvPath::kPointwiseChannels;
  } else {
    c.path = ConvPath::kPointwiseProduct;
  }
}

void plan_grouped(const ConvParams& p, const ConvPlanInputs& in, ConvPlan& c) {
  c.path = ConvPath::kGrouped;
  GroupedPlan& g = c.grouped;
  g.form = in.isa;
  g.skip_padding = conv_is_depthwise(p);
  g.mc = grouped_tile_channels(p.cout_g());
  // Units of a few thousand outputs at least; a layer that spreads over
  // the pool gets a multiple of the thread count of them, so no thread
  // waits on a last round run by a few. Spread only when the layer takes
  // more than a few microseconds on one core (about 2^17 multiply-adds);
  // below that waking the pool costs more than it saves. Groups are cut
  // first, then bands of output rows when groups are fewer than units.
  const int64_t outs = p.y.c * p.y.plane();
  g.parallel = in.threads > 1 && outs > 4095 && outs * p.k_rows() >= (int64_t{1} << 17);
  int64_t units = 1;
  if (g.parallel) {
    units = std::max<int64_t>(1, outs / 4096);
    units = (units + in.threads - 1) / in.threads * in.threads;
  }
  g.lanes = depthwise_lanes_apply(p, in.isa);
  if (g.lanes) {
    // Whole blocks of eight channels, then bands of rows where the blocks
    // are fewer than the units.
    const int64_t blocks = (p.g + 7) / 8;
    g.groups_per = (blocks + std::min(units, blocks) - 1) / std::min(units, blocks) * 8;
    g.group_blocks = (p.g + g.groups_per - 1) / g.groups_per;
    const int64_t lane_bands = units <= blocks ? 1 : std::min(p.y.h, (units + blocks - 1) / blocks);
    g.band_rows = (p.y.h + lane_bands - 1) / lane_bands;
    g.bands = (p.y.h + g.band_rows - 1) / g.band_rows;
    return;
  }
  g.groups_per = units <= p.g ? (p.g + units - 1) / units : 1;
  g.group_blocks = (p.g + g.groups_per - 1) / g.groups_per;
  const int64_t bands = units <= p.g ? 1 : std::min(p.y.h, (units + p.g - 1) / p.g);
  g.band_rows = (p.y.h + bands - 1) / bands;
  g.bands = (p.y.h + g.band_rows - 1) / g.band_rows;
}

Im2colBand plan_im2col_band(const ConvParams& p, const ConvPlanInputs& in, const ConvPlan& c, int64_t rows) {
  Im2colBand b;
  const int64_t nb = rows * p.y.w, kr = p.k_rows(), cin_g = p.cin_g();
  b.positions = nb;
  if (!in.quantising) {
    b.tiles = plan_tiles(nb, kr, p.cout_g(), in.threads);
    b.slots = group_slots(p, nb, c.col_floats);
  }
  if (b.tiles.tiles > 0) {
    b.tiles_parallel = nb * cin_g >= 8192 || p.y.c * nb * kr >= kParallelWork || (c.epilogue && c.epilogue_parallel);
    b.slots = 1;
  } else if (b.slots <= 1) {
    b.slots = 1;
    b.gather_parallel = nb * cin_g >= 8192;
    if (!in.quantising) b.by_channels = channel_blocks(p.cout_g(), nb, kr);
  }
  return b;
}

void plan_general(const ConvParams& p, const ConvPlanInputs& in, ConvPlan& c) {
  const int64_t hw = p.y.plane(), m = p.y.c, kr = p.k_rows(), wo = p.y.w, ho = p.y.h;
  if (plan_channel_lanes(p, in, c)) return;
  if (direct_applies(p, in.isa) && !in.quantising) {
    c.direct = plan_direct(p, c.col_floats, in.isa, in.threads);
    if (c.direct.rows > 0) {
      c.path = ConvPath::kDirect;
      const int64_t bands = (ho + c.direct.rows - 1) / c.direct.rows;
      const int64_t last = ho - (bands - 1) * c.direct.rows;
      // The AVX-512 form's tiles span several panels (conv_product.h).
      const int64_t tile = in.isa == KernelIsa::kAvx512 ? kProductTilePanels : 1;
      c.panels =
          panel_band_split(m, direct_panels(c.direct, c.direct.rows, wo), c.direct.rows * wo, kr, in.threads, tile);
      c.last_panels = panel_band_split(m, direct_panels(c.direct, last, wo), last * wo, kr, in.threads, tile);
      whole_band_groups(c.panels, m, direct_panels(c.direct, c.direct.rows, wo), in.threads, tile);
      whole_band_groups(c.last_panels, m, direct_panels(c.direct, last, wo), in.threads, tile);
      return;
    }
  }
  if (!in.quantising && deep_tiny_applies(p, in.isa) && deep_tiny_floats(p) <= c.col_floats) {
    c.path = ConvPath::kTinyDeep;
    return;
  }
  // A plane of half a panel or less gathers faster than it copies its
  // subsampled planes for the pointwise product (fr_eye's 64 into 128
  // channels at 2 x 2).
  if (!in.quantising && subsample_applies(p) && subsample_floats(p) <= c.col_floats &&
      !half_panel_applies(p, in.isa)) {
    // Planned as the pointwise layer it becomes, the workspace after its
    // copied planes.
    ConvPlan q = c;
    q.p = subsampled_params(p);
    plan_pointwise(q.p, in, q);
    if (q.path == ConvPath::kPointwisePanels) {
      c.path = q.path;
      c.panels = q.panels;
      c.copy_panels = q.copy_panels;
      c.in_place = q.in_place;
      c.subsampled = true;
      return;
    }
  }
  if (!in.quantising) {
    if (const DirectBands d = plan_direct_across(p, c.col_floats); d.across()) {
      c.direct = d;
      c.path = ConvPath::kDirect;
      c.panels = panel_band_split(m, d.sums / kPanelWidth, hw, kr, in.threads);
      c.last_panels = c.panels;
      return;
    }
  }
  if (p.g == 1 && !in.quantising && few_positions(p) && panel_band(p, c.col_floats) >= hw) {
    // The whole plane is one band of panels.
    c.path = ConvPath::kPanels;
    const int64_t panels = panel_count(hw), threads = in.threads;
    c.panels = panel_band_split(m, panels, hw, kr, threads);
    c.half_panel = half_panel_applies(p, in.isa);
    if (c.panels.split.rb > 1) {
      // Units of a run of panels by a run of channels, a few thousand
      // values each; a small plane is gathered whole, channels apart.
      int64_t hp, wp;
      c.gather_span = padded_extent(p, &hp, &wp) ? panels : 1;
      c.gather_chans = std::clamp<int64_t>(4096 / (p.kh * p.kw * kPanelWidth * c.gather_span), 1,
                                           std::max<int64_t>(1, p.x.c / (2 * threads)));
      c.gather_units = panels / c.gather_span * ((p.x.c + c.gather_chans - 1) / c.gather_chans);
    }
    return;
  }
  // Bands of whole output rows that fit the workspace (and, for large
  // outputs, about 16 MiB).
  c.path = ConvPath::kIm2col;
  const int64_t row_values = kr * wo;
  int64_t rows = std::min(ho, c.col_floats / row_values);
  if (hw >= kBandOutputs) rows = std::min(rows, std::max<int64_t>(1, kBandValues / row_values));
  c.band_rows = rows;
  const int64_t bands = (ho + rows - 1) / rows;
  c.full = plan_im2col_band(p, in, c, rows);
  c.last = plan_im2col_band(p, in, c, ho - (bands - 1) * rows);
}

}  // namespace

bool conv_params(const CpuState& s, const NodeRecord& n, ConvParams* p, char* msg, size_t cap) {
  if (!has_io(s, n) || !has_input(s, n, 1)) return fail(msg, cap, "needs input, weight and output");
  ConvParams q;
  if (!value_nchw(node_in_value(s, n, 0), &q.x) || !value_nchw(node_out_value(s, n, 0), &q.y))
    return fail(msg, cap, "input and output must be NCHW tensors of rank 1 to 4");
  using A = attr::Conv;
  q.kh = attr_int(n, A::kKernelH);
  q.kw = attr_int(n, A::kKernelW);
  q.sh = attr_int(n, A::kStrideH);
  q.sw = attr_int(n, A::kStrideW);
  q.padt = attr_int(n, A::kPadTop);
  q.padl = attr_int(n, A::kPadLeft);
  q.dh = attr_int(n, A::kDilationH);
  q.dw = attr_int(n, A::kDilationW);
  q.g = attr_int(n, A::kGroups);
  if (q.g < 2) q.g = 1;
  if (q.sh == 0) q.sh = 1;
  if (q.sw == 0) q.sw = 1;
  if (q.dh == 0) q.dh = 1;
  if (q.dw == 0) q.dw = 1;
  q.depthwise_allowed = n.attr(A::kNoDepthwise) == 0;
  q.epilogue_span = conv_epilogue_for(s.isa);
  q.act = static_cast<int>(n.attr(A::kMode) & 0xffffffffu);
  q.slope = n.attr_f32(A::kParam);
  {
    const uint32_t bits = static_cast<uint32_t>(n.attr(A::kParam) >> 32);
    std::memcpy(&q.hi, &bits, 4);
  }
  if (q.kh < 1 || q.kw < 1 || q.kh > 4096 || q.kw > 4096)
    return fail(msg, cap, "kernel extent %lld x %lld out of range", (long long)q.kh, (long long)q.kw);
  if (q.sh < 0 || q.sw < 0 || q.dh < 0 || q.dw < 0 || q.padt < 0 || q.padl < 0)
    return fail(msg, cap, "negative stride, dilation or padding");
  // Bounded so that every extent the kernels derive from them fits 64 bits.
  constexpr int64_t kMaxStep = int64_t{1} << 20;
  if (q.sh > kMaxStep || q.sw > kMaxStep || q.dh > kMaxStep || q.dw > kMaxStep || q.padt > kMaxStep ||
      q.padl > kMaxStep)
    return fail(msg, cap, "stride, dilation or padding above %lld", (long long)kMaxStep);
  if (q.x.c % q.g != 0 || q.y.c % q.g != 0)
    return fail(msg, cap, "channels %lld -> %lld not divisible by %lld groups", (long long)q.x.c,
                (long long)q.y.c, (long long)q.g);
  if (q.x.n != q.y.n) return fail(msg, cap, "input and output batch differ");
  if (q.y.count() > 0 && q.x.c == 0) return fail(msg, cap, "input has no channels");
  int64_t per_out = 0, wcount = 0;
  if (!mul_ok(q.kh * q.kw, q.cin_g(), &per_out) || !mul_ok(per_out, q.y.c, &wcount) ||
      value_count(node_in_value(s, n, 1)) != wcount)
    return fail(msg, cap, "weight has %llu values, expected Cout x Cin/g x kh x kw",
                (unsigned long long)node_in_value(s, n, 1).count());
  if (q.act < kActNone || q.act > kActSiLU) return fail(msg, cap, "unknown fused activation %d", q.act);
  if (conv_act_adds(q.act)) {
    if (!has_input(s, n, 3) || value_count(node_in_value(s, n, 3)) != q.y.count())
      return fail(msg, cap, "fused residual does not hold the output's %lld values", (long long)q.y.count());
    // Only the paths that finish spans of the output in place take it.
    q.depthwise_allowed = false;
  }
  q.has_bias = has_input(s, n, 2);
  if (q.has_bias) {
    int64_t need = q.act == kActReluAffine ? 3 * q.y.c : q.act == kActPRelu ? 2 * q.y.c : q.y.c;
    if (value_count(node_in_value(s, n, 2)) < need)
      return fail(msg, cap, "bias has %llu values, expected %lld",
                  (unsigned long long)node_in_value(s, n, 2).count(), (long long)need);
  } else if (q.act == kActReluAffine || q.act == kActPRelu) {
    return fail(msg, cap, "fused affine activation without its parameters");
  }
  int64_t row = 0;
  if (!mul_ok(q.k_rows(), q.y.w, &row)) return fail(msg, cap, "column matrix too large");
  *p = q;
  return true;
}

bool conv_plan(const ConvParams& p, const ConvPlanInputs& in, ConvPlan* out, char* msg, size_t cap) {
  ConvPlan c;
  c.p = p;
  c.form = in.isa;
  c.epilogue = p.act != kActNone || p.has_bias;
  c.epilogue_parallel = epilogue_parallel(p);
  c.col_floats = std::max<int64_t>(16, workspace_floats(p, in.quantising, in.isa, in.threads));
  if (in.workspace_floats > 0) c.col_floats = std::min(c.col_floats, in.workspace_floats);
  const bool pointwise = conv_is_pointwise(p), grouped = !pointwise && conv_is_grouped_direct(p, in.quantising);
  // The general paths need room for at least one output row of the column
  // matrix.
  if (!pointwise && !grouped && c.col_floats < p.k_rows() * p.y.w)
    return fail(msg, cap, "im2col workspace of %llu bytes is below one row of %lld",
                (unsigned long long)(in.workspace_floats * 4), (long long)(p.k_rows() * p.y.w * 4));
  if (p.y.count() == 0)
    c.path = ConvPath::kNothing;
  else if (pointwise) {
    if (!plan_channel_lanes(p, in, c)) plan_pointwise(p, in, c);
  } else if (grouped) {
    plan_grouped(p, in, c);
    // The grouped plan stays as the small form's fallback for channels of
    // weights that are not all finite.
    if (depthwise_tiny_applies(p, in.isa)) c.path = ConvPath::kTinyDepthwise;
  }
  else
    plan_general(p, in, c);
  *out = c;
  return true;
}

}  // namespace kern

bool conv_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  kern::ConvParams p;
  if (!kern::conv_params(s, n, &p, msg, cap)) return false;
  kern::ConvPlanInputs in;
  // A node the engine keeps on the calling thread is planned for one.
  in.threads = plan.serial ? 1 : static_cast<int64_t>(parallel_thread_count());
  // At engine creation the quantisation state comes after the plans; the
  // switch it is built from is read before them.
  in.quantising = s.quantise_products != 0 || cpu_gemm_quantising(s);
  if (s.im2col != nullptr) in.workspace_floats = static_cast<int64_t>(s.im2col_size / 4);
  in.isa = s.isa;
  kern::ConvPlan c;
  if (!kern::conv_plan(p, in, &c, msg, cap)) return false;
  plan.workspace_bytes = static_cast<uint64_t>(c.col_floats) * 4;
  plan.set(c);
  return true;
}

bool conv_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  using namespace kern;
  const ConvPlan& c = plan.get<ConvPlan>();
  const ConvParams& p = c.p;
  if (c.path == ConvPath::kNothing) return true;
  const float* x = node_in(s, n, 0);
  float* y = node_out(s, n, 0);
  const ConvRun r{c, p, node_in(s, n, 1), p.has_bias ? node_in(s, n, 2) : nullptr, s.im2col, &s,
                  conv_act_adds(p.act) ? node_in(s, n, 3) : nullptr, y};
  const int64_t xstride = p.x.c * p.x.plane(), ystride = p.y.c * p.y.plane();
  for (int64_t b = 0; b < p.x.n; ++b) {
    const float* xn = x + b * xstride;
    float* yn = y + b * ystride;
    switch (c.path) {
      case ConvPath::kPointwiseTiles:
      case ConvPath::kPointwisePanels:
      case ConvPath::kPointwiseChannels:
      case ConvPath::kPointwiseProduct:
        if (c.subsampled) {
          run_subsampled(r, xn, yn);
          break;
        }
        run_pointwise(r, xn, yn);
        break;
      case ConvPath::kGrouped: run_grouped(r, xn, yn); break;
      case ConvPath::kDirect: run_direct(r, xn, yn); break;
      case ConvPath::kPanels: run_panels(r, xn, yn); break;
      case ConvPath::kIm2col: run_im2col(r, xn, yn); break;
      case ConvPath::kChannelLanes: run_channel_lanes(r, xn, yn); break;
      case ConvPath::kTinyDepthwise: run_tiny_depthwise(r, xn, yn); break;
      case ConvPath::kTinyDeep: run_tiny_deep(r, xn, yn); break;
      case ConvPath::kNothing: break;
    }
  }
  return true;
}

}  // namespace vorn
