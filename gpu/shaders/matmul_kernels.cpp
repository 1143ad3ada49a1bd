// Tiled matrix products y = x W^T (+ bias) with x [M, K] of the activation
// type, W [N, K] half and y [M, N]: "matmul" (32 x 32 tiles), "matmul_rows64"
// (64 x 32 tiles, each weight tile serving twice the rows) and
// "matmul_direct64" (64 x 64 float tiles, full tiles only, no bias).
//
// K is walked in steps of 32: each step loads a tile of x and the matching
// weight rows, transposed, with zeros outside the matrices, and adds the
// products into float accumulators. An 8 x 8 fragment product accumulates
// its k in order, so every output is the dot product summed in k order (and
// the zero padding adds +0); the tile shape changes the speed, never the
// value. The result is rounded once, after the bias.
#include "gpu/shaders/kernels.h"
#include "gpu/shaders/tile_mma.h"
#include "platform/cpu_features.h"
#include "platform/transpose_avx2.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn::shaders {

namespace {

constexpr uint32_t kStep = kMatmulKStep;

// Tile rows of x for one K step, widened to float; zeros outside.
template <class A, uint32_t RT>
inline void load_x_tile(const A* x, uint64_t M, uint64_t K, uint64_t r0, uint64_t k0,
                        float (&xt)[RT][kStep]) {
  const uint64_t kn = K - k0 < kStep ? K - k0 : kStep;
  for (uint32_t r = 0; r < RT; ++r) {
    if (r0 + r >= M) {
      for (uint32_t k = 0; k < kStep; ++k) xt[r][k] = 0;
      continue;
    }
    const A* row = x + (r0 + r) * K + k0;
    if constexpr (sizeof(A) == 2)
      half_to_float_n(&row[0].bits, xt[r], kn);
    else
      for (uint64_t k = 0; k < kn; ++k) xt[r][k] = row[k];
    for (uint64_t k = kn; k < kStep; ++k) xt[r][k] = 0;
  }
}

// Weight rows c0.. for one K step, transposed to [k][column]; zeros outside.
template <uint32_t CT>
inline void load_w_tile(const half* w, uint64_t N, uint64_t K, uint64_t c0, uint64_t k0,
                        float (&wt)[kStep][CT]) {
  const uint64_t kn = K - k0 < kStep ? K - k0 : kStep;
  float row[kStep];
  for (uint32_t c = 0; c < CT; ++c) {
    if (c0 + c < N) {
      half_to_float_n(&w[(c0 + c) * K + k0].bits, row, kn);
      for (uint64_t k = kn; k < kStep; ++k) row[k] = 0;
    } else {
      for (uint32_t k = 0; k < kStep; ++k) row[k] = 0;
    }
    for (uint32_t k = 0; k < kStep; ++k) wt[k][c] = row[k];
  }
}

#if defined(__x86_64__)
// Eight halves widened by F16C. It sets the quiet bit of a signalling NaN,
// which the platform conversion keeps clear: such lanes are reported so the
// caller widens that tile the platform's way instead.
__attribute__((target("avx2,f16c"))) inline __m256 widen8(const half* p, __m128i& signalling) {
  const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i top = _mm_cmpeq_epi16(_mm_and_si128(h, _mm_set1_epi16(0x7E00)), _mm_set1_epi16(0x7C00));
  const __m128i empty = _mm_cmpeq_epi16(_mm_and_si128(h, _mm_set1_epi16(0x01FF)), _mm_setzero_si128());
  signalling = _mm_or_si128(signalling, _mm_andnot_si128(empty, top));
  return _mm256_cvtph_ps(h);
}

// Rows r0.. of a half x for one whole K step (every row inside x). False when
// a signalling NaN was met; xt then holds nothing useful.
template <uint32_t RT>
__attribute__((target("avx2,f16c"))) bool load_x_tile_f16c(const half* x, uint64_t K, uint64_t r0, uint64_t k0,
                                                           float (&xt)[RT][kStep]) {
  __m128i signalling = _mm_setzero_si128();
  for (uint32_t r = 0; r < RT; ++r) {
    const half* row = x + (r0 + r) * K + k0;
    for (uint32_t k = 0; k < kStep; k += 8) _mm256_storeu_ps(&xt[r][k], widen8(row + k, signalling));
  }
  return _mm_testz_si128(signalling, signalling) != 0;
}

// Weight rows c0.. for one whole K step (every row inside W), widened and
// transposed eight by eight in registers. False as load_x_tile_f16c.
template <uint32_t CT>
__attribute__((target("avx2,f16c"))) bool load_w_tile_f16c(const half* w, uint64_t K, uint64_t c0, uint64_t k0,
                                                           float (&wt)[kStep][CT]) {
  __m128i signalling = _mm_setzero_si128();
  for (uint32_t c = 0; c < CT; c += 8)
    for (uint32_t k = 0; k < kStep; k += 8) {
      __m256 v[8];
      for (uint32_t i = 0; i < 8; ++i) v[i] = widen8(w + (c0 + c + i) * K + k0 + k, signalling);
      transpose8(v);
      for (uint32_t i = 0; i < 8; ++i) _mm256_storeu_ps(&wt[k + i][c], v[i]);
    }
  return _mm_testz_si128(signalling, signalling) != 0;
}
#endif

// The tiles of one K step. Whole tiles of half take the F16C loaders (one
// call each where the platform conversion was called per row of 32 and the
// transpose went element by element: together they cost more than half the
// product itself); the values are the same either way.
template <class A, uint32_t RT, uint32_t CT>
inline void load_tiles(bool vector, const A* x, const half* w, uint64_t M, uint64_t N, uint64_t K, uint64_t r0,
                       uint64_t c0, uint64_t k0, float (&xt)[RT][kStep], float (&wt)[kStep][CT]) {
#if defined(__x86_64__)
  const bool whole_k = K - k0 >= kStep;
  if constexpr (sizeof(A) == 2) {
    if (!(vector && whole_k && r0 + RT <= M && load_x_tile_f16c<RT>(x, K, r0, k0, xt)))
      load_x_tile<A, RT>(x, M, K, r0, k0, xt);
  } else {
    load_x_tile<A, RT>(x, M, K, r0, k0, xt);
  }
  if (!(vector && whole_k && c0 + CT <= N && load_w_tile_f16c<CT>(w, K, c0, k0, wt)))
    load_w_tile<CT>(w, N, K, c0, k0, wt);
#else
  (void)vector;
  load_x_tile<A, RT>(x, M, K, r0, k0, xt);
  load_w_tile<CT>(w, N, K, c0, k0, wt);
#endif
}

struct Problem {
  uint64_t M, N, K;
  bool bias;
};

template <class A, class Y, uint32_t RT, uint32_t CT>
void run_tile(const mtl::KernelArgs& a, mtl::Size3 g, Problem p) {
  const A* x = a.buffer<const A>(0);
  const half* w = a.buffer<const half>(1);
  Y* y = a.buffer<Y>(2);
  const half* bias = a.buffer<const half>(4);
  const uint64_t r0 = g.height * RT, c0 = g.width * CT;
  if (r0 >= p.M || c0 >= p.N) return;
  const bool vector = vector_form() != VectorForm::kPortable;
  float xt[RT][kStep];
  float wt[kStep][CT];
  float acc[RT][CT] = {};
  for (uint64_t k0 = 0; k0 < p.K; k0 += kStep) {
    load_tiles<A, RT, CT>(vector, x, w, p.M, p.N, p.K, r0, c0, k0, xt, wt);
    tile_mma(vector, &xt[0][0], kStep, &wt[0][0], CT, kStep, &acc[0][0], CT, RT, CT);
  }
  for (uint32_t r = 0; r < RT && r0 + r < p.M; ++r)
    for (uint32_t c = 0; c < CT && c0 + c < p.N; ++c) {
      float v = acc[r][c];
      if (p.bias) v = v + to_float(bias[c0 + c]);
      y[(r0 + r) * p.N + c0 + c] = from_float<Y>(v);
    }
}

Problem problem_of(const MatmulParams& p) { return Problem{p.m, p.n, p.k, p.has_bias != 0}; }

template <class X, class Y>
bool product_check(const mtl::KernelArgs& a, Problem p, std::string* e) {
  return require_elements(a, 0, mtl::sat_mul(p.M, p.K), sizeof(X), e) &&
         require_elements(a, 1, mtl::sat_mul(p.N, p.K), 2, e) &&
         require_elements(a, 2, mtl::sat_mul(p.M, p.N), sizeof(Y), e) &&
         (!p.bias || require_elements(a, 4, p.N, 2, e));
}

}  // namespace

template <class A>
void matmul(const mtl::KernelArgs& a, mtl::Size3 g) {
  run_tile<A, A, kMatmulTile, kMatmulTile>(a, g, problem_of(params<Kernel::matmul>(a)));
}

template <class A>
bool matmul_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  if (a.groups.depth != 1) return mtl::kernel_refuse("grid of more than one layer of tiles", e);
  return product_check<A, A>(a, problem_of(params<Kernel::matmul>(a)), e);
}

template <class A>
void matmul_rows64(const mtl::KernelArgs& a, mtl::Size3 g) {
  run_tile<A, A, kMatmulRows64, kMatmulTile>(a, g, problem_of(params<Kernel::matmul_rows64>(a)));
}

template <class A>
bool matmul_rows64_check(const mtl::KernelArgs& a, std::string* e) {
  return matmul_check<A>(a, e);
}

// M is the grid's rows of tiles; N and K come from the parameters. Every
// tile is whole, so the check asks for tile-exact sizes.
Problem direct_problem(const mtl::KernelArgs& a) {
  const MatmulParams& p = params<Kernel::matmul_direct64>(a);
  return Problem{mtl::sat_mul(a.groups.height, kMatmulDirectTile), p.n, p.k, false};
}

template <class A>
void matmul_direct64(const mtl::KernelArgs& a, mtl::Size3 g) {
  run_tile<float, float, kMatmulDirectTile, kMatmulDirectTile>(a, g, direct_problem(a));
}

template <class A>
bool matmul_direct64_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const Problem p = direct_problem(a);
  if (p.N % kMatmulDirectTile != 0 || p.K % kMatmulKStep != 0)
    return mtl::kernel_refuse("needs N a multiple of 64 and K a multiple of 32", e);
  if (mtl::sat_mul(a.groups.width, kMatmulDirectTile) > p.N || a.groups.depth != 1)
    return mtl::kernel_refuse("grid wider than N", e);
  return product_check<float, float>(a, p, e);
}

VORN_INSTANTIATE_KERNEL(matmul)
VORN_INSTANTIATE_KERNEL(matmul_rows64)
VORN_INSTANTIATE_KERNEL(matmul_direct64)

}  // namespace vorn::shaders
