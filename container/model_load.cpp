// The session loaders: one process-wide lock around every model load, the
// opener with the widening plan, and the layout checks of tensor, value
// and node records that the engines rely on when they index weights and
// activations.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "base/files.h"
#include "container/container.h"
#include "container/format.h"
#include "container/sections.h"

namespace vorn {

namespace {

ModelLoadResult fail_text(std::string_view text) { return ModelLoadResult::failure(bytes_from_slice(slice_of(text))); }

constexpr uint64_t k2p31 = uint64_t(1) << 31;

bool tensor_layout_valid(const SectionView& v, uint64_t t) {
  const uint8_t* r = v.record_ptr(kSecTensors, t);
  const uint64_t rank = load_u64(r + 32);
  if (rank > 0 && load_u64(r + 40 + 8 * (rank - 1)) >= k2p31) return false;
  const uint64_t row_bytes = load_u64(r + 136);
  if (row_bytes == 0 || row_bytes >= k2p31) return false;
  return load_u64(r + 96) / row_bytes < k2p31;
}

// Bytes of one value of an unblocked element kind (F16, F32, I64).
uint64_t elem_bytes(uint64_t kind) { return element_kind_row(kind).bits / 8; }

// A graph value the engines may index without further checks: its shape,
// size and (for weights) its bytes inside its tensor.
bool value_layout_valid(const SectionView& v, const uint64_t* w, uint64_t data_size) {
  if (w[0] < kValueGraphInput || w[0] > kValueGraphOutput) return false;
  if (w[1] < kElemF16 || w[1] > kElemQ8 || w[2] > kMaxRank) return false;
  uint64_t count = 1;
  for (uint64_t d = 0; d < w[2]; ++d)
    if (__builtin_mul_overflow(count, w[3 + d], &count)) return false;
  if (!range_fits(w[13], w[14], v.pool_size())) return false;
  if (w[0] != kValueWeight) {
    // The converter records a value whose shape it could not settle (a
    // rank-0 placeholder) with no elements and no bytes; the engines give it
    // no storage and each operator's own check refuses it where it matters.
    if (w[2] == 0 && w[9] == 0 && w[10] == 0) return true;
    if (w[9] != count) return false;
    uint64_t bytes;
    if (w[1] == kElemQ8 || __builtin_mul_overflow(count, elem_bytes(w[1]), &bytes)) return false;
    return w[10] == bytes;
  }
  if (w[9] != count) return false;
  const uint64_t tensors = v.count(kSecTensors);
  if (w[11] >= tensors) return false;
  const uint8_t* t = v.record_ptr(kSecTensors, w[11]);
  const uint64_t t_rel = load_u64(t + 112);
  const uint64_t t_bytes = load_u64(t + 96);
  if (!range_fits(t_rel, t_bytes, data_size)) return false;
  if (w[1] == kElemQ8) {
    if (w[10] != t_bytes) return false;
  } else {
    uint64_t bytes;
    if (__builtin_mul_overflow(count, elem_bytes(w[1]), &bytes) || w[10] != bytes) return false;
  }
  return w[12] >= t_rel && range_fits(w[12] - t_rel, w[10], t_bytes);
}

constexpr uint64_t kAbsentInput = ~uint64_t{0};

bool node_layout_valid(const uint64_t* w, uint64_t values) {
  if (w[1] > kNodeMaxInputs || w[10] < 1 || w[10] > kNodeMaxOutputs) return false;
  // An omitted optional input (Resize without roi, say) is written as the
  // all-ones index; the engines treat any id past the value table as absent.
  for (uint64_t i = 0; i < w[1]; ++i)
    if (w[2 + i] >= values && w[2 + i] != kAbsentInput) return false;
  for (uint64_t i = 0; i < w[10]; ++i)
    if (w[11 + i] >= values) return false;
  return true;
}

bool graph_layout_valid(const ContainerHandle* h) {
  SectionView v{h->meta, h->meta_len};
  for (uint64_t t = 0; t < v.count(kSecTensors); ++t)
    if (!tensor_layout_valid(v, t)) return false;
  if (v.stride(kSecNodes) != kStrideNode) return true;  // generative graph block: checked by its reader
  const uint64_t values = v.count(kSecValues);
  if (values > 0 && v.stride(kSecValues) < kStrideValue) return false;
  uint64_t w[16];
  for (uint64_t i = 0; i < values; ++i) {
    std::memcpy(w, v.record_ptr(kSecValues, i), sizeof(w));
    if (!value_layout_valid(v, w, h->data_size)) return false;
  }
  uint64_t n[32];
  for (uint64_t i = 0; i < v.count(kSecNodes); ++i) {
    std::memcpy(n, v.record_ptr(kSecNodes, i), sizeof(n));
    if (!node_layout_valid(n, values)) return false;
  }
  return true;
}

}  // namespace

std::recursive_mutex& container_load_lock() {
  static std::recursive_mutex lock;
  return lock;
}

ModelLoadResult model_load_fd(int fd, uint64_t offset, uint64_t length) {
  std::lock_guard<std::recursive_mutex> guard(container_load_lock());
  if (fd < 0 || length <= kHeaderSize) return fail_text("invalid file descriptor or length");
  uint8_t header[kHeaderSize];
  if (!pread_all(fd, header, kHeaderSize, offset)) return fail_text("failed reading model");
  if (!container_header_valid(header, length)) return fail_text("invalid container header");
  ContainerResult r = container_open_fd(fd, offset, length, kContainerOpenWiden);
  if (!r.ok()) return fail_text(container_status_text(r.error).view());
  ContainerHandle h = r.value;
  if (!graph_layout_valid(&h)) {
    container_close(&h);
    return fail_text("invalid container layout");
  }
  return ModelLoadResult::success(h);
}

ModelLoadResult model_load_path(Slice path) {
  CString c = slice_to_cstr(path);
  if (c.tag != 0) return fail_text("failed reading model");
  int64_t size = 0;
  const int fd = open_regular_file(cstr_ptr(c), &size);
  cstr_free(&c);
  if (fd < 0) return fail_text("failed reading model");
  ModelLoadResult r = size > int64_t(kHeaderSize) ? model_load_fd(fd, 0, uint64_t(size))
                                                  : fail_text("invalid container header");
  close(fd);
  return r;
}

}  // namespace vorn
