// libFuzzer target over the ONNX reading and import: the model bytes go
// through the whole import (model, initializers, input binding in both
// modes, every node), constant folding of every node in options mode, and,
// when that succeeds, into an in-memory container.
//
// Input layout: byte 0 flags (bit 0: options mode; bit 1: bind the dims
// "batch" and "seq"), bytes 1-2 the little-endian length of the trailing
// external-data part, byte 3 the option word's size, then the ONNX bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "container/writer.h"
#include "converter/constant_fold.h"
#include "converter/container_output.h"
#include "converter/onnx_import.h"
#include "converter/shape_binding.h"

using namespace vorn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t flags = data[0];
  size_t ext_len = static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8;
  const uint64_t word = data[3];
  data += 4;
  size -= 4;
  if (ext_len > size) ext_len = size;
  const size_t onnx_len = size - ext_len;
  if (onnx_len == 0) return 0;

  auto* onnx = static_cast<uint8_t*>(std::malloc(onnx_len));
  std::memcpy(onnx, data, onnx_len);
  uint8_t* ext = nullptr;
  if (ext_len != 0) {
    ext = static_cast<uint8_t*>(std::malloc(ext_len));
    std::memcpy(ext, data + onnx_len, ext_len);
  }
  ConvertOptions options = convert_options_init();
  if (flags & 2) {
    convert_options_add_dim(&options, "batch=1", 7);
    convert_options_add_dim(&options, "seq=4", 5);
  }
  ImportOutcome o = onnx_import_begin(onnx, onnx_len, ext, ext_len, slice_of("model.onnx"), word,
                                      (flags & 1) ? &options : nullptr);
  bytes_free(&o.error);
  if (o.state == nullptr) return 0;
  ByteString err = onnx_import_nodes(*o.state, o.graph_start, o.graph_end, UINT64_MAX);
  if (err.len == 0) {
    // Constant folding sees the hostile constants too.
    if (flags & 1)
      for (uint64_t n = 0; n < o.state->node_count; ++n) fold_node(*o.state, n);
    ContainerSpec spec;
    std::string message;
    if (container_output_spec(*o.state, &spec, &message)) {
      std::vector<uint8_t> image;
      container_write_memory(spec, &image, &message);
    }
  }
  bytes_free(&err);
  builder_free(o.state);
  return 0;
}
