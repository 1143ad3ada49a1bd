// The session record: one model at a time, from inspect and open through
// backend choice, runs and unload, with the model description the getters
// and the run path read. One zero-filled block, locked in memory while it
// lives; the exported vorn_session_* functions in api/ are thin wrappers
// around the functions declared here.
#pragma once
#include <cstddef>
#include <cstdint>

#include "container/container.h"
#include "gpu/weight_slot.h"
#include "image/preprocess.h"
#include "session/config.h"
#include "session/error_record.h"
#include "session/input.h"
#include "session/label_blob.h"
#include "session/output.h"
#include "vorn.h"

namespace vorn {

struct CpuState;
struct MpsState;
struct VlmSession;

constexpr uint32_t kMaxModelInputs = 8;
constexpr uint32_t kMaxModelOutputs = 64;
constexpr uint32_t kMaxTensorRank = 6;
constexpr uint32_t kMaxBatchSize = 64;
constexpr uint32_t kMaxStreamPieces = 2048;
constexpr uint32_t kMetaCacheEntries = 64;
constexpr uint64_t kMetaCachePool = 8192;

// One model input or output, in graph value order.
struct TensorDesc {
  uint64_t value_index;  // graph value record (the id the engines take)
  char name[VORN_MAX_NAME_LEN + 1];
  uint64_t name_len;
  uint32_t dtype;  // VornDType
  uint32_t rank;
  int64_t dims[kMaxTensorRank];  // dim 0 is the batch size when that is 2 or more
  uint64_t count;                // product of the dims, a dim below 1 counted as 1
  uint64_t bytes;                // count x the dtype size
};

struct ModelInfo {
  uint64_t estimated_memory;
  uint32_t input_count;
  TensorDesc inputs[kMaxModelInputs];
  uint32_t output_count;
  TensorDesc outputs[kMaxModelOutputs];
};

// String metadata values read through the getters, kept so the pointers they
// answer stay valid until the model is closed.
struct MetaStrEntry {
  char key[64];
  uint64_t key_len;
  uint64_t offset;
  uint64_t length;
};
struct MetaStrCache {
  char pool[kMetaCachePool];
  uint64_t used;
  uint32_t count;
  MetaStrEntry entries[kMetaCacheEntries];
};

// The streamed pieces of a generation (kept for vorn_session_start/next).
struct StreamState {
  uint8_t active;
  char* pieces[kMaxStreamPieces];
  uint64_t lengths[kMaxStreamPieces];
  uint32_t count;
  uint32_t next;
  // Figures of the finished generation, handed out with the last piece.
  uint32_t finish_reason;  // VornFinishReason
  uint32_t prompt_tokens;
  uint32_t generated_tokens;
  uint32_t cached_tokens;
  double latency_ms;
  uint32_t backend;  // VornBackendKind
};

}  // namespace vorn

struct VornSession {
  VornConfig config;  // copied at creation; its locked flag is not ours
  uint32_t requested_backend;
  uint32_t active_backend;  // 0 while no engine is open
  char subgraph[VORN_MAX_NAME_LEN + 1];
  uint64_t subgraph_len;
  uint32_t batch_size;
  uint32_t context_length;
  uint8_t fp16_activations;
  uint8_t warmup;

  // Image settings. The *_set flags mark values the caller chose; the rest
  // come from the model's metadata and go back to their defaults before the
  // next model's metadata is read.
  uint32_t resize_mode;  // VornResizeMode
  uint8_t resize_mode_set;
  uint8_t letterbox_pad;
  uint8_t letterbox_pad_set;
  uint8_t bgr;
  uint8_t bgr_set;
  vorn::Normalization norm;
  uint8_t norm_set;

  uint8_t model_loaded;
  uint8_t engine_open;
  uint8_t generative;
  uint8_t corner_boxes;
  char decode[32];
  uint64_t decode_len;
  char task[32];
  uint64_t task_len;
  uint32_t recommended_backend;

  uint32_t busy;    // atomic: taken by run and start
  // atomic: operations that held the busy flag and have ended (each adds one
  // after its last write to the record, before it lets go of the flag)
  uint32_t finished;
  uint32_t cancel;  // atomic: set by cancel from any thread
  // atomic: cancels between reading vlm and storing into it (see lifecycle)
  uint32_t cancel_readers;

  // Where the model came from; a reload reads the open container again,
  // never this descriptor, which stays the caller's.
  uint8_t source_is_fd;
  char path[VORN_MAX_PATH_LEN + 1];
  uint64_t path_len;
  int32_t source_fd;
  uint64_t source_offset;
  uint64_t source_length;

  uint8_t container_present;
  vorn::ContainerHandle container;
  uint8_t slot_present;
  vorn::WeightSlot slot;
  uint8_t cpu_present;
  vorn::CpuState* cpu;
  uint8_t gpu_present;
  vorn::MpsState* gpu;
  // Written only through session_attach_vlm and session_release_engines
  // (atomic stores: a cancel on another thread reads it).
  vorn::VlmSession* vlm;
  // The batch the engine processes in one pass (1 or the batch size).
  uint64_t compiled_batch;

  vorn::StreamState stream;
  vorn::ModelInfo info;

  vorn::LabelBlob* labels;
  const char* label_bytes;
  uint64_t label_length;
  uint32_t label_count;

  vorn::MetaStrCache meta_cache;
  // Shared with the outputs this session filled, so they can report into
  // this record while it lives and find nothing after it is freed.
  vorn::OutputOrigin* origin;
  uint8_t locked;
  // Unique in the process: tells this session's refusals noted on a thread
  // from those of an earlier session at the same address.
  uint64_t serial;
  vorn::ErrorRecord error;
};

namespace vorn {

using Session = ::VornSession;

// Creation and release (vorn_session_new / vorn_session_free).
Session* session_new(const Config* config);
void session_free(Session* session);

// Open (inspect, then engine creation, then the optional warm-up).
bool session_inspect(Session* s, const char* path, size_t len);
bool session_inspect_fd(Session* s, int fd, uint64_t offset, uint64_t length);
bool session_open(Session* s, const char* path, size_t len);
bool session_open_fd(Session* s, int fd, uint64_t offset, uint64_t length);
// Fills ModelInfo, labels and pre-processing from the container just loaded.
bool session_load_model(Session* s);
// The checks of the subgraph and batch settings and the ModelInfo of the
// loaded model for the current settings; on failure ModelInfo is unchanged.
bool session_describe_graph(Session* s);
// The VornDType of a value's element type (section 2 record or the kind).
uint32_t dtype_from_element_type(const ContainerHandle* container, uint64_t element_type);
// Resolves path against the models directory into out (512 bytes); answers
// the resolved length.
uint64_t session_resolve_path(const Config& config, const char* path, size_t len, char* out);

// Backend choice and engine creation.
bool session_open_backend(Session* s);
bool session_check_backend(Session* s, uint32_t backend);

// Lifecycle.
void session_release_engines(Session* s);
void session_close(Session* s);
bool session_unload(Session* s);
bool session_reload(Session* s);
bool session_reset(Session* s);
void session_cancel(Session* s);
// Makes a newly opened generative session the session's, where a cancel
// from another thread finds it.
void session_attach_vlm(Session* s, VlmSession* vlm);
// String metadata through the cache: (pointer, length), the empty text when
// absent or when the cache is full.
const char* session_meta_str(Session* s, const char* key, size_t key_len, size_t* out_len);

// Runs.
bool session_run(Session* s, Input* input, Output* output);
// A generation on a generative session whose busy flag the caller holds:
// the whole answer into output (run), or kept as pieces for next (stream).
bool session_generate(Session* s, Input* input, Output* output, bool streaming);
// The text callback of a streaming generation (context: the session): keeps
// a copy of each piece; 1 (stop) once the session's cancel flag is set.
int32_t stream_piece_append(void* context, const uint8_t* bytes, uint64_t length, uint64_t value);
// Frees the streamed pieces and clears the stream state.
void stream_clear(StreamState* stream);
// Packed RGB pixels of a frame: the frame's own when they are packed RGB
// already, else a new buffer also stored in *owned for the caller to free;
// null without pixels or memory.
const uint8_t* frame_to_rgb24(const Frame* frame, uint8_t** owned);
bool session_start(Session* s, Input* input, Output* output);
int32_t session_next(Session* s, Output* output);

// True while another thread holds the busy flag (acquire read).
bool session_busy(const Session* s);
// Turns a call away because another operation holds the session: code 9
// and text reach the calling thread's error getters only, since the record
// belongs to the operation holding the flag; once that operation has
// ended, they answer the record it left. Answers false.
bool session_refuse_busy(const Session* s, const char* text);
// The refusal session_refuse_busy noted for this thread while the operation
// that caused it runs, or null: the record answers.
const ErrorNote* session_refusal(const Session* s);
// Lets go of the busy flag the caller holds, once done with the record.
void session_release_busy(Session* s);

}  // namespace vorn
