// The chat command's generation report: the session's report of its last
// generation with the command's own timings and the model open's stage
// timings added, written as one JSON file.
#pragma once
#include <nlohmann/json.hpp>
#include <string>

namespace vorn {

// Stage timings of a model open, in milliseconds.
struct OpenTimings {
  double processor_ms = 0;  // processor construction
  double backend_ms = 0;    // graph construction and configuration
  double read_ms = 0;       // weight loading
  double metadata_ms = 0;   // container open
  double slot_ms = 0;       // weights buffer allocation
};

// A copy of last_report with "application_wall_ms", "processor_setup_ms",
// "backend_prepare_ms", "frontend_loading_overlap", "weight_cache_policy",
// "loader" and the options' "prompt" and "image" (JSON null when absent).
nlohmann::json generation_report(const nlohmann::json& last_report, const OpenTimings& timings,
                                 const nlohmann::json& options, double application_wall_ms);

// Creates the report's directory (with its parents) and writes the report
// whole or not at all. VNError VornInference "Report directory" or "Write
// generation report".
void write_generation_report(const std::string& path, const nlohmann::json& report);

// The process's peak resident set size in bytes.
uint64_t process_peak_rss_bytes();

}  // namespace vorn
