// Generation through the session: the Input's prompt or chat messages,
// images, sampling settings, stop strings and output constraint become one
// call of the generation layer, whose answer fills the Output at once (run)
// or is kept as streamed pieces handed out one per next.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/atomics.h"
#include "base/files.h"
#include "generation/constraint_messages.h"
#include "generation/vlm_interface.h"
#include "session/session.h"

namespace vorn {

namespace {

constexpr uint32_t kDefaultMaxTokens = 64;
constexpr uint32_t kDefaultTileSize = 512;
constexpr uint32_t kRgbLayout = 1;
constexpr uint32_t kUprightOrientation = 1;

char* copy_text(const char* text, uint64_t length) {
  char* out = static_cast<char*>(std::malloc(length + 1));
  if (out == nullptr) return nullptr;
  if (length > 0) std::memcpy(out, text, length);
  out[length] = '\0';
  return out;
}

void stream_free(StreamState* stream) {
  for (uint32_t i = 0; i < stream->count && i < kMaxStreamPieces; ++i) {
    std::free(stream->pieces[i]);
    stream->pieces[i] = nullptr;
    stream->lengths[i] = 0;
  }
  stream->count = 0;
  stream->next = 0;
  stream->active = 0;
}

uint64_t stream_bytes(const StreamState& stream) {
  uint64_t total = 0;
  for (uint32_t i = 0; i < stream.count; ++i) total += stream.lengths[i];
  return total;
}

}  // namespace

// Once every slot is taken, further text joins the last piece, so the
// pieces always add up to the whole answer.
int32_t stream_piece_append(void* context, const uint8_t* bytes, uint64_t length, uint64_t) {
  auto* s = static_cast<Session*>(context);
  if (s == nullptr || atomic_load_u32(&s->cancel, 1) != 0) return 1;
  if (bytes == nullptr || length == 0) return 0;
  StreamState& stream = s->stream;
  if (stream.count < kMaxStreamPieces) {
    char* piece = copy_text(reinterpret_cast<const char*>(bytes), length);
    if (piece == nullptr) return 0;  // the answer check after the call restores the text
    stream.pieces[stream.count] = piece;
    stream.lengths[stream.count] = length;
    ++stream.count;
    return 0;
  }
  const uint32_t last = kMaxStreamPieces - 1;
  auto* grown = static_cast<char*>(std::realloc(stream.pieces[last], stream.lengths[last] + length + 1));
  if (grown == nullptr) return 0;
  std::memcpy(grown + stream.lengths[last], bytes, length);
  stream.lengths[last] += length;
  grown[stream.lengths[last]] = '\0';
  stream.pieces[last] = grown;
  return 0;
}

namespace {

// The pieces must be the answer: when a copy was lost to memory, the whole
// answer becomes the one piece instead.
void stream_settle(StreamState* stream, char* answer, uint64_t length) {
  if (stream->count > 0 && stream_bytes(*stream) == length) {
    std::free(answer);
    return;
  }
  stream_free(stream);
  if (answer != nullptr && length > 0) {
    stream->pieces[0] = answer;
    stream->lengths[0] = length;
    stream->count = 1;
  } else {
    std::free(answer);
  }
}

// The pixels of a message's frame and the buffer to free afterwards.
struct MessageImage {
  const uint8_t* pixels = nullptr;
  uint8_t* owned = nullptr;
  const Frame* frame = nullptr;
};

}  // namespace

const uint8_t* frame_to_rgb24(const Frame* frame, uint8_t** owned) {
  *owned = nullptr;
  if (frame == nullptr || frame->data == nullptr || frame->width == 0 || frame->height == 0) return nullptr;
  const uint64_t row = uint64_t(frame->width) * 3;
  if (frame->format == VORN_PIXEL_RGB && frame->stride == row) return frame->data;
  auto* out = static_cast<uint8_t*>(std::malloc(row * frame->height));
  if (out == nullptr) return nullptr;
  for (uint32_t y = 0; y < frame->height; ++y) {
    const uint8_t* src = frame->data + uint64_t(y) * frame->stride;
    uint8_t* dst = out + uint64_t(y) * row;
    for (uint32_t x = 0; x < frame->width; ++x) {
      switch (frame->format) {
        case VORN_PIXEL_RGB:
          std::memcpy(dst + 3 * x, src + 3 * x, 3);
          break;
        case VORN_PIXEL_BGR:
          dst[3 * x] = src[3 * x + 2], dst[3 * x + 1] = src[3 * x + 1], dst[3 * x + 2] = src[3 * x];
          break;
        case VORN_PIXEL_RGBA:
          std::memcpy(dst + 3 * x, src + 4 * x, 3);
          break;
        case VORN_PIXEL_BGRA:
          dst[3 * x] = src[4 * x + 2], dst[3 * x + 1] = src[4 * x + 1], dst[3 * x + 2] = src[4 * x];
          break;
        default:
          dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = src[x];
          break;
      }
    }
  }
  *owned = out;
  return out;
}

bool session_generate(Session* s, Input* in, Output* out, bool streaming) {
  if (s->vlm == nullptr) {
    error_set(&s->error, VORN_STATUS_BACKEND_FAILURE, "Generative session handle is null");
    return false;
  }
  stream_free(&s->stream);

  VlmChatMessage records[VORN_MAX_MESSAGES] = {};
  MessageImage images[VORN_MAX_MESSAGES] = {};
  uint64_t count = 0;
  auto attach = [&](uint64_t i, const Frame* frame) {
    images[i].frame = frame;
    images[i].pixels = frame_to_rgb24(frame, &images[i].owned);
    if (images[i].pixels == nullptr) return false;
    VlmChatMessage& m = records[i];
    m.has_pixels = 1;
    m.pixels = images[i].pixels;
    m.width = frame->width;
    m.height = frame->height;
    m.stride = uint64_t(frame->width) * 3;
    m.length = m.stride * frame->height;
    m.format = kRgbLayout;
    m.orientation = kUprightOrientation;
    return true;
  };
  const Frame* bound = in->frame_bound ? in->frame : nullptr;
  if (in->message_count > 0) {
    bool any_image = false;
    for (uint32_t i = 0; i < in->message_count && i < VORN_MAX_MESSAGES; ++i) {
      records[i].role = in->messages[i].role;
      records[i].text = in->messages[i].content != nullptr ? in->messages[i].content : "";
      if (in->messages[i].frame != nullptr) any_image = attach(i, in->messages[i].frame) || any_image;
      ++count;
    }
    if (!any_image && bound != nullptr) attach(count - 1, bound);
  } else {
    if (in->prompt_len == 0) {
      error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT,
                "Generative Input requires a prompt or at least one chat message");
      return false;
    }
    records[0].role = "user";
    records[0].text = in->prompt;
    if (bound != nullptr) attach(0, bound);
    count = 1;
  }

  const char* stops[VORN_MAX_STOPS];
  for (uint64_t i = 0; i < in->stop_count && i < VORN_MAX_STOPS; ++i) stops[i] = in->stops[i];
  char* answer = nullptr;
  uint64_t answer_len = 0;
  uint32_t prompt_tokens = 0, generated = 0, cached = 0, finish = 0, code = 0;
  double latency = 0;
  char message[256] = "";
  const double t0 = monotonic_seconds();
  const bool ok = vlm_generate(s->vlm, records, count, in->max_tokens < 1 ? kDefaultMaxTokens : in->max_tokens,
                               in->top_k, in->seed, stops, in->stop_count, in->temperature, in->top_p, in->min_p,
                               in->repeat_penalty, in->tiled, in->tile_size < 1 ? kDefaultTileSize : in->tile_size,
                               in->json_schema_len > 0 ? in->json_schema : nullptr, in->amount_decimals,
                               streaming ? stream_piece_append : nullptr, s, &answer, &answer_len, &prompt_tokens,
                               &generated, &cached, &finish, &latency, &code, message, sizeof message);
  for (const MessageImage& image : images) std::free(image.owned);
  if (latency <= 0) latency = (monotonic_seconds() - t0) * 1000.0;
  const bool cancelled = atomic_load_u32(&s->cancel, 1) != 0;

  StreamState& stream = s->stream;
  if (!ok) {
    std::free(answer);
    if (!cancelled && code != VORN_STATUS_CANCELLED) {
      message[sizeof message - 1] = '\0';
      // A schema cut at the Input's capacity is almost never whole JSON:
      // say so, or the user looks for a fault in a valid schema.
      if (in->json_schema_cut && code == VORN_STATUS_INVALID_ARGUMENT &&
          std::strcmp(message, constraint_message::kMalformedSchema) == 0)
        std::snprintf(message, sizeof message, "%s: the schema was longer than %u bytes and was cut to its first %u",
                      constraint_message::kMalformedSchema, VORN_MAX_SCHEMA_LEN, VORN_MAX_SCHEMA_LEN);
      error_set(&s->error, code < 1 ? VORN_STATUS_BACKEND_FAILURE : code,
                message[0] != '\0' ? message : "Generative inference failed");
      return false;
    }
    if (!streaming) {
      error_set(&s->error, VORN_STATUS_CANCELLED, "Generation was cancelled");
      return false;
    }
    finish = VORN_FINISH_CANCELLED;
    answer = nullptr;
    answer_len = 0;
  }
  if (streaming) {
    if (ok) stream_settle(&stream, answer, answer_len);
    stream.active = 1;
    stream.next = 0;
    stream.finish_reason = finish;
    stream.prompt_tokens = prompt_tokens;
    stream.generated_tokens = generated;
    stream.cached_tokens = cached;
    stream.latency_ms = latency;
    stream.backend = s->active_backend;
    out->backend_used = s->active_backend;
    error_clear(&s->error);
    return true;
  }
  if (finish == VORN_FINISH_CANCELLED || cancelled) {
    std::free(answer);
    error_set(&s->error, VORN_STATUS_CANCELLED, "Generation was cancelled");
    return false;
  }
  if (answer == nullptr) answer = copy_text("", 0);
  char* text = answer != nullptr ? copy_text(answer, answer_len) : nullptr;
  if (text == nullptr) {
    std::free(answer);
    error_set(&s->error, VORN_STATUS_OUT_OF_MEMORY, "Out of memory allocating generated text");
    return false;
  }
  std::free(out->full_text);
  std::free(out->text);
  out->full_text = answer;
  out->full_text_len = answer_len;
  out->text = text;
  out->text_len = answer_len;
  out->finish_reason = finish;
  out->prompt_tokens = prompt_tokens;
  out->generated_tokens = generated;
  out->cached_prompt_tokens = cached;
  out->latency_ms = latency;
  out->backend_used = s->active_backend;
  error_clear(&s->error);
  return true;
}

int32_t session_next(Session* s, Output* out) {
  if (s == nullptr || out == nullptr) return -1;
  StreamState& stream = s->stream;
  if (!stream.active) {
    error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT, "No active generation stream; call start() first");
    return -1;
  }
  std::free(out->text);
  out->text = nullptr;
  out->text_len = 0;
  if (atomic_load_u32(&s->cancel, 1) != 0) {
    out->finish_reason = VORN_FINISH_CANCELLED;
    stream.active = 0;
    error_set(&s->error, VORN_STATUS_CANCELLED, "Generation stream was cancelled");
    return 0;
  }
  out->prompt_tokens = stream.prompt_tokens;
  out->cached_prompt_tokens = stream.cached_tokens;
  out->latency_ms = stream.latency_ms;
  out->backend_used = stream.backend;
  if (stream.next >= stream.count) {
    out->finish_reason = stream.finish_reason;
    out->generated_tokens = stream.generated_tokens;
    stream.active = 0;
    return 0;
  }
  // The cursor moves only once the piece is handed out, so a failure here
  // loses nothing: the next call hands out the same piece.
  const char* piece = stream.pieces[stream.next];
  const uint64_t length = stream.lengths[stream.next];
  char* text = copy_text(piece, length);
  if (text == nullptr) {
    error_set(&s->error, VORN_STATUS_OUT_OF_MEMORY, "Out of memory allocating stream delta");
    return -1;
  }
  auto* full = static_cast<char*>(std::malloc(out->full_text_len + length + 1));
  if (full == nullptr) {
    std::free(text);
    error_set(&s->error, VORN_STATUS_OUT_OF_MEMORY, "Out of memory growing full_text");
    return -1;
  }
  if (out->full_text_len > 0) std::memcpy(full, out->full_text, out->full_text_len);
  std::memcpy(full + out->full_text_len, piece, length);
  full[out->full_text_len + length] = '\0';
  std::free(out->full_text);
  out->full_text = full;
  out->full_text_len += length;
  out->text = text;
  out->text_len = length;
  ++stream.next;
  out->finish_reason = VORN_FINISH_NONE;
  out->generated_tokens = stream.next;
  return 1;
}

void stream_clear(StreamState* stream) { stream_free(stream); }

}  // namespace vorn
