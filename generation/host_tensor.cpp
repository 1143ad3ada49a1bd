#include "generation/host_tensor.h"

#include <stdexcept>

#include "container/records.h"

namespace vorn {

uint64_t host_shape_element_count(const std::vector<uint32_t>& shape) {
  if (shape.size() > kHostTensorMaxRank) throw std::runtime_error("Tensor rank > 6");
  uint64_t count = 1;
  for (uint32_t d : shape) {
    // Checked before multiplying, so the product never passes 2^30.
    if (d > kHostTensorMaxElements || (d != 0 && count > kHostTensorMaxElements / d))
      throw std::runtime_error("Tensor too large");
    count *= d;
  }
  return count;
}

uint64_t dtype_size(uint32_t element_kind) {
  switch (element_kind) {
    case kElemF16: return 2;
    case kElemF32: return 4;
    case kElemI64: return 8;
    default: throw std::runtime_error("Only FP16 activations and int64 indices supported");
  }
}

HostTensor host_tensor_new(const std::vector<uint32_t>& shape, uint32_t element_kind) {
  HostTensor t;
  t.shape = shape;
  uint64_t count = host_shape_element_count(shape);
  uint64_t size = dtype_size(element_kind);
  t.dtype = element_kind;
  t.data.assign(count * size, 0);
  return t;
}

HostTensor& add_host_tensor(HostTensorMap& tensors, uint32_t float_kind, const std::string& name,
                            const std::vector<uint32_t>& shape, uint32_t element_kind) {
  HostTensor t = host_tensor_new(shape, element_kind == 0 ? float_kind : element_kind);
  return tensors.try_emplace(name, std::move(t)).first->second;
}

}  // namespace vorn
