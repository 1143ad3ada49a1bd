// The tensor-model GPU engine through the C interface, against the CPU
// engine as the reference: each lowered operator on shapes that cross its
// special cases, the weight modes, batches, the mended faults, refusals and
// fault tokens, and open/run/free cycles with flat memory.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "generation/pinned_child.h"
#include "gpu/mps_engine.h"
#include "platform/half.h"
#include "session/session.h"
#include "session/test_models.h"
#include "vorn.h"

namespace vorn::test {
namespace {

using Attrs = std::vector<std::pair<int, uint64_t>>;

uint64_t f32w(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

std::vector<float> noise(size_t n, uint32_t seed) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    v[i] = float(int32_t(seed >> 8) % 2001 - 1000) / 250.0f;  // [-4, 4] in steps of 1/250
  }
  return v;
}

struct Session {
  VornSession* s = vorn_session_new(nullptr);
  VornInput* in = vorn_input_new();
  VornOutput* out = vorn_output_new();
  ~Session() {
    vorn_output_free(out);
    vorn_input_free(in);
    vorn_session_free(s);
  }
  std::string error() const { return std::string(vorn_session_error_message_ptr(s), vorn_session_error_message_len(s)); }
  bool open(const std::string& path, uint32_t backend, uint32_t batch = 1) {
    vorn_session_set_backend(s, backend);
    vorn_session_set_batch_size(s, batch);
    return vorn_session_open(s, path.data(), path.size());
  }
  // Binds inputs[k] to input k and runs; every output's values in order.
  std::vector<std::vector<float>> run(const std::vector<std::vector<float>>& inputs) {
    vorn_input_clear(in);
    for (size_t k = 0; k < inputs.size(); ++k)
      if (!vorn_input_set_f32(in, uint32_t(k), inputs[k].data(), inputs[k].size(), 0)) return {};
    if (!vorn_session_run(s, in, out)) return {};
    std::vector<std::vector<float>> r;
    for (uint32_t j = 0; j < vorn_output_tensor_count(out); ++j) {
      const float* p = vorn_output_f32_ptr(out, int32_t(j));
      r.emplace_back(p, p + vorn_output_elem_count(out, int32_t(j)));
    }
    return r;
  }
};

// The model's inputs filled with noise of the input's size.
std::vector<std::vector<float>> inputs_for(const ModelBuilder& b, uint32_t batch = 1) {
  std::vector<std::vector<float>> in;
  for (const WriterValue& v : b.spec.values)
    if (v.record.kind() == kValueGraphInput) in.push_back(noise(v.record.count() * batch, uint32_t(in.size() + 7)));
  return in;
}

void expect_close(const std::vector<std::vector<float>>& got, const std::vector<std::vector<float>>& want, double rel,
                  const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t j = 0; j < want.size(); ++j) {
    ASSERT_EQ(got[j].size(), want[j].size()) << what << " output " << j;
    double top = 0;
    for (float v : want[j]) top = std::max(top, double(std::fabs(v)));
    for (size_t i = 0; i < want[j].size(); ++i)
      ASSERT_NEAR(got[j][i], want[j][i], rel * top + 1e-6) << what << " output " << j << " at " << i;
  }
}

// The same model on the GPU and the CPU engine, same inputs.
void expect_gpu_matches_cpu(ModelBuilder& b, const std::string& what, double rel = 1e-5) {
  ModelFile m(b);
  ASSERT_TRUE(m.ok()) << m.error;
  Session gpu, cpu;
  ASSERT_TRUE(gpu.open(m.path, VORN_BACKEND_GPU)) << what << ": " << gpu.error();
  ASSERT_TRUE(cpu.open(m.path, VORN_BACKEND_CPU)) << what << ": " << cpu.error();
  const auto in = inputs_for(b);
  const auto want = cpu.run(in);
  ASSERT_FALSE(want.empty()) << what << ": " << cpu.error();
  const auto got = gpu.run(in);
  ASSERT_FALSE(got.empty()) << what << ": " << gpu.error();
  expect_close(got, want, rel, what);
}

struct OpCase {
  const char* name;
  std::function<void(ModelBuilder&)> build;
};

TEST(MpsEngine, EachLoweredOperatorMatchesTheCpuEngine) {
  using A = attr::Window;
  const OpCase cases[] = {
      {"Add broadcast over channels", [](ModelBuilder& b) {
         uint64_t x = b.input({2, 3, 4, 5}, "x"), w = b.weight({3, 1, 1}, {1, -2, 3}), y = b.output({2, 3, 4, 5});
         b.node(op::Add, {x, w}, {y});
       }},
      {"Sub of a row from a column", [](ModelBuilder& b) {
         uint64_t x = b.input({4, 1}, "x"), w = b.weight({1, 5}, noise(5, 3)), y = b.output({4, 5});
         b.node(op::Sub, {x, w}, {y});
       }},
      {"Div, Max, Min, Mod of two inputs", [](ModelBuilder& b) {
         uint64_t x = b.input({3, 7}, "x"), z = b.input({3, 7}, "z");
         uint64_t d = b.output({3, 7}), mx = b.output({3, 7}), mn = b.output({3, 7}), md = b.output({3, 7}),
                  fm = b.output({3, 7}), eq = b.output({3, 7});
         b.node(op::Div, {x, z}, {d});
         b.node(op::Max, {x, z}, {mx});
         b.node(op::Min, {x, z}, {mn});
         b.node(op::Mod, {x, z}, {md});
         b.node(op::Mod, {x, z}, {fm}, {{int(attr::Mod::kFmod), 1}});
         b.node(op::Equal, {x, x}, {eq});
       }},
      {"unary functions", [](ModelBuilder& b) {
         uint64_t x = b.input({5, 9}, "x");
         for (uint64_t code : {op::Relu, op::Sigmoid, op::Erf, op::Exp, op::Tanh, op::Cos, op::Sin, op::Abs, op::Neg,
                               op::Floor, op::Ceil, op::Round, op::Reciprocal, op::Not}) {
           uint64_t y = b.output({5, 9});
           b.node(code, {x}, {y});
         }
         uint64_t a = b.act({5, 9}), s = b.output({5, 9}), l = b.output({5, 9});
         b.node(op::Abs, {x}, {a});
         b.node(op::Sqrt, {a}, {s});
         b.node(op::Log, {a}, {l});
       }},
      {"activations with parameters", [](ModelBuilder& b) {
         uint64_t x = b.input({2, 3, 4, 5}, "x");
         uint64_t hs = b.output({2, 3, 4, 5}), hw = b.output({2, 3, 4, 5}), ge = b.output({2, 3, 4, 5}),
                  cl = b.output({2, 3, 4, 5}), lr = b.output({2, 3, 4, 5}), pr = b.output({2, 3, 4, 5}),
                  p1 = b.output({2, 3, 4, 5});
         uint64_t slope = b.weight({3}, {0.1f, -0.5f, 2.0f}), one = b.weight({1}, {0.25f});
         b.node(op::HardSigmoid, {x}, {hs}, {{attr::HardSigmoid::kAlpha, f32w(0.2f)},
                                             {attr::HardSigmoid::kBeta, f32w(0.5f)}});
         b.node(op::HardSwish, {x}, {hw});
         b.node(op::Gelu, {x}, {ge});
         b.node(op::Clip, {x}, {cl}, {{attr::Clip::kMin, f32w(-1.5f)}, {attr::Clip::kMax, f32w(2.0f)}});
         b.node(op::LeakyRelu, {x}, {lr}, {{attr::LeakyRelu::kAlpha, f32w(0.1f)}});
         b.node(op::PRelu, {x, slope}, {pr});
         b.node(op::PRelu, {x, one}, {p1});
       }},
      {"Where and Cast", [](ModelBuilder& b) {
         uint64_t x = b.input({4, 6}, "x"), z = b.input({4, 6}, "z");
         uint64_t w = b.output({4, 6}), t = b.output({4, 6}), c = b.output({4, 6});
         b.node(op::Where, {x, x, z}, {w});
         b.node(op::Cast, {x}, {t}, {{int(attr::Cast::kTo), attr::Cast::kToInt64}});
         b.node(op::Cast, {x}, {c}, {{int(attr::Cast::kTo), attr::Cast::kToBool}});
       }},
      {"Conv: strides, pads, dilation, groups, bias, fused Relu", [](ModelBuilder& b) {
         uint64_t x = b.input({1, 4, 9, 11}, "x");
         uint64_t w = b.weight({6, 2, 3, 3}, noise(108, 5)), bias = b.weight({6}, noise(6, 6));
         uint64_t c = b.act({1, 6, 5, 5}), y = b.output({1, 6, 5, 5});
         b.node(op::Conv, {x, w, bias}, {c},
                {{A::kKernelH, 3}, {A::kKernelW, 3}, {A::kStrideH, 2}, {A::kStrideW, 2}, {A::kPadTop, 1},
                 {A::kPadLeft, 1}, {A::kPadBottom, 1}, {A::kPadRight, 0}, {A::kDilationH, 1}, {A::kDilationW, 2},
                 {int(attr::Conv::kGroups), 2}});
         b.node(op::Relu, {c}, {y});
       }},
      {"depthwise Conv with Clip, ConvTranspose stride 2", [](ModelBuilder& b) {
         uint64_t x = b.input({1, 3, 8, 8}, "x");
         uint64_t w = b.weight({3, 1, 3, 3}, noise(27, 8));
         uint64_t c = b.act({1, 3, 8, 8}), y = b.output({1, 3, 8, 8}), t = b.output({1, 2, 16, 16});
         b.node(op::Conv, {x, w}, {c},
                {{A::kKernelH, 3}, {A::kKernelW, 3}, {A::kPadTop, 1}, {A::kPadLeft, 1}, {A::kPadBottom, 1},
                 {A::kPadRight, 1}, {int(attr::Conv::kGroups), 3}});
         b.node(op::Clip, {c}, {y}, {{attr::Clip::kMin, f32w(0.0f)}, {attr::Clip::kMax, f32w(6.0f)}});
         uint64_t tw = b.weight({3, 2, 2, 2}, noise(24, 9));
         b.node(op::ConvTranspose, {x, tw}, {t}, {{A::kKernelH, 2}, {A::kKernelW, 2}, {A::kStrideH, 2}, {A::kStrideW, 2}});
       }},
      {"Conv times HardSigmoid of itself (HardSwish)", [](ModelBuilder& b) {
         uint64_t x = b.input({1, 3, 6, 6}, "x"), w = b.weight({4, 3, 1, 1}, noise(12, 10));
         uint64_t c = b.act({1, 4, 6, 6}), h = b.act({1, 4, 6, 6}), y = b.output({1, 4, 6, 6});
         b.node(op::Conv, {x, w}, {c}, {{A::kKernelH, 1}, {A::kKernelW, 1}});
         b.node(op::HardSigmoid, {c}, {h}, {{attr::HardSigmoid::kAlpha, f32w(0.16666667f)},
                                            {attr::HardSigmoid::kBeta, f32w(0.5f)}});
         b.node(op::Mul, {h, c}, {y});
       }},
      {"x times Sigmoid of itself (SiLU), and one whose Sigmoid is read again", [](ModelBuilder& b) {
         uint64_t x = b.input({1, 4, 9, 11}, "x"), s = b.act({1, 4, 9, 11}), y = b.output({1, 4, 9, 11});
         b.node(op::Sigmoid, {x}, {s});
         b.node(op::Mul, {s, x}, {y});
         uint64_t s2 = b.output({1, 4, 9, 11}), y2 = b.output({1, 4, 9, 11});
         b.node(op::Sigmoid, {y}, {s2});
         b.node(op::Mul, {y, s2}, {y2});
       }},
      {"pools: padded, ceil-sized, global", [](ModelBuilder& b) {
         uint64_t x = b.input({1, 3, 7, 7}, "x");
         uint64_t mp = b.output({1, 3, 4, 4}), ap = b.output({1, 3, 4, 4}), gp = b.output({1, 3, 1, 1});
         const Attrs w = {{A::kKernelH, 3}, {A::kKernelW, 3}, {A::kStrideH, 2}, {A::kStrideW, 2},
                          {A::kPadTop, 1},  {A::kPadLeft, 1},  {A::kPadBottom, 1}, {A::kPadRight, 1}};
         b.node(op::MaxPool, {x}, {mp}, w);
         b.node(op::AveragePool, {x}, {ap}, {{A::kKernelH, 2}, {A::kKernelW, 2}, {A::kStrideH, 2}, {A::kStrideW, 2}});
         b.node(op::GlobalAveragePool, {x}, {gp});
       }},
      {"Gemm as a convolution (K 4900, squares of 7) and as a product", [](ModelBuilder& b) {
         uint64_t x = b.input({2, 4900}, "x"), w = b.weight({3, 4900}, noise(3 * 4900, 11)), c = b.weight({3}, {1, 2, 3});
         uint64_t y = b.output({2, 3});
         b.node(op::Gemm, {x, w, c}, {y}, {{int(attr::Gemm::kTransB), 1}, {attr::Gemm::kAlpha, f32w(0.5f)},
                                           {attr::Gemm::kBeta, f32w(2.0f)}});
         uint64_t z = b.input({3, 5}, "z"), w2 = b.weight({3, 4}, noise(12, 12)), y2 = b.output({5, 4});
         b.node(op::Gemm, {z, w2}, {y2}, {{int(attr::Gemm::kTransA), 1}, {attr::Gemm::kAlpha, f32w(1.0f)},
                                          {attr::Gemm::kBeta, f32w(1.0f)}});
       }},
      {"MatMul: broadcast batches, rank 1, axis-2 batches", [](ModelBuilder& b) {
         uint64_t x = b.input({2, 3, 4, 5}, "x"), w = b.weight({5, 6}, noise(30, 13)), y = b.output({2, 3, 4, 6});
         b.node(op::MatMul, {x, w}, {y});
         uint64_t v = b.input({5}, "v"), w2 = b.weight({3, 5, 2}, noise(30, 14)), y2 = b.output({3, 2});
         b.node(op::MatMul, {v, w2}, {y2});
         uint64_t w3 = b.weight({4, 5, 7}, noise(140, 15)), y3 = b.output({2, 3, 4, 7});
         b.node(op::MatMul, {x, w3}, {y3}, {{int(attr::MatMul::kAxis2Batch), 1}});
       }},
      {"Softmax, ArgMax and reductions on middle and last axes", [](ModelBuilder& b) {
         uint64_t x = b.input({2, 5, 3, 4}, "x");
         uint64_t s1 = b.output({2, 5, 3, 4}), s3 = b.output({2, 5, 3, 4}), am = b.output({2, 1, 3, 4});
         b.node(op::Softmax, {x}, {s1}, {{attr::Softmax::kAxis, 1}});
         b.node(op::Softmax, {x}, {s3}, {{attr::Softmax::kAxis, uint64_t(-1)}});
         b.node(op::ArgMax, {x}, {am}, {{attr::ArgMax::kAxis, 1}, {attr::ArgMax::kKeepdims, 1}});
         for (uint64_t code : {op::ReduceMean, op::ReduceSum, op::ReduceMax, op::ReduceMin, op::ReduceProd}) {
           uint64_t r1 = b.output({2, 3, 4}), r3 = b.output({2, 5, 3, 1});
           b.node(code, {x}, {r1}, {{attr::Reduce::kAxis, 1}});
           b.node(code, {x}, {r3}, {{attr::Reduce::kAxis, 3}, {attr::Reduce::kKeepdims, 1}});
         }
       }},
      {"normalisations", [](ModelBuilder& b) {
         uint64_t x = b.input({2, 3, 4, 5}, "x");
         uint64_t g = b.weight({5}, noise(5, 16)), be = b.weight({5}, noise(5, 17));
         uint64_t s = b.weight({3}, noise(3, 18)), t = b.weight({3}, noise(3, 19));
         uint64_t ln = b.output({2, 3, 4, 5}), in = b.output({2, 3, 4, 5}), bn = b.output({2, 3, 4, 5});
         b.node(op::LayerNormalization, {x, g, be}, {ln}, {{attr::Norm::kEpsilon, f32w(1e-5f)}});
         b.node(op::InstanceNormalization, {x, s, t}, {in}, {{attr::Norm::kEpsilon, f32w(1e-5f)}});
         b.node(op::BatchNormalization, {x, s, t}, {bn});
       }},
      {"layout: Transpose, Concat, Split, strided Slice, Gather, Expand, Pad", [](ModelBuilder& b) {
         uint64_t x = b.input({2, 3, 4, 5}, "x");
         uint64_t tr = b.output({5, 3, 2, 4}), cc = b.output({2, 9, 4, 5}), s0 = b.output({2, 3, 1, 5}),
                  s1 = b.output({2, 3, 3, 5}), sl = b.output({2, 3, 4, 2}), ga = b.output({2, 4, 4, 5}),
                  ex = b.output({2, 3, 4, 5}), pd = b.output({2, 5, 6, 5});
         b.node(op::Transpose, {x}, {tr}, {{attr::Transpose::kPerm + 0, 3}, {attr::Transpose::kPerm + 1, 1},
                                           {attr::Transpose::kPerm + 2, 0}, {attr::Transpose::kPerm + 3, 2}});
         b.node(op::Concat, {x, x, x}, {cc}, {{attr::Concat::kAxis, 1}});
         b.node(op::Split, {x}, {s0, s1}, {{attr::Split::kAxis, 2}});
         b.node(op::Slice, {x}, {sl}, {{attr::Slice::kAxis, 3}, {attr::Slice::kStart, 1}, {attr::Slice::kLength, 2},
                                       {attr::Slice::kStep, 3}});  // elements 1 and 4
         uint64_t idx = b.weight({4}, {2, -1, 0, 7});                      // negative and clamped
         b.node(op::Gather, {x, idx}, {ga}, {{attr::Gather::kAxis, 1}});
         uint64_t col = b.weight({3, 1, 1}, {1, 2, 3});
         b.node(op::Expand, {col}, {ex});
         b.node(op::Pad, {x}, {pd});
       }},
      {"DepthToSpace, SpaceToDepth, ScatterND", [](ModelBuilder& b) {
         uint64_t x = b.input({1, 8, 3, 4}, "x");
         uint64_t d2s = b.output({1, 2, 6, 8}), s2d = b.output({1, 8, 3, 4});
         b.node(op::DepthToSpace, {x}, {d2s}, {{attr::DepthSpace::kBlockSize, 2}});
         uint64_t x2 = b.input({1, 2, 6, 8}, "x2");
         b.node(op::SpaceToDepth, {x2}, {s2d}, {{attr::DepthSpace::kBlockSize, 2}});
         uint64_t data = b.input({3, 4, 2}, "data"), idx = b.weight({2, 1}, {2, 0}), upd = b.input({2, 4, 2}, "upd");
         uint64_t sc = b.output({3, 4, 2});
         b.node(op::ScatterND, {data, idx, upd}, {sc});
       }},
      {"Resize: nearest up and down, bilinear aligned and centred", [](ModelBuilder& b) {
         uint64_t x = b.input({1, 2, 6, 8}, "x");
         uint64_t up = b.output({1, 2, 12, 16}), dn = b.output({1, 2, 3, 4}), al = b.output({1, 2, 9, 13}),
                  ce = b.output({1, 2, 9, 13}), same = b.output({1, 2, 6, 8});
         b.node(op::Resize, {x}, {up});
         b.node(op::Resize, {x}, {dn});
         b.node(op::Resize, {x}, {al}, {{int(attr::Resize::kLinear), 1}, {int(attr::Resize::kAlignCorners), 1}});
         b.node(op::Resize, {x}, {ce}, {{int(attr::Resize::kLinear), 1}});
         b.node(op::Resize, {x}, {same}, {{int(attr::Resize::kLinear), 1}});
       }},
  };
  for (const OpCase& c : cases) {
    ModelBuilder b;
    c.build(b);
    expect_gpu_matches_cpu(b, c.name);
  }
}

// A small convolutional model for the engine-level checks.
ModelBuilder conv_model() {
  using A = attr::Window;
  ModelBuilder b;
  uint64_t x = b.input({1, 3, 10, 10}, "x");
  uint64_t w = b.weight({8, 3, 3, 3}, noise(216, 21)), bias = b.weight({8}, noise(8, 22));
  uint64_t c = b.act({1, 8, 10, 10}), r = b.act({1, 8, 10, 10}), p = b.act({1, 8, 1, 1});
  uint64_t f = b.act({1, 8}), g = b.weight({5, 8}, noise(40, 23)), y = b.output({1, 5}, "y");
  b.node(op::Conv, {x, w, bias}, {c},
         {{A::kKernelH, 3}, {A::kKernelW, 3}, {A::kPadTop, 1}, {A::kPadLeft, 1}, {A::kPadBottom, 1}, {A::kPadRight, 1}});
  b.node(op::HardSwish, {c}, {r});
  b.node(op::GlobalAveragePool, {r}, {p});
  b.node(op::Flatten, {p}, {f}, {{attr::Flatten::kAxis, 1}});
  b.node(op::Gemm, {f, g}, {y}, {{int(attr::Gemm::kTransB), 1}, {attr::Gemm::kAlpha, f32w(1.0f)},
                                 {attr::Gemm::kBeta, f32w(1.0f)}});
  return b;
}

struct EnvScope {
  std::vector<std::string> names;
  EnvScope(std::initializer_list<std::pair<const char*, const char*>> vars) {
    for (auto [k, v] : vars) {
      setenv(k, v, 1);
      names.push_back(k);
    }
  }
  ~EnvScope() {
    for (const std::string& n : names) unsetenv(n.c_str());
  }
};

TEST(MpsEngine, WeightModesGiveIdenticalOutputs) {
  ModelBuilder b = conv_model();
  ModelFile m(b);
  const auto in = inputs_for(b);
  std::vector<std::vector<float>> constant;
  {
    Session s;
    ASSERT_TRUE(s.open(m.path, VORN_BACKEND_GPU)) << s.error();
    constant = s.run(in);
    ASSERT_FALSE(constant.empty()) << s.error();
  }
  for (int mode = 0; mode < 4; ++mode) {
    EnvScope env = mode == 0   ? EnvScope{{"VORN_MPS_FEED_WEIGHTS", "1"}, {"VORN_MPS_FEED_MIN", "0"}}
                   : mode == 1 ? EnvScope{{"VORN_MPS_PRIVATE_WEIGHTS", "1"}}
                   : mode == 2 ? EnvScope{{"VORN_MPS_PRIVATE_WEIGHTS", "1"}, {"VORN_MPS_PRIVATE_MIN", "100"}}
                               : EnvScope{{"VORN_MPS_EXE", "1"}};
    Session s;
    ASSERT_TRUE(s.open(m.path, VORN_BACKEND_GPU)) << s.error();
    for (int run = 0; run < 2; ++run) EXPECT_EQ(s.run(in), constant) << "mode " << mode << " run " << run;
  }
}

TEST(MpsEngine, BatchesOfOneToFiveEqualSingleRuns) {
  // A batchable graph, and one that runs a sample a pass (Softmax over dim
  // 0), both with a last chunk of fewer samples than a pass holds.
  ModelBuilder batchable = conv_model();
  ModelBuilder single;
  {
    uint64_t x = single.input({1, 6}, "x"), s = single.act({1, 6}), y = single.output({1, 6});
    single.node(op::Softmax, {x}, {s}, {{attr::Softmax::kAxis, 0}});
    single.node(op::Mul, {x, s}, {y});
  }
  for (ModelBuilder* b : {&batchable, &single}) {
    ModelFile m(*b);
    Session one;
    ASSERT_TRUE(one.open(m.path, VORN_BACKEND_GPU)) << one.error();
    for (uint32_t n = 1; n <= 5; ++n) {
      Session batch;
      ASSERT_TRUE(batch.open(m.path, VORN_BACKEND_GPU, n)) << batch.error();
      const auto in = inputs_for(*b, n);
      const auto got = batch.run(in);
      ASSERT_EQ(got.size(), 1u) << batch.error();
      const size_t per = in[0].size() / n, out_per = got[0].size() / n;
      for (uint32_t k = 0; k < n; ++k) {
        const auto want = one.run({std::vector<float>(in[0].begin() + k * per, in[0].begin() + (k + 1) * per)});
        ASSERT_EQ(want.size(), 1u);
        // A product of several rows may sum in another order than one of a
        // single row (as on the CPU engine): equal up to that rounding.
        expect_close({std::vector<float>(got[0].begin() + k * out_per, got[0].begin() + (k + 1) * out_per)}, want, 1e-6,
                     "batch " + std::to_string(n) + " sample " + std::to_string(k));
      }
    }
  }
}

// Through the engine itself: a compiled batch of 2 over 3 samples reads and
// writes only the 3 samples of the caller's buffers.
TEST(MpsEngine, LastPartialChunkTouchesOnlyValidSamples) {
  ModelBuilder b;
  uint64_t x = b.input({2, 4}, "x"), y = b.output({2, 4}, "y");
  b.node(op::Neg, {x}, {y});
  ModelFile m(b);
  Session s;
  ASSERT_TRUE(s.open(m.path, VORN_BACKEND_GPU)) << s.error();
  MpsState* engine = s.s->gpu;
  ASSERT_EQ(mps_engine_compiled_batch(engine), 2u);
  std::vector<float> in = noise(12, 41), out(12 + 4, 99.0f);
  ASSERT_TRUE(mps_engine_run_batch(engine, 3, in.data(), out.data()));
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(out[i], -in[i]) << i;
  for (size_t i = 12; i < 16; ++i) EXPECT_EQ(out[i], 99.0f) << "past the samples at " << i;
}

TEST(MpsEngine, HalfPrecisionRoundsEachOperationAndStaysClose) {
  ModelBuilder b = conv_model();
  ModelFile m(b);
  const auto in = inputs_for(b);
  Session f32, f16;
  ASSERT_TRUE(f32.open(m.path, VORN_BACKEND_GPU));
  {
    EnvScope env{{"VORN_PRECISION_GPU_METAL", "f16:fast"}};
    ASSERT_TRUE(f16.open(m.path, VORN_BACKEND_GPU)) << f16.error();
  }
  const auto want = f32.run(in), got = f16.run(in);
  expect_close(got, want, 1e-2, "f16");
  for (float v : got[0]) EXPECT_EQ(v, half_to_float(float_to_half(v)));  // float16 values
  // Settings the GPU does not have are refused with their names.
  for (auto [setting, text] : {std::pair{"int8", "precision.gpu=int8 is not available on the Apple GPU yet"},
                               std::pair{"f16", "precision.gpu=f16 is not available on the Apple GPU yet (binary16 "
                                                "here is f16:fast)"},
                               std::pair{"fp64", "precision.gpu: unrecognised value (expected f32, f16, f16:fast, "
                                                 "int8, int8:static or int8:f16)"}}) {
    EnvScope env{{"VORN_PRECISION_GPU_METAL", setting}};
    Session gpu, aut;
    EXPECT_FALSE(gpu.open(m.path, VORN_BACKEND_GPU));
    EXPECT_EQ(gpu.error(), text);
    // AUTO with a GPU recommendation tries the setting, then f32.
    ASSERT_TRUE(aut.open(m.path, VORN_BACKEND_AUTO)) << aut.error();
    EXPECT_EQ(vorn_session_active_backend(aut.s), VORN_BACKEND_GPU);
    EXPECT_EQ(aut.run(in), want);
  }
}

TEST(MpsEngine, UnsupportedOperatorsAreRefusedAndAutoRunsOnTheCpu) {
  ModelBuilder b;
  uint64_t x = b.input({2, 3}, "x"), w = b.weight({2, 3}, noise(6, 31)), y = b.output({2, 3}, "y");
  b.node(op::Greater, {x, w}, {y});
  ModelFile m(b);
  Session gpu, aut;
  EXPECT_FALSE(gpu.open(m.path, VORN_BACKEND_GPU));
  EXPECT_EQ(vorn_session_error_code(gpu.s), 12u);
  EXPECT_EQ(gpu.error(), "unsupported op in MPS backend");
  ASSERT_TRUE(aut.open(m.path, VORN_BACKEND_AUTO)) << aut.error();
  EXPECT_EQ(vorn_session_active_backend(aut.s), VORN_BACKEND_CPU);
  EXPECT_FALSE(aut.run(inputs_for(b)).empty());
  // A YoloNms that is not the last node.
  ModelBuilder t;
  uint64_t tx = t.input({1, 6, 4}, "x"), td = t.act({1, 4, 6}), ty = t.output({1, 4, 6});
  t.node(op::YoloNms, {tx}, {td}, {{attr::YoloNms::kMaxDetections, 4}});
  t.node(op::Relu, {td}, {ty});
  ModelFile tm(t);
  Session tail;
  EXPECT_FALSE(tail.open(tm.path, VORN_BACKEND_GPU));
  EXPECT_EQ(tail.error(), "YoloNms must be the last node");
}

// A node naming more (or fewer) inputs or outputs than its operator takes is
// refused by both engines, never run on part of its inputs.
TEST(MpsEngine, NodesOfAnotherArityAreRefusedAsTheCpuRefusesThem) {
  struct Bad {
    uint64_t op;
    int inputs, outputs;
    const char* text;
  };
  const Bad table[] = {
      {op::Max, 3, 1, "node 0 (Max): expects 2 to 2 inputs, has 3"},
      {op::Min, 1, 1, "node 0 (Min): expects 2 to 2 inputs, has 1"},
      {op::Where, 2, 1, "node 0 (Where): expects 3 to 3 inputs, has 2"},
      {op::Softmax, 1, 2, "node 0 (Softmax): expects 1 to 1 outputs, has 2"},
  };
  for (const Bad& bad : table) {
    ModelBuilder b;
    std::vector<uint64_t> ins, outs;
    for (int k = 0; k < bad.inputs; ++k) ins.push_back(b.input({2, 3}, ("x" + std::to_string(k)).c_str()));
    for (int k = 0; k < bad.outputs; ++k) outs.push_back(b.output({2, 3}, ("y" + std::to_string(k)).c_str()));
    b.node(bad.op, ins, outs);
    ModelFile m(b);
    Session gpu, cpu;
    EXPECT_FALSE(gpu.open(m.path, VORN_BACKEND_GPU)) << bad.text;
    EXPECT_EQ(gpu.error(), bad.text);
    EXPECT_FALSE(cpu.open(m.path, VORN_BACKEND_CPU)) << bad.text;
  }
}

TEST(MpsEngine, FaultTokensFailTheOpenCleanly) {
  ModelBuilder b = conv_model();
  ModelFile m(b);
  for (const char* token : {"gpu.device", "gpu.library", "gpu.pipeline", "gpu.host_allocation", "gpu.queue", "gpu.weights"}) {
    EnvScope env{{"VORN_TEST_FAULTS", token}};
    Session gpu, aut;
    EXPECT_FALSE(gpu.open(m.path, VORN_BACKEND_GPU)) << token;
    EXPECT_EQ(vorn_session_error_code(gpu.s), 8u) << token;
    EXPECT_EQ(gpu.error(), "GPU/NPU slot allocation failed") << token;
    ASSERT_TRUE(aut.open(m.path, VORN_BACKEND_AUTO)) << token << ": " << aut.error();
    EXPECT_EQ(vorn_session_active_backend(aut.s), VORN_BACKEND_CPU) << token;
    EXPECT_FALSE(aut.run(inputs_for(b)).empty()) << token;
  }
}

TEST(MpsEngine, ThousandOpenRunFreeCyclesKeepMemoryFlat) {
  ModelBuilder b = conv_model();
  ModelFile m(b);
  const auto in = inputs_for(b);
  auto cycle = [&] {
    Session s;
    ASSERT_TRUE(s.open(m.path, VORN_BACKEND_GPU)) << s.error();
    ASSERT_FALSE(s.run(in).empty());
  };
  for (int i = 0; i < 50; ++i) cycle();
  malloc_trim(0);
  const size_t before = mallinfo2().uordblks;
  for (int i = 0; i < 1000; ++i) cycle();
  malloc_trim(0);
  const size_t after = mallinfo2().uordblks;
  EXPECT_LT(after, before + (256u << 10)) << before << " -> " << after;
}

// Large enough that every kind of operation splits its work over the pool.
ModelBuilder pooled_model() {
  using A = attr::Window;
  ModelBuilder b;
  uint64_t x = b.input({1, 8, 64, 64}, "x");
  uint64_t w = b.weight({16, 8, 3, 3}, noise(1152, 51));
  uint64_t c = b.act({1, 16, 64, 64}), s = b.act({1, 16, 64, 64}), m = b.act({1, 16, 64, 1});
  uint64_t g = b.weight({64}, noise(64, 52)), l = b.act({1, 16, 64, 64}), y = b.output({1, 16, 64, 64}, "y");
  uint64_t r = b.output({1, 16, 64, 1}, "r");
  b.node(op::Conv, {x, w}, {c},
         {{A::kKernelH, 3}, {A::kKernelW, 3}, {A::kPadTop, 1}, {A::kPadLeft, 1}, {A::kPadBottom, 1}, {A::kPadRight, 1}});
  b.node(op::Softmax, {c}, {s}, {{attr::Softmax::kAxis, 1}});
  b.node(op::LayerNormalization, {s, g}, {l}, {{attr::Norm::kEpsilon, f32w(1e-5f)}});
  b.node(op::Gelu, {l}, {y});
  b.node(op::ReduceMean, {c}, {m}, {{attr::Reduce::kAxis, 3}, {attr::Reduce::kKeepdims, 1}});
  b.node(op::Sigmoid, {m}, {r});
  return b;
}

TEST(MpsEngineCores, Child) {
  if (!in_pinned_child()) GTEST_SKIP() << "runs in the pinned children only";
  ModelBuilder b = pooled_model();
  ModelFile m(b);
  Session s;
  ASSERT_TRUE(s.open(m.path, VORN_BACKEND_GPU)) << s.error();
  uint64_t hash = 1469598103934665603ull;
  for (const auto& out : s.run(inputs_for(b)))
    for (float v : out) {
      uint32_t bits;
      std::memcpy(&bits, &v, 4);
      hash = (hash ^ bits) * 1099511628211ull;
    }
  std::printf("ANSWER %llx\n", static_cast<unsigned long long>(hash));
}

TEST(MpsEngineCores, SameBitsWhateverTheCores) {
  const std::vector<int> counts = pinned_core_counts();
  const std::string first = run_pinned(counts[0], "MpsEngineCores.Child");
  ASSERT_FALSE(first.empty());
  for (size_t i = 1; i < counts.size(); ++i)
    EXPECT_EQ(run_pinned(counts[i], "MpsEngineCores.Child"), first) << counts[i] << " cores";
}

}  // namespace
}  // namespace vorn::test
