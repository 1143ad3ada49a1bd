#include "conformance/conformance_run.h"

#if __has_include("converter/convert.h")
#define VORN_CONFORMANCE_HAS_CONVERTER 1
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/bytes.h"
#include "converter/convert.h"
#include "converter/shape_binding.h"
#include "conformance/graph_rewrite.h"
#include "vorn.h"
#else
#define VORN_CONFORMANCE_HAS_CONVERTER 0
#endif

namespace vorn::conformance {

#if VORN_CONFORMANCE_HAS_CONVERTER
namespace {

std::string session_error(const VornSession* session) {
  return std::string(vorn_session_error_message_ptr(session),
                     vorn_session_error_message_len(session));
}

// A .vorn path in a fresh temporary directory, both removed when the run
// ends (the converter creates the file itself).
struct TempModel {
  std::string dir;
  std::string path;
  std::string onnx;  // a rewritten model, when one is written
  TempModel() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorn-conf-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr) {
      dir = name.data();
      path = dir + "/model.vorn";
    }
  }
  ~TempModel() {
    if (dir.empty()) return;
    unlink(path.c_str());
    if (!onnx.empty()) unlink(onnx.c_str());
    rmdir(dir.c_str());
  }
};

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

bool read_output(const VornOutput* output, const TensorSpec& spec, TensorData* out,
                 std::string* error) {
  const int32_t slot = vorn_output_index_of(output, spec.name.data(), spec.name.size());
  if (slot < 0) {
    *error = "no output named '" + spec.name + "'";
    return false;
  }
  out->name = spec.name;
  const uint32_t rank = vorn_output_rank(output, slot);
  for (uint32_t a = 0; a < rank; ++a) {
    out->shape.push_back(vorn_output_dim(output, slot, static_cast<int32_t>(a)));
  }
  const uint64_t count = vorn_output_elem_count(output, slot);
  const int64_t* i64 = vorn_output_i64_ptr(output, slot);
  if (spec.dtype == DType::kI64 && i64 != nullptr) {
    out->dtype = DType::kI64;
    out->i64.assign(i64, i64 + count);
    return true;
  }
  const float* f32 = vorn_output_f32_ptr(output, slot);
  if (f32 == nullptr && count != 0) {
    *error = "output '" + spec.name + "' has no values";
    return false;
  }
  out->dtype = DType::kF32;
  out->f32.assign(f32, f32 + count);
  return true;
}

}  // namespace

bool converter_available() { return true; }

RunOutcome convert_and_run(const std::string& dir, const Case& c, const std::vector<TensorData>& inputs,
                           ModelForm form, uint32_t backend) {
  RunOutcome outcome;
  TempModel vorn_file;
  if (vorn_file.path.empty()) {
    outcome.status = RunOutcome::Status::kFailed;
    outcome.message = "cannot create a temporary file";
    return outcome;
  }
  std::string onnx_path = dir + "/" + c.model;
  if (form != ModelForm::kAsWritten) {
    std::ifstream in(onnx_path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    // The seed follows the case, so a failure repeats.
    uint32_t seed = 0;
    for (char ch : c.name) seed = seed * 31 + static_cast<uint8_t>(ch);
    const std::string model =
        form == ModelForm::kUnnamed ? strip_node_names(bytes.str()) : shuffle_nodes(bytes.str(), seed);
    vorn_file.onnx = vorn_file.dir + "/model.onnx";
    bool written = false;
    {
      std::ofstream out(vorn_file.onnx, std::ios::binary);
      written = !model.empty() && (out << model) && out.flush();
    }
    if (!written) {
      outcome.status = RunOutcome::Status::kFailed;
      outcome.message = "cannot rewrite " + onnx_path;
      return outcome;
    }
    onnx_path = vorn_file.onnx;
  }
  // Options mode: the conversion that computes what ONNX Runtime computes or
  // refuses. The fixtures carry static shapes, so nothing is bound.
  ConvertOptions options = convert_options_init();
  ConvertOutcome converted =
      convert_onnx_file_with_options(slice_of(onnx_path), slice_of(vorn_file.path), &options);
  if (converted.status != 0) {
    outcome.status = RunOutcome::Status::kRefused;
    outcome.message.assign(reinterpret_cast<const char*>(converted.text.ptr),
                           static_cast<size_t>(converted.text.len));
    bytes_free(&converted.text);
    return outcome;
  }
  bytes_free(&converted.text);
  Handles h;
  outcome.status = RunOutcome::Status::kFailed;
  if (!h.session || !h.input || !h.output) {
    outcome.message = "out of memory creating handles";
    return outcome;
  }
  vorn_session_set_backend(h.session, backend);
  if (!vorn_session_open(h.session, vorn_file.path.data(), vorn_file.path.size())) {
    outcome.message = "open: " + session_error(h.session);
    outcome.code = vorn_session_error_code(h.session);
    if (backend == VORN_BACKEND_GPU && outcome.message == "open: unsupported op in MPS backend")
      outcome.status = RunOutcome::Status::kUnsupported;
    return outcome;
  }
  for (const TensorData& t : inputs) {
    bool bound = t.dtype == DType::kF32
                     ? vorn_input_set_named_f32(h.input, t.name.data(), t.name.size(),
                                                t.f32.data(), t.f32.size(), 0)
                     : vorn_input_set_named_i64(h.input, t.name.data(), t.name.size(),
                                                t.i64.data(), t.i64.size(), 0);
    if (!bound) {
      outcome.message = "cannot bind input '" + t.name + "'";
      return outcome;
    }
  }
  if (!vorn_session_run(h.session, h.input, h.output)) {
    outcome.message = "run: " + session_error(h.session);
    outcome.code = vorn_session_error_code(h.session);
    return outcome;
  }
  for (const TensorSpec& spec : c.outputs) {
    TensorData t;
    if (!read_output(h.output, spec, &t, &outcome.message)) return outcome;
    outcome.outputs.push_back(std::move(t));
  }
  outcome.status = RunOutcome::Status::kRan;
  return outcome;
}

RunOutcome convert_and_run_on_cpu(const std::string& dir, const Case& c, const std::vector<TensorData>& inputs,
                                  ModelForm form) {
  return convert_and_run(dir, c, inputs, form, VORN_BACKEND_CPU);
}

RunOutcome convert_and_run_on(const std::string& dir, const Case& c, const std::vector<TensorData>& inputs,
                              uint32_t backend) {
  return convert_and_run(dir, c, inputs, ModelForm::kAsWritten, backend);
}

#else

bool converter_available() { return false; }

RunOutcome convert_and_run_on(const std::string&, const Case&, const std::vector<TensorData>&, uint32_t) {
  RunOutcome outcome;
  outcome.message = "converter entry point not built yet";
  return outcome;
}

RunOutcome convert_and_run_on_cpu(const std::string&, const Case&,
                                  const std::vector<TensorData>&, ModelForm) {
  RunOutcome outcome;
  outcome.status = RunOutcome::Status::kUnavailable;
  outcome.message = "converter entry point not built yet";
  return outcome;
}

#endif

}  // namespace vorn::conformance
