// The prepared-input directory of a request: one raw file per input tensor,
// named after the tensor with ".bin" appended, and the manifest inputs.json
// that describes them. Both command-line tools write it; the manifest is
// written last, so its presence marks a finished directory, and the
// directory is staged so that a failed run leaves nothing half written.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "generation/request_prepare.h"

namespace vorn {

inline constexpr const char* kInputsManifestName = "inputs.json";
inline constexpr const char* kTensorFileSuffix = ".bin";

// Writes bytes to path whole or not at all. std::runtime_error "Cannot
// write <path>" when the file cannot be created, "Write failed <path>" when
// writing or placing it fails.
void write_file_bytes(const std::string& path, const void* bytes, uint64_t length);
// The value as the tools' JSON text (json_file_text), by write_file_bytes.
void write_json_file(const std::string& path, const nlohmann::json& value);

// The manifest of a prepared request: "inputs" (name -> {"dtype", "file",
// "shape"}), "prompt_token_ids", "rendered_prompt", "image_orientations",
// "image_views", "image_rows", "image_cols", "stages_ms".
nlohmann::json prepare_manifest(const PreparedRequest& prepared);

// Writes the tensors (in name order) and then the manifest into the output
// directory, creating it and its missing parents. Throws std::runtime_error
// on failure, the directory unchanged.
void write_prepare_output(const PreparedRequest& prepared, const std::string& output);

}  // namespace vorn
