#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "container/container.h"
#include "container/precision.h"
#include "container/writer.h"
#include "tests/container/container_fixture.h"

namespace vorn {
namespace {

PrecisionResult parse(std::string_view text) { return precision_parse(text.data(), text.size()); }

TEST(PrecisionParse, TheEightTextsAndTheirNames) {
  struct Case {
    const char* text;
    uint32_t weights, mode;
  } cases[] = {
      {"f32", 0, 0},     {"f16", 1, 0},     {"int8", 2, 0},     {"int8:static", 2, 1},
      {"f32:f16", 0, 2}, {"f16:f16", 1, 2}, {"int8:f16", 2, 2}, {"f16:fast", 1, 3},
  };
  for (const auto& c : cases) {
    PrecisionResult r = parse(c.text);
    EXPECT_TRUE(r.valid) << c.text;
    EXPECT_TRUE(r.set) << c.text;
    EXPECT_EQ(r.setting.weights, c.weights) << c.text;
    EXPECT_EQ(r.setting.mode, c.mode) << c.text;
    EXPECT_EQ(precision_name(r.setting).view(), c.text);
  }
}

TEST(PrecisionParse, RefusesEverythingElse) {
  for (std::string_view bad : {"", " ", "F16", " f16", "f16:", "f16:static", "f32:fast", "int8:fast",
                               "f64", "f16:f16:f16", "int8:STATIC", "f16 :f16", "f1", "int", ":f16",
                               "f16\tx", "f16;fast"}) {
    PrecisionResult r = parse(bad);
    EXPECT_FALSE(r.valid) << '"' << bad << '"';
  }
  // Trailing spaces and NULs are ignored.
  EXPECT_TRUE(parse("f16 ").valid);
  EXPECT_TRUE(parse(std::string_view("int8:f16\0\0 ", 11)).valid);
  EXPECT_EQ(parse(std::string_view("f16:fast \0", 10)).setting.mode, 3u);
  EXPECT_FALSE(parse(std::string_view("f1\x00" "6", 4)).valid);
  EXPECT_FALSE(precision_parse(nullptr, 5).valid);
}

TEST(PrecisionName, ModesWinOverWeights) {
  EXPECT_EQ(precision_name({2, 3}).view(), "f16:fast");  // mode 3 names itself
  EXPECT_EQ(precision_name({0, 1}).view(), "int8:static");
  EXPECT_EQ(precision_name({2, 2}).view(), "int8:f16");
  EXPECT_EQ(precision_name({7, 0}).view(), "f32");
}

// The model's metadata for the tests: string values by key.
using Meta = std::map<std::string, std::string>;

bool lookup(void* ctx, Slice key, Slice* value) {
  const Meta& meta = *static_cast<const Meta*>(ctx);
  auto it = meta.find(std::string(key.view()));
  if (it == meta.end()) return false;
  *value = slice_of(it->second);
  return true;
}

const char* const kVars[] = {"VORN_PRECISION",     "VORN_PRECISION_CPU",       "VORN_PRECISION_GPU",
                             "VORN_PRECISION_NPU", "VORN_PRECISION_GPU_METAL", "VORN_PRECISION_GPU_VULKAN"};

class PrecisionResolve : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : kVars) unsetenv(v);
  }
  void TearDown() override {
    for (const char* v : kVars) unsetenv(v);
  }
  PrecisionResult resolve(std::string_view engine, Meta meta) {
    return precision_resolve(engine.data(), engine.size(), lookup, &meta);
  }
};

TEST_F(PrecisionResolve, NothingSetIsValidF32) {
  PrecisionResult r = resolve("cpu", {});
  EXPECT_TRUE(r.valid);
  EXPECT_FALSE(r.set);
  EXPECT_EQ(r.setting.weights, 0u);
  EXPECT_EQ(r.setting.mode, 0u);
  r = precision_resolve("gpu", 3, nullptr, nullptr);
  EXPECT_TRUE(r.valid);
  EXPECT_FALSE(r.set);
}

TEST_F(PrecisionResolve, EnvironmentWinsOverMetadata) {
  Meta meta{{"precision.cpu", "int8"}};
  PrecisionResult r = resolve("cpu", meta);
  EXPECT_EQ(r.setting.weights, 2u);
  EXPECT_TRUE(r.set);
  setenv("VORN_PRECISION", "f16", 1);
  r = resolve("cpu", meta);
  EXPECT_TRUE(r.valid);
  EXPECT_EQ(r.setting.weights, 1u);
  setenv("VORN_PRECISION_CPU", "f32:f16", 1);
  r = resolve("cpu", meta);
  EXPECT_EQ(r.setting.weights, 0u);
  EXPECT_EQ(r.setting.mode, 2u);
  // Another engine's variable does not apply.
  unsetenv("VORN_PRECISION");
  unsetenv("VORN_PRECISION_CPU");
  setenv("VORN_PRECISION_GPU", "f16", 1);
  r = resolve("cpu", meta);
  EXPECT_EQ(r.setting.weights, 2u);
}

TEST_F(PrecisionResolve, AnInvalidSourceDoesNotFallThrough) {
  Meta meta{{"precision.gpu", "f16:f16"}, {"precision.gpu.metal", "int8"}};
  setenv("VORN_PRECISION_GPU_METAL", "fp16", 1);
  PrecisionResult r = resolve("metal", meta);
  EXPECT_FALSE(r.valid);
  EXPECT_TRUE(r.set);
  // Present but empty is a source too, and invalid.
  setenv("VORN_PRECISION_GPU_METAL", "", 1);
  EXPECT_FALSE(resolve("metal", meta).valid);
  unsetenv("VORN_PRECISION_GPU_METAL");
  // An invalid meta value ends the search as well.
  EXPECT_FALSE(resolve("cpu", {{"precision.cpu", "F16"}}).valid);
}

TEST_F(PrecisionResolve, MetalAndVulkanFallBackToTheGpuKeys) {
  Meta only_gpu{{"precision.gpu", "f16:f16"}};
  PrecisionResult r = resolve("metal", only_gpu);
  EXPECT_TRUE(r.valid);
  EXPECT_EQ(r.setting.weights, 1u);
  EXPECT_EQ(r.setting.mode, 2u);
  r = resolve("vulkan", {{"precision.gpu", "int8"}, {"precision.gpu.vulkan", "f16"}});
  EXPECT_EQ(r.setting.weights, 1u);
  // Environment variables of every level come before any metadata key.
  setenv("VORN_PRECISION", "int8:static", 1);
  r = resolve("metal", {{"precision.gpu.metal", "f16"}});
  EXPECT_EQ(r.setting.mode, 1u);
  setenv("VORN_PRECISION_GPU", "f16:fast", 1);
  r = resolve("vulkan", {});
  EXPECT_EQ(r.setting.mode, 3u);
  setenv("VORN_PRECISION_GPU_VULKAN", "f32", 1);
  r = resolve("vulkan", {});
  EXPECT_EQ(r.setting.weights, 0u);
  EXPECT_EQ(r.setting.mode, 0u);
}

TEST_F(PrecisionResolve, EmptyMetaStringsAreAbsentAndUnknownEnginesAreNpu) {
  PrecisionResult r = resolve("metal", {{"precision.gpu.metal", ""}, {"precision.gpu", "f16"}});
  EXPECT_TRUE(r.valid);
  EXPECT_EQ(r.setting.weights, 1u);
  r = resolve("tpu", {{"precision.npu", "int8"}, {"precision.cpu", "f16"}});
  EXPECT_EQ(r.setting.weights, 2u);
  setenv("VORN_PRECISION_NPU", "f16", 1);
  EXPECT_EQ(resolve("", {}).setting.weights, 1u);
  EXPECT_EQ(resolve("gpu", {}).set, false);
}

// Through a container: only non-empty string keys of its metadata count.
TEST_F(PrecisionResolve, ContainerReadsStringKeysOnly) {
  const float weights[4] = {1, 2, 3, 4};
  ContainerSpec spec;
  WriterTensor t;
  t.name = "w";
  t.rank = 1;
  t.dims[0] = 4;
  t.data = slice_of(weights, sizeof weights);
  spec.tensors.push_back(t);
  spec.meta = {WriterMeta::str("precision.gpu", "f16:f16"), WriterMeta::i64("precision.cpu", 8),
               WriterMeta::str("precision.npu", ""), WriterMeta::str("precision.gpu.vulkan", "int8")};
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(container_write_memory(spec, &bytes, &error)) << error;
  test::MemFile file(bytes);
  ContainerResult r = container_open_fd(file.fd, 0, bytes.size(), 0);
  ASSERT_EQ(r.tag, 0u) << r.error;
  auto engine = [&](std::string_view e) { return precision_for_engine(&r.value, e.data(), e.size()); };
  EXPECT_EQ(engine("metal").setting.weights, 1u);
  EXPECT_EQ(engine("metal").setting.mode, 2u);
  EXPECT_EQ(engine("vulkan").setting.weights, 2u);
  EXPECT_TRUE(engine("cpu").valid);
  EXPECT_FALSE(engine("cpu").set);
  EXPECT_FALSE(engine("npu").set);
  EXPECT_FALSE(precision_for_engine(nullptr, "cpu", 3).set);
  setenv("VORN_PRECISION", "f16", 1);
  EXPECT_EQ(engine("cpu").setting.weights, 1u);
  container_close(&r.value);
}

}  // namespace
}  // namespace vorn
