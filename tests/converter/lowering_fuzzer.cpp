// libFuzzer target over the conversion up to the writer: import, the
// detection-tail matcher, node import and the lowering pass in either mode,
// then the container description of the lowered graph.
//
// Input layout: byte 0 flags (bit 0: options mode, bit 1: report-only), byte
// 1 the option word's size, then the ONNX bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "container/writer.h"
#include "converter/container_output.h"
#include "converter/detection_tail.h"
#include "converter/lowering.h"
#include "converter/onnx_import.h"
#include "converter/shape_binding.h"

using namespace vorn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const uint64_t word = data[1];
  data += 2;
  size -= 2;
  if (size == 0) return 0;
  auto* onnx = static_cast<uint8_t*>(std::malloc(size));
  if (onnx == nullptr) return 0;
  std::memcpy(onnx, data, size);
  ConvertOptions options = convert_options_init();
  options.report_only = (flags & 2) ? 1 : 0;
  ImportOutcome begun = onnx_import_begin(onnx, size, nullptr, 0, Slice{}, word, (flags & 1) ? &options : nullptr);
  if (begun.state == nullptr) {
    bytes_free(&begun.error);
    return 0;
  }
  BuilderState& s = *begun.state;
  NmsTailMatch tail = match_nms_tail(s, s.onnx, begun.graph_start, begun.graph_end);
  ByteString err = onnx_import_nodes(s, begun.graph_start, begun.graph_end, tail.found ? tail.last_kept : UINT64_MAX);
  bool ok = err.len == 0;
  bytes_free(&err);
  if (ok && tail.found) ok = append_nms_tail_node(s, tail);
  if (ok) {
    s.lowering_error = 0;
    if (lower_graph(s)) {
      ContainerSpec spec;
      std::string error;
      container_output_spec(s, &spec, &error);
    } else {
      ByteString m = lowering_message(s);
      bytes_free(&m);
    }
  }
  builder_free(begun.state);
  return 0;
}
