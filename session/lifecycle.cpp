// The life of an open session: releasing engines and the model, unload,
// reload, reset and cancel, and the cache behind the string metadata
// getters.
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/atomics.h"
#include "container/meta.h"
#include "cpu/engine.h"
#include "generation/vlm_interface.h"
#include "gpu/gpu_capabilities.h"
#include "gpu/mps_engine.h"
#include "session/session.h"
#include "session/text.h"

namespace vorn {

// A cancel may come from any thread at any time, also while the session's
// own thread opens, inspects or closes a model and so releases the
// generative session the cancel would store into. The cancel never waits:
// it counts itself in cancel_readers, reads the pointer, stores into the
// generative cancel word and counts itself out. The releasing thread
// withdraws the pointer first and then waits until no cancel is counted in:
// every store into the generative session has been made by then. Both sides
// order their two steps sequentially consistently, so a cancel either reads
// null or is seen by the wait, which is short: a cancel is counted in only
// while it stores one word.
void session_attach_vlm(Session* s, VlmSession* vlm) { __atomic_store_n(&s->vlm, vlm, __ATOMIC_SEQ_CST); }

namespace {

void detach_vlm(Session* s) {
  VlmSession* vlm = s->vlm;
  if (vlm == nullptr) return;
  __atomic_store_n(&s->vlm, nullptr, __ATOMIC_SEQ_CST);
  while (atomic_load_u32(&s->cancel_readers, 3) != 0) std::this_thread::yield();
  vlm_close(vlm);
}

}  // namespace

void session_release_engines(Session* s) {
  stream_clear(&s->stream);
  detach_vlm(s);
  if (s->gpu_present) {
    mps_engine_free(s->gpu);
    s->gpu = nullptr;
    s->gpu_present = 0;
  }
  if (s->cpu_present) {
    cpu_engine_free(&s->cpu);
    s->cpu_present = 0;
  }
  if (s->slot_present) {
    weight_slot_unlock(&s->slot);
    weight_slot_release(&s->slot);
    s->slot = WeightSlot{};
    s->slot_present = 0;
  }
  s->compiled_batch = 0;
  s->engine_open = 0;
  s->active_backend = VORN_BACKEND_AUTO;
}

void session_close(Session* s) {
  session_release_engines(s);
  if (s->container_present) {
    container_close(&s->container);
    s->container_present = 0;
  }
  s->container = ContainerHandle{};
  label_blob_release(s->labels);
  s->labels = nullptr;
  s->label_bytes = nullptr;
  s->label_length = 0;
  s->label_count = 0;
  s->meta_cache.used = 0;
  s->meta_cache.count = 0;
  s->info.input_count = 0;
  s->info.output_count = 0;
  s->info.estimated_memory = 0;
  s->generative = 0;
  s->model_loaded = 0;
}

bool session_unload(Session* s) {
  if (s == nullptr) return false;
  if (session_busy(s)) return session_refuse_busy(s, "Session is busy");
  if (s->vlm != nullptr) {
    if (!vlm_unload(s->vlm)) {
      error_set(&s->error, VORN_STATUS_BACKEND_FAILURE, "Failed to unload generative session");
      return false;
    }
    s->engine_open = 0;
  } else {
    session_release_engines(s);
  }
  error_clear(&s->error);
  return true;
}

bool session_reload(Session* s) {
  if (s == nullptr) return false;
  if (session_busy(s)) return session_refuse_busy(s, "Session is busy");
  if (s->engine_open) return true;
  if (!s->model_loaded) {
    error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT, "Cannot reload a Session that was never opened");
    return false;
  }
  if (s->vlm != nullptr) {
    if (!vlm_reload(s->vlm)) {
      error_set(&s->error, VORN_STATUS_BACKEND_FAILURE, "Failed to reload generative session");
      return false;
    }
    s->engine_open = 1;
    error_clear(&s->error);
    return true;
  }
  // The batch size may have changed since the model was described: the
  // engine is built for the current one, so the description follows it.
  return session_describe_graph(s) && session_open_backend(s);
}

bool session_reset(Session* s) {
  if (s == nullptr) return false;
  if (session_busy(s)) return session_refuse_busy(s, "Session is busy");
  atomic_store_u32(&s->cancel, 0, 2);
  stream_clear(&s->stream);
  if (s->vlm != nullptr) vlm_reset(s->vlm);
  error_clear(&s->error);
  return true;
}

void session_cancel(Session* s) {
  if (s == nullptr) return;
  atomic_store_u32(&s->cancel, 1, 2);
  atomic_fetch_add_u32(&s->cancel_readers, 1, 3);
  if (VlmSession* vlm = __atomic_load_n(&s->vlm, __ATOMIC_SEQ_CST)) vlm_cancel(vlm);
  atomic_fetch_sub_u32(&s->cancel_readers, 1, 2);
}

const char* session_meta_str(Session* s, const char* key, size_t key_len, size_t* out_len) {
  *out_len = 0;
  if (s == nullptr || !s->model_loaded) return empty_text();
  const std::string_view k = text_view(key, key_len).view();
  MetaStrCache& cache = s->meta_cache;
  for (uint32_t i = 0; i < cache.count; ++i) {
    const MetaStrEntry& e = cache.entries[i];
    if (std::string_view(e.key, e.key_len) == k) {
      *out_len = e.length;
      return cache.pool + e.offset;
    }
  }
  const std::string_view value = container_meta_text(&s->container, k);
  if (value.empty()) return empty_text();
  if (cache.count >= kMetaCacheEntries || k.size() > 63 ||
      value.size() + cache.used + 1 > kMetaCachePool)
    return empty_text();
  MetaStrEntry& e = cache.entries[cache.count++];
  e.key_len = copy_to_fixed(k.data(), k.size(), e.key, sizeof e.key);
  e.offset = cache.used;
  e.length = value.size();
  std::memcpy(cache.pool + cache.used, value.data(), value.size());
  cache.pool[cache.used + value.size()] = '\0';
  cache.used += value.size() + 1;
  *out_len = e.length;
  return cache.pool + e.offset;
}

}  // namespace vorn
