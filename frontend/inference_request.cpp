#include "frontend/inference_request.h"

#include "base/vn_error.h"
#include "frontend/output_files.h"
#include "generation/json_values.h"

namespace vorn {

namespace {

using json = nlohmann::json;

constexpr uint64_t kActivationF16 = 1;
constexpr uint64_t kActivationF32 = 2;
constexpr uint32_t kMaxRequestDepth = 128;

}  // namespace

json read_inference_request(const std::string& path) {
  std::string bytes;
  if (!read_file_bytes(path, &bytes)) throw_inference("Cannot read request");
  // Copying a parsed value recurses once per level: a request nested deeper
  // than any needs is refused before it is parsed.
  if (!json_nesting_within(bytes, kMaxRequestDepth)) throw_inference("Request nests too deeply");
  json request = json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  const auto version = request.is_object() ? request.find("schema_version") : request.end();
  if (!request.is_object() || version == request.end() || !version->is_number_integer() || *version != 1)
    throw_inference("Request schema");
  return request;
}

uint64_t request_activation(const json& request) {
  const auto it = request.find("activation_dtype");
  if (it == request.end()) return kActivationF16;
  // The graph knows two activation kinds; anything past them would name a
  // kind it has not.
  if (!it->is_number_unsigned() || it->get<uint64_t>() > kActivationF32)
    throw_inference("activation_dtype must be 0, 1 or 2");
  return it->get<uint64_t>() < kActivationF32 ? kActivationF16 : kActivationF32;
}

const char* activation_name(uint64_t activation) { return activation == kActivationF32 ? "fp32" : "fp16"; }

std::string request_directory(const std::string& request_path) {
  const std::string dir = path_directory(request_path);
  return dir.empty() ? "." : dir;
}

std::string case_directory(const std::string& output, uint64_t index) {
  return path_join(output, "case" + std::to_string(index));
}

void write_result_manifest(const std::string& output, const json& manifest) {
  const std::string text = json_file_text(manifest);
  if (!make_directories(output, nullptr) ||
      write_file_atomic(path_join(output, kResultManifestName), text.data(), text.size()) != WriteStatus::kOk)
    throw_inference("Writing result manifest");
}

}  // namespace vorn
