#include "frontend/prepare_command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "base/vn_error.h"
#include "frontend/number_scan.h"
#include "frontend/output_files.h"
#include "frontend/prepare_output.h"
#include "generation/vn_processor.h"

namespace vorn {

namespace {

using json = nlohmann::json;

[[noreturn]] void refuse(const std::string& reason) { throw VNError(vn_category::kFrontend, reason); }

// "1,2,3" -> ids; every piece one signed 64-bit integer that names a token
// of the model. A refusal names the piece it refused.
std::vector<int64_t> decode_ids(const std::string& text, uint64_t vocab_size) {
  std::vector<int64_t> ids;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string piece = text.substr(start, comma == std::string::npos ? text.npos : comma - start);
    int64_t id = 0;
    if (!scan_i64(piece, &id)) refuse("Decode ID \"" + piece + "\": not a whole number");
    if (id < 0 || uint64_t(id) >= vocab_size)
      refuse("Decode ID " + std::to_string(id) + ": the model's token ids are 0.." + std::to_string(vocab_size - 1));
    ids.push_back(id);
    if (comma == std::string::npos) return ids;
    start = comma + 1;
  }
}

void run(const uint8_t* metadata, uint64_t length, int fd, uint64_t base_offset, const json& options) {
  if (!options.contains("output") || !options["output"].is_string()) refuse("prepare requires --output DIRECTORY");
  const std::string output = options["output"];
  const VNProcessor processor(metadata, length, fd, base_offset);
  json prepared = processor.prepare(options);

  StagedDirectory dir;
  std::string why;
  if (!dir.begin(output, &why)) refuse("Create input dump directory " + output + ": " + why);
  json inputs = json::object();
  for (auto& [name, entry] : prepared["inputs"].items()) {
    const std::string file = name + kTensorFileSuffix;
    const auto& data = entry["data"].get_binary();
    if (!dir.write(file, data.data(), data.size())) refuse("Write input dump");
    entry.erase("data");
    entry["file"] = file;
    inputs[name] = std::move(entry);
  }
  prepared["inputs"] = std::move(inputs);
  if (options.contains("decode_ids")) prepared["decoded"] = processor.decode(decode_ids(options["decode_ids"], processor.processor().vocab_size()));

  const std::string manifest = json_file_text(prepared);
  if (!dir.write(kInputsManifestName, manifest.data(), manifest.size())) refuse("Write input manifest");
  // The ids' text goes to the terminal too: it is what the user asked to
  // see. When it cannot be written the command fails and the directory is
  // not placed.
  if (prepared.contains("decoded")) {
    const std::string& text = prepared["decoded"].get_ref<const std::string&>();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) refuse("Cannot write the decoded text to standard output");
  }
  if (!dir.commit()) refuse("Write input manifest");
}

}  // namespace

int prepare_command(const uint8_t* metadata, uint64_t length, int fd, uint64_t base_offset, const json& options) {
  try {
    run(metadata, length, fd, base_offset, options);
    return 1;
  } catch (const VNError& e) {
    std::fprintf(stderr, "vorn prepare: %s\n", e.reason());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorn prepare: %s\n", e.what());
  }
  return 0;
}

}  // namespace vorn
