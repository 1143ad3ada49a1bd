// The sliding-window pools (MaxPool, AveragePool) over NCHW planes: the
// shape record a node's prepare step makes, and the forms of the plane loop.
//
// Every form computes each output from the taps of its window that lie
// inside the input, in row-major order: MaxPool starts from the most
// negative finite float and takes a tap only when it is strictly greater
// (NaN never wins; of equal values the first stays, which decides the sign
// of a zero); AveragePool sums from +0 in f32 and divides by the whole
// window's area. A tap in the padding changes neither (the lowest float is
// never greater, and +0 added to a sum that is never -0 leaves it), so the
// vector forms may read padding as those values: every form gives the same
// bits.
#pragma once
#include <cstdint>

#include "kernels/kernel_isa.h"
#include "kernels/ops/spatial_common.h"

namespace vorn::kern {

constexpr float kPoolLowest = -3.4028235e38f;

struct PoolParams {
  Nchw x, y;
  int64_t kh = 0, kw = 0, sh = 1, sw = 1, padt = 0, padl = 0, dh = 1, dw = 1;
  int64_t planes() const { return x.n * x.c; }
  // A window without taps: MaxPool gives the lowest float, AveragePool 0.
  bool empty() const { return kh < 1 || kw < 1; }
};

// Planes [first, end) of a pool, x and y at plane `first`.
using PoolPlanes = void (*)(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end);

// What a pool node's run reads: its shape, the form chosen for this
// engine's processor and whether its planes spread over the pool.
struct PoolPlan {
  PoolParams p;
  PoolPlanes planes;
  int64_t unit;  // planes per call of `planes`
  bool parallel;
};

// The form the engine's processor runs (a portable one for every shape;
// the vector forms take column strides 1 and 2 and windows of up to
// kPoolVectorTaps columns).
PoolPlanes pool_planes_for(const PoolParams& p, bool max, KernelIsa isa);

constexpr int64_t kPoolVectorTaps = 64;

// GlobalAveragePool of planes [first, end) of hw values each: per plane
// eight f64 sums (value i into sum i mod 8), added pairwise, divided by hw
// in f64 and rounded to f32 (large planes stay exact to f32; eight sums
// instead of one chain let the adds overlap).
using GlobalPoolPlanes = void (*)(const float* x, float* y, int64_t first, int64_t end, int64_t hw);
GlobalPoolPlanes global_pool_planes_for(KernelIsa isa);
// Planes one vector-form call sums side by side.
constexpr int64_t kGlobalPoolGroup = 4;
// The eight sums of a plane added pairwise, as every form adds them.
double global_pool_sum(const double (&part)[8]);

#if defined(__x86_64__)
// The AVX2 forms (pool_avx2.cpp), for the shapes pool_planes_for gives them.
void max_planes_avx2(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end);
void avg_planes_avx2(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end);
void global_avg_planes_avx2(const float* x, float* y, int64_t first, int64_t end, int64_t hw);
// The AVX-512 form of the max pool of column stride 2 and windows of at
// most three columns (pool_avx512.cpp), for the shapes it applies to.
bool max_rows_s2_avx512_apply(const PoolParams& p);
void max_planes_rows_s2_avx512(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end);
// The AVX-512 form of the max pool whose output rows are at most 16
// columns and whose windows read at most 32 padded input columns (the last
// pools of small networks, 27 x 27 to 13 x 13): each padded input row
// loaded whole into a pair of vectors, its taps picked by one two-source
// permute each and folded in column order from the lowest float, then per
// output row the maxima of kh of those rows.
bool max_narrow_avx512_apply(const PoolParams& p);
void max_planes_narrow_avx512(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end);
// The forms for small planes, eight planes side by side in the lanes
// (pool_lanes_apply: output rows at most kPoolLanesMaxWidth wide, a padded
// block of eight planes on the stack); they take planes eight at a time.
inline constexpr int64_t kPoolLanesMaxWidth = 16;
bool pool_lanes_apply(const PoolParams& p);
void max_planes_lanes_avx2(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end);
void avg_planes_lanes_avx2(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end);
#endif

}  // namespace vorn::kern
