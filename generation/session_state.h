// The state of an open generative session and the open itself: a container
// (by path, or by descriptor range) becomes a VlmSession whose state holds
// the processor, the graph over a device weights buffer loaded by eight
// threads (optionally checked against the tensor digests), a copy of the
// container's metadata, the open parameters and where the model came from,
// so that an unloaded session can be rebuilt.
#pragma once
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/error_record.h"
#include "generation/error_status.h"
#include "generation/records.h"
#include "generation/vn_processor.h"
#include "gpu/gpu_context.h"
#include "gpu/kv_cache.h"
#include "gpu/vn_graph.h"

namespace vorn {

// The backend policies a session may ask of its graph.
inline constexpr const char* kBackendPolicies[] = {"auto", "metal", "mps", "mpsgraph"};
inline constexpr uint32_t kOpenDefaultContext = 2048;
inline constexpr uint32_t kOpenMaxContext = 8192;
// Threads that read the weights on a generative open.
inline constexpr uint64_t kOpenLoadThreads = 8;

class VNSessionState {
 public:
  VNSessionState() = default;
  // Drops the graph before the context whose buffer it views, then closes
  // the private descriptor.
  ~VNSessionState();
  VNSessionState(const VNSessionState&) = delete;
  VNSessionState& operator=(const VNSessionState&) = delete;

  std::shared_ptr<VNProcessor> processor;
  std::unique_ptr<VNGraph> graph;  // null while unloaded
  // The KV cache every generation's passes fill, with what the next
  // generation may reuse of it.
  KvCache kvCache;
  std::vector<uint8_t> metadata;   // the container's header and metadata region
  nlohmann::json lastReport;       // the report of the last successful generation
  std::string path;                // empty when the model came from a descriptor
  bool has_path = false;
  std::string backend = "auto";
  std::string cacheDir;  // `params.cache_dir` points here when one was given
  GpuContext* context = nullptr;  // owns the weights buffer; owned here
  int sourceFd = -1;              // private duplicate for a reload, -1 for a path
  uint64_t sourceBase = 0, sourceLength = 0;
  GenerativeOpenParams params{};  // backend points at `backend`
  double processorMs = 0, readMs = 0, metadataMs = 0, slotMs = 0, backendMs = 0;

  // Drops the KV cache, the graph and the weights (unload).
  void releaseGraph();
};

GenerativeOpenParams vlm_open_params_default();
// Clears error and *out; code 1 for a missing path or out ("Model path and
// output are required"), an unknown backend ("Unknown backend policy") or a
// context length or fp16 flag out of range ("Invalid open parameters").
bool vlm_open_params_check(const char* path, const GenerativeOpenParams* params, VlmSession** out,
                           ErrorRecord* error);
bool vlm_open_params_verify_weights(const GenerativeOpenParams* params);

// Opens a generative model; on failure nothing of it survives and error
// holds the code and message.
bool vlm_open_path(const char* path, const GenerativeOpenParams* params, VlmSession** out, ErrorRecord* error);
bool vlm_open_fd(int fd, uint64_t base, uint64_t length, const GenerativeOpenParams* params, VlmSession** out,
                 ErrorRecord* error);

// Creates a device context for 16 KiB and releases it: whether generation
// can run here at all (no caller inside the library).
bool vlm_metal_probe(const GenerativeOpenParams* params, ErrorRecord* error);

// The UTF-8 text, refused with VornArgument "Missing string" (null) or
// "Invalid UTF-8".
std::string checked_utf8(const char* text);

}  // namespace vorn
