// Getting a model into a session: creation and release of the session
// record, path resolution, inspect (load and describe) and open (inspect,
// engine, optional warm-up), by path or by descriptor range.
#include <cstdlib>
#include <cstring>

#include "base/atomics.h"
#include "cpu/engine.h"
#include "gpu/gpu_capabilities.h"
#include "gpu/mps_engine.h"
#include "session/locked_block.h"
#include "session/session.h"
#include "session/text.h"

namespace vorn {

namespace {

// The image settings nobody chose: what a new session starts with and what
// a setting the caller did not make returns to before the next model's
// metadata is read, so one model's settings never reach the next.
void reset_model_settings(Session* s) {
  if (!s->resize_mode_set) s->resize_mode = VORN_RESIZE_STRETCH;
  if (!s->letterbox_pad_set) s->letterbox_pad = 114;
  if (!s->bgr_set) s->bgr = 0;
  if (!s->norm_set) normalization_preset("scale255", &s->norm);
}

void record_load_failure(Session* s, const ByteString& message) {
  const char* text = reinterpret_cast<const char*>(message.ptr);
  const size_t len = text == nullptr ? 0 : size_t(message.len);
  error_set(&s->error, load_error_status(text == nullptr ? "" : text, len),
            std::string_view(text == nullptr ? "" : text, len));
}

bool adopt_container(Session* s, ModelLoadResult& loaded) {
  if (!loaded.ok()) {
    record_load_failure(s, loaded.error);
    bytes_free(&loaded.error);
    return false;
  }
  s->container = loaded.value;
  s->container_present = 1;
  reset_model_settings(s);
  return true;
}

void warm_up(Session* s) {
  if (s->generative || !s->warmup || s->info.input_count != 1 || s->info.output_count < 1) return;
  const uint64_t in_bytes = s->info.inputs[0].bytes == 0 ? 4 : s->info.inputs[0].bytes;
  // The engine writes what it produces, which may exceed the description of
  // output 0 (see the run path); size the scratch from the engine.
  uint64_t out_bytes = s->info.outputs[0].bytes;
  if (s->cpu_present && s->cpu != nullptr) {
    const CpuState& st = *s->cpu;
    if (st.output_count > 0) out_bytes = st.values[st.outputs[0]].bytes();
  }
  if (out_bytes == 0) out_bytes = 4;
  void* in = std::calloc(1, in_bytes);
  void* out = std::calloc(1, out_bytes);
  if (in != nullptr && out != nullptr) {
    if (s->gpu_present && s->gpu != nullptr) {
      mps_engine_run(s->gpu, static_cast<float*>(in), static_cast<float*>(out));
    } else if (s->cpu_present && s->cpu != nullptr) {
      // One pass of the compiled batch; the input scratch must hold it.
      const CpuState& st = *s->cpu;
      if (st.values[st.first_input].bytes() <= in_bytes)
        cpu_engine_run(&s->cpu, static_cast<float*>(in), static_cast<float*>(out));
    }
  }
  std::free(in);
  std::free(out);
}

}  // namespace

Session* session_new(const Config* config) {
  LockedBlock block = locked_block_new(sizeof(Session));
  if (block.ptr == nullptr) return nullptr;
  auto* s = static_cast<Session*>(block.ptr);
  s->origin = output_origin_new(&s->error);
  if (s->origin == nullptr) {
    locked_block_free(block.ptr, sizeof(Session), block.locked);
    return nullptr;
  }
  if (config != nullptr) {
    s->config = *config;
  } else {
    config_defaults(&s->config);
  }
  s->config.locked = 0;
  s->locked = block.locked ? 1 : 0;
  static uint64_t serials = 0;  // sessions made in the process
  s->serial = atomic_fetch_add_u64(&serials, 1, 0) + 1;
  s->requested_backend = s->config.backend;
  s->batch_size = 1;
  s->context_length = 2048;
  s->source_fd = -1;
  s->container.fd = -1;
  reset_model_settings(s);
  return s;
}

void session_free(Session* s) {
  if (s == nullptr) return;
  session_close(s);
  output_origin_detach(s->origin);
  s->origin = nullptr;
  const bool locked = s->locked != 0;
  locked_block_free(s, sizeof(Session), locked);
}

bool session_busy(const Session* s) {
  return atomic_load_u32(const_cast<uint32_t*>(&s->busy), 1) != 0;
}

namespace {

uint32_t finished_operations(const Session* s) { return atomic_load_u32(const_cast<uint32_t*>(&s->finished), 1); }

}  // namespace

// The refused thread reads the count of finished operations when it is
// refused and again in its getters: while the count stands, the holder is
// still running and owns the record; once it moved, the holder's final
// record write happened before (release and acquire) and can be read.
bool session_refuse_busy(const Session* s, const char* text) {
  error_note_refusal(&s->error, s->serial, finished_operations(s), VORN_STATUS_BUSY, text);
  return false;
}

const ErrorNote* session_refusal(const Session* s) {
  const ErrorNote* note = error_refusal_note(&s->error, s->serial);
  return note != nullptr && note->stamp == finished_operations(s) ? note : nullptr;
}

void session_release_busy(Session* s) {
  atomic_fetch_add_u32(&s->finished, 1, 2);
  atomic_store_u32(&s->busy, 0, 3);
}

uint64_t session_resolve_path(const Config& config, const char* path, size_t len, char* out) {
  TextView p = text_view(path, len);
  const uint64_t dir_len = config.models_dir_len;
  if (p.len > 0 && p.ptr[0] != '/' && dir_len > 0) {
    const bool slash = config.models_dir[dir_len - 1] == '/';
    const uint64_t joined = dir_len + 1 + p.len;  // the spare byte is the NUL
    if (joined < 512 && dir_len <= VORN_MAX_PATH_LEN) {
      uint64_t n = 0;
      std::memcpy(out, config.models_dir, dir_len);
      n = dir_len;
      if (!slash) out[n++] = '/';
      std::memcpy(out + n, p.ptr, p.len);
      n += p.len;
      out[n] = '\0';
      return n;
    }
  }
  return copy_to_fixed(p.ptr, p.len, out, 512);
}

bool session_inspect(Session* s, const char* path, size_t len) {
  if (s == nullptr) return false;
  if (session_busy(s)) return session_refuse_busy(s, "Session is busy");
  session_close(s);
  char resolved[512];
  const uint64_t n = session_resolve_path(s->config, path, len, resolved);
  if (n == 0) {
    error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT, "Empty model path");
    return false;
  }
  ModelLoadResult loaded = model_load_path(slice_of(resolved, n));
  if (!adopt_container(s, loaded)) return false;
  s->source_is_fd = 0;
  s->source_fd = -1;
  s->source_offset = 0;
  s->source_length = 0;
  s->path_len = copy_to_fixed(resolved, n, s->path, sizeof s->path);
  if (!session_load_model(s)) {
    session_close(s);
    return false;
  }
  error_clear(&s->error);
  return true;
}

bool session_inspect_fd(Session* s, int fd, uint64_t offset, uint64_t length) {
  if (s == nullptr) return false;
  if (session_busy(s)) return session_refuse_busy(s, "Session is busy");
  if (fd < 0 || length < 512) {
    error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT, "Invalid file descriptor or length");
    return false;
  }
  session_close(s);
  ModelLoadResult loaded = model_load_fd(fd, offset, length);
  if (!adopt_container(s, loaded)) return false;
  s->source_is_fd = 1;
  s->source_fd = fd;
  s->source_offset = offset;
  s->source_length = length;
  s->path_len = 0;
  s->path[0] = '\0';
  if (!session_load_model(s)) {
    session_close(s);
    return false;
  }
  error_clear(&s->error);
  return true;
}

bool session_open(Session* s, const char* path, size_t len) {
  if (!session_inspect(s, path, len)) return false;
  if (!session_open_backend(s)) return false;
  warm_up(s);
  return true;
}

bool session_open_fd(Session* s, int fd, uint64_t offset, uint64_t length) {
  if (!session_inspect_fd(s, fd, offset, length)) return false;
  return session_open_backend(s);
}

}  // namespace vorn
