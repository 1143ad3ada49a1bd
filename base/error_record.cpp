#include "base/error_record.h"

#include <cstring>

namespace vorn {

void error_set(ErrorRecord* record, uint32_t code, std::string_view message) {
  const size_t n = message.size() < kErrorMessageMax ? message.size() : kErrorMessageMax;
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
