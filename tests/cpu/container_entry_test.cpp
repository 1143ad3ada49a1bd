// Engine creation from a written and reopened container: graph records,
// weights at their data-region offsets, and the CPU precision setting.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/files.h"
#include "container/container.h"
#include "container/op_codes.h"
#include "container/writer.h"
#include "cpu/engine.h"
#include "tests/cpu/graph_builder.h"

namespace vorn {
namespace {

struct WrittenModel {
  std::string path;
  ContainerHandle handle{};
  std::vector<float> data;  // the data region as loaded

  explicit WrittenModel(const char* precision) {
    std::vector<float> w = {1.5f, -2.0f, 3.25f, 0.5f};
    ContainerSpec spec;
    WriterTensor t;
    t.name = "w";
    t.rank = 1;
    t.dims[0] = 4;
    t.data = slice_of(w.data(), w.size() * 4);
    spec.tensors.push_back(t);
    if (precision != nullptr) spec.meta.push_back(WriterMeta::str("precision.cpu", precision));
    test::GraphBuilder b;
    uint64_t in = b.input({1, 4});
    uint64_t weight = b.value(kValueWeight, {4});
    uint64_t out = b.output({1, 4});
    b.values[weight].w[11] = 0;  // tensor 0
    b.node(op::Add, {in, weight}, {out});
    for (const ValueRecord& v : b.values) spec.values.push_back(WriterValue{v, "v"});
    spec.nodes = b.nodes;
    char name[] = "/tmp/vorn_engine_XXXXXX";
    int fd = mkstemp(name);
    close(fd);
    path = name;
    std::string error;
    EXPECT_TRUE(container_write_file(spec, path.c_str(), &error)) << error;
    ContainerResult r = container_open_path(path.c_str());
    EXPECT_TRUE(r.ok());
    handle = r.value;
    data.resize(handle.data_size / 4);
    EXPECT_TRUE(pread_all(handle.fd, data.data(), handle.data_size, handle.base + handle.data_offset));
  }
  ~WrittenModel() {
    container_close(&handle);
    unlink(path.c_str());
  }
};

TEST(EngineFromContainer, RunsTheStoredGraph) {
  if (!cpu_op_supported(op::Add)) GTEST_SKIP() << "no Add kernel yet";
  WrittenModel m(nullptr);
  CpuCreateResult r = cpu_engine_create(&m.handle, m.data.data(), 1);
  ASSERT_TRUE(r.ok()) << r.error.message;
  CpuState* s = r.value;
  float x[4] = {1, 1, 1, 1}, y[4];
  ASSERT_TRUE(cpu_engine_execute(&s, x, y));
  EXPECT_EQ(y[0], 2.5f);
  EXPECT_EQ(y[1], -1.0f);
  EXPECT_EQ(y[2], 4.25f);
  EXPECT_EQ(y[3], 1.5f);
  cpu_engine_free(&s);
  EXPECT_EQ(s, nullptr);
}

TEST(EngineFromContainer, PrecisionSettingDecides) {
  {
    WrittenModel m("f16");
    CpuCreateResult r = cpu_engine_create(&m.handle, m.data.data(), 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error.status, 3u);
    EXPECT_STREQ(r.error.message, "precision.cpu=f16 is not available on the CPU yet");
  }
  {
    WrittenModel m("f32");
    setenv("VORN_PRECISION_CPU", "f64", 1);
    CpuCreateResult r = cpu_engine_create(&m.handle, m.data.data(), 1);
    unsetenv("VORN_PRECISION_CPU");
    ASSERT_FALSE(r.ok());
    EXPECT_STREQ(r.error.message,
                 "precision.cpu: unrecognised value (expected f32, f16, f16:fast, int8, "
                 "int8:static or int8:f16)");
  }
  {
    WrittenModel m(nullptr);
    CpuCreateResult r = cpu_engine_create(&m.handle, nullptr, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_STREQ(r.error.message, "missing weight storage");
  }
}

}  // namespace
}  // namespace vorn
