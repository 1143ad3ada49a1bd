#include "session/text.h"

#include <cstring>

#include "base/utf8.h"

namespace vorn {

const char* empty_text() {
  static const char kEmpty[1] = {0};
  return kEmpty;
}

TextView text_view(const char* ptr, size_t len) {
  if (ptr == nullptr || len == 0) return {empty_text(), 0};
  return {ptr, len};
}

size_t fixed_length(TextView text, size_t capacity) {
  if (capacity == 0) return 0;
  return utf8_cut(reinterpret_cast<const uint8_t*>(text.ptr), text.len, capacity - 1);
}

size_t copy_to_fixed(const char* text, size_t len, char* buffer, size_t capacity) {
  if (capacity == 0) return 0;
  const size_t n = fixed_length(TextView{text, len}, capacity);
  if (n > 0) std::memcpy(buffer, text, n);
  buffer[n] = 0;
  return n;
}

}  // namespace vorn
