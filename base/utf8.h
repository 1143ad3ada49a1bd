// UTF-8 checks over raw bytes.
#pragma once
#include <cstdint>

#include "base/bytes.h"

namespace vorn {

// Bytes that are not continuation bytes (10xxxxxx): the code points of valid
// text.
uint64_t utf8_count(Slice s);
// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no
// truncated or stray continuation bytes.
bool utf8_valid(Slice s);

}  // namespace vorn
