// Sessions end to end through the public C interface, on models written by
// the container writer: inspect, open on CPU and AUTO, runs from a JPEG
// frame and from raw tensors of every bound type, batches against single
// runs, unload, reload, descriptor opens and reset.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "platform/half.h"
#include "session/session.h"
#include "tests/reference/frame_tensor_reference.h"
#include "tests/reference/scoped_env.h"
#include "tests/session/test_models.h"
#include "vorn.h"

namespace vorn::test {
namespace {

constexpr uint64_t kH = 7, kW = 9, kN = 3 * kH * kW;

struct Handles {
  VornSession* s;
  VornInput* in = vorn_input_new();
  VornOutput* out = vorn_output_new();
  explicit Handles(VornConfig* config = nullptr) : s(vorn_session_new(config)) {}
  ~Handles() {
    vorn_output_free(out);
    vorn_input_free(in);
    vorn_session_free(s);
  }
  std::string error() const {
    return std::to_string(vorn_session_error_code(s)) + " " +
           std::string(vorn_session_error_message_ptr(s), vorn_session_error_message_len(s));
  }
  std::vector<float> tensor(int32_t slot) const {
    const float* p = vorn_output_f32_ptr(out, slot);
    uint64_t n = vorn_output_elem_count(out, slot);
    return p == nullptr ? std::vector<float>() : std::vector<float>(p, p + n);
  }
};

bool open(Handles& h, const std::string& path) {
  return vorn_session_open(h.s, path.data(), path.size());
}

// relu = max(x + w1, 0) and scaled = (x + w1) * w2, sample by sample.
void expect_two_outputs(const Handles& h, const std::vector<float>& x, uint64_t samples) {
  const std::vector<float> w1 = ramp(kN, -0.5f, 1.0f / float(kN));
  const std::vector<float> w2 = ramp(kN, 2.0f, -0.25f);
  std::vector<float> relu = h.tensor(0), scaled = h.tensor(1);
  ASSERT_EQ(relu.size(), kN * samples);
  ASSERT_EQ(scaled.size(), kN * samples);
  for (uint64_t i = 0; i < kN * samples; ++i) {
    const float a = x[i] + w1[i % kN];
    ASSERT_EQ(relu[i], a > 0.0f ? a : 0.0f) << i;
    ASSERT_EQ(scaled[i], a * w2[i % kN]) << i;
  }
}

TEST(SessionEndToEnd, InspectDescribesWithoutEngine) {
  ModelBuilder b = image_two_output_model(kH, kW);
  b.meta(WriterMeta::str("task", "classify"));
  b.meta(WriterMeta::list("labels", {"cat", "dog", "bird"}));
  b.meta(WriterMeta::i64("answer", 42));
  ModelFile m(b);
  ASSERT_TRUE(m.ok()) << m.error;
  Handles h;
  ASSERT_TRUE(vorn_session_inspect(h.s, m.path.data(), m.path.size())) << h.error();
  EXPECT_EQ(vorn_session_active_backend(h.s), 0u);
  EXPECT_FALSE(vorn_session_is_generative(h.s));
  ASSERT_EQ(vorn_session_input_count(h.s), 1u);
  EXPECT_STREQ(vorn_session_input_name_ptr(h.s, 0), "image");
  EXPECT_EQ(vorn_session_input_dtype(h.s, 0), VORN_DTYPE_F32);
  EXPECT_EQ(vorn_session_input_rank(h.s, 0), 4u);
  EXPECT_EQ(vorn_session_input_dim(h.s, 0, 3), int64_t(kW));
  EXPECT_EQ(vorn_session_input_dim(h.s, 0, 4), -1);
  EXPECT_EQ(vorn_session_input_dim(h.s, -1, 0), -1);
  EXPECT_EQ(vorn_session_input_bytes(h.s, 0), kN * 4);
  ASSERT_EQ(vorn_session_output_count(h.s), 2u);
  EXPECT_STREQ(vorn_session_output_name_ptr(h.s, 1), "scaled");
  EXPECT_GT(vorn_session_estimated_memory_bytes(h.s), 3 * kN * 4);
  EXPECT_EQ(vorn_session_subgraph_count(h.s), 1u);
  EXPECT_STREQ(vorn_session_subgraph_name_ptr(h.s, 0), "main");
  EXPECT_EQ(vorn_session_subgraph_name_len(h.s, 1), 0u);
  EXPECT_EQ(vorn_session_label_count(h.s), 3u);
  EXPECT_EQ(std::string(vorn_session_label_ptr(h.s, 1), vorn_session_label_len(h.s, 1)), "dog");
  EXPECT_EQ(vorn_session_label_len(h.s, 3), 0u);
  EXPECT_STREQ(vorn_session_meta_str_ptr(h.s, "task", 4), "classify");
  EXPECT_EQ(vorn_session_meta_i64(h.s, "answer", 6), 42);
  EXPECT_TRUE(vorn_session_has_meta(h.s, "answer", 6));
  EXPECT_FALSE(vorn_session_has_meta(h.s, "answe", 5));
  // An inspected session has no engine to run.
  std::vector<float> x(kN, 1.0f);
  ASSERT_TRUE(vorn_input_set_f32(h.in, 0, x.data(), x.size(), 0));
  EXPECT_FALSE(vorn_session_run(h.s, h.in, h.out));
  EXPECT_EQ(vorn_session_error_code(h.s), 1u);
  // Reload of an inspected session creates the engine.
  ASSERT_TRUE(vorn_session_reload(h.s)) << h.error();
  EXPECT_EQ(vorn_session_active_backend(h.s), VORN_BACKEND_GPU);
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
}

TEST(SessionEndToEnd, OpensOnCpuAndAuto) {
  ModelBuilder b = image_two_output_model(kH, kW);
  ModelFile m(b);
  ASSERT_TRUE(m.ok()) << m.error;
  for (uint32_t backend : {VORN_BACKEND_CPU, VORN_BACKEND_AUTO}) {
    Handles h;
    vorn_session_set_backend(h.s, backend);
    ASSERT_TRUE(open(h, m.path)) << h.error();
    EXPECT_EQ(vorn_session_requested_backend(h.s), backend);
    // AUTO takes the GPU engine for a model not marked "cpu".
    const uint32_t want = backend == VORN_BACKEND_CPU ? VORN_BACKEND_CPU : VORN_BACKEND_GPU;
    EXPECT_EQ(vorn_session_active_backend(h.s), want);
    EXPECT_EQ(vorn_session_error_code(h.s), 0u);
    std::vector<float> x = ramp(kN, -1.0f, 0.03f);
    ASSERT_TRUE(vorn_input_set_f32(h.in, 0, x.data(), x.size(), 0));
    ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
    EXPECT_EQ(vorn_output_backend_used(h.out), want);
    EXPECT_EQ(vorn_output_tensor_count(h.out), 2u);
    expect_two_outputs(h, x, 1);
  }
}

// AUTO follows the recommendation: "gpu" takes the GPU engine, "cpu" the
// CPU engine without touching the GPU (even when the device fails).
TEST(SessionEndToEnd, AutoFollowsTheRecommendedBackend) {
  for (const char* rec : {"gpu", "cpu"}) {
    ModelBuilder b = image_two_output_model(kH, kW);
    b.meta(WriterMeta::str("backend", rec));
    ModelFile m(b);
    Handles h;
    if (rec[0] == 'c') setenv("VORN_TEST_FAULTS", "gpu.device", 1);
    ASSERT_TRUE(open(h, m.path)) << h.error();
    unsetenv("VORN_TEST_FAULTS");
    EXPECT_EQ(vorn_session_active_backend(h.s), rec[0] == 'g' ? VORN_BACKEND_GPU : VORN_BACKEND_CPU);
  }
}

TEST(SessionEndToEnd, RawTensorsOfEveryType) {
  ModelBuilder b = image_two_output_model(kH, kW);
  ModelFile m(b);
  Handles h;
  vorn_session_set_backend(h.s, VORN_BACKEND_CPU);
  ASSERT_TRUE(open(h, m.path)) << h.error();

  std::vector<float> xf(kN);
  std::vector<int64_t> xi(kN);
  std::vector<uint16_t> xh(kN);
  std::vector<uint8_t> xu(kN);
  for (uint64_t i = 0; i < kN; ++i) {
    xi[i] = int64_t(i % 7) - 3;
    xu[i] = uint8_t(i * 37 % 256);
    xh[i] = float_to_half(float(i) * 0.125f - 7.0f);
    xf[i] = float(i) * 0.01f - 0.9f;
  }
  ASSERT_TRUE(vorn_input_set_f32(h.in, 0, xf.data(), kN, 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  expect_two_outputs(h, xf, 1);

  vorn_input_clear(h.in);
  ASSERT_TRUE(vorn_input_set_i64(h.in, 0, xi.data(), kN, 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  std::vector<float> want(kN);
  for (uint64_t i = 0; i < kN; ++i) want[i] = float(xi[i]);
  expect_two_outputs(h, want, 1);

  vorn_input_clear(h.in);
  ASSERT_TRUE(vorn_input_set_f16(h.in, 0, xh.data(), kN, 1));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  for (uint64_t i = 0; i < kN; ++i) want[i] = half_to_float(xh[i]);
  expect_two_outputs(h, want, 1);

  vorn_input_clear(h.in);
  ASSERT_TRUE(vorn_input_set_named_u8(h.in, "image", 5, xu.data(), kN, 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  for (uint64_t i = 0; i < kN; ++i) want[i] = float(xu[i]);
  expect_two_outputs(h, want, 1);
  EXPECT_GE(vorn_output_latency_ms(h.out), 0.0);
}

TEST(SessionEndToEnd, JpegFrameMatchesReferencePreprocessing) {
  const std::string jpeg = std::string(VORN_TEST_DATA) + "/images/jpeg_baseline_444.jpg";
  VornFrame* frame = vorn_frame_new();
  ASSERT_TRUE(vorn_frame_load_file(frame, jpeg.data(), jpeg.size())) << vorn_frame_error_message_ptr(frame);
  reference::RefImage im{vorn_frame_data_ptr(frame), vorn_frame_width(frame), vorn_frame_height(frame),
                         vorn_frame_stride(frame), vorn_frame_format(frame)};
  struct Mode {
    const char* resize;
    uint32_t mode;
  };
  for (Mode mode : {Mode{"stretch", 0}, Mode{"letterbox", 1}, Mode{"center_crop", 2}}) {
    ModelBuilder b = image_identity_model(kH, kW);
    b.meta(WriterMeta::str("resize", mode.resize));
    b.meta(WriterMeta::str("normalize", "imagenet"));
    b.meta(WriterMeta::str("color", "bgr"));
    b.meta(WriterMeta::i64("letterbox_pad", 7));
    ModelFile m(b);
    Handles h;
    ASSERT_TRUE(open(h, m.path)) << h.error();
    vorn_input_set_frame(h.in, frame);
    ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
    reference::RefSettings st{mode.mode, 7, true, 1.0f / 255.0f,
                              {0.485f, 0.456f, 0.406f}, {0.229f, 0.224f, 0.225f}};
    reference::RefFigures fig{};
    std::vector<float> want = reference::ref_frame_to_tensor(im, st, kW, kH, &fig);
    std::vector<float> got = h.tensor(0);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4)) << mode.resize;
    EXPECT_EQ(vorn_output_scale_x(h.out), fig.scale_x);
    EXPECT_EQ(vorn_output_scale_y(h.out), fig.scale_y);
    EXPECT_EQ(vorn_output_pad_x(h.out), fig.pad_x);
    EXPECT_EQ(vorn_output_pad_y(h.out), fig.pad_y);
  }
  vorn_frame_free(frame);
}

TEST(SessionEndToEnd, BatchOfFourEqualsFourSingleRuns) {
  ModelBuilder b = image_two_output_model(kH, kW);
  ModelFile m(b);
  Handles single, batch;
  vorn_session_set_batch_size(batch.s, 4);
  ASSERT_TRUE(open(single, m.path)) << single.error();
  ASSERT_TRUE(open(batch, m.path)) << batch.error();
  EXPECT_EQ(vorn_session_input_dim(batch.s, 0, 0), 4);
  EXPECT_EQ(vorn_session_output_dim(batch.s, 1, 0), 4);

  std::vector<float> x = ramp(4 * kN, -2.0f, 0.011f);
  ASSERT_TRUE(vorn_input_set_f32(batch.in, 0, x.data(), x.size(), 0));
  ASSERT_TRUE(vorn_session_run(batch.s, batch.in, batch.out)) << batch.error();
  for (int32_t slot = 0; slot < 2; ++slot) {
    std::vector<float> all = batch.tensor(slot);
    ASSERT_EQ(all.size(), 4 * kN);
    EXPECT_EQ(vorn_output_dim(batch.out, slot, 0), 4);
    for (uint64_t k = 0; k < 4; ++k) {
      ASSERT_TRUE(vorn_input_set_f32(single.in, 0, x.data() + k * kN, kN, 0));
      ASSERT_TRUE(vorn_session_run(single.s, single.in, single.out)) << single.error();
      std::vector<float> one = single.tensor(slot);
      ASSERT_EQ(one.size(), kN);
      EXPECT_EQ(0, std::memcmp(one.data(), all.data() + k * kN, kN * 4)) << "slot " << slot << " sample " << k;
    }
  }
  expect_two_outputs(batch, x, 4);

  // Frames: four different images against four single runs.
  std::vector<std::vector<uint8_t>> pixels(4);
  std::vector<VornFrame*> frames(4);
  for (int k = 0; k < 4; ++k) {
    pixels[k].resize(11 * 13 * 3);
    for (size_t i = 0; i < pixels[k].size(); ++i) pixels[k][i] = uint8_t(i * (k + 3) + k * 50);
    frames[k] = vorn_frame_new();
    ASSERT_TRUE(vorn_frame_set_pixels(frames[k], pixels[k].data(), pixels[k].size(), 13, 11, 0,
                                      VORN_PIXEL_RGB, 1, 0));
  }
  vorn_input_clear(batch.in);
  for (VornFrame* f : frames) ASSERT_TRUE(vorn_input_add_batch_frame(batch.in, f));
  ASSERT_TRUE(vorn_session_run(batch.s, batch.in, batch.out)) << batch.error();
  std::vector<float> all = batch.tensor(1);
  for (int k = 0; k < 4; ++k) {
    vorn_input_clear(single.in);
    vorn_input_set_frame(single.in, frames[k]);
    ASSERT_TRUE(vorn_session_run(single.s, single.in, single.out)) << single.error();
    std::vector<float> one = single.tensor(1);
    EXPECT_EQ(0, std::memcmp(one.data(), all.data() + k * kN, kN * 4)) << "frame " << k;
  }
  for (VornFrame* f : frames) vorn_frame_free(f);
}

// An output that does not depend on the input is not widened by the batch:
// its slot holds what the engine produced, not the batch-widened description.
TEST(SessionEndToEnd, BatchedOutputsSizedFromWhatTheEngineProduces) {
  ModelBuilder b;
  uint64_t x = b.input({1, 4}, "x");
  uint64_t w = b.weight({1, 4}, {-1, 2, -3, 4});
  uint64_t y = b.output({1, 4}, "y");
  uint64_t z = b.output({1, 4}, "z");
  b.node(op::Relu, {x}, {y});
  b.node(op::Relu, {w}, {z});
  ModelFile m(b);
  Handles h;
  vorn_session_set_batch_size(h.s, 4);
  ASSERT_TRUE(open(h, m.path)) << h.error();
  EXPECT_EQ(vorn_session_output_dim(h.s, 1, 0), 4);  // the description
  std::vector<float> in = ramp(16, -4.0f, 0.5f);
  ASSERT_TRUE(vorn_input_set_f32(h.in, 0, in.data(), in.size(), 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  std::vector<float> ys = h.tensor(0), zs = h.tensor(1);
  ASSERT_EQ(ys.size(), 16u);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(ys[i], in[i] > 0 ? in[i] : 0.0f);
  EXPECT_EQ(zs, (std::vector<float>{0, 2, 0, 4}));
  EXPECT_EQ(vorn_output_dim(h.out, 1, 0), 1);
}

// A graph the engine cannot widen (a Softmax over dim 0) runs a batch one
// sample a pass; every sample still lands in the output, also from I64.
TEST(SessionEndToEnd, BatchOfSingleSamplePassesFillsEverySample) {
  ModelBuilder b;
  uint64_t x = b.input({1, 4}, "x");
  uint64_t soft = b.act({1, 4});
  uint64_t y = b.output({1, 4}, "y");
  b.node(op::Softmax, {x}, {soft}, {{attr::Softmax::kAxis, 0}});
  b.node(op::Mul, {x, soft}, {y});  // softmax over a dim of 1 is 1: y = x
  ModelFile m(b);
  Handles h;
  vorn_session_set_batch_size(h.s, 4);
  ASSERT_TRUE(open(h, m.path)) << h.error();
  ASSERT_EQ(h.s->compiled_batch, 1u);  // one sample a pass
  std::vector<int64_t> xi(16);
  for (size_t i = 0; i < 16; ++i) xi[i] = int64_t(i) * 3 - 20;
  ASSERT_TRUE(vorn_input_set_i64(h.in, 0, xi.data(), xi.size(), 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  std::vector<float> got = h.tensor(0);
  ASSERT_EQ(got.size(), 16u);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(got[i], float(xi[i])) << i;
  EXPECT_EQ(vorn_output_dim(h.out, 0, 0), 4);
  std::vector<float> xf = ramp(16, 5.0f, -0.75f);
  vorn_input_clear(h.in);
  ASSERT_TRUE(vorn_input_set_f32(h.in, 0, xf.data(), xf.size(), 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  EXPECT_EQ(h.tensor(0), xf);
}

// An image input of rank 3 gets a 224 x 224 image.
TEST(SessionEndToEnd, RankThreeImageInputTakes224) {
  ModelBuilder b;
  uint64_t x = b.input({3, 224, 224}, "image");
  uint64_t y = b.output({3, 224, 224}, "y");
  b.node(op::Relu, {x}, {y});
  ModelFile m(b);
  Handles h;
  ASSERT_TRUE(open(h, m.path)) << h.error();
  std::vector<uint8_t> px(31 * 17 * 3);
  for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(i * 7);
  VornFrame* f = vorn_frame_new();
  ASSERT_TRUE(vorn_frame_set_pixels(f, px.data(), px.size(), 31, 17, 0, VORN_PIXEL_RGB, 1, 0));
  vorn_input_set_frame(h.in, f);
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  reference::RefImage im{px.data(), 31, 17, 93, VORN_PIXEL_RGB};
  reference::RefSettings st{0, 114, false, 1.0f / 255.0f, {0, 0, 0}, {1, 1, 1}};
  reference::RefFigures fig{};
  std::vector<float> want = reference::ref_frame_to_tensor(im, st, 224, 224, &fig);
  EXPECT_EQ(h.tensor(0), want);
  EXPECT_EQ(vorn_output_scale_x(h.out), 224.0f / 31.0f);
  vorn_frame_free(f);
}

// Secondary inputs of every type are bound into the engine by name or index;
// a batch of four carries all four samples of both inputs.
TEST(SessionEndToEnd, SecondaryInputsOfEveryTypeAndBatches) {
  ModelBuilder b;
  uint64_t x = b.input({1, 6}, "x");
  uint64_t y = b.input({1, 6}, "y");
  uint64_t z = b.output({1, 6}, "z");
  b.node(op::Add, {x, y}, {z});
  ModelFile m(b);
  Handles h;
  ASSERT_TRUE(open(h, m.path)) << h.error();
  ASSERT_EQ(vorn_session_input_count(h.s), 2u);
  const std::vector<float> xs = {1.5f, -2, 3, 0.25f, 8, -9};
  const std::vector<uint8_t> yu = {0, 1, 2, 200, 255, 7};
  const std::vector<int64_t> yi = {-5, 4, 100000, 0, 1, -1};
  std::vector<uint16_t> yh(6);
  for (int i = 0; i < 6; ++i) yh[i] = float_to_half(0.5f * float(i) - 1.25f);
  auto expect_sum = [&](const std::vector<float>& ys) {
    std::vector<float> got = h.tensor(0);
    ASSERT_EQ(got.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(got[i], xs[i] + ys[i]) << i;
  };
  ASSERT_TRUE(vorn_input_set_f32(h.in, 0, xs.data(), 6, 0));
  ASSERT_TRUE(vorn_input_set_named_u8(h.in, "y", 1, yu.data(), 6, 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  expect_sum({0, 1, 2, 200, 255, 7});
  vorn_input_clear(h.in);
  ASSERT_TRUE(vorn_input_set_f32(h.in, 0, xs.data(), 6, 0));
  ASSERT_TRUE(vorn_input_set_i64(h.in, 1, yi.data(), 6, 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  expect_sum({-5, 4, 100000, 0, 1, -1});
  vorn_input_clear(h.in);  // a binding by index and one by name are two slots
  ASSERT_TRUE(vorn_input_set_f32(h.in, 0, xs.data(), 6, 0));
  ASSERT_TRUE(vorn_input_set_named_f16(h.in, "y", 1, yh.data(), 6, 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  std::vector<float> want(6);
  for (int i = 0; i < 6; ++i) want[i] = half_to_float(yh[i]);
  expect_sum(want);

  // Batch of four: both inputs carry four samples.
  Handles batch;
  vorn_session_set_batch_size(batch.s, 4);
  ASSERT_TRUE(open(batch, m.path)) << batch.error();
  std::vector<float> x4 = ramp(24, -3.0f, 0.5f), y4 = ramp(24, 10.0f, -0.75f);
  ASSERT_TRUE(vorn_input_set_f32(batch.in, 0, x4.data(), 24, 0));
  ASSERT_TRUE(vorn_input_set_named_f32(batch.in, "y", 1, y4.data(), 24, 0));
  ASSERT_TRUE(vorn_session_run(batch.s, batch.in, batch.out)) << batch.error();
  std::vector<float> got = batch.tensor(0);
  ASSERT_EQ(got.size(), 24u);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(got[i], x4[i] + y4[i]) << i;
}

// Engines keep their primary input between runs: a run that binds only the
// other inputs fails on either backend instead of adding to the previous
// run's input 0, and leaves no tensors behind.
TEST(SessionEndToEnd, SecondaryInputsAloneAreRefused) {
  ModelBuilder b;
  uint64_t x = b.input({1, 3}, "x");
  uint64_t y = b.input({1, 3}, "y");
  b.node(op::Add, {x, y}, {b.output({1, 3}, "z")});
  ModelFile m(b);
  const std::vector<float> big = {1000, 1000, 1000}, five = {5, 5, 5}, seven = {7, 7, 7};
  const struct {
    uint32_t backend;
    const char* message;
  } cases[] = {{VORN_BACKEND_GPU, "No backend engine initialized"},
               {VORN_BACKEND_CPU, "Model primary input tensor is not bound"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.backend);
    Handles h;
    vorn_session_set_backend(h.s, c.backend);
    ASSERT_TRUE(open(h, m.path)) << h.error();
    ASSERT_EQ(vorn_session_active_backend(h.s), c.backend);
    ASSERT_TRUE(vorn_input_set_f32(h.in, 0, big.data(), 3, 0));
    ASSERT_TRUE(vorn_input_set_f32(h.in, 1, five.data(), 3, 0));
    ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
    EXPECT_EQ(h.tensor(0), (std::vector<float>{1005, 1005, 1005}));
    vorn_input_clear(h.in);
    ASSERT_TRUE(vorn_input_set_named_f32(h.in, "y", 1, seven.data(), 3, 0));
    EXPECT_FALSE(vorn_session_run(h.s, h.in, h.out));
    EXPECT_EQ(vorn_session_error_code(h.s), VORN_STATUS_BACKEND_FAILURE);
    EXPECT_STREQ(vorn_session_error_message_ptr(h.s), c.message);
    EXPECT_EQ(vorn_output_tensor_count(h.out), 0u);
    ASSERT_TRUE(vorn_input_set_f32(h.in, 0, five.data(), 3, 0));
    ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
    EXPECT_EQ(h.tensor(0), (std::vector<float>{12, 12, 12}));
  }
}

TEST(SessionEndToEnd, UnloadReloadAndResetKeepResults) {
  ModelBuilder b = image_two_output_model(kH, kW);
  b.meta(WriterMeta::list("labels", {"a", "b"}));
  ModelFile m(b);
  Handles h;
  ASSERT_TRUE(open(h, m.path)) << h.error();
  std::vector<float> x = ramp(kN, 0.5f, -0.02f);
  ASSERT_TRUE(vorn_input_set_f32(h.in, 0, x.data(), kN, 1));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  std::vector<float> first = h.tensor(1);

  ASSERT_TRUE(vorn_session_unload(h.s));
  EXPECT_EQ(vorn_session_active_backend(h.s), 0u);
  EXPECT_EQ(vorn_session_input_count(h.s), 1u);  // the description stays
  EXPECT_EQ(vorn_session_label_count(h.s), 2u);
  EXPECT_FALSE(vorn_session_run(h.s, h.in, h.out));
  EXPECT_EQ(vorn_session_error_code(h.s), 1u);
  EXPECT_STREQ(vorn_session_error_message_ptr(h.s), "Session is not opened (or was unloaded)");
  EXPECT_TRUE(vorn_session_unload(h.s));  // nothing to unload is fine

  ASSERT_TRUE(vorn_session_reload(h.s)) << h.error();
  EXPECT_EQ(vorn_session_active_backend(h.s), VORN_BACKEND_GPU);
  // Reload of an open session answers true and leaves the record alone.
  vorn_session_set_subgraph(h.s, "x", 1);
  EXPECT_TRUE(vorn_session_reload(h.s));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  EXPECT_EQ(h.tensor(1), first);

  // A cancel before reset does not reach the next run.
  vorn_session_cancel(h.s);
  ASSERT_TRUE(vorn_session_reset(h.s));
  EXPECT_EQ(vorn_session_error_code(h.s), 0u);
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  EXPECT_EQ(h.tensor(1), first);
}

TEST(SessionEndToEnd, DescriptorRangeOpensAndReloadsAfterCallerCloses) {
  ModelBuilder b = image_two_output_model(kH, kW);
  ModelFile m(b);
  // The model behind 4096 bytes of something else in one file.
  std::vector<char> bytes(4096, 'x');
  {
    int in = ::open(m.path.c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    char buf[65536];
    ssize_t n;
    while ((n = read(in, buf, sizeof buf)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    close(in);
  }
  std::string packed = m.path + ".packed";
  int out = ::open(packed.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  ASSERT_EQ(write(out, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  close(out);

  Handles h;
  int fd = ::open(packed.c_str(), O_RDONLY);
  ASSERT_TRUE(vorn_session_open_fd(h.s, fd, 4096, bytes.size() - 4096)) << h.error();
  close(fd);
  unlink(packed.c_str());
  std::vector<float> x = ramp(kN, 1.0f, -0.05f);
  ASSERT_TRUE(vorn_input_set_f32(h.in, 0, x.data(), kN, 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  std::vector<float> first = h.tensor(0);
  // The caller's descriptor is gone: the reload reads the session's own.
  ASSERT_TRUE(vorn_session_unload(h.s));
  ASSERT_TRUE(vorn_session_reload(h.s)) << h.error();
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  EXPECT_EQ(h.tensor(0), first);
  expect_two_outputs(h, x, 1);
}

TEST(SessionEndToEnd, ThirtyTwoThreadsOpen) {
  ModelBuilder b = image_two_output_model(kH, kW);
  ModelFile m(b);
  VornConfig* config = vorn_config_new();
  vorn_config_set_threads(config, 32);
  vorn_config_set_verify_weights(config, 1);
  Handles h(config);
  vorn_config_free(config);
  ASSERT_TRUE(open(h, m.path)) << h.error();
}

TEST(SessionEndToEnd, WarmupRunsAndOpenStillSucceeds) {
  ModelBuilder b = image_two_output_model(kH, kW);
  ModelFile m(b);
  Handles h;
  vorn_session_set_warmup(h.s, 1);
  ASSERT_TRUE(open(h, m.path)) << h.error();
  std::vector<float> x(kN, 0.25f);
  ASSERT_TRUE(vorn_input_set_f32(h.in, 0, x.data(), kN, 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  expect_two_outputs(h, x, 1);
}

// The CPU session's simulated quantisation, as the environment asks for it
// at open: "u8" and "u16" weights and product operands take the 7-level
// symmetric grid of "i4" (bit for bit the same answer, and not the f32 one).
TEST(SessionEndToEnd, UnsignedQuantisedWeightsAndOperandsTakeTheI4Grid) {
  ModelBuilder b;
  const uint64_t x = b.input({2, 8}, "x");
  const uint64_t w = b.weight({8, 4}, ramp(32, -1.3f, 0.0937f));
  b.node(op::Gemm, {x, w}, {b.output({2, 4}, "y")}, {{attr::Gemm::kAlpha, f32_word(1.0f)}});
  ModelFile m(b);
  const std::vector<float> xs = ramp(16, 0.71f, -0.113f);
  auto answer = [&](const char* variable, const char* type) {
    ScopedEnv env(variable, type);
    Handles h;
    vorn_session_set_backend(h.s, VORN_BACKEND_CPU);
    EXPECT_TRUE(open(h, m.path)) << h.error();
    EXPECT_TRUE(vorn_input_set_f32(h.in, 0, xs.data(), xs.size(), 0));
    EXPECT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
    return h.tensor(0);
  };
  const std::vector<float> plain = answer("VORN_CPU_QW", "");  // an empty word is off
  for (const char* variable : {"VORN_CPU_QW", "VORN_CPU_QA"}) {
    const std::vector<float> i4 = answer(variable, "i4");
    ASSERT_EQ(i4.size(), 8u);
    EXPECT_NE(i4, plain) << variable;
    for (const char* type : {"u8", "u16"}) EXPECT_EQ(answer(variable, type), i4) << variable << " " << type;
  }
}

// A ranges file shorter than the model's three ranges a value gives the
// values it holds: here max |x| alone, which the "i8" grid reads.
TEST(SessionEndToEnd, ShortRangesFileGivesTheRangesItHolds) {
  ModelBuilder b;
  const uint64_t x = b.input({1, 6}, "x");
  b.node(op::Relu, {x}, {b.output({1, 6}, "y")});
  b.weight({1}, {0.0f});  // value 2; the file holds nothing for it
  ModelFile m(b);
  char path[] = "/tmp/vorn_ranges_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const float amax[3] = {1.0f, 0.5f, 0.0f};
  ASSERT_EQ(write(fd, amax, sizeof amax), ssize_t(sizeof amax));
  close(fd);
  ScopedEnv qt("VORN_CPU_QT", "i8"), ranges("VORN_CPU_QCAL", path);
  Handles h;
  vorn_session_set_backend(h.s, VORN_BACKEND_CPU);
  const bool opened = open(h, m.path);
  unlink(path);
  ASSERT_TRUE(opened) << h.error();
  const std::vector<float> xs = {-2.0f, -0.3f, 0.004f, 0.37f, 0.9f, 3.0f};
  ASSERT_TRUE(vorn_input_set_f32(h.in, 0, xs.data(), xs.size(), 0));
  ASSERT_TRUE(vorn_session_run(h.s, h.in, h.out)) << h.error();
  // The input on the grid of max |x| 1, then the Relu's output on that of 0.5.
  auto grid = [](float v, float a) {
    return a / 127.0f * std::min(std::max(std::nearbyint(v * 127.0f / a), -127.0f), 127.0f);
  };
  std::vector<float> want;
  for (float v : xs) want.push_back(grid(std::max(grid(v, 1.0f), 0.0f), 0.5f));
  EXPECT_EQ(h.tensor(0), want);
}

}  // namespace
}  // namespace vorn::test
