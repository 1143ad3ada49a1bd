#include "tests/converter/run_helpers.h"

#include <unistd.h>

#include <cstdlib>
#include <map>

#include "converter/shape_binding.h"

#include "vorn.h"

namespace vorn {

using conformance::Case;
using conformance::DType;
using conformance::TensorData;
using conformance::TensorSpec;

TempPath::TempPath() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorn-lower-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd >= 0) close(fd), path = name.data();
}
TempPath::~TempPath() {
  if (!path.empty()) unlink(path.c_str());
}

namespace {

struct Handles {
  VornSession* session = vorn_session_new(nullptr);
  VornInput* input = vorn_input_new();
  VornOutput* output = vorn_output_new();
  ~Handles() {
    vorn_output_free(output);
    vorn_input_free(input);
    vorn_session_free(session);
  }
};

std::string session_error(const VornSession* s) {
  return std::string(vorn_session_error_message_ptr(s), vorn_session_error_message_len(s));
}

}  // namespace

const conformance::Manifest& manifest_of(const std::string& dir) {
  static std::map<std::string, conformance::Manifest> cache;
  auto it = cache.find(dir);
  if (it != cache.end()) return it->second;
  conformance::Manifest loaded;
  std::string error;
  if (!conformance::read_manifest(dir + "/manifest.json", &loaded, &error)) loaded.cases.clear();
  return cache.emplace(dir, std::move(loaded)).first->second;
}

std::string bind_fixture_inputs(const Case& c, ConvertOptions* options) {
  for (const TensorSpec& in : c.inputs) {
    std::string arg = in.name + "=";
    for (size_t k = 0; k < in.shape.size(); ++k) arg += (k ? "x" : "") + std::to_string(in.shape[k]);
    if (in.dtype == DType::kI64) arg += ":i64";
    UnitResult bound = convert_options_add_input(options, arg.data(), arg.size());
    if (!bound.ok()) {
      bytes_free(&bound.error);
      return arg;
    }
  }
  return std::string();
}

std::string run_model(const std::string& path, const std::vector<TensorData>& inputs, const Case& c,
                      std::vector<TensorData>* outputs, uint32_t backend) {
  Handles h;
  vorn_session_set_backend(h.session, backend);
  if (!vorn_session_open(h.session, path.data(), path.size())) return "open: " + session_error(h.session);
  for (const TensorData& t : inputs) {
    bool bound = t.dtype == DType::kF32
                     ? vorn_input_set_named_f32(h.input, t.name.data(), t.name.size(), t.f32.data(), t.f32.size(), 0)
                     : vorn_input_set_named_i64(h.input, t.name.data(), t.name.size(), t.i64.data(), t.i64.size(), 0);
    if (!bound) return "cannot bind input '" + t.name + "'";
  }
  if (!vorn_session_run(h.session, h.input, h.output)) return "run: " + session_error(h.session);
  for (const TensorSpec& spec : c.outputs) {
    int32_t slot = vorn_output_index_of(h.output, spec.name.data(), spec.name.size());
    if (slot < 0) return "no output named '" + spec.name + "'";
    TensorData t;
    t.name = spec.name;
    for (uint32_t a = 0; a < vorn_output_rank(h.output, slot); ++a)
      t.shape.push_back(vorn_output_dim(h.output, slot, static_cast<int32_t>(a)));
    uint64_t count = vorn_output_elem_count(h.output, slot);
    const int64_t* i64 = vorn_output_i64_ptr(h.output, slot);
    if (spec.dtype == DType::kI64 && i64 != nullptr) {
      t.dtype = DType::kI64;
      t.i64.assign(i64, i64 + count);
    } else {
      const float* f = vorn_output_f32_ptr(h.output, slot);
      if (f == nullptr && count != 0) return "output '" + spec.name + "' has no values";
      t.f32.assign(f, f + count);
    }
    outputs->push_back(std::move(t));
  }
  return std::string();
}

}  // namespace vorn
