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

// A refusal that concerns the calling thread alone: a call turned away
// because another thread's operation holds the record's owner, and with it
// the record, which only that operation may write. The note lasts until
// this thread next writes the record (error_set or error_clear); the owner
// decides from stamp how long its getters answer it in place of the record
// on this thread. owner tells apart two owners that had the same address;
// message is a static text.
struct ErrorNote {
  const ErrorRecord* record;
  uint64_t owner;
  uint64_t stamp;
  uint32_t code;
  const char* message;
  size_t length;
};
void error_note_refusal(const ErrorRecord* record, uint64_t owner, uint64_t stamp, uint32_t code,
                        const char* message);
// The calling thread's note on record for owner, or null.
const ErrorNote* error_refusal_note(const ErrorRecord* record, uint64_t owner);

}  // namespace vorn
