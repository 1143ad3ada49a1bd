// The error record of sessions and frames (base/error_record.h) and the
// status of the model loaders' messages.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/error_record.h"
#include "vorn.h"

namespace vorn {

static_assert(kErrorMessageMax == VORN_MAX_ERROR_LEN);

// The status code of a message from the model loaders: only the exact texts
// of I/O, allocation and digest failures have their own code; anything else
// means the model could not be read (3).
uint32_t load_error_status(const char* message, size_t len);

}  // namespace vorn
