// The evaluators of the graph layer's casts, copies, matrix products and
// attention, the helpers the other evaluators share, and the table that
// dispatches every operation.
#include "platform/graph_layer_eval.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/blas.h"
#include "platform/cpu_features.h"
#include "platform/graph_layer_evaluators.h"
#include "platform/graph_layer_plan.h"
#include "platform/half.h"
#include "platform/panel_gemm.h"
#include "platform/parallel.h"
#include "platform/transpose_avx2.h"
#include "platform/transpose_avx512.h"
#include "platform/vector_exp.h"
#include "platform/vector_math.h"

namespace vorn::mpsg {

namespace {

constexpr int64_t kChunk = 1024;

const uint8_t* at(const Value& v, int64_t element) { return v.base + element * int64_t(data_type_size(v.storage)); }

bool strides_dense(const Shape& shape, const std::vector<int64_t>& strides) {
  int64_t expect = 1;
  for (size_t i = shape.size(); i-- > 0;) {
    if (shape[i] != 1 && strides[i] != expect) return false;
    expect *= shape[i];
  }
  return true;
}

// Rows of a value for row-wise loops: the last axis is a row.
int64_t row_length(const Value& v) { return v.shape.empty() ? 1 : v.shape.back(); }
int64_t row_count(const Value& v) { return v.shape.empty() ? 1 : element_count(v.shape) / std::max<int64_t>(1, v.shape.back()); }
int64_t inner_stride(const Value& v) { return v.shape.empty() ? 1 : v.strides.back(); }

// Offset (in elements) of row r of v, rows being every index but the last.
int64_t row_offset(const Value& v, int64_t r) {
  int64_t off = 0;
  for (size_t d = v.shape.size() - 1; d-- > 0;) {
    off += (r % v.shape[d]) * v.strides[d];
    r /= v.shape[d];
  }
  return off;
}

// --- casts and copies -----------------------------------------------------

bool eval_copy(const Node& n, const Value* const* in, size_t, const Value& out, float*, std::string*) {
  copy_dense(*in[0], out_floats(out));
  finish(n, out);
  return true;
}

// --- matrix products --------------------------------------------------------

// One matrix operand as cpu_sgemm reads it: float storage with unit stride
// along one of its two last axes.
struct MatrixView {
  bool transposed;
  int64_t ld;
};
bool matrix_view(DataType storage, const Shape& shape, const std::vector<int64_t>& strides, MatrixView* m) {
  if (storage != DataType::kFloat32) return false;
  const size_t r = shape.size();
  const int64_t rows = shape[r - 2], cols = shape[r - 1];
  if (strides[r - 1] == 1 && strides[r - 2] >= std::max<int64_t>(1, cols)) {
    *m = {false, strides[r - 2]};
    return true;
  }
  if (strides[r - 2] == 1 && strides[r - 1] >= std::max<int64_t>(1, rows)) {
    *m = {true, strides[r - 1]};
    return true;
  }
  return false;
}

// Many modest products run one per pool iteration, each on one thread;
// large ones run in turn, each split over the pool.
constexpr int64_t kBatchSpreadWork = int64_t{1} << 22;
constexpr int64_t kParallelMinWork = int64_t{1} << 18;

// An operand read in place when its layout allows, else densely copied into
// the workspace; fixed arrays, so nothing is allocated.
struct Operand {
  const float* p;
  size_t rank;
  int64_t shape[kMaxRank];
  int64_t strides[kMaxRank];
};

Operand operand(const Value& v, bool in_place, float** workspace) {
  Operand o{};
  o.rank = v.shape.size();
  for (size_t i = 0; i < o.rank; ++i) o.shape[i] = v.shape[i];
  if (in_place) {
    o.p = reinterpret_cast<const float*>(v.base);
    for (size_t i = 0; i < o.rank; ++i) o.strides[i] = v.strides[i];
    return o;
  }
  copy_dense(v, *workspace);
  o.p = *workspace;
  *workspace += element_count(v.shape);
  int64_t s = 1;
  for (size_t i = o.rank; i-- > 0;) o.strides[i] = s, s *= o.shape[i];
  return o;
}

// A product whose right operand is a matrix of halves that every batch
// shares (a layer's weights behind their cast), with the left rows laid out
// one batch after another: B is widened while its panels are copied, not
// into the workspace first. False (nothing done) for any other product, and
// for a single row, whose dot products over the widened copy sum in another
// order than the tiles.
// half_weight_setup fills *product with such a product and its bias,
// without running it.
bool half_weight_setup(const Node& n, const Operand& a, const Value& b, const Value& out, const float* bias,
                       MatrixProduct* product) {
  if (b.storage != DataType::kFloat16 || b.shape.size() != 2) return false;
  const size_t rank = n.shape.size();
  const int64_t m = n.shape[rank - 2], cols = n.shape[rank - 1], k = a.shape[a.rank - 1];
  const int64_t rows = element_count(n.shape) / std::max<int64_t>(1, cols);
  if (rows < 2 || a.strides[a.rank - 1] != 1) return false;
  // Every row of op(A), batches included, k values after the last (A's
  // batch axes those of the output: A does not broadcast).
  int64_t expect = k, count = k;
  for (size_t i = a.rank - 1; i-- > 0;) {
    if (a.shape[i] != 1 && a.strides[i] != expect) return false;
    expect *= a.shape[i];
    count *= a.shape[i];
  }
  if (count != rows * k || a.shape[a.rank - 2] != m) return false;
  MatrixProduct g{false, false, rows, cols, k, 1.0f, a.p, k, nullptr, 0, 0.0f, out_floats(out), cols};
  if (b.strides[1] == 1 && b.strides[0] >= std::max<int64_t>(1, cols)) {
    g.ldb = b.strides[0];
  } else if (b.strides[0] == 1 && b.strides[1] >= std::max<int64_t>(1, k)) {
    g.trans_b = true;
    g.ldb = b.strides[1];
  } else {
    return false;
  }
  g.b_half = reinterpret_cast<const uint16_t*>(b.base);
  g.bias = bias;
  *product = g;
  return true;
}

// Rows of one rectangle of a product of halves cut for a full pool: its rows
// of the left operand and of the result then stay in the core's
// second-level cache from one depth block to the next. Cut into taller row
// blocks (one or two of 1,024 rows), the wide projections of a vision layer
// ran 5 to 7% slower at eight threads in the AVX2 form, no faster in the
// AVX-512 one.
constexpr int64_t kMostCutRows = 256;
constexpr int64_t kCutRowsThreads = 8;

// product_cut for an m x (panels of kPanelWidth) product of halves of depth
// k, planned for `threads` threads (0: the pool's): on a pool of eight or
// more, row blocks of at most kMostCutRows rows, by groups of panels that
// fill whole waves of the threads (even groups where the panels allow).
// Every element sums in the order its depth alone fixes, so the cut changes
// no bit.
bool half_product_cut(int64_t m, int64_t panels, int64_t k, int64_t threads, PanelSplit* split) {
  if (!product_cut(m, panels * kPanelWidth, k, int(threads), split)) return false;
  const int64_t th = threads > 0 ? threads : int64_t(parallel_thread_count());
  const int64_t units = (m + split->tile - 1) / split->tile;
  const int64_t rb = std::min(units, (m + kMostCutRows - 1) / kMostCutRows);
  if (th < kCutRowsThreads || split->rb >= rb) return true;
  const int64_t fewest = (panels + kPanelGroupMost - 1) / kPanelGroupMost, most = std::min(panels, std::max(2 * fewest + 1, th));
  int64_t even = 0, whole = 0;
  for (int64_t groups = fewest; groups <= most && even == 0; ++groups) {
    if (rb * groups % th != 0) continue;
    if (whole == 0) whole = groups;
    if (panels % groups == 0) even = groups;
  }
  if (even == 0 && whole == 0) return true;
  split->rb = rb;
  split->groups = even != 0 ? even : whole;
  return true;
}

void run_half_product(const MatrixProduct& g) {
  if (g.m <= 0 || g.n <= 0) return;
  PanelSplit sp{};
  const int64_t panels = panel_count(g.n);
  const bool parallel = half_product_cut(g.m, panels, g.k, 0, &sp);
  for_rectangles(parallel, sp, g.m, panels,
                 [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) { matrix_product_rectangle(g, m0, m1, p0, p1); });
}

bool half_weight_product(const Node& n, const Operand& a, const Value& b, const Value& out, const float* bias) {
  MatrixProduct g{};
  if (!half_weight_setup(n, a, b, out, bias, &g)) return false;
  run_half_product(g);
  finish(n, out);
  return true;
}

// The product of in[0] and in[1] into out, plus bias (one float per
// column, added to every row) when it is set.
bool eval_product(const Node& n, const Value* const* in, const Value& out, float* workspace, const float* bias) {
  MatrixView ma{}, mb{};
  const Operand a = operand(*in[0], matrix_view(in[0]->storage, in[0]->shape, in[0]->strides, &ma), &workspace);
  if (a.rank >= 2 && a.shape[a.rank - 1] > 0 && half_weight_product(n, a, *in[1], out, bias)) return true;
  const Operand b = operand(*in[1], matrix_view(in[1]->storage, in[1]->shape, in[1]->strides, &mb), &workspace);
  auto view = [](const Operand& o) {
    const int64_t rows = o.shape[o.rank - 2], cols = o.shape[o.rank - 1];
    if (o.strides[o.rank - 1] == 1 && o.strides[o.rank - 2] >= std::max<int64_t>(1, cols))
      return MatrixView{false, o.strides[o.rank - 2]};
    if (o.strides[o.rank - 2] == 1 && o.strides[o.rank - 1] >= std::max<int64_t>(1, rows))
      return MatrixView{true, o.strides[o.rank - 1]};
    return MatrixView{false, std::max<int64_t>(1, cols)};
  };
  ma = view(a);
  mb = view(b);
  const size_t rank = n.shape.size();
  const int64_t m = n.shape[rank - 2], cols = n.shape[rank - 1], k = a.shape[a.rank - 1];
  const size_t nb = rank - 2;
  // Batch strides of each operand along the output's batch axes (0 where it
  // broadcasts).
  int64_t sa[kMaxRank] = {}, sb[kMaxRank] = {};
  const size_t la = nb - (a.rank - 2), lb = nb - (b.rank - 2);
  for (size_t i = 0; i < nb; ++i) {
    if (i >= la && a.shape[i - la] != 1) sa[i] = a.strides[i - la];
    if (i >= lb && b.shape[i - lb] != 1) sb[i] = b.strides[i - lb];
  }
  int64_t batches = 1;
  for (size_t i = 0; i < nb; ++i) batches *= n.shape[i];
  float* c = out_floats(out);
  if (batches == 0 || m == 0 || cols == 0) return true;
  if (k == 0) {
    for (int64_t i = 0; i < batches * m; ++i)
      for (int64_t j = 0; j < cols; ++j) c[i * cols + j] = bias != nullptr ? 0.0f + bias[j] : 0.0f;
    finish(n, out);
    return true;
  }
  // One shared right operand and left rows laid out one batch after
  // another: a single product of every row.
  // (A single row has no row stride: its rows are k apart by definition.)
  const int64_t lda = m == 1 ? k : ma.ld;
  bool b_shared = true, a_rows = !ma.transposed;
  int64_t expect = m * lda;
  for (size_t i = nb; i-- > 0;) {
    if (sb[i] != 0) b_shared = false;
    if (n.shape[i] != 1 && sa[i] != expect) a_rows = false;
    expect *= n.shape[i];
  }
  if (b_shared && a_rows && lda == k) {
    cpu_product(SgemmThreading::kPoolSplit, 0,
                {false, mb.transposed, batches * m, cols, k, 1.0f, a.p, k, b.p, mb.ld, 0.0f, c, cols, nullptr, bias});
    finish(n, out);
    return true;
  }
  auto one = [&](int64_t i, SgemmThreading mode) {
    int64_t oa = 0, ob = 0, r = i;
    for (size_t d = nb; d-- > 0;) {
      const int64_t idx = r % n.shape[d];
      r /= n.shape[d];
      oa += idx * sa[d];
      ob += idx * sb[d];
    }
    cpu_product(mode, 0,
                {ma.transposed, mb.transposed, m, cols, k, 1.0f, a.p + oa, ma.ld, b.p + ob, mb.ld, 0.0f, c + i * m * cols,
                 cols, nullptr, bias});
  };
  const int64_t work = m * cols * k;
  if (batches >= 2 && work < kBatchSpreadWork && batches * work >= kParallelMinWork) {
    parallel_for(size_t(batches), [&](size_t i) { one(int64_t(i), SgemmThreading::kSerial); });
  } else {
    for (int64_t i = 0; i < batches; ++i) one(i, SgemmThreading::kPoolSplit);
  }
  finish(n, out);
  return true;
}

bool eval_matmul(const Node& n, const Value* const* in, size_t, const Value& out, float* workspace, std::string*) {
  return eval_product(n, in, out, workspace, nullptr);
}

// Float storage with unit stride along the last axis and rows at least a row
// apart: what cpu_sgemm reads in place.
bool rows_in_place(DataType storage, const Shape& shape, const std::vector<int64_t>& strides) {
  const size_t r = shape.size();
  return storage == DataType::kFloat32 && strides[r - 1] == 1 && strides[r - 2] >= std::max<int64_t>(1, shape[r - 1]);
}

// Queries of one piece of attention work: a block of rows of one (batch,
// head) pair, whose scores (block x keys floats) stay in a core's cache
// between the two products and the normalisation.
constexpr int64_t kAttentionRows = 128;

// Threads (each with its slot of workspace) that share one attention at
// most.
constexpr int64_t kMostAttentionSlots = 64;

int64_t attention_slots(const Shape& q) {
  const int64_t pieces = q[0] * q[1] * ((q[2] + kAttentionRows - 1) / kAttentionRows);
  return std::min({pieces, int64_t(parallel_thread_count()), kMostAttentionSlots});
}

// Rows of a block rounded up to whole panels: the row length of a block's
// scores stored keys by queries.
int64_t attention_block_width(const Shape& q) { return (std::min(kAttentionRows, q[2]) + 15) / 16 * 16; }

// Workspace floats of one slot: a block's scores, one row of the mask,
// then the block's queries in panels and its result, channels by queries.
int64_t attention_slot_floats(const Shape& q, int64_t keys) {
  const int64_t width = attention_block_width(q);
  return width * keys + keys + 2 * q[3] * width;
}

// Whether every key/value head's keys (transposed) and values are copied
// into panels once, before the blocks of rows of its query heads use them,
// rather than by each block's products: when more than one block reads
// them. Floats of those panels: attention_panel_floats.
bool attention_shares_panels(const Shape& q, int64_t kv_heads) {
  return (q[2] + kAttentionRows - 1) / kAttentionRows * (q[1] / std::max<int64_t>(1, kv_heads)) > 1;
}
int64_t attention_panel_floats(int64_t keys, int64_t d) { return panel_floats(d, keys) + panel_floats(keys, d); }

// Rows of a block multiplied at a time against the shared panels: the
// queries' rows (d values each) stay in the first-level cache while the
// keys' panels pass, and for the values a depth block of the scores' rows.
constexpr int64_t kScoreRowChunk = 64;
constexpr int64_t kValueRowChunk = 24;

// Score rows normalised together. A row's sum runs in column order (its
// bits depend on that order), one dependent add after another; the sums of
// this many rows run side by side so that the adds of one column overlap.
constexpr int64_t kSoftmaxRows = 16;

// The largest value of row[0, n), by the comparison max_element makes
// (x > m ? x : m). (Where the largest value is a zero, its sign may differ
// from max_element's: the row less either zero gives the same
// exponentials. A NaN anywhere makes the row's sum NaN whatever the
// maximum.)
float row_max_portable(const float* row, int64_t n) {
  float top = row[0];
  for (int64_t c = 1; c < n; ++c) top = row[c] > top ? row[c] : top;
  return top;
}

#if defined(__x86_64__)
// The same comparison in 32 lanes (four registers) so that the comparisons
// overlap: vmaxps(x, m) is x > m ? x : m.
[[gnu::target("avx2")]] float row_max_avx2(const float* row, int64_t n) {
  __m256 m0 = _mm256_set1_ps(row[0]), m1 = m0, m2 = m0, m3 = m0;
  int64_t c = 0;
  for (; c + 32 <= n; c += 32) {
    m0 = _mm256_max_ps(_mm256_loadu_ps(row + c), m0);
    m1 = _mm256_max_ps(_mm256_loadu_ps(row + c + 8), m1);
    m2 = _mm256_max_ps(_mm256_loadu_ps(row + c + 16), m2);
    m3 = _mm256_max_ps(_mm256_loadu_ps(row + c + 24), m3);
  }
  m0 = _mm256_max_ps(_mm256_max_ps(m1, m0), _mm256_max_ps(m3, m2));
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, m0);
  float top = row_max_portable(lanes, 8);
  for (; c < n; ++c) top = row[c] > top ? row[c] : top;
  return top;
}
#endif

#if defined(__x86_64__)
// Sixty-four lanes: the largest value is the same whichever way the
// comparisons are grouped (ties of zeros aside, as above).
[[gnu::target("avx512f")]] float row_max_avx512(const float* row, int64_t n) {
  constexpr __mmask16 all = 0xFFFF;
  const __m512 none = _mm512_setzero_ps();
  __m512 m0 = _mm512_set1_ps(row[0]), m1 = m0, m2 = m0, m3 = m0;
  int64_t c = 0;
  for (; c + 64 <= n; c += 64) {
    m0 = _mm512_mask_max_ps(none, all, _mm512_loadu_ps(row + c), m0);
    m1 = _mm512_mask_max_ps(none, all, _mm512_loadu_ps(row + c + 16), m1);
    m2 = _mm512_mask_max_ps(none, all, _mm512_loadu_ps(row + c + 32), m2);
    m3 = _mm512_mask_max_ps(none, all, _mm512_loadu_ps(row + c + 48), m3);
  }
  m0 = _mm512_mask_max_ps(none, all, _mm512_mask_max_ps(none, all, m1, m0), _mm512_mask_max_ps(none, all, m3, m2));
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, m0);
  float top = row_max_portable(lanes, 16);
  for (; c < n; ++c) top = row[c] > top ? row[c] : top;
  return top;
}
#endif

float row_max(const float* row, int64_t n) {
#if defined(__x86_64__)
  if (n >= 64 && cpu_has_avx512f()) return row_max_avx512(row, n);
  if (cpu_has_avx2_fma()) return row_max_avx2(row, n);
#endif
  return row_max_portable(row, n);
}

// sum[i] = row i's values added in column order from +0, for count rows
// of n values stride apart: eight rows at a time, their eight sums in eight
// registers, each add independent of the other seven.
void row_sums_portable(const float* rows, int64_t stride, int64_t count, int64_t n, float* sum) {
  int64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const float* r = rows + i * stride;
    const float *r0 = r, *r1 = r0 + stride, *r2 = r1 + stride, *r3 = r2 + stride, *r4 = r3 + stride,
                *r5 = r4 + stride, *r6 = r5 + stride, *r7 = r6 + stride;
    float a0 = 0, a1 = 0, a2 = 0, a3 = 0, a4 = 0, a5 = 0, a6 = 0, a7 = 0;
    for (int64_t c = 0; c < n; ++c) {
      a0 += r0[c];
      a1 += r1[c];
      a2 += r2[c];
      a3 += r3[c];
      a4 += r4[c];
      a5 += r5[c];
      a6 += r6[c];
      a7 += r7[c];
    }
    const float a[8] = {a0, a1, a2, a3, a4, a5, a6, a7};
    std::memcpy(sum + i, a, sizeof a);
  }
  for (; i < count; ++i) {
    float acc = 0;
    for (int64_t c = 0; c < n; ++c) acc += rows[i * stride + c];
    sum[i] = acc;
  }
}

#if defined(__x86_64__)
// The lanes' partial sums (lane r: row r's columns before c) finished over
// columns [c, n) in order, as the portable loop adds them.
void finish_sums(const float* lanes, const float* rows, int64_t stride, int64_t count, int64_t c, int64_t n,
                 float* sum) {
  for (int64_t i = 0; i < count; ++i) {
    float acc = lanes[i];
    for (int64_t k = c; k < n; ++k) acc += rows[i * stride + k];
    sum[i] = acc;
  }
}

// Sixteen rows at a time, one lane each: a block of sixteen columns is
// transposed so that register j holds column j of the sixteen rows, which
// are then added to the lanes in column order. Each lane's adds are the
// portable loop's, in its order, so the sums keep their bits, at about half
// the instructions of sixteen scalar adds per column.
[[gnu::target("avx512f")]] void row_sums_avx512(const float* rows, int64_t stride, int64_t count, int64_t n,
                                                 float* sum) {
  int64_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const float* r = rows + i * stride;
    __m512 acc = _mm512_setzero_ps();
    int64_t c = 0;
    for (; c + 16 <= n; c += 16) {
      __m512 x[16];
#pragma GCC unroll 16
      for (int j = 0; j < 16; ++j) x[j] = _mm512_loadu_ps(r + j * stride + c);
      transpose16(x);
#pragma GCC unroll 16
      for (int j = 0; j < 16; ++j) acc = _mm512_add_ps(acc, x[j]);
    }
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, acc);
    finish_sums(lanes, r, stride, 16, c, n, sum + i);
  }
  row_sums_portable(rows + i * stride, stride, count - i, n, sum + i);
}

// The same with eight rows to a register: two registers of sixteen rows,
// each block of eight columns transposed per register.
[[gnu::target("avx2")]] void row_sums_avx2(const float* rows, int64_t stride, int64_t count, int64_t n,
                                           float* sum) {
  int64_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const float* r = rows + i * stride;
    __m256 lo = _mm256_setzero_ps(), hi = _mm256_setzero_ps();
    int64_t c = 0;
    for (; c + 8 <= n; c += 8) {
      __m256 x[8];
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) x[j] = _mm256_loadu_ps(r + j * stride + c);
      transpose8(x);
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) lo = _mm256_add_ps(lo, x[j]);
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) x[j] = _mm256_loadu_ps(r + (j + 8) * stride + c);
      transpose8(x);
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) hi = _mm256_add_ps(hi, x[j]);
    }
    alignas(32) float lanes[16];
    _mm256_store_ps(lanes, lo);
    _mm256_store_ps(lanes + 8, hi);
    finish_sums(lanes, r, stride, 16, c, n, sum + i);
  }
  row_sums_portable(rows + i * stride, stride, count - i, n, sum + i);
}
#endif

void row_sums(const float* rows, int64_t stride, int64_t count, int64_t n, float* sum) {
#if defined(__x86_64__)
  if (cpu_has_avx512f()) return row_sums_avx512(rows, stride, count, n, sum);
  if (cpu_has_avx2_fma()) return row_sums_avx2(rows, stride, count, n, sum);
#endif
  row_sums_portable(rows, stride, count, n, sum);
}

#if defined(__x86_64__)
// row[i] = exp(row[i] - top) where top is the row's largest value (as
// row_max finds it), with vec_exp_shifted's bits and fewer of its steps.
// Every difference is at most 0 or a NaN, so the clamp from above changes
// nothing (a NaN is clamped from below first, to the bound). Where the
// whole block's n = round(x / ln 2) is at least -126, 2^n is a normal
// number and p 2^n one rounded multiply, which is what p 2^(n/2) (exact)
// 2^(n - n/2) rounds to; a block with a smaller n takes all of
// vec_exp_shifted's steps: so does every NaN or -inf (clamped to the
// bound, n = -150), which only they pass through.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 exp_at_most_zero_avx2(__m256 x) {
  using namespace vexp;
  const __m256 c = _mm256_max_ps(x, _mm256_set1_ps(kLow));
  const __m256 round = _mm256_set1_ps(kRound);
  const __m256 k = _mm256_sub_ps(_mm256_fmadd_ps(c, _mm256_set1_ps(kLog2e), round), round);
  const __m256i biased = _mm256_add_epi32(_mm256_cvttps_epi32(k), _mm256_set1_epi32(127));
  if (_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_sub_epi32(biased, _mm256_set1_epi32(1)))) != 0)
    return exp_avx2(x);
  return _mm256_mul_ps(exp_reduced_avx2(c, k), _mm256_castsi256_ps(_mm256_slli_epi32(biased, 23)));
}

[[gnu::target("avx2,fma")]] void exp_less_top_avx2(float* row, int64_t n, float top) {
  const __m256 shift = _mm256_set1_ps(-top);
  int64_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(row + i, exp_at_most_zero_avx2(_mm256_add_ps(_mm256_loadu_ps(row + i), shift)));
  vec_exp_shifted(row + i, -top, row + i, size_t(n - i));
}
#endif

void exp_less_top(float* row, int64_t n, float top) {
#if defined(__x86_64__)
  // (The AVX-512 form scales in one instruction already: without the
  // clamp from above alone it measured no faster.)
  if (cpu_has_avx2_fma() && !cpu_has_avx512f()) return exp_less_top_avx2(row, n, top);
#endif
  vec_exp_shifted(row, -top, row, size_t(n));
}

}  // namespace

// Each row less its largest value, exponentiated, then scaled by the
// inverse of the sum; sixteen rows at a time so that the sums of a group
// run side by side.
void normalise_score_rows(float* rows, int64_t stride, int64_t count, int64_t n) {
  for (int64_t i = 0; i < count; i += 16) {
    const int64_t m = std::min<int64_t>(16, count - i);
    float* g = rows + i * stride;
    float sum[16];
    for (int64_t r = 0; r < m; ++r) exp_less_top(g + r * stride, n, row_max(g + r * stride, n));
    row_sums(g, stride, m, n, sum);
    for (int64_t r = 0; r < m; ++r) vec_scalar_mul_add(g + r * stride, 1.0f / sum[r], 0.0f, g + r * stride, size_t(n));
  }
}

namespace {

// The softmax of normalise_score_rows down the columns of a block of
// scores stored keys by queries (t rows of `cols` values, ld apart): each
// column is a row of scores. A column's largest value, its exponentials,
// its sum (in key order, from +0) and its scaling are those of the row:
// the same comparison (x > m ? x : m, from the first key on), the same
// exponential of the same difference, the same adds in the same order and
// the same rounded multiply, so the bits are the same; what changes is
// that a register holds one value of many queries, so the sums need no
// transposes and their adds no longer wait on one another.
void normalise_score_columns_portable(float* s, int64_t ld, int64_t t, int64_t cols) {
  for (int64_t c = 0; c < cols; ++c) {
    float top = s[c];
    for (int64_t j = 1; j < t; ++j) top = s[j * ld + c] > top ? s[j * ld + c] : top;
    float sum = 0.0f;
    for (int64_t j = 0; j < t; ++j) {
      const float e = vexp::exp_scalar(s[j * ld + c] + -top);
      s[j * ld + c] = e;
      sum += e;
    }
    const float inv = 1.0f / sum;
    for (int64_t j = 0; j < t; ++j) s[j * ld + c] = s[j * ld + c] * inv + 0.0f;
  }
}

#if defined(__x86_64__)
// NB registers of sixteen columns side by side, sweeping the keys in
// order: three passes (largest values, exponentials and sums, scaling).
template <int NB>
[[gnu::target("avx512f")]] void score_columns_avx512(float* s, int64_t ld, int64_t t) {
  constexpr __mmask16 all = 0xFFFF;
  const __m512 none = _mm512_setzero_ps();
  __m512 m[NB], acc[NB];
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) m[b] = _mm512_loadu_ps(s + 16 * b);
  for (int64_t j = 1; j < t; ++j)
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) m[b] = _mm512_mask_max_ps(none, all, _mm512_loadu_ps(s + j * ld + 16 * b), m[b]);
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) {
    m[b] = _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(m[b]), _mm512_set1_epi32(INT32_MIN)));
    acc[b] = none;
  }
  for (int64_t j = 0; j < t; ++j)
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) {
      float* at = s + j * ld + 16 * b;
      const __m512 e = vexp::exp_avx512(_mm512_add_ps(_mm512_loadu_ps(at), m[b]));
      _mm512_storeu_ps(at, e);
      acc[b] = _mm512_add_ps(acc[b], e);
    }
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) acc[b] = _mm512_div_ps(_mm512_set1_ps(1.0f), acc[b]);
  for (int64_t j = 0; j < t; ++j)
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) {
      float* at = s + j * ld + 16 * b;
      _mm512_storeu_ps(at, _mm512_add_ps(_mm512_maskz_mul_ps(all, _mm512_loadu_ps(at), acc[b]), none));
    }
}

// The same eight columns to a register, with the AVX2 form's exponential
// (as exp_less_top_avx2); the product and the add rounded apart, as
// vec_scalar_mul_add does.
template <int NB>
[[gnu::target("avx2,fma")]] void score_columns_avx2(float* s, int64_t ld, int64_t t) {
  __m256 m[NB], acc[NB];
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) m[b] = _mm256_loadu_ps(s + 8 * b);
  for (int64_t j = 1; j < t; ++j)
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) m[b] = _mm256_max_ps(_mm256_loadu_ps(s + j * ld + 8 * b), m[b]);
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) {
    m[b] = _mm256_xor_ps(m[b], _mm256_set1_ps(-0.0f));
    acc[b] = _mm256_setzero_ps();
  }
  for (int64_t j = 0; j < t; ++j)
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) {
      float* at = s + j * ld + 8 * b;
      const __m256 e = exp_at_most_zero_avx2(_mm256_add_ps(_mm256_loadu_ps(at), m[b]));
      _mm256_storeu_ps(at, e);
      acc[b] = _mm256_add_ps(acc[b], e);
    }
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) acc[b] = _mm256_div_ps(_mm256_set1_ps(1.0f), acc[b]);
  for (int64_t j = 0; j < t; ++j)
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) {
      float* at = s + j * ld + 8 * b;
      _mm256_storeu_ps(at, _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(at), acc[b]), _mm256_setzero_ps()));
    }
}

template <int... NB>
constexpr void (*kColumnsAvx512[])(float*, int64_t, int64_t) = {&score_columns_avx512<NB>...};
template <int... NB>
constexpr void (*kColumnsAvx2[])(float*, int64_t, int64_t) = {&score_columns_avx2<NB>...};
#endif

// Columns [0, cols) of the block; the vector forms also normalise the
// columns up to the next multiple of 16, which must be within ld and hold
// finite values that nothing reads.
void normalise_score_columns(float* s, int64_t ld, int64_t t, int64_t cols) {
#if defined(__x86_64__)
  if (cpu_has_avx512f()) {
    for (int64_t c = 0; c < cols; c += 128)
      kColumnsAvx512<1, 2, 3, 4, 5, 6, 7, 8>[std::min<int64_t>(8, (cols - c + 15) / 16) - 1](s + c, ld, t);
    return;
  }
  if (cpu_has_avx2_fma()) {
    for (int64_t c = 0; c < cols; c += 64)
      kColumnsAvx2<1, 2, 3, 4, 5, 6, 7, 8>[std::min<int64_t>(8, (cols - c + 7) / 8) - 1](s + c, ld, t);
    return;
  }
#endif
  normalise_score_columns_portable(s, ld, t, cols);
}

// dst[c * ldd + r] = src[r * lds + c] for r < rows, c < cols: eight by eight
// in registers where the form has them.
void transpose_block(const float* src, int64_t lds, int64_t rows, int64_t cols, float* dst, int64_t ldd);

#if defined(__x86_64__)
// Sixteen rows at a time where they are, so that each row written gets a
// whole line.
[[gnu::target("avx2")]] void transpose_block_avx2(const float* src, int64_t lds, int64_t rows, int64_t cols,
                                                  float* dst, int64_t ldd) {
  int64_t r0 = 0;
  for (; r0 + 16 <= rows; r0 += 16) {
    int64_t c0 = 0;
    for (; c0 + 8 <= cols; c0 += 8) {
      __m256 x[8], y[8];
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) x[i] = _mm256_loadu_ps(src + (r0 + i) * lds + c0);
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) y[i] = _mm256_loadu_ps(src + (r0 + 8 + i) * lds + c0);
      transpose8(x);
      transpose8(y);
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) {
        _mm256_storeu_ps(dst + (c0 + i) * ldd + r0, x[i]);
        _mm256_storeu_ps(dst + (c0 + i) * ldd + r0 + 8, y[i]);
      }
    }
    for (; c0 < cols; ++c0)
      for (int64_t r = r0; r < r0 + 16; ++r) dst[c0 * ldd + r] = src[r * lds + c0];
  }
  for (; r0 + 8 <= rows; r0 += 8) {
    int64_t c0 = 0;
    for (; c0 + 8 <= cols; c0 += 8) {
      __m256 x[8];
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) x[i] = _mm256_loadu_ps(src + (r0 + i) * lds + c0);
      transpose8(x);
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) _mm256_storeu_ps(dst + (c0 + i) * ldd + r0, x[i]);
    }
    for (; c0 < cols; ++c0)
      for (int64_t r = r0; r < r0 + 8; ++r) dst[c0 * ldd + r] = src[r * lds + c0];
  }
  for (int64_t r = r0; r < rows; ++r)
    for (int64_t c = 0; c < cols; ++c) dst[c * ldd + r] = src[r * lds + c];
}
#endif

void transpose_block(const float* src, int64_t lds, int64_t rows, int64_t cols, float* dst, int64_t ldd) {
#if defined(__x86_64__)
  if (cpu_has_avx2_fma()) return transpose_block_avx2(src, lds, rows, cols, dst, ldd);
#endif
  for (int64_t r = 0; r < rows; ++r)
    for (int64_t c = 0; c < cols; ++c) dst[c * ldd + r] = src[r * lds + c];
}

// softmax(q k^T scale + mask) v for every (batch, head) pair, in blocks of
// query rows: each thread of the pool takes the next block until none is
// left, into its own scores. Rows are independent and a product's sums do
// not depend on how its rows are cut, so the values never depend on the
// blocks or on which thread runs them.
bool eval_attention(const Node& n, const Value* const* in, size_t count, const Value& out, float* workspace,
                    std::string*) {
  const Operand q = operand(*in[0], rows_in_place(in[0]->storage, in[0]->shape, in[0]->strides), &workspace);
  const Operand k = operand(*in[1], rows_in_place(in[1]->storage, in[1]->shape, in[1]->strides), &workspace);
  const Operand v = operand(*in[2], rows_in_place(in[2]->storage, in[2]->shape, in[2]->strides), &workspace);
  const Value* mask = count > 3 ? in[3] : nullptr;
  const int64_t batch = q.shape[0], heads = q.shape[1], s = q.shape[2], d = q.shape[3];
  const int64_t kv_heads = k.shape[1], t = k.shape[2];
  // The result's rows are d floats of unit stride, laid out by its strides
  // (dense, or tokens before heads when the plan has it written there).
  float* o = out_floats(out);
  const int64_t os0 = out.strides[0], os1 = out.strides[1], os2 = out.strides[2];
  const int64_t pairs = batch * heads;
  if (pairs == 0 || s == 0 || d == 0) return true;
  if (t == 0) {
    for (int64_t p = 0; p < pairs; ++p)
      for (int64_t r = 0; r < s; ++r) std::fill_n(o + (p / heads) * os0 + (p % heads) * os1 + r * os2, d, 0.0f);
    finish(n, out);
    return true;
  }
  int64_t ms[4] = {0, 0, 0, 0};
  if (mask != nullptr) {
    const size_t lead = 4 - mask->shape.size();
    for (size_t i = 0; i < mask->shape.size(); ++i)
      if (mask->shape[i] != 1) ms[lead + i] = mask->strides[i];
  }
  // A float mask row of unit stride is added where it lies.
  const bool mask_in_place = mask != nullptr && mask->storage == DataType::kFloat32 && ms[3] == 1;
  const Shape qs{batch, heads, s, d};
  const int64_t slots = attention_slots(qs), per_slot = attention_slot_floats(qs, t);
  const int64_t blocks = (s + kAttentionRows - 1) / kAttentionRows, pieces = pairs * blocks;
  const int64_t group = heads / kv_heads;
  // Mask rows that every head shares and that hold only zeros are not
  // added: adding a zero changes at most the sign of a zero score, and a
  // zero of either sign less the row's maximum, and its exponential, are
  // the same. Found once for all heads (a vision view's mask is all zeros).
  float* zero_rows = workspace + slots * per_slot;  // batch x s flags
  // Every key/value head's panels, after the flags: keys transposed (d
  // rows of t columns), then values (t rows of d columns).
  const bool skip_zero_rows = mask_in_place && ms[1] == 0;
  if (skip_zero_rows) {
    for_rows(batch * s, t, [&](int64_t i) {
      const float* m = reinterpret_cast<const float*>(at(*mask, (i / s) * ms[0] + (i % s) * ms[2]));
      uint32_t bits = 0;  // of every value but the signs: vectorises, unlike a float compare chain
      for (int64_t c = 0; c < t; ++c) bits |= std::bit_cast<uint32_t>(m[c]) & 0x7fffffffu;
      zero_rows[i] = bits == 0 ? 1.0f : 0.0f;
    });
  }
  const bool shared = attention_shares_panels(qs, kv_heads);
  const int64_t head_panels = attention_panel_floats(t, d);
  float* kv_panels = zero_rows + batch * s;
  // With no mask to add (none, or rows of zeros only) the blocks' scores
  // are computed keys by queries: k q^T rather than q k^T, each score the
  // same dot product in the same order, and the values' product v^T p^T
  // rather than p v, each output the same sum. The softmax then runs down
  // the columns (normalise_score_columns), and the values are kept
  // transposed (channels by keys), so both products read their operands
  // as rows.
  bool transposed = shared && (mask == nullptr || skip_zero_rows);
  for (int64_t i = 0; transposed && mask != nullptr && i < batch * s; ++i) transposed = zero_rows[i] != 0.0f;
  if (shared && transposed) {
    // Only the values to transpose (the keys are read as rows, where they
    // are), in blocks of keys: twelve heads of 1,024 keys are 96 parts, an
    // even share for every thread, where a part per head left four of eight
    // threads idle for a second round. Lanes of consecutive parts still give
    // each thread the heads its slot's pieces read first.
    const int64_t key_blocks = (t + kAttentionRows - 1) / kAttentionRows;
    auto pack = [&](size_t i) {
      const int64_t head = int64_t(i) / key_blocks, j0 = int64_t(i) % key_blocks * kAttentionRows;
      const int64_t b = head / kv_heads, kh = head % kv_heads;
      const float* vp = v.p + b * v.strides[0] + kh * v.strides[1] + j0 * v.strides[2];
      transpose_block(vp, v.strides[2], std::min(kAttentionRows, t - j0), d,
                      kv_panels + head * head_panels + panel_floats(d, t) + j0, t);
    };
    const size_t parts = size_t(batch * kv_heads * key_blocks);
    if (slots > 1 && parts > 1)
      parallel_for(parts, pack);
    else
      for (size_t i = 0; i < parts; ++i) pack(i);
  } else if (shared) {
    // Keys and values apart: twice the pieces, so that twelve heads fill
    // three rounds of eight threads rather than two rounds with four idle.
    auto pack = [&](size_t i) {
      const int64_t head = int64_t(i / 2), b = head / kv_heads, kh = head % kv_heads;
      float* dst = kv_panels + head * head_panels;
      if (i % 2 == 0) {
        const float* kp = k.p + b * k.strides[0] + kh * k.strides[1];
        gather_panels({false, true, 0, t, d, 1.0f, nullptr, 0, kp, k.strides[2], 0.0f, nullptr, 0}, dst);
      } else {
        const float* vp = v.p + b * v.strides[0] + kh * v.strides[1];
        gather_panels({false, false, 0, d, t, 1.0f, nullptr, 0, vp, v.strides[2], 0.0f, nullptr, 0},
                      dst + panel_floats(d, t));
      }
    };
    const size_t parts = size_t(2 * batch * kv_heads);
    if (slots > 1 && batch * kv_heads > 1)
      parallel_for(parts, pack);
    else
      for (size_t i = 0; i < parts; ++i) pack(i);
  }
  // Rows [r0, r0 + rows) of pair p, with scores in the slot's workspace.
  auto piece = [&](int64_t p, int64_t r0, int64_t rows, float* scores) {
    const int64_t b = p / heads, h = p % heads, kh = h / group;
    float* mrow = scores + rows * t;
    const float* qp = q.p + b * q.strides[0] + h * q.strides[1] + r0 * q.strides[2];
    const float* kp = k.p + b * k.strides[0] + kh * k.strides[1];
    const float* vp = v.p + b * v.strides[0] + kh * v.strides[1];
    // (A single row keeps its own products: the scores of one row sum as
    // dot products there.)
    const bool panels = shared && rows > 1;
    const float* kv = kv_panels + (b * kv_heads + kh) * head_panels;
    float* op = o + b * os0 + h * os1 + r0 * os2;
    if (panels && transposed) {
      const int64_t width = (rows + 15) / 16 * 16, most = attention_block_width(qs);
      float* qt = scores + most * t + t;
      float* ot = qt + d * most;
      gather_panels({false, true, 0, rows, d, 1.0f, nullptr, 0, qp, q.strides[2], 0.0f, nullptr, 0}, qt);
      // The padding columns hold zeros, which nothing stored reads.
      if (width != rows)
        for (int64_t j = 0; j < t; ++j) std::fill(scores + j * width + rows, scores + (j + 1) * width, 0.0f);
      for (int64_t i = 0; i < t; i += kScoreRowChunk)
        panel_gemm(kp, k.strides[2], gathered_panels(qt, d), d, rows, scores, width, i,
                   std::min(t, i + kScoreRowChunk), 0, panel_count(rows), n.real);
      normalise_score_columns(scores, width, t, rows);
      panel_gemm(kv + panel_floats(d, t), t, PanelOperand{scores, width, kPanelWidth}, t, rows, ot, width, 0, d, 0,
                 panel_count(rows));
      transpose_block(ot, width, d, rows, op, os2);
      return;
    }
    if (panels) {
      for (int64_t i = 0; i < rows; i += kScoreRowChunk)
        panel_gemm(qp, q.strides[2], gathered_panels(kv, d), d, t, scores, t, i, std::min(rows, i + kScoreRowChunk),
                   0, panel_count(t), n.real);
    } else {
      cpu_sgemm(false, true, rows, t, d, n.real, qp, q.strides[2], kp, k.strides[2], 0.0f, scores, t);
    }
    for (int64_t i0 = 0; i0 < rows; i0 += kSoftmaxRows) {
      const int64_t group_rows = std::min(kSoftmaxRows, rows - i0);
      for (int64_t i = i0; i < i0 + group_rows; ++i) {
        float* row = scores + i * t;
        const int64_t r = r0 + i;
        if (mask != nullptr && !(skip_zero_rows && zero_rows[b * s + r] != 0.0f)) {
          const int64_t first = b * ms[0] + h * ms[1] + r * ms[2];
          if (mask_in_place) {
            vec_add(row, reinterpret_cast<const float*>(at(*mask, first)), row, size_t(t));
          } else {
            read_part(*mask, first, ms[3], t, mrow);
            vec_add(row, mrow, row, size_t(t));
          }
        }
      }
      normalise_score_rows(scores + i0 * t, t, group_rows, t);
    }
    if (panels) {
      for (int64_t i = 0; i < rows; i += kValueRowChunk)
        panel_gemm(scores, t, gathered_panels(kv + panel_floats(d, t), t), t, d, op, os2, i,
                   std::min(rows, i + kValueRowChunk), 0, panel_count(d));
    } else {
      cpu_sgemm(false, false, rows, d, t, 1.0f, scores, t, vp, v.strides[2], 0.0f, op, os2);
    }
  };
  // Each slot owns a run of consecutive pieces, so a thread's pieces share
  // one or two heads' panels, which the pool's lanes (consecutive parts to
  // each thread, in the same order) have it pack itself; it then takes what
  // is left of the other runs. (Handing the pieces out in one sequence
  // had every thread read every head's panels from the shared cache.)
  struct alignas(64) Run {
    std::atomic<int64_t> next;
    int64_t end;
  };
  Run runs[kMostAttentionSlots];
  for (int64_t i = 0; i < slots; ++i) {
    runs[i].next.store(i * pieces / slots, std::memory_order_relaxed);
    runs[i].end = (i + 1) * pieces / slots;
  }
  auto slot = [&](size_t index) {
    float* scores = workspace + int64_t(index) * per_slot;
    for (int64_t j = 0; j < slots; ++j) {
      Run& run = runs[(int64_t(index) + j) % slots];
      for (int64_t i = run.next.fetch_add(1, std::memory_order_relaxed); i < run.end;
           i = run.next.fetch_add(1, std::memory_order_relaxed)) {
        const int64_t r0 = (i % blocks) * kAttentionRows;
        piece(i / blocks, r0, std::min(kAttentionRows, s - r0), scores);
      }
    }
  };
  if (slots == 1) {
    slot(0);
  } else {
    parallel_for(size_t(slots), slot);
  }
  finish(n, out);
  return true;
}

bool eval_none(const Node& n, const Value* const*, size_t, const Value&, float*, std::string* error) {
  *error = std::string("graph run: ") + operation_name(n.op) + " evaluated without its data";
  return false;
}

using Evaluator = bool (*)(const Node&, const Value* const*, size_t, const Value&, float*, std::string*);
struct EvaluatorRow {
  Operation op;
  Evaluator fn;
};
// View operations (reshape, transposes, slices, broadcasts, casts that keep
// the values) are evaluated only when the plan cannot view their input:
// then as a dense copy.
constexpr EvaluatorRow kEvaluators[] = {
    {Operation::kPlaceholder, eval_none},
    {Operation::kCast, eval_copy},
    {Operation::kReshape, eval_copy},
    {Operation::kTranspose, eval_copy},
    {Operation::kSlice, eval_copy},
    {Operation::kMatrixMultiplication, eval_matmul},
    {Operation::kAddition, eval_addition},
    {Operation::kScaledDotProductAttention, eval_attention},
    {Operation::kConstant, eval_none},
    {Operation::kUnary, eval_unary},
    {Operation::kBinary, eval_binary},
    {Operation::kSelect, eval_select},
    {Operation::kClamp, eval_clamp},
    {Operation::kSoftMax, eval_softmax},
    {Operation::kReduction, eval_reduction},
    {Operation::kArgMaximum, eval_argmax},
    {Operation::kTopKValues, eval_topk},
    {Operation::kTopKIndices, eval_topk},
    {Operation::kHostOperation, eval_host_operation},
    {Operation::kResize, eval_resize},
    {Operation::kGather, eval_gather},
    {Operation::kScatterND, eval_scatter_nd},
    {Operation::kConcat, eval_concat},
    {Operation::kBroadcast, eval_copy},
    {Operation::kPermute, eval_copy},
};
constexpr size_t kOperationCount = 0
#define VORN_GRAPH_OP(code, name, inputs) +1
#include "platform/graph_layer_ops.inc"
#undef VORN_GRAPH_OP
    ;
static_assert(std::size(kEvaluators) == kOperationCount, "every graph operation needs an evaluator");

constexpr bool evaluators_in_order() {
  for (size_t i = 0; i < std::size(kEvaluators); ++i)
    if (size_t(kEvaluators[i].op) != i) return false;
  return true;
}
static_assert(evaluators_in_order(), "evaluators follow the operation table's order");

}  // namespace

int64_t element_count(const Shape& shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

bool is_dense_f32(const Value& v) { return v.storage == DataType::kFloat32 && strides_dense(v.shape, v.strides); }

bool layout_dense_f32(const Layout& l) { return l.storage == DataType::kFloat32 && strides_dense(l.shape, l.strides); }

void read_part(const Value& v, int64_t first, int64_t step, int64_t n, float* out) {
  const uint8_t* p = at(v, first);
  if (v.storage == DataType::kFloat16) {
    const auto* h = reinterpret_cast<const uint16_t*>(p);
    if (step == 1) {
      half_to_float_n(h, out, size_t(n));
    } else {
      for (int64_t i = 0; i < n; ++i) out[i] = half_to_float(h[i * step]);
    }
  } else {
    const auto* f = reinterpret_cast<const float*>(p);
    if (step == 1) {
      std::memmove(out, f, size_t(n) * 4);
    } else {
      for (int64_t i = 0; i < n; ++i) out[i] = f[i * step];
    }
  }
}

void finish(const Node& n, const Value& out) {
  if (n.type != DataType::kFloat16) return;
  float* p = out_floats(out);
  const int64_t count = element_count(out.shape);
  for_rows((count + kChunk - 1) / kChunk, kChunk, [&](int64_t r) {
    uint16_t h[kChunk];
    const int64_t i = r * kChunk;
    const size_t m = size_t(std::min(kChunk, count - i));
    float_to_half_n(p + i, h, m);
    half_to_float_n(h, p + i, m);
  });
}

int64_t strided_offset(const Shape& shape, const std::vector<int64_t>& strides, int64_t i) {
  int64_t off = 0;
  for (size_t d = shape.size(); d-- > 0;) {
    off += (i % shape[d]) * strides[d];
    i /= shape[d];
  }
  return off;
}

std::vector<int64_t> broadcast_strides(const Value& v, const Shape& to) {
  std::vector<int64_t> s(to.size(), 0);
  const size_t lead = to.size() - v.shape.size();
  for (size_t i = 0; i < v.shape.size(); ++i)
    if (v.shape[i] != 1) s[lead + i] = v.strides[i];
  return s;
}

void copy_dense(const Value& v, float* dst) {
  if (v.shape.empty()) {
    read_part(v, 0, 1, 1, dst);
    return;
  }
  const int64_t count = element_count(v.shape);
  if (count == 0) return;
  if (is_dense_f32(v)) {
    const auto* src = reinterpret_cast<const float*>(v.base);
    for_rows((count + 65535) / 65536, 65536, [&](int64_t r) {
      const int64_t i = r * 65536;
      std::memcpy(dst + i, src + i, size_t(std::min<int64_t>(65536, count - i)) * 4);
    });
    return;
  }
  const int64_t len = row_length(v);
  for_rows(row_count(v), len, [&](int64_t r) { read_part(v, row_offset(v, r), inner_stride(v), len, dst + r * len); });
}

bool evaluate(const Node& node, const Value* const* inputs, size_t count, const Value& out, float* workspace,
              std::string* error) {
  return kEvaluators[size_t(node.op)].fn(node, inputs, count, out, workspace, error);
}

int64_t workspace_floats(const Node& n, const std::vector<const Layout*>& in) {
  switch (n.op) {
    case Operation::kMatrixMultiplication: {
      MatrixView m{};
      int64_t w = 0;
      for (const Layout* l : in)
        if (!matrix_view(l->storage, l->shape, l->strides, &m)) w += element_count(l->shape);
      return w;
    }
    case Operation::kScaledDotProductAttention: {
      int64_t w = 0;
      for (size_t i = 0; i < 3; ++i)
        if (!rows_in_place(in[i]->storage, in[i]->shape, in[i]->strides)) w += element_count(in[i]->shape);
      const Shape& q = in[0]->shape;
      const int64_t t = in[1]->shape[2], kv_heads = in[1]->shape[1];
      if (attention_shares_panels(q, kv_heads)) w += q[0] * kv_heads * attention_panel_floats(t, q[3]);
      return w + attention_slots(q) * attention_slot_floats(q, t) + q[0] * q[2];
    }
    case Operation::kTopKValues:
    case Operation::kTopKIndices: return topk_workspace(n);
    case Operation::kHostOperation: return host_operation_workspace(n, in);
    case Operation::kResize: return resize_workspace(n, in);
    case Operation::kReduction: return reduction_workspace(n, in);
    default: return 0;
  }
}

void evaluate_product_bias(const Node& product, const Value* const* inputs, const Value& bias, const Value& out,
                           float* workspace) {
  const int64_t cols = product.shape.back();
  read_part(bias, 0, bias.strides.back(), cols, workspace);
  eval_product(product, inputs, out, workspace + cols, workspace);
}

int64_t product_bias_workspace(const Node& product, const std::vector<const Layout*>& inputs) {
  return workspace_floats(product, inputs) + product.shape.back();
}

bool evaluate_joined_products(const JoinedProduct* parts, size_t count, float* workspace, int64_t threads) {
  constexpr size_t kMost = kMostJoinedProducts;
  if (count == 0 || count > kMost) return false;
  const Value& left = *parts[0].inputs[0];
  float* biases = workspace;
  for (size_t i = 0; i < count; ++i)
    if (parts[i].bias != nullptr) workspace += parts[i].product->shape.back();
  MatrixView ma{};
  const Operand a = operand(left, matrix_view(left.storage, left.shape, left.strides, &ma), &workspace);
  if (a.rank < 2 || a.shape[a.rank - 1] <= 0) return false;
  // Every part must take the product of halves, so that each sums as it
  // would alone; then nothing is done until all are known to.
  MatrixProduct g[kMost];
  int64_t first_panel[kMost + 1] = {0};
  float* bias = biases;
  for (size_t i = 0; i < count; ++i) {
    const JoinedProduct& p = parts[i];
    if (p.inputs[0] != &left) return false;
    const float* b = nullptr;
    if (p.bias != nullptr) {
      const int64_t cols = p.product->shape.back();
      read_part(*p.bias, 0, p.bias->strides.back(), cols, bias);
      b = bias;
      bias += cols;
    }
    if (!half_weight_setup(*p.product, a, *p.inputs[1], *p.out, b, &g[i]) || g[i].m != g[0].m || g[i].n <= 0)
      return false;
    first_panel[i + 1] = first_panel[i] + panel_count(g[i].n);
  }
  // Run together, no part may write what another reads: each output's
  // bytes apart from the left rows and every weight.
  auto bytes = [](const void* p, int64_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::pair<const uint8_t*, const uint8_t*>{b, b + n};
  };
  auto overlap = [](std::pair<const uint8_t*, const uint8_t*> x, std::pair<const uint8_t*, const uint8_t*> y) {
    return x.first < y.second && y.first < x.second;
  };
  for (size_t i = 0; i < count; ++i) {
    const auto out = bytes(g[i].c, g[i].m * g[i].ldc * 4);
    if (overlap(out, bytes(g[0].a, g[0].m * g[0].lda * 4))) return false;
    for (size_t j = 0; j < count; ++j)
      if (overlap(out, bytes(g[j].b_half, (g[j].trans_b ? g[j].n : g[j].k) * g[j].ldb * 2))) return false;
  }
  // One cut of the panels of all the parts side by side: a rectangle that
  // spans two parts computes its share of each. Every element sums in the
  // order its depth alone fixes, so the cut changes no bit.
  const int64_t m = g[0].m, panels = first_panel[count];
  PanelSplit sp{};
  const bool parallel = half_product_cut(m, panels, g[0].k, threads, &sp);
  for_rectangles(parallel, sp, m, panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
    for (size_t i = 0; i < count; ++i) {
      const int64_t q0 = std::max(p0, first_panel[i]), q1 = std::min(p1, first_panel[i + 1]);
      if (q0 < q1) matrix_product_rectangle(g[i], m0, m1, q0 - first_panel[i], q1 - first_panel[i]);
    }
  });
  for (size_t i = 0; i < count; ++i) finish(*parts[i].product, *parts[i].out);
  return true;
}

void store_value(const Value& v, uint8_t* dst, DataType t) {
  if (v.shape.empty()) {
    float x;
    read_part(v, 0, 1, 1, &x);
    store_rows(&x, 1, 1, 1, dst, 4, t);
    return;
  }
  const int64_t len = row_length(v);
  const uint64_t elem = data_type_size(t);
  for_rows(row_count(v), len, [&](int64_t r) {
    const int64_t first = row_offset(v, r), step = inner_stride(v);
    float tmp[kChunk];
    for (int64_t c = 0; c < len; c += kChunk) {
      const int64_t m = std::min(kChunk, len - c);
      read_part(v, first + c * step, step, m, tmp);
      store_rows(tmp, uint64_t(m), 1, uint64_t(m), dst + uint64_t(r * len + c) * elem, uint64_t(m) * elem, t);
    }
  });
}

}  // namespace vorn::mpsg
