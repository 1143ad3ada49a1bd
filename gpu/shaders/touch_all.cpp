#include "gpu/shaders/touch_source.h"

namespace vorn {

namespace {

// One group's threads fold their words row by row (row j holds the words
// j * kTouchThreads ...), so a group reads contiguous runs instead of one
// word per 128 KiB; each thread's XOR is the same.
void touch_all(const mtl::KernelArgs& a, mtl::Size3 g) {
  const uint32_t* w = a.buffer<const uint32_t>(0);
  uint32_t* out = a.buffer<uint32_t>(1);
  const uint64_t count = a.bytes<uint64_t>(2);
  const uint64_t begin = a.thread_begin_x(g.width), end = a.thread_end_x(g.width);
  for (uint64_t t = begin; t < end; ++t) out[t] = 0;
  for (uint64_t row = 0; row < count; row += kTouchThreads) {
    const uint64_t stop = count - row < end ? count - row : end;
    for (uint64_t t = begin; t < stop; ++t) out[t] ^= w[row + t];
  }
}

bool touch_check(const mtl::KernelArgs& a, std::string* e) {
  if (!mtl::kernel_require(a, 2, 8, e)) return false;
  return mtl::kernel_require(a, 0, mtl::sat_mul(a.bytes<uint64_t>(2), 4), e) &&
         mtl::kernel_require(a, 1, mtl::sat_mul(a.grid.width, 4), e);
}

constexpr mtl::KernelSymbol kTouchSymbols[] = {
    {"touch_all", {touch_all, nullptr}, {touch_check, nullptr}, {nullptr, nullptr}}};
constexpr mtl::KernelSource kTouchSource{nullptr, kTouchSymbols, 1};

}  // namespace

const mtl::KernelSource& touch_kernel_source() { return kTouchSource; }

}  // namespace vorn
