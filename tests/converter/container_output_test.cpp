// Writing converted models: the containers open through the validated
// reader and the session loader, their digests match, records carry the
// builder's values, and a failed write leaves no file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <limits>

#include "container/container.h"
#include "container/format.h"
#include "converter/container_output.h"
#include "converter/shape_binding.h"
#include "import_helpers.h"
#include "onnx_writer.h"

using namespace vorn;
using namespace convtest;

namespace {

std::string temp_path(const std::string& leaf) {
  return ::testing::TempDir() + "conv_" + std::to_string(getpid()) + "_" + leaf;
}

std::vector<uint8_t> read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Writes the state, opens the file with the validated reader, checks the
// digests, and returns the handle (closed by the caller).
ContainerHandle write_and_open(BuilderState& s, const std::string& path) {
  std::string err = take(container_output_write(s, slice_of(path)));
  EXPECT_EQ(err, "");
  ContainerResult r = container_open_path(path.c_str());
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : std::string(container_status_text(r.error).view()));
  if (!r.ok()) return ContainerHandle{};
  std::vector<uint8_t> file = read_all(path);
  EXPECT_EQ(file.size(), container_read_u64(r.value.meta, kHdrFileSize));
  EXPECT_TRUE(container_verify_tensor_hashes(&r.value, file.data() + r.value.meta_len));
  return r.value;
}

}  // namespace

TEST(ContainerOutput, FixturesBecomeValidContainers) {
  for (const char* name : {"all_ops.onnx", "initializers.onnx", "external.onnx", "axes_attr_opset11.onnx",
                           "axes_input_opset13.onnx", "relu_opset11.onnx"}) {
    SCOPED_TRACE(name);
    ConvertOptions o = convert_options_init();
    convert_options_add_dim(&o, "batch=1", 7);
    bool needs_dims = std::string(name).rfind("axes_", 0) == 0;
    Imported r = import_file(fixture(name), &o);
    if (!needs_dims) {
      ConvertOptions plain = convert_options_init();
      r = import_file(fixture(name), &plain);
    }
    if (std::string(name) == "axes_input_opset13.onnx") {
      ConvertOptions seq = convert_options_init();
      convert_options_add_input(&seq, "x=1x4x5", 7);
      r = import_file(fixture(name), &seq);
    }
    ASSERT_EQ(r.error, "");
    std::string path = temp_path("fixture.vorn");
    ContainerHandle h = write_and_open(*r.state, path);
    ASSERT_NE(h.meta, nullptr);
    const BuilderState& s = *r.state;
    EXPECT_EQ(container_value_count(&h), s.value_count);
    EXPECT_EQ(container_node_count(&h), s.node_count);
    for (uint64_t i = 0; i < s.value_count; ++i) {
      ValueRecord v = container_value_record(&h, i);
      const BuilderValue& b = s.values[i];
      EXPECT_EQ(v.kind(), b.kind);
      EXPECT_EQ(v.elem_kind(), b.elem);
      EXPECT_EQ(v.rank(), b.rank);
      EXPECT_EQ(container_value_name(&h, i).view(), std::string_view(reinterpret_cast<const char*>(b.name), b.name_len));
      if (b.kind == kValueWeight) {
        // The weight's bytes are in the file at its tensor.
        TensorRecord t = container_tensor_record(&h, v.tensor_index());
        std::vector<uint8_t> file = read_all(path);
        ASSERT_LE(t.container_offset + b.size, file.size());
        if (b.size) {
          EXPECT_EQ(std::memcmp(file.data() + t.container_offset, b.data, b.size), 0);
        }
        EXPECT_EQ(v.data_offset(), t.relative_offset);
      }
    }
    for (uint64_t i = 0; i < s.node_count; ++i) {
      NodeRecord n = container_node_record(&h, i);
      EXPECT_EQ(std::memcmp(n.w, s.nodes[i].w, sizeof s.nodes[i].w), 0);
    }
    container_close(&h);
    unlink(path.c_str());
  }
}

TEST(ContainerOutput, RecordsOfWeightsAndActivations) {
  onnxw::Graph g;
  std::vector<int64_t> ten(10, 3);
  std::vector<float> exact(4096, 1.0f), over(4097, 2.0f);
  g.inits.push_back(onnxw::tensor("i64w", 7, {10}, onnxw::bytes_of(ten)));
  g.inits.push_back(onnxw::tensor("exact", 1, {4096}, onnxw::bytes_of(exact)));
  g.inits.push_back(onnxw::tensor("over", 1, {4097}, onnxw::bytes_of(over)));
  g.nodes.push_back(onnxw::node("Relu", {"x"}, {"mid"}, "r"));
  g.nodes.push_back(onnxw::node("Relu", {"mid"}, {"y"}, "r2"));
  g.inputs.push_back(onnxw::value_info("x", 1, {1, 4}));
  g.outputs.push_back(onnxw::value_info("y", 1, {1, 4}));
  ConvertOptions o = convert_options_init();
  Imported r = import_bytes(onnxw::model(g), &o);
  ASSERT_EQ(r.error, "");
  std::string path = temp_path("records.vorn");
  ContainerHandle h = write_and_open(*r.state, path);
  ASSERT_NE(h.meta, nullptr);
  const BuilderState& s = *r.state;
  ValueRecord i64w = container_value_record(&h, find(s, "i64w"));
  EXPECT_EQ(i64w.elem_kind(), 3u);
  EXPECT_EQ(i64w.count(), 10u);
  EXPECT_EQ(i64w.bytes(), 80u);
  TensorRecord t = container_tensor_record(&h, i64w.tensor_index());
  EXPECT_EQ(t.kind, 2u);
  EXPECT_EQ(t.dims[0], 20u);  // stored as 20 f32 words
  EXPECT_EQ(t.padded_size, 16384u);
  EXPECT_EQ(container_tensor_record(&h, container_value_record(&h, find(s, "exact")).tensor_index()).padded_size,
            16384u);
  EXPECT_EQ(container_tensor_record(&h, container_value_record(&h, find(s, "over")).tensor_index()).padded_size,
            32768u);
  ValueRecord mid = container_value_record(&h, find(s, "mid"));
  EXPECT_EQ(mid.kind(), 3u);
  EXPECT_EQ(mid.count(), 0u);  // an activation of rank 0 counts no elements
  EXPECT_EQ(mid.bytes(), 0u);
  EXPECT_EQ(mid.tensor_index(), ~uint64_t{0});
  ValueRecord x = container_value_record(&h, find(s, "x"));
  EXPECT_EQ(x.count(), 4u);
  container_close(&h);
  unlink(path.c_str());
}

TEST(ContainerOutput, ModelWithoutWeightsGetsThePlaceholder) {
  ConvertOptions o = convert_options_init();
  Imported r = import_file(fixture("relu_opset20.onnx"), &o);
  ASSERT_EQ(r.error, "");
  std::string path = temp_path("placeholder.vorn");
  ContainerHandle h = write_and_open(*r.state, path);
  ASSERT_NE(h.meta, nullptr);
  uint64_t p = find(*r.state, "vorn.placeholder_weight");
  ASSERT_NE(p, kNoValue);
  EXPECT_EQ(container_tensor_count(&h), 1u);
  TensorRecord t = container_tensor_record(&h, 0);
  EXPECT_EQ(t.byte_size, 4u);
  EXPECT_EQ(t.dims[0], 1u);
  EXPECT_EQ(container_read_u64(h.meta, kHdrDataSize), 16384u);
  container_close(&h);
  unlink(path.c_str());
}

TEST(ContainerOutput, FailuresLeaveNoFile) {
  ConvertOptions o = convert_options_init();
  Imported r = import_file(fixture("relu_opset11.onnx"), &o);
  ASSERT_EQ(r.error, "");
  std::string dir = temp_path("nodir") + "/sub/model.vorn";
  EXPECT_EQ(take(container_output_write(*r.state, slice_of(dir))), "failed to create output .vorn file");
  // A weight whose data is shorter than its shape is refused, and the file
  // that was there stays as it was.
  std::string path = temp_path("keep.vorn");
  { std::ofstream(path) << "old"; }
  BuilderValue& x = r.state->values[find(*r.state, "x")];
  x.kind = kValueWeight;
  EXPECT_EQ(take(container_output_write(*r.state, slice_of(path))),
            "weight 'x' holds 0 bytes of data, but its shape needs 16");
  EXPECT_EQ(read_all(path).size(), 3u);
  unlink(path.c_str());
  // Nothing but the final file is left in the directory after a success.
  x.kind = kValueGraphInput;
  EXPECT_EQ(take(container_output_write(*r.state, slice_of(path))), "");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  unlink(path.c_str());
}

TEST(ContainerOutput, SessionLoaderAcceptsAGraphWithEveryShapeKnown) {
  ConvertOptions o = convert_options_init();
  Imported r = import_file(fixture("initializers.onnx"), &o);
  ASSERT_EQ(r.error, "");
  std::string path = temp_path("loader.vorn");
  EXPECT_EQ(take(container_output_write(*r.state, slice_of(path))), "");
  ModelLoadResult loaded = model_load_path(slice_of(path));
  ASSERT_TRUE(loaded.ok()) << take(loaded.error);
  EXPECT_EQ(container_value_count(&loaded.value), r.state->value_count);
  container_close(&loaded.value);
  unlink(path.c_str());
}

TEST(ContainerOutput, SubnormalFloatWeightsAreWrittenAsZeros) {
  const float tiny = std::numeric_limits<float>::denorm_min(), normal = std::numeric_limits<float>::min();
  const std::vector<float> values = {tiny, -tiny, normal / 2, -normal / 3, normal, -normal, 0.5f, -0.0f, 3e-39f};
  const std::vector<float> written = {0.0f, -0.0f, 0.0f, -0.0f, normal, -normal, 0.5f, -0.0f, 0.0f};
  // An integer weight whose words would read as subnormal floats stays as it is.
  const std::vector<int64_t> ints = {1, 7, 0x7FFFFF};
  onnxw::Graph g;
  g.inits.push_back(onnxw::tensor("w", 1, {int64_t(values.size())}, onnxw::bytes_of(values)));
  g.inits.push_back(onnxw::tensor("i", 7, {3}, onnxw::bytes_of(ints)));
  g.nodes.push_back(onnxw::node("Relu", {"x"}, {"y"}, "r"));
  g.inputs.push_back(onnxw::value_info("x", 1, {1, 4}));
  g.outputs.push_back(onnxw::value_info("y", 1, {1, 4}));
  ConvertOptions o = convert_options_init();
  Imported r = import_bytes(onnxw::model(g), &o);
  ASSERT_EQ(r.error, "");
  std::string path = temp_path("subnormal.vorn");
  ContainerHandle h = write_and_open(*r.state, path);
  ASSERT_NE(h.meta, nullptr);
  const std::vector<uint8_t> file = read_all(path);
  auto at = [&](const char* name) {
    return file.data() + container_tensor_record(&h, container_value_record(&h, find(*r.state, name)).tensor_index())
                             .container_offset;
  };
  EXPECT_EQ(std::memcmp(at("w"), written.data(), written.size() * 4), 0);
  EXPECT_EQ(std::memcmp(at("i"), ints.data(), ints.size() * 8), 0);
  container_close(&h);
  unlink(path.c_str());
}
