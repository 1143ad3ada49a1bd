// Fuzzes prepare: with request dictionaries: the input's first bytes pick an
// optional raw-pixel image (sides up to 16, its bytes from the input's
// tail), the rest is JSON text. File paths are dropped so that no case reads
// the disk. Every refusal must be an object-layer error; nothing may crash,
// hang or read outside a buffer.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "base/vn_error.h"
#include "generation/documents_fixture.h"
#include "generation/vn_processor.h"

namespace {

using json = nlohmann::json;

void drop_paths(json& request) {
  request.erase("image");
  auto messages = request.find("messages");
  if (messages == request.end() || !messages->is_array()) return;
  for (json& m : *messages) {
    if (!m.is_object() || !m.contains("content") || !m["content"].is_array()) continue;
    for (json& part : m["content"])
      if (part.is_object()) part.erase("path");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const vorn::VNProcessor processor(vorn::test::family_documents());
  if (size < 4) return 0;
  const uint32_t width = data[1] % 17, height = data[2] % 17;
  const size_t pixel_bytes = (data[0] & 1) ? std::min<size_t>(size - 4, size_t{width} * height * 3 + (data[3] & 7)) : 0;
  const std::string text(reinterpret_cast<const char*>(data) + 4, size - 4 - pixel_bytes);
  json request = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!request.is_object()) return 0;
  drop_paths(request);
  if (pixel_bytes > 0) {
    const uint8_t* tail = data + size - pixel_bytes;
    request["image_pixels"] = {{"data", json::binary(std::vector<uint8_t>(tail, tail + pixel_bytes))},
                               {"width", width}, {"height", height}, {"stride", width * 3},
                               {"format", 1 + (data[0] >> 1) % 3}, {"orientation", 1 + (data[0] >> 3) % 8}};
  }
  try {
    processor.prepare(request);
  } catch (const vorn::VNError&) {
  }
  return 0;
}
