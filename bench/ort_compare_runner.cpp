// Our side of bench/ort_compare: converts an ONNX model to a .vorn file, or
// times one model on the CPU or the GPU engine through the public C
// interface.
//
//   ort_compare_runner convert MODEL.onnx OUT.vorn
//   [VORN_BENCH_ISA=avx2|portable] ort_compare_runner run MODEL.vorn SECONDS [--backend cpu|gpu] [--outputs PREFIX]
//                      NAME:DTYPE:SHAPE:FILE...
//
// "run" makes three untimed runs, then times runs for about SECONDS (at
// least 10, at most 500) and prints one JSON line (bench/ort_compare_common.h):
//   {"median_ms": M, "min_ms": m, "runs": n, "outputs": [names]}
// With --outputs every output of the last run goes to PREFIX<slot>.bin,
// named in that list. Thread count is the process's affinity mask (the
// caller pins with taskset). Exit status 3 means this build cannot convert
// ONNX files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_isa.h"
#include "bench/ort_compare_common.h"
#include "platform/cpu_features.h"
#include "vorn.h"

// Without the converter there is nothing to run, so the session code is
// built only together with it.
#if __has_include("converter/convert.h")
#include "base/bytes.h"
#include "converter/convert.h"
#include "converter/shape_binding.h"
#define ORT_COMPARE_HAS_CONVERTER 1
#else
#define ORT_COMPARE_HAS_CONVERTER 0
#endif
#define ORT_COMPARE_NO_CONVERTER \
  "this build has no ONNX converter (converter entry point not built yet)\n"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: ort_compare_runner convert MODEL.onnx OUT.vorn\n"
               "       ort_compare_runner run MODEL.vorn SECONDS [--backend cpu|gpu] [--outputs PREFIX]\n"
               "                          NAME:f32|i64:SHAPE:FILE...\n");
  return 2;
}

int convert(const char* onnx_path, const char* vorn_path) {
#if ORT_COMPARE_HAS_CONVERTER
  // Options mode: the conversion that computes what ONNX Runtime computes or
  // refuses. The models carry static shapes, so nothing is bound.
  vorn::ConvertOptions options = vorn::convert_options_init();
  vorn::ConvertOutcome r = vorn::convert_onnx_file_with_options(
      vorn::slice_of(std::string_view(onnx_path)), vorn::slice_of(std::string_view(vorn_path)),
      &options);
  if (r.status != 0) {
    std::fprintf(stderr, "conversion failed: %.*s\n", static_cast<int>(r.text.len),
                 reinterpret_cast<const char*>(r.text.ptr));
    vorn::bytes_free(&r.text);
    return 1;
  }
  vorn::bytes_free(&r.text);
  return 0;
#else
  (void)onnx_path;
  (void)vorn_path;
  std::fputs(ORT_COMPARE_NO_CONVERTER, stderr);
  return 3;
#endif
}

#if ORT_COMPARE_HAS_CONVERTER

std::string session_error(const VornSession* s) {
  return std::string(vorn_session_error_message_ptr(s), vorn_session_error_message_len(s));
}

// Every output slot of the last run to PREFIX<slot>.bin (f32 values, or
// i64 for integer tensors); answers the slots' names, or nothing when a
// write failed.
bool write_outputs(const VornSession* session, const VornOutput* output, const std::string& prefix,
                   std::vector<std::string>* names) {
  const uint32_t count = vorn_output_tensor_count(output);
  for (uint32_t slot = 0; slot < count; ++slot) {
    const int32_t k = static_cast<int32_t>(slot);
    const uint64_t n = vorn_output_elem_count(output, k);
    const std::string path = prefix + std::to_string(slot) + ".bin";
    const int64_t* i64 = vorn_output_i64_ptr(output, k);
    const bool ok = i64 != nullptr ? bench_ort::write_file(path, i64, n * 8)
                                   : bench_ort::write_file(path, vorn_output_f32_ptr(output, k), n * 4);
    if (!ok) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return false;
    }
    names->emplace_back(vorn_session_output_name_ptr(session, k), vorn_session_output_name_len(session, k));
  }
  return true;
}

int run(const char* vorn_path, double seconds, uint32_t backend, const std::string& outputs,
        const std::vector<bench_ort::Input>& inputs) {
  VornSession* session = vorn_session_new(nullptr);
  VornInput* input = vorn_input_new();
  VornOutput* output = vorn_output_new();
  int status = 1;
  std::vector<double> times;
  std::vector<std::string> names;
  vorn_session_set_backend(session, backend);
  if (!vorn_session_open(session, vorn_path, std::strlen(vorn_path))) {
    std::fprintf(stderr, "open failed: %s\n", session_error(session).c_str());
    goto done;
  }
  for (const bench_ort::Input& b : inputs) {
    bool ok = b.is_f32 ? vorn_input_set_named_f32(input, b.name.data(), b.name.size(),
                                                  reinterpret_cast<const float*>(b.bytes.data()), b.count(), 0)
                       : vorn_input_set_named_i64(input, b.name.data(), b.name.size(),
                                                  reinterpret_cast<const int64_t*>(b.bytes.data()), b.count(), 0);
    if (!ok) {
      std::fprintf(stderr, "cannot bind input %s\n", b.name.c_str());
      goto done;
    }
  }
  times = bench_ort::time_runs(seconds, [&]() { return vorn_session_run(session, input, output); });
  if (times.empty()) {
    std::fprintf(stderr, "run failed: %s\n", session_error(session).c_str());
    goto done;
  }
  if (!outputs.empty() && !write_outputs(session, output, outputs, &names)) goto done;
  bench_ort::print_figures(times, names);
  status = 0;
done:
  vorn_output_free(output);
  vorn_input_free(input);
  vorn_session_free(session);
  return status;
}
#else
int run(const char*, double, uint32_t, const std::string&, const std::vector<bench_ort::Input>&) {
  std::fputs(ORT_COMPARE_NO_CONVERTER, stderr);
  return 3;
}
#endif


}  // namespace

int main(int argc, char** argv) {
  const auto isa = bench_ort::bench_isa();
  if (argc == 4 && std::strcmp(argv[1], "convert") == 0) return convert(argv[2], argv[3]);
  if (argc < 4 || std::strcmp(argv[1], "run") != 0) return usage();
  uint32_t backend = VORN_BACKEND_CPU;
  std::string outputs;
  std::vector<bench_ort::Input> inputs;
  for (int i = 4; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--backend" && i + 1 < argc) {
      const std::string b = argv[++i];
      if (b != "cpu" && b != "gpu") return usage();
      backend = b == "gpu" ? VORN_BACKEND_GPU : VORN_BACKEND_CPU;
    } else if (a == "--outputs" && i + 1 < argc) {
      outputs = argv[++i];
    } else {
      inputs.emplace_back();
      if (!bench_ort::read_input(a, &inputs.back())) return 2;
    }
  }
  return run(argv[2], std::atof(argv[3]), backend, outputs, inputs);
}
