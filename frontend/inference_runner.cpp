#include "frontend/inference_runner.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "base/files.h"
#include "base/vn_error.h"
#include "container/records.h"
#include "frontend/device_model.h"
#include "frontend/generation_report.h"
#include "frontend/inference_request.h"
#include "generation/generation_loop.h"

namespace vorn {

namespace {

using json = nlohmann::json;

double elapsed_ms(double from, double to) { return (to - from) * 1000; }

// The graph takes float inputs of its activation kind only (F16 or F32,
// numbered as the element kinds are). A case prepared for the other kind
// would be refused by the graph as a missing input; it is said plainly.
void check_float_inputs(const json& case_request, uint64_t activation) {
  const auto inputs = case_request.is_object() ? case_request.find("inputs") : case_request.end();
  if (inputs == case_request.end() || !inputs->is_object()) return;
  const auto kind_name = [](uint64_t kind) { return kind == kElemF16 ? "F16" : "F32"; };
  for (const auto& [name, spec] : inputs->items()) {
    const auto dtype = spec.is_object() ? spec.find("dtype") : spec.end();
    if (dtype == spec.end() || !dtype->is_number_unsigned()) continue;
    const uint64_t kind = dtype->get<uint64_t>();
    if ((kind == kElemF16 || kind == kElemF32) && kind != activation)
      throw_inference("Input " + name + " is " + kind_name(kind) + " where activation_dtype asks for " +
                      kind_name(activation) + " inputs");
  }
}

// One case through the generation loop in file mode: its inputs read
// relative to the request's directory, its outputs written into its own
// directory; returns the loop's result dictionary. The case runs without a
// processor, so without a text stream: its answer is its token ids.
json run_case(VNGraph& graph, const json& case_request, const std::string& request_dir, const std::string& case_dir) {
  check_float_inputs(case_request, graph.activation());
  json request = case_request;
  return generation_loop(graph, request, GenerationLoopObjects{}, request_dir.c_str(), case_dir.c_str(),
                         kLoopFileMode);
}

void run(const std::string& model_path, const std::string& request_path, const std::string& output,
         uint64_t* failed) {
  // The request is read and checked before any weight is loaded.
  const double t0 = monotonic_seconds_alt();
  const json request = read_inference_request(request_path);
  const uint64_t activation = request_activation(request);
  const double t1 = monotonic_seconds_alt();
  // An output that is not a directory would fail every case alike: it is
  // said once, before any weight is loaded.
  struct stat st {};
  const int found = ::stat(output.c_str(), &st);
  if ((found == 0 && !S_ISDIR(st.st_mode)) || (found != 0 && errno == ENOTDIR))
    throw_inference("Output directory " + output + ": not a directory");
  const DeviceModel model(model_path);

  const double t2 = monotonic_seconds_alt();
  std::unique_ptr<VNGraph> graph = model.new_graph(activation);
  graph->configure(request);
  const double t3 = monotonic_seconds_alt();
  const auto profile = request.find("profile");
  graph->setProfile(profile != request.end() && profile->is_boolean() && profile->get<bool>());

  // A case that fails is reported, in result.json and on standard error,
  // and the others still run: one bad case does not cost the whole batch
  // its results.
  json results = json::array();
  const auto cases = request.find("cases");
  if (cases != request.end() && cases->is_array()) {
    const std::string request_dir = request_directory(request_path);
    for (const json& c : *cases) {
      const uint64_t index = results.size();
      try {
        results.push_back(run_case(*graph, c, request_dir, case_directory(output, index)));
      } catch (const std::exception& e) {
        const char* reason = e.what();
        std::fprintf(stderr, "vorn inference: case %llu: %s\n", static_cast<unsigned long long>(index), reason);
        results.push_back({{"name", c.is_object() && c.contains("name") ? c["name"] : json("prompt")},
                           {"error", reason}});
        ++*failed;
      }
      // No buffer is carried from one case into the next.
      graph->clearPool();
    }
  }
  if (results.empty()) throw_inference("No inference cases");

  const json manifest = {
      {"schema_version", 1},
      {"backend", graph->backendName()},
      {"weight_dtype", graph->weightDtype()},
      {"weight_execution", graph->weightExecution()},
      {"activation_dtype", activation_name(activation)},
      {"device", graph->device()->name()},
      {"backend_prepare_ms", elapsed_ms(t2, t3)},
      {"request_read_ms", elapsed_ms(t0, t1)},
      {"max_rss_bytes", process_peak_rss_bytes()},
      {"peak_observed_metal_allocated_bytes", graph->peakMetalAllocatedBytes},
      {"cases", std::move(results)},
  };
  write_result_manifest(output, manifest);
}

}  // namespace

int run_inference_request(const std::string& model_path, const std::string& request_path, const std::string& output) {
  try {
    uint64_t failed = 0;
    run(model_path, request_path, output, &failed);
    return failed == 0 ? 1 : 0;
  } catch (const VNError& e) {
    std::fprintf(stderr, "vorn inference: %s\n", e.reason());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorn inference: %s\n", e.what());
  }
  return 0;
}

}  // namespace vorn
