// The status code and message a generative operation reports: error records
// filled by the open, the generation call and the front ends, and the code of
// whatever a generation raised, by the object layer's category (VornImage,
// VornModel, ...) and by words of the reason ("allocation", "context
// budget", "Nonfinite", "Metal").
#pragma once
#include <cstdint>
#include <exception>

#include "base/error_record.h"

namespace vorn {

// Writes code and message into error when it is given; always false, so a
// failing path can return it.
bool error_record_set(ErrorRecord* error, uint32_t code, const char* message);

// The code and reason of an exception into error; a null record is left
// alone.
void vlm_error_from_exception(const std::exception& exception, ErrorRecord* error);
// The same for an exception caught as a pointer (any type).
void vlm_error_from_exception(const std::exception_ptr& exception, ErrorRecord* error);

}  // namespace vorn
