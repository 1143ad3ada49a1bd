// The last result of an operation: a status code and a NUL-terminated
// message of at most 255 bytes. Sessions, frames and the generation layer
// report their failures through it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorn {

inline constexpr size_t kErrorMessageMax = 255;

struct ErrorRecord {
  uint32_t code;
  char message[kErrorMessageMax + 1];
  uint64_t length;
};

// Records a failure: the code and the message cut to 255 bytes (at the end
// of the last whole character that fits).
void error_set(ErrorRecord* record, uint32_t code, std::string_view message);
// Records success: code 0 and the empty message.
void error_clear(ErrorRecord* record);

}  // namespace vorn
