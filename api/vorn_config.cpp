// The exported functions of the configuration handle.
#include <cstdlib>

#include "session/config.h"
#include "session/locked_block.h"
#include "session/text.h"

namespace vorn {
namespace {

// Stores a directory; a non-empty one is also published in the environment
// for runtimes that read it from there. An empty one leaves the variable.
void store_dir(char (&field)[VORN_MAX_PATH_LEN + 1], uint64_t* len, const char* text,
               size_t text_len, const char* env_name) {
  *len = copy_to_fixed(text_view(text, text_len), field);
  if (env_name != nullptr && *len > 0) setenv(env_name, field, 1);
}

}  // namespace
}  // namespace vorn

using namespace vorn;

extern "C" {

VORN_API VornConfig* vorn_config_new(void) {
  LockedBlock block = locked_block_new(sizeof(Config));
  if (block.ptr == nullptr) return nullptr;
  auto* config = static_cast<Config*>(block.ptr);
  config_defaults(config);
  config->locked = block.locked ? 1 : 0;
  return config;
}

VORN_API void vorn_config_free(VornConfig* config) {
  if (config == nullptr) return;
  locked_block_free(config, sizeof(Config), config->locked != 0);
}

VORN_API void vorn_config_set_models_dir(VornConfig* config, const char* dir, size_t len) {
  if (config == nullptr) return;
  store_dir(config->models_dir, &config->models_dir_len, dir, len, nullptr);
}

VORN_API void vorn_config_set_cache_dir(VornConfig* config, const char* dir, size_t len) {
  if (config == nullptr) return;
  store_dir(config->cache_dir, &config->cache_dir_len, dir, len, "VORN_QNN_CACHE_DIR");
}

VORN_API void vorn_config_set_skel_dir(VornConfig* config, const char* dir, size_t len) {
  if (config == nullptr) return;
  store_dir(config->skel_dir, &config->skel_dir_len, dir, len, "ADSP_LIBRARY_PATH");
}

VORN_API void vorn_config_set_backend(VornConfig* config, VornBackendKind backend) {
  if (config == nullptr || backend > VORN_BACKEND_NPU) return;
  config->backend = backend;
}

VORN_API void vorn_config_set_threads(VornConfig* config, int32_t threads) {
  if (config == nullptr) return;
  if (threads < 1) {
    config->threads = 8;
  } else if (threads > 32) {
    config->threads = 32;
  } else {
    config->threads = uint32_t(threads);
  }
}

VORN_API void vorn_config_set_verify_weights(VornConfig* config, int verify) {
  if (config == nullptr) return;
  config->verify_weights = verify != 0 ? 1 : 0;
}

}  // extern "C"
