// What a session reads from a model's metadata (pre-processing settings,
// backend recommendation, corner boxes), how caller settings win over it
// and never leak from one model to the next, path resolution, and the
// string metadata cache.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "session/session.h"
#include "session/text.h"
#include "tests/session/test_models.h"
#include "vorn.h"

namespace vorn::test {
namespace {

ModelBuilder tiny_model() {
  ModelBuilder b;
  uint64_t x = b.input({1, 3, 2, 2}, "x");
  uint64_t y = b.output({1, 3, 2, 2}, "y");
  b.node(op::Relu, {x}, {y});
  return b;
}

std::string tiny_with(std::vector<WriterMeta> meta, std::vector<std::unique_ptr<ModelFile>>& keep) {
  ModelBuilder b = tiny_model();
  for (auto& m : meta) b.meta(std::move(m));
  keep.push_back(std::make_unique<ModelFile>(b));
  EXPECT_TRUE(keep.back()->ok()) << keep.back()->error;
  return keep.back()->path;
}

struct Session {
  VornSession* s = vorn_session_new(nullptr);
  ~Session() { vorn_session_free(s); }
  bool inspect(const std::string& p) { return vorn_session_inspect(s, p.data(), p.size()); }
};

TEST(ModelDescribe, MetadataSettingsAndTheirDefaults) {
  std::vector<std::unique_ptr<ModelFile>> keep;
  const std::string with = tiny_with({WriterMeta::str("resize_mode", "center_crop"),
                                      WriterMeta::i64("letterbox_pad", 0), WriterMeta::str("color", "bgr"),
                                      WriterMeta::str("normalize", "imagenet"), WriterMeta::f64("scale", 1.0),
                                      WriterMeta::str("task", "classify"), WriterMeta::str("decode", "softmax")},
                                     keep);
  const std::string without = tiny_with({}, keep);
  Session s;
  ASSERT_TRUE(s.inspect(with));
  EXPECT_EQ(s.s->resize_mode, VORN_RESIZE_CENTER_CROP);
  EXPECT_EQ(s.s->letterbox_pad, 0);
  EXPECT_EQ(s.s->bgr, 1);
  EXPECT_EQ(s.s->norm.scale, 1.0f);
  EXPECT_EQ(s.s->norm.mean[1], 0.456f);
  EXPECT_EQ(s.s->norm.std[2], 0.225f);
  EXPECT_EQ(std::string(s.s->decode, s.s->decode_len), "softmax");
  // The next model has none of these keys: it gets the defaults, not the
  // previous model's values.
  ASSERT_TRUE(s.inspect(without));
  EXPECT_EQ(s.s->resize_mode, VORN_RESIZE_STRETCH);
  EXPECT_EQ(s.s->letterbox_pad, 114);
  EXPECT_EQ(s.s->bgr, 0);
  EXPECT_EQ(s.s->norm.scale, 1.0f / 255.0f);
  EXPECT_EQ(s.s->norm.mean[1], 0.0f);
  EXPECT_EQ(s.s->norm.std[2], 1.0f);
  EXPECT_EQ(s.s->task_len, 0u);
}

TEST(ModelDescribe, CallerSettingsWinAndStay) {
  std::vector<std::unique_ptr<ModelFile>> keep;
  const std::string with = tiny_with({WriterMeta::str("resize", "letterbox"), WriterMeta::i64("letterbox_pad", 9),
                                      WriterMeta::str("color", "bgr"), WriterMeta::str("normalize", "clip")},
                                     keep);
  Session s;
  vorn_session_set_resize_mode(s.s, VORN_RESIZE_CENTER_CROP);
  vorn_session_set_letterbox_pad(s.s, 300);
  vorn_session_set_color_bgr(s.s, 0);
  vorn_session_set_normalization(s.s, 2.0f, 1, 2, 3, 4, 5, 6);
  ASSERT_TRUE(s.inspect(with));
  EXPECT_EQ(s.s->resize_mode, VORN_RESIZE_CENTER_CROP);
  EXPECT_EQ(s.s->letterbox_pad, 44);  // 300 keeps its low 8 bits
  EXPECT_EQ(s.s->bgr, 0);
  EXPECT_EQ(s.s->norm.scale, 2.0f);
  EXPECT_EQ(s.s->norm.std[2], 6.0f);
}

TEST(ModelDescribe, KeyRules) {
  std::vector<std::unique_ptr<ModelFile>> keep;
  struct Row {
    std::vector<WriterMeta> meta;
    uint32_t resize;
    uint8_t pad;
    uint32_t backend;
  };
  std::vector<Row> rows;
  rows.push_back({{WriterMeta::str("task", "detect")}, VORN_RESIZE_LETTERBOX, 114, 0});
  rows.push_back({{WriterMeta::str("task", "detect"), WriterMeta::str("resize", "stretch")}, 0, 114, 0});
  rows.push_back({{WriterMeta::str("resize", ""), WriterMeta::str("resize_mode", "letterbox")}, 1, 114, 0});
  rows.push_back({{WriterMeta::i64("letterbox_pad", 300)}, 0, 114, 0});
  rows.push_back({{WriterMeta::f64("letterbox_pad", 3.0)}, 0, 114, 0});
  rows.push_back({{WriterMeta::str("backend", "ANE")}, 0, 114, 0});
  rows.push_back({{WriterMeta::str("backend", "ane")}, 0, 114, 3});
  rows.push_back({{WriterMeta::str("default_backend", "cpu"), WriterMeta::str("backend", "gpu")}, 0, 114, 1});
  rows.push_back({{WriterMeta::str("default_backend.macos", ""), WriterMeta::str("recommended_backend", "mps")}, 0, 114, 2});
  rows.push_back({{WriterMeta::boolean("fp16_safe", false)}, 0, 114, 2});
  rows.push_back({{WriterMeta::str("fp16_safe", "no")}, 0, 114, 2});
  rows.push_back({{WriterMeta::str("fp16_safe", "yes")}, 0, 114, 0});
  rows.push_back({{WriterMeta::str("backend", "htp"), WriterMeta::i64("fp16_safe", 0)}, 0, 114, 3});
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    Session s;
    ASSERT_TRUE(s.inspect(tiny_with(rows[i].meta, keep)));
    EXPECT_EQ(s.s->resize_mode, rows[i].resize);
    EXPECT_EQ(s.s->letterbox_pad, rows[i].pad);
    EXPECT_EQ(s.s->recommended_backend, rows[i].backend);
  }
}

TEST(ModelDescribe, MeanAndStdArrays) {
  std::vector<std::unique_ptr<ModelFile>> keep;
  Session s;
  ASSERT_TRUE(s.inspect(tiny_with({WriterMeta::f32_array("mean", {1, 2, 3, 4}),
                                   WriterMeta::f32_array("std", {5, 6})},
                                  keep)));
  EXPECT_EQ(s.s->norm.mean[2], 3.0f);
  EXPECT_EQ(s.s->norm.std[0], 1.0f);  // fewer than three values: ignored
}

TEST(ModelDescribe, CornerBoxesFromTheLastConcat) {
  ModelBuilder b;
  uint64_t x = b.input({1, 4}, "x");
  uint64_t y = b.input({1, 4}, "y");
  uint64_t out = b.output({1, 8}, "boxes");
  b.node(op::Concat, {x, y}, {out}, {{attr::Concat::kAxis, 1}, {attr::Concat::kCornerBoxes, 1}});
  ModelFile m(b);
  Session s;
  ASSERT_TRUE(s.inspect(m.path));
  EXPECT_EQ(s.s->corner_boxes, 1);
}

TEST(ModelDescribe, PathResolution) {
  Config c{};
  config_defaults(&c);
  char out[512];
  auto resolve = [&](const std::string& dir, const std::string& path) {
    c.models_dir_len = copy_to_fixed(dir.data(), dir.size(), c.models_dir, sizeof c.models_dir);
    uint64_t n = session_resolve_path(c, path.data(), path.size(), out);
    return std::string(out, n);
  };
  EXPECT_EQ(resolve("/m", "x.vorn"), "/m/x.vorn");
  EXPECT_EQ(resolve("/m/", "x.vorn"), "/m/x.vorn");
  EXPECT_EQ(resolve("/m", "/abs/x.vorn"), "/abs/x.vorn");
  EXPECT_EQ(resolve("", "x.vorn"), "x.vorn");
  // 501 + 1 + 10 needs 512 bytes: the relative path as given.
  EXPECT_EQ(resolve(std::string(501, 'd'), std::string(10, 'p')), std::string(10, 'p'));
  EXPECT_EQ(resolve(std::string(500, 'd'), std::string(10, 'p')).size(), 511u);
  EXPECT_EQ(resolve(std::string(400, 'd'), std::string(110, 'p')).size(), 511u);
  EXPECT_EQ(resolve("/m", std::string(600, 'q')).size(), 511u);
  EXPECT_EQ(resolve("/m", ""), "");
}

TEST(ModelDescribe, ModelsDirectoryOfTheSessionsCopy) {
  ModelBuilder b = tiny_model();
  ModelFile m(b);
  const size_t slash = m.path.rfind('/');
  const std::string dir = m.path.substr(0, slash), file = m.path.substr(slash + 1);
  VornConfig* config = vorn_config_new();
  vorn_config_set_models_dir(config, dir.data(), dir.size());
  VornSession* s = vorn_session_new(config);
  vorn_config_set_models_dir(config, "/nowhere", 8);  // not seen by the session
  vorn_config_free(config);
  EXPECT_TRUE(vorn_session_inspect(s, file.data(), file.size())) << vorn_session_error_message_ptr(s);
  vorn_session_free(s);
}

TEST(ModelDescribe, StringCacheHoldsSixtyFourKeys) {
  std::vector<WriterMeta> meta;
  for (int i = 0; i < 66; ++i) meta.push_back(WriterMeta::str("k" + std::to_string(i), "value" + std::to_string(i)));
  std::vector<std::unique_ptr<ModelFile>> keep;
  Session s;
  ASSERT_TRUE(s.inspect(tiny_with(meta, keep)));
  std::vector<const char*> first;
  for (int i = 0; i < 64; ++i) {
    std::string k = "k" + std::to_string(i);
    first.push_back(vorn_session_meta_str_ptr(s.s, k.data(), k.size()));
    EXPECT_EQ(std::string(first.back()), "value" + std::to_string(i));
  }
  EXPECT_EQ(vorn_session_meta_str_len(s.s, "k64", 3), 0u);
  EXPECT_STREQ(vorn_session_meta_str_ptr(s.s, "k65", 3), "");
  for (int i = 0; i < 64; ++i) {
    std::string k = "k" + std::to_string(i);
    EXPECT_EQ(vorn_session_meta_str_ptr(s.s, k.data(), k.size()), first[i]);  // the cached copy
  }
  EXPECT_TRUE(vorn_session_has_meta(s.s, "k65", 3));
}

TEST(ModelDescribe, GenerativeModelHasNoDescriptors) {
  ModelBuilder b;
  b.input({1, 4}, "x");
  ModelFile m(b);
  Session s;
  ASSERT_TRUE(s.inspect(m.path));
  EXPECT_TRUE(vorn_session_is_generative(s.s));
  EXPECT_EQ(vorn_session_input_count(s.s), 0u);
  EXPECT_TRUE(vorn_session_check_backend(s.s, VORN_BACKEND_CPU));
  EXPECT_FALSE(vorn_session_check_backend(s.s, VORN_BACKEND_NPU));
  // NPU is refused by the probe first on a device without one.
  EXPECT_EQ(vorn_session_error_code(s.s), VORN_STATUS_BACKEND_UNAVAILABLE);
}

// F16 inputs and outputs are described as F16 of two bytes an element, run
// from F16 data, and the output's F16 copy rounds ties away from zero as the
// interface's narrowing does (1 + 2^-11 lies halfway between two halves).
TEST(ModelDescribe, HalfPrecisionInputsAndOutputs) {
  ModelBuilder b;
  const uint64_t x = b.input({1, 3}, "x", kElemF16);
  const uint64_t w = b.weight({1, 3}, {1.00048828125f, 2.0f, -0.5f});
  const uint64_t y = b.value(kValueGraphOutput, {1, 3}, "y", kElemF16);
  b.node(op::Mul, {x, w}, {y});
  ModelFile m(b);
  ASSERT_TRUE(m.ok()) << m.error;
  Session s;
  ASSERT_TRUE(vorn_session_open(s.s, m.path.data(), m.path.size())) << vorn_session_error_message_ptr(s.s);
  for (auto [dtype, bytes] : {std::pair{vorn_session_input_dtype(s.s, 0), vorn_session_input_bytes(s.s, 0)},
                              std::pair{vorn_session_output_dtype(s.s, 0), vorn_session_output_bytes(s.s, 0)}}) {
    EXPECT_EQ(dtype, uint32_t(VORN_DTYPE_F16));
    EXPECT_EQ(bytes, 6u);
  }
  const uint16_t in[3] = {0x3C00, 0x3C00, 0xC000};  // 1, 1, -2
  VornInput* input = vorn_input_new();
  VornOutput* out = vorn_output_new();
  ASSERT_TRUE(vorn_input_set_f16(input, 0, in, 3, 1));
  ASSERT_TRUE(vorn_session_run(s.s, input, out)) << vorn_session_error_message_ptr(s.s);
  const uint16_t* half = vorn_output_f16_ptr(out, 0);
  ASSERT_NE(half, nullptr);
  EXPECT_EQ(std::vector<uint16_t>(half, half + 3), (std::vector<uint16_t>{0x3C01, 0x4000, 0x3C00}));
  vorn_output_free(out);
  vorn_input_free(input);
}

// A batch size changed between unload and reload takes effect: the model is
// described again for it, and a size the graph cannot take is refused by
// its own text.
TEST(ModelDescribe, ReloadDescribesTheNewBatchSize) {
  ModelFile m(*std::make_unique<ModelBuilder>(tiny_model()));
  ASSERT_TRUE(m.ok()) << m.error;
  Session s;
  ASSERT_TRUE(vorn_session_open(s.s, m.path.data(), m.path.size())) << vorn_session_error_message_ptr(s.s);
  ASSERT_TRUE(vorn_session_unload(s.s));
  vorn_session_set_batch_size(s.s, 2);
  ASSERT_TRUE(vorn_session_reload(s.s)) << vorn_session_error_message_ptr(s.s);
  EXPECT_EQ(vorn_session_input_dim(s.s, 0, 0), 2);
  EXPECT_EQ(vorn_session_output_bytes(s.s, 0), 2u * 12 * 4);
  std::vector<float> data(24);
  for (size_t i = 0; i < data.size(); ++i) data[i] = float(i) - 11.5f;
  VornInput* input = vorn_input_new();
  VornOutput* out = vorn_output_new();
  ASSERT_TRUE(vorn_input_set_f32(input, 0, data.data(), data.size(), 1));
  ASSERT_TRUE(vorn_session_run(s.s, input, out)) << vorn_session_error_message_ptr(s.s);
  EXPECT_EQ(vorn_output_f32_ptr(out, 0)[23], 11.5f);
  vorn_output_free(out);
  vorn_input_free(input);
  // Back to 1 and to an impossible size.
  ASSERT_TRUE(vorn_session_unload(s.s));
  vorn_session_set_batch_size(s.s, 65);
  EXPECT_FALSE(vorn_session_reload(s.s));
  EXPECT_STREQ(vorn_session_error_message_ptr(s.s), "Batch size must be between 1 and 64");
  EXPECT_EQ(vorn_session_input_dim(s.s, 0, 0), 2);  // the description stays as it was
  vorn_session_set_batch_size(s.s, 1);
  ASSERT_TRUE(vorn_session_reload(s.s)) << vorn_session_error_message_ptr(s.s);
  EXPECT_EQ(vorn_session_input_dim(s.s, 0, 0), 1);
}

}  // namespace
}  // namespace vorn::test
