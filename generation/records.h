// The plain records that cross the generation layer: the session handle, the
// open parameters, chat messages with text and image parts, the settings and
// the result of one generation, and the per-call context the generation call
// hands to the loop. Message records are borrowed: the layer copies what it
// keeps and reads pixel and encoded bytes in place for the call only.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "generation/sampling_params.h"
#include "generation/text_chunk.h"

namespace vorn {

class VNSessionState;

// The handle of an open generative session.
struct VlmSession {
  std::shared_ptr<VNSessionState> state;
  // 0 idle, 1 an operation runs: taken by compare-and-swap 0 -> 1
  // (acquire-release), released by a store of 0.
  std::atomic<uint32_t> busy{0};
  // Set by a cancel from any thread; cleared when a generation starts and by
  // a reset. The graph watches its address during a generation.
  std::atomic<uint32_t> cancel{0};
};

struct GenerativeOpenParams {
  uint32_t context_length;  // 1..8192, default 2048
  uint32_t fp16;            // 1: F16 activations, 0: F32
  const char* backend;      // "auto", "metal", "mps", "mpsgraph"; null means "auto"
  const char* cache_dir;    // kept with the session, read by nobody here
  uint32_t verify_weights;  // non-zero: check every weight digest after loading
};

// Where an image part's pixels come from.
enum ImageSourceKind : uint32_t {
  kImageSourcePath = 1,     // `path`: an image file
  kImageSourceEncoded = 2,  // `data`, `length`: JPEG or PNG bytes
  kImageSourcePixels = 3,   // `data`, `length`, `width`, `height`, `stride`, `format`
};

struct ImageSource {
  uint32_t kind;  // ImageSourceKind
  const char* path;
  const void* data;
  uint64_t length;  // 1..536870912 bytes
  uint32_t width;
  uint32_t height;
  uint64_t stride;
  uint32_t format;       // PixelLayout: 1 RGB, 2 RGBx, 3 BGRx
  uint32_t orientation;  // EXIF orientation 1..8
};

enum ContentPartKind : uint32_t {
  kContentText = 1,
  kContentImage = 2,
};

struct ContentPart {
  uint32_t kind;  // ContentPartKind
  const char* text;
  const ImageSource* image;
};

struct GenerationMessage {
  const char* role;
  const ContentPart* parts;
  uint64_t part_count;  // 1..4096
};

// Called once per step with the generated ids so far and a mask filled with
// 1; the callback clears the entries of forbidden tokens. A nonzero result
// ends the generation as cancelled.
using TokenMaskCallback = int32_t (*)(void* context, const int64_t* generated, uint64_t count, uint8_t* mask,
                                      uint64_t vocabulary_size);

struct GenerationRequest {
  uint32_t max_new_tokens;  // 1..the session's context length, default 64
  SamplingParams sampling;
  const char* const* stops;  // at most 1024, none empty, each valid UTF-8
  uint64_t stop_count;
  uint32_t image_tiled;         // 0 one view, non-zero tiled views
  uint32_t image_longest_edge;  // default 512
  TokenMaskCallback mask_callback;
  void* mask_context;
  uint32_t crop;        // non-zero: crop_box is used
  double crop_box[4];   // normalized x0, y0, x1, y1
  const char* json_schema;
  uint32_t amount_decimals;  // 0: no amount constraint
};

GenerationRequest generation_request_default();

// The finish reasons of a generation (the flat interface's VornFinishReason).
enum FinishReason : uint32_t {
  kFinishNone = 0,
  kFinishEos = 1,
  kFinishStopSequence = 2,
  kFinishLength = 3,
  kFinishCancelled = 4,
};

// The arrays are malloc'ed (each for at least one entry) and released by
// generation_result_free.
struct GenerationResult {
  char* answer;  // NUL-terminated UTF-8
  uint64_t answer_length;
  int64_t* token_ids;
  double* token_log_probabilities;
  uint32_t prompt_tokens;
  uint32_t generated_tokens;
  uint32_t finish_reason;  // FinishReason
  double total_ms;
  uint32_t reused_prompt_tokens;
};

// Frees the three arrays and zeroes the record; null, a zeroed record and a
// second call are harmless.
void generation_result_free(GenerationResult* result);

// Lives on the generation call's stack for the length of the loop.
struct GenerationInvocation {
  VlmSession* session;
  TextChunkCallback callback;
  void* callback_context;
  TokenMaskCallback mask_callback;
  void* mask_context;
  uint32_t amount_decimals;
};

}  // namespace vorn
