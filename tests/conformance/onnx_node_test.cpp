// ONNX's own node tests (Debian's libonnx-testdata): every case the
// converter accepts is run on the CPU and on the GPU engine through the C
// interface and compared with ONNX's expected outputs under the conformance
// rule. A case the converter refuses is not run; the GPU engine may refuse
// an operator it does not lower, with its documented code and text. Any
// other failure or mismatch fails, except the departures listed below.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "conformance/compare.h"
#include "conformance/conformance_run.h"
#include "container/records.h"
#include "converter/builder_state.h"
#include "converter/onnx_tensor.h"
#include "converter/protobuf_wire.h"
#include "vorn.h"

namespace vorn::conformance {
namespace {

std::string node_dir() {
  const char* dir = std::getenv("VORN_ONNX_NODE_TESTS");
  return dir && *dir ? dir : "/usr/share/libonnx-testdata/data/node";
}

bool is_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::string> sorted_entries(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.compare(0, prefix.size(), prefix) == 0) out.push_back(name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> case_names() {
  std::vector<std::string> out;
  for (const std::string& name : sorted_entries(node_dir(), "test_"))
    if (is_file(node_dir() + "/" + name + "/model.onnx")) out.push_back(name);
  return out;
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const uint8_t* bytes_of(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// The fields of one message, or none when it is malformed.
std::vector<PbField> fields(const std::string& bytes, uint64_t start, uint64_t end) {
  std::vector<PbField> out;
  PbField f;
  for (uint64_t pos = start;;) {
    PbStep step = pb_next(bytes_of(bytes), end, pos, f);
    if (step == PbStep::kEnd) return out;
    if (step == PbStep::kBad) return {};
    out.push_back(f);
  }
}

std::string text_of(const std::string& bytes, const PbField& f) { return bytes.substr(f.start, f.end - f.start); }

// The graph's input names (initializers excluded) and output names, in order.
struct GraphIo {
  std::vector<std::string> inputs, outputs;
};

GraphIo graph_io(const std::string& model) {
  GraphIo io;
  for (const PbField& g : fields(model, 0, model.size())) {
    if (g.number != 7 || g.wire != kWireLen) continue;
    std::vector<std::string> initializers;
    for (const PbField& f : fields(model, g.start, g.end)) {
      if (f.wire != kWireLen || (f.number != 5 && f.number != 11 && f.number != 12)) continue;
      const uint64_t name_field = f.number == 5 ? 8 : 1;
      for (const PbField& n : fields(model, f.start, f.end)) {
        if (n.number != name_field || n.wire != kWireLen) continue;
        (f.number == 5 ? initializers : f.number == 11 ? io.inputs : io.outputs).push_back(text_of(model, n));
      }
    }
    std::erase_if(io.inputs, [&](const std::string& n) {
      return std::find(initializers.begin(), initializers.end(), n) != initializers.end();
    });
  }
  return io;
}

// One TensorProto file, widened to f32 (or i64 for the integer types of 32
// and 64 bits) by the converter's tensor reader, with its own dims (the
// reader records a scalar of f32 as [1]).
bool read_tensor_file(BuilderState& s, const std::string& path, const std::string& name, TensorData* out,
                      std::string* error) {
  const std::string bytes = read_bytes(path);
  const uint64_t slot = builder_intern_value(s, reinterpret_cast<const uint8_t*>("t"), 1);
  if (bytes.empty() || !onnx_read_tensor(s, slot, 1, bytes_of(bytes), 0, bytes.size())) {
    ByteString why = onnx_tensor_error_text(s);
    *error = path + ": " + std::string(reinterpret_cast<const char*>(why.ptr), why.len);
    bytes_free(&why);
    return false;
  }
  const BuilderValue& v = s.values[slot];
  out->name = name;
  out->shape.clear();
  for (const PbField& f : fields(bytes, 0, bytes.size())) {
    if (f.number != 1) continue;
    if (f.wire == kWireVarint) out->shape.push_back(static_cast<int64_t>(f.value));
    for (uint64_t p = f.start; f.wire == kWireLen && p < f.end;)
      out->shape.push_back(static_cast<int64_t>(pb_read_varint(bytes_of(bytes), f.end, p)));
  }
  out->dtype = v.elem == kElemI64 ? DType::kI64 : DType::kF32;
  const uint64_t n = v.size / (v.elem == kElemI64 ? 8 : 4);
  out->f32.assign(out->dtype == DType::kF32 ? n : 0, 0.0f);
  out->i64.assign(out->dtype == DType::kI64 ? n : 0, 0);
  if (n != 0) std::memcpy(out->dtype == DType::kF32 ? static_cast<void*>(out->f32.data()) : out->i64.data(), v.data, v.size);
  return true;
}

struct DataSet {
  std::string name;
  std::vector<TensorData> inputs, outputs;
};

struct NodeCase {
  Case c;  // the model and the outputs read back, by name and kind
  std::vector<DataSet> sets;
  std::string error;  // why the case's files could not be read
};

NodeCase read_case(const std::string& name) {
  NodeCase nc;
  const std::string dir = node_dir() + "/" + name;
  nc.c.name = name;
  nc.c.model = "model.onnx";
  const GraphIo io = graph_io(read_bytes(dir + "/model.onnx"));
  BuilderState* s = builder_new();
  if (s == nullptr) return nc.error = "out of memory", nc;
  for (const std::string& set : sorted_entries(dir, "test_data_set_")) {
    DataSet ds{set, {}, {}};
    const std::string base = dir + "/" + set + "/";
    for (size_t k = 0; k < io.inputs.size() && nc.error.empty(); ++k) {
      const std::string path = base + "input_" + std::to_string(k) + ".pb";
      TensorData t;
      if (is_file(path) && read_tensor_file(*s, path, io.inputs[k], &t, &nc.error)) ds.inputs.push_back(t);
    }
    for (size_t k = 0; k < io.outputs.size() && nc.error.empty(); ++k) {
      TensorData t;
      if (read_tensor_file(*s, base + "output_" + std::to_string(k) + ".pb", io.outputs[k], &t, &nc.error))
        ds.outputs.push_back(t);
    }
    nc.sets.push_back(std::move(ds));
  }
  builder_free(s);
  for (const std::string& out : io.outputs) {
    TensorSpec spec;
    spec.name = out;
    spec.dtype = nc.sets.empty() || nc.sets[0].outputs.size() != io.outputs.size()
                     ? DType::kF32
                     : nc.sets[0].outputs[nc.c.outputs.size()].dtype;
    nc.c.outputs.push_back(spec);
  }
  return nc;
}

// A scalar comes back as [1] (the container gives every value a dim), and
// NaN matches NaN; otherwise the conformance rule.
Comparison compare_output(TensorData got, TensorData ref) {
  if (ref.shape.empty() && got.shape == std::vector<int64_t>{1}) got.shape.clear();
  if (ref.dtype == DType::kF32 && got.dtype == DType::kF32 && got.f32.size() == ref.f32.size())
    for (size_t i = 0; i < ref.f32.size(); ++i)
      if (std::isnan(ref.f32[i]) && std::isnan(got.f32[i])) ref.f32[i] = got.f32[i] = 0.0f;
  return compare_tensor(got, ref, Tolerance{});
}

// A case that differs from ONNX's outputs on both engines, and why.
struct Listed {
  const char* name;
  const char* reason;
};

// Departures the runtime makes on purpose: these cases convert and run, and
// differ from ONNX's outputs for the reason given.
const Listed kDepartures[] = {
    {"test_cast_FLOAT_to_BFLOAT16",
     "a Cast of a run-time value to bfloat16 is an identity: the engines compute in f32 and do not round"},
    {"test_cast_FLOAT_to_FLOAT16",
     "a Cast of a run-time value to float16 is an identity: the engines compute in f32 and do not round"},
    {"test_cast_FLOAT_to_STRING", "a Cast of a run-time value to string is an identity: the engines hold numbers"},
};

template <size_t N>
const Listed* find_listed(const Listed (&table)[N], const std::string& name) {
  for (const Listed& l : table)
    if (name == l.name) return &l;
  return nullptr;
}

struct Counts {
  int cases = 0, converted = 0, refused_by_gpu = 0, departures = 0;
  int passed[2] = {0, 0};
};
Counts counts;

struct Verdict {
  bool converted = false;
  bool refused_by_gpu = false;
  std::string problems;  // empty when every output matches
};

// Every data set of the case on one backend.
Verdict run_backend(const NodeCase& nc, uint32_t backend) {
  const std::string dir = node_dir() + "/" + nc.c.name;
  Verdict v;
  for (const DataSet& ds : nc.sets) {
    RunOutcome run = convert_and_run_on(dir, nc.c, ds.inputs, backend);
    if (run.status == RunOutcome::Status::kRefused) return v;
    v.converted = true;
    if (run.status == RunOutcome::Status::kUnsupported) {
      v.refused_by_gpu = true;
      if (run.code != VORN_STATUS_UNSUPPORTED) v.problems = "refused with code " + std::to_string(run.code);
      return v;
    }
    if (run.status != RunOutcome::Status::kRan) {
      v.problems += ds.name + ": " + run.message + "\n";
      continue;
    }
    for (size_t k = 0; k < ds.outputs.size() && k < run.outputs.size(); ++k) {
      Comparison cmp = compare_output(run.outputs[k], ds.outputs[k]);
      if (!cmp.ok) v.problems += ds.name + ": " + cmp.message + "\n";
    }
  }
  if (!nc.error.empty()) v.problems += "its data cannot be read: " + nc.error + "\n";
  return v;
}

class OnnxNode : public ::testing::TestWithParam<std::string> {};

TEST_P(OnnxNode, MatchesOnnxOrIsRefused) {
  const std::string& name = GetParam();
  const NodeCase nc = read_case(name);
  const Listed* departure = find_listed(kDepartures, name);
  ++counts.cases;
  const uint32_t backends[2] = {VORN_BACKEND_CPU, VORN_BACKEND_GPU};
  for (unsigned b = 0; b < 2; ++b) {
    const char* engine = b == 0 ? "CPU" : "GPU";
    const Verdict v = run_backend(nc, backends[b]);
    if (!v.converted) {
      EXPECT_EQ(departure, nullptr) << "listed (" << departure->reason << "), but the converter refuses it now";
      return;
    }
    if (b == 0) {
      ++counts.converted;
      counts.departures += departure != nullptr;
    }
    if (v.refused_by_gpu) {
      EXPECT_EQ(v.problems, "") << "the GPU engine refused it with another code than VORN_STATUS_UNSUPPORTED";
      ++counts.refused_by_gpu;
    } else if (departure != nullptr) {
      EXPECT_NE(v.problems, "") << engine << ": listed (" << departure->reason << "), but it matches ONNX now";
    } else {
      EXPECT_EQ(v.problems, "") << engine;
      counts.passed[b] += v.problems.empty();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, OnnxNode, ::testing::ValuesIn(case_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(OnnxNodeSuite, IsInstalled) {
  EXPECT_GE(case_names().size(), 900u) << node_dir()
                                       << " lacks ONNX's node tests: scripts/setup installs libonnx-testdata";
}

// Run as one process, the totals are printed at the end.
class CountsPrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    if (counts.cases < 2) return;
    std::printf("onnx node tests: %d cases, %d converted; passed %d on the CPU, %d on the GPU, %d refused by the "
                "GPU engine; %d listed departures\n",
                counts.cases, counts.converted, counts.passed[0], counts.passed[1], counts.refused_by_gpu,
                counts.departures);
  }
};
const auto* const kPrinter = ::testing::AddGlobalTestEnvironment(new CountsPrinter);

}  // namespace
}  // namespace vorn::conformance
