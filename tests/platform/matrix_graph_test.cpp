// The matrix-product object and the graph layer against plain loops: float16
// and float32 operands, transposed and strided views, batches, broadcasting,
// slices, attention with grouped heads and masks; views that leave their
// buffers fail the command buffer and write nothing.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>

#include "platform/blas.h"
#include "platform/cpu_features.h"
#include "platform/graph_layer.h"
#include "platform/graph_layer_eval.h"
#include "platform/half.h"
#include "platform/matrix_multiplication.h"
#include "platform/vector_exp.h"

namespace vorn {
namespace {

struct Device {
  mtl::DeviceRef device = mtl::create_system_default_device();
  mtl::CommandQueueRef queue = device->new_command_queue();
  std::mt19937 rng{7};

  // A buffer holding values (as float16 or float32) at byte offset `at`.
  mtl::BufferRef buffer(const std::vector<float>& values, DataType t, uint64_t at = 0) {
    mtl::BufferRef b = device->new_buffer(at + values.size() * 4 + 4, mtl::kResourceStorageModeShared);
    auto* p = static_cast<uint8_t*>(b->contents()) + at;
    for (size_t i = 0; i < values.size(); ++i) {
      if (t == DataType::kFloat16) {
        const uint16_t h = float_to_half(values[i]);
        std::memcpy(p + 2 * i, &h, 2);
      } else {
        std::memcpy(p + 4 * i, &values[i], 4);
      }
    }
    return b;
  }
  std::vector<float> random(size_t n) {
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
  }
  bool run(const std::function<void(const mtl::CommandBufferRef&)>& encode, std::string* error = nullptr) {
    mtl::CommandBufferRef cb = queue->command_buffer();
    encode(cb);
    cb->commit();
    if (error != nullptr) *error = cb->error();
    return cb->status() == mtl::CommandBufferStatus::kCompleted;
  }
};

float stored(float v, DataType t) { return t == DataType::kFloat16 ? half_to_float(float_to_half(v)) : v; }
float read(const mtl::BufferRef& b, uint64_t i, DataType t, uint64_t at = 0) {
  const auto* p = static_cast<const uint8_t*>(b->contents()) + at;
  if (t == DataType::kFloat16) {
    uint16_t h;
    std::memcpy(&h, p + 2 * i, 2);
    return half_to_float(h);
  }
  float f;
  std::memcpy(&f, p + 4 * i, 4);
  return f;
}

TEST(MatrixMultiplication, ProductsMatchAPlainLoop) {
  Device dev;
  struct Case {
    bool ta, tb;
    DataType in, out;
    uint64_t m, n, k, batch;
    double alpha, beta;
  };
  const Case cases[] = {
      {false, true, DataType::kFloat32, DataType::kFloat32, 33, 65, 70, 1, 1, 0},
      {false, true, DataType::kFloat16, DataType::kFloat16, 7, 64, 96, 1, 1, 0},
      {true, false, DataType::kFloat32, DataType::kFloat32, 16, 5, 9, 3, 0.5, 1},
      {false, false, DataType::kFloat16, DataType::kFloat32, 40, 17, 64, 2, 1, 0},
      {true, true, DataType::kFloat16, DataType::kFloat16, 3, 4, 5, 4, 2, 0.25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.m << "x" << c.n << "x" << c.k << " batch " << c.batch);
    const uint64_t es = data_type_size(c.in), os = data_type_size(c.out);
    // Stored shapes with one padding column per row and one padding row per
    // matrix, so row and matrix strides are exercised.
    const uint64_t ar = c.ta ? c.k : c.m, ac = c.ta ? c.m : c.k, br = c.tb ? c.n : c.k, bc = c.tb ? c.k : c.n;
    auto a = dev.random(c.batch * (ar + 1) * (ac + 1)), b = dev.random(c.batch * (br + 1) * (bc + 1));
    auto r0 = dev.random(c.batch * c.m * c.n);
    mtl::BufferRef ab = dev.buffer(a, c.in, 64), bb = dev.buffer(b, c.in), rb = dev.buffer(r0, c.out);
    mps::Matrix left{ab, 64, {ar, ac, c.batch, (ac + 1) * es, (ar + 1) * (ac + 1) * es, c.in}};
    mps::Matrix right{bb, 0, {br, bc, c.batch, (bc + 1) * es, (br + 1) * (bc + 1) * es, c.in}};
    mps::Matrix result{rb, 0, {c.m, c.n, c.batch, c.n * os, 0, c.out}};
    mps::MatrixMultiplication mm(c.ta, c.tb, c.m, c.n, c.k, c.alpha, c.beta);
    ASSERT_TRUE(dev.run([&](const mtl::CommandBufferRef& cb) { mm.encode(cb, left, right, result); }));
    for (uint64_t z = 0; z < c.batch; ++z)
      for (uint64_t i = 0; i < c.m; ++i)
        for (uint64_t j = 0; j < c.n; ++j) {
          double want = 0;
          for (uint64_t p = 0; p < c.k; ++p) {
            const uint64_t ai = c.ta ? p * (ac + 1) + i : i * (ac + 1) + p;
            const uint64_t bi = c.tb ? j * (bc + 1) + p : p * (bc + 1) + j;
            want += double(stored(a[z * (ar + 1) * (ac + 1) + ai], c.in)) * stored(b[z * (br + 1) * (bc + 1) + bi], c.in);
          }
          const uint64_t ri = (z * c.m + i) * c.n + j;
          want = c.alpha * want + c.beta * stored(r0[ri], c.out);
          const double tol = c.out == DataType::kFloat16 ? std::fabs(want) * 1e-3 + 1e-3 : 1e-4;
          ASSERT_NEAR(read(rb, ri, c.out), want, tol);
        }
  }
}

TEST(MatrixMultiplication, ViewsOutsideTheirBuffersFailTheCommandBuffer) {
  Device dev;
  mtl::BufferRef a = dev.buffer(dev.random(64), DataType::kFloat32);
  mtl::BufferRef r = dev.buffer(std::vector<float>(64, 5.0f), DataType::kFloat32);
  mps::MatrixMultiplication mm(false, false, 8, 8, 8, 1, 0);
  const mps::Matrix ok{a, 0, {8, 8, 1, 32, 0, DataType::kFloat32}};
  mps::Matrix past = ok;
  past.offset = 4;  // the last row runs four bytes past the 256-byte buffer
  past.buffer = dev.device->new_buffer(256, mtl::kResourceStorageModeShared);
  std::string error;
  EXPECT_FALSE(dev.run([&](const mtl::CommandBufferRef& cb) { mm.encode(cb, past, ok, {r, 0, ok.descriptor}); }, &error));
  EXPECT_NE(error.find("leaves its buffer"), std::string::npos) << error;
  EXPECT_EQ(read(r, 0, DataType::kFloat32), 5.0f);
  mps::Matrix narrow = ok;
  narrow.descriptor.columns = 4;
  EXPECT_FALSE(dev.run([&](const mtl::CommandBufferRef& cb) { mm.encode(cb, ok, narrow, {r, 0, ok.descriptor}); }, &error));
  EXPECT_NE(error.find("smaller than the product"), std::string::npos) << error;
}

// y = x W^T + b, the linear layer as the generative engine builds it.
TEST(GraphLayer, LinearLayerGraphMatchesAPlainLoop) {
  Device dev;
  for (DataType act : {DataType::kFloat32, DataType::kFloat16}) {
    const int64_t m = 37, n = 66, k = 70;
    mpsg::Graph g;
    auto x = g.placeholder({m, k}, act, "x");
    auto w = g.placeholder({n, k}, DataType::kFloat16, "w");
    auto bias = g.placeholder({n}, DataType::kFloat16, "b");
    auto wt = g.transpose(act == DataType::kFloat32 ? g.cast(w, act) : w, 0, 1);
    auto bt = act == DataType::kFloat32 ? g.cast(bias, act) : bias;
    auto y = g.addition(g.matrixMultiplication(x, wt), bt);
    auto xs = dev.random(m * k), ws = dev.random(n * k), bs = dev.random(n);
    mtl::BufferRef xb = dev.buffer(xs, act, 128), wb = dev.buffer(ws, DataType::kFloat16),
                   bb = dev.buffer(bs, DataType::kFloat16), yb = dev.buffer(std::vector<float>(m * n), act);
    ASSERT_TRUE(dev.run([&](const mtl::CommandBufferRef& cb) {
      g.encode(cb, {{x, {xb, 128, {m, k}, act}}, {w, {wb, 0, {n, k}, DataType::kFloat16}}, {bias, {bb, 0, {n}, DataType::kFloat16}}},
               {{y, {yb, 0, {m, n}, act}}});
    }));
    for (int64_t i = 0; i < m; ++i)
      for (int64_t j = 0; j < n; ++j) {
        double want = 0;
        for (int64_t p = 0; p < k; ++p) want += double(stored(xs[i * k + p], act)) * stored(ws[j * k + p], DataType::kFloat16);
        // float16: the product is rounded once, then the sum with the bias.
        const double got = read(yb, i * n + j, act);
        want = stored(float(stored(float(want), act) + stored(bs[j], DataType::kFloat16)), act);
        ASSERT_NEAR(got, want, act == DataType::kFloat16 ? std::fabs(want) * 2e-3 + 2e-3 : 2e-5) << i << "," << j;
      }
  }
}

// The linear graph's product reads its float16 weights while it copies
// them and adds the bias as it stores its rows: the bits of a float product
// of the widened weights followed by a plain addition, whether or not the
// product is a result of its own (then it is stored, and added apart).
TEST(GraphLayer, LinearLayerGraphKeepsTheBitsOfAProductAndAnAddition) {
  Device dev;
  struct Shape3 {
    int64_t batch, m, n, k;
  };
  for (const Shape3 s : {Shape3{1, 2, 66, 70}, Shape3{2, 37, 40, 600}, Shape3{1, 130, 1001, 65}})
    for (bool product_too : {false, true}) {
      const int64_t rows = s.batch * s.m;
      mpsg::Graph g;
      auto x = g.placeholder({s.batch, s.m, s.k}, DataType::kFloat32, "x");
      auto w = g.placeholder({s.n, s.k}, DataType::kFloat16, "w");
      auto bias = g.placeholder({s.n}, DataType::kFloat16, "b");
      auto p = g.matrixMultiplication(x, g.transpose(g.cast(w, DataType::kFloat32), 0, 1));
      auto y = g.addition(p, g.cast(bias, DataType::kFloat32));
      std::vector<float> xs = dev.random(rows * s.k), ws = dev.random(s.n * s.k), bs = dev.random(s.n);
      for (float& v : ws) v = stored(v, DataType::kFloat16);
      for (float& v : bs) v = stored(v, DataType::kFloat16);
      mtl::BufferRef xb = dev.buffer(xs, DataType::kFloat32), wb = dev.buffer(ws, DataType::kFloat16),
                     bb = dev.buffer(bs, DataType::kFloat16), yb = dev.buffer(std::vector<float>(rows * s.n), DataType::kFloat32),
                     pb = dev.buffer(std::vector<float>(rows * s.n), DataType::kFloat32);
      mpsg::TensorDataMap results{{y, {yb, 0, {s.batch, s.m, s.n}, DataType::kFloat32}}};
      if (product_too) results.push_back({p, {pb, 0, {s.batch, s.m, s.n}, DataType::kFloat32}});
      ASSERT_TRUE(dev.run([&](const mtl::CommandBufferRef& cb) {
        g.encode(cb,
                 {{x, {xb, 0, {s.batch, s.m, s.k}, DataType::kFloat32}},
                  {w, {wb, 0, {s.n, s.k}, DataType::kFloat16}},
                  {bias, {bb, 0, {s.n}, DataType::kFloat16}}},
                 results);
      }));
      std::vector<float> want(size_t(rows * s.n));
      cpu_sgemm(false, true, rows, s.n, s.k, 1.0f, xs.data(), s.k, ws.data(), s.k, 0.0f, want.data(), s.n);
      if (product_too) {
        ASSERT_EQ(0, std::memcmp(pb->contents(), want.data(), want.size() * 4)) << s.m << "x" << s.n << "x" << s.k;
      }
      for (int64_t i = 0; i < rows; ++i)
        for (int64_t j = 0; j < s.n; ++j) want[size_t(i * s.n + j)] = want[size_t(i * s.n + j)] + bs[size_t(j)];
      ASSERT_EQ(0, std::memcmp(yb->contents(), want.data(), want.size() * 4))
          << s.m << "x" << s.n << "x" << s.k << (product_too ? " with the product stored" : "");
    }
}

// Products of one input by several weights of halves (a layer's query, key
// and value projections) run as one cut of the pool over their columns side
// by side: each keeps the bits of its product run alone, through a graph of
// several results and cut as for 1, 2, 3 or 8 threads; with many rows and
// panels, in row blocks of at most 256 rows on eight (1,100 rows in five, a
// partial last tile of the AVX2 form).
TEST(GraphLayer, JoinedProductsKeepTheBitsOfEachProductAlone) {
  struct Case {
    int64_t m, k, widen;
    KernelIsa form;
  };
  for (const Case c : {Case{70, 300, 1, KernelIsa::kAvx512}, Case{1100, 64, 4, KernelIsa::kAvx2}}) {
    const IsaCap isa(c.form);
    Device dev;
    const int64_t m = c.m, k = c.k;
    struct Part {
      int64_t n;
      bool bias;
    };
    const std::vector<Part> parts{{64 * c.widen, true}, {40 * c.widen, false}, {72 * c.widen, true}};
    const std::vector<float> xs = dev.random(size_t(m * k));
    const mtl::BufferRef xb = dev.buffer(xs, DataType::kFloat32);
    std::vector<mtl::BufferRef> wb, bb;
    for (const Part& p : parts) {
      wb.push_back(dev.buffer(dev.random(size_t(p.n * k)), DataType::kFloat16));
      bb.push_back(dev.buffer(dev.random(size_t(p.n)), DataType::kFloat16));
    }
    // The parts' products in one graph (all of them) or one graph each.
    auto run = [&](const std::vector<size_t>& which) {
      mpsg::Graph g;
      auto x = g.placeholder({m, k}, DataType::kFloat32, "x");
      mpsg::TensorDataMap feeds{{x, {xb, 0, {m, k}, DataType::kFloat32}}}, results;
      std::vector<mtl::BufferRef> outs;
      for (size_t i : which) {
        const int64_t n = parts[i].n;
        auto w = g.placeholder({n, k}, DataType::kFloat16, "w");
        auto y = g.matrixMultiplication(x, g.transpose(g.cast(w, DataType::kFloat32), 0, 1));
        feeds.push_back({w, {wb[i], 0, {n, k}, DataType::kFloat16}});
        if (parts[i].bias) {
          auto b = g.placeholder({n}, DataType::kFloat16, "b");
          y = g.addition(y, g.cast(b, DataType::kFloat32));
          feeds.push_back({b, {bb[i], 0, {n}, DataType::kFloat16}});
        }
        outs.push_back(dev.buffer(std::vector<float>(size_t(m * n), NAN), DataType::kFloat32));
        results.push_back({y, {outs.back(), 0, {m, n}, DataType::kFloat32}});
      }
      EXPECT_TRUE(dev.run([&](const mtl::CommandBufferRef& cb) { g.encode(cb, feeds, results); }));
      return outs;
    };
    std::vector<mtl::BufferRef> alone;
    for (size_t i = 0; i < parts.size(); ++i) alone.push_back(run({i})[0]);
    const std::vector<mtl::BufferRef> joined = run({0, 1, 2});
    for (size_t i = 0; i < parts.size(); ++i)
      ASSERT_EQ(0, std::memcmp(joined[i]->contents(), alone[i]->contents(), size_t(m * parts[i].n) * 4)) << i;

    // The same parts cut as for other counts of threads.
    auto value = [](const mtl::BufferRef& b, DataType t, mpsg::Shape shape, std::vector<int64_t> strides) {
      return mpsg::Value{static_cast<const uint8_t*>(b->contents()), t, std::move(shape), std::move(strides)};
    };
    const mpsg::Value x = value(xb, DataType::kFloat32, {m, k}, {k, 1});
    for (int64_t threads : {1, 2, 3, 8}) {
      std::vector<mpsg::Node> nodes;
      std::vector<mpsg::Value> weights, biases, outs;
      std::vector<mtl::BufferRef> out_buffers;
      for (size_t i = 0; i < parts.size(); ++i) {
        const int64_t n = parts[i].n;
        mpsg::Node& node = nodes.emplace_back();
        node.op = mpsg::Operation::kMatrixMultiplication;
        node.shape = {m, n};
        node.type = DataType::kFloat32;
        weights.push_back(value(wb[i], DataType::kFloat16, {k, n}, {1, k}));
        biases.push_back(value(bb[i], DataType::kFloat16, {n}, {1}));
        out_buffers.push_back(dev.buffer(std::vector<float>(size_t(m * n), NAN), DataType::kFloat32));
        outs.push_back(value(out_buffers.back(), DataType::kFloat32, {m, n}, {n, 1}));
      }
      std::vector<std::array<const mpsg::Value*, 2>> inputs;
      for (size_t i = 0; i < parts.size(); ++i) inputs.push_back({&x, &weights[i]});
      std::vector<mpsg::JoinedProduct> joins;
      for (size_t i = 0; i < parts.size(); ++i)
        joins.push_back({&nodes[i], inputs[i].data(), parts[i].bias ? &biases[i] : nullptr, &outs[i]});
      std::vector<float> workspace(1024);
      ASSERT_TRUE(mpsg::evaluate_joined_products(joins.data(), joins.size(), workspace.data(), threads));
      for (size_t i = 0; i < parts.size(); ++i)
        ASSERT_EQ(0, std::memcmp(out_buffers[i]->contents(), alone[i]->contents(), size_t(m * parts[i].n) * 4))
            << i << " at " << threads << " threads, " << m << " rows";
    }
  }
}

// Attention over many blocks of query rows and heads sharing their keys
// copies each key/value head into panels once for all of them: every
// block keeps the bits it has when it is the only block of one head,
// whichever thread's run of blocks it falls in (more blocks than threads:
// runs of uneven length, taken over by other threads).
TEST(GraphLayer, AttentionBlocksKeepTheirBitsWhenHeadsShareThePanels) {
  for (const int64_t heads : {2, 11}) {
    Device dev;
    const int64_t s = 300, t = 200, d = 40;
    const auto qs = dev.random(heads * s * d), ks = dev.random(t * d), vs = dev.random(t * d);
    auto ms = dev.random(s * t);
    for (size_t i = 0; i < ms.size(); i += 5) ms[i] = -3.4e38f;
    // Rows [r0, r0 + rows) of every one of `hs` heads (the query heads from h0).
    auto attend = [&](int64_t h0, int64_t hs, int64_t r0, int64_t rows) {
      mpsg::Graph g;
      auto q = g.placeholder({1, hs, rows, d}, DataType::kFloat32);
      auto k = g.placeholder({1, 1, t, d}, DataType::kFloat32);
      auto v = g.placeholder({1, 1, t, d}, DataType::kFloat32);
      auto mask = g.placeholder({1, 1, rows, t}, DataType::kFloat32);
      auto o = g.scaledDotProductAttention(q, k, v, mask, 0.125f);
      std::vector<float> qpart, mpart(ms.begin() + r0 * t, ms.begin() + (r0 + rows) * t);
      for (int64_t h = h0; h < h0 + hs; ++h)
        qpart.insert(qpart.end(), qs.begin() + (h * s + r0) * d, qs.begin() + (h * s + r0 + rows) * d);
      const std::vector<mpsg::TensorData> in{{dev.buffer(qpart, DataType::kFloat32), 0, {1, hs, rows, d}, DataType::kFloat32},
                                             {dev.buffer(ks, DataType::kFloat32), 0, {1, 1, t, d}, DataType::kFloat32},
                                             {dev.buffer(vs, DataType::kFloat32), 0, {1, 1, t, d}, DataType::kFloat32},
                                             {dev.buffer(mpart, DataType::kFloat32), 0, {1, 1, rows, t}, DataType::kFloat32}};
      const std::vector<mpsg::TensorData> res = g.compile({q, k, v, mask}, {o}).run(dev.queue, in);
      const float* p = static_cast<const float*>(res[0].buffer->contents());
      return std::vector<float>(p, p + hs * rows * d);
    };
    const std::vector<float> all = attend(0, heads, 0, s);
    for (int64_t h = 0; h < heads; ++h)
      for (auto [r0, rows] : {std::pair<int64_t, int64_t>{0, 128}, {256, 44}}) {
        const std::vector<float> alone = attend(h, 1, r0, rows);
        ASSERT_EQ(0, std::memcmp(alone.data(), all.data() + (h * s + r0) * d, alone.size() * 4))
            << heads << " heads: " << h << " " << r0;
      }
  }
}

// Attention in each form this processor runs: the scores' rows are
// normalised sixteen at a time, their sums in vector lanes where the form
// has them, in column order as a plain loop adds them. The two vector forms
// multiply alike and give the same bits (the portable one does not fuse its
// multiply-adds), and every form is near a plain loop in doubles, whatever
// the count of rows (a partial last group) or keys (columns past the last
// whole vector).
TEST(GraphLayer, AttentionRowsSummedInLanesKeepTheirBits) {
  Device dev;
  const int64_t heads = 2, d = 24;
  struct Case {
    int64_t s, t;
  };
  for (const Case c : {Case{40, 33}, Case{16, 16}, Case{130, 200}, Case{7, 1}}) {
    const auto qs = dev.random(heads * c.s * d), ks = dev.random(c.t * d), vs = dev.random(c.t * d);
    auto attend = [&](KernelIsa form) {
      const IsaCap isa(form);
      mpsg::Graph g;
      auto q = g.placeholder({1, heads, c.s, d}, DataType::kFloat32);
      auto k = g.placeholder({1, 1, c.t, d}, DataType::kFloat32);
      auto v = g.placeholder({1, 1, c.t, d}, DataType::kFloat32);
      auto o = g.scaledDotProductAttention(q, k, v, mpsg::Tensor{}, 0.125f);
      const std::vector<mpsg::TensorData> in{
          {dev.buffer(qs, DataType::kFloat32), 0, {1, heads, c.s, d}, DataType::kFloat32},
          {dev.buffer(ks, DataType::kFloat32), 0, {1, 1, c.t, d}, DataType::kFloat32},
          {dev.buffer(vs, DataType::kFloat32), 0, {1, 1, c.t, d}, DataType::kFloat32}};
      const std::vector<mpsg::TensorData> res = g.compile({q, k, v}, {o}).run(dev.queue, in);
      const float* p = static_cast<const float*>(res[0].buffer->contents());
      return std::vector<float>(p, p + heads * c.s * d);
    };
    const std::vector<float> avx2 = attend(KernelIsa::kAvx2);
    ASSERT_EQ(0, std::memcmp(attend(KernelIsa::kAvx512).data(), avx2.data(), avx2.size() * 4)) << c.s << " x " << c.t;
    const std::vector<float> portable = attend(KernelIsa::kPortable);
    for (int64_t h = 0; h < heads; ++h)
      for (int64_t r = 0; r < c.s; ++r) {
        std::vector<double> p(size_t(c.t));
        double top = -1e300, sum = 0;
        for (int64_t j = 0; j < c.t; ++j) {
          double dot = 0;
          for (int64_t e = 0; e < d; ++e) dot += double(qs[size_t((h * c.s + r) * d + e)]) * ks[size_t(j * d + e)];
          top = std::max(top, p[size_t(j)] = dot * 0.125);
        }
        for (double& x : p) sum += (x = std::exp(x - top));
        for (int64_t e = 0; e < d; ++e) {
          double want = 0;
          for (int64_t j = 0; j < c.t; ++j) want += p[size_t(j)] / sum * vs[size_t(j * d + e)];
          const size_t at = size_t((h * c.s + r) * d + e);
          ASSERT_NEAR(avx2[at], want, 2e-5) << c.s << " x " << c.t;
          ASSERT_NEAR(portable[at], want, 2e-5) << c.s << " x " << c.t;
        }
      }
  }
}

// Attention with no mask to add computes its blocks keys by queries and
// normalises the scores down their columns: the bits of the same attention
// with a mask of zeros per head, which runs the blocks query by query, in
// every form; blocks of a width short of a whole panel, keys past and short
// of a whole vector, grouped heads, values transposed in several blocks of
// keys with a partial last one, and a shared mask of zeros (rows of zeros of
// either sign), which takes the keys-by-queries path too.
TEST(GraphLayer, AttentionWithoutAMaskKeepsTheBitsOfMaskedRows) {
  Device dev;
  struct Case {
    int64_t heads, kv_heads, s, t, d;
  };
  for (const Case c : {Case{2, 1, 300, 77, 24}, Case{4, 2, 130, 200, 64}, Case{3, 3, 257, 16, 40},
                       Case{2, 1, 20, 9, 8}, Case{3, 3, 140, 300, 20}}) {
    const auto qs = dev.random(c.heads * c.s * c.d), ks = dev.random(c.kv_heads * c.t * c.d),
               vs = dev.random(c.kv_heads * c.t * c.d);
    std::vector<float> zeros(size_t(c.heads * c.s * c.t), 0.0f);
    for (size_t i = 0; i < zeros.size(); i += 3) zeros[i] = -0.0f;
    // mask_heads 0: none; 1: one mask row per query, shared by the heads;
    // else one per head.
    auto attend = [&](KernelIsa form, int64_t mask_heads) {
      const IsaCap isa(form);
      mpsg::Graph g;
      auto q = g.placeholder({1, c.heads, c.s, c.d}, DataType::kFloat32);
      auto k = g.placeholder({1, c.kv_heads, c.t, c.d}, DataType::kFloat32);
      auto v = g.placeholder({1, c.kv_heads, c.t, c.d}, DataType::kFloat32);
      auto mask = mask_heads == 0 ? mpsg::Tensor{} : g.placeholder({1, mask_heads, c.s, c.t}, DataType::kFloat32);
      auto o = g.scaledDotProductAttention(q, k, v, mask, 0.125f);
      std::vector<mpsg::TensorData> in{
          {dev.buffer(qs, DataType::kFloat32), 0, {1, c.heads, c.s, c.d}, DataType::kFloat32},
          {dev.buffer(ks, DataType::kFloat32), 0, {1, c.kv_heads, c.t, c.d}, DataType::kFloat32},
          {dev.buffer(vs, DataType::kFloat32), 0, {1, c.kv_heads, c.t, c.d}, DataType::kFloat32}};
      std::vector<mpsg::Tensor> feeds{q, k, v};
      if (mask_heads != 0) {
        in.push_back({dev.buffer(zeros, DataType::kFloat32), 0, {1, mask_heads, c.s, c.t}, DataType::kFloat32});
        feeds.push_back(mask);
      }
      const std::vector<mpsg::TensorData> res = g.compile(feeds, {o}).run(dev.queue, in);
      const float* p = static_cast<const float*>(res[0].buffer->contents());
      return std::vector<float>(p, p + c.heads * c.s * c.d);
    };
    for (KernelIsa form : {KernelIsa::kPortable, KernelIsa::kAvx2, KernelIsa::kAvx512}) {
      const std::vector<float> rows = attend(form, c.heads);
      for (int64_t mask_heads : {0, 1})
        ASSERT_EQ(0, std::memcmp(attend(form, mask_heads).data(), rows.data(), rows.size() * 4))
            << c.heads << " heads, " << c.s << " x " << c.t << " x " << c.d << ", form " << int(form) << ", mask "
            << mask_heads;
    }
  }
}

// Attention's softmax of score rows in each form against a plain loop of the
// same steps: the row less its largest value, the exponential of
// platform/vector_exp.h, the sum in column order from +0, each value times
// the sum's inverse. Rows spread past -87 (whose 2^n is subnormal), ties at
// the top, -inf and NaN scores; lengths past and short of a whole vector,
// counts past and short of a group of rows.
TEST(GraphLayer, ScoreRowsNormaliseAsAPlainLoop) {
  std::mt19937 rng(11);
  struct Case {
    int64_t count, n;
    float spread;
  };
  for (const Case c : {Case{1, 1, 1}, Case{3, 7, 4}, Case{8, 9, 30}, Case{16, 100, 120}, Case{17, 1024, 8},
                       Case{33, 200, 200}, Case{9, 64, 0}}) {
    std::uniform_real_distribution<float> u(-c.spread, c.spread);
    const int64_t stride = c.n + 3;
    std::vector<float> in(size_t(c.count * stride));
    for (float& x : in) x = u(rng);
    if (c.count > 2 && c.n > 5) {
      in[size_t(stride + 2)] = -INFINITY;
      in[size_t(2 * stride + 5)] = std::nanf("");
    }
    std::vector<float> want = in;
    for (int64_t r = 0; r < c.count; ++r) {
      float* row = want.data() + r * stride;
      float top = row[0], sum = 0;
      for (int64_t j = 1; j < c.n; ++j) top = row[j] > top ? row[j] : top;
      for (int64_t j = 0; j < c.n; ++j) sum += (row[j] = vexp::exp_scalar(row[j] + -top));
      for (int64_t j = 0; j < c.n; ++j) row[j] = row[j] * (1.0f / sum) + 0.0f;
    }
    for (KernelIsa form : {KernelIsa::kPortable, KernelIsa::kAvx2, KernelIsa::kAvx512}) {
      const IsaCap isa(form);
      std::vector<float> got = in;
      mpsg::normalise_score_rows(got.data(), stride, c.count, c.n);
      ASSERT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4))
          << c.count << " x " << c.n << " form " << int(form);
    }
  }
}

// An attention whose result is read only as a target with its heads and
// tokens swapped is written there in place, through the swapped strides:
// the same bits as the head-major result, moved; with no keys, zeros.
TEST(GraphLayer, AttentionIntoASwappedTargetKeepsItsBits) {
  Device dev;
  const int64_t batch = 2, heads = 3, s = 40, d = 16;
  for (const int64_t t : {33, 0}) {
    const auto qs = dev.random(batch * heads * s * d), ks = dev.random(batch * heads * t * d),
               vs = dev.random(batch * heads * t * d);
    auto attend = [&](bool swapped) {
      mpsg::Graph g;
      auto q = g.placeholder({batch, heads, s, d}, DataType::kFloat32);
      auto k = g.placeholder({batch, heads, t, d}, DataType::kFloat32);
      auto v = g.placeholder({batch, heads, t, d}, DataType::kFloat32);
      auto o = g.scaledDotProductAttention(q, k, v, mpsg::Tensor{}, 0.25f);
      const std::vector<mpsg::TensorData> in{
          {dev.buffer(qs, DataType::kFloat32), 0, {batch, heads, s, d}, DataType::kFloat32},
          {dev.buffer(ks, DataType::kFloat32), 0, {batch, heads, t, d}, DataType::kFloat32},
          {dev.buffer(vs, DataType::kFloat32), 0, {batch, heads, t, d}, DataType::kFloat32}};
      const auto res = g.compile({q, k, v}, {swapped ? g.transpose(o, 1, 2) : o}).run(dev.queue, in);
      const float* p = static_cast<const float*>(res[0].buffer->contents());
      return std::vector<float>(p, p + batch * heads * s * d);
    };
    const std::vector<float> head_major = attend(false), token_major = attend(true);
    for (int64_t b = 0; b < batch; ++b)
      for (int64_t h = 0; h < heads; ++h)
        for (int64_t r = 0; r < s; ++r)
          ASSERT_EQ(0, std::memcmp(&token_major[size_t(((b * s + r) * heads + h) * d)],
                                   &head_major[size_t(((b * heads + h) * s + r) * d)], size_t(d) * 4))
              << t << " keys, " << b << " " << h << " " << r;
    if (t == 0) {
      EXPECT_EQ(token_major, std::vector<float>(token_major.size(), 0.0f));
    }
  }
}

// The generative engine's attention graph: q [B, S, H, D] turned head-major,
// K and V [B, Hk, cap, D] cut to T rows, a mask [B, 1, S, T], the result
// turned back; compiled once and run twice.
TEST(GraphLayer, AttentionGraphMatchesAPlainLoop) {
  Device dev;
  const int64_t batch = 2, s = 5, heads = 4, kv_heads = 2, d = 8, cap = 9, t = 7;
  mpsg::Graph g;
  auto q = g.placeholder({batch, s, heads, d}, DataType::kFloat32);
  auto k = g.placeholder({batch, kv_heads, cap, d}, DataType::kFloat32);
  auto v = g.placeholder({batch, kv_heads, cap, d}, DataType::kFloat32);
  auto mask = g.placeholder({batch, 1, s, t}, DataType::kFloat32);
  auto o = g.scaledDotProductAttention(g.transpose(q, 1, 2), g.slice(k, 2, 0, t), g.slice(v, 2, 0, t), mask,
                                       1.0f / std::sqrt(float(d)));
  auto out = g.transpose(o, 1, 2);
  EXPECT_EQ(g.shape(out), (mpsg::Shape{batch, s, heads, d}));
  mpsg::Executable exe = g.compile({q, k, v, mask}, {out});
  auto qs = dev.random(batch * s * heads * d), ks = dev.random(batch * kv_heads * cap * d),
       vs = dev.random(batch * kv_heads * cap * d), ms = dev.random(batch * s * t);
  for (size_t i = 0; i < ms.size(); i += 3) ms[i] = -3.4e38f;  // hidden entries
  // Rows of zeros (of both signs), which the evaluation does not add.
  std::fill(ms.begin() + 1 * t, ms.begin() + 2 * t, 0.0f);
  std::fill(ms.begin() + (s + 3) * t, ms.begin() + (s + 4) * t, -0.0f);
  std::vector<mpsg::TensorData> in{{dev.buffer(qs, DataType::kFloat32), 0, {batch, s, heads, d}, DataType::kFloat32},
                                   {dev.buffer(ks, DataType::kFloat32), 0, {batch, kv_heads, cap, d}, DataType::kFloat32},
                                   {dev.buffer(vs, DataType::kFloat32), 0, {batch, kv_heads, cap, d}, DataType::kFloat32},
                                   {dev.buffer(ms, DataType::kFloat32), 0, {batch, 1, s, t}, DataType::kFloat32}};
  for (int pass = 0; pass < 2; ++pass) {
    const std::vector<mpsg::TensorData> res = exe.run(dev.queue, in);
    for (int64_t b = 0; b < batch; ++b)
      for (int64_t h = 0; h < heads; ++h)
        for (int64_t r = 0; r < s; ++r) {
          const int64_t kh = h / (heads / kv_heads);
          std::vector<double> p(t);
          double top = -1e300, sum = 0;
          for (int64_t c = 0; c < t; ++c) {
            double dot = 0;
            for (int64_t e = 0; e < d; ++e)
              dot += double(qs[((b * s + r) * heads + h) * d + e]) * ks[((b * kv_heads + kh) * cap + c) * d + e];
            p[c] = dot / std::sqrt(double(d)) + ms[(b * s + r) * t + c];
            top = std::max(top, p[c]);
          }
          for (double& x : p) sum += (x = std::exp(x - top));
          for (int64_t e = 0; e < d; ++e) {
            double want = 0;
            for (int64_t c = 0; c < t; ++c) want += p[c] / sum * vs[((b * kv_heads + kh) * cap + c) * d + e];
            ASSERT_NEAR(read(res[0].buffer, ((b * s + r) * heads + h) * d + e, DataType::kFloat32), want, 2e-5);
          }
        }
  }
}

TEST(GraphLayer, BroadcastingAdditionAndReshapeOfAView) {
  Device dev;
  mpsg::Graph g;
  auto a = g.placeholder({2, 3, 4}, DataType::kFloat32);
  auto b = g.placeholder({3, 1}, DataType::kFloat32);
  auto y = g.reshape(g.transpose(g.addition(a, b), 0, 2), {4, 6});
  auto as = dev.random(24), bs = dev.random(3);
  const auto res = g.run(dev.queue, {{a, {dev.buffer(as, DataType::kFloat32), 0, {2, 3, 4}, DataType::kFloat32}},
                                     {b, {dev.buffer(bs, DataType::kFloat32), 0, {3, 1}, DataType::kFloat32}}},
                         {y});
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j)
      for (int l = 0; l < 4; ++l)  // transposed [4, 3, 2], flattened
        EXPECT_FLOAT_EQ(read(res[0].buffer, (l * 3 + j) * 2 + i, DataType::kFloat32), as[(i * 3 + j) * 4 + l] + bs[j]);
  EXPECT_THROW(g.addition(a, g.placeholder({2, 4}, DataType::kFloat32)), std::invalid_argument);
  EXPECT_THROW(g.reshape(a, {5, 5}), std::invalid_argument);
  EXPECT_THROW(g.compile({}, {y}), std::invalid_argument);  // placeholders not fed
}

TEST(GraphLayer, FeedsThatDoNotFitFailTheCommandBuffer) {
  Device dev;
  mpsg::Graph g;
  auto x = g.placeholder({4, 4}, DataType::kFloat32);
  auto y = g.matrixMultiplication(x, x);
  mtl::BufferRef small = dev.device->new_buffer(16384, mtl::kResourceStorageModeShared);
  mtl::BufferRef out = dev.buffer(std::vector<float>(16, 3.0f), DataType::kFloat32);
  std::string error;
  // 64 bytes from offset 16 of a 16384-byte buffer fit; from 16352 they do not.
  EXPECT_TRUE(dev.run([&](const mtl::CommandBufferRef& cb) {
    g.encode(cb, {{x, {small, 16, {4, 4}, DataType::kFloat32}}}, {{y, {out, 0, {4, 4}, DataType::kFloat32}}});
  }));
  EXPECT_FALSE(dev.run([&](const mtl::CommandBufferRef& cb) {
    g.encode(cb, {{x, {small, 16352, {4, 4}, DataType::kFloat32}}}, {{y, {out, 0, {4, 4}, DataType::kFloat32}}});
  }, &error));
  EXPECT_NE(error.find("leaves its buffer"), std::string::npos) << error;
  EXPECT_FALSE(dev.run([&](const mtl::CommandBufferRef& cb) {
    g.encode(cb, {{x, {small, 0, {2, 8}, DataType::kFloat32}}}, {{y, {out, 0, {4, 4}, DataType::kFloat32}}});
  }, &error));
  EXPECT_NE(error.find("differs from its tensor"), std::string::npos) << error;
}

// A placeholder made after the last node a target needs (here a rank-0
// one that nothing reads) is still fed and checked: its data must fit it.
TEST(GraphLayer, AFeedNoTargetNeedsIsCheckedAndIgnored) {
  Device dev;
  mpsg::Graph g;
  auto x = g.placeholder({2, 2}, DataType::kFloat32);
  auto y = g.addition(x, x);
  auto unused = g.placeholder({}, DataType::kFloat32);
  const std::vector<float> xs = dev.random(4);
  mtl::BufferRef xb = dev.buffer(xs, DataType::kFloat32), out = dev.buffer(std::vector<float>(4, 0.0f), DataType::kFloat32);
  mtl::BufferRef scalar = dev.buffer({0.5f}, DataType::kFloat32);
  std::string error;
  EXPECT_TRUE(g.run(dev.queue, {{x, {xb, 0, {2, 2}, DataType::kFloat32}}, {unused, {scalar, 0, {}, DataType::kFloat32}}},
                    {{y, {out, 0, {2, 2}, DataType::kFloat32}}}, &error))
      << error;
  for (uint64_t i = 0; i < 4; ++i) EXPECT_EQ(read(out, i, DataType::kFloat32), xs[i] + xs[i]);
  EXPECT_FALSE(g.run(dev.queue, {{x, {xb, 0, {2, 2}, DataType::kFloat32}}, {unused, {scalar, 0, {1}, DataType::kFloat32}}},
                     {{y, {out, 0, {2, 2}, DataType::kFloat32}}}, &error));
  EXPECT_NE(error.find("differs from its tensor"), std::string::npos) << error;
}

}  // namespace
}  // namespace vorn
