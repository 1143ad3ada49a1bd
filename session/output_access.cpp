#include "session/output_access.h"

namespace vorn {

const OutputTensor* output_slot(const Output* output, int32_t slot) {
  if (output == nullptr || slot < 0 || uint64_t(slot) >= output->tensor_count ||
      uint32_t(slot) >= kOutputSlots)
    return nullptr;
  return &output->tensors[slot];
}

TensorView output_view(const OutputTensor& t) {
  // The buffer never holds fewer values than the count, but reads stay
  // inside what it holds even if a filler got that wrong.
  uint64_t n = t.f32 != nullptr ? (t.count < t.capacity ? t.count : t.capacity) : 0;
  return {t.f32, n, t.rank < kOutputMaxRank ? t.rank : kOutputMaxRank, t.dims};
}

std::string_view output_label(const Output* output, int64_t class_id) {
  return label_lookup(output->label_bytes, output->label_length, output->label_count, class_id);
}

}  // namespace vorn
