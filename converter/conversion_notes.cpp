#include "converter/conversion_notes.h"

#include <cstdio>
#include <cstring>

namespace vorn {

namespace {

constinit ConvertNotes g_notes{};

void append_text(ByteString* s, const char* t) { bytes_append(s, t, std::strlen(t)); }

constexpr const char* kRewriteLines[10] = {
    "  inputs/outputs dropped or baked by name (SAM prompt, CLIP attention mask, PP-DocLayoutV3 extra outputs)\n",
    "  SAM: preprocessing removed, prompt subgraph rewired, Einsum as MatMul, relative-position tables precomputed\n",
    "  BiRefNet: Swin window masks baked, deformable ASPP fused, scatter and pad subgraphs removed\n",
    "  PP-DocLayoutV3: detection tail fused (matched by Paddle node names)\n",
    "  [1, 300, *] output with ReduceMax: graph cut at the detection head (yolo26x NMS-free tail dropped)\n",
    "  [*, 25200, 6] output: YOLOv5-style box decode replaced by raw sigmoid (YOLOP)\n",
    "  Where with a non-comparison runtime condition replaced by its y input (CLIP attention mask)\n",
    "  Pad with runtime pads: amounts from fixed SAM/BiRefNet tables, or dropped\n",
    "  Pow with an exponent other than 2 or 0.5 lowered to Sqrt (below 1) or square\n",
    "  CumSum/Pad subgraph replaced by global average pooling (NAFNet)\n",
};

}  // namespace

ConvertNotes& convert_notes() { return g_notes; }

void convert_notes_reset() {
  g_notes.batch_names_len = 0;
  g_notes.int8_elements = 0;
  g_notes.rewrites = 0;
}

void convert_notes_add_batch_name(const uint8_t* name, uint64_t len) {
  uint64_t have = g_notes.batch_names_len;
  uint64_t sep = have == 0 ? 0 : 2;
  if (have + sep + len > 508) return;
  if (sep != 0) std::memcpy(g_notes.batch_names + have, ", ", 2);
  if (len != 0) std::memcpy(g_notes.batch_names + have + sep, name, len);
  g_notes.batch_names_len = have + sep + len;
}

ByteString convert_note_dynamic_batch() {
  ByteString s = bytes_new();
  if (g_notes.batch_names_len == 0) return s;
  append_text(&s, "dynamic batch (dim 0) bound to 1 for ");
  bytes_append(&s, g_notes.batch_names, g_notes.batch_names_len);
  append_text(&s, "; bind it with --dim or --input to change");
  return s;
}

ByteString convert_note_int8_weights() {
  ByteString s = bytes_new();
  uint64_t c = g_notes.int8_elements;
  if (c == 0) return s;
  char text[160];
  unsigned long long a = (c + 524288) >> 20;
  unsigned long long b = (4 * c + 524288) >> 20;
  int n = std::snprintf(text, sizeof text,
                        "int8 weights (MatMulInteger/ConvInteger) are stored as FP32: %llu MB of int8 "
                        "became %llu MB, and run in FP32",
                        a, b);
  if (n > 0) bytes_append(&s, text, static_cast<uint64_t>(n));
  return s;
}

ByteString convert_note_rewrites() {
  ByteString s = bytes_new();
  for (int bit = 0; bit < 10; ++bit)
    if (g_notes.rewrites & (uint64_t{1} << bit)) append_text(&s, kRewriteLines[bit]);
  return s;
}

}  // namespace vorn
