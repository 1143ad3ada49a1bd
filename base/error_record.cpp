#include "base/error_record.h"

#include <cstring>

#include "base/utf8.h"

namespace vorn {

namespace {

thread_local ErrorNote t_refusal{};

// A write to the record ends this thread's note on it.
void forget_note(const ErrorRecord* record) {
  if (t_refusal.record == record) t_refusal.record = nullptr;
}

}  // namespace

void error_set(ErrorRecord* record, uint32_t code, std::string_view message) {
  forget_note(record);
  const size_t n = utf8_cut(reinterpret_cast<const uint8_t*>(message.data()), message.size(), kErrorMessageMax);
  record->code = code;
  if (n > 0) std::memmove(record->message, message.data(), n);
  record->message[n] = 0;
  record->length = n;
}

void error_clear(ErrorRecord* record) {
  forget_note(record);
  record->code = 0;
  record->message[0] = 0;
  record->length = 0;
}

void error_note_refusal(const ErrorRecord* record, uint64_t owner, uint64_t stamp, uint32_t code,
                        const char* message) {
  t_refusal = ErrorNote{record, owner, stamp, code, message, std::strlen(message)};
}

const ErrorNote* error_refusal_note(const ErrorRecord* record, uint64_t owner) {
  if (t_refusal.record != record || t_refusal.owner != owner) return nullptr;
  return &t_refusal;
}

}  // namespace vorn
