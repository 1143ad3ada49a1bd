// A generative model loaded for the chat tool's infer command: the
// container's weights in device-shared memory, read by eight threads, and
// the graph built over them.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "frontend/model_file.h"
#include "gpu/vn_graph.h"
#include "gpu/weight_slot.h"

namespace vorn {

class DeviceModel {
 public:
  // Opens the container and loads its weights. Throws std::runtime_error
  // "Cannot open model <path>: <reason>" or VNError VornInference "Weight
  // loading: <reason>".
  explicit DeviceModel(const std::string& path);
  ~DeviceModel();
  DeviceModel(const DeviceModel&) = delete;
  DeviceModel& operator=(const DeviceModel&) = delete;

  // initWithContext:metadata:length:activation: over the loaded weights
  // (activation 1 F16, 2 F32); the graph must go before this model.
  std::unique_ptr<VNGraph> new_graph(uint64_t activation) const;

 private:
  ModelFile file_;
  WeightSlot slot_;
};

}  // namespace vorn
