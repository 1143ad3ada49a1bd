// The options of one preparation or generation request inside the processor
// core. The second command-line tool's parser fills it from its arguments,
// the processor's prepare: from a request dictionary; request preparation
// reads it. Both fillers start from the defaults below. The image sources
// point at bytes the caller owns for the length of the request.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "generation/records.h"
#include "generation/sampling_params.h"

namespace vorn {

// What `activation` asks for: float tensors are F16 unless it is 0 (F32).
enum FrontendActivation : uint32_t {
  kActivationF32 = 0,
  kActivationF16 = 1,
  kActivationInt8Prefill = 2,  // int8 activations in prefill (command line)
  kActivationInt8Vision = 3,   // int8 activations of the vision encoder (command line)
};

struct FrontendOptions {
  std::string command = "chat";  // "chat", "prepare", "selftest", "info"
  std::string model;
  std::string prompt;
  std::string image;
  std::string image_detail = "single";  // "single" or "tiled"
  std::string report;
  std::string output;
  uint32_t image_longest_edge = 512;
  uint32_t max_new_tokens = 64;
  uint32_t context_length = 2048;
  nlohmann::json messages;           // null, or an array of messages
  std::vector<ImageSource> images;   // payloads that image parts name by "image_index"
  std::vector<double> image_crop;    // normalized x0, y0, x1, y1
  uint8_t count_only = 0;            // tokens and counts only: no tensors, no budget checks
  uint8_t causal_mask = 0;           // leave the text attention mask empty
  SamplingParams sampling = sampling_params_default();
  std::vector<std::string> stop;
  uint8_t stream = 0;
  uint32_t activation = kActivationF16;  // FrontendActivation
  uint8_t profile = 0;
  uint8_t profile_ops = 0;
  std::string backend = "vulkan";
  std::string qnn_library = "libQnnHtp.so";
  std::string qnn_cache;
  std::string qnn_performance = "default";
  std::string qnn_precision = "fp16";
  std::string qnn_calibration;
  std::string vision_calibration;
};

// Constructs the defaults in uninitialised storage.
void frontend_options_init(void* storage);
// Destroys every member in reverse order; the image bytes are the caller's.
void frontend_options_destroy(FrontendOptions* options);

}  // namespace vorn
