// Writing texts to standard output and standard error, with a process-wide
// hook that can take over error output (a host application or a test).
#pragma once
#include <cstdint>

#include "base/bytes.h"

namespace vorn {

// Receives (descriptor 2, bytes, length) in place of standard error.
using ErrorHook = void (*)(int fd, const uint8_t* bytes, uint64_t length);

void print_slice(Slice s);
void print_line(Slice s);  // followed by a newline

// With a hook installed the hook gets the bytes (error_newline: an empty
// text) and nothing is written; otherwise the bytes go to descriptor 2
// followed by a newline.
void error_line(Slice s);
void error_newline();

void error_hook_set(ErrorHook hook);
bool error_hook_is_set();
void error_hook_clear();

}  // namespace vorn
