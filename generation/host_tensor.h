// Prepared model inputs in host memory: a named, zero-filled block with a
// shape (rank 0..6, outermost first) and an element kind (F16, F32 or I64,
// packed row-major), kept in a map ordered by the names' bytes.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vorn {

// Largest dimension and element count of a host tensor.
inline constexpr uint64_t kHostTensorMaxElements = uint64_t{1} << 30;
inline constexpr size_t kHostTensorMaxRank = 6;

struct HostTensor {
  std::vector<uint32_t> shape;
  uint32_t dtype = 0;          // ElementKind: 1 F16, 2 F32, 3 I64
  std::vector<uint8_t> data;   // element count x element size bytes
};

// Ordered by name, byte by byte (std::string compares as unsigned bytes).
using HostTensorMap = std::map<std::string, HostTensor>;

// The product of the dimensions (1 for an empty shape). std::runtime_error
// "Tensor rank > 6" or "Tensor too large" (a dimension or the product above
// 2^30).
uint64_t host_shape_element_count(const std::vector<uint32_t>& shape);

// 2, 4 or 8 bytes for F16, F32, I64; std::runtime_error "Only FP16
// activations and int64 indices supported" for any other kind.
uint64_t dtype_size(uint32_t element_kind);

// A zero-filled tensor; the shape is checked before the element kind.
HostTensor host_tensor_new(const std::vector<uint32_t>& shape, uint32_t element_kind);

// Inserts a new tensor under name unless the name is present, in which case
// the stored tensor is kept unchanged; returns the tensor stored under the
// name for the caller to fill. element_kind 0 stands for float_kind (the
// request's float kind: F16 when its activations are F16, else F32). On
// failure nothing is inserted.
HostTensor& add_host_tensor(HostTensorMap& tensors, uint32_t float_kind, const std::string& name,
                            const std::vector<uint32_t>& shape, uint32_t element_kind);

}  // namespace vorn
