// The configuration handle: process-level choices that each session copies
// whole when it is created.
#pragma once
#include <cstdint>

#include "vorn.h"

struct VornConfig {
  char models_dir[VORN_MAX_PATH_LEN + 1];
  uint64_t models_dir_len;
  char cache_dir[VORN_MAX_PATH_LEN + 1];
  uint64_t cache_dir_len;
  char skel_dir[VORN_MAX_PATH_LEN + 1];  // the NPU-runtime directory
  uint64_t skel_dir_len;
  uint32_t backend;  // BackendKind, 0..3
  uint32_t threads;  // 1..32
  uint8_t verify_weights;
  // Whether mlock succeeded, so free unlocks only what was locked. A session
  // copies this record too and must ignore the flag.
  uint8_t locked;
};

namespace vorn {

using Config = ::VornConfig;

// The values of a configuration nobody set: a session made without one
// copies these.
void config_defaults(Config* config);

}  // namespace vorn
