// Reusable float scratch for the matrix-product object and the graph layer:
// F16 operands are widened into it once per product and products of F16
// results are computed in it before their one rounding. A lease takes the
// smallest free block that is large enough (or makes one) and gives it back
// when it ends, so a model's repeated passes allocate only on their first
// run. Free blocks are kept until scratch_pool_trim.
#pragma once
#include <cstddef>

namespace vorn {

class ScratchLease {
 public:
  ScratchLease() = default;
  // At least floats values (contents undefined). Throws std::bad_alloc when
  // memory runs out.
  explicit ScratchLease(size_t floats);
  ~ScratchLease();
  ScratchLease(ScratchLease&& other) noexcept;
  ScratchLease& operator=(ScratchLease&& other) noexcept;
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  float* data() const { return data_; }

 private:
  float* data_ = nullptr;
  size_t capacity_ = 0;
};

// Frees every block not leased now; returns the bytes freed.
size_t scratch_pool_trim();
// Bytes held by the pool's free blocks.
size_t scratch_pool_free_bytes();

}  // namespace vorn
