// Matrix product with the right operand in column panels: C = A * B where
// A is an ordinary row-major matrix (a layer's weights, read in place) and B
// is laid out as panels of kPanelWidth columns, each panel's k rows stored
// one after another. Convolution gathers its column matrix straight into
// this layout, so no thread ever repacks an operand another thread already
// packed, and any rectangle of C can be computed on its own: the product
// spreads over the pool by blocks of rows and panels. The same register
// tiles run every single-precision product of the library (cpu_sgemm in
// platform/blas.h), whatever its transposes and scaling: the widest the
// record of platform/cpu_features.h offers (AVX-512, else AVX2 with fused
// multiply-add, else the portable loops).
//
// Every element of C is summed in one order, fixed by k alone: over k in
// blocks of 256, within a block one multiply-add per k in order starting
// from zero (fused in every form: the portable loops call fmaf), and the
// blocks added to C in order. No cut of the product into rectangles, no tile size and no vector
// width changes a bit of the result.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/parallel.h"

namespace vorn {

constexpr int64_t kPanelWidth = 16;
// Depth rows summed from zero before a block's sum is added to C (see
// above); a product that sums like panel_gemm blocks its depth alike.
constexpr int64_t kPanelDepthBlock = 256;

inline int64_t panel_count(int64_t n) { return (n + kPanelWidth - 1) / kPanelWidth; }

// Floats a k x n right operand takes in panels.
inline int64_t panel_floats(int64_t k, int64_t n) { return k * panel_count(n) * kPanelWidth; }

// Start of panel p of a k-row operand.
inline float* panel_at(float* bp, int64_t k, int64_t p) { return bp + p * k * kPanelWidth; }
inline const float* panel_at(const float* bp, int64_t k, int64_t p) { return bp + p * k * kPanelWidth; }

// Where the right operand's panels lie: panel p's row kk starts at
// data + p x panel_stride + kk x row_stride, and holds kPanelWidth values.
// Gathered panels have row_stride kPanelWidth and panel_stride k x
// kPanelWidth; an ordinary row-major matrix with row length ld is already
// in panels, with row_stride ld and panel_stride kPanelWidth (all but a
// partial last panel, whose reads would run past each row).
struct PanelOperand {
  const float* data;
  int64_t row_stride, panel_stride;
};

inline PanelOperand gathered_panels(const float* bp, int64_t k) { return {bp, kPanelWidth, k * kPanelWidth}; }

// C rows [m0, m1) x columns of panels [p0, p1) = alpha x A rows x B, for
// a B of k rows and n columns (the last panel may be partial; its padding
// columns are read but never stored). lda and ldc are row strides. The
// bits of matrix_product_rectangle with the same alpha and beta 0.
void panel_gemm(const float* a, int64_t lda, const PanelOperand& b, int64_t k, int64_t n, float* c, int64_t ldc,
                int64_t m0, int64_t m1, int64_t p0, int64_t p1, float alpha = 1.0f);

// One panel of positions whose right-operand rows lie at fixed offsets
// from base (row kk at base + offsets[kk], kPanelWidth values), and where
// its cols columns of C start.
struct OffsetPanel {
  const float* base;
  float* c;
  int64_t cols;
};

// C rows [m0, m1) of each of count panels = A rows x that panel's operand
// (k rows found through offsets). A panel's reads may run past its real
// columns up to a whole panel width; nothing past cols is stored. Sums in
// the same order as panel_gemm.
void panel_gemm_offsets(const float* a, int64_t lda, const int64_t* offsets, int64_t k, const OffsetPanel* panels,
                        int64_t count, int64_t ldc, int64_t m0, int64_t m1);

// A product of ordinary matrices, C = alpha op(A) op(B) + beta C, all
// row-major: op(A) is m x k (A stored k x m when trans_a), op(B) is k x n
// (B stored n x k when trans_b). The tiles read A and B in place where that
// is fast; other operands are copied a depth block at a time, into the
// calling thread's block of panels (made at its first product) or, when
// memory is short, onto the stack. A product of one row from a B stored
// n x k sums each value as a dot product (in 16 lanes, see panel_gemm.cpp),
// still in an order fixed by k alone.
struct MatrixProduct {
  bool trans_a, trans_b;
  int64_t m, n, k;
  float alpha;
  const float* a;
  int64_t lda;
  const float* b;
  int64_t ldb;
  float beta;
  float* c;
  int64_t ldc;
  // When set, B's values are halves stored here (b unused, ldb counted in
  // halves): widened as half_to_float_n widens them (platform/half.h) while
  // they are copied into panels, so the product is the one of the widened B,
  // with no float copy of B in memory. B is then never read in place, and a
  // single row is summed by the tiles rather than as dot products.
  const uint16_t* b_half = nullptr;
  // When set, n values added to every row of C once the product is done
  // (C = (alpha op(A) op(B) + beta C) + bias, rounded a second time as a
  // separate addition of C and the row would round), while the rows are
  // still in the cache.
  const float* bias = nullptr;
  // When set, called on each block of C, rows [i0, i1) by columns [j0,
  // j1), once its last depth block is summed (and the bias added), while
  // the block is still in the cache: a layer's epilogue, which would
  // otherwise read C back after the product has moved on.
  void (*finish)(const void* ctx, float* c, int64_t ldc, int64_t i0, int64_t i1, int64_t j0, int64_t j1) = nullptr;
  const void* finish_ctx = nullptr;
};

// op(B) of a product (its float b, ldb and trans_b; k x n) as gathered
// panels at bp, panel_floats(k, n) floats, the padding columns of a
// partial last panel zero: for products that share one right operand.
void gather_panels(const MatrixProduct& g, float* bp);

// C rows [m0, m1) x panels [p0, p1) of the product (panels of n columns,
// the last one possibly partial). With beta 0 what C held is never read
// (NaN included); with alpha 1 and beta 0 the bits are panel_gemm's (but
// for the dot products of a single row, and the bias's addition).
void matrix_product_rectangle(const MatrixProduct& g, int64_t m0, int64_t m1, int64_t p0, int64_t p1);

// Panels of a group share each depth block in the second-level cache, so
// no group holds more than this many.
constexpr int64_t kPanelGroupMost = 16;

// How a product is cut for the pool: rb blocks of rows, each of whole
// register tiles of `tile` rows, by `groups` groups of panels, both dealt
// out evenly (blocks differ by at most one tile, groups by at most one
// panel), so that rectangles of one product take about the same time.
struct PanelSplit {
  int64_t rb = 1, groups = 1, tile = 1;
};

// Every rectangle reads its rows of A once and its panels once, so A is
// read once per panel group and B once per row block. Picks, among cuts
// into at least two rectangles per thread (one when threads is 1), the one
// whose estimated time is least: the waves of rectangles the threads run
// one after another (a cut into 18 equal rectangles takes 3 waves on 8
// threads, no faster than 24) and the bytes it moves. tile_panels is the
// width in panels of the register tiles that will run it: on a full pool,
// a group of one panel more than a multiple of it (7 of 3) leaves that
// panel to a tile of its own, which does about half as much per panel,
// and counts so.
PanelSplit plan_panel_split(int64_t m, int64_t panels, int64_t threads, int64_t tile_panels = 1);

// Runs body(m0, m1, p0, p1) for each non-empty rectangle of the split:
// rows [m0, m1) by panels [p0, p1) of `panels`, over the pool when
// parallel is set.
template <class F>
void for_rectangles(bool parallel, const PanelSplit& sp, int64_t m, int64_t panels, F&& body) {
  const int64_t units = (m + sp.tile - 1) / sp.tile;
  auto one = [&](size_t t) {
    const int64_t rb = static_cast<int64_t>(t) % sp.rb, gi = static_cast<int64_t>(t) / sp.rb;
    const int64_t m0 = std::min(m, rb * units / sp.rb * sp.tile);
    const int64_t m1 = std::min(m, (rb + 1) * units / sp.rb * sp.tile);
    const int64_t p0 = gi * panels / sp.groups, p1 = (gi + 1) * panels / sp.groups;
    if (m0 < m1 && p0 < p1) body(m0, m1, p0, p1);
  };
  const size_t count = static_cast<size_t>(sp.rb * sp.groups);
  if (parallel && count > 1)
    parallel_for(count, one);
  else
    for (size_t t = 0; t < count; ++t) one(t);
}

}  // namespace vorn
