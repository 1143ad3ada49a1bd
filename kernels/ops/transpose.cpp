// Transpose and the permuted copy behind it.
#include <algorithm>
#include <cstring>

#include "container/attr_words.h"
#include "kernels/kernel.h"
#include "kernels/ops/node_check.h"
#include "kernels/ops/parallel_chunks.h"
#include "kernels/ops/permute.h"
#include "platform/cpu_features.h"

#if defined(__x86_64__)
#include "platform/transpose_avx2.h"
#endif

namespace vorn {

namespace {

// Side of the square tiles of a transposing copy: 32 x 32 floats read and
// written stay within the first-level cache.
constexpr uint64_t kTile = 32;

// One tile: output rows qq in [q0, q1), columns l in [l0, l1); the input
// reads at qq + l * in_stride, the output writes at qq * out_stride + l.
__attribute__((noinline)) void tile_by_rows(const float* x, float* y, uint64_t q0, uint64_t q1,
                                            uint64_t l0, uint64_t l1, uint64_t in_stride,
                                            uint64_t out_stride) {
  for (uint64_t qq = q0; qq < q1; ++qq) {
    const float* in = x + qq;
    float* out = y + qq * out_stride;
    for (uint64_t l = l0; l < l1; ++l) out[l] = in[l * in_stride];
  }
}

__attribute__((noinline)) void tile_by_columns(const float* x, float* y, uint64_t q0, uint64_t q1,
                                               uint64_t l0, uint64_t l1, uint64_t in_stride,
                                               uint64_t out_stride) {
  for (uint64_t l = l0; l < l1; ++l) {
    const float* in = x + l * in_stride;
    float* out = y + l;
    for (uint64_t qq = q0; qq < q1; ++qq) out[qq * out_stride] = in[qq];
  }
}

#if defined(__x86_64__)
// Whole 8 x 8 blocks of a tile (q1 - q0 and l1 - l0 multiples of eight),
// each read as eight runs of the input's contiguous axis and written as
// eight output runs: a tile of a short contiguous axis (a spectrogram's 8
// frames by 257 bins) otherwise moves one value per strided read.
[[gnu::target("avx2")]] __attribute__((noinline)) void tile_blocks_avx2(const float* x, float* y, uint64_t q0,
                                                                        uint64_t q1, uint64_t l0, uint64_t l1,
                                                                        uint64_t in_stride, uint64_t out_stride) {
  for (uint64_t qq = q0; qq < q1; qq += 8)
    for (uint64_t l = l0; l < l1; l += 8) {
      __m256 r[8];
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) r[i] = _mm256_loadu_ps(x + qq + (l + i) * in_stride);
      transpose8(r);
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) _mm256_storeu_ps(y + (qq + j) * out_stride + l, r[j]);
    }
}
#endif

// One tile as the cheaper of its two loop orders, its whole 8 x 8 blocks
// in vector registers where the processor has them (values are only
// moved, so every form gives the same bits).
void tile_copy(const float* x, float* y, uint64_t q0, uint64_t q1, uint64_t l0, uint64_t l1, uint64_t in_stride,
               uint64_t out_stride, bool blocks) {
#if defined(__x86_64__)
  if (blocks && q1 - q0 >= 8 && l1 - l0 >= 8) {
    const uint64_t qe = q0 + (q1 - q0) / 8 * 8, le = l0 + (l1 - l0) / 8 * 8;
    tile_blocks_avx2(x, y, q0, qe, l0, le, in_stride, out_stride);
    if (le < l1) tile_by_rows(x, y, q0, qe, le, l1, in_stride, out_stride);
    if (qe < q1) tile_by_rows(x, y, qe, q1, l0, l1, in_stride, out_stride);
    return;
  }
#else
  (void)blocks;
#endif
  // The longer side of the tile is the inner loop.
  if (l1 - l0 >= q1 - q0)
    tile_by_rows(x, y, q0, q1, l0, l1, in_stride, out_stride);
  else
    tile_by_columns(x, y, q0, q1, l0, l1, in_stride, out_stride);
}

}  // namespace

void permute_copy(const float* x, const uint64_t* dims, uint64_t rank, const uint64_t* perm,
                  float* y, bool vector_blocks) {
  uint64_t in_stride[kMaxRank];
  uint64_t s = 1;
  for (uint64_t a = rank; a-- > 0;) {
    in_stride[a] = s;
    s *= dims[a];
  }
  // Output axes in order with the input stride each reads at. Axes of dim 1
  // drop out; neighbours that stay contiguous in the input merge, so an
  // identity or a permutation that only moves unit axes becomes one copy.
  uint64_t d[kMaxRank], st[kMaxRank];
  uint64_t m = 0, total = 1;
  for (uint64_t k = 0; k < rank; ++k) {
    uint64_t dk = dims[perm[k]];
    if (dk == 0) return;
    if (dk == 1) continue;
    total *= dk;
    uint64_t sk = in_stride[perm[k]];
    if (m > 0 && st[m - 1] == dk * sk) {
      d[m - 1] *= dk;
      st[m - 1] = sk;
    } else {
      d[m] = dk;
      st[m] = sk;
      ++m;
    }
  }
  if (m <= 1) {
    std::memcpy(y, x, total * sizeof(float));
    return;
  }
  const uint64_t inner = d[m - 1], inner_stride = st[m - 1];
  if (inner_stride == 1) {
    // The last axis stays contiguous: whole rows move with one copy each.
    const uint64_t outer_rank = m - 1;
    for_chunks(total / inner, kParallelElements, [&](uint64_t begin, uint64_t end) {
      uint64_t idx[kMaxRank] = {0, 0, 0, 0, 0, 0};
      uint64_t rem = begin;
      for (uint64_t a = outer_rank; a-- > 0;) {
        idx[a] = rem % d[a];
        rem /= d[a];
      }
      for (uint64_t row = begin; row < end; ++row) {
        uint64_t base = 0;
        for (uint64_t a = 0; a < outer_rank; ++a) base += idx[a] * st[a];
        std::memcpy(y + row * inner, x + base, inner * sizeof(float));
        for (uint64_t a = outer_rank; a-- > 0;) {
          if (++idx[a] < d[a]) break;
          idx[a] = 0;
        }
      }
    }, inner);
    return;
  }
  // Otherwise some earlier output axis q is the input's contiguous one: move
  // square tiles of (q, last axis) so that both the strided reads and the
  // strided writes of a tile stay in cache.
  uint64_t q = 0;
  while (q + 1 < m && st[q] != 1) ++q;
  if (q + 1 == m) {
    // Not reachable (the input's innermost axis always reads at stride 1),
    // kept so that the tiling below can rely on q.
    for (uint64_t i = 0; i < total; ++i) {
      uint64_t rem = i, off = 0;
      for (uint64_t a = m; a-- > 0;) {
        off += (rem % d[a]) * st[a];
        rem /= d[a];
      }
      y[i] = x[off];
    }
    return;
  }
  uint64_t out_stride[kMaxRank];
  uint64_t os = 1;
  for (uint64_t a = m; a-- > 0;) {
    out_stride[a] = os;
    os *= d[a];
  }
  const uint64_t qd = d[q], oq = out_stride[q];
  const bool blocks = vector_blocks && cpu_has_avx2_fma();
  const uint64_t tiles = (qd + kTile - 1) / kTile;
  const uint64_t others = total / (qd * inner);
  for_chunks(others * tiles, kParallelElements, [&](uint64_t begin, uint64_t end) {
    for (uint64_t t = begin; t < end; ++t) {
      // Offsets of the remaining axes (all but q and the last).
      uint64_t rem = t / tiles, in_base = 0, out_base = 0;
      for (uint64_t a = m - 1; a-- > 0;) {
        if (a == q) continue;
        const uint64_t i = rem % d[a];
        rem /= d[a];
        in_base += i * st[a];
        out_base += i * out_stride[a];
      }
      const uint64_t q0 = (t % tiles) * kTile, q1 = std::min(qd, q0 + kTile);
      for (uint64_t l0 = 0; l0 < inner; l0 += kTile) {
        const uint64_t l1 = std::min(inner, l0 + kTile);
        tile_copy(x + in_base, y + out_base, q0, q1, l0, l1, inner_stride, oq, blocks);
      }
    }
  }, kTile * inner);
}

namespace {

// The permutation lives in attribute words 4 to 4 + rank - 1.

}  // namespace

bool cpu_transpose_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  const uint64_t rank = vx.rank();
  if (rank <= 1) {
    if (node_in(s, node, 0) != node_out(s, node, 0))
      std::memcpy(node_out(s, node, 0), node_in(s, node, 0), vx.count() * sizeof(float));
    return true;
  }
  uint64_t perm[kMaxRank];
  for (uint64_t k = 0; k < rank; ++k) perm[k] = node.attr(attr::Transpose::kPerm + k);
  permute_copy(node_in(s, node, 0), &vx.w[3], rank, perm, node_out(s, node, 0), isa_has_avx2(s.isa));
  return true;
}

bool cpu_transpose_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, 1, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vy = node_out_value(s, node, 0);
  if (vx.count() != vy.count()) return check_fail(msg, cap, "input and output element counts differ");
  const uint64_t rank = vx.rank();
  if (rank <= 1) return true;
  if (vy.rank() != rank) return check_fail(msg, cap, "output rank differs from the input rank");
  // An in-place transpose would read what it already overwrote. Data
  // pointers may not be set yet when this runs; compare them only if they are.
  const float* xin = node_in(s, node, 0);
  if (node.input(0) == node.output(0) || (xin != nullptr && xin == node_out(s, node, 0)))
    return check_fail(msg, cap, "input and output share one buffer");
  bool seen[kMaxRank] = {};
  for (uint64_t k = 0; k < rank; ++k) {
    uint64_t p = node.attr(attr::Transpose::kPerm + k);
    if (p >= rank || seen[p])
      return check_fail(msg, cap, "attribute words %llu..%llu are not a permutation of the axes",
                        static_cast<unsigned long long>(attr::Transpose::kPerm),
                        static_cast<unsigned long long>(attr::Transpose::kPerm + rank - 1));
    seen[p] = true;
    if (vy.dim(k) != vx.dim(p))
      return check_fail(msg, cap, "output dim %llu is not input dim %llu",
                        static_cast<unsigned long long>(k), static_cast<unsigned long long>(p));
  }
  return true;
}

}  // namespace vorn
