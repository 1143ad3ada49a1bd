// Data movement, one thread per element and no arithmetic: "unfold" (image
// patches to rows), "attention_layout" (token-major <-> head-major),
// "shuffle" (space to depth), "scatter" (image features into token rows) and
// "cache_append" (the KV cache). All but "scatter" copy runs of elements
// that lie side by side on both ends whole: a patch row, a position's
// channels, a head's row of channels.
#include <cstring>

#include "gpu/shaders/kernels.h"

namespace vorn::shaders {

namespace {

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

// Runs body(i, n) over the group's threads below count, cut into pieces
// that stay inside one run of `run` consecutive elements: a row of a head
// moves as one copy instead of element by element.
template <class F>
void for_each_run(const mtl::KernelArgs& a, mtl::Size3 g, uint64_t count, uint64_t run, F&& body) {
  const ThreadRange t = threads_of(a, g);
  const uint64_t end = t.end < count ? t.end : count;
  for (uint64_t i = t.begin; i < end;) {
    const uint64_t left = run - i % run, n = left < end - i ? left : end - i;
    body(i, n);
    i += n;
  }
}

using mtl::sat_mul;

}  // namespace

// Patch p, n patches per side, C channels. Output row = one patch of one
// image, patches row-major over the n x n grid; inside a row channel, then
// patch row, then patch column.
template <class A>
void unfold(const mtl::KernelArgs& a, mtl::Size3 g) {
  const UnfoldParams& q = params<Kernel::unfold>(a);
  const uint64_t p = q.patch, n = q.patches_per_side, channels = q.channels;
  const uint64_t k = channels * p * p, side = n * p;
  const A* x = a.buffer<const A>(0);
  A* y = a.buffer<A>(2);
  // A patch row's p values lie side by side in the image: one copy each.
  for_each_run(a, g, q.count, p, [&](uint64_t i, uint64_t count) {
    const uint64_t row = i / k, lane = i % k;
    const uint64_t c = lane / (p * p), py = (lane / p) % p, px = lane % p;
    const uint64_t patch = row % (n * n), batch = row / (n * n);
    const uint64_t line = patch / n, col = patch % n;
    std::memmove(y + i, x + ((batch * channels + c) * side + line * p + py) * side + col * p + px, count * sizeof(A));
  });
}

template <class A>
bool unfold_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const UnfoldParams& q = params<Kernel::unfold>(a);
  const uint64_t p = q.patch, n = q.patches_per_side, channels = q.channels;
  if (p == 0 || n == 0 || channels == 0)
    return mtl::kernel_refuse("patch, patches per side and channels must be non-zero", e);
  const uint64_t images = ceil_div(ceil_div(q.count, sat_mul(channels, p * p)), n * n);
  return require_elements(a, 0, sat_mul(sat_mul(images, channels), sat_mul(n * p, n * p)), sizeof(A), e) &&
         require_elements(a, 2, q.count, sizeof(A), e);
}

// Elements of a [batch, heads, s, d] layout (heads: query_heads), direction
// 0 token-major x to head-major y, 1 back.
template <class A>
void attention_layout(const mtl::KernelArgs& a, mtl::Size3 g) {
  const AttentionParams& q = params<Kernel::attention_layout>(a);
  const uint64_t heads = q.query_heads, d = q.head_dim, s = q.queries, batch = q.batch;
  const A* x = a.buffer<const A>(0);
  A* y = a.buffer<A>(2);
  const bool back = q.direction == 1;
  for_each_run(a, g, batch * heads * s * d, d, [&](uint64_t i, uint64_t n) {
    const uint64_t c = i % d, t = (i / d) % s, head = (i / (d * s)) % heads, b = i / (d * s * heads);
    const uint64_t src = ((b * s + t) * heads + head) * d + c;
    if (back)
      std::memmove(y + src, x + i, n * sizeof(A));
    else
      std::memmove(y + i, x + src, n * sizeof(A));
  });
}

template <class A>
bool attention_layout_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const AttentionParams& q = params<Kernel::attention_layout>(a);
  const uint64_t count = sat_mul(sat_mul(q.batch, q.query_heads), sat_mul(q.queries, q.head_dim));
  return require_elements(a, 0, count, sizeof(A), e) && require_elements(a, 2, count, sizeof(A), e);
}

// Factor f, height h, width w, channels c: output row
// (batch, ro, co) over the (h/f) x (w/f) grid takes the f x f block of input
// rows, each lane (dy, dx, channel).
template <class A>
void shuffle(const mtl::KernelArgs& a, mtl::Size3 g) {
  const ShuffleParams& q = params<Kernel::shuffle>(a);
  const uint64_t f = q.factor, h = q.height, w = q.width, c = q.channels;
  const uint64_t lanes = c * f * f, per_image = (h / f) * (w / f);
  const A* x = a.buffer<const A>(0);
  A* y = a.buffer<A>(2);
  // The c channels of one input position move as one copy.
  for_each_run(a, g, q.count, c, [&](uint64_t i, uint64_t count) {
    const uint64_t lane = i % lanes, row = i / lanes;
    const uint64_t batch = row / per_image, r = row % per_image;
    const uint64_t ro = r / (w / f), co = r % (w / f);
    const uint64_t dy = lane / (c * f), dx = (lane / c) % f;
    std::memmove(y + i, x + ((batch * h + ro * f + dy) * w + co * f + dx) * c + lane % c, count * sizeof(A));
  });
}

template <class A>
bool shuffle_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const ShuffleParams& q = params<Kernel::shuffle>(a);
  const uint64_t f = q.factor, h = q.height, w = q.width, c = q.channels;
  if (f == 0 || c == 0 || h == 0 || w == 0 || h % f != 0 || w % f != 0)
    return mtl::kernel_refuse("factor must divide a non-empty height and width", e);
  const uint64_t images = ceil_div(ceil_div(q.count, sat_mul(c, f * f)), (h / f) * (w / f));
  return require_elements(a, 0, sat_mul(sat_mul(images, h * w), c), sizeof(A), e) &&
         require_elements(a, 2, q.count, sizeof(A), e);
}

// Row r takes the image row j whose position is r (the first such j), else
// its own row of x.
template <class A>
void scatter(const mtl::KernelArgs& a, mtl::Size3 g) {
  const ScatterParams& q = params<Kernel::scatter>(a);
  const uint64_t hidden = q.hidden, n = q.positions;
  const A* x = a.buffer<const A>(0);
  const A* images = a.buffer<const A>(1);
  A* y = a.buffer<A>(2);
  const int64_t* positions = a.buffer<const int64_t>(4);
  // The image row is looked up once per row, not once per element.
  uint64_t row = UINT64_MAX, source = 0;
  bool from_image = false;
  for_each_thread(a, g, q.count, [&](uint64_t i) {
    if (i / hidden != row) {
      row = i / hidden;
      from_image = false;
      for (uint64_t j = 0; j < n && !from_image; ++j) {
        if (positions[j] >= 0 && uint64_t(positions[j]) == row) {
          from_image = true;
          source = j;
        }
      }
    }
    y[i] = from_image ? images[source * hidden + i % hidden] : x[i];
  });
}

template <class A>
bool scatter_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const ScatterParams& q = params<Kernel::scatter>(a);
  if (q.hidden == 0) return mtl::kernel_refuse("hidden is 0", e);
  return require_elements(a, 0, q.count, sizeof(A), e) &&
         (q.positions == 0 || (require_elements(a, 1, sat_mul(q.positions, q.hidden), sizeof(A), e) &&
                               require_elements(a, 4, q.positions, 8, e))) &&
         require_elements(a, 2, q.count, sizeof(A), e);
}

// Element (b, h, t, c) of the written rows goes to ((b heads + h) stride +
// t) d + c; rows below past come from the past tensor (head-major, at its
// own past_stride), the rest from x (token-major).
template <class A>
void cache_append(const mtl::KernelArgs& a, mtl::Size3 g) {
  const CacheAppendParams& q = params<Kernel::cache_append>(a);
  const uint64_t d = q.head_dim, heads = q.heads, s = q.queries, past = q.past, stride = q.stride;
  const bool append = q.append == 1;
  const uint64_t past_stride = q.past_stride, written = append ? s : past + s;
  const A* x = a.buffer<const A>(0);
  const A* old = a.buffer<const A>(1);
  A* y = a.buffer<A>(2);
  for_each_run(a, g, q.count, d, [&](uint64_t i, uint64_t n) {
    const uint64_t c = i % d, tw = (i / d) % written, h = (i / (d * written)) % heads,
                   b = i / (d * written * heads);
    const uint64_t t = append ? tw + past : tw;
    const uint64_t target = ((b * heads + h) * stride + t) * d + c;
    const A* from = t < past ? old + ((b * heads + h) * past_stride + t) * d + c
                             : x + ((b * s + t - past) * heads + h) * d + c;
    std::memmove(y + target, from, n * sizeof(A));
  });
}

template <class A>
bool cache_append_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const CacheAppendParams& q = params<Kernel::cache_append>(a);
  const uint64_t d = q.head_dim, heads = q.heads, s = q.queries, past = q.past, stride = q.stride;
  const bool append = q.append == 1;
  const uint64_t written = append ? s : past + s;
  if (d == 0 || heads == 0 || written == 0)
    return mtl::kernel_refuse("d, heads and rows must be non-zero", e);
  if (stride < past + s) return mtl::kernel_refuse("stride below past + s", e);
  const uint64_t batch = ceil_div(q.count, sat_mul(sat_mul(d, written), heads));
  const uint64_t bh = sat_mul(batch, heads);
  if (!require_elements(a, 0, sat_mul(sat_mul(bh, s), d), sizeof(A), e)) return false;
  if (!append && past != 0) {
    if (q.past_stride < past) return mtl::kernel_refuse("past stride below past", e);
    if (!require_elements(a, 1, sat_mul(sat_mul(bh, q.past_stride), d), sizeof(A), e)) return false;
  }
  return require_elements(a, 2, sat_mul(sat_mul(bh, stride), d), sizeof(A), e);
}

VORN_INSTANTIATE_KERNEL(unfold)
VORN_INSTANTIATE_KERNEL(attention_layout)
VORN_INSTANTIATE_KERNEL(shuffle)
VORN_INSTANTIATE_KERNEL(scatter)
VORN_INSTANTIATE_KERNEL(cache_append)

}  // namespace vorn::shaders
