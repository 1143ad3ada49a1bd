// VNTensor, the typed view into a device buffer that the generative graph
// and the generation layer pass around, and the shape functions both use.
//
// A view is shape, byte offset and element kind over a buffer it shares.
// Activation tensors come from the graph's pool (VNGraph::tensor) and go back
// to it (VNGraph::recycle); weight views point into the weights buffer; a
// KV-cache view reserves cacheStride token rows per head, of which shape[2]
// are filled: element (batch, head, t, c) lies at
// ((batch x heads + head) x cacheStride + t) x head size + c.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/compute_device.h"

namespace vorn {

struct VNTensor {
  mtl::BufferRef buffer;
  std::vector<uint64_t> shape;  // outermost first, rank 0..6
  uint64_t offset = 0;          // bytes to element 0
  uint64_t dtype = 0;           // ElementKind: 1 F16, 2 F32, 3 I64, 4 Q8 (weights only)
  uint64_t count = 0;           // product of shape, 1 for rank 0
  uint64_t rowBytes = 0;        // weights: bytes of one innermost row
  uint64_t cacheStride = 0;     // KV-cache views: token rows reserved per head
  bool weight = false;          // a view into the weights buffer

  // Host address of element 0 (the buffer must be shared memory).
  uint8_t* contents() const { return static_cast<uint8_t*>(buffer->contents()) + offset; }
};
using VNTensorRef = std::shared_ptr<VNTensor>;

// Bytes of one element of an activation kind (F16 2, F32 4, I64 8); 0 for
// any other kind.
uint64_t element_size(uint64_t dtype);

// Element count; VornInference "Tensor rank exceeds six" (rank 7 or more),
// "Invalid dimension" (a dimension above 2^30, negative ones included once
// wrapped), "Tensor too large" (a product above 2^30). The empty shape
// counts 1.
uint64_t shape_element_count(const std::vector<uint64_t>& shape);
// The element count of an activation tensor (what VNGraph::tensor checks
// before it allocates): "Tensor dtype" for a kind outside 1..3, then
// shape_element_count's failures.
uint64_t activation_element_count(const std::vector<uint64_t>& shape, uint64_t dtype);
// Innermost dimension; "Scalar not supported here" for the empty shape.
uint64_t shape_last_dim(const std::vector<uint64_t>& shape);
// Dimension i; "Rank mismatch" when i is not below the rank.
uint64_t shape_dim_at(const std::vector<uint64_t>& shape, uint64_t i);

// The NUL-terminated UTF-8 string at absolute offset `at` of a metadata
// blob, which must lie in [area_start, area_end) with area_end inside the
// blob: "String bounds", "Unterminated string", "Invalid UTF-8".
std::string metadata_string_at(const uint8_t* blob, uint64_t length, uint64_t at, uint64_t area_start,
                               uint64_t area_end);
// The double of an attribute's bit pattern; "Invalid real attribute" for NaN
// or infinity.
double check_finite_attribute(uint64_t bits);
// Throws VornInference with reason when condition is false.
void graph_require(bool condition, const char* reason);

}  // namespace vorn
