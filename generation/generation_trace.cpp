#include "generation/generation_trace.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "base/file_write.h"
#include "base/vn_error.h"
#include "gpu/vn_graph.h"

namespace vorn {

namespace {

// Boundary captures keep this many entries of their second dimension.
constexpr uint64_t kTraceBoundaryRows = 8;

}  // namespace

std::string trace_file_name(const std::string& name) {
  std::string file = name;
  for (char& c : file)
    if (c == '/') c = '_';
  return file + ".bin";
}

bool trace_write_file(const std::string& directory, const std::string& file, const uint8_t* bytes,
                      uint64_t length) {
  return write_file_whole((directory + "/" + file).c_str(), bytes, length) == ReplaceStatus::kOk;
}

nlohmann::json trace_write_tensor(const VNTensor& tensor, const std::string& name, const std::string& directory,
                                  uint64_t byte_offset, const std::vector<uint64_t>& shape) {
  const uint64_t size = tensor.dtype == 1 ? 2 : tensor.dtype == 2 ? 4 : 8;
  const uint64_t length = shape_element_count(shape) * size;
  const uint64_t held = tensor.count * size;
  if (byte_offset > held || length > held - byte_offset) throw_inference("Output slice bounds");
  // Whatever the view says, nothing is read past its buffer.
  const uint64_t room = tensor.buffer == nullptr || tensor.offset > tensor.buffer->length()
                            ? 0
                            : tensor.buffer->length() - tensor.offset;
  std::vector<uint8_t> packed;
  const uint8_t* bytes = tensor.contents() + byte_offset;
  if (tensor.cacheStride != 0) {
    if (byte_offset != 0 || shape != tensor.shape || shape.size() != 4 || shape[2] > tensor.cacheStride)
      throw_inference("Cache trace must contain the complete live tensor");
    // Each (batch, head) row reserves cacheStride positions, of which
    // shape[2] are live.
    const uint64_t rows = shape[0] * shape[1], live = shape[2] * shape[3] * size;
    if (rows > 0 && ((rows - 1) * tensor.cacheStride * shape[3] * size + live > room))
      throw_inference("Output slice bounds");
    packed.resize(length);
    for (uint64_t i = 0; i < rows; ++i)
      std::memcpy(packed.data() + i * live, tensor.contents() + i * tensor.cacheStride * shape[3] * size, live);
    bytes = packed.data();
  } else if (byte_offset + length > room) {
    throw_inference("Output slice bounds");
  }
  const std::string file = trace_file_name(name);
  if (!trace_write_file(directory, file, bytes, length)) throw_inference("Writing output tensor");
  return {{"file", file}, {"shape", shape}, {"dtype", tensor.dtype}};
}

int32_t stream_to_stdout(void*, const uint8_t* bytes, uint64_t length, uint64_t) {
  std::fwrite(bytes, 1, length, stdout);
  std::fflush(stdout);
  return 0;
}

nlohmann::json trace_write_step(const std::string& dir, uint64_t step, const VNRunResult& r, uint64_t vocab) {
  const std::string step_dir = dir + "/step" + std::to_string(step);
  std::error_code ec;
  std::filesystem::create_directories(step_dir, ec);
  if (ec) throw_inference("Trace directory");
  nlohmann::json outputs = nlohmann::json::object();
  const VNTensor& logits = *r.logits;
  outputs["logits_last"] = trace_write_tensor(logits, "logits_last", step_dir,
                                              (logits.count - vocab) * element_size(logits.dtype), {1, 1, vocab});
  if (step != 0) return outputs;
  for (const auto& [name, t] : r.captures) {
    const std::string traced = "boundary/" + name;
    if (t->shape.size() >= 2 && t->shape[1] > kTraceBoundaryRows) {
      std::vector<uint64_t> shape = t->shape;
      uint64_t inner = element_size(t->dtype);
      for (size_t d = 2; d < shape.size(); ++d) inner *= shape[d];
      shape[1] = kTraceBoundaryRows;
      const uint64_t block = kTraceBoundaryRows * inner;
      std::vector<uint8_t> bytes(shape[0] * block);
      for (uint64_t i = 0; i < shape[0]; ++i)
        std::memcpy(bytes.data() + i * block, t->contents() + i * t->shape[1] * inner, block);
      const std::string file = trace_file_name(traced);
      if (!trace_write_file(step_dir, file, bytes.data(), bytes.size())) throw_inference("Writing boundary tensor");
      outputs[traced] = {{"file", file}, {"shape", shape}, {"dtype", t->dtype}};
    } else {
      outputs[traced] = trace_write_tensor(*t, traced, step_dir, 0, t->shape);
    }
  }
  for (const auto& [name, t] : r.cache) outputs[name] = trace_write_tensor(*t, name, step_dir, 0, t->shape);
  return outputs;
}

}  // namespace vorn
