// Our side of bench/ort_compare: converts an ONNX model to a .vorn file, or
// times one model on the CPU or the GPU engine through the public C
// interface.
//
//   ort_compare_runner convert MODEL.onnx OUT.vorn
//   ort_compare_runner run MODEL.vorn SECONDS [--backend cpu|gpu] INPUT...
//
// INPUT is NAME:DTYPE:FILE with DTYPE f32 or i64 and FILE raw little-endian
// values. "run" makes three untimed runs, then times runs for about SECONDS
// (at least 10, at most 500) and prints one JSON line:
//   {"median_ms": M, "min_ms": m, "runs": n}
// Thread count is the process's affinity mask (the caller pins with
// taskset). Exit status 3 means this build cannot convert ONNX files.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/files.h"
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
               "       ort_compare_runner run MODEL.vorn SECONDS [--backend cpu|gpu] NAME:f32|i64:FILE...\n");
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

struct BoundInput {
  std::string name;
  bool is_f32 = true;
  std::vector<float> f32;
  std::vector<int64_t> i64;
};

bool load_input(const std::string& spec, BoundInput* out) {
  const size_t a = spec.find(':');
  const size_t b = a == std::string::npos ? a : spec.find(':', a + 1);
  if (b == std::string::npos) return false;
  out->name = spec.substr(0, a);
  const std::string dtype = spec.substr(a + 1, b - a - 1);
  std::ifstream in(spec.substr(b + 1), std::ios::binary);
  if (!in || (dtype != "f32" && dtype != "i64")) return false;
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  out->is_f32 = dtype == "f32";
  const size_t width = out->is_f32 ? 4 : 8;
  if (bytes.empty() || bytes.size() % width != 0) return false;
  if (out->is_f32) {
    out->f32.resize(bytes.size() / 4);
    std::memcpy(out->f32.data(), bytes.data(), bytes.size());
  } else {
    out->i64.resize(bytes.size() / 8);
    std::memcpy(out->i64.data(), bytes.data(), bytes.size());
  }
  return true;
}

std::string session_error(const VornSession* s) {
  return std::string(vorn_session_error_message_ptr(s), vorn_session_error_message_len(s));
}

int run(const char* vorn_path, double seconds, uint32_t backend, int argc, char** argv) {
  std::vector<BoundInput> inputs(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    if (!load_input(argv[i], &inputs[static_cast<size_t>(i)])) {
      std::fprintf(stderr, "bad input %s\n", argv[i]);
      return 2;
    }
  }
  VornSession* session = vorn_session_new(nullptr);
  VornInput* input = vorn_input_new();
  VornOutput* output = vorn_output_new();
  int status = 1;
  std::vector<double> times;
  vorn_session_set_backend(session, backend);
  if (!vorn_session_open(session, vorn_path, std::strlen(vorn_path))) {
    std::fprintf(stderr, "open failed: %s\n", session_error(session).c_str());
    goto done;
  }
  for (const BoundInput& b : inputs) {
    bool ok = b.is_f32 ? vorn_input_set_named_f32(input, b.name.data(), b.name.size(),
                                                  b.f32.data(), b.f32.size(), 0)
                       : vorn_input_set_named_i64(input, b.name.data(), b.name.size(),
                                                  b.i64.data(), b.i64.size(), 0);
    if (!ok) {
      std::fprintf(stderr, "cannot bind input %s\n", b.name.c_str());
      goto done;
    }
  }
  for (int i = 0; i < 3; ++i) {
    if (!vorn_session_run(session, input, output)) {
      std::fprintf(stderr, "run failed: %s\n", session_error(session).c_str());
      goto done;
    }
  }
  {
    const double start = vorn::monotonic_seconds();
    while (times.size() < 500 &&
           (times.size() < 10 || vorn::monotonic_seconds() - start < seconds)) {
      const double t0 = vorn::monotonic_seconds();
      if (!vorn_session_run(session, input, output)) {
        std::fprintf(stderr, "run failed: %s\n", session_error(session).c_str());
        goto done;
      }
      times.push_back((vorn::monotonic_seconds() - t0) * 1e3);
    }
  }
  std::sort(times.begin(), times.end());
  std::printf("{\"median_ms\": %.4f, \"min_ms\": %.4f, \"runs\": %zu}\n",
              times.size() % 2 ? times[times.size() / 2]
                               : 0.5 * (times[times.size() / 2 - 1] + times[times.size() / 2]),
              times.front(), times.size());
  status = 0;
done:
  vorn_output_free(output);
  vorn_input_free(input);
  vorn_session_free(session);
  return status;
}
#else
int run(const char*, double, uint32_t, int, char**) {
  std::fputs(ORT_COMPARE_NO_CONVERTER, stderr);
  return 3;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "convert") == 0) return convert(argv[2], argv[3]);
  if (argc >= 4 && std::strcmp(argv[1], "run") == 0) {
    uint32_t backend = VORN_BACKEND_CPU;
    int first = 4;
    if (argc >= 6 && std::strcmp(argv[4], "--backend") == 0) {
      if (std::strcmp(argv[5], "gpu") == 0) backend = VORN_BACKEND_GPU;
      else if (std::strcmp(argv[5], "cpu") != 0) return usage();
      first = 6;
    }
    return run(argv[2], std::atof(argv[3]), backend, argc - first, argv + first);
  }
  return usage();
}
