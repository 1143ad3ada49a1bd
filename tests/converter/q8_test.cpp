// The Q8 weight quantizer: block rounding, which tensors qualify, every
// stored weight within half a block scale of the original, and converted
// classifiers that keep their top-1 class on the fixtures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "base/files.h"
#include "conformance/compare.h"
#include "conformance/fixture_manifest.h"
#include "container/container.h"
#include "container/records.h"
#include "converter/convert.h"
#include "converter/quantize_q8.h"
#include "converter/shape_binding.h"
#include "tests/converter/run_helpers.h"

namespace vorn {
namespace {

std::string text_of(ByteString* b) {
  std::string t(reinterpret_cast<const char*>(b->ptr), b->len);
  bytes_free(b);
  return t;
}

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(QuantizeBlock, ZerosGetScaleOneAndHalvesGoToEven) {
  float zeros[64] = {};
  int8_t q[64];
  float scale = 0;
  quantize_block_q8(zeros, 64, q, &scale);
  EXPECT_EQ(scale, 1.0f);
  for (int8_t b : q) EXPECT_EQ(b, 0);

  float x[3] = {127.0f, 2.5f, -3.5f};
  quantize_block_q8(x, 3, q, &scale);
  EXPECT_EQ(scale, 1.0f);
  EXPECT_EQ(q[0], 127);
  EXPECT_EQ(q[1], 2);
  EXPECT_EQ(q[2], -4);
  for (int i = 3; i < 64; ++i) EXPECT_EQ(q[i], 0);  // past the row's end
}

TEST(QuantizeBlock, NeverWritesMinus128AndSkipsNaN) {
  float x[4] = {-1.0f, 1.0f, std::numeric_limits<float>::quiet_NaN(), -0.999999f};
  int8_t q[64];
  float scale = 0;
  quantize_block_q8(x, 4, q, &scale);
  EXPECT_FLOAT_EQ(scale, 1.0f / 127.0f);
  EXPECT_EQ(q[0], -127);
  EXPECT_EQ(q[1], 127);
  EXPECT_EQ(q[2], 0);
  EXPECT_EQ(q[3], -127);
}

// The container as stored (no widening of Q8 tensors to F32).
ContainerResult open_stored(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ContainerResult::failure(0);
  ContainerResult r = container_open_fd(fd, 0, static_cast<uint64_t>(fd_file_size(fd)), 0);
  ::close(fd);
  return r;
}

struct Converted {
  TempPath f32, q8;
  std::string summary;
};

// Converts a fixture case in options mode and quantizes it.
bool convert_and_quantize(const conformance::Case& c, Converted* out, std::string* error) {
  ConvertOptions options = convert_options_init();
  const std::string onnx = conformance::fixture_dir() + "/" + c.model;
  ConvertOutcome conv = convert_onnx_file_with_options(slice_of(onnx), slice_of(out->f32.path), &options);
  std::string t = text_of(&conv.text);
  if (conv.status != 0) return *error = "convert: " + t, false;
  QuantizeOutcome q = quantize_pack_q8(slice_of(out->f32.path), slice_of(out->q8.path));
  out->summary = text_of(&q.text);
  if (q.status != 0) return *error = "quantize: " + out->summary, false;
  return true;
}

const conformance::Manifest& manifest() {
  static const conformance::Manifest m = [] {
    conformance::Manifest loaded;
    std::string error;
    conformance::read_manifest(conformance::fixture_dir() + "/manifest.json", &loaded, &error);
    return loaded;
  }();
  return m;
}

const conformance::Case* find_case(const std::string& name) {
  for (const auto& c : manifest().cases)
    if (c.name == name) return &c;
  return nullptr;
}

// Every Q8 tensor of the quantized container dequantizes to within half a
// block scale of the F32 tensor of the same name in the original.
TEST(QuantizePack, EveryWeightWithinHalfABlockScale) {
  const conformance::Case* c = find_case("resnet_basic_op13");
  ASSERT_NE(c, nullptr);
  Converted cv;
  std::string error;
  ASSERT_TRUE(convert_and_quantize(*c, &cv, &error)) << error;
  EXPECT_NE(cv.summary.find(" weight tensors stored as Q8: "), std::string::npos) << cv.summary;

  ContainerResult a = open_stored(cv.f32.path);
  ContainerResult b = open_stored(cv.q8.path);
  ASSERT_TRUE(a.ok() && b.ok());
  std::vector<uint8_t> fa = file_bytes(cv.f32.path), fb = file_bytes(cv.q8.path);
  const uint64_t T = container_tensor_count(&b.value);
  ASSERT_EQ(T, container_tensor_count(&a.value));
  uint64_t q8_tensors = 0, checked = 0;
  for (uint64_t t = 0; t < T; ++t) {
    TensorRecord ra = container_tensor_record(&a.value, t), rb = container_tensor_record(&b.value, t);
    ASSERT_EQ(ra.kind, kElemF32);
    if (rb.kind != kElemQ8) {
      ASSERT_EQ(ra.byte_size, rb.byte_size);
      EXPECT_EQ(0, std::memcmp(fa.data() + ra.container_offset, fb.data() + rb.container_offset, ra.byte_size));
      continue;
    }
    ++q8_tensors;
    ASSERT_EQ(rb.rank, 2u);
    const uint64_t rows = rb.dims[0], cols = rb.dims[1], blocks = (cols + 63) / 64;
    ASSERT_EQ(rows * cols * 4, ra.byte_size);
    ASSERT_EQ(rb.row_bytes, blocks * 68);
    for (uint64_t r = 0; r < rows; ++r)
      for (uint64_t j = 0; j < cols; ++j) {
        const uint8_t* block = fb.data() + rb.container_offset + r * blocks * 68 + (j / 64) * 68;
        float scale, w;
        std::memcpy(&scale, block + 64, 4);
        std::memcpy(&w, fa.data() + ra.container_offset + 4 * (r * cols + j), 4);
        int8_t byte = static_cast<int8_t>(block[j % 64]);
        ASSERT_NE(byte, -128);
        float back = static_cast<float>(byte) * scale;
        ASSERT_LE(std::fabs(back - w), 0.5f * scale * (1 + 1e-5f) + 1e-30f) << "tensor " << t << " at " << r << "," << j;
        ++checked;
      }
  }
  EXPECT_GT(q8_tensors, 0u);
  EXPECT_GT(checked, 10000u);
  container_close(&a.value);
  container_close(&b.value);
}

TEST(QuantizePack, RefusesAPackThatIsAlreadyPacked) {
  const conformance::Case* c = find_case("resnet_basic_op13");
  ASSERT_NE(c, nullptr);
  Converted cv;
  std::string error;
  ASSERT_TRUE(convert_and_quantize(*c, &cv, &error)) << error;
  TempPath again;
  QuantizeOutcome q = quantize_pack_q8(slice_of(cv.q8.path), slice_of(again.path));
  EXPECT_EQ(q.status, 1u);
  EXPECT_EQ(text_of(&q.text), "the pack already holds packed weights");
  QuantizeOutcome missing = quantize_pack_q8(slice_of(std::string("/nonexistent/x.vorn")), slice_of(again.path));
  EXPECT_EQ(missing.status, 1u);
  EXPECT_EQ(text_of(&missing.text), "cannot open input pack");
}

TEST(QuantizePack, AWeightHoldingAnInfinityStaysF32) {
  TempPath f32, q8;
  ConvertOptions options = convert_options_init();
  const std::string onnx = std::string(VORN_TEST_DATA) + "/converter_lowering/q8_nonfinite/model.onnx";
  ConvertOutcome conv = convert_onnx_file_with_options(slice_of(onnx), slice_of(f32.path), &options);
  ASSERT_EQ(conv.status, 0u) << text_of(&conv.text);
  bytes_free(&conv.text);
  QuantizeOutcome q = quantize_pack_q8(slice_of(f32.path), slice_of(q8.path));
  std::string summary = text_of(&q.text);
  ASSERT_EQ(q.status, 0u) << summary;
  EXPECT_EQ(summary.rfind("1 of 2 weight tensors stored as Q8", 0), 0u) << summary;
  ContainerResult b = open_stored(q8.path);
  ASSERT_TRUE(b.ok());
  uint64_t kinds[2] = {container_tensor_record(&b.value, 0).kind, container_tensor_record(&b.value, 1).kind};
  EXPECT_TRUE((kinds[0] == kElemF32 && kinds[1] == kElemQ8) || (kinds[0] == kElemQ8 && kinds[1] == kElemF32));
  for (uint64_t t = 0; t < 2; ++t) {
    TensorRecord r = container_tensor_record(&b.value, t);
    if (r.kind != kElemQ8) continue;
    std::vector<uint8_t> bytes = file_bytes(q8.path);
    for (uint64_t blk = 0; blk < r.byte_size / 68; ++blk) {
      float scale;
      std::memcpy(&scale, bytes.data() + r.container_offset + blk * 68 + 64, 4);
      EXPECT_TRUE(std::isfinite(scale) && scale > 0);
    }
  }
  container_close(&b.value);
}

// The quantized classifiers pick the same class as ONNX Runtime's F32.
class Q8TopOne : public ::testing::TestWithParam<std::string> {};

TEST_P(Q8TopOne, KeepsTheClassOfTheF32Model) {
  const conformance::Case* c = find_case(GetParam());
  ASSERT_NE(c, nullptr);
  Converted cv;
  std::string error;
  if (!convert_and_quantize(*c, &cv, &error)) {
    ASSERT_NE(error.find("convert: "), std::string::npos) << error;
    GTEST_SKIP() << "refused in options mode: " << error;
  }
  const std::string dir = conformance::fixture_dir();
  std::vector<conformance::TensorData> inputs(c->inputs.size()), refs(c->outputs.size()), got;
  for (size_t i = 0; i < inputs.size(); ++i) ASSERT_TRUE(read_tensor(dir, c->inputs[i], &inputs[i], &error));
  for (size_t i = 0; i < refs.size(); ++i) ASSERT_TRUE(read_tensor(dir, c->outputs[i], &refs[i], &error));
  std::string failure = run_model(cv.q8.path, inputs, *c, &got);
  ASSERT_TRUE(failure.empty()) << failure;
  conformance::Comparison top = compare_top1(got[0], refs[0]);
  EXPECT_TRUE(top.ok) << top.message;
}

INSTANTIATE_TEST_SUITE_P(Classifiers, Q8TopOne,
                         ::testing::Values("resnet_basic_op13", "resnet_bottleneck_op17", "mobilenet_v2_op13",
                                           "mobilenet_v3_small_op17", "efficientnet_b0_op13", "shufflenet_v2_op11",
                                           "regnet_op13", "vit_tiny_op17"));

}  // namespace
}  // namespace vorn
