#include "platform/data_type.h"

#include <algorithm>
#include <cstring>

#include "platform/half.h"
#include "platform/parallel.h"

namespace vorn {

namespace {

// Copies of at least this many values use the pool.
constexpr uint64_t kParallelValues = uint64_t{1} << 16;

template <class RowFn>
void for_row_blocks(uint64_t rows, uint64_t cols, RowFn row) {
  if (rows * cols < kParallelValues || rows < 2) {
    for (uint64_t r = 0; r < rows; ++r) row(r);
    return;
  }
  const uint64_t blocks = std::min<uint64_t>(rows, parallel_thread_count() * 4);
  const uint64_t per = (rows + blocks - 1) / blocks;
  parallel_for((rows + per - 1) / per, [&](size_t b) {
    const uint64_t end = std::min(rows, (b + 1) * per);
    for (uint64_t r = b * per; r < end; ++r) row(r);
  });
}

}  // namespace

void load_rows(const uint8_t* src, uint64_t src_row_bytes, DataType t, uint64_t rows, uint64_t cols, float* dst,
               uint64_t dst_ld) {
  for_row_blocks(rows, cols, [&](uint64_t r) {
    const uint8_t* s = src + r * src_row_bytes;
    if (t == DataType::kFloat16)
      half_to_float_n(reinterpret_cast<const uint16_t*>(s), dst + r * dst_ld, cols);
    else
      std::memcpy(dst + r * dst_ld, s, cols * 4);
  });
}

void store_rows(const float* src, uint64_t src_ld, uint64_t rows, uint64_t cols, uint8_t* dst,
                uint64_t dst_row_bytes, DataType t) {
  for_row_blocks(rows, cols, [&](uint64_t r) {
    uint8_t* d = dst + r * dst_row_bytes;
    if (t == DataType::kFloat16)
      float_to_half_n(src + r * src_ld, reinterpret_cast<uint16_t*>(d), cols);
    else
      std::memmove(d, src + r * src_ld, cols * 4);
  });
}

}  // namespace vorn
