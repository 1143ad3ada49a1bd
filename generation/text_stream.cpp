#include "generation/text_stream.h"

#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "generation/utf8_codec.h"

namespace vorn {

struct TextStream {
  std::vector<std::string> stops;
  std::string pending;  // received, not yet emitted
  std::string text;     // every piece emitted, in order
  TextChunkCallback callback = nullptr;
  void* context = nullptr;
  uint32_t state = kStreamRunning;
  uint64_t value = ~uint64_t{0};
  std::string piece;  // reused for each release
};

namespace {

// The length of the longest tail of pending that is a proper prefix of a
// stop string: those bytes may still become a stop.
size_t stop_prefix_hold(const TextStream& s) {
  size_t hold = 0;
  const std::string& p = s.pending;
  for (const std::string& stop : s.stops) {
    size_t limit = std::min(stop.size() - 1, p.size());
    for (size_t k = limit; k > hold; --k) {
      if (p.compare(p.size() - k, k, stop, 0, k) == 0) {
        hold = k;
        break;
      }
    }
  }
  return hold;
}

}  // namespace

TextStream* text_stream_create(const char* const* stops, uint64_t count, TextChunkCallback callback, void* context) {
  if (stops == nullptr && count > 0) return nullptr;
  for (uint64_t i = 0; i < count; ++i)
    if (stops[i] == nullptr || stops[i][0] == '\0') return nullptr;
  try {
    auto* s = new TextStream();
    s->stops.assign(stops, stops + count);
    s->callback = callback;
    s->context = context;
    return s;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

uint32_t text_stream_release(TextStream* s, uint64_t n, bool final) {
  if (s == nullptr) return kStreamFailed;
  if (n > s->pending.size()) n = s->pending.size();
  try {
    const auto* p = reinterpret_cast<const uint8_t*>(s->pending.data());
    std::string& piece = s->piece;
    piece.clear();
    uint64_t i = 0;
    while (i < n) {
      Utf8Step step = utf8_step(p, n, i);
      if (step.ok) {
        piece.append(s->pending, i, step.length);
      } else if (step.truncated && !final) {
        break;  // the rest of the character may come with the next token
      } else {
        utf8_append(piece, kReplacementCharacter);
      }
      i += step.length;
    }
    s->text += piece;
    s->pending.erase(0, i);
    if (!piece.empty() && s->callback != nullptr &&
        s->callback(s->context, reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), s->value) != 0)
      s->state = kStreamStopped;
    return s->state;
  } catch (const std::bad_alloc&) {
    return kStreamFailed;
  }
}

uint32_t text_stream_append(TextStream* s, const uint8_t* bytes, uint64_t length, uint64_t value) {
  if (s == nullptr || (bytes == nullptr && length > 0)) return kStreamFailed;
  if (s->state != kStreamRunning) return s->state;
  try {
    s->value = value;
    s->pending.append(reinterpret_cast<const char*>(bytes), length);
    size_t hold = 0;
    if (!s->stops.empty()) {
      size_t pos = std::string::npos;
      for (const std::string& stop : s->stops) pos = std::min(pos, s->pending.find(stop));
      if (pos != std::string::npos) {
        s->state = kStreamStopString;
        uint32_t state = text_stream_release(s, pos, true);
        s->pending.clear();  // the stop string and everything after it
        return state;
      }
      hold = stop_prefix_hold(*s);
    }
    return text_stream_release(s, s->pending.size() - hold, false);
  } catch (const std::bad_alloc&) {
    return kStreamFailed;
  }
}

uint32_t text_stream_finish(TextStream* s) {
  if (s == nullptr) return kStreamFailed;
  if (s->state != kStreamRunning) {
    s->pending.clear();
    return s->state;
  }
  return text_stream_release(s, s->pending.size(), true);
}

const char* text_stream_text(const TextStream* s) { return s == nullptr ? "" : s->text.c_str(); }

uint64_t text_stream_length(const TextStream* s) { return s == nullptr ? 0 : s->text.size(); }

void text_stream_destroy(TextStream* s) { delete s; }

}  // namespace vorn
