// Matrix product with the right operand in column panels: C = A * B where
// A is an ordinary row-major matrix (a layer's weights, read in place) and B
// is laid out as panels of kPanelWidth columns, each panel's k rows stored
// one after another. Convolution gathers its column matrix straight into
// this layout, so no thread ever repacks an operand another thread already
// packed, and any rectangle of C can be computed on its own: the product
// spreads over the pool by blocks of rows and panels.
#pragma once
#include <cstdint>

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

}  // namespace kern
}  // namespace vorn
