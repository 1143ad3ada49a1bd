#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "container/container.h"
#include "container/precision.h"
#include "container/writer.h"

namespace vorn {
namespace {

// A one-tensor container whose metadata holds the given entries.
class PrecisionContainer : public testing::Test {
 protected:
  void open_with(std::vector<WriterMeta> meta) {
    char name[] = "/tmp/vorn_precision_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
    ContainerSpec spec;
    WriterTensor t;
    t.name = "w";
    t.rank = 1;
    t.dims[0] = 4;
    t.data = slice_of(weights_, sizeof weights_);
    spec.tensors.push_back(t);
    spec.meta = std::move(meta);
    std::string error;
    ASSERT_TRUE(container_write_file(spec, path_.c_str(), &error)) << error;
    ContainerResult r = container_open_path(path_.c_str());
    ASSERT_EQ(r.tag, 0u) << r.error;
    handle_ = r.value;
    open_ = true;
  }
  void TearDown() override {
    if (open_) container_close(&handle_);
    if (!path_.empty()) unlink(path_.c_str());
    for (const char* v : {"VORN_PRECISION", "VORN_PRECISION_CPU", "VORN_PRECISION_GPU", "VORN_PRECISION_NPU",
                          "VORN_PRECISION_GPU_METAL", "VORN_PRECISION_GPU_VULKAN"})
      unsetenv(v);
  }
  PrecisionResult for_engine(std::string_view engine) {
    return precision_for_engine(&handle_, engine.data(), engine.size());
  }

  float weights_[4] = {1, 2, 3, 4};
  std::string path_;
  ContainerHandle handle_{};
  bool open_ = false;
};

TEST_F(PrecisionContainer, ReadsStringKeysOnly) {
  open_with({WriterMeta::str("precision.gpu", "f16:f16"), WriterMeta::i64("precision.cpu", 8),
             WriterMeta::str("precision.npu", ""), WriterMeta::str("precision.gpu.vulkan", "int8")});
  PrecisionResult metal = for_engine("metal");
  EXPECT_TRUE(metal.valid);
  EXPECT_TRUE(metal.set);
  EXPECT_EQ(metal.setting.weights, 1u);
  EXPECT_EQ(metal.setting.mode, 2u);
  EXPECT_EQ(for_engine("vulkan").setting.weights, 2u);
  // An i64 and an empty string count as absent.
  PrecisionResult cpu = for_engine("cpu");
  EXPECT_TRUE(cpu.valid);
  EXPECT_FALSE(cpu.set);
  EXPECT_FALSE(for_engine("npu").set);
}

TEST_F(PrecisionContainer, EnvironmentOverridesTheModel) {
  open_with({WriterMeta::str("precision.cpu", "int8")});
  EXPECT_EQ(for_engine("cpu").setting.weights, 2u);
  setenv("VORN_PRECISION", "f16", 1);
  PrecisionResult r = for_engine("cpu");
  EXPECT_TRUE(r.valid);
  EXPECT_EQ(r.setting.weights, 1u);
  unsetenv("VORN_PRECISION");
  EXPECT_FALSE(precision_for_engine(nullptr, "cpu", 3).set);
}

}  // namespace
}  // namespace vorn
