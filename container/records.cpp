// Section and graph-record access on an open handle. The handle's image was
// validated at open, so every record below its section's count lies inside
// it; the copies below also refuse indices past the count.
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "container/meta.h"
#include "container/sections.h"

namespace vorn {

namespace {

SectionView view(const ContainerHandle* h) { return SectionView{h->meta, h->meta_len}; }

// Copies `bytes` of record i of a section when it exists and its stride
// holds them; otherwise leaves out zeroed.
void copy_record(const ContainerHandle* h, uint64_t section, uint64_t i, void* out, uint64_t bytes) {
  std::memset(out, 0, bytes);
  if (h == nullptr || h->meta == nullptr) return;
  SectionView v = view(h);
  if (i >= v.count(section) || v.stride(section) < bytes) return;
  std::memcpy(out, v.record_ptr(section, i), bytes);
}

}  // namespace

uint64_t container_read_u64(const uint8_t* meta, uint64_t offset) { return load_u64(meta + offset); }
uint64_t container_section_offset(const ContainerHandle* h, uint64_t s) { return view(h).offset(s); }
uint64_t container_section_size(const ContainerHandle* h, uint64_t s) { return view(h).size(s); }
uint64_t container_section_stride(const ContainerHandle* h, uint64_t s) { return view(h).stride(s); }
uint64_t container_section_count(const ContainerHandle* h, uint64_t s) { return view(h).count(s); }
uint64_t container_record_offset(const ContainerHandle* h, uint64_t s, uint64_t j) { return view(h).record(s, j); }

uint64_t container_node_count(const ContainerHandle* h) { return view(h).count(kSecNodes); }
uint64_t container_value_count(const ContainerHandle* h) { return view(h).count(kSecValues); }
uint64_t container_tensor_count(const ContainerHandle* h) { return view(h).count(kSecTensors); }

bool container_is_tensor_model(const ContainerHandle* h) { return view(h).stride(kSecNodes) == kStrideNode; }

NodeRecord container_node_record(const ContainerHandle* h, uint64_t i) {
  NodeRecord r;
  copy_record(h, kSecNodes, i, r.w, 31 * 8);
  r.w[31] = 0;
  return r;
}

ValueRecord container_value_record(const ContainerHandle* h, uint64_t i) {
  ValueRecord r;
  copy_record(h, kSecValues, i, r.w, 15 * 8);
  r.w[15] = 0;
  return r;
}

TensorRecord container_tensor_record(const ContainerHandle* h, uint64_t i) {
  TensorRecord r;
  copy_record(h, kSecTensors, i, &r, sizeof(r));
  return r;
}

Slice container_value_name(const ContainerHandle* h, uint64_t i) {
  ValueRecord r = container_value_record(h, i);
  return container_pool_slice(h, r.name_offset(), r.name_length());
}

TensorShapeView container_tensor_shape(const ContainerHandle* h, uint64_t i) {
  TensorShapeView none{};
  if (h == nullptr || h->meta == nullptr || i >= container_tensor_count(h)) return none;
  TensorRecord t = container_tensor_record(h, i);
  if (t.kind != kElemF16 && t.kind != kElemF32 && t.kind != kElemQ8) return none;
  if (t.rank > kMaxRank) return none;
  const uint64_t limit = 2147483647;
  uint64_t count = 1;
  uint64_t cols = 1;
  if (t.rank >= 1) {
    if (t.dims[0] == 0 || t.dims[0] >= (uint64_t(1) << 31)) return none;
    count = t.dims[0];
    for (uint64_t d = 1; d < t.rank; ++d) {
      if (t.dims[d] == 0 || t.dims[d] > limit / count) return none;
      count *= t.dims[d];
    }
    cols = t.dims[t.rank - 1];
  }
  const uint64_t rows = count / cols;
  uint64_t row_bytes;
  element_row_bytes(t.kind, cols, &row_bytes);  // cols < 2^31: cannot overflow
  // rows * row_bytes fits: count < 2^31 and a row is at most 68/64 * 4 bytes a value.
  if (t.byte_size != row_bytes * rows || t.row_bytes != row_bytes) return none;
  if (!range_fits(t.relative_offset, t.byte_size, h->data_size)) return none;
  return TensorShapeView{t.kind, rows, cols, count, t.byte_size, count * 4, t.container_offset,
                         t.relative_offset};
}

}  // namespace vorn
