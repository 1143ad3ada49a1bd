// The graph layer's operations against plain loops on the cases their
// evaluators treat apart (broadcast runs, strided and float16 inputs,
// middle and last axes, clamped indices), views that cost nothing, and a
// compiled plan that allocates nothing after its first run.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/graph_layer.h"
#include "platform/half.h"

// Allocations this binary made (allocation_count.cpp).
uint64_t allocation_count();

namespace vorn::mpsg {
namespace {

using F = std::vector<float>;

struct Harness {
  mtl::DeviceRef device = mtl::create_system_default_device();
  mtl::CommandQueueRef queue = device->new_command_queue();
  Graph g;
  TensorDataMap feeds;

  Tensor input(const Shape& s, const F& values, DataType t = DataType::kFloat32) {
    const Tensor p = g.placeholder(s, t);
    mtl::BufferRef b = device->new_buffer(values.size() * 4 + 4, mtl::kResourceStorageModeShared);
    for (size_t i = 0; i < values.size(); ++i) {
      if (t == DataType::kFloat16) {
        const uint16_t h = float_to_half(values[i]);
        std::memcpy(static_cast<uint8_t*>(b->contents()) + 2 * i, &h, 2);
      } else {
        std::memcpy(static_cast<uint8_t*>(b->contents()) + 4 * i, &values[i], 4);
      }
    }
    feeds.push_back({p, {b, 0, s, t}});
    return p;
  }
  F run(Tensor t) {
    Tensor out = g.dataType(t) == DataType::kFloat32 ? t : g.cast(t, DataType::kFloat32);
    const Shape s = g.shape(out);
    mtl::BufferRef b = device->new_buffer(uint64_t(std::max<int64_t>(1, element_count(s))) * 4, 0);
    std::string error;
    EXPECT_TRUE(g.run(queue, feeds, {{out, {b, 0, s, DataType::kFloat32}}}, &error)) << error;
    const float* p = static_cast<const float*>(b->contents());
    return F(p, p + element_count(s));
  }
};

F ramp(size_t n, float a, float step) {
  F v(n);
  for (size_t i = 0; i < n; ++i) v[i] = a + step * float(i);
  return v;
}

TEST(GraphOps, ElementwiseBroadcastsStridesAndHalves) {
  Harness h;
  const F a = ramp(24, -3, 0.25f), c = {10, 20, 30};
  const Tensor x = h.input({2, 3, 4}, a), ch = h.input({3, 1}, c);
  // Per-channel broadcast, on a transposed view too.
  EXPECT_EQ(h.run(h.g.binary(BinaryFunction::kSubtraction, x, ch)), [&] {
    F r(24);
    for (size_t i = 0; i < 24; ++i) r[i] = a[i] - c[(i / 4) % 3];
    return r;
  }());
  const F t = h.run(h.g.binary(BinaryFunction::kMultiplication, h.g.transpose(x, 1, 2), h.g.constantWithScalar(2, DataType::kFloat32)));
  for (size_t n = 0; n < 2; ++n)
    for (size_t i = 0; i < 4; ++i)
      for (size_t j = 0; j < 3; ++j) EXPECT_EQ(t[n * 12 + i * 3 + j], 2 * a[n * 12 + j * 4 + i]);
  // Floor modulo takes the divisor's sign, the remainder the dividend's.
  const Tensor m = h.input({4}, {-7, 7, -7, 7}), d = h.input({4}, {3, -3, -3, 3});
  EXPECT_EQ(h.run(h.g.binary(BinaryFunction::kModulo, m, d)), (F{2, -2, -1, 1}));
  EXPECT_EQ(h.run(h.g.binary(BinaryFunction::kRemainder, m, d)), (F{-1, 1, -1, 1}));
  // Halves: round to even, NaN passes clamp, truncation makes -0 into +0.
  const Tensor r = h.input({5}, {0.5f, 1.5f, 2.5f, -0.5f, NAN});
  EXPECT_EQ(h.run(h.g.unary(UnaryFunction::kRound, r))[2], 2.0f);
  EXPECT_TRUE(std::isnan(h.run(h.g.clamp(r, h.g.constantWithScalar(0, DataType::kFloat32), h.g.constantWithScalar(1, DataType::kFloat32)))[4]));
  EXPECT_FALSE(std::signbit(h.run(h.g.unary(UnaryFunction::kTruncate, r))[3]));
  // A float16 tensor rounds each result once: 1/3 + 1/3 in half is not 2/3.
  const Tensor hx = h.input({1}, {1.0f / 3}, DataType::kFloat16);
  const float third = half_to_float(float_to_half(1.0f / 3));
  EXPECT_EQ(h.run(h.g.binary(BinaryFunction::kAddition, hx, hx))[0], half_to_float(float_to_half(third + third)));
}

TEST(GraphOps, ReductionsSoftmaxArgMaxTopK) {
  Harness h;
  const F a = {1, 5, 2, 8, -1, 3, 7, 0, 6, 4, 9, 2};  // [2, 3, 2]
  const Tensor x = h.input({2, 3, 2}, a);
  EXPECT_EQ(h.run(h.g.reduction(ReductionFunction::kSum, x, {1})), (F{2, 16, 22, 6}));
  EXPECT_EQ(h.run(h.g.reduction(ReductionFunction::kMaximum, x, {0, 2})), (F{7, 8, 9}));
  EXPECT_EQ(h.run(h.g.reductionArgMaximum(x, 1)), (F{1, 1, 2, 1}));
  const F s = h.run(h.g.softMax(x, 1));
  for (size_t o = 0; o < 2; ++o)
    for (size_t i = 0; i < 2; ++i) {
      double z = 0;
      for (size_t k = 0; k < 3; ++k) z += std::exp(double(a[o * 6 + k * 2 + i]));
      for (size_t k = 0; k < 3; ++k) EXPECT_NEAR(s[o * 6 + k * 2 + i], std::exp(double(a[o * 6 + k * 2 + i])) / z, 1e-6);
    }
  const Tensor row = h.input({6}, {3, 9, 1, 9, 4, 2});
  auto [values, indices] = h.g.topK(row, 3);
  EXPECT_EQ(h.run(values), (F{9, 9, 4}));
  EXPECT_EQ(h.run(indices), (F{1, 3, 4}));  // ties by the lower index
}

TEST(GraphOps, DataMovement) {
  Harness h;
  const F a = ramp(20, 0, 1);
  const Tensor x = h.input({4, 5}, a);
  // Strided slices read start + k x stride and never past the axis.
  EXPECT_EQ(h.run(h.g.slice(x, 1, 1, 2, 3)), (F{1, 4, 6, 9, 11, 14, 16, 19}));
  EXPECT_THROW(h.g.slice(x, 1, 1, 3, 3), std::invalid_argument);
  // Gather truncates, counts negatives from the end and clamps.
  const Tensor idx = h.input({4}, {-1, 1.7f, 9, -9});
  EXPECT_EQ(h.run(h.g.gather(x, idx, 0)), [&] {
    F r;
    for (int k : {3, 1, 3, 0})
      for (int j = 0; j < 5; ++j) r.push_back(a[size_t(k * 5 + j)]);
    return r;
  }());
  EXPECT_EQ(h.run(h.g.concat({h.g.slice(x, 0, 0, 1), h.g.transpose(h.g.slice(x, 1, 0, 1), 0, 1)}, 1)),
            (F{0, 1, 2, 3, 4, 0, 5, 10, 15}));
  const Tensor data = h.input({3, 2}, {0, 0, 0, 0, 0, 0}), upd = h.input({2, 2}, {1, 2, 3, 4}),
               at = h.input({2, 1}, {2, 2});
  EXPECT_EQ(h.run(h.g.scatterND(data, upd, at)), (F{0, 0, 0, 0, 3, 4}));  // the later update wins
  const Tensor img = h.input({1, 1, 2, 2}, {0, 1, 2, 3});
  EXPECT_EQ(h.run(h.g.resize(img, 4, 4, false, false, false)), (F{0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3}));
  EXPECT_EQ(h.run(h.g.resize(img, 3, 3, true, false, true)), (F{0, 0.5f, 1, 1, 1.5f, 2, 2, 2.5f, 3}));
}

// A compiled plan: the second and later runs allocate nothing, and a view
// chain (reshape, permute, slice, broadcast) reads its root in place.
TEST(GraphOps, CompiledRunsAllocateNothing) {
  Harness h;
  const Tensor x = h.g.placeholder({2, 3, 4}, DataType::kFloat32);
  const Tensor v = h.g.broadcast(h.g.slice(h.g.transpose(h.g.reshape(x, {6, 4}), {1, 0}), 1, 1, 2, 3), {3, 4, 2});
  const Tensor y = h.g.softMax(h.g.binary(BinaryFunction::kAddition, h.g.unary(UnaryFunction::kSigmoid, v), v), 2);
  const Tensor z = h.g.reduction(ReductionFunction::kMean, h.g.matrixMultiplication(y, h.g.transpose(y, 1, 2)), {0});
  Executable exe = h.g.compile({x}, {z});
  mtl::BufferRef in = h.device->new_buffer(96, 0), out = h.device->new_buffer(64, 0);
  const std::vector<TensorData> inputs{{in, 0, {2, 3, 4}, DataType::kFloat32}},
      results{{out, 0, {1, 4, 4}, DataType::kFloat32}};
  std::string error;
  ASSERT_TRUE(exe.run(h.queue, inputs, results, &error)) << error;
  const uint64_t before = allocation_count();
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(exe.run(h.queue, inputs, results, &error)) << error;
  EXPECT_EQ(allocation_count(), before);
}

}  // namespace
}  // namespace vorn::mpsg
