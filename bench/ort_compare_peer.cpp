// ONNX Runtime's side of bench/ort_compare: times one model on its CPU
// execution provider with every graph optimisation, through its C
// interface, as a C++ application calls it (so the figures carry no
// binding's overhead, which on models of a tenth of a millisecond is of the
// order of the model itself).
//
//   ort_compare_peer LIBONNXRUNTIME MODEL.onnx THREADS SECONDS [--outputs PREFIX]
//                    [--profile PREFIX] NAME:DTYPE:SHAPE:FILE...
//
// LIBONNXRUNTIME is the shared library the npm package onnxruntime-node
// ships (bin/napi-v3/linux/x64/libonnxruntime.so.1), opened at run time:
// nothing of ONNX Runtime is needed to build this file. THREADS is the
// intra-op thread count (the caller pins the process with taskset);
// execution is sequential. Prints bench_ort::print_figures's line; with
// --outputs every output of one more run goes to PREFIX<i>.bin (session
// order), with --profile ONNX Runtime writes its trace of per-node times
// (its session option enableProfiling) to a file whose name is printed as
// {"profile": PATH} before the figures.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/ort_compare_common.h"

namespace {

// The calls of ONNX Runtime's C interface used here. OrtApi is a table of
// function pointers that only ever grows at its end, so each call sits at
// a fixed slot in every release; these are the slots of the public header.
struct OrtStatus;
struct OrtEnv;
struct OrtSessionOptions;
struct OrtSession;
struct OrtValue;
struct OrtMemoryInfo;
struct OrtAllocator;
struct OrtTensorTypeAndShapeInfo;
using Status = OrtStatus*;

struct OrtApiBase {
  const void* (*GetApi)(uint32_t version);
  const char* (*GetVersionString)();
};

enum Slot : size_t {
  kGetErrorMessage = 2,
  kCreateEnv = 3,
  kCreateSession = 7,
  kRun = 9,
  kCreateSessionOptions = 10,
  kSetSessionExecutionMode = 13,
  kEnableProfiling = 14,
  kSetSessionGraphOptimizationLevel = 23,
  kSetIntraOpNumThreads = 24,
  kSetInterOpNumThreads = 25,
  kSessionGetOutputCount = 31,
  kSessionGetOutputName = 37,
  kCreateTensorWithDataAsOrtValue = 49,
  kGetTensorMutableData = 51,
  kGetTensorElementType = 60,
  kGetTensorShapeElementCount = 64,
  kGetTensorTypeAndShape = 65,
  kCreateCpuMemoryInfo = 69,
  kAllocatorFree = 76,
  kGetAllocatorWithDefaultOptions = 78,
  kReleaseEnv = 92,
  kReleaseStatus = 93,
  kReleaseMemoryInfo = 94,
  kReleaseSession = 95,
  kReleaseValue = 96,
  kReleaseTensorTypeAndShapeInfo = 99,
  kReleaseSessionOptions = 100,
  kSessionEndProfiling = 110,
};
// The interface version asked for; every slot above is of version 2 or older.
constexpr uint32_t kApiVersion = 13;
// ONNXTensorElementDataType, GraphOptimizationLevel, OrtLoggingLevel,
// OrtAllocatorType and OrtMemType values.
constexpr int kFloat = 1, kInt64 = 7, kOptimizeAll = 99, kLogError = 3, kDeviceAllocator = 0, kMemDefault = 0;

class Ort {
 public:
  explicit Ort(const void* table) : table_(static_cast<void* const*>(table)) {}

  template <typename Fn>
  Fn at(Slot s) const {
    return reinterpret_cast<Fn>(table_[s]);
  }
  // Reports a failed call and answers false.
  bool ok(Status s, const char* what) const {
    if (s == nullptr) return true;
    std::fprintf(stderr, "%s: %s\n", what, at<const char* (*)(const OrtStatus*)>(kGetErrorMessage)(s));
    at<void (*)(OrtStatus*)>(kReleaseStatus)(s);
    return false;
  }

 private:
  void* const* table_;
};

struct Options {
  std::string library, model, outputs, profile;
  int threads = 1;
  double seconds = 1;
  std::vector<bench_ort::Input> inputs;
};

bool parse(int argc, char** argv, Options* o) {
  if (argc < 5) return false;
  o->library = argv[1];
  o->model = argv[2];
  o->threads = std::atoi(argv[3]);
  o->seconds = std::atof(argv[4]);
  for (int i = 5; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--outputs" && i + 1 < argc) {
      o->outputs = argv[++i];
    } else if (a == "--profile" && i + 1 < argc) {
      o->profile = argv[++i];
    } else {
      o->inputs.emplace_back();
      if (!bench_ort::read_input(a, &o->inputs.back())) return false;
    }
  }
  return o->threads >= 1 && !o->inputs.empty();
}

int run(const Options& o) {
  void* lib = dlopen(o.library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "cannot open %s: %s\n", o.library.c_str(), dlerror());
    return 1;
  }
  auto get_base = reinterpret_cast<const OrtApiBase* (*)()>(dlsym(lib, "OrtGetApiBase"));
  const void* table = get_base != nullptr ? get_base()->GetApi(kApiVersion) : nullptr;
  if (table == nullptr) {
    std::fprintf(stderr, "%s has no C interface of version %u\n", o.library.c_str(), kApiVersion);
    return 1;
  }
  const Ort ort(table);
  OrtEnv* env = nullptr;
  OrtSessionOptions* options = nullptr;
  OrtSession* session = nullptr;
  OrtMemoryInfo* memory = nullptr;
  OrtAllocator* allocator = nullptr;
  std::vector<OrtValue*> feeds;
  std::vector<const char*> input_names;
  std::vector<std::string> output_names;
  std::vector<const char*> output_name_ptrs;
  std::vector<double> times;
  int status = 1;

  auto release_outputs = [&](std::vector<OrtValue*>& values) {
    for (OrtValue*& v : values) {
      if (v != nullptr) ort.at<void (*)(OrtValue*)>(kReleaseValue)(v);
      v = nullptr;
    }
  };
  // Texts ONNX Runtime hands out belong to the allocator they came from.
  auto free_text = [&](char* text) {
    ort.ok(ort.at<Status (*)(OrtAllocator*, void*)>(kAllocatorFree)(allocator, text), "free");
  };
  std::vector<OrtValue*> results;
  auto run_once = [&]() {
    release_outputs(results);
    results.assign(output_name_ptrs.size(), nullptr);
    return ort.ok(ort.at<Status (*)(OrtSession*, const void*, const char* const*, const OrtValue* const*, size_t,
                                    const char* const*, size_t, OrtValue**)>(kRun)(
                      session, nullptr, input_names.data(), feeds.data(), feeds.size(), output_name_ptrs.data(),
                      output_name_ptrs.size(), results.data()),
                  "run");
  };

  if (!ort.ok(ort.at<Status (*)(int, const char*, OrtEnv**)>(kCreateEnv)(kLogError, "ort_compare", &env), "env") ||
      !ort.ok(ort.at<Status (*)(OrtSessionOptions**)>(kCreateSessionOptions)(&options), "options") ||
      !ort.ok(ort.at<Status (*)(OrtSessionOptions*, int)>(kSetIntraOpNumThreads)(options, o.threads), "threads") ||
      !ort.ok(ort.at<Status (*)(OrtSessionOptions*, int)>(kSetInterOpNumThreads)(options, 1), "threads") ||
      !ort.ok(ort.at<Status (*)(OrtSessionOptions*, int)>(kSetSessionExecutionMode)(options, 0), "mode") ||
      !ort.ok(ort.at<Status (*)(OrtSessionOptions*, int)>(kSetSessionGraphOptimizationLevel)(options, kOptimizeAll),
              "optimisation level") ||
      (!o.profile.empty() &&
       !ort.ok(ort.at<Status (*)(OrtSessionOptions*, const char*)>(kEnableProfiling)(options, o.profile.c_str()),
               "profiling")) ||
      !ort.ok(ort.at<Status (*)(const OrtEnv*, const char*, const OrtSessionOptions*, OrtSession**)>(kCreateSession)(
                  env, o.model.c_str(), options, &session),
              "session") ||
      !ort.ok(ort.at<Status (*)(int, int, OrtMemoryInfo**)>(kCreateCpuMemoryInfo)(kDeviceAllocator, kMemDefault,
                                                                                  &memory),
              "memory info") ||
      !ort.ok(ort.at<Status (*)(OrtAllocator**)>(kGetAllocatorWithDefaultOptions)(&allocator), "allocator"))
    goto done;
  for (const bench_ort::Input& in : o.inputs) {
    OrtValue* v = nullptr;
    if (!ort.ok(ort.at<Status (*)(const OrtMemoryInfo*, void*, size_t, const int64_t*, size_t, int, OrtValue**)>(
                    kCreateTensorWithDataAsOrtValue)(memory, const_cast<char*>(in.bytes.data()), in.bytes.size(),
                                                     in.shape.data(), in.shape.size(), in.is_f32 ? kFloat : kInt64,
                                                     &v),
                in.name.c_str()))
      goto done;
    feeds.push_back(v);
    input_names.push_back(in.name.c_str());
  }
  {
    size_t count = 0;
    if (!ort.ok(ort.at<Status (*)(const OrtSession*, size_t*)>(kSessionGetOutputCount)(session, &count), "outputs"))
      goto done;
    for (size_t i = 0; i < count; ++i) {
      char* name = nullptr;
      if (!ort.ok(ort.at<Status (*)(const OrtSession*, size_t, OrtAllocator*, char**)>(kSessionGetOutputName)(
                      session, i, allocator, &name),
                  "output name"))
        goto done;
      output_names.emplace_back(name);
      free_text(name);
    }
    for (const std::string& n : output_names) output_name_ptrs.push_back(n.c_str());
  }
  times = bench_ort::time_runs(o.seconds, run_once);
  if (times.empty()) goto done;
  if (!o.outputs.empty()) {
    if (!run_once()) goto done;
    for (size_t i = 0; i < results.size(); ++i) {
      OrtTensorTypeAndShapeInfo* info = nullptr;
      void* data = nullptr;
      size_t elements = 0;
      int type = 0;
      const bool got =
          ort.ok(ort.at<Status (*)(const OrtValue*, OrtTensorTypeAndShapeInfo**)>(kGetTensorTypeAndShape)(results[i],
                                                                                                          &info),
                 "output shape") &&
          ort.ok(ort.at<Status (*)(const OrtTensorTypeAndShapeInfo*, size_t*)>(kGetTensorShapeElementCount)(info,
                                                                                                           &elements),
                 "output size") &&
          ort.ok(ort.at<Status (*)(const OrtTensorTypeAndShapeInfo*, int*)>(kGetTensorElementType)(info, &type),
                 "output type") &&
          ort.ok(ort.at<Status (*)(OrtValue*, void**)>(kGetTensorMutableData)(results[i], &data), "output data");
      if (info != nullptr) ort.at<void (*)(OrtTensorTypeAndShapeInfo*)>(kReleaseTensorTypeAndShapeInfo)(info);
      if (!got) goto done;
      const size_t width = type == kInt64 ? 8 : type == kFloat ? 4 : 0;
      if (width == 0) {
        std::fprintf(stderr, "output %s: element type %d is neither f32 nor i64\n", output_names[i].c_str(), type);
        goto done;
      }
      const std::string path = o.outputs + std::to_string(i) + ".bin";
      if (!bench_ort::write_file(path, data, elements * width)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        goto done;
      }
    }
  }
  if (!o.profile.empty()) {
    char* path = nullptr;
    if (!ort.ok(ort.at<Status (*)(OrtSession*, OrtAllocator*, char**)>(kSessionEndProfiling)(session, allocator, &path),
                "profile"))
      goto done;
    std::printf("{\"profile\": %s}\n", bench_ort::json_text(path).c_str());
    free_text(path);
  }
  bench_ort::print_figures(times, o.outputs.empty() ? std::vector<std::string>{} : output_names);
  status = 0;
done:
  release_outputs(results);
  for (OrtValue* v : feeds) ort.at<void (*)(OrtValue*)>(kReleaseValue)(v);
  if (memory != nullptr) ort.at<void (*)(OrtMemoryInfo*)>(kReleaseMemoryInfo)(memory);
  if (session != nullptr) ort.at<void (*)(OrtSession*)>(kReleaseSession)(session);
  if (options != nullptr) ort.at<void (*)(OrtSessionOptions*)>(kReleaseSessionOptions)(options);
  if (env != nullptr) ort.at<void (*)(OrtEnv*)>(kReleaseEnv)(env);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: ort_compare_peer LIBONNXRUNTIME MODEL.onnx THREADS SECONDS [--outputs PREFIX]\n"
                 "                        [--profile PREFIX] NAME:f32|i64:SHAPE:FILE...\n");
    return 2;
  }
  return run(o);
}
