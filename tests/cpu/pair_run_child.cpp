// Child of pair_run_test, run under taskset at several core counts: builds
// each graph of the table, runs it in each kernel form (the widest this
// processor has, AVX2, portable, and the widest again from inside a loop of
// the pool), and prints one line per graph and form:
//   NAME/FORM planned=0|1 digest=HEX ref=ok|FAR stable=0|1
// (planned: the engine hands a run of its layers to two threads; digest of
// the output's bits; ref: the output against plain loops), then the CPU
// time the process used while idle after its runs:
//   idle cpu_ms=N
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "cpu/graph_builder.h"
#include "platform/cpu_features.h"
#include "platform/parallel.h"
#include "reference/random_data.h"

namespace vorn::test {
namespace {

// One layer: a convolution (bias, optional Relu behind it), a MaxPool or an
// Add of two earlier layers. `from` names the input layer (-1: the graph
// input, -2: the layer before).
struct Layer {
  char kind;  // 'c' conv, 'p' max pool, 'a' add
  uint64_t cout = 0, k = 1, stride = 1, pt = 0, pl = 0, pb = 0, pr = 0, dilation = 1, groups = 1;
  bool relu = false;
  int from = -2, from2 = -2;
};

Layer conv(uint64_t cout, uint64_t k, uint64_t stride, uint64_t pad, bool relu = false, uint64_t groups = 1) {
  Layer l{'c'};
  l.cout = cout, l.k = k, l.stride = stride, l.pt = l.pl = l.pb = l.pr = pad, l.relu = relu, l.groups = groups;
  return l;
}
Layer pool(uint64_t k, uint64_t stride, uint64_t pad) {
  Layer l{'p'};
  l.k = k, l.stride = stride, l.pt = l.pl = l.pb = l.pr = pad;
  return l;
}
Layer add(int a, int b) {
  Layer l{'a'};
  l.from = a, l.from2 = b;
  return l;
}
Layer from(Layer l, int layer) {
  l.from = layer;
  return l;
}

struct Case {
  const char* name;
  std::vector<uint64_t> input;  // C, H, W
  std::vector<Layer> layers;    // the last writes the graph output
};

Layer asym(Layer l, uint64_t pt, uint64_t pl, uint64_t pb, uint64_t pr) {
  l.pt = pt, l.pl = pl, l.pb = pb, l.pr = pr;
  return l;
}
Layer dilated(Layer l, uint64_t d) {
  l.dilation = d;
  return l;
}

const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      // Odd planes, valid and padded windows, a strided shortcut joined to a
      // pooled branch, depthwise and pointwise layers.
      {"stem_odd", {1, 47, 41},
       {conv(8, 3, 1, 0, true), conv(8, 3, 1, 0, true), from(conv(16, 1, 2, 0), 1), from(conv(8, 3, 1, 1, false, 8), 1),
        conv(16, 1, 1, 0, true), conv(16, 3, 1, 1, false, 16), conv(16, 1, 1, 0), pool(3, 2, 1), add(2, 7),
        conv(32, 1, 1, 0, true), conv(32, 3, 1, 1, false, 32), conv(32, 1, 1, 0), add(9, 11), conv(2, 3, 1, 1)}},
      // Uneven pads on a strided layer, a dilated layer, a pool without
      // pads, residual joins.
      {"strides_pads", {3, 45, 38},
       {asym(conv(12, 3, 2, 0, true), 0, 1, 1, 0), dilated(conv(12, 3, 1, 2, true), 2), pool(2, 2, 0),
        conv(24, 1, 1, 0), conv(24, 3, 1, 1, true, 24), add(3, 4), conv(24, 3, 1, 1, true), add(5, 6),
        conv(4, 1, 1, 0)}},
      // Planes too small for bands: channel halves, an odd channel count.
      {"channels", {64, 5, 6},
       {conv(93, 1, 1, 0, true), conv(93, 3, 1, 1, false, 93), conv(93, 1, 1, 0), add(0, 2), pool(3, 2, 1),
        conv(128, 1, 1, 0, true), conv(128, 3, 1, 1, false, 128), conv(128, 1, 1, 0, true), conv(128, 1, 1, 0),
        add(7, 8), conv(3, 1, 1, 0)}},
  };
  return table;
}

struct Plain {
  uint64_t c, h, w;
  std::vector<float> v;
  float at(uint64_t ch, int64_t y, int64_t x) const { return v[(ch * h + y) * w + x]; }
};

uint64_t out_size(uint64_t in, uint64_t k, uint64_t stride, uint64_t pa, uint64_t pb, uint64_t dilation) {
  return (in + pa + pb - ((k - 1) * dilation + 1)) / stride + 1;
}

// Plain loops from the operator definitions (sums in double).
Plain reference(const Case& c, const std::vector<float>& x, const std::vector<std::vector<float>>& weights,
                const std::vector<std::vector<float>>& biases) {
  std::vector<Plain> out;
  const Plain input{c.input[0], c.input[1], c.input[2], x};
  for (size_t i = 0; i < c.layers.size(); ++i) {
    const Layer& l = c.layers[i];
    const int src = l.from == -2 ? static_cast<int>(i) - 1 : l.from;
    const Plain& a = src < 0 ? input : out[static_cast<size_t>(src)];
    Plain y;
    if (l.kind == 'a') {
      y = a;
      const Plain& b = out[static_cast<size_t>(l.from2)];
      for (size_t k = 0; k < y.v.size(); ++k) y.v[k] += b.v[k];
    } else {
      y.c = l.kind == 'c' ? l.cout : a.c;
      y.h = out_size(a.h, l.k, l.stride, l.pt, l.pb, l.dilation);
      y.w = out_size(a.w, l.k, l.stride, l.pl, l.pr, l.dilation);
      y.v.assign(y.c * y.h * y.w, 0.0f);
      const uint64_t per_group = a.c / l.groups, out_group = y.c / l.groups;
      for (uint64_t o = 0; o < y.c; ++o)
        for (uint64_t r = 0; r < y.h; ++r)
          for (uint64_t q = 0; q < y.w; ++q) {
            double sum = l.kind == 'c' ? biases[i][o] : -INFINITY;
            const uint64_t c0 = l.kind == 'c' ? o / out_group * per_group : o;
            const uint64_t cn = l.kind == 'c' ? per_group : 1;
            for (uint64_t ci = 0; ci < cn; ++ci)
              for (uint64_t ky = 0; ky < l.k; ++ky)
                for (uint64_t kx = 0; kx < l.k; ++kx) {
                  const int64_t yy = static_cast<int64_t>(r * l.stride + ky * l.dilation) - static_cast<int64_t>(l.pt);
                  const int64_t xx = static_cast<int64_t>(q * l.stride + kx * l.dilation) - static_cast<int64_t>(l.pl);
                  if (yy < 0 || xx < 0 || yy >= static_cast<int64_t>(a.h) || xx >= static_cast<int64_t>(a.w)) continue;
                  const double v = a.at(c0 + ci, yy, xx);
                  if (l.kind == 'c')
                    sum += v * weights[i][((o * cn + ci) * l.k + ky) * l.k + kx];
                  else
                    sum = std::max(sum, v);
                }
            y.v[(o * y.h + r) * y.w + q] = static_cast<float>(l.relu ? std::max(sum, 0.0) : sum);
          }
    }
    out.push_back(std::move(y));
  }
  return out.back();
}

uint64_t digest(const std::vector<float>& v) {
  uint64_t h = 1469598103934665603ull;
  for (float f : v) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    h = (h ^ bits) * 1099511628211ull;
  }
  return h;
}

void run_case(const Case& c, const char* form) {
  GraphBuilder b;
  const uint64_t in = b.input({1, c.input[0], c.input[1], c.input[2]});
  std::vector<uint64_t> ids;
  std::vector<std::vector<uint64_t>> shapes;
  std::vector<std::vector<float>> weights(c.layers.size()), biases(c.layers.size());
  uint32_t seed = 1;
  for (size_t i = 0; i < c.layers.size(); ++i) {
    const Layer& l = c.layers[i];
    const int src = l.from == -2 ? static_cast<int>(i) - 1 : l.from;
    const uint64_t x = src < 0 ? in : ids[static_cast<size_t>(src)];
    const std::vector<uint64_t> xs = src < 0 ? c.input : shapes[static_cast<size_t>(src)];
    std::vector<uint64_t> ys = xs;
    if (l.kind != 'a') {
      ys = {l.kind == 'c' ? l.cout : xs[0], out_size(xs[1], l.k, l.stride, l.pt, l.pb, l.dilation),
            out_size(xs[2], l.k, l.stride, l.pl, l.pr, l.dilation)};
    }
    const bool last = i + 1 == c.layers.size();
    const std::vector<uint64_t> dims = {1, ys[0], ys[1], ys[2]};
    const uint64_t y = last && !l.relu ? b.output(dims) : b.act(dims);
    using W = attr::Window;
    if (l.kind == 'c') {
      const uint64_t per_group = xs[0] / l.groups;
      weights[i] = random_values(l.cout * per_group * l.k * l.k, seed++);
      for (float& v : weights[i]) v *= 0.5f;
      biases[i] = random_values(l.cout, seed++);
      const uint64_t w = b.weight({l.cout, per_group, l.k, l.k}, weights[i]);
      const uint64_t bias = b.weight({l.cout}, biases[i]);
      b.node(op::Conv, {x, w, bias}, {y},
             {{W::kKernelH, l.k}, {W::kKernelW, l.k}, {W::kStrideH, l.stride}, {W::kStrideW, l.stride},
              {W::kPadTop, l.pt}, {W::kPadLeft, l.pl}, {W::kPadBottom, l.pb}, {W::kPadRight, l.pr},
              {W::kDilationH, l.dilation}, {W::kDilationW, l.dilation}, {attr::Conv::kGroups, l.groups}});
    } else if (l.kind == 'p') {
      b.node(op::MaxPool, {x}, {y},
             {{W::kKernelH, l.k}, {W::kKernelW, l.k}, {W::kStrideH, l.stride}, {W::kStrideW, l.stride},
              {W::kPadTop, l.pt}, {W::kPadLeft, l.pl}, {W::kPadBottom, l.pb}, {W::kPadRight, l.pr}});
    } else {
      b.node(op::Add, {x, ids[static_cast<size_t>(l.from2)]}, {y});
    }
    uint64_t result = y;
    if (l.relu) {
      result = last ? b.output(dims) : b.act(dims);
      b.node(op::Relu, {y}, {result});
    }
    ids.push_back(result);
    shapes.push_back(ys);
  }
  const std::vector<float> x = random_values(c.input[0] * c.input[1] * c.input[2], 99);
  const std::vector<uint64_t>& ys = shapes.back();
  std::vector<float> y(ys[0] * ys[1] * ys[2]);
  Engine e(b);
  if (!e.ok()) {
    std::printf("%s/%s refused %s\n", c.name, form, e.error.message);
    return;
  }
  // Several passes: each must give the same bits as the first.
  uint64_t first = 0;
  bool stable = true;
  for (int pass = 0; pass < 20; ++pass) {
    std::fill(y.begin(), y.end(), 0.0f);
    if (!cpu_engine_execute(&e.state, x.data(), y.data())) {
      std::printf("%s/%s failed\n", c.name, form);
      return;
    }
    if (pass == 0) first = digest(y);
    stable = stable && digest(y) == first;
  }
  const Plain want = reference(c, x, weights, biases);
  bool near = want.v.size() == y.size();
  for (size_t k = 0; near && k < y.size(); ++k)
    near = std::fabs(y[k] - want.v[k]) <= 1e-4f * (1.0f + std::fabs(want.v[k]));
  std::printf("%s/%s planned=%d digest=%016llx ref=%s stable=%d\n", c.name, form, e.state->pair != nullptr ? 1 : 0,
              static_cast<unsigned long long>(first), near ? "ok" : "FAR", stable ? 1 : 0);
}

double cpu_ms() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-3;
}

}  // namespace
}  // namespace vorn::test

int main() {
  for (const auto& c : vorn::test::cases()) vorn::test::run_case(c, "native");
  {
    vorn::IsaCap cap(vorn::KernelIsa::kAvx2);
    for (const auto& c : vorn::test::cases()) vorn::test::run_case(c, "avx2");
  }
  {
    vorn::IsaCap cap(vorn::KernelIsa::kPortable);
    for (const auto& c : vorn::test::cases()) vorn::test::run_case(c, "portable");
  }
  // From inside a loop of the pool, whose loops then run on one thread in
  // turn: the calling thread runs both lanes.
  vorn::parallel_for(2, [](size_t i) {
    if (i == 0)
      for (const auto& c : vorn::test::cases()) vorn::test::run_case(c, "nested");
  });
  // Workers poll a few milliseconds after a pass, then sleep.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const double before = vorn::test::cpu_ms();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::printf("idle cpu_ms=%.1f\n", vorn::test::cpu_ms() - before);
  return 0;
}
