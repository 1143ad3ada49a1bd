#include "frontend/prepare_output.h"

#include <stdexcept>

#include "frontend/output_files.h"

namespace vorn {

namespace {

std::string tensor_file(const std::string& name) { return name + kTensorFileSuffix; }

}  // namespace

void write_file_bytes(const std::string& path, const void* bytes, uint64_t length) {
  switch (write_file_atomic(path, bytes, length)) {
    case WriteStatus::kOk:
      return;
    case WriteStatus::kCreate:
      throw std::runtime_error("Cannot write " + path);
    case WriteStatus::kWrite:
      throw std::runtime_error("Write failed " + path);
  }
}

void write_json_file(const std::string& path, const nlohmann::json& value) {
  const std::string text = json_file_text(value);
  write_file_bytes(path, text.data(), text.size());
}

nlohmann::json prepare_manifest(const PreparedRequest& prepared) {
  nlohmann::json inputs = nlohmann::json::object();
  for (const auto& [name, tensor] : prepared.tensors)
    inputs[name] = {{"dtype", tensor.dtype}, {"file", tensor_file(name)}, {"shape", tensor.shape}};
  return {{"inputs", std::move(inputs)},
          {"prompt_token_ids", prepared.prompt_token_ids},
          {"rendered_prompt", prepared.rendered_prompt},
          {"image_orientations", prepared.image_orientations},
          {"image_views", prepared.image_views},
          {"image_rows", prepared.image_rows},
          {"image_cols", prepared.image_cols},
          {"stages_ms", prepared.stages_ms}};
}

void write_prepare_output(const PreparedRequest& prepared, const std::string& output) {
  StagedDirectory dir;
  std::string error;
  if (!dir.begin(output, &error)) throw std::runtime_error("Cannot create directory " + output + ": " + error);
  for (const auto& [name, tensor] : prepared.tensors) {
    if (!dir.write(tensor_file(name), tensor.data.data(), tensor.data.size()))
      throw std::runtime_error("Write failed " + path_join(output, tensor_file(name)));
  }
  const std::string manifest = json_file_text(prepare_manifest(prepared));
  if (!dir.write(kInputsManifestName, manifest.data(), manifest.size()) || !dir.commit())
    throw std::runtime_error("Write failed " + path_join(output, kInputsManifestName));
}

}  // namespace vorn
