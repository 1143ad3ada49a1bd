#include "frontend/device_model.h"

#include "base/vn_error.h"
#include "gpu/weight_loader.h"

namespace vorn {

namespace {

constexpr uint64_t kLoadThreads = 8;

[[noreturn]] void refuse_load(uint64_t status) {
  const Slice text = container_status_text(uint32_t(status));
  throw_inference("Weight loading: " + std::string(reinterpret_cast<const char*>(text.ptr), text.len));
}

}  // namespace

DeviceModel::DeviceModel(const std::string& path) : file_(path) {
  const WeightBuffer buffer = weight_buffer_alloc(file_.handle().data_size, kWeightsGpuShared);
  if (buffer.tag != 0) refuse_load(buffer.data);
  slot_ = weight_slot_from_buffer(buffer);
  const LoadResult loaded = weights_load_parallel(&file_.handle(), &slot_, kLoadThreads, 0);
  if (loaded.tag != 0) {
    weight_slot_release(&slot_);
    refuse_load(loaded.code);
  }
  weight_slot_unlock(&slot_);
}

DeviceModel::~DeviceModel() { weight_slot_release(&slot_); }

std::unique_ptr<VNGraph> DeviceModel::new_graph(uint64_t activation) const {
  return std::make_unique<VNGraph>(slot_.context, file_.metadata(), file_.metadata_length(), activation);
}

}  // namespace vorn
