// Questions the session and the backend probe ask of the GPU side before
// committing to it. Those that need the device make a throw-away 16 KiB
// context, so they see the same device and VORN_TEST_FAULTS tokens as a real
// open.
#pragma once
#include <cstdint>

#include "gpu/weight_slot.h"

namespace vorn {

// Whether the device has a neural engine (no context: false).
bool gpu_device_has_ane();
// Whether the tensor-model GPU engine lowers the operator code; for the NPU
// backend kind, false at once on a device without a neural engine.
bool mps_op_supported(uint64_t op, uint32_t backend);
// The device's recommended working set; 4 GiB when it cannot be had.
uint64_t gpu_recommended_working_set();
// The GPU engine takes several graph inputs.
bool mps_multi_input_supported();
// Whether the XOR of the slot's first length bytes (whole u32 words) equals
// expected: by the touch kernel with a context, on the host without one.
bool weight_slot_checksum_matches(const WeightSlot* slot, uint64_t length, uint32_t expected);

}  // namespace vorn
