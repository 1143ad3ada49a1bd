// Lanczos-3 resampling of 8-bit RGB images in fixed point, one axis per
// call: the image views of a generation request (fitting, tiles, the
// 512 x 512 views) all go through it. Weights are computed in f64 once per
// call and applied as 22-bit fixed-point integers, so the bytes are the same
// on every machine and whatever the number of cores.
//
// Generation keeps its own RgbImage (owned bytes) in vorn::gen; the frame
// loaders' record of the same name in image/ holds a malloc block instead.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

namespace vorn::gen {

// Leaves new elements uninitialised, so that a resize does not first zero
// the image it is about to overwrite.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using PixelBytes = std::vector<uint8_t, DefaultInitAllocator<uint8_t>>;

inline constexpr uint32_t kRgbMaxSide = 32768;
inline constexpr uint64_t kRgbMaxArea = 100000000;

// Packed R, G, B rows, top to bottom, no padding: width * height * 3 bytes.
struct RgbImage {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t orientation = 1;  // images made here are always upright
  PixelBytes pixels;
};

// A zero-filled image; std::runtime_error "Image dimensions" when a side is
// outside 1..32768 or the area passes 100,000,000.
RgbImage rgb_image_new(uint32_t width, uint32_t height);
// The same with the pixels left unset, for callers that write every byte.
RgbImage rgb_image_uninit(uint32_t width, uint32_t height);

// Resamples along one axis: horizontal changes the width to target, else the
// height. A source that already has target pixels along the axis comes back
// as an exact copy. Throws "Image dimensions" for a target outside the
// limits. The output rows are shared out over the worker pool in four
// interleaved parts; the bytes never depend on how many threads ran them.
RgbImage resize_image(const RgbImage& source, uint32_t target, bool horizontal);

// The fixed-point filter of one axis, exposed for tests: for output i,
// source indices start[i] .. start[i] + count[i] - 1 with weights
// weights[i * taps + k].
struct LanczosWeights {
  uint32_t taps = 0;
  std::vector<uint32_t> start;
  std::vector<uint32_t> count;
  std::vector<int32_t> weights;
};
LanczosWeights lanczos_weights(uint32_t in, uint32_t out);

}  // namespace vorn::gen
