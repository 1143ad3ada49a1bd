// Facts a conversion leaves for the front end: inputs whose dynamic batch
// was bound to 1, int8 weights widened to FP32, and the model-specific
// rewrites applied. Process-wide; each conversion resets them first.
#pragma once
#include <cstdint>

#include "base/bytes.h"

namespace vorn {

// ConvertRewrite bits.
enum : uint64_t {
  kRewriteDroppedByName = 0x1,
  kRewriteSam = 0x2,
  kRewriteBiRefNet = 0x4,
  kRewriteDocLayoutTail = 0x8,
  kRewriteCut300 = 0x10,
  kRewriteRawSigmoid = 0x20,
  kRewriteWhereY = 0x40,
  kRewritePadTables = 0x80,
  kRewritePowApprox = 0x100,
  kRewriteNafnet = 0x200,
};

struct ConvertNotes {
  char batch_names[512];
  uint64_t batch_names_len;
  uint64_t int8_elements;
  uint64_t rewrites;
};

// The one process-wide record (zero before the first conversion).
ConvertNotes& convert_notes();
// Clears what a new conversion reports.
void convert_notes_reset();
// Adds an input name to the dynamic-batch list while the text stays within
// 508 bytes.
void convert_notes_add_batch_name(const uint8_t* name, uint64_t len);

// Texts for the front end; empty when there is nothing to report.
ByteString convert_note_dynamic_batch();
ByteString convert_note_int8_weights();
ByteString convert_note_rewrites();

}  // namespace vorn
