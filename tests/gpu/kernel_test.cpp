// The generative engine's kernels against plain references written from
// their formulas, in half and float: exact for data movement and
// dequantisation, within a few units in the last place for reductions and
// transcendental functions. Shapes cross every tile size (K not a multiple
// of 32, Q8 rows of 65 columns, partial groups, odd group counts). The same
// cases give the same bits with the vector forms off and at pool sizes 1, 2,
// 3 and 8 (in pinned child processes).
#include <gtest/gtest.h>

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>

#include "generation/pinned_child.h"
#include "gpu/kernel_harness.h"
#include "gpu/shaders/half_rounding.h"
#include "gpu/shaders/kernels.h"
#include "gpu/shaders/quotient_row.h"
#include "gpu/shaders/tile_mma.h"
#include "platform/cpu_features.h"

namespace vorn::test {
namespace {

using shaders::from_float;
using shaders::round_to;
using shaders::to_float;

struct Outcome {
  std::vector<float> got;
  std::vector<double> want;
  std::vector<double> magnitude;  // per element: sum of |terms| of a reduction (empty: exact)
  int ulps = 0;
  std::string error;  // the run's error text, "" when it completed
};

template <class A>
std::vector<float> widen(const std::vector<A>& v) {
  std::vector<float> f(v.size());
  for (size_t i = 0; i < v.size(); ++i) f[i] = to_float(v[i]);
  return f;
}

template <class A>
std::vector<float> read(const mtl::BufferRef& b, size_t n) {
  return widen(KernelHarness::read<A>(b, n));
}

// The reference value rounded to A, as a double.
template <class A>
double rA(double v) {
  return round_to<A>(float(v));
}

template <class A>
double ulp(double v) {
  int e;
  std::frexp(std::fabs(v), &e);
  const int mantissa = sizeof(A) == 2 ? 11 : 24, lowest = sizeof(A) == 2 ? -13 : -125;
  return std::ldexp(1.0, std::max(e, lowest) - mantissa);
}

mtl::Size3 threads(uint64_t n) { return mtl::Size3{n, 1, 1}; }

// Data movement and dequantisation: exact.

template <class A>
Outcome embeddings(KernelHarness& h, Lcg& g) {
  const uint64_t hidden = 65, vocab = 50;
  const std::vector<int64_t> ids = {0, 49, 7, 7, 13, 1, 48};
  const auto table = random_values<half>(g, vocab * hidden);
  uint64_t rb;
  const auto q8 = random_q8(g, vocab, hidden, &rb);
  const uint64_t n = ids.size() * hidden;
  auto id = h.buffer(ids), y = h.zeros(n * sizeof(A)), yq = h.zeros(n * sizeof(A)),
       dq = h.zeros(vocab * hidden * 2);
  Outcome o;
  o.error = h.run<A, Kernel::embedding>({{0, id}, {1, h.buffer(table)}, {2, y}},
                                        {.count = uint32_t(n), .columns = hidden}, threads(n), false) +
            h.run<A, Kernel::embedding_q8>({{0, id}, {1, h.buffer(q8)}, {2, yq}},
                                           {.count = uint32_t(n), .columns = hidden, .row_bytes = uint32_t(rb)},
                                           threads(n), false) +
            h.run<A, Kernel::dequant_q8>({{0, h.buffer(q8)}, {2, dq}},
                                         {.count = vocab * hidden, .columns = hidden, .row_bytes = uint32_t(rb)},
                                         threads(vocab * hidden), false);
  auto q8_value = [&](uint64_t row, uint64_t col) {
    const uint8_t* block = q8.data() + row * rb + col / 64 * 68;
    float scale;
    std::memcpy(&scale, block + 64, 4);
    return round_to<half>(float(int8_t(block[col % 64])) * scale);  // reconstructed in f32, rounded once
  };
  o.got = read<A>(y, n);
  for (float v : read<A>(yq, n)) o.got.push_back(v);
  for (float v : read<half>(dq, vocab * hidden)) o.got.push_back(v);
  for (uint64_t i = 0; i < n; ++i) o.want.push_back(to_float(table[ids[i / hidden] * hidden + i % hidden]));
  for (uint64_t i = 0; i < n; ++i) o.want.push_back(q8_value(ids[i / hidden], i % hidden));
  for (uint64_t i = 0; i < vocab * hidden; ++i) o.want.push_back(q8_value(i / hidden, i % hidden));
  return o;
}

template <class A>
Outcome layouts(KernelHarness& h, Lcg& g) {
  Outcome o;
  // The output y of a run that completed, against want.
  auto add = [&](const std::string& error, const mtl::BufferRef& y, const std::vector<A>& want) {
    o.error += error;
    for (float v : read<A>(y, want.size())) o.got.push_back(v);
    for (const A& v : want) o.want.push_back(to_float(v));
  };
  {  // unfold: 2 images of 3 channels, 3 x 3 patches of 4 x 4
    const uint64_t B = 2, C = 3, P = 4, n = 3, S = n * P, count = B * n * n * C * P * P;
    const auto x = random_values<A>(g, B * C * S * S);
    std::vector<A> want;
    for (uint64_t b = 0; b < B; ++b)
      for (uint64_t line = 0; line < n; ++line)
        for (uint64_t col = 0; col < n; ++col)
          for (uint64_t c = 0; c < C; ++c)
            for (uint64_t py = 0; py < P; ++py)
              for (uint64_t px = 0; px < P; ++px)
                want.push_back(x[((b * C + c) * S + line * P + py) * S + col * P + px]);
    auto y = h.zeros(count * sizeof(A));
    add(h.run<A, Kernel::unfold>({{0, h.buffer(x)}, {2, y}},
                                 {.count = uint32_t(count), .patch = P, .patches_per_side = n, .channels = C},
                                 threads(count), false),
        y, want);
  }
  {  // attention_layout both ways: [2, 5, 3, 8] token-major <-> [2, 3, 5, 8]
    const uint64_t B = 2, H = 3, s = 5, d = 8, count = B * H * s * d;
    const auto x = random_values<A>(g, count);
    std::vector<A> head_major(count);
    for (uint64_t b = 0; b < B; ++b)
      for (uint64_t hd = 0; hd < H; ++hd)
        for (uint64_t t = 0; t < s; ++t)
          for (uint64_t c = 0; c < d; ++c)
            head_major[((b * H + hd) * s + t) * d + c] = x[((b * s + t) * H + hd) * d + c];
    auto y = h.zeros(count * sizeof(A)), back = h.zeros(count * sizeof(A));
    shaders::AttentionParams p{.query_heads = H, .head_dim = d, .queries = s, .batch = B, .direction = 0};
    add(h.run<A, Kernel::attention_layout>({{0, h.buffer(x)}, {2, y}}, p, threads(count), false), y, head_major);
    p.direction = 1;
    add(h.run<A, Kernel::attention_layout>({{0, y}, {2, back}}, p, threads(count), false), back, x);
  }
  {  // shuffle: [2, 6 x 4, 3] by 2 -> [2, 6, 12]
    const uint64_t B = 2, H = 6, W = 4, C = 3, f = 2, count = B * H * W * C;
    const auto x = random_values<A>(g, count);
    std::vector<A> want;
    for (uint64_t b = 0; b < B; ++b)
      for (uint64_t ro = 0; ro < H / f; ++ro)
        for (uint64_t co = 0; co < W / f; ++co)
          for (uint64_t dy = 0; dy < f; ++dy)
            for (uint64_t dx = 0; dx < f; ++dx)
              for (uint64_t c = 0; c < C; ++c)
                want.push_back(x[((b * H + ro * f + dy) * W + co * f + dx) * C + c]);
    auto y = h.zeros(count * sizeof(A));
    add(h.run<A, Kernel::shuffle>({{0, h.buffer(x)}, {2, y}},
                                  {.count = uint32_t(count), .factor = f, .height = H, .width = W, .channels = C},
                                  threads(count), false),
        y, want);
  }
  {  // scatter: 3 image rows into a [1, 10, 8] sequence
    const uint64_t T = 10, D = 8;
    const std::vector<int64_t> positions = {7, 2, 9};
    const auto x = random_values<A>(g, T * D), images = random_values<A>(g, 3 * D);
    std::vector<A> want = x;
    for (uint64_t j = 0; j < 3; ++j)
      for (uint64_t c = 0; c < D; ++c) want[positions[j] * D + c] = images[j * D + c];
    auto y = h.zeros(T * D * sizeof(A));
    add(h.run<A, Kernel::scatter>({{0, h.buffer(x)}, {1, h.buffer(images)}, {2, y}, {4, h.buffer(positions)}},
                                  {.count = T * D, .hidden = D, .positions = 3}, threads(T * D), false),
        y, want);
  }
  {  // cache_append: copy 3 past rows (stride 5) and 2 new ones into capacity 8, then append 2 more in place
    const uint64_t B = 2, H = 2, d = 4, past = 3, ps = 5, s = 2, cap = 8;
    const auto old = random_values<A>(g, B * H * ps * d), x = random_values<A>(g, B * s * H * d),
               x2 = random_values<A>(g, B * s * H * d);
    std::vector<A> want(B * H * cap * d, from_float<A>(0));
    for (uint64_t b = 0; b < B; ++b)
      for (uint64_t hd = 0; hd < H; ++hd)
        for (uint64_t t = 0; t < past + 2 * s; ++t)
          for (uint64_t c = 0; c < d; ++c)
            want[((b * H + hd) * cap + t) * d + c] = t < past ? old[((b * H + hd) * ps + t) * d + c]
                                                     : t < past + s
                                                         ? x[((b * s + t - past) * H + hd) * d + c]
                                                         : x2[((b * s + t - past - s) * H + hd) * d + c];
    auto y = h.zeros(want.size() * sizeof(A));
    const uint64_t n1 = B * H * d * (past + s), n2 = B * H * d * s;
    o.error += h.run<A, Kernel::cache_append>({{0, h.buffer(x)}, {1, h.buffer(old)}, {2, y}},
                                              {.count = uint32_t(n1),
                                               .head_dim = d,
                                               .heads = H,
                                               .queries = s,
                                               .past = past,
                                               .stride = cap,
                                               .append = 0,
                                               .past_stride = ps},
                                              threads(n1), false);
    add(h.run<A, Kernel::cache_append>({{0, h.buffer(x2)}, {1, y}, {2, y}},
                                       {.count = uint32_t(n2),
                                        .head_dim = d,
                                        .heads = H,
                                        .queries = s,
                                        .past = past + s,
                                        .stride = cap,
                                        .append = 1,
                                        .past_stride = cap},
                                       threads(n2), false),
        y, want);
  }
  {  // weights_float writes float whatever A is
    const auto w = random_values<half>(g, 300);
    auto y = h.zeros(300 * 4);
    o.error += h.run<A, Kernel::weights_float>({{0, h.buffer(w)}, {2, y}}, {.count = 300}, threads(300), false);
    for (float v : KernelHarness::read<float>(y, 300)) o.got.push_back(v);
    for (const half& v : w) o.want.push_back(to_float(v));
  }
  return o;
}

// Elementwise arithmetic: one rounding each, or a transcendental function.

template <class A>
Outcome elementwise(KernelHarness& h, Lcg& g) {
  const uint64_t rows = 3, n = 40, count = rows * n;
  const auto x = random_values<A>(g, count, -4, 4), b = random_values<A>(g, n);
  const auto bias = random_values<half>(g, n);
  auto bx = h.buffer(x), bb = h.buffer(b);
  Outcome o;
  o.ulps = 2;
  for (uint32_t op : {shaders::kPointwiseAdd, shaders::kPointwiseMul, shaders::kPointwiseGelu, shaders::kPointwiseSilu}) {
    auto y = h.zeros(count * sizeof(A));
    o.error += h.run<A, Kernel::pointwise>({{0, bx}, {1, bb}, {2, y}},
                                           {.count = uint32_t(count), .operand_count = uint32_t(n), .op = op},
                                           threads(count), false);
    for (float v : read<A>(y, count)) o.got.push_back(v);
    for (uint64_t i = 0; i < count; ++i) {
      const double a = to_float(x[i]), c = to_float(b[i % n]);
      const double want = op == shaders::kPointwiseAdd   ? a + c
                          : op == shaders::kPointwiseMul ? a * c
                          : op == shaders::kPointwiseGelu
                              ? 0.5 * a * (1 + std::tanh(std::sqrt(2 / M_PI) * (a + 0.044715 * a * a * a)))
                              : a / (1 + std::exp(-a));
      o.want.push_back(rA<A>(want));
      // 1 + tanh cancels for negative a: the float form is good to |a| eps.
      o.magnitude.push_back(op == shaders::kPointwiseGelu ? std::fabs(a) : 0);
    }
  }
  auto y = h.zeros(count * sizeof(A));
  o.error +=
      h.run<A, Kernel::linear_bias>({{0, bx}, {1, h.buffer(bias)}, {2, y}},
                                    {.count = uint32_t(count), .operand_count = uint32_t(n)}, threads(count), false);
  for (float v : read<A>(y, count)) o.got.push_back(v);
  for (uint64_t i = 0; i < count; ++i) {
    o.want.push_back(rA<A>(double(to_float(x[i])) + to_float(bias[i % n])));
    o.magnitude.push_back(0);
  }
  return o;
}

// Products: sums in float against sums in double.

void add_dot(Outcome& o, const std::vector<double>& terms, double bias, bool a_is_half) {
  double sum = bias, magnitude = std::fabs(bias);
  for (double t : terms) {
    sum += t;
    magnitude += std::fabs(t);
  }
  o.want.push_back(a_is_half ? rA<half>(sum) : double(float(sum)));
  o.magnitude.push_back(magnitude);
}

// Every third block of a Q8 weight takes a scale at an edge of the range
// where all of its values are normal halves (2^-14 to 65504), or just past
// one (subnormal halves, values rounding down to 65504).
void set_edge_scales(std::vector<uint8_t>& q, uint64_t rows, uint64_t row_bytes) {
  const float top = 65504.0f / 128.0f;  // exact
  const float edges[] = {0x1p-14f, std::nextafter(0x1p-14f, 0.0f), 1e-6f, top, std::nextafter(top, 1e9f)};
  for (uint64_t r = 0; r < rows; ++r)
    for (uint64_t b = 0; b * 68 < row_bytes; ++b)
      if ((r + b) % 3 == 0) std::memcpy(q.data() + r * row_bytes + b * 68 + 64, &edges[(r * 7 + b) % 5], 4);
}

template <class A>
Outcome matvecs(KernelHarness& h, Lcg& g) {
  Outcome o;
  o.ulps = 2;
  struct Shape {
    uint32_t n, k;
    bool bias, q8;
  };
  // K on either side of the 16- and 32-lane chunks and the 64-value Q8
  // blocks, with and without a whole block or chunk before the tail; Q8
  // rows of many whole blocks, in odd row counts.
  for (const Shape sh : {Shape{37, 1000, true, false}, Shape{5, 31, false, false}, Shape{3, 15, false, false},
                         Shape{6, 17, true, false}, Shape{5, 33, false, false}, Shape{4, 64, false, false},
                         Shape{37, 65, true, true}, Shape{9, 1000, false, true}, Shape{3, 16, false, true},
                         Shape{5, 31, true, true}, Shape{3, 47, false, true}, Shape{4, 96, false, true},
                         Shape{3, 113, false, true}, Shape{2, 128, true, true}, Shape{7, 577, false, true},
                         Shape{11, 192, true, true}, Shape{1, 640, false, true}}) {
    const auto x = random_values<A>(g, sh.k);
    const auto w = random_values<half>(g, uint64_t(sh.n) * sh.k, -0.5f, 0.5f);
    const auto bias = random_values<half>(g, sh.n);
    uint64_t rb = 0;
    auto q = random_q8(g, sh.n, sh.k, &rb);
    if (sizeof(A) == 4) set_edge_scales(q, sh.n, rb);
    auto y = h.zeros(sh.n * sizeof(A));
    const std::vector<Bind> binds{
        {0, h.buffer(x)}, {1, sh.q8 ? h.buffer(q) : h.buffer(w)}, {2, y}, {4, h.buffer(bias)}};
    const shaders::MatvecParams p{.rows = sh.n, .k = sh.k, .has_bias = sh.bias, .row_bytes = uint32_t(rb)};
    o.error += sh.q8 ? h.run<A, Kernel::matvec_q8>(binds, p, threads(32 * sh.n), false)
                     : h.run<A, Kernel::matvec>(binds, p, threads(32 * sh.n), false);
    for (float v : read<A>(y, sh.n)) o.got.push_back(v);
    for (uint32_t r = 0; r < sh.n; ++r) {
      std::vector<double> terms;
      for (uint32_t k = 0; k < sh.k; ++k) {
        double wv = to_float(w[uint64_t(r) * sh.k + k]);
        if (sh.q8) {
          const uint8_t* block = q.data() + r * rb + k / 64 * 68;
          float scale;
          std::memcpy(&scale, block + 64, 4);
          wv = round_to<half>(float(int8_t(block[k % 64])) * scale);
        }
        terms.push_back(double(to_float(x[k])) * wv);
      }
      add_dot(o, terms, sh.bias ? to_float(bias[r]) : 0.0, sizeof(A) == 2);
    }
  }
  return o;
}

// The output steps folded into a single-row product give exactly the bits
// of the product followed by the pointwise kernels they replace.
template <class A>
Outcome matvec_folds(KernelHarness& h, Lcg& g) {
  Outcome o;
  struct Shape {
    uint32_t n, k;
    bool bias, q8;
  };
  // Q8 rows of whole blocks with a 32-column chunk or a tail after them,
  // and (float x) edge scales in the gate's blocks only, so that the gate
  // and up rows of one output take different rounding paths.
  for (const Shape sh : {Shape{37, 1000, true, false}, Shape{5, 31, false, false}, Shape{9, 65, true, true},
                         Shape{13, 576, false, true}, Shape{3, 47, true, true}, Shape{40, 96, false, false},
                         Shape{7, 159, true, true}, Shape{6, 224, false, true}}) {
    const uint64_t count = uint64_t(sh.n) * sh.k;
    const auto x = random_values<A>(g, sh.k);
    const auto residual = random_values<A>(g, sh.n);
    std::vector<mtl::BufferRef> weight, bias;
    uint64_t rb = 0;
    for (int i = 0; i < 2; ++i) {
      auto q = random_q8(g, sh.n, sh.k, &rb);
      if (sizeof(A) == 4 && i == 0) set_edge_scales(q, sh.n, rb);
      weight.push_back(sh.q8 ? h.buffer(q) : h.buffer(random_values<half>(g, count, -0.5f, 0.5f)));
      bias.push_back(h.buffer(random_values<half>(g, sh.n, -4.0f, 4.0f)));
    }
    auto product = [&](int i, uint32_t output, mtl::BufferRef y, uint32_t head = 0, uint32_t stride = 0) {
      const shaders::MatvecParams p{.rows = sh.n,
                                    .k = sh.k,
                                    .has_bias = sh.bias,
                                    .row_bytes = uint32_t(rb),
                                    .output = output,
                                    .has_up_bias = sh.bias,
                                    .head_rows = head,
                                    .head_stride = stride};
      const std::vector<Bind> b{{0, h.buffer(x)}, {1, weight[i]},
                                {2, y},           {4, bias[i]},
                                {5, output == shaders::kMatvecResidual ? h.buffer(residual) : weight[1]},
                                {6, bias[1]}};
      o.error += sh.q8 ? h.run<A, Kernel::matvec_q8>(b, p, threads(32 * sh.n), false)
                       : h.run<A, Kernel::matvec>(b, p, threads(32 * sh.n), false);
    };
    auto pointwise = [&](mtl::BufferRef a, mtl::BufferRef b, uint32_t op) {
      auto y = h.zeros(sh.n * sizeof(A));
      o.error += h.run<A, Kernel::pointwise>({{0, a}, {1, b}, {2, y}},
                                             {.count = sh.n, .operand_count = sh.n, .op = op}, threads(sh.n), false);
      return y;
    };
    auto gate = h.zeros(sh.n * sizeof(A)), up = h.zeros(sh.n * sizeof(A));
    product(0, shaders::kMatvecPlain, gate);
    product(1, shaders::kMatvecPlain, up);
    auto silu = pointwise(gate, gate, shaders::kPointwiseSilu);
    for (mtl::BufferRef want : {pointwise(h.buffer(residual), gate, shaders::kPointwiseAdd),
                                pointwise(silu, up, shaders::kPointwiseMul)})
      for (float v : read<A>(want, sh.n)) o.want.push_back(v);
    for (uint32_t output : {shaders::kMatvecResidual, shaders::kMatvecSwiglu}) {
      auto y = h.zeros(sh.n * sizeof(A));
      product(0, output, y);
      for (float v : read<A>(y, sh.n)) o.got.push_back(v);
    }
    // The plain product with its rows in heads spaced apart (a KV cache's
    // new row, written in place): the same values where the stride puts
    // each head.
    const uint32_t head = sh.n % 8 == 0 ? 8 : sh.n % 3 == 0 ? 3 : sh.n, stride = head + 5;
    auto spaced = h.zeros(((sh.n / head - 1) * stride + head) * sizeof(A));
    product(0, shaders::kMatvecPlain, spaced, head, stride);
    const std::vector<float> all = read<A>(spaced, (sh.n / head - 1) * stride + head);
    for (uint32_t r = 0; r < sh.n; ++r) o.got.push_back(all[r / head * stride + r % head]);
    for (float v : read<A>(gate, sh.n)) o.want.push_back(v);
  }
  return o;
}

// The rope output step gives exactly the bits of the plain product followed
// by "rope" at the same position, heads side by side or spaced apart (a KV
// cache's new row). Positions and theta change between cases, so the tables
// a thread keeps must not go stale.
template <class A>
Outcome matvec_ropes(KernelHarness& h, Lcg& g) {
  Outcome o;
  struct Shape {
    uint32_t n, k, d;
    bool bias, q8;
    int64_t position;
    float theta;
  };
  for (const Shape sh : {Shape{192, 576, 64, false, true, 1023, 10000}, Shape{40, 96, 8, true, false, 5, 10000},
                         Shape{24, 65, 4, true, true, 5, 500000}, Shape{6, 31, 2, false, false, 0, 10000},
                         Shape{64, 33, 32, true, false, 2047, 10000}, Shape{12, 47, 6, false, true, 7, 100}}) {
    const auto x = random_values<A>(g, sh.k);
    uint64_t rb = 0;
    const auto q = random_q8(g, sh.n, sh.k, &rb);
    const auto w = random_values<half>(g, uint64_t(sh.n) * sh.k, -0.5f, 0.5f);
    auto weight = sh.q8 ? h.buffer(q) : h.buffer(w), bias = h.buffer(random_values<half>(g, sh.n, -4.0f, 4.0f));
    auto position = h.buffer(std::vector<int64_t>{sh.position});
    auto product = [&](uint32_t output, mtl::BufferRef y, uint32_t head, uint32_t stride) {
      const shaders::MatvecParams p{.rows = sh.n, .k = sh.k, .has_bias = sh.bias, .row_bytes = uint32_t(rb),
                                    .output = output, .head_rows = head, .head_stride = stride,
                                    .rope_head_dim = sh.d, .theta = sh.theta};
      const std::vector<Bind> b{{0, h.buffer(x)}, {1, weight}, {2, y}, {4, bias}, {5, position}};
      o.error += sh.q8 ? h.run<A, Kernel::matvec_q8>(b, p, threads(32 * sh.n), false)
                       : h.run<A, Kernel::matvec>(b, p, threads(32 * sh.n), false);
    };
    auto plain = h.zeros(sh.n * sizeof(A)), want = h.zeros(sh.n * sizeof(A)), got = h.zeros(sh.n * sizeof(A));
    product(shaders::kMatvecPlain, plain, 0, 0);
    const uint32_t heads = sh.n / sh.d, stride = sh.d + 3;
    o.error += h.run<A, Kernel::rope>({{0, plain}, {1, position}, {2, want}},
                                      {.count = sh.n, .head_dim = sh.d, .heads = heads, .theta = sh.theta},
                                      threads(sh.n), false);
    product(shaders::kMatvecRope, got, 0, 0);
    auto spaced = h.zeros(((heads - 1) * stride + sh.d) * sizeof(A));
    product(shaders::kMatvecRope, spaced, sh.d, stride);
    const std::vector<float> all = read<A>(spaced, (heads - 1) * stride + sh.d), expected = read<A>(want, sh.n);
    for (float v : read<A>(got, sh.n)) o.got.push_back(v);
    for (uint32_t r = 0; r < sh.n; ++r) o.got.push_back(all[r / sh.d * stride + r % sh.d]);
    for (int twice = 0; twice < 2; ++twice)
      for (float v : expected) o.want.push_back(v);
  }
  return o;
}

template <class A>
Outcome matmuls(KernelHarness& h, Lcg& g) {
  Outcome o;
  o.ulps = 2;
  struct Shape {
    Kernel kernel;
    uint32_t m, n, k, row_tile, col_tile;
    bool bias;
  };
  for (const Shape sh :
       {Shape{Kernel::matmul, 70, 45, 40, 32, 32, true}, Shape{Kernel::matmul_rows64, 130, 45, 72, 64, 32, true},
        Shape{Kernel::matmul_rows64, 64, 64, 32, 64, 32, false},
        Shape{Kernel::matmul_direct64, 128, 128, 96, 64, 64, false}}) {
    const bool direct = sh.row_tile == 64 && sh.col_tile == 64;
    const auto w = random_values<half>(g, uint64_t(sh.n) * sh.k, -0.5f, 0.5f);
    const auto bias = random_values<half>(g, sh.n);
    const auto xa = random_values<A>(g, uint64_t(sh.m) * sh.k);
    const auto xf = random_values<float>(g, uint64_t(sh.m) * sh.k);
    const uint64_t out = uint64_t(sh.m) * sh.n;
    auto y = h.zeros(out * 4);
    const mtl::Size3 tiles{(sh.n + sh.col_tile - 1) / sh.col_tile, (sh.m + sh.row_tile - 1) / sh.row_tile, 1};
    const std::vector<Bind> binds{
        {0, direct ? h.buffer(xf) : h.buffer(xa)}, {1, h.buffer(w)}, {2, y}, {4, h.buffer(bias)}};
    const shaders::MatmulParams p{.m = sh.m, .n = sh.n, .k = sh.k, .has_bias = sh.bias};
    const mtl::Size3 group{sh.row_tile * sh.col_tile / 8, 1, 1};
    o.error += sh.kernel == Kernel::matmul          ? h.run<A, Kernel::matmul>(binds, p, tiles, true, group)
               : sh.kernel == Kernel::matmul_rows64 ? h.run<A, Kernel::matmul_rows64>(binds, p, tiles, true, group)
                                                    : h.run<A, Kernel::matmul_direct64>(binds, p, tiles, true, group);
    for (float v : direct ? KernelHarness::read<float>(y, out) : read<A>(y, out)) o.got.push_back(v);
    for (uint32_t r = 0; r < sh.m; ++r)
      for (uint32_t c = 0; c < sh.n; ++c) {
        std::vector<double> terms;
        for (uint32_t k = 0; k < sh.k; ++k)
          terms.push_back(double(direct ? xf[r * sh.k + k] : to_float(xa[r * sh.k + k])) *
                          to_float(w[c * sh.k + k]));
        add_dot(o, terms, sh.bias ? to_float(bias[c]) : 0.0, !direct && sizeof(A) == 2);
      }
  }
  if constexpr (sizeof(A) == 4) {
    // Q8 weights widened from their blocks, each value times its scale
    // rounded to half: a partial last panel and more rows than one chunk;
    // then a depth that makes a group of panels narrower than the
    // rectangles the pool cuts, so that a rectangle widens several groups,
    // and blocks of infinite and NaN scales inside whole panels; last a
    // shape whose panels fit in less scratch than the threads already hold.
    for (const auto [m, n, k] : {std::array<uint32_t, 3>{30, 300, 576}, std::array<uint32_t, 3>{40, 200, 2048},
                                 std::array<uint32_t, 3>{25, 40, 64}}) {
      uint64_t rb = 0;
      auto q = random_q8(g, n, k, &rb);
      if (k == 2048) {
        const float infinite = INFINITY, nan = NAN;
        std::memcpy(q.data() + 5 * rb + 3 * 68 + 64, &infinite, 4);
        std::memcpy(q.data() + 20 * rb + 64, &nan, 4);
        // (The last block of a panel's last row: a widening that checks
        // the scales as it goes must still see it.)
        std::memcpy(q.data() + 47 * rb + 31 * 68 + 64, &infinite, 4);
      }
      const auto x = random_values<float>(g, uint64_t(m) * k);
      const auto bias = random_values<half>(g, n);
      auto y = h.zeros(uint64_t(m) * n * 4);
      const shaders::MatvecParams p{.rows = n, .k = k, .has_bias = true, .row_bytes = uint32_t(rb)};
      o.error += h.run<A, Kernel::matmul_q8>({{0, h.buffer(x)}, {1, h.buffer(q)}, {2, y}, {4, h.buffer(bias)}}, p,
                                             mtl::Size3{1, m, 1}, true);
      for (float v : KernelHarness::read<float>(y, uint64_t(m) * n)) o.got.push_back(v);
      for (uint32_t r = 0; r < m; ++r)
        for (uint32_t c = 0; c < n; ++c) {
          std::vector<double> terms;
          for (uint32_t i = 0; i < k; ++i) {
            const uint8_t* block = q.data() + c * rb + i / 64 * 68;
            float scale;
            std::memcpy(&scale, block + 64, 4);
            terms.push_back(double(x[r * k + i]) * rA<half>(double(float(int8_t(block[i % 64])) * scale)));
          }
          add_dot(o, terms, to_float(bias[c]), false);
        }
    }
  }
  return o;
}

// Up to three Q8 products of one x in one dispatch of "matmul_q8", each
// output bit for bit the product run alone: odd panel counts, a part
// narrower than a panel, parts with and without a bias, a depth whose
// groups of panels are narrower than a rectangle.
template <class A>
Outcome matmul_q8_parts(KernelHarness& h, Lcg& g) {
  Outcome o;
  if constexpr (sizeof(A) == 4) {
    struct Shape {
      uint32_t m, k;
      std::vector<uint32_t> n;
      uint32_t bias;  // bit i: part i has one
    };
    for (const Shape& sh : {Shape{30, 64, {48, 16, 16}, 0b101}, Shape{25, 128, {200, 6, 40}, 0b010},
                            Shape{50, 2048, {40, 24}, 0b11}, Shape{9, 576, {6, 300}, 0b00}}) {
      const auto x = random_values<float>(g, uint64_t(sh.m) * sh.k);
      std::vector<Bind> joined{{0, h.buffer(x)}};
      shaders::MatvecParams jp{.k = sh.k, .extra_parts = uint32_t(sh.n.size() - 1)};
      std::vector<mtl::BufferRef> outs;
      for (size_t i = 0; i < sh.n.size(); ++i) {
        const uint32_t n = sh.n[i];
        uint64_t rb = 0;
        const auto w = h.buffer(random_q8(g, n, sh.k, &rb));
        const auto bias = h.buffer(random_values<half>(g, n));
        const bool has_bias = (sh.bias >> i & 1) != 0;
        auto alone = h.zeros(uint64_t(sh.m) * n * 4);
        outs.push_back(h.zeros(uint64_t(sh.m) * n * 4));
        const shaders::MatvecParams p{.rows = n, .k = sh.k, .has_bias = has_bias, .row_bytes = uint32_t(rb)};
        o.error += h.run<A, Kernel::matmul_q8>({{0, joined[0].buffer}, {1, w}, {2, alone}, {4, bias}}, p,
                                               mtl::Size3{1, sh.m, 1}, true);
        for (float v : KernelHarness::read<float>(alone, uint64_t(sh.m) * n)) o.want.push_back(v);
        const uint32_t at = i == 0 ? 1 : uint32_t(2 + 3 * i);
        joined.push_back({at, w});
        joined.push_back({i == 0 ? 2 : at + 1, outs.back()});
        joined.push_back({i == 0 ? 4 : at + 2, bias});
        jp.row_bytes = uint32_t(rb);
        if (i == 0) {
          jp.rows = n;
          jp.has_bias = has_bias;
        } else {
          jp.part_rows[i - 1] = n;
          jp.part_has_bias |= uint32_t(has_bias) << (i - 1);
        }
      }
      o.error += h.run<A, Kernel::matmul_q8>(joined, jp, mtl::Size3{1, sh.m, 1}, true);
      for (size_t i = 0; i < sh.n.size(); ++i)
        for (float v : KernelHarness::read<float>(outs[i], uint64_t(sh.m) * sh.n[i])) o.got.push_back(v);
    }
  }
  (void)h;
  (void)g;
  return o;
}

// "matmul_q8" with a residual add, or a gated block's SiLU and multiply,
// in its output step: the bits of the plain products followed by the
// "pointwise" kernels. More rows than a chunk and not whole tiles, partial
// last panels, depths of one and of several blocks, and a depth whose
// groups of panels are narrower than the product.
template <class A>
Outcome matmul_q8_folds(KernelHarness& h, Lcg& g) {
  Outcome o;
  if constexpr (sizeof(A) == 4) {
    for (const auto [m, n, k, bias] : {std::array<uint32_t, 4>{30, 200, 576, 1}, std::array<uint32_t, 4>{9, 40, 64, 0},
                                       std::array<uint32_t, 4>{50, 136, 2048, 1}}) {
      const uint64_t out = uint64_t(m) * n;
      const auto x = h.buffer(random_values<float>(g, uint64_t(m) * k));
      const auto residual = h.buffer(random_values<float>(g, out));
      uint64_t rb = 0;
      const mtl::BufferRef w[2] = {h.buffer(random_q8(g, n, k, &rb)), h.buffer(random_q8(g, n, k, &rb))};
      const mtl::BufferRef b[2] = {h.buffer(random_values<half>(g, n)), h.buffer(random_values<half>(g, n))};
      shaders::MatvecParams p{.rows = n, .k = k, .has_bias = bias, .row_bytes = uint32_t(rb)};
      const mtl::Size3 grid{1, m, 1};
      mtl::BufferRef alone[2];
      for (int i = 0; i < 2; ++i) {
        alone[i] = h.zeros(out * 4);
        o.error += h.run<A, Kernel::matmul_q8>({{0, x}, {1, w[i]}, {2, alone[i]}, {4, b[i]}}, p, grid, true);
      }
      auto pointwise = [&](mtl::BufferRef a, mtl::BufferRef c, uint32_t op) {
        auto y = h.zeros(out * 4);
        o.error += h.run<A, Kernel::pointwise>({{0, a}, {1, c}, {2, y}}, {.count = uint32_t(out), .operand_count = uint32_t(out), .op = op},
                                               threads(out), false);
        return y;
      };
      for (mtl::BufferRef want : {pointwise(residual, alone[0], shaders::kPointwiseAdd),
                                  pointwise(pointwise(alone[0], alone[0], shaders::kPointwiseSilu), alone[1],
                                            shaders::kPointwiseMul)})
        for (float v : KernelHarness::read<float>(want, out)) o.want.push_back(v);
      auto y = h.zeros(out * 4);
      p.output = shaders::kMatvecResidual;
      o.error += h.run<A, Kernel::matmul_q8>({{0, x}, {1, w[0]}, {2, y}, {4, b[0]}, {5, residual}}, p, grid, true);
      for (float v : KernelHarness::read<float>(y, out)) o.got.push_back(v);
      y = h.zeros(out * 4);
      p.output = shaders::kMatvecSwiglu;
      p.extra_parts = 1;
      p.part_rows[0] = n;
      p.part_has_bias = bias;
      o.error += h.run<A, Kernel::matmul_q8>({{0, x}, {1, w[0]}, {2, y}, {4, b[0]}, {5, w[1]}, {6, y}, {7, b[1]}}, p,
                                             grid, true);
      for (float v : KernelHarness::read<float>(y, out)) o.got.push_back(v);
    }
  }
  (void)h;
  (void)g;
  return o;
}

// Normalisation and rotary embedding.

template <class A>
Outcome norms(KernelHarness& h, Lcg& g) {
  Outcome o;
  o.ulps = 3;
  for (const bool rms : {true, false}) {
    const uint64_t rows = 3, n = rms ? 576 : 100;
    const float eps = 1e-5f;
    const auto x = random_values<A>(g, rows * n, -3, 3);
    const auto w = random_values<half>(g, n, 0.5f, 1.5f), b = random_values<half>(g, n);
    auto y = h.zeros(rows * n * sizeof(A));
    o.error += h.run<A, Kernel::norm>({{0, h.buffer(x)}, {1, h.buffer(w)}, {2, y}, {4, h.buffer(b)}},
                                      {.n = uint32_t(n), .rms = rms, .epsilon = eps}, threads(rows), true);
    for (float v : read<A>(y, rows * n)) o.got.push_back(v);
    for (uint64_t r = 0; r < rows; ++r) {
      double mean = 0, moment = 0;
      for (uint64_t c = 0; c < n; ++c) mean += to_float(x[r * n + c]) / double(n);
      for (uint64_t c = 0; c < n; ++c) {
        const double v = to_float(x[r * n + c]) - (rms ? 0 : mean);
        moment += v * v / double(n);
      }
      const double scale = 1 / std::sqrt(moment + eps);
      for (uint64_t c = 0; c < n; ++c) {
        const double v = to_float(x[r * n + c]);
        o.want.push_back(rms ? rA<A>(rA<A>(v * scale) * to_float(w[c]))
                             : rA<A>((v - mean) * scale * to_float(w[c]) + to_float(b[c])));
        // v - mean cancels: the float form is good to (|v| + |mean|) eps.
        o.magnitude.push_back(rms ? 0 : (std::fabs(v) + std::fabs(mean)) * scale * std::fabs(to_float(w[c])));
      }
    }
  }
  // rope, one dispatch after another: threads keep their tables across
  // dispatches, so a new theta, d or position must not meet stale ones.
  struct RopeCase {
    uint64_t heads, d;
    float theta;
    std::vector<int64_t> positions;
  };
  const RopeCase ropes[] = {{3, 8, 10000, {0, 5, 100, 2047}},
                            {3, 8, 10000, {5, 5, 7, 7}},
                            {1, 8, 500000, {7, 100}},
                            {2, 16, 500000, {100, 3}},
                            {2, 16, 500000, {3, 3, 3}},
                            {3, 8, 10000, {9}}};
  for (const RopeCase& rc : ropes) {
    const uint64_t heads = rc.heads, d = rc.d, rows = rc.positions.size(), count = rows * heads * d;
    const std::vector<int64_t>& positions = rc.positions;
    const auto x = random_values<A>(g, count);
    const float theta = rc.theta;
    auto y = h.zeros(count * sizeof(A));
    o.error += h.run<A, Kernel::rope>({{0, h.buffer(x)}, {1, h.buffer(positions)}, {2, y}},
                                      {.count = uint32_t(count), .head_dim = uint32_t(d), .heads = uint32_t(heads), .theta = theta},
                                      threads(count), false);
    for (float v : read<A>(y, count)) o.got.push_back(v);
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t c = i % d, base = i - c;
      // The angle is a float product of float terms by definition.
      const float angle =
          float(positions[i / (heads * d)]) * std::pow(theta, -2.0f * float(c % (d / 2)) / float(d));
      const double first = rA<A>(to_float(x[i]) * rA<A>(std::cos(double(angle))));
      const double second = rA<A>((c < d / 2 ? -1 : 1) * double(to_float(x[base + (c + d / 2) % d])) *
                                  rA<A>(std::sin(double(angle))));
      o.want.push_back(rA<A>(first + second));
      o.magnitude.push_back(0);
    }
    // One row with its heads spaced apart (a KV cache's new row): the same
    // values where the stride puts each head.
    if (rows == 1) {
      const uint64_t stride = d + 3, n = (heads - 1) * stride + d;
      auto spaced = h.zeros(n * sizeof(A));
      o.error += h.run<A, Kernel::rope>({{0, h.buffer(x)}, {1, h.buffer(positions)}, {2, spaced}},
                                        {.count = uint32_t(count),
                                         .head_dim = uint32_t(d),
                                         .heads = uint32_t(heads),
                                         .head_stride = uint32_t(stride),
                                         .theta = theta},
                                        threads(count), false);
      const std::vector<float> all = read<A>(spaced, n), packed = read<A>(y, count);
      for (uint64_t i = 0; i < count; ++i) {
        o.got.push_back(all[i / d * stride + i % d]);
        o.want.push_back(packed[i]);
        o.magnitude.push_back(0);
      }
    }
  }
  return o;
}

// Attention: scores, softmax and values against one reference.

struct AttentionShape {
  uint32_t b, hq, hk, d, s, total, stride;
  bool causal;
};

template <class A>
struct AttentionInputs {
  std::vector<A> q, k, v, mask;
  AttentionInputs(Lcg& g, const AttentionShape& a)
      : q(random_values<A>(g, uint64_t(a.b) * a.s * a.hq * a.d)),
        k(random_values<A>(g, uint64_t(a.b) * a.hk * a.stride * a.d)),
        v(random_values<A>(g, uint64_t(a.b) * a.hk * a.stride * a.d)),
        mask(random_values<A>(g, uint64_t(a.b) * a.s * a.total, -2, 0)) {}
  double mask_term(const AttentionShape& a, uint32_t b, uint32_t r, uint32_t c) const {
    if (a.causal) return int(c) > int(a.total) - int(a.s) + int(r) ? shaders::kMaskedScore<A> : 0.0;
    return to_float(mask[(uint64_t(b) * a.s + r) * a.total + c]);
  }
  double score(const AttentionShape& a, uint32_t b, uint32_t r, uint32_t head, uint32_t j,
               double inv_sqrt_d) const {
    const uint32_t kh = head / (a.hq / a.hk);
    double dot = 0;
    for (uint32_t c = 0; c < a.d; ++c)
      dot += double(to_float(q[((uint64_t(b) * a.s + r) * a.hq + head) * a.d + c])) *
             to_float(k[((uint64_t(b) * a.hk + kh) * a.stride + j) * a.d + c]);
    return rA<A>(rA<A>(rA<A>(dot) * inv_sqrt_d) + mask_term(a, b, r, j));
  }
};

// Runs the attention path the graph picks for a's shape over `in` and
// returns its output: the tiled kernels (their probabilities into
// *probabilities), "attention_decode64" or "attention". Errors add to *error.
template <class A>
std::vector<A> attend(KernelHarness& h, const AttentionShape& a, const AttentionInputs<A>& in, std::string* error,
                      std::vector<A>* probabilities = nullptr) {
  const shaders::AttentionParams p{.query_heads = a.hq,
                                   .kv_heads = a.hk,
                                   .head_dim = a.d,
                                   .queries = a.s,
                                   .keys = a.total,
                                   .kv_stride = a.stride,
                                   .causal = a.causal};
  const uint64_t out_count = uint64_t(a.b) * a.s * a.hq * a.d, z = uint64_t(a.b) * a.hq;
  auto bq = h.buffer(in.q), bk = h.buffer(in.k), bv = h.buffer(in.v), bm = h.buffer(in.mask);
  auto y = h.zeros(out_count * sizeof(A));
  if (a.s >= 32 || a.total > shaders::kAttentionMaxKeys) {
    auto scores = h.zeros(z * a.s * a.total * sizeof(A));
    *error += h.run<A, Kernel::attention_scores>({{0, bq}, {1, bk}, {2, scores}, {4, bm}}, p,
                                                 mtl::Size3{(a.total + 31) / 32, (a.s + 31) / 32, z}, true);
    *error += h.run<A, Kernel::attention_softmax>({{0, scores}}, p, threads(z * a.s), true);
    *error += h.run<A, Kernel::attention_values>({{0, scores}, {1, bv}, {2, y}}, p,
                                                 mtl::Size3{(a.d + 31) / 32, (a.s + 31) / 32, z}, true);
    if (probabilities != nullptr) *probabilities = KernelHarness::read<A>(scores, z * a.s * a.total);
  } else {
    const std::vector<Bind> binds{{0, bq}, {1, bk}, {2, y}, {4, bv}, {5, bm}};
    const mtl::Size3 groups = threads(uint64_t(a.b) * a.s * a.hq);
    *error += a.d == 64 && a.s == 1 ? h.run<A, Kernel::attention_decode64>(binds, p, groups, true)
                                    : h.run<A, Kernel::attention>(binds, p, groups, true);
  }
  return KernelHarness::read<A>(y, out_count);
}

// The tiled path (scores, softmax, values) and the single kernel against the
// reference: each row's scores, their softmax rounded to A, then the
// probability-weighted values.
template <class A>
Outcome attentions(KernelHarness& h, Lcg& g) {
  Outcome o;
  o.ulps = 4;
  for (const AttentionShape a :
       {AttentionShape{2, 4, 2, 40, 33, 40, 45, false}, AttentionShape{1, 2, 1, 24, 35, 70, 70, true},
        AttentionShape{2, 4, 2, 24, 3, 9, 12, true}, AttentionShape{2, 3, 3, 8, 2, 5, 5, false},
        AttentionShape{2, 4, 1, 64, 1, 100, 120, false}, AttentionShape{1, 3, 1, 64, 1, 37, 40, true},
        // Grouped heads across the decode kernel's key blocks, at its 2,048
        // keys and past them (the tiled path for one query row).
        AttentionShape{1, 9, 3, 64, 1, 129, 130, true}, AttentionShape{1, 6, 2, 64, 1, 2048, 2048, false},
        // A step's context, not a whole number of key blocks.
        AttentionShape{1, 9, 3, 64, 1, 1057, 1090, false},
        // More key heads in a decode than the kernel counts without memory
        // of its own.
        AttentionShape{3, 12, 4, 64, 1, 300, 301, false},
        // One query head per key head, fewer keys than SIMD groups.
        AttentionShape{2, 2, 2, 64, 1, 3, 5, true},
        // Six query heads on one key head.
        AttentionShape{1, 6, 1, 64, 1, 133, 140, false},
        AttentionShape{1, 9, 3, 64, 1, 2049, 2051, true}}) {
    const AttentionInputs<A> in(g, a);
    for (const A& v : attend(h, a, in, &o.error)) o.got.push_back(to_float(v));
    const double inv = 1 / std::sqrt(double(a.d));
    for (uint32_t b = 0; b < a.b; ++b)
      for (uint32_t r = 0; r < a.s; ++r)
        for (uint32_t head = 0; head < a.hq; ++head) {
          std::vector<double> sc(a.total);
          double max = -INFINITY, sum = 0;
          for (uint32_t j = 0; j < a.total; ++j) max = std::max(max, sc[j] = in.score(a, b, r, head, j, inv));
          for (uint32_t j = 0; j < a.total; ++j) sum += std::exp(sc[j] - max);
          for (uint32_t j = 0; j < a.total; ++j) sc[j] = rA<A>(std::exp(sc[j] - max) / sum);
          const uint32_t kh = head / (a.hq / a.hk);
          for (uint32_t c = 0; c < a.d; ++c) {
            std::vector<double> terms;
            for (uint32_t j = 0; j < a.total; ++j)
              terms.push_back(sc[j] * to_float(in.v[((uint64_t(b) * a.hk + kh) * a.stride + j) * a.d + c]));
            add_dot(o, terms, 0, sizeof(A) == 2);
          }
        }
  }
  {  // scale and mask of scores made elsewhere: batch 2 x heads 3, the mask row per batch entry
    const uint32_t B = 2, H = 3, s = 4, total = 6, d = 64;
    const auto x = random_values<A>(g, B * H * s * total, -8, 8),
               mask = random_values<A>(g, B * s * total, -2, 0);
    for (const bool causal : {false, true}) {
      auto y = h.zeros(x.size() * sizeof(A));
      o.error += h.run<A, Kernel::attention_scale_mask>(
          {{0, h.buffer(x)}, {1, h.buffer(mask)}, {2, y}},
          {.query_heads = H, .head_dim = d, .queries = s, .keys = total, .batch = B, .causal = causal},
          threads(x.size()), false);
      for (float v : read<A>(y, x.size())) o.got.push_back(v);
      for (uint64_t i = 0; i < x.size(); ++i) {
        const uint64_t c = i % total, r = i / total % s, z = i / (total * s);
        const double m = causal ? (c > total - s + r ? shaders::kMaskedScore<A> : 0.0)
                                : to_float(mask[(z / H * s + r) * total + c]);
        o.want.push_back(rA<A>(rA<A>(to_float(x[i]) * 0.125) + m));
        o.magnitude.push_back(0);
      }
    }
  }
  return o;
}

using CaseFn = Outcome (*)(KernelHarness&, Lcg&);
struct Case {
  const char* name;
  CaseFn half_fn, float_fn;
};
#define VORN_CASE(fn) \
  { #fn, fn < half>, fn < float> }
const Case kCases[] = {VORN_CASE(embeddings), VORN_CASE(layouts), VORN_CASE(elementwise), VORN_CASE(matvecs),
                       VORN_CASE(matvec_folds), VORN_CASE(matvec_ropes), VORN_CASE(matmuls),
                       VORN_CASE(matmul_q8_parts), VORN_CASE(matmul_q8_folds), VORN_CASE(norms),       VORN_CASE(attentions)};

void expect_matches(const Outcome& o, bool half, const char* name) {
  ASSERT_EQ(o.error, "") << name;
  ASSERT_EQ(o.got.size(), o.want.size()) << name;
  int bad = 0;
  for (size_t i = 0; i < o.got.size() && bad < 5; ++i) {
    const double m = i < o.magnitude.size() ? o.magnitude[i] : 0;
    const double tol =
        o.ulps * (half ? ulp<shaders::half>(o.want[i]) : ulp<float>(o.want[i])) + 8 * 0x1p-24 * m;
    if (std::isnan(o.want[i]) ? !std::isnan(o.got[i]) : std::fabs(o.got[i] - o.want[i]) > tol) {
      ADD_FAILURE() << name << (half ? " half" : " float") << " element " << i << ": got " << o.got[i]
                    << ", want " << o.want[i];
      ++bad;
    }
  }
}

TEST(GenerativeKernels, MatchTheirFormulas) {
  KernelHarness h;
  for (const Case& c : kCases) {
    Lcg g(17);
    expect_matches(c.half_fn(h, g), true, c.name);
    Lcg g2(17);
    expect_matches(c.float_fn(h, g2), false, c.name);
  }
}

// RMS norm rounds the normalised value to half before the weight multiplies
// it. With x = 1 and epsilon 1/4 the normalised value 0.894427 rounds to
// 0.89453125; a weight is picked for which rounding once instead gives
// another half, clear of any rounding boundary.
TEST(GenerativeKernels, RmsNormRoundsBeforeTheWeight) {
  const uint32_t n = 4;
  const double normalised = 1 / std::sqrt(1.25);
  const double rounded = round_to<half>(float(normalised));
  half weight{0};
  for (uint16_t bits = 0x3C00; bits < 0x4000 && weight.bits == 0; ++bits) {  // weights in [1, 2)
    const double w = to_float(half{bits});
    const double twice = rA<half>(rounded * w), once = rA<half>(normalised * w);
    const double spacing = ulp<half>(w);
    auto clear = [&](double v) { return std::fabs(std::fmod(v / spacing, 1.0) - 0.5) > 0.05; };
    if (twice != once && clear(rounded * w) && clear(normalised * w)) weight = half{bits};
  }
  ASSERT_NE(weight.bits, 0);
  KernelHarness h;
  const std::vector<half> x(n, from_float<half>(1)), w(n, weight), b(n, half{0});
  auto y = h.zeros(n * 2);
  ASSERT_EQ((h.run<half, Kernel::norm>({{0, h.buffer(x)}, {1, h.buffer(w)}, {2, y}, {4, h.buffer(b)}},
                                       {.n = n, .rms = 1, .epsilon = 0.25f}, threads(1), true)),
            "");
  EXPECT_EQ(to_float(KernelHarness::read<half>(y, 1)[0]), rA<half>(rounded * to_float(weight)));
}

// Dispatches the kernels refuse or fault on fail their command buffer with
// a reason and leave the output untouched.
TEST(GenerativeKernels, RefusalsFailTheCommandBuffer) {
  KernelHarness h;
  Lcg g(3);
  const auto one = random_values<half>(g, 2049 * 64 * 2);
  auto ones = h.buffer(one);
  auto ids = [&](std::vector<int64_t> v) { return h.buffer(v); };
  const shaders::AttentionParams beyond{
      .query_heads = 1, .kv_heads = 1, .head_dim = 64, .queries = 1, .keys = 2049, .kv_stride = 2049, .causal = 1};
  struct Row {
    const char* name;
    std::vector<Bind> binds;
    std::function<std::string(const std::vector<Bind>&)> run;
    const char* reason;
  };
  const Row rows[] = {
      {"attention beyond 2048 keys",
       {{0, ones}, {1, ones}, {2, h.zeros(128)}, {4, ones}},
       [&](const auto& b) { return h.run<half, Kernel::attention>(b, beyond, threads(1), true); },
       "2048"},
      {"decode beyond 2048 keys",
       {{0, ones}, {1, ones}, {2, h.zeros(128)}, {4, ones}},
       [&](const auto& b) { return h.run<half, Kernel::attention_decode64>(b, beyond, threads(1), true); },
       "2048"},
      {"embedding id -1",
       {{0, ids({3, -1})}, {1, h.buffer(std::vector<half>(40))}, {2, h.zeros(16)}},
       [&](const auto& b) { return h.run<half, Kernel::embedding>(b, {.count = 8, .columns = 4}, threads(8), false); },
       "outside the table"},
      {"embedding id = vocab",
       {{0, ids({10})}, {1, h.buffer(std::vector<half>(40))}, {2, h.zeros(8)}},
       [&](const auto& b) { return h.run<half, Kernel::embedding>(b, {.count = 4, .columns = 4}, threads(4), false); },
       "outside the table"},
      {"direct product of a partial tile",
       {{0, h.zeros(64 * 32 * 4)}, {1, ones}, {2, h.zeros(64 * 96 * 4)}},
       [&](const auto& b) {
         return h.run<half, Kernel::matmul_direct64>(b, {.m = 64, .n = 96, .k = 32}, mtl::Size3{2, 1, 1}, true);
       },
       "multiple of 64"},
      {"Q8 product of four parts",
       {{0, ones}, {1, ones}, {2, h.zeros(64)}},
       [&](const auto& b) {
         return h.run<float, Kernel::matmul_q8>(b, {.rows = 2, .k = 64, .row_bytes = 68, .extra_parts = 3},
                                                mtl::Size3{1, 1, 1}, true);
       },
       "three parts"},
      {"Q8 second part's weights too short",
       {{0, ones}, {1, ones}, {2, h.zeros(64)}, {4, ones}, {5, h.zeros(100)}, {6, h.zeros(64)}},
       [&](const auto& b) {
         return h.run<float, Kernel::matmul_q8>(
             b, {.rows = 2, .k = 64, .row_bytes = 68, .extra_parts = 1, .part_rows = {2, 0}}, mtl::Size3{1, 1, 1},
             true);
       },
       "index 5 holds"},
      {"Q8 residual step's residual too short",
       {{0, ones}, {1, ones}, {2, h.zeros(64)}, {4, ones}, {5, h.zeros(4)}},
       [&](const auto& b) {
         return h.run<float, Kernel::matmul_q8>(
             b, {.rows = 2, .k = 64, .row_bytes = 68, .output = shaders::kMatvecResidual}, mtl::Size3{1, 2, 1}, true);
       },
       "index 5 holds"},
      {"Q8 gated step of one part",
       {{0, ones}, {1, ones}, {2, h.zeros(64)}, {4, ones}},
       [&](const auto& b) {
         return h.run<float, Kernel::matmul_q8>(
             b, {.rows = 2, .k = 64, .row_bytes = 68, .output = shaders::kMatvecSwiglu}, mtl::Size3{1, 1, 1}, true);
       },
       "same width"},
      {"matvec weights too short",
       {{0, ones}, {1, h.zeros(100)}, {2, h.zeros(64)}},
       [&](const auto& b) { return h.run<half, Kernel::matvec>(b, {.rows = 4, .k = 64}, threads(128), false); },
       "index 1 holds"},
      {"matvec rope heads not whole",
       {{0, ones}, {1, ones}, {2, h.zeros(64)}, {5, ones}},
       [&](const auto& b) {
         return h.run<half, Kernel::matvec>(
             b, {.rows = 6, .k = 64, .output = shaders::kMatvecRope, .rope_head_dim = 4, .theta = 1e4f}, threads(192),
             false);
       },
       "whole heads"},
      {"matvec rope heads beyond the table",
       {{0, ones}, {1, ones}, {2, h.zeros(1024)}, {5, ones}},
       [&](const auto& b) {
         return h.run<half, Kernel::matvec>(
             b, {.rows = 512, .k = 64, .output = shaders::kMatvecRope, .rope_head_dim = 512, .theta = 1e4f},
             threads(32 * 512), false);
       },
       "whole heads"},
  };
  for (const Row& r : rows) {
    const std::string error = r.run(r.binds);
    EXPECT_NE(error.find(r.reason), std::string::npos) << r.name << ": " << error;
    const auto out = KernelHarness::read<uint8_t>(r.binds[2].buffer, 8);
    if (!std::string(r.name).starts_with("embedding")) {
      EXPECT_EQ(out, std::vector<uint8_t>(8, 0)) << r.name;
    }
  }
}

template <class A>
uint32_t bits_of(A v) {
  uint32_t b = 0;
  std::memcpy(&b, &v, sizeof v);
  return b;
}

// Query heads that share a key head read its keys and values once, with
// the work of a group spread over the threads: each head's output is still,
// bit for bit, what the head computes alone against its key head.
template <class A>
void grouped_heads_match_each_head_alone(KernelHarness& h) {
  Lcg g(29);
  for (const AttentionShape a :
       {AttentionShape{2, 9, 3, 64, 1, 300, 310, false}, AttentionShape{1, 9, 3, 64, 1, 2048, 2048, true},
        AttentionShape{1, 9, 3, 64, 1, 2100, 2100, true}, AttentionShape{1, 6, 2, 40, 40, 70, 72, true}}) {
    const AttentionInputs<A> in(g, a);
    std::string error;
    const std::vector<A> all = attend(h, a, in, &error);
    const uint32_t group = a.hq / a.hk;
    for (uint32_t b = 0; b < a.b; ++b)
      for (uint32_t head = 0; head < a.hq; ++head) {
        const AttentionShape one{1, 1, 1, a.d, a.s, a.total, a.stride, a.causal};
        AttentionInputs<A> alone(g, one);
        for (uint32_t r = 0; r < a.s; ++r)
          std::copy_n(in.q.begin() + ((uint64_t(b) * a.s + r) * a.hq + head) * a.d, a.d, alone.q.begin() + r * a.d);
        const uint64_t kv = (uint64_t(b) * a.hk + head / group) * a.stride * a.d;
        std::copy_n(in.k.begin() + kv, a.stride * a.d, alone.k.begin());
        std::copy_n(in.v.begin() + kv, a.stride * a.d, alone.v.begin());
        std::copy_n(in.mask.begin() + uint64_t(b) * a.s * a.total, a.s * a.total, alone.mask.begin());
        const std::vector<A> single = attend(h, one, alone, &error);
        for (uint32_t r = 0; r < a.s; ++r)
          for (uint32_t c = 0; c < a.d; ++c)
            ASSERT_EQ(bits_of(all[((uint64_t(b) * a.s + r) * a.hq + head) * a.d + c]),
                      bits_of(single[r * a.d + c]))
                << a.hq << "/" << a.hk << " heads, " << a.total << " keys: head " << head << " row " << r
                << " channel " << c;
      }
    EXPECT_EQ(error, "");
  }
}

TEST(GenerativeKernels, AttentionPartsOnAllThreadsMatchEachHeadAlone) {
  KernelHarness h;
  grouped_heads_match_each_head_alone<half>(h);
  grouped_heads_match_each_head_alone<float>(h);
}

// Under the causal rule the softmax skips the exponentials of the columns a
// row cannot see, and the values the keys no row of a part sees, only where
// they would add exact zeros: the same rows without the causal flag (which
// compute every column and every key) give the same bits, whether the hidden
// columns hold masked scores, values near the row's maximum, NaN or
// infinity, and with infinite values behind the hidden keys. Rows cross the
// 32-row tiles and the 128-column blocks.
template <class A>
void causal_skipping_changes_no_bit(KernelHarness& h) {
  Lcg g(31);
  for (const auto& [s, total] : {std::pair{32u, 32u}, std::pair{33u, 33u}, std::pair{64u, 69u}, std::pair{40u, 300u}}) {
    const uint32_t rows = 2 * s;
    for (const float hidden : {shaders::kMaskedScore<A>, -20.0f, 5.0f, float(NAN), float(INFINITY)}) {
      std::vector<A> x = random_values<A>(g, uint64_t(rows) * total, -8, 8);
      for (uint32_t row = 0; row < rows; ++row)
        for (uint32_t c = total - s + row % s + 1; c < total; ++c)
          if (std::isnan(hidden) ? c == total - 1 && row % 3 == 0 : (c + row) % 2 == 0)
            x[uint64_t(row) * total + c] = from_float<A>(hidden);
      std::vector<A> out[2];
      for (const uint32_t causal : {0u, 1u}) {
        auto b = h.buffer(x);
        ASSERT_EQ((h.run<A, Kernel::attention_softmax>({{0, b}}, {.queries = s, .keys = total, .causal = causal},
                                                       threads(rows), true)),
                  "");
        out[causal] = KernelHarness::read<A>(b, x.size());
      }
      ASSERT_EQ(std::memcmp(out[0].data(), out[1].data(), x.size() * sizeof(A)), 0)
          << "softmax, s " << s << ", total " << total << ", hidden " << hidden;
    }
    for (const bool poison : {false, true}) {
      const AttentionShape a{1, 6, 2, 64, s, total, total, true};
      AttentionInputs<A> in(g, a);
      if (poison)  // infinities behind keys the first rows do not see
        for (uint64_t i = (total - s + 1) * a.d; i < uint64_t(total) * a.d; i += 5) in.v[i] = from_float<A>(INFINITY);
      std::vector<A> probabilities;
      std::string error;
      const std::vector<A> causal = attend(h, a, in, &error, &probabilities);
      ASSERT_EQ(error, "");
      const uint64_t z = uint64_t(a.b) * a.hq, out_count = z * a.s * a.d;
      auto y = h.zeros(out_count * sizeof(A));
      ASSERT_EQ((h.run<A, Kernel::attention_values>(
                    {{0, h.buffer(probabilities)}, {1, h.buffer(in.v)}, {2, y}},
                    {.query_heads = a.hq, .kv_heads = a.hk, .head_dim = a.d, .queries = s, .keys = total,
                     .kv_stride = total, .causal = 0},
                    mtl::Size3{2, (s + 31) / 32, z}, true)),
                "");
      const std::vector<A> full = KernelHarness::read<A>(y, out_count);
      ASSERT_EQ(std::memcmp(causal.data(), full.data(), out_count * sizeof(A)), 0)
          << "values, s " << s << ", total " << total << (poison ? ", infinite values" : "");
    }
  }
}

TEST(GenerativeKernels, CausalSkippingChangesNoBit) {
  KernelHarness h;
  causal_skipping_changes_no_bit<half>(h);
  causal_skipping_changes_no_bit<float>(h);
}

// A masked score is the most negative finite value, not minus infinity.
TEST(GenerativeKernels, MaskedScoresAreFinite) {
  KernelHarness h;
  // s 2: row 0 cannot see key 1.
  const shaders::AttentionParams hidden{
      .query_heads = 1, .head_dim = 64, .queries = 2, .keys = 2, .batch = 1, .causal = 1};
  auto y16 = h.zeros(8), y32 = h.zeros(16);
  ASSERT_EQ((h.run<half, Kernel::attention_scale_mask>({{0, h.buffer(std::vector<half>(4))}, {1, y16}, {2, y16}},
                                                       hidden, threads(4), false)),
            "");
  ASSERT_EQ((h.run<float, Kernel::attention_scale_mask>({{0, h.buffer(std::vector<float>(4))}, {1, y32}, {2, y32}},
                                                        hidden, threads(4), false)),
            "");
  EXPECT_EQ(to_float(KernelHarness::read<half>(y16, 2)[1]), -65504.0f);
  EXPECT_EQ(KernelHarness::read<float>(y32, 2)[1], -3.402823466e38f);
}

// Floats whose round_to_half differs from the conversion to half and back,
// among 2^-14 to 65504 of either sign, and 0: eight bit patterns a step,
// the last step's lanes clamped to 65504.
template <class Round>
__attribute__((target("avx2,f16c"))) uint64_t half_rounding_mismatches(Round round) {
  uint32_t lo, hi;
  const float range[2] = {0x1p-14f, 65504.0f};
  std::memcpy(&lo, &range[0], 4);
  std::memcpy(&hi, &range[1], 4);
  const __m256i step = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), last = _mm256_set1_epi32(int(hi));
  uint64_t bad = 0;
  for (const uint32_t sign : {0u, 0x80000000u, 1u}) {
    for (uint32_t b = sign == 1 ? 0 : lo; b <= (sign == 1 ? 0 : hi); b += 8) {
      __m256i bits = _mm256_min_epu32(_mm256_add_epi32(_mm256_set1_epi32(int(b)), step), last);
      if (sign == 1) bits = _mm256_setzero_si256();
      const __m256 v = _mm256_castsi256_ps(_mm256_or_si256(bits, _mm256_set1_epi32(int(sign & 0x80000000u))));
      const __m256 want = _mm256_cvtph_ps(_mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
      const __m256i same = _mm256_cmpeq_epi32(_mm256_castps_si256(want), _mm256_castps_si256(round(v)));
      bad += 8 - std::popcount(unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(same))));
    }
  }
  return bad;
}

struct RoundAvx2 {
  __attribute__((target("avx2,fma"))) __m256 operator()(__m256 v) const { return shaders::round_to_half(v); }
};
struct RoundAvx512 {
  __attribute__((target("avx512f"))) __m256 operator()(__m256 v) const {
    float lanes[16] = {};
    _mm256_storeu_ps(lanes, v);
    _mm512_storeu_ps(lanes, shaders::round_to_half(_mm512_loadu_ps(lanes)));
    return _mm256_loadu_ps(lanes);
  }
};

uint64_t digest(const std::vector<float>& v, uint64_t hash) {
  for (float f : v) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    hash = (hash ^ bits) * 0x100000001b3ull;
  }
  return hash;
}

uint64_t digest_all(KernelHarness& h) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const Case& c : kCases) {
    Lcg g(5), g2(5);
    hash = digest(c.half_fn(h, g).got, hash);
    hash = digest(c.float_fn(h, g2).got, hash);
  }
  return hash;
}

TEST(GenerativeKernels, VectorFormsGiveThePortableBits) {
  KernelHarness h;
  const uint64_t widest = digest_all(h);
  uint64_t avx2 = 0, portable = 0;
  {
    const IsaCap cap(KernelIsa::kAvx2);  // AVX2 even where AVX-512 is there
    avx2 = digest_all(h);
  }
  {
    const IsaCap cap(KernelIsa::kPortable);
    portable = digest_all(h);
  }
  EXPECT_EQ(widest, portable);
  EXPECT_EQ(avx2, portable);
}

// The Q8 products' rounding of a weight to half without leaving float,
// against the round trip through half, over every float of its range.
TEST(GenerativeKernels, HalfRoundingInFloatMatchesTheConversion) {
  if (!cpu_has_avx2_f16c() || !cpu_has_avx2_fma()) GTEST_SKIP() << "no AVX2 with FMA";
  EXPECT_EQ(half_rounding_mismatches(RoundAvx2{}), 0u);
  if (cpu_has_avx512f()) {
    EXPECT_EQ(half_rounding_mismatches(RoundAvx512{}), 0u);
  }
}

// The softmax's division of a row by its sum through a reciprocal and two
// corrections, against the division: sums at and past the ends of the
// corrected range, values around its ends and out of it (each in a vector
// of values that are all in it, and mixed), and every 256th float from
// 2^-42 to 1, in each vector form.
TEST(GenerativeKernels, RowQuotientsAreTheDivisionsBits) {
  if (!cpu_has_avx2_f16c() || !cpu_has_avx2_fma()) GTEST_SKIP() << "no AVX2 with FMA";
  const float sums[] = {1.0f, std::nextafter(1.0f, 2.0f), 1.5f, 3.0f, 1023.99994f, 0x1p24f,
                        std::nextafter(0x1p24f, INFINITY), std::nextafter(1.0f, 0.0f), INFINITY, NAN};
  const float edges[] = {0.0f, -0.0f, 0x1p-149f, std::nextafter(0x1p-40f, 0.0f), 0x1p-40f, 0.5f, 1.0f, 0x1p24f,
                         std::nextafter(0x1p24f, INFINITY), INFINITY, NAN, -0.25f};
  std::vector<float> row;
  for (float e : edges) {
    row.insert(row.end(), 15, 0.75f);  // a vector of one edge value among values in range
    row.push_back(e);
    row.insert(row.end(), 16, e);
  }
  for (uint32_t b = std::bit_cast<uint32_t>(0x1p-42f); b <= std::bit_cast<uint32_t>(1.0f); b += 256)
    row.push_back(std::bit_cast<float>(b));
  row.push_back(0.3f);  // a tail after the whole vectors
  for (const float sum : sums) {
    std::vector<std::vector<float>> got;
    // (The forms themselves take sums in the range only; divide_row checks.)
    for (bool avx512 : {false, true}) {
      if ((avx512 && !cpu_has_avx512f()) || !(sum >= 1.0f && sum <= 0x1p24f)) continue;
      std::vector<float> x = row;
      const float r = 1.0f / sum;
      uint64_t j = avx512 ? shaders::divide_avx512(x.data(), x.size(), sum, r)
                          : shaders::divide_avx2(x.data(), x.size(), sum, r);
      for (; j < x.size(); ++j) x[j] = x[j] / sum;
      got.push_back(std::move(x));
    }
    std::vector<float> x = row;
    shaders::divide_row(x.data(), x.size(), sum, true);
    got.push_back(std::move(x));
    for (const std::vector<float>& g : got) {
      int bad = 0;
      for (size_t i = 0; i < row.size() && bad < 3; ++i) {
        const float want = row[i] / sum;
        if (std::bit_cast<uint32_t>(g[i]) != std::bit_cast<uint32_t>(want) && !(std::isnan(want) && std::isnan(g[i]))) {
          ADD_FAILURE() << row[i] << " / " << sum << ": got " << g[i] << ", want " << want;
          ++bad;
        }
      }
    }
  }
}

// The Q8 products' check of a block's scale, asked of its bits, against
// the range written out: 2^-14 to 65504 / 128, ends included.
TEST(GenerativeKernels, HalfNormalBlockTakesTheScaleRange) {
  const float top = 65504.0f / 128.0f;
  const struct {
    float scale;
    bool normal;
  } cases[] = {{0x1p-14f, true},
               {std::nextafter(0x1p-14f, 0.0f), false},
               {top, true},
               {std::nextafter(top, 1e9f), false},
               {0.01f, true},
               {0.0f, false},
               {-0.0f, false},
               {-0.01f, false},
               {-top, false},
               {INFINITY, false},
               {-INFINITY, false},
               {NAN, false},
               {-NAN, false}};
  for (const auto& c : cases)
    EXPECT_EQ(shaders::half_normal_block(std::bit_cast<uint32_t>(c.scale)), c.normal) << c.scale;
}

// The Q8 and attention products' own tiles against panel_gemm, bit for bit,
// in the widest form and in the AVX2 one: rows past whole tiles, an odd
// panel, a partial last panel, depths with a short last block or a tail of
// a few values, a rectangle not starting at row or panel zero, C rows far
// apart, and values that give -0, infinities and NaN.
TEST(GenerativeKernels, PanelProductGivesPanelGemmBits) {
  struct Shape {
    int64_t m0, m1, k, n, p0, ldc_pad;
  };
  const Shape shapes[] = {{0, 8, 64, 32, 0, 0},    {0, 24, 576, 256, 0, 0}, {3, 30, 257, 80, 1, 16},
                          {0, 17, 1536, 45, 0, 0}, {8, 16, 9, 64, 2, 1008}, {0, 40, 300, 96, 0, 5},
                          // (Two rows below the AVX2 form's tiles of six, an odd
                          // whole panel and a partial one after the pairs.)
                          {0, 32, 576, 88, 1, 3},  {2, 10, 300, 112, 0, 0}};
  for (const bool avx2 : {false, true}) {
    std::optional<IsaCap> cap;
    if (avx2) cap.emplace(KernelIsa::kAvx2);
    for (const Shape& sh : shapes) {
      Lcg g(31);
      const int64_t ldc = sh.n + sh.ldc_pad;
      auto a = random_values<float>(g, uint64_t(sh.m1 * sh.k));
      auto b = random_values<float>(g, uint64_t(panel_floats(sh.k, sh.n)));
      a[uint64_t(sh.k + 1)] = INFINITY;
      a[uint64_t(2 * sh.k) % a.size()] = NAN;
      b[5] = -0.0f;
      const int64_t p1 = panel_count(sh.n);
      std::vector<float> want(uint64_t(sh.m1 * ldc), 7.0f), got = want;
      const PanelOperand bp = gathered_panels(b.data(), sh.k);
      panel_gemm(a.data(), sh.k, bp, sh.k, sh.n, want.data(), ldc, sh.m0, sh.m1, sh.p0, p1);
      shaders::panel_product(a.data(), sh.k, bp, sh.k, sh.n, got.data(), ldc, sh.m0, sh.m1, sh.p0, p1);
      EXPECT_EQ(std::memcmp(want.data(), got.data(), want.size() * sizeof(float)), 0)
          << (avx2 ? "AVX2 " : "") << "rows " << sh.m0 << ".." << sh.m1 << " k " << sh.k << " n " << sh.n;
    }
  }
}

TEST(GenerativeKernelCores, Child) {
  if (!in_pinned_child()) GTEST_SKIP() << "runs in the pinned children only";
  KernelHarness h;
  std::printf("ANSWER %016llx\n", static_cast<unsigned long long>(digest_all(h)));
}

TEST(GenerativeKernelCores, SameBitsWhateverTheCores) {
  const std::vector<int> counts = pinned_core_counts();
  const std::string first = run_pinned(counts[0], "GenerativeKernelCores.Child");
  ASSERT_NE(first, "");
  for (size_t i = 1; i < counts.size(); ++i)
    EXPECT_EQ(run_pinned(counts[i], "GenerativeKernelCores.Child"), first) << counts[i] << " cores";
}

}  // namespace
}  // namespace vorn::test
