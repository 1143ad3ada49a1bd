// Gemm and MatMul on sgemm. MatMul broadcasts its leading (batch) dims the
// numpy way, with a stride per operand, so a shared weight is read in place.
#include <algorithm>
#include <cstring>

#include "container/attr_words.h"
#include "kernels/ops/spatial_common.h"
#include "kernels/int8_paths.h"
#include "kernels/quant_operands.h"
#include "platform/blas.h"
#include "platform/panel_gemm.h"
#include "platform/parallel.h"

VORN_VECTORIZE_FILE

namespace vorn {

namespace {

using kern::fail;

// ---------------------------------------------------------------- Gemm

struct GemmShape {
  int64_t m, n, k;
  bool ta, tb;
  // Addend: element strides along rows and columns (0 broadcasts).
  bool has_z;
  int64_t z_row, z_col;
};

bool gemm_shape(const CpuState& s, const NodeRecord& n, GemmShape* g, char* msg, size_t cap) {
  if (!kern::has_io(s, n) || !kern::has_input(s, n, 1)) return fail(msg, cap, "needs A, B and output");
  const ValueRecord& a = node_in_value(s, n, 0);
  const ValueRecord& b = node_in_value(s, n, 1);
  const ValueRecord& y = node_out_value(s, n, 0);
  if (a.rank() != 2 || y.rank() != 2) return fail(msg, cap, "A and the output must be matrices");
  GemmShape q{};
  q.ta = n.attr(attr::Gemm::kTransA) != 0;
  q.tb = n.attr(attr::Gemm::kTransB) != 0;
  q.m = static_cast<int64_t>(y.dim(0));
  q.n = static_cast<int64_t>(y.dim(1));
  q.k = static_cast<int64_t>(q.ta ? a.dim(0) : a.dim(1));
  const int64_t am = static_cast<int64_t>(q.ta ? a.dim(1) : a.dim(0));
  if (kern::value_count(y) < 0 || kern::value_count(a) < 0 || kern::value_count(b) < 0)
    return fail(msg, cap, "operands too large");
  if (am != q.m) return fail(msg, cap, "A has %lld rows, output %lld", (long long)am, (long long)q.m);
  if (b.rank() == 2) {
    const int64_t bk = static_cast<int64_t>(q.tb ? b.dim(1) : b.dim(0));
    const int64_t bn = static_cast<int64_t>(q.tb ? b.dim(0) : b.dim(1));
    if (bk != q.k || bn != q.n) return fail(msg, cap, "B is not K x N");
  } else if (static_cast<int64_t>(b.count()) != q.k * q.n) {
    return fail(msg, cap, "B holds %llu values, expected K x N", (unsigned long long)b.count());
  }
  q.has_z = kern::has_input(s, n, 2);
  if (q.has_z) {
    const ValueRecord& z = node_in_value(s, n, 2);
    // Right-align the addend's dims on [M, N].
    int64_t zm = 1, zn = 1;
    if (z.rank() > 2) {
      for (uint64_t i = 0; i + 2 < z.rank(); ++i)
        if (z.dim(i) != 1) return fail(msg, cap, "addend does not broadcast to M x N");
    }
    if (z.rank() >= 1) zn = static_cast<int64_t>(z.dim(z.rank() - 1));
    if (z.rank() >= 2) zm = static_cast<int64_t>(z.dim(z.rank() - 2));
    if (static_cast<int64_t>(z.count()) != zm * zn || (zm != 1 && zm != q.m) || (zn != 1 && zn != q.n))
      return fail(msg, cap, "addend does not broadcast to M x N");
    q.z_col = zn == 1 ? 0 : 1;
    q.z_row = zm == 1 ? 0 : zn;
  }
  *g = q;
  return true;
}

}  // namespace

bool gemm_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  GemmShape g{};
  if (!gemm_shape(s, n, &g, msg, cap)) return false;
  plan.set(g);
  return true;
}

bool gemm_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const GemmShape& g = plan.get<GemmShape>();
  float* y = node_out(s, n, 0);
  if (g.m == 0 || g.n == 0) return true;
  float beta = 0.0f;
  if (g.has_z) {
    beta = n.attr_f32(attr::Gemm::kBeta);
    const float* z = node_in(s, n, 2);
    for (int64_t i = 0; i < g.m; ++i) {
      float* row = y + i * g.n;
      const float* zr = z + i * g.z_row;
      if (g.z_col == 0) {
        std::fill(row, row + g.n, zr[0]);
      } else {
        std::memcpy(row, zr, static_cast<size_t>(g.n) * 4);
      }
    }
  }
  if (g.k == 0) {
    for (int64_t i = 0; i < g.m * g.n; ++i) y[i] = g.has_z ? y[i] * beta : 0.0f;
    return true;
  }
  cpu_gemm(s, g.ta, g.tb, g.m, g.n, g.k, n.attr_f32(attr::Gemm::kAlpha), node_in(s, n, 0), g.ta ? g.m : g.k,
           node_in(s, n, 1), g.tb ? g.k : g.n, beta, y, g.n);
  return true;
}

namespace {

// -------------------------------------------------------------- MatMul

constexpr int kMaxBatchDims = 4;

struct MatMulShape {
  int64_t m, n, k;
  int64_t batch;  // output matrices
  // Axis-2 layout: A [d0, d1, d2, d3], Y [d0, d1, d2, N], B d2 matrices.
  bool axis2;
  int64_t d0, d1, d2;
  // Broadcast batch dims of the output, and each operand's matrix stride
  // (in matrices) along them; 0 where the operand broadcasts.
  int nb;
  int64_t out_dims[kMaxBatchDims];
  int64_t a_stride[kMaxBatchDims], b_stride[kMaxBatchDims];
  bool b_shared;  // one B matrix for every output matrix
};

bool matmul_shape(const CpuState& s, const NodeRecord& n, MatMulShape* out, char* msg, size_t cap) {
  if (!kern::has_io(s, n) || !kern::has_input(s, n, 1)) return fail(msg, cap, "needs A, B and output");
  const ValueRecord& a = node_in_value(s, n, 0);
  const ValueRecord& b = node_in_value(s, n, 1);
  const ValueRecord& y = node_out_value(s, n, 0);
  const int ra = static_cast<int>(a.rank()), rb = static_cast<int>(b.rank());
  if (ra < 1 || rb < 1 || ra > 6 || rb > 6) return fail(msg, cap, "operand ranks must be 1 to 6");
  if (kern::value_count(y) < 0 || kern::value_count(a) < 0 || kern::value_count(b) < 0)
    return fail(msg, cap, "operands too large");
  MatMulShape q{};
  if (n.attr(attr::MatMul::kAxis2Batch) == 1 && ra == 4) {
    q.axis2 = true;
    q.d0 = static_cast<int64_t>(a.dim(0));
    q.d1 = static_cast<int64_t>(a.dim(1));
    q.d2 = static_cast<int64_t>(a.dim(2));
    q.k = static_cast<int64_t>(a.dim(3));
    q.m = q.d1;
    q.n = static_cast<int64_t>(b.dim(rb - 1));
    q.batch = q.d0 * q.d2;
    if (static_cast<int64_t>(b.count()) != q.d2 * q.k * q.n ||
        static_cast<int64_t>(y.count()) != q.d0 * q.d1 * q.d2 * q.n)
      return fail(msg, cap, "axis-2 batched shapes do not agree");
    *out = q;
    return true;
  }
  // A rank-1 A is one row, a rank-1 B one column; their dim is dropped from
  // the output, which leaves its memory layout unchanged.
  q.m = ra == 1 ? 1 : static_cast<int64_t>(a.dim(ra - 2));
  q.k = static_cast<int64_t>(a.dim(ra - 1));
  const int64_t bk = rb == 1 ? static_cast<int64_t>(b.dim(0)) : static_cast<int64_t>(b.dim(rb - 2));
  q.n = rb == 1 ? 1 : static_cast<int64_t>(b.dim(rb - 1));
  if (bk != q.k) return fail(msg, cap, "inner dims differ: %lld and %lld", (long long)q.k, (long long)bk);
  const int na = std::max(ra - 2, 0), nbb = std::max(rb - 2, 0);
  q.nb = std::max(na, nbb);
  if (q.nb > kMaxBatchDims) return fail(msg, cap, "too many batch dims");
  int64_t as = 1, bs = 1;
  q.batch = 1;
  for (int i = q.nb - 1; i >= 0; --i) {
    const int ia = i - (q.nb - na), ib = i - (q.nb - nbb);
    const int64_t da = ia >= 0 ? static_cast<int64_t>(a.dim(ia)) : 1;
    const int64_t db = ib >= 0 ? static_cast<int64_t>(b.dim(ib)) : 1;
    if (da != db && da != 1 && db != 1)
      return fail(msg, cap, "batch dims %lld and %lld do not broadcast", (long long)da, (long long)db);
    q.out_dims[i] = std::max(da, db);
    if (da == 0 || db == 0) q.out_dims[i] = 0;
    q.a_stride[i] = da == 1 ? 0 : as;
    q.b_stride[i] = db == 1 ? 0 : bs;
    as *= da;
    bs *= db;
    q.batch *= q.out_dims[i];
  }
  q.b_shared = bs == 1;
  if (static_cast<int64_t>(y.count()) != q.batch * q.m * q.n)
    return fail(msg, cap, "output holds %llu values, expected %lld", (unsigned long long)y.count(),
                (long long)(q.batch * q.m * q.n));
  *out = q;
  return true;
}

// Many modest products run one per pool iteration, each on one thread;
// large ones run in turn, each split over the pool by cpu_sgemm.
constexpr int64_t kBatchSpreadWork = int64_t{1} << 22;
constexpr int64_t kParallelMinWork = int64_t{1} << 18;

bool batch_spread(int64_t count, int64_t work_each) {
  return count >= 2 && work_each < kBatchSpreadWork && count * work_each >= kParallelMinWork;
}

// Pieces of `m` rows each product is cut into when the products spread:
// too few products for the pool (a few attention heads) also split their
// rows, so that every thread gets work. Rows go in multiples of eight, a
// whole register tile; each element sums in the same order whatever the
// cut, so the pieces change where rows are computed, never their bits.
int64_t batch_row_piece(bool spread, size_t count, int64_t m) {
  constexpr int64_t kRowStep = 8;
  const size_t want = 3 * parallel_thread_count();
  if (!spread || !cpu_split_allowed() || count >= want || m < 2 * kRowStep) return m;
  const int64_t pieces = static_cast<int64_t>((want + count - 1) / count);
  const int64_t rows = ((m + pieces - 1) / pieces + kRowStep - 1) / kRowStep * kRowStep;
  return std::min(m, rows);
}

// Runs one(t, r0, r1, mode) for rows [r0, r1) of each of `count` products.
template <class F>
void batch_run(bool spread, size_t count, int64_t m, F&& one) {
  if (!cpu_split_allowed()) {
    for (size_t t = 0; t < count; ++t) one(t, int64_t{0}, m, SgemmThreading::kSerial);
  } else if (spread) {
    const int64_t rows = batch_row_piece(spread, count, m);
    const size_t pieces = static_cast<size_t>((m + rows - 1) / rows);
    parallel_for(count * pieces, [&](size_t u) {
      const int64_t r0 = static_cast<int64_t>(u % pieces) * rows;
      one(u / pieces, r0, std::min(m, r0 + rows), SgemmThreading::kSerial);
    });
  } else {
    for (size_t t = 0; t < count; ++t) one(t, int64_t{0}, m, SgemmThreading::kPoolSplit);
  }
}

// The bias of a MatMul in bias mode (see cpu/fusion_matmul_gelu.h), or
// null.
const float* matmul_bias(const CpuState& s, const NodeRecord& n) {
  return n.attr(attr::MatMul::kMode) == attr::MatMul::kBias && n.input_count() == 3 ? node_in(s, n, 2) : nullptr;
}

// rows x n values of C (row stride ldc) plus the bias, the product's value
// first, for the paths whose products cannot take the bias themselves.
void add_bias_rows(float* c, int64_t ldc, int64_t rows, int64_t n, const float* bias) {
  for (int64_t i = 0; i < rows; ++i) {
    float* __restrict row = c + i * ldc;
    for (int64_t j = 0; j < n; ++j) row[j] = row[j] + bias[j];
  }
}

// C = A x B (+ bias) on one product: the bias goes to each rectangle of C
// as the product finishes it, unless the operands are quantised or take
// the integer path, where it follows the whole product.
void product_with_bias(CpuState& s, SgemmThreading mode, bool quant, int64_t m, int64_t n, int64_t k,
                       const float* a, int64_t lda, const float* b, int64_t ldb, float* c, int64_t ldc,
                       const float* bias) {
  if (quant || cpu_i8_ready(s)) {
    cpu_gemm(s, false, false, m, n, k, 1.0f, a, lda, b, ldb, 0.0f, c, ldc);
    add_bias_rows(c, ldc, m, n, bias);
    return;
  }
  MatrixProduct g{false, false, m, n, k, 1.0f, a, lda, b, ldb, 0.0f, c, ldc};
  g.bias = bias;
  cpu_product(mode, mode == SgemmThreading::kSerial ? 1 : 0, g);
}

}  // namespace

bool matmul_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  MatMulShape q{};
  if (!matmul_shape(s, n, &q, msg, cap)) return false;
  if (n.attr(attr::MatMul::kMode) == attr::MatMul::kBias && n.input_count() == 3) {
    if (!kern::has_input(s, n, 2)) return fail(msg, cap, "the bias must hold N floats");
    const ValueRecord& bias = node_in_value(s, n, 2);
    if (static_cast<int64_t>(bias.count()) != q.n || bias.elem_kind() != kElemF32)
      return fail(msg, cap, "the bias must hold N floats");
  }
  plan.set(q);
  return true;
}

bool matmul_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const MatMulShape& q = plan.get<MatMulShape>();
  const float* a = node_in(s, n, 0);
  const float* b = node_in(s, n, 1);
  float* y = node_out(s, n, 0);
  if (q.batch * q.m * q.n == 0) return true;
  const float* bias = matmul_bias(s, n);
  if (q.k == 0) {
    std::memset(y, 0, static_cast<size_t>(q.batch * q.m * q.n) * 4);
    if (bias != nullptr) add_bias_rows(y, q.n, q.batch * q.m, q.n, bias);
    return true;
  }
  // Quantised operands live in the engine's one scratch: products in turn.
  const bool quant = cpu_gemm_quantising(s);
  const bool spread = !quant && batch_spread(q.axis2 ? q.d0 * q.d2 : q.batch, q.m * q.n * q.k);
  if (q.axis2) {
    const int64_t ld_a = q.d2 * q.k, ld_y = q.d2 * q.n;
    auto one = [&](size_t t, int64_t r0, int64_t r1, SgemmThreading mode) {
      const int64_t i = static_cast<int64_t>(t) / q.d2, j = static_cast<int64_t>(t) % q.d2;
      const float* at = a + (i * q.d1 * q.d2 + j) * q.k + r0 * ld_a;
      float* yt = y + (i * q.d1 * q.d2 + j) * q.n + r0 * ld_y;
      if (bias != nullptr)
        product_with_bias(s, mode, quant, r1 - r0, q.n, q.k, at, ld_a, b + j * q.k * q.n, q.n, yt, ld_y, bias);
      else if (quant)
        cpu_gemm(s, false, false, r1 - r0, q.n, q.k, 1.0f, at, ld_a, b + j * q.k * q.n, q.n, 0.0f, yt, ld_y);
      else
        cpu_sgemm_threading(mode, 0, false, false, r1 - r0, q.n, q.k, 1.0f, at, ld_a, b + j * q.k * q.n, q.n,
                            0.0f, yt, ld_y);
    };
    batch_run(spread, static_cast<size_t>(q.d0 * q.d2), q.m, one);
    return true;
  }
  const int64_t mk = q.m * q.k, kn = q.k * q.n, mn = q.m * q.n;
  // A shared B with A's matrices laid out as the output's: one product with
  // every A row stacked.
  bool a_full = true;
  int64_t expect = 1;
  for (int i = q.nb - 1; i >= 0; --i) {
    if (q.out_dims[i] != 1 && q.a_stride[i] != expect) a_full = false;
    expect *= q.out_dims[i];
  }
  if (q.b_shared && a_full) {
    if (bias != nullptr)
      product_with_bias(s, cpu_split_allowed() ? SgemmThreading::kPoolSplit : SgemmThreading::kSerial, quant,
                        q.batch * q.m, q.n, q.k, a, q.k, b, q.n, y, q.n, bias);
    else
      cpu_gemm(s, false, false, q.batch * q.m, q.n, q.k, 1.0f, a, q.k, b, q.n, 0.0f, y, q.n);
    return true;
  }
  auto one = [&](size_t t, int64_t r0, int64_t r1, SgemmThreading mode) {
    int64_t rest = static_cast<int64_t>(t), ia = 0, ib = 0;
    for (int i = q.nb - 1; i >= 0; --i) {
      const int64_t d = rest % q.out_dims[i];
      rest /= q.out_dims[i];
      ia += d * q.a_stride[i];
      ib += d * q.b_stride[i];
    }
    const float* at = a + ia * mk + r0 * q.k;
    float* yt = y + static_cast<int64_t>(t) * mn + r0 * q.n;
    if (bias != nullptr)
      product_with_bias(s, mode, quant, r1 - r0, q.n, q.k, at, q.k, b + ib * kn, q.n, yt, q.n, bias);
    else if (quant)
      cpu_gemm(s, false, false, r1 - r0, q.n, q.k, 1.0f, at, q.k, b + ib * kn, q.n, 0.0f, yt, q.n);
    else
      cpu_sgemm_threading(mode, 0, false, false, r1 - r0, q.n, q.k, 1.0f, at, q.k, b + ib * kn, q.n, 0.0f, yt,
                          q.n);
  };
  batch_run(spread, static_cast<size_t>(q.batch), q.m, one);
  return true;
}

}  // namespace vorn
