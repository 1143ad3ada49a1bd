// Table lookups and Q8 reconstruction: "embedding", "embedding_q8" and
// "dequant_q8"; one thread per output element.
#include "gpu/shaders/kernels.h"

namespace vorn::shaders {

namespace {

// Q8 rows need ceil(columns / 64) blocks.
uint64_t q8_row_bytes(uint64_t columns) {
  return (columns + kQ8BlockValues - 1) / kQ8BlockValues * kQ8BlockBytes;
}

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

// An id outside the table bound at index 1 is a fault: the element is left
// unwritten and the command buffer fails.
template <class A>
void embedding(const mtl::KernelArgs& a, mtl::Size3 g) {
  const TableParams& p = params<Kernel::embedding>(a);
  const int64_t* ids = a.buffer<const int64_t>(0);
  const half* w = a.buffer<const half>(1);
  A* y = a.buffer<A>(2);
  const uint64_t hidden = p.columns;
  const uint64_t vocab = a.size[1] / (hidden * 2);
  for_each_thread(a, g, p.count, [&](uint64_t i) {
    const int64_t id = ids[i / hidden];
    if (id < 0 || uint64_t(id) >= vocab) return a.fault("embedding id outside the table");
    const half v = w[uint64_t(id) * hidden + i % hidden];
    if constexpr (sizeof(A) == 2)
      y[i] = v;  // a half table entry is copied as it is
    else
      y[i] = to_float(v);
  });
}

template <class A>
bool embedding_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const TableParams& p = params<Kernel::embedding>(a);
  if (p.columns == 0) return mtl::kernel_refuse("hidden is 0", e);
  return require_elements(a, 0, ceil_div(p.count, p.columns), 8, e) && require_elements(a, 1, p.columns, 2, e) &&
         require_elements(a, 2, p.count, sizeof(A), e);
}

template <class A>
void embedding_q8(const mtl::KernelArgs& a, mtl::Size3 g) {
  const TableParams& p = params<Kernel::embedding_q8>(a);
  const int64_t* ids = a.buffer<const int64_t>(0);
  const uint8_t* w = a.buffer<const uint8_t>(1);
  A* y = a.buffer<A>(2);
  const uint64_t hidden = p.columns, row_bytes = p.row_bytes;
  const uint64_t vocab = a.size[1] / row_bytes;
  for_each_thread(a, g, p.count, [&](uint64_t i) {
    const int64_t id = ids[i / hidden];
    if (id < 0 || uint64_t(id) >= vocab) return a.fault("embedding id outside the table");
    y[i] = from_float<A>(q8_element(w, row_bytes, uint64_t(id), i % hidden));
  });
}

template <class A>
bool embedding_q8_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const TableParams& p = params<Kernel::embedding_q8>(a);
  if (p.columns == 0) return mtl::kernel_refuse("hidden is 0", e);
  if (p.row_bytes < q8_row_bytes(p.columns)) return mtl::kernel_refuse("row bytes too small for the row", e);
  return require_elements(a, 0, ceil_div(p.count, p.columns), 8, e) && mtl::kernel_require(a, 1, p.row_bytes, e) &&
         require_elements(a, 2, p.count, sizeof(A), e);
}

// Always writes half, whatever the activation type.
template <class A>
void dequant_q8(const mtl::KernelArgs& a, mtl::Size3 g) {
  const TableParams& p = params<Kernel::dequant_q8>(a);
  const uint8_t* w = a.buffer<const uint8_t>(0);
  half* y = a.buffer<half>(2);
  const uint64_t columns = p.columns, row_bytes = p.row_bytes;
  // A piece inside one block of a row shares the block's scale: its values
  // are made as a run and rounded to half in one call.
  // The products vectorise 8 wide in the AVX2 form.
  const ThreadRange t = threads_of(a, g);
  const uint64_t end = t.end < p.count ? t.end : p.count;
  with_vector_forms([&] {
    for (uint64_t i = t.begin; i < end;) {
      const uint64_t row = i / columns, column = i % columns, in_block = column % kQ8BlockValues;
      uint64_t n = kQ8BlockValues - in_block;
      if (n > columns - column) n = columns - column;
      if (n > end - i) n = end - i;
      const uint8_t* block = w + row * row_bytes + (column / kQ8BlockValues) * kQ8BlockBytes;
      float scale;
      std::memcpy(&scale, block + kQ8BlockValues, sizeof scale);
      float v[kQ8BlockValues];
      for (uint64_t j = 0; j < n; ++j) v[j] = float(int8_t(block[in_block + j])) * scale;
      narrow_n(v, y + i, n);
      i += n;
    }
  });
}

template <class A>
bool dequant_q8_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const TableParams& p = params<Kernel::dequant_q8>(a);
  if (p.columns == 0) return mtl::kernel_refuse("columns is 0", e);
  if (p.row_bytes < q8_row_bytes(p.columns)) return mtl::kernel_refuse("row bytes too small for the row", e);
  return mtl::kernel_require(a, 0, mtl::sat_mul(ceil_div(p.count, p.columns), p.row_bytes), e) &&
         require_elements(a, 2, p.count, 2, e);
}

VORN_INSTANTIATE_KERNEL(embedding)
VORN_INSTANTIATE_KERNEL(embedding_q8)
VORN_INSTANTIATE_KERNEL(dequant_q8)

}  // namespace vorn::shaders
