// Shared helpers of the output accessors.
#pragma once
#include <cstdint>
#include <string_view>

#include "image/postprocess.h"
#include "session/output.h"

namespace vorn {

// The slot when it is below the tensor count, else null (also for a null
// output).
const OutputTensor* output_slot(const Output* output, int32_t slot);
// The slot's f32 values as a view (count 0 without a buffer).
TensorView output_view(const OutputTensor& t);
// The label of a class id; empty when the output has no such label.
std::string_view output_label(const Output* output, int64_t class_id);

}  // namespace vorn
