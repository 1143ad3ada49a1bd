// Fuzzes the generative graph's construction from a container's metadata
// image (the graph block, tensor records and names it validates) and, when
// a graph builds, its policy switches and a pass over missing inputs.
#include <cstdint>
#include <cstring>

#include "base/vn_error.h"
#include "gpu/gpu_context.h"
#include "gpu/vn_graph.h"

namespace {

using namespace vorn;

// Weights the views point into: enough for the seed models' data.
constexpr uint64_t kWeightsLength = uint64_t(4) << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static GpuContext* context = [] {
    uint32_t code = 0;
    return gpu_context_create(kWeightsLength, &code);
  }();
  if (context == nullptr) return 0;
  // The image is copied so reads past its end are caught by the sanitizer.
  std::vector<uint8_t> image(data, data + size);
  try {
    VNGraph g(context, image.data(), image.size(), (size & 1) ? 1 : 2);
    g.configure({{"backend", (size & 2) ? "mpsgraph" : "metal"}});
    (void)g.backendName();
    (void)g.weightExecution();
    g.run({});
  } catch (const VNError&) {
  }
  return 0;
}
