// Matrix product with the right operand in column panels: C = A * B where
// A is an ordinary row-major matrix (a layer's weights, read in place) and B
// is laid out as panels of kPanelWidth columns, each panel's k rows stored
// one after another. Convolution gathers its column matrix straight into
// this layout, so no thread ever repacks an operand another thread already
// packed, and any rectangle of C can be computed on its own: the product
// spreads over the pool by blocks of rows and panels.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/parallel.h"

namespace vorn {
namespace kern {

constexpr int64_t kPanelWidth = 16;

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

// C rows [m0, m1) x columns of panels [p0, p1) = A rows x B, for a B of k
// rows and n columns (the last panel may be partial; its padding columns
// are read but never stored). lda and ldc are row strides. Each element of
// C is summed in the same order whatever rectangle it is computed in, so
// results do not depend on how the product is split.
void panel_gemm(const float* a, int64_t lda, const PanelOperand& b, int64_t k, int64_t n, float* c, int64_t ldc,
                int64_t m0, int64_t m1, int64_t p0, int64_t p1, bool portable_only = false);

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
                        int64_t count, int64_t ldc, int64_t m0, int64_t m1, bool portable_only = false);

// How a product is cut for the pool: rb blocks of `rows` rows of C by
// groups of `group` panels.
struct PanelSplit {
  int64_t rb = 1, rows = 0, group = 1, groups = 1;
};

// Every rectangle reads its rows of A once and its panels once, so A is
// read once per panel group and B once per row block. Picks, among cuts
// into at least two rectangles per thread (one when threads is 1), the one
// that moves the fewest bytes.
PanelSplit plan_panel_split(int64_t m, int64_t panels, int64_t threads);

// Runs body(m0, m1, p0, p1) for each non-empty rectangle of the split:
// rows [m0, m1) by panels [p0, p1) of `panels`, over the pool when
// parallel is set.
template <class F>
void for_rectangles(bool parallel, const PanelSplit& sp, int64_t m, int64_t panels, F&& body) {
  auto one = [&](size_t t) {
    const int64_t rb = static_cast<int64_t>(t) % sp.rb, gi = static_cast<int64_t>(t) / sp.rb;
    const int64_t m0 = rb * sp.rows, m1 = std::min(m, m0 + sp.rows);
    const int64_t p0 = gi * sp.group, p1 = std::min(panels, p0 + sp.group);
    if (m0 < m1 && p0 < p1) body(m0, m1, p0, p1);
  };
  const size_t count = static_cast<size_t>(sp.rb * sp.groups);
  if (parallel && count > 1)
    parallel_for(count, one);
  else
    for (size_t t = 0; t < count; ++t) one(t);
}

// C[m x n] = A[m x k] * B[k x n], all row-major with row strides lda, ldb,
// ldc, spread over the pool as rectangles that read B's rows in place (its
// last partial panel, if any, goes through the BLAS library).
void panel_product(const float* a, int64_t lda, const float* b, int64_t ldb, int64_t m, int64_t n, int64_t k,
                   float* c, int64_t ldc);

}  // namespace kern
}  // namespace vorn
