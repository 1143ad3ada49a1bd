/* vorn: on-device inference runtime. The public C interface.
 *
 * Every function is named vorn_<family>_<operation> and works on opaque
 * handles made by *_new and released by *_free. Five handle kinds exist:
 * VornConfig, VornFrame, VornSession, VornInput and VornOutput.
 *
 * Rules every function follows:
 * - A null handle is always accepted: getters answer a neutral value (0, an
 *   empty text, -1 for ids and dims where stated), operations answer false,
 *   setters do nothing. The error getters of a null session or frame answer
 *   code 1 and "Null Session handle" / "Null Frame handle".
 * - Texts enter as (pointer, length); a null pointer or a length of 0 is the
 *   empty text. Texts need no NUL terminator. Texts kept by a handle are cut
 *   to fixed capacities (VORN_MAX_*_LEN bytes below), never splitting the
 *   terminating NUL: a cut keeps the last whole UTF-8 character that fits,
 *   so it never ends inside one.
 * - Texts leave as a _ptr function (NUL-terminated, owned by the handle,
 *   valid until the next call that changes it or until the handle is freed)
 *   and a _len function.
 * - Operations that can fail answer true on success and leave a status code
 *   and message on the session or frame they act on; read them with
 *   *_error_code, *_error_message_ptr and *_error_message_len. Inputs and
 *   outputs keep no error record; a run's failure lands on the session.
 * - Index arguments are signed 32-bit; a negative index or one at or beyond
 *   the count answers the neutral value and records nothing.
 *
 * Threading: every call runs on the calling thread and returns when all its
 * work is done, also the work it handed to other threads. Weights are loaded
 * by threads started and joined within the open. The CPU kernels and image
 * resizing share one process-wide pool of worker threads (one fewer than
 * the cores the process may run on), started by the first call that needs
 * it and kept until the process exits, also after every handle is freed:
 * idle workers sleep and use no CPU. When the system refuses a thread (a
 * process limit, address-space pressure) the pool works with those it
 * could start, or the calling thread alone; the process is never ended. A
 * handle is not locked: use each handle from one thread at a time.
 * Different handles may be used on different threads at once. The one
 * exception is vorn_session_cancel, which may be called from any thread at
 * any time.
 *
 * Nothing runs when the library is loaded and nothing is logged by default. */
#ifndef VORN_H
#define VORN_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VORN_API __attribute__((visibility("default")))
#else
#define VORN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Constants
 * ------------------------------------------------------------------------ */

/* Status codes (VornStatus). */
typedef uint32_t VornStatus;
#define VORN_STATUS_OK 0u
#define VORN_STATUS_INVALID_ARGUMENT 1u    /* invalid argument or state */
#define VORN_STATUS_IO 2u                  /* I/O error */
#define VORN_STATUS_INVALID_MODEL 3u       /* invalid or unreadable model */
#define VORN_STATUS_IMAGE_DECODE 4u        /* image decoding failed */
#define VORN_STATUS_IMAGE_FORMAT 5u        /* image format not supported */
#define VORN_STATUS_CONTEXT_BUDGET 6u      /* context budget exceeded */
#define VORN_STATUS_OUT_OF_MEMORY 7u       /* out of memory */
#define VORN_STATUS_BACKEND_UNAVAILABLE 8u /* backend unavailable or GPU failure */
#define VORN_STATUS_BUSY 9u                /* another operation holds the session */
#define VORN_STATUS_CANCELLED 10u          /* run or generation cancelled */
#define VORN_STATUS_NONFINITE 11u          /* nonfinite input or logits */
#define VORN_STATUS_UNSUPPORTED 12u        /* unsupported by model, backend or layout */
#define VORN_STATUS_INTEGRITY 13u          /* integrity check failed */
#define VORN_STATUS_BACKEND_FAILURE 14u    /* backend or generation failure */

/* Backends (BackendKind). */
typedef uint32_t VornBackendKind;
#define VORN_BACKEND_AUTO 0u
#define VORN_BACKEND_CPU 1u
#define VORN_BACKEND_GPU 2u
#define VORN_BACKEND_NPU 3u

/* Element types of model inputs and outputs (VornDType). */
typedef uint32_t VornDType;
#define VORN_DTYPE_F16 1u
#define VORN_DTYPE_F32 2u
#define VORN_DTYPE_I64 3u
#define VORN_DTYPE_Q8 4u
#define VORN_DTYPE_U8 5u

/* Pixel layouts of frames (VornPixelFormat): 3, 3, 4, 4 and 1 bytes a
 * pixel. 0 means a frame without pixels. */
typedef uint32_t VornPixelFormat;
#define VORN_PIXEL_NONE 0u
#define VORN_PIXEL_RGB 1u
#define VORN_PIXEL_BGR 2u
#define VORN_PIXEL_RGBA 3u
#define VORN_PIXEL_BGRA 4u
#define VORN_PIXEL_GRAY 5u

/* How an image is fitted to a model input (VornResizeMode). */
typedef uint32_t VornResizeMode;
#define VORN_RESIZE_STRETCH 0u
#define VORN_RESIZE_LETTERBOX 1u
#define VORN_RESIZE_CENTER_CROP 2u

/* Why a generation ended (VornFinishReason). */
typedef uint32_t VornFinishReason;
#define VORN_FINISH_NONE 0u      /* not finished: a streamed piece */
#define VORN_FINISH_EOS 1u       /* end-of-sequence token */
#define VORN_FINISH_STOP 2u      /* a stop string */
#define VORN_FINISH_LENGTH 3u    /* token budget or another limit */
#define VORN_FINISH_CANCELLED 4u /* cancelled */

/* Longest texts a handle keeps, in bytes (longer texts are cut). */
#define VORN_MAX_PATH_LEN 511u
#define VORN_MAX_PROMPT_LEN 4095u
#define VORN_MAX_ROLE_LEN 31u
#define VORN_MAX_STOP_LEN 127u
#define VORN_MAX_SCHEMA_LEN 2047u
#define VORN_MAX_NAME_LEN 63u
#define VORN_MAX_ERROR_LEN 255u

/* Fixed table sizes. */
#define VORN_MAX_FRAME_SIDE 16384u   /* frame width and height */
#define VORN_MAX_INPUT_TENSORS 8u    /* raw tensor bindings of an input */
#define VORN_MAX_OUTPUT_TENSORS 64u  /* tensors of an output */
#define VORN_MAX_BATCH_FRAMES 64u    /* batch frames of an input */
#define VORN_MAX_MESSAGES 16u        /* chat messages of an input */
#define VORN_MAX_STOPS 8u            /* stop strings of an input */
#define VORN_MAX_TOP_K 256u          /* ranked classes of an output */
#define VORN_MAX_BOXES 256u          /* decoded boxes of an output */
#define VORN_MAX_LANDMARKS 17u       /* landmarks of a decoded box */

/* Opaque handles. */
typedef struct VornConfig VornConfig;
typedef struct VornFrame VornFrame;
typedef struct VornSession VornSession;
typedef struct VornInput VornInput;
typedef struct VornOutput VornOutput;

/* ------------------------------------------------------------------------
 * Version and backend probe
 * ------------------------------------------------------------------------ */

/* The library's version text, "0.1.0-ea.1". Static storage; never freed.
 * Any thread. */
VORN_API const char* vorn_version(void);

/* Whether a backend exists on this device: AUTO and CPU always, GPU when
 * GPU-shared memory can be made, NPU when the device has a neural engine,
 * any other value never. config may be null; when it names an NPU-runtime
 * directory, ADSP_LIBRARY_PATH is set to it (the process environment is
 * shared: do not probe while another thread reads the environment). */
VORN_API bool vorn_probe_backend(const VornConfig* config, VornBackendKind backend);

/* ------------------------------------------------------------------------
 * Configuration (VornConfig)
 *
 * Process-level choices read when a session is created: each session copies
 * the whole configuration, so a configuration may be changed or freed
 * afterwards without affecting existing sessions.
 * ------------------------------------------------------------------------ */

/* A new configuration: no directories, backend AUTO, 8 threads, weight
 * verification off. Null when memory runs out. The caller owns it and
 * releases it with vorn_config_free. The block is kept in RAM (mlock) where
 * the process may lock memory. */
VORN_API VornConfig* vorn_config_new(void);

/* Releases a configuration. Null is a no-op. Sessions made from it keep
 * their own copies. */
VORN_API void vorn_config_free(VornConfig* config);

/* Directory against which relative model paths are resolved; cut to
 * VORN_MAX_PATH_LEN bytes. Copied; the text may be freed afterwards. */
VORN_API void vorn_config_set_models_dir(VornConfig* config, const char* dir, size_t len);

/* Cache directory handed to generative models; cut to VORN_MAX_PATH_LEN
 * bytes. A non-empty value is also written to the environment variable
 * VORN_QNN_CACHE_DIR (process-wide: not safe while another thread reads the
 * environment). An empty value clears the field and leaves the variable. */
VORN_API void vorn_config_set_cache_dir(VornConfig* config, const char* dir, size_t len);

/* NPU-runtime directory; cut to VORN_MAX_PATH_LEN bytes. A non-empty value
 * is also written to ADSP_LIBRARY_PATH (process-wide, as above). */
VORN_API void vorn_config_set_skel_dir(VornConfig* config, const char* dir, size_t len);

/* Default backend of new sessions; values of 4 and above are ignored. */
VORN_API void vorn_config_set_backend(VornConfig* config, VornBackendKind backend);

/* Weight-loading threads: below 1 stores 8, above 32 stores 32. */
VORN_API void vorn_config_set_threads(VornConfig* config, int32_t threads);

/* Whether weight digests are verified when a model is opened (non-zero: on). */
VORN_API void vorn_config_set_verify_weights(VornConfig* config, int verify);

/* ------------------------------------------------------------------------
 * Frames (VornFrame)
 *
 * An 8-bit image: width, height, row stride and pixel format. Pixels are
 * either borrowed from the caller or owned through a reference-counted
 * buffer that several frames (crops) may share. Frames are not locked, but
 * frames sharing one buffer may be freed on different threads.
 * ------------------------------------------------------------------------ */

/* A new empty frame (format 0). Null when memory runs out. The caller owns
 * it and releases it with vorn_frame_free. */
VORN_API VornFrame* vorn_frame_new(void);

/* Releases a frame and its reference to an owned pixel buffer; views made
 * from it stay valid. Borrowed pixels stay the caller's. Null is a no-op. */
VORN_API void vorn_frame_free(VornFrame* frame);

/* Binds caller pixels. length: bytes readable at data; width and height
 * 1..VORN_MAX_FRAME_SIDE; stride: bytes from one row to the next, 0 for
 * packed rows; format: VORN_PIXEL_*; orientation: EXIF 1..8 (0 counts as 1).
 * Orientation 1 without copy borrows the pixels: they must stay valid and
 * unchanged for as long as this frame, any crop of it or any input holding
 * it is used. With copy, or with orientation 2..8 (pixels are turned upright
 * into a new packed RGB buffer), the frame owns its pixels and data may be
 * freed on return. On failure the frame keeps its previous pixels. */
VORN_API bool vorn_frame_set_pixels(VornFrame* frame, const void* data, uint64_t length,
                                    uint32_t width, uint32_t height, uint64_t stride,
                                    VornPixelFormat format, uint32_t orientation, int copy);

/* Decodes a JPEG, PNG (up to 8 bits a channel) or PPM "P6" file into owned
 * packed RGB pixels, upright by its EXIF orientation. The path need not be
 * NUL-terminated and must hold no NUL byte. Reads the whole file on the
 * calling thread. */
VORN_API bool vorn_frame_load_file(VornFrame* frame, const char* path, size_t len);

/* Decodes encoded JPEG, PNG or PPM "P6" bytes into owned packed RGB pixels.
 * The bytes are only read during the call. */
VORN_API bool vorn_frame_load_encoded(VornFrame* frame, const void* bytes, uint64_t length);

/* Makes destination a view of the rectangle (x, y, width, height) of
 * source, clamped to the source. No pixels are copied: an owned buffer is
 * shared by reference count, so the view stays valid after the source is
 * freed or rebound; a view of borrowed pixels borrows them too. source and
 * destination may be the same frame. Errors land on destination. */
VORN_API bool vorn_frame_crop_into(const VornFrame* source, VornFrame* destination, int32_t x,
                                   int32_t y, uint32_t width, uint32_t height);

/* Frame geometry; 0 for null or an empty frame. */
VORN_API uint32_t vorn_frame_width(const VornFrame* frame);
VORN_API uint32_t vorn_frame_height(const VornFrame* frame);
VORN_API VornPixelFormat vorn_frame_format(const VornFrame* frame);
VORN_API uint64_t vorn_frame_stride(const VornFrame* frame);

/* First pixel of the first row; null for null or an empty frame. Valid
 * until the frame is rebound or freed (owned pixels), or as long as the
 * caller keeps the borrowed pixels. */
VORN_API const uint8_t* vorn_frame_data_ptr(const VornFrame* frame);

/* The last result recorded on the frame: code 0 and an empty message after a
 * success. Null: 1 and "Null Frame handle" (17 bytes). The message stays
 * valid until the next recording operation on the frame or its release. */
VORN_API VornStatus vorn_frame_error_code(const VornFrame* frame);
VORN_API const char* vorn_frame_error_message_ptr(const VornFrame* frame);
VORN_API size_t vorn_frame_error_message_len(const VornFrame* frame);

/* ------------------------------------------------------------------------
 * Sessions (VornSession): creation, settings and model opening
 *
 * A session reads one model at a time. It copies the configuration when it
 * is created and owns the loaded model, its engine and its weights until
 * it is closed or freed. Only vorn_session_cancel may run concurrently with
 * another call on the same session; a second run or start while one is in
 * progress fails with VORN_STATUS_BUSY.
 * ------------------------------------------------------------------------ */

/* A new session with a copy of config (null: backend AUTO, 8 threads, no
 * directories). Null when memory runs out. The caller owns it and releases
 * it with vorn_session_free. */
VORN_API VornSession* vorn_session_new(const VornConfig* config);

/* Closes the model, releases engine and weights and frees the session.
 * Outputs filled by it keep their tensors and labels. Null is a no-op. Must
 * not race with any other call on the session, cancel included. */
VORN_API void vorn_session_free(VornSession* session);

/* Settings; taken at the next inspect, open or run. Texts are copied. */
VORN_API void vorn_session_set_backend(VornSession* session, VornBackendKind backend);
/* Subgraph name, cut to VORN_MAX_NAME_LEN bytes; empty or "main". */
VORN_API void vorn_session_set_subgraph(VornSession* session, const char* name, size_t len);
/* 1..64, checked when a model is inspected or opened. */
VORN_API void vorn_session_set_batch_size(VornSession* session, uint32_t batch_size);
/* Tokens of a generative model's context; 0 means 2048. */
VORN_API void vorn_session_set_context_length(VornSession* session, uint32_t tokens);
VORN_API void vorn_session_set_activation_fp16(VornSession* session, int enabled);
/* One run with zero inputs right after a by-path open. */
VORN_API void vorn_session_set_warmup(VornSession* session, int enabled);
/* The settings below override the model's metadata once set. */
VORN_API void vorn_session_set_resize_mode(VornSession* session, VornResizeMode mode);
/* Letterbox fill byte; the low 8 bits of pad are kept. */
VORN_API void vorn_session_set_letterbox_pad(VornSession* session, int32_t pad);
VORN_API void vorn_session_set_color_bgr(VornSession* session, int bgr);
/* value = (pixel x scale - mean[c]) / std[c] per channel. */
VORN_API void vorn_session_set_normalization(VornSession* session, float scale, float mean0,
                                             float mean1, float mean2, float std0, float std1,
                                             float std2);

/* Reads and checks a model (relative paths against the models directory)
 * and describes it, without creating an engine. Closes any model the
 * session held first. The file is read on the calling thread. */
VORN_API bool vorn_session_inspect(VornSession* session, const char* path, size_t len);

/* As inspect, for a model stored at [offset, offset + length) of an open
 * file. The descriptor stays the caller's; the session keeps a duplicate. */
VORN_API bool vorn_session_inspect_fd(VornSession* session, int fd, uint64_t offset,
                                      uint64_t length);

/* Inspects the model, then creates the engine of the requested backend (or
 * the best one for AUTO); weights are loaded by worker threads that are
 * joined before the call returns (when they cannot be started the open
 * fails with VORN_STATUS_IO). */
VORN_API bool vorn_session_open(VornSession* session, const char* path, size_t len);
VORN_API bool vorn_session_open_fd(VornSession* session, int fd, uint64_t offset,
                                   uint64_t length);

/* Whether the inspected model can run on backend (device and operators). */
VORN_API bool vorn_session_check_backend(VornSession* session, VornBackendKind backend);

/* Releases the engine and weights and keeps the model description. */
VORN_API bool vorn_session_unload(VornSession* session);
/* Creates the engine again with the current settings; true at once when an
 * engine is open. */
VORN_API bool vorn_session_reload(VornSession* session);
/* Clears the cancel flag, streamed pieces and a generative model's caches. */
VORN_API bool vorn_session_reset(VornSession* session);
/* Asks the running operation to stop at its next check. Any thread, also
 * while another thread runs, opens, inspects, unloads or resets this
 * session; it never waits for that operation and records nothing. The
 * session must stay alive until the call returns. */
VORN_API void vorn_session_cancel(VornSession* session);

/* ------------------------------------------------------------------------
 * Sessions: model description (0, empty text or -1 without a model)
 * ------------------------------------------------------------------------ */

VORN_API VornBackendKind vorn_session_requested_backend(const VornSession* session);
/* The backend of the open engine; 0 while none is open. */
VORN_API VornBackendKind vorn_session_active_backend(const VornSession* session);
VORN_API bool vorn_session_is_generative(const VornSession* session);
VORN_API uint64_t vorn_session_estimated_memory_bytes(const VornSession* session);

/* 1 with a model loaded ("main"), else 0. Texts stay valid until the model
 * is closed. */
VORN_API uint32_t vorn_session_subgraph_count(const VornSession* session);
VORN_API const char* vorn_session_subgraph_name_ptr(const VornSession* session, int32_t index);
VORN_API size_t vorn_session_subgraph_name_len(const VornSession* session, int32_t index);

/* Model inputs and outputs in graph order. Names stay valid until the model
 * is closed; dims are -1 outside 0..rank-1. */
VORN_API uint32_t vorn_session_input_count(const VornSession* session);
VORN_API const char* vorn_session_input_name_ptr(const VornSession* session, int32_t index);
VORN_API size_t vorn_session_input_name_len(const VornSession* session, int32_t index);
VORN_API VornDType vorn_session_input_dtype(const VornSession* session, int32_t index);
VORN_API uint32_t vorn_session_input_rank(const VornSession* session, int32_t index);
VORN_API int64_t vorn_session_input_dim(const VornSession* session, int32_t index, int32_t axis);
VORN_API uint64_t vorn_session_input_bytes(const VornSession* session, int32_t index);
VORN_API uint32_t vorn_session_output_count(const VornSession* session);
VORN_API const char* vorn_session_output_name_ptr(const VornSession* session, int32_t index);
VORN_API size_t vorn_session_output_name_len(const VornSession* session, int32_t index);
VORN_API VornDType vorn_session_output_dtype(const VornSession* session, int32_t index);
VORN_API uint32_t vorn_session_output_rank(const VornSession* session, int32_t index);
VORN_API int64_t vorn_session_output_dim(const VornSession* session, int32_t index, int32_t axis);
VORN_API uint64_t vorn_session_output_bytes(const VornSession* session, int32_t index);

/* Model metadata by key. String values are cached in the session (at most
 * 64 keys) and stay valid until the model is closed. These getters fill the
 * cache, so they count as use of the session (one thread at a time). */
VORN_API bool vorn_session_has_meta(const VornSession* session, const char* key, size_t len);
VORN_API const char* vorn_session_meta_str_ptr(VornSession* session, const char* key, size_t len);
VORN_API size_t vorn_session_meta_str_len(VornSession* session, const char* key, size_t len);
VORN_API int64_t vorn_session_meta_i64(const VornSession* session, const char* key, size_t len);
VORN_API double vorn_session_meta_f64(const VornSession* session, const char* key, size_t len);

/* Class labels of the model; texts stay valid until the model is closed. */
VORN_API uint32_t vorn_session_label_count(const VornSession* session);
VORN_API const char* vorn_session_label_ptr(const VornSession* session, uint64_t class_id);
VORN_API size_t vorn_session_label_len(const VornSession* session, uint64_t class_id);

/* The last result recorded on the session. Null: 1 and "Null Session
 * handle" (19 bytes). The message stays valid until the next recording
 * operation on the session or its release. A call refused with
 * VORN_STATUS_BUSY because another thread's operation holds the session
 * leaves the session's record to that operation: the refusal is answered
 * on the refused thread only, while that operation runs (and until the
 * thread's next call records on the session); then the getters answer the
 * result that operation recorded. */
VORN_API VornStatus vorn_session_error_code(const VornSession* session);
VORN_API const char* vorn_session_error_message_ptr(const VornSession* session);
VORN_API size_t vorn_session_error_message_len(const VornSession* session);

/* ------------------------------------------------------------------------
 * Sessions: running
 * ------------------------------------------------------------------------ */

/* One inference of a tensor model, or one whole generation of a generative
 * model: reads input (its frames and borrowed tensors must stay valid during
 * the call) and fills output. A tensor model's input 0 must be bound (a
 * frame, or a tensor for it) in every run: without it the run fails with
 * VORN_STATUS_BACKEND_FAILURE. Errors land on the session. Takes the
 * session's busy flag for the duration; may be cancelled from another
 * thread with vorn_session_cancel. */
VORN_API bool vorn_session_run(VornSession* session, VornInput* input, VornOutput* output);

/* Starts a streamed generation (generative models only): generates the
 * whole answer on the calling thread and keeps its pieces in the session. */
VORN_API bool vorn_session_start(VornSession* session, VornInput* input, VornOutput* output);

/* Hands the next streamed piece to output: 1 a piece, 0 finished (or
 * cancelled), -1 error. */
VORN_API int32_t vorn_session_next(VornSession* session, VornOutput* output);

/* ------------------------------------------------------------------------
 * Inputs (VornInput)
 *
 * Everything one run needs. An input stores pointers to frames and, unless
 * asked to copy, to tensor data: those stay the caller's and must outlive
 * every run that uses the input. Texts are copied.
 * ------------------------------------------------------------------------ */

/* A new empty input: max tokens 64, temperature 0, top_p 1, top_k 0, min_p
 * 0, repeat penalty 1, seed 0, tile size 512, no amount constraint. Null
 * when memory runs out. The caller owns it; release with vorn_input_free. */
VORN_API VornInput* vorn_input_new(void);

/* Unbinds frames and tensors (freeing copies), messages, prompt, stops and
 * schema; sampling values, tiling and amount decimals stay. */
VORN_API void vorn_input_clear(VornInput* input);

/* Clears and frees the input. Bound frames are not freed. Null: no-op. */
VORN_API void vorn_input_free(VornInput* input);

/* Binds frame as the image input (a batch of one); null unbinds. The frame
 * is not owned and must outlive its use. */
VORN_API void vorn_input_set_frame(VornInput* input, const VornFrame* frame);
/* As set_frame, bound to the model input of that name (cut to
 * VORN_MAX_NAME_LEN bytes). */
VORN_API void vorn_input_set_named_frame(VornInput* input, const char* name, size_t len,
                                         const VornFrame* frame);
/* Appends a batch frame (at most VORN_MAX_BATCH_FRAMES); the first one also
 * becomes the image input. False for a null frame or a full batch. */
VORN_API bool vorn_input_add_batch_frame(VornInput* input, const VornFrame* frame);

/* Raw tensors for model input index (below VORN_MAX_INPUT_TENSORS) or name:
 * count elements at data. With copy non-zero the input keeps a private copy;
 * otherwise data is borrowed and must outlive every run that uses it.
 * Binding the same index (or name) again replaces the binding. False for a
 * null data pointer, count 0, index 8 or more, all 8 slots in use, or a
 * failed copy. */
VORN_API bool vorn_input_set_f32(VornInput* input, uint32_t index, const float* data,
                                 uint64_t count, int copy);
VORN_API bool vorn_input_set_named_f32(VornInput* input, const char* name, size_t len,
                                       const float* data, uint64_t count, int copy);
VORN_API bool vorn_input_set_i64(VornInput* input, uint32_t index, const int64_t* data,
                                 uint64_t count, int copy);
VORN_API bool vorn_input_set_named_i64(VornInput* input, const char* name, size_t len,
                                       const int64_t* data, uint64_t count, int copy);
/* IEEE binary16 values. */
VORN_API bool vorn_input_set_f16(VornInput* input, uint32_t index, const uint16_t* data,
                                 uint64_t count, int copy);
VORN_API bool vorn_input_set_named_f16(VornInput* input, const char* name, size_t len,
                                       const uint16_t* data, uint64_t count, int copy);
VORN_API bool vorn_input_set_u8(VornInput* input, uint32_t index, const uint8_t* data,
                                uint64_t count, int copy);
VORN_API bool vorn_input_set_named_u8(VornInput* input, const char* name, size_t len,
                                      const uint8_t* data, uint64_t count, int copy);

/* Prompt of a generative model, cut to VORN_MAX_PROMPT_LEN bytes. */
VORN_API void vorn_input_set_prompt(VornInput* input, const char* text, size_t len);

/* Appends a chat message (at most VORN_MAX_MESSAGES): role cut to
 * VORN_MAX_ROLE_LEN bytes, content copied whole (the prompt field receives
 * it cut to VORN_MAX_PROMPT_LEN bytes). False when full or out of memory. */
VORN_API bool vorn_input_add_message(VornInput* input, const char* role, size_t role_len,
                                     const char* content, size_t content_len);
/* As add_message with an image; the frame is not owned and must outlive the
 * run. It also becomes the image input when none is bound. */
VORN_API bool vorn_input_add_image_message(VornInput* input, const char* role, size_t role_len,
                                           const VornFrame* frame, const char* content,
                                           size_t content_len);

/* Sampling: stored as given, checked by the generation. 0 max tokens means
 * 64; temperature 0 is greedy; top_k 0 is off. */
VORN_API void vorn_input_set_max_tokens(VornInput* input, uint32_t max_tokens);
VORN_API void vorn_input_set_temperature(VornInput* input, float temperature);
VORN_API void vorn_input_set_top_p(VornInput* input, float top_p);
VORN_API void vorn_input_set_top_k(VornInput* input, uint32_t top_k);
VORN_API void vorn_input_set_min_p(VornInput* input, float min_p);
VORN_API void vorn_input_set_repeat_penalty(VornInput* input, float penalty);
VORN_API void vorn_input_set_seed(VornInput* input, uint64_t seed);

/* Appends a stop string (at most VORN_MAX_STOPS), cut to VORN_MAX_STOP_LEN
 * bytes. False for an empty text or a full list. */
VORN_API bool vorn_input_add_stop(VornInput* input, const char* text, size_t len);

/* Whether images are tiled, and the tile size (0 means 512). */
VORN_API void vorn_input_set_image_tiled(VornInput* input, int tiled, uint32_t tile_size);
/* JSON Schema the answer must follow, cut to VORN_MAX_SCHEMA_LEN bytes; a
 * generation whose cut schema is no longer whole JSON fails saying it was
 * cut. */
VORN_API void vorn_input_set_json_schema(VornInput* input, const char* text, size_t len);
/* Constrains the answer to a decimal amount with this many decimals; a value
 * below 1 turns the constraint off. */
VORN_API void vorn_input_set_amount_decimals(VornInput* input, int32_t decimals);

/* ------------------------------------------------------------------------
 * Outputs (VornOutput)
 *
 * What a run produced and what is derived from it. Pointers and texts read
 * from an output stay valid until the output is next filled, changed or
 * freed. "slot" is an output tensor index below vorn_output_tensor_count.
 * An output keeps its own reference to the model's labels, so it may be
 * read after the session that filled it is unloaded or freed.
 * ------------------------------------------------------------------------ */

/* A new empty output (scales 1.0). Null when memory runs out. The caller
 * owns it and releases it with vorn_output_free. */
VORN_API VornOutput* vorn_output_new(void);
/* Releases the output and every buffer it holds. Null is a no-op. */
VORN_API void vorn_output_free(VornOutput* output);

VORN_API double vorn_output_latency_ms(const VornOutput* output);
VORN_API VornBackendKind vorn_output_backend_used(const VornOutput* output);
/* The image mapping of the run: tensor = source x scale + pad per axis. */
VORN_API float vorn_output_scale_x(const VornOutput* output);
VORN_API float vorn_output_scale_y(const VornOutput* output);
VORN_API float vorn_output_pad_x(const VornOutput* output);
VORN_API float vorn_output_pad_y(const VornOutput* output);

VORN_API uint32_t vorn_output_tensor_count(const VornOutput* output);
/* Slot of the first tensor with exactly that name; -1 when none. */
VORN_API int32_t vorn_output_index_of(const VornOutput* output, const char* name, size_t len);
VORN_API VornDType vorn_output_dtype(const VornOutput* output, int32_t slot);
VORN_API uint32_t vorn_output_rank(const VornOutput* output, int32_t slot);
VORN_API uint64_t vorn_output_elem_count(const VornOutput* output, int32_t slot);
VORN_API uint64_t vorn_output_f32_len(const VornOutput* output, int32_t slot);
/* -1 when the slot or the axis is out of range. */
VORN_API int64_t vorn_output_dim(const VornOutput* output, int32_t slot, int32_t axis);
/* The slot's values; every tensor has f32 values, the typed copies exist
 * only for tensors of that type. Null when absent. Owned by the output. */
VORN_API const float* vorn_output_f32_ptr(const VornOutput* output, int32_t slot);
VORN_API const int64_t* vorn_output_i64_ptr(const VornOutput* output, int32_t slot);
VORN_API const uint16_t* vorn_output_f16_ptr(const VornOutput* output, int32_t slot);
VORN_API const uint8_t* vorn_output_u8_ptr(const VornOutput* output, int32_t slot);
/* Copies min(capacity, element count) values into destination; returns the
 * number copied (0 for a null destination or anything out of range). */
VORN_API uint64_t vorn_output_copy_f32(const VornOutput* output, int32_t slot, float* destination,
                                       uint64_t capacity);
VORN_API uint64_t vorn_output_copy_i64(const VornOutput* output, int32_t slot,
                                       int64_t* destination, uint64_t capacity);

/* Ranks the classes of the first row of slot (at most VORN_MAX_TOP_K), with
 * an optional softmax; returns the number ranked. */
VORN_API uint32_t vorn_output_compute_top_k(VornOutput* output, int32_t slot, int32_t k,
                                            int softmax);
/* Entry i of the ranking: class id (all ones out of range), score, label. */
VORN_API uint32_t vorn_output_top_class_id(const VornOutput* output, int32_t i);
VORN_API float vorn_output_top_score(const VornOutput* output, int32_t i);
VORN_API const char* vorn_output_top_label_ptr(const VornOutput* output, int32_t i);
VORN_API size_t vorn_output_top_label_len(const VornOutput* output, int32_t i);

/* Decodes detection boxes (at most VORN_MAX_BOXES) in source-image pixels
 * with class-aware non-maximum suppression; returns the box count, or -1
 * for a tensor layout it does not know or tensors too small for it (code 12
 * is recorded on the session that filled the output while that session
 * lives; the output itself stays usable after the session is freed). */
VORN_API int32_t vorn_output_decode_boxes(VornOutput* output, int32_t max_boxes,
                                          float score_threshold, float iou_threshold);
VORN_API float vorn_output_box_x1(const VornOutput* output, int32_t i);
VORN_API float vorn_output_box_y1(const VornOutput* output, int32_t i);
VORN_API float vorn_output_box_x2(const VornOutput* output, int32_t i);
VORN_API float vorn_output_box_y2(const VornOutput* output, int32_t i);
VORN_API float vorn_output_box_score(const VornOutput* output, int32_t i);
/* All ones out of range. */
VORN_API uint32_t vorn_output_box_class_id(const VornOutput* output, int32_t i);
VORN_API const char* vorn_output_box_label_ptr(const VornOutput* output, int32_t i);
VORN_API size_t vorn_output_box_label_len(const VornOutput* output, int32_t i);
VORN_API uint32_t vorn_output_box_landmark_count(const VornOutput* output, int32_t i);
VORN_API float vorn_output_box_landmark_x(const VornOutput* output, int32_t i, int32_t j);
VORN_API float vorn_output_box_landmark_y(const VornOutput* output, int32_t i, int32_t j);

/* Scales each row of slot to unit length in place; false for a zero row. */
VORN_API bool vorn_output_normalize_l2(VornOutput* output, int32_t slot);
/* Cosine similarity of the first rows of two tensors of equal size; 0 when
 * anything is missing. a and b may be the same output. */
VORN_API float vorn_output_cosine_similarity(const VornOutput* a, int32_t slot_a,
                                             const VornOutput* b, int32_t slot_b);
/* Turns an image-shaped tensor (1 or 3 channels) into owned packed RGB
 * pixels of frame: byte = clamp(value x scale + offset). Errors land on
 * frame. */
VORN_API bool vorn_output_to_frame(const VornOutput* output, int32_t slot, VornFrame* frame,
                                   float scale, float offset);

/* Generated text: the last piece (streaming) or the whole answer, and the
 * text so far. Empty when absent. */
VORN_API const char* vorn_output_text_ptr(const VornOutput* output);
VORN_API size_t vorn_output_text_len(const VornOutput* output);
VORN_API const char* vorn_output_full_text_ptr(const VornOutput* output);
VORN_API size_t vorn_output_full_text_len(const VornOutput* output);
VORN_API VornFinishReason vorn_output_finish_reason(const VornOutput* output);
VORN_API uint32_t vorn_output_prompt_tokens(const VornOutput* output);
VORN_API uint32_t vorn_output_generated_tokens(const VornOutput* output);
VORN_API uint32_t vorn_output_cached_prompt_tokens(const VornOutput* output);

#ifdef __cplusplus
}
#endif

#endif /* VORN_H */
