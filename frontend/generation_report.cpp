#include "frontend/generation_report.h"

#include <sys/resource.h>

#include "base/vn_error.h"
#include "frontend/output_files.h"

namespace vorn {

namespace {

using json = nlohmann::json;

json option_or_null(const json& options, const char* key) {
  const auto it = options.find(key);
  return it == options.end() ? json() : *it;
}

}  // namespace

json generation_report(const json& last_report, const OpenTimings& timings, const json& options,
                       double application_wall_ms) {
  json report = last_report.is_object() ? last_report : json::object();
  report["application_wall_ms"] = application_wall_ms;
  report["processor_setup_ms"] = timings.processor_ms;
  report["backend_prepare_ms"] = timings.backend_ms;
  report["frontend_loading_overlap"] = false;
  report["weight_cache_policy"] = "buffered pread";
  report["loader"] = {{"read_ms", timings.read_ms},
                      {"metadata_ms", timings.metadata_ms},
                      {"slot_setup_ms", timings.slot_ms},
                      {"loaded_ms", timings.read_ms + timings.metadata_ms + timings.slot_ms}};
  report["prompt"] = option_or_null(options, "prompt");
  report["image"] = option_or_null(options, "image");
  return report;
}

void write_generation_report(const std::string& path, const json& report) {
  const std::string dir = path_directory(path);
  if (!dir.empty() && !make_directories(dir, nullptr)) throw_inference("Report directory");
  const std::string text = json_file_text(report);
  if (write_file_atomic(path, text.data(), text.size()) != WriteStatus::kOk) throw_inference("Write generation report");
}

uint64_t process_peak_rss_bytes() {
  struct rusage usage {};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return uint64_t(usage.ru_maxrss) * 1024;  // Linux counts it in KiB
}

}  // namespace vorn
