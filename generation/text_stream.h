// The text stream between the generation loop and the consumer: it gathers
// each token's bytes, cuts the output before the earliest stop string, holds
// back a tail that could still become a stop string or that ends inside a
// UTF-8 character, and hands out only complete, well-formed UTF-8 pieces
// (ill-formed parts become U+FFFD) through the callback, keeping everything
// emitted for the answer. One thread uses a stream at a time; the callback
// runs inside append and finish.
#pragma once
#include <cstdint>

#include "generation/text_chunk.h"

namespace vorn {

struct TextStream;

enum TextStreamState : uint32_t {
  kStreamRunning = 0,
  kStreamStopString = 1,  // a stop string was found
  kStreamStopped = 2,     // the callback asked to stop
};
// What append and finish return for a null stream, bad arguments or
// exhausted memory.
inline constexpr uint32_t kStreamFailed = 0xFFFFFFFF;

// stops: count NUL-terminated texts, none empty (null with count 0 is
// fine); callback may be null. Null when a stop is missing or empty, or
// memory runs out.
TextStream* text_stream_create(const char* const* stops, uint64_t count, TextChunkCallback callback, void* context);

// Adds a token's bytes; value is handed to the callback with the pieces
// this call emits. Returns the state after the call. Once the state is not
// running, nothing is added.
uint32_t text_stream_append(TextStream* stream, const uint8_t* bytes, uint64_t length, uint64_t value);

// Emits the first n pending bytes (n at most the pending length). Not
// final: an unfinished character at the end of the region stays pending;
// final: it becomes U+FFFD.
uint32_t text_stream_release(TextStream* stream, uint64_t n, bool final);

// Emits everything still pending (unfinished characters as U+FFFD) when the
// stream is running; otherwise drops it. Returns the state.
uint32_t text_stream_finish(TextStream* stream);

// Everything emitted so far, and its length in bytes.
const char* text_stream_text(const TextStream* stream);
uint64_t text_stream_length(const TextStream* stream);

void text_stream_destroy(TextStream* stream);

}  // namespace vorn
