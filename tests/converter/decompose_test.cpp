// Softplus, Sign, LogSoftmax and ReduceL2, which the converter imports as
// chains of other operators: converted in options mode and run on the CPU
// against references written from the definitions, over inputs with
// extreme magnitudes, infinities, signed zeros and NaN.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "converter/convert.h"
#include "converter/shape_binding.h"
#include "tests/converter/run_helpers.h"

namespace vorn {
namespace {

using conformance::Case;
using conformance::TensorData;
using conformance::TensorSpec;

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::string model_path(const std::string& name) {
  return std::string(VORN_TEST_DATA) + "/converter_lowering/decompose/" + name + ".onnx";
}

struct Converted {
  TempPath out;
  uint32_t status = 1;
  std::string text;
};

void convert(const std::string& name, Converted* c) {
  ConvertOptions options = convert_options_init();
  ConvertOutcome r = convert_onnx_file_with_options(slice_of(model_path(name)), slice_of(c->out.path), &options);
  c->status = r.status;
  c->text.assign(reinterpret_cast<const char*>(r.text.ptr), r.text.len);
  bytes_free(&r.text);
}

// Converts, runs x of this shape through the model and returns y.
std::vector<float> run(const std::string& name, std::vector<int64_t> shape, const std::vector<float>& x,
                       std::vector<int64_t>* out_shape = nullptr) {
  Converted c;
  convert(name, &c);
  EXPECT_EQ(c.status, 0u) << name << ": " << c.text;
  if (c.status != 0) return {};
  Case k;
  k.name = name;
  k.outputs.push_back(TensorSpec{"y", conformance::DType::kF32, {}, ""});
  TensorData in;
  in.name = "x";
  in.shape = std::move(shape);
  in.f32 = x;
  std::vector<TensorData> outs;
  std::string error = run_model(c.out.path, {in}, k, &outs);
  EXPECT_EQ(error, "") << name;
  if (out_shape != nullptr && !outs.empty()) *out_shape = outs[0].shape;
  return outs.empty() ? std::vector<float>{} : outs[0].f32;
}

// Tighter than the conformance tolerance, whose scale is the largest value
// of the whole output (1e30 here): relative per element. NaN and infinities
// must match exactly.
void expect_close(const std::string& what, const std::vector<float>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got[i])) << what << " [" << i << "] = " << got[i];
    } else if (std::isinf(want[i])) {
      EXPECT_EQ(static_cast<double>(got[i]), want[i]) << what << " [" << i << "]";
    } else {
      EXPECT_NEAR(got[i], want[i], 1e-5 * std::fabs(want[i]) + 1e-5) << what << " [" << i << "]";
    }
  }
}

// Sixteen values spanning the float range: |x| up to 1e30, +-inf, +-0.
const std::vector<float> kExtremes = {0.0f,   -0.0f, 1e30f, -1e30f, kInf,   -kInf,  88.0f, -88.0f,
                                      100.0f, -100.0f, 1e-30f, -1e-30f, 20.0f, -20.0f, 0.5f, -3.0f};

TEST(Decompose, SoftplusIsStableForLargeMagnitudes) {
  std::vector<float> x = kExtremes;
  std::vector<double> want;
  for (float v : x) {
    double d = v;
    // log(1 + e^x), written to avoid overflow in double as well.
    want.push_back(d > 0 ? d + std::log1p(std::exp(-d)) : std::log1p(std::exp(d)));
  }
  expect_close("softplus", run("softplus", {2, 8}, x), want);
  // NaN stays NaN.
  std::vector<float> nan_x(16, kNaN);
  std::vector<float> got = run("softplus", {2, 8}, nan_x);
  ASSERT_EQ(got.size(), 16u);
  for (float g : got) EXPECT_TRUE(std::isnan(g));
}

TEST(Decompose, SignKeepsInfinitiesZerosAndNaN) {
  std::vector<float> x = kExtremes;
  x[15] = kNaN;
  std::vector<double> want;
  for (float v : x) want.push_back(std::isnan(v) ? NAN : v > 0 ? 1.0 : v < 0 ? -1.0 : 0.0);
  expect_close("sign", run("sign", {2, 8}, x), want);
}

// x of shape [2, 4, 3] with extremes, normalised along `axis` in double.
std::vector<double> log_softmax_ref(const std::vector<float>& x, int axis) {
  const int dims[3] = {2, 4, 3};
  const int strides[3] = {12, 3, 1};
  std::vector<double> y(x.size());
  for (int i = 0; i < 24; ++i) {
    int coord = (i / strides[axis]) % dims[axis];
    if (coord != 0) continue;
    double m = -INFINITY, sum = 0;
    for (int k = 0; k < dims[axis]; ++k) m = std::fmax(m, x[i + k * strides[axis]]);
    for (int k = 0; k < dims[axis]; ++k) sum += std::exp(x[i + k * strides[axis]] - m);
    for (int k = 0; k < dims[axis]; ++k) y[i + k * strides[axis]] = (x[i + k * strides[axis]] - m) - std::log(sum);
  }
  return y;
}

TEST(Decompose, LogSoftmaxOnEitherAxisWithoutOverflow) {
  std::vector<float> x(24);
  for (int i = 0; i < 24; ++i) x[i] = std::sin(1.7f * i) * 4.0f;
  // Large magnitudes that overflow a naive exp, and -inf entries (their
  // result is -inf, the others of the row unaffected).
  x[0] = 1e30f, x[3] = 1e30f - 1e24f, x[7] = -1e30f, x[13] = -kInf, x[20] = 3000.0f;
  for (int axis : {1, 2}) {
    std::string name = axis == 1 ? "logsoftmax_axis1" : "logsoftmax_last";
    std::vector<double> want = log_softmax_ref(x, axis);
    expect_close(name, run(name, {2, 4, 3}, x), want);
  }
}

TEST(Decompose, LogSoftmaxBeforeOpset13NormalisesTheFlattenedBlock) {
  // Opset 11, axis 1 of [2, 4, 3]: each batch's 12 values form one row.
  std::vector<float> x(24);
  for (int i = 0; i < 24; ++i) x[i] = std::cos(2.3f * i) * 5.0f;
  x[2] = 1e30f, x[17] = -kInf;
  std::vector<double> want(24);
  for (int b = 0; b < 2; ++b) {
    double m = -INFINITY, sum = 0;
    for (int k = 0; k < 12; ++k) m = std::fmax(m, x[b * 12 + k]);
    for (int k = 0; k < 12; ++k) sum += std::exp(x[b * 12 + k] - m);
    for (int k = 0; k < 12; ++k) want[b * 12 + k] = (x[b * 12 + k] - m) - std::log(sum);
  }
  std::vector<int64_t> shape;
  expect_close("logsoftmax opset 11", run("logsoftmax_op11_axis1", {2, 4, 3}, x, &shape), want);
  EXPECT_EQ(shape, (std::vector<int64_t>{2, 4, 3}));
}

TEST(Decompose, ReduceL2OverAxesWithAndWithoutKeptDims) {
  std::vector<float> x(24);
  for (int i = 0; i < 24; ++i) x[i] = std::cos(0.9f * i) * 3.0f;
  x[5] = 0.0f, x[6] = -1e15f, x[11] = 1e-30f;
  auto l2 = [&](const std::function<bool(int, int, int)>& in_group) {
    double sum = 0;
    for (int a = 0; a < 2; ++a)
      for (int b = 0; b < 4; ++b)
        for (int c = 0; c < 3; ++c)
          if (in_group(a, b, c)) sum += double(x[a * 12 + b * 3 + c]) * x[a * 12 + b * 3 + c];
    return std::sqrt(sum);
  };
  std::vector<double> axes02, axis1, all;
  for (int b = 0; b < 4; ++b) axes02.push_back(l2([&](int, int bb, int) { return bb == b; }));
  for (int a = 0; a < 2; ++a)
    for (int c = 0; c < 3; ++c) axis1.push_back(l2([&](int aa, int, int cc) { return aa == a && cc == c; }));
  all.push_back(l2([](int, int, int) { return true; }));
  expect_close("reducel2 axes 0, 2", run("reducel2_axes02_drop", {2, 4, 3}, x), axes02);
  expect_close("reducel2 axis 1", run("reducel2_axis1_keep", {2, 4, 3}, x), axis1);
  expect_close("reducel2 all", run("reducel2_all", {2, 4, 3}, x), all);

  // Squares accumulate in float, as in ONNX Runtime: 1e30 overflows to
  // +inf, and +-inf anywhere gives +inf.
  std::vector<float> big(24, 1.0f);
  big[4] = 1e30f, big[9] = -kInf;
  std::vector<float> got = run("reducel2_axis1_keep", {2, 4, 3}, big);
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[1], kInf);  // a=0, c=1 holds 1e30
  EXPECT_EQ(got[0], kInf);  // a=0, c=0 holds -inf
  EXPECT_NEAR(got[2], 2.0f, 1e-6f);
}

// Three axes given as an attribute: the node record keeps two, the rest come
// from the model itself.
TEST(Decompose, ReductionsOverThreeAttributeAxes) {
  std::vector<float> x(120);
  for (int i = 0; i < 120; ++i) x[i] = std::sin(0.37f * i) * 5.0f;
  auto at = [&](int a, int b, int c, int d) { return double(x[((a * 3 + b) * 4 + c) * 5 + d]); };
  std::vector<double> sums(4, 0.0), maxes(3, -1e300);
  for (int a = 0; a < 2; ++a)
    for (int b = 0; b < 3; ++b)
      for (int c = 0; c < 4; ++c)
        for (int d = 0; d < 5; ++d) {
          sums[c] += at(a, b, c, d);
          maxes[b] = std::max(maxes[b], at(a, b, c, d));
        }
  expect_close("reducesum axes 0, 1, 3", run("reducesum_three_axes_op11", {2, 3, 4, 5}, x), sums);
  std::vector<int64_t> shape;
  expect_close("reducemax axes 0, -2, 3", run("reducemax_three_axes_keep", {2, 3, 4, 5}, x, &shape), maxes);
  EXPECT_EQ(shape, (std::vector<int64_t>{1, 3, 1, 1}));
}

}  // namespace
}  // namespace vorn
