// The product of the ungrouped convolution paths (conv_direct.cpp,
// conv_panels.cpp): a layer's weights times its column panels, either
// gathered panels or panels read in place from a zero-padded input through
// a table of offsets.
//
// It sums every element exactly as panel_gemm does (depth blocks of
// kPanelDepthBlock, within a block one multiply-add per depth in order from
// zero, the blocks added to C in order), so its bits are panel_gemm's in
// every form; only the order in which it walks the tiles differs. Each
// depth block of a register tile's weight rows is copied once into
// consecutive values and then passes every panel of the call, so a deep
// layer's weights are read from memory once per call whatever its panel
// count (panel_gemm reads them once per pair of panels), asked for a tile
// ahead; the AVX-512 tile covers 8 rows by three panels, its values of A
// from one pointer; and a panel of a few real columns (the last position
// of a 7 x 7 plane) runs its sums along the rows instead of spending a
// whole panel's lanes on it. The AVX2 and portable forms are panel_gemm's
// (an AVX2 tile of this order, 6 rows of one panel reading its panels from
// the second-level cache, ran a tenth slower than panel_gemm's).
#pragma once
#include <cstdint>

#include "platform/cpu_features.h"
#include "platform/panel_gemm.h"

namespace vorn::kern {

// What finishes each value of C once its last depth block is summed, as
// the layer's separate epilogue pass would (conv_epilogue.h): the bias of
// its row (null: none), then for act kActAdd and kActAddRelu the residual
// at the same place (position v of C reads res[v - y]), then for kActRelu
// and kActAddRelu Relu, for kActClip the bounds lo and hi tested as the
// span form tests them. Other activations are never finished here. The
// values of panels the tiles do not cover in full go through span (len
// values of row c from v on) instead.
struct TileFinish {
  int act = 0;
  const float* bias = nullptr;
  const float* res = nullptr;
  const float* y = nullptr;
  float lo = 0.0f, hi = 0.0f;
  void (*span)(const void* ctx, float* v, int64_t len, int64_t c) = nullptr;
  const void* ctx = nullptr;
};

// Panels side by side in a register tile of the AVX-512 form.
inline constexpr int64_t kProductTilePanels = 3;

// Whether a layer's epilogue of activation act is one TileFinish applies.
bool tile_finish_applies(int act);

// C rows [m0, m1) x panels [p0, p1) = A rows x B, B gathered panels of k
// rows and n columns (as panel_gemm with gathered_panels). With finish,
// true when the product has also finished every value it wrote (only the
// AVX-512 form does); false when the caller must still.
bool conv_product_panels(KernelIsa isa, const float* a, int64_t lda, const float* bp, int64_t k, int64_t n,
                         float* c, int64_t ldc, int64_t m0, int64_t m1, int64_t p0, int64_t p1,
                         const TileFinish* finish = nullptr);

// One panel of positions: row kk of its operand at base + kk x
// kPanelWidth (gathered) or base + offsets[kk] (read in place); lanes [0,
// cols) of C go from c on, and a panel that runs on into the next output
// row stores lanes [from, from + more) from `next` on (AVX-512 form only).
struct ConvPanel {
  const float* base;
  float* c;
  int64_t cols;
  float* next = nullptr;
  int64_t from = 0, more = 0;
};

// C rows [m0, m1) of each of count panels read through offsets (as
// panel_gemm_offsets); finish and the result as for conv_product_panels.
bool conv_product_offsets(KernelIsa isa, const float* a, int64_t lda, const int64_t* offsets, int64_t k,
                          const ConvPanel* panels, int64_t count, int64_t ldc, int64_t m0, int64_t m1,
                          const TileFinish* finish = nullptr);

// A product too small to fill the processor's multiply-add units: C rows
// [m0, m1) of one panel read through offsets, deep enough for several
// depth blocks. Each block's sum is a chain of multiply-adds as long as
// the block, and a few rows of one panel leave too few chains to hide
// their latency; the blocks' chains are independent, so they run side by
// side here and their sums are added to C in block order afterwards: the
// same sums and additions as panel_gemm's (fr_eye's head, 128 channels x
// 3 x 3 into 2 on a 2 x 2 plane, ran a third faster). The vector forms
// have it, where conv_product_deep_applies; the portable form keeps the
// ordinary product.
inline constexpr int64_t kDeepRows = 4, kDeepBlocks = 6;
bool conv_product_deep_applies(KernelIsa isa, int64_t rows, int64_t panels, int64_t k);
void conv_product_deep(KernelIsa isa, const float* a, int64_t lda, const int64_t* offsets, int64_t k,
                       const float* base, float* c, int64_t cols, int64_t ldc, int64_t m0, int64_t m1);

}  // namespace vorn::kern
