// The last result of an operation on a session or frame: a status code and a
// NUL-terminated message of at most 255 bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "vorn.h"

namespace vorn {

struct ErrorRecord {
  uint32_t code;
  char message[VORN_MAX_ERROR_LEN + 1];
  uint64_t length;
};

// Records a failure: the code and the message cut to 255 bytes.
void error_set(ErrorRecord* record, uint32_t code, std::string_view message);
// Records success: code 0 and the empty message.
void error_clear(ErrorRecord* record);

// The status code of a message from the model loaders: only the exact texts
// of I/O, allocation and digest failures have their own code; anything else
// means the model could not be read (3).
uint32_t load_error_status(const char* message, size_t len);

}  // namespace vorn
