// ConvTranspose: one product per image and partition gives the column matrix
// (weights transposed times the input), then every output channel gathers
// its column rows back onto its plane.
#include <algorithm>
#include <cstring>

#include "container/attr_words.h"
#include "kernels/ops/conv.h"
#include "kernels/quant_operands.h"
#include "platform/blas.h"

VORN_VECTORIZE_FILE

namespace vorn {
namespace {

using kern::fail;
using kern::Nchw;

struct ConvTParams {
  Nchw x, y;
  int64_t kh, kw, sh, sw, padt, padl, dh, dw, g;
  bool has_bias, relu;
  int64_t cin_g() const { return x.c / g; }
  int64_t cout_g() const { return y.c / g; }
  int64_t col_values() const { return kh * kw * cout_g() * x.plane(); }
};

bool convt_params(const CpuState& s, const NodeRecord& n, ConvTParams* p, char* msg, size_t cap) {
  if (!kern::has_io(s, n) || !kern::has_input(s, n, 1)) return fail(msg, cap, "needs input, weight and output");
  ConvTParams q{};
  if (!kern::value_nchw(node_in_value(s, n, 0), &q.x) || !kern::value_nchw(node_out_value(s, n, 0), &q.y))
    return fail(msg, cap, "input and output must be NCHW tensors of rank 1 to 4");
  using A = attr::ConvTranspose;
  q.kh = kern::attr_int(n, A::kKernelH), q.kw = kern::attr_int(n, A::kKernelW);
  q.sh = std::max(1, kern::attr_int(n, A::kStrideH)), q.sw = std::max(1, kern::attr_int(n, A::kStrideW));
  q.padt = kern::attr_int(n, A::kPadTop), q.padl = kern::attr_int(n, A::kPadLeft);
  q.dh = std::max(1, kern::attr_int(n, A::kDilationH)), q.dw = std::max(1, kern::attr_int(n, A::kDilationW));
  q.g = std::max(1, kern::attr_int(n, A::kGroups));
  if (q.kh < 1 || q.kw < 1 || q.kh > 4096 || q.kw > 4096) return fail(msg, cap, "kernel extent out of range");
  if (q.padt < 0 || q.padl < 0) return fail(msg, cap, "negative padding");
  if (q.x.c % q.g != 0 || q.y.c % q.g != 0) return fail(msg, cap, "channels not divisible by groups");
  if (q.x.n != q.y.n) return fail(msg, cap, "input and output batch differ");
  const uint64_t act = n.attr(A::kMode);
  if (act != A::kNone && act != A::kRelu)
    return fail(msg, cap, "unknown fused activation %llu", (unsigned long long)act);
  q.relu = act == A::kRelu;
  int64_t wcount = 0;
  if (__builtin_mul_overflow(q.kh * q.kw, q.x.c * q.cout_g(), &wcount) ||
      kern::value_count(node_in_value(s, n, 1)) != wcount)
    return fail(msg, cap, "weight has %llu values, expected Cin x Cout/g x kh x kw",
                (unsigned long long)node_in_value(s, n, 1).count());
  q.has_bias = kern::has_input(s, n, 2);
  if (q.has_bias && kern::value_count(node_in_value(s, n, 2)) < q.y.c)
    return fail(msg, cap, "bias has fewer than %lld values", (long long)q.y.c);
  int64_t col = 0;
  if (__builtin_mul_overflow(q.kh * q.kw * q.cout_g(), q.x.plane(), &col) || col > (int64_t{1} << 36))
    return fail(msg, cap, "column matrix too large");
  *p = q;
  return true;
}

// Input columns x of a tap whose outputs x*sw + off land inside [0, wo).
inline void tap_columns(const ConvTParams& p, int64_t off, int64_t* lo, int64_t* hi) {
  const int64_t w = p.x.w, wo = p.y.w;
  int64_t a = off >= 0 ? 0 : (-off + p.sw - 1) / p.sw;
  int64_t b = wo - 1 - off < 0 ? 0 : (wo - 1 - off) / p.sw + 1;
  *lo = std::min(a, w);
  *hi = std::clamp(b, *lo, w);
}

inline void add_strided(float* dst, const float* src, int64_t lo, int64_t hi, int64_t sw, int64_t off) {
  if (sw == 1) {
    for (int64_t x = lo; x < hi; ++x) dst[x + off] += src[x];
  } else {
    for (int64_t x = lo; x < hi; ++x) dst[x * sw + off] += src[x];
  }
}

// Output channel c of the partition: bias, then every kernel tap's column
// row added at its strided positions, then the optional Relu. With stride 2
// and undilated columns, taps j and j + 1 fill the even and odd outputs of
// the same span, so they are added in one interleaving loop that
// vectorises; each output still receives its terms in the same order.
void col2im_channel(const ConvTParams& p, const float* col, float* plane, float bias, int64_t c) {
  const int64_t ho = p.y.h, wo = p.y.w, h = p.x.h, w = p.x.w, hw = h * w;
  std::fill(plane, plane + ho * wo, bias);
  const bool pairs = p.sw == 2 && p.dw == 1;
  for (int64_t i = 0; i < p.kh; ++i) {
    for (int64_t j = 0; j < p.kw; ++j) {
      const float* row = col + ((c * p.kh + i) * p.kw + j) * hw;
      const int64_t off = j * p.dw - p.padl;  // output column of input column 0
      int64_t lo, hi;
      tap_columns(p, off, &lo, &hi);
      if (pairs && j + 1 < p.kw) {
        const float* row1 = row + hw;
        int64_t lo1, hi1;
        tap_columns(p, off + 1, &lo1, &hi1);
        const int64_t a = std::max(lo, lo1), b = std::max(a, std::min(hi, hi1));
        for (int64_t y = 0; y < h; ++y) {
          const int64_t oy = y * p.sh - p.padt + i * p.dh;
          if (oy < 0 || oy >= ho) continue;
          float* dst = plane + oy * wo;
          const float* s0 = row + y * w;
          const float* s1 = row1 + y * w;
          add_strided(dst, s0, lo, std::min(a, hi), 2, off);
          add_strided(dst, s1, lo1, std::min(a, hi1), 2, off + 1);
          for (int64_t x = a; x < b; ++x) {
            dst[2 * x + off] += s0[x];
            dst[2 * x + off + 1] += s1[x];
          }
          add_strided(dst, s0, std::max(b, lo), hi, 2, off);
          add_strided(dst, s1, std::max(b, lo1), hi1, 2, off + 1);
        }
        ++j;
        continue;
      }
      for (int64_t y = 0; y < h; ++y) {
        const int64_t oy = y * p.sh - p.padt + i * p.dh;
        if (oy < 0 || oy >= ho) continue;
        add_strided(plane + oy * wo, row + y * w, lo, hi, p.sw, off);
      }
    }
  }
  if (p.relu)
    for (int64_t k = 0; k < ho * wo; ++k) plane[k] = plane[k] >= 0.0f ? plane[k] : 0.0f;
}

}  // namespace

bool conv_transpose_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  ConvTParams p{};
  if (!convt_params(s, n, &p, msg, cap)) return false;
  // The column matrix of one image and partition.
  const uint64_t need = std::max<uint64_t>(64, static_cast<uint64_t>(p.col_values()) * 4);
  if (s.im2col != nullptr && s.im2col_size < need)
    return fail(msg, cap, "im2col workspace of %llu bytes is below the %lld the column matrix needs",
                (unsigned long long)s.im2col_size, (long long)(p.col_values() * 4));
  plan.workspace_bytes = need;
  plan.set(p);
  return true;
}

bool conv_transpose_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const ConvTParams& p = plan.get<ConvTParams>();
  if (p.y.count() == 0) return true;
  const float* x = node_in(s, n, 0);
  const float* w = node_in(s, n, 1);
  const float* bias = p.has_bias ? node_in(s, n, 2) : nullptr;
  float* y = node_out(s, n, 0);
  float* col = s.im2col;
  const int64_t k = p.cin_g(), opg = p.cout_g(), m = p.kh * p.kw * opg, hw = p.x.plane(),
                hwo = p.y.plane();
  const bool par = opg > 7 && opg * hwo >= 8192;
  for (int64_t b = 0; b < p.x.n; ++b) {
    for (int64_t gi = 0; gi < p.g; ++gi) {
      const float* xg = x + (b * p.x.c + gi * k) * hw;
      float* yg = y + (b * p.y.c + gi * opg) * hwo;
      if (k > 0 && hw > 0)
        cpu_gemm(s, true, false, m, hw, k, 1.0f, w + gi * k * m, m, xg, hw, 0.0f, col, hw);
      else
        std::memset(col, 0, static_cast<size_t>(p.col_values()) * 4);
      kern::run_split(par, static_cast<size_t>(opg), [&](size_t c) {
        const int64_t ch = static_cast<int64_t>(c);
        col2im_channel(p, col, yg + ch * hwo, bias != nullptr ? bias[gi * opg + ch] : 0.0f, ch);
      });
    }
  }
  return true;
}

}  // namespace vorn
