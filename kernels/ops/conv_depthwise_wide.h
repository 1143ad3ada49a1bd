// Depthwise layers of square 3, 5 or 7 tap kernels, dilation 1 and equal
// strides of 1 or 2 in sixteen-lane vectors (conv_depthwise_wide.cpp), for
// processors with AVX-512 and output rows of more than eight columns (a
// narrower row fills more of the eight-lane vectors): a tile keeps a block of output rows by one or
// two blocks of sixteen columns in registers and reads the input rows
// where they lie, columns outside the input as zeros through the load's
// mask (no padded copy, no separate edge form), rows outside left out. It
// sums each output as the eight-lane tiles of conv_grouped.cpp do (from
// zero, one fused multiply-add per kernel row and column in that order, a
// column outside as a product with zero), so it gives their bits, and like
// them it takes channels whose weights are all finite.
#pragma once
#include <cstdint>

#include "kernels/ops/conv.h"

namespace vorn::kern {

// One channel's operands: its input plane, weights and output plane, and
// its index for the epilogue.
struct WideChannel {
  const float* x;
  const float* w;
  float* y;
  int64_t c;
};

struct DepthwiseWide;
// Output rows [oy0, oy0 + tile rows) of a channel (those from oy0 + rows on
// computed but not stored) by the tile's blocks from block q0 on.
using WideTile = void (*)(const DepthwiseWide&, const WideChannel&, int64_t oy0, int rows, int64_t q0);

// Planes of at most kFlatPositions outputs at stride 1 whose input rows
// are as wide as the output's (7 x 7 and the like, rows too narrow for a
// vector each) run flat: sixteen positions a vector in raster order
// across rows, each tap one load shifted by a fixed offset, the taps that
// fall outside the input masked per lane (kFlatVectors vectors at most).
constexpr int64_t kFlatVectors = 4, kFlatPositions = kFlatVectors * 16, kFlatSideMost = 7,
                  kFlatTapsMost = kFlatSideMost * kFlatSideMost;

// The tiles of one layer, chosen once per call: `pair` covers `pair_rows`
// output rows by two blocks, `single` `single_rows` rows by one block;
// `flat`, where set, the whole plane as above, through the masks of each
// vector and tap and the taps' offsets.
struct DepthwiseWide {
  WideTile pair = nullptr, single = nullptr, flat = nullptr;
  uint16_t flat_mask[kFlatVectors][kFlatTapsMost] = {};
  int64_t flat_offset[kFlatTapsMost] = {};
  int pair_rows = 0, single_rows = 0;
  int64_t blocks = 0;  // blocks of sixteen columns per output row
  int64_t h = 0, w = 0, padt = 0, padl = 0, wo = 0;
  const ChannelEpilogue* epi = nullptr;
};

// False where the layer's shape has neither wide tiles nor the flat form,
// or the form is not AVX-512.
bool depthwise_wide_layer(const ConvParams& p, KernelIsa form, const ChannelEpilogue* epi, DepthwiseWide* out);

// Output rows [oy0, oy1) of one channel.
void depthwise_wide_rows(const DepthwiseWide& d, const WideChannel& ch, int64_t oy0, int64_t oy1);

}  // namespace vorn::kern
