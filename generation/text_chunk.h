// The callback that receives generated text: each call gets one non-empty,
// well-formed UTF-8 piece (valid only during the call) and the caller's
// value of the latest append; a nonzero result asks the generation to stop.
#pragma once
#include <cstdint>

namespace vorn {

using TextChunkCallback = int32_t (*)(void* context, const uint8_t* bytes, uint64_t length, uint64_t value);

}  // namespace vorn
