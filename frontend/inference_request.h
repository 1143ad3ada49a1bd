// The request file of the chat tool's infer command: a JSON object with
// "schema_version" 1, an optional "activation_dtype" (0 or 1 for F16, 2 for
// F32), an optional "profile" flag and the "cases" that the generation
// loop runs one by one, each into a directory of its own; the whole object
// also configures the graph. The run's summary goes to result.json.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace vorn {

inline constexpr const char* kResultManifestName = "result.json";

// Reads and parses the request. VNError VornInference "Cannot read request"
// or "Request schema" (not a JSON object with schema_version 1).
nlohmann::json read_inference_request(const std::string& path);

// The graph's activation kind for the request: 1 (F16) for an absent, 0 or
// 1 "activation_dtype", 2 (F32) for 2. Any other value is refused with
// VNError VornInference "activation_dtype must be 0, 1 or 2".
uint64_t request_activation(const nlohmann::json& request);
// "fp16" or "fp32" for the result manifest.
const char* activation_name(uint64_t activation);

// The directory that relative input paths of the cases are read from: the
// request file's directory, "." for a bare file name.
std::string request_directory(const std::string& request_path);
// output/case<i>.
std::string case_directory(const std::string& output, uint64_t index);

// Writes result.json into the output directory (created when missing)
// whole or not at all; VNError VornInference "Writing result manifest".
void write_result_manifest(const std::string& output, const nlohmann::json& manifest);

}  // namespace vorn
