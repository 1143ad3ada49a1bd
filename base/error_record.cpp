#include "base/error_record.h"

#include <cstring>

#include "base/utf8.h"

namespace vorn {

void error_set(ErrorRecord* record, uint32_t code, std::string_view message) {
  const size_t n = utf8_cut(reinterpret_cast<const uint8_t*>(message.data()), message.size(), kErrorMessageMax);
  record->code = code;
  if (n > 0) std::memmove(record->message, message.data(), n);
  record->message[n] = 0;
  record->length = n;
}

void error_clear(ErrorRecord* record) {
  record->code = 0;
  record->message[0] = 0;
  record->length = 0;
}

}  // namespace vorn
