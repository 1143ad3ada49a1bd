#include "generation/lanczos.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

#include "platform/cpu_features.h"
#include "platform/parallel.h"

namespace vorn::gen {

namespace {

constexpr int kPrecisionBits = 22;
constexpr int32_t kHalf = 1 << (kPrecisionBits - 1);
// The output rows are shared out in this many interleaved parts.
constexpr uint32_t kWorkers = 4;
// The horizontal pass turns this many rows at once into a column-major block
// of 32-bit lanes (row r, channel c in lane c * 8 + r), so that each tap is
// one multiply-add over 24 lanes instead of three scalar ones.
constexpr uint32_t kBlockRows = 8;
constexpr uint32_t kLanes = kBlockRows * 3;
static_assert(kBlockRows == 8, "the horizontal pass holds a block in three vectors of eight lanes");
// Eight 32-bit lanes; plain integer arithmetic, so every instruction set
// gives the same bytes.
typedef int32_t Lanes8 __attribute__((vector_size(32)));
// The vertical pass sums one stretch of a row at a time in a stack buffer
// that stays in the first-level cache.
constexpr uint32_t kChunk = 1536;

double sinc(double t) {
  if (t == 0.0) return 1.0;
  const double a = std::numbers::pi * t;
  return std::sin(a) / a;
}

double lanczos3(double x) {
  if (-3.0 <= x && x < 3.0) return sinc(x) * sinc(x / 3.0);
  return 0.0;
}

bool dims_valid(uint64_t width, uint64_t height) {
  return width >= 1 && width <= kRgbMaxSide && height >= 1 && height <= kRgbMaxSide &&
         width * height <= kRgbMaxArea;
}

uint8_t clamp_byte(int32_t acc) {
  const int32_t v = acc >> kPrecisionBits;
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

struct ResizeJob {
  const RgbImage* src;
  RgbImage* dst;
  const LanczosWeights* filter;
  bool horizontal;
  bool avx2;
  // The horizontal pass's gather blocks, one per worker, made by the caller
  // so that running out of memory fails the call rather than a worker.
  int32_t* blocks;
};

// Rows [row0, row0 + rows) of the source into the block, padding missing
// rows with zeros.
[[gnu::always_inline]] inline void gather_block(const RgbImage& src, uint32_t row0, uint32_t rows,
                                                int32_t* block) {
  const uint64_t stride = uint64_t{src.width} * 3;
  const uint8_t* base = src.pixels.data() + row0 * stride;
  for (uint32_t x = 0; x < src.width; ++x) {
    int32_t* lane = block + uint64_t{x} * kLanes;
    for (uint32_t r = 0; r < kBlockRows; ++r) {
      const bool have = r < rows;
      const uint8_t* p = base + r * stride + x * 3;
      lane[0 * kBlockRows + r] = have ? p[0] : 0;
      lane[1 * kBlockRows + r] = have ? p[1] : 0;
      lane[2 * kBlockRows + r] = have ? p[2] : 0;
    }
  }
}

[[gnu::always_inline]] inline void horizontal_block(const ResizeJob& job, uint32_t row0, uint32_t rows,
                                                    int32_t* block) {
  const RgbImage& src = *job.src;
  RgbImage& dst = *job.dst;
  const LanczosWeights& f = *job.filter;
  gather_block(src, row0, rows, block);
  const uint64_t out_stride = uint64_t{dst.width} * 3;
  uint8_t* out = dst.pixels.data() + row0 * out_stride;
  for (uint32_t x = 0; x < dst.width; ++x) {
    const int32_t* w = f.weights.data() + uint64_t{x} * f.taps;
    const int32_t* column = block + uint64_t{f.start[x]} * kLanes;
    const uint32_t count = f.count[x];
    // Three vectors of eight lanes: one multiply-add each per tap.
    Lanes8 a0 = Lanes8{} + kHalf, a1 = a0, a2 = a0;
    for (uint32_t k = 0; k < count; ++k) {
      const Lanes8 wk = Lanes8{} + w[k];
      const int32_t* p = column + uint64_t{k} * kLanes;
      Lanes8 p0, p1, p2;
      std::memcpy(&p0, p, sizeof p0);
      std::memcpy(&p1, p + 8, sizeof p1);
      std::memcpy(&p2, p + 16, sizeof p2);
      a0 += wk * p0;
      a1 += wk * p1;
      a2 += wk * p2;
    }
    int32_t acc[kLanes];
    std::memcpy(acc, &a0, sizeof a0);
    std::memcpy(acc + 8, &a1, sizeof a1);
    std::memcpy(acc + 16, &a2, sizeof a2);
    for (uint32_t r = 0; r < rows; ++r) {
      uint8_t* o = out + r * out_stride + x * 3;
      if (count == 0) {
        o[0] = o[1] = o[2] = 0;
        continue;
      }
      o[0] = clamp_byte(acc[0 * kBlockRows + r]);
      o[1] = clamp_byte(acc[1 * kBlockRows + r]);
      o[2] = clamp_byte(acc[2 * kBlockRows + r]);
    }
  }
}

[[gnu::always_inline]] inline void vertical_row(const ResizeJob& job, uint32_t y) {
  const RgbImage& src = *job.src;
  RgbImage& dst = *job.dst;
  const LanczosWeights& f = *job.filter;
  const uint64_t stride = uint64_t{src.width} * 3;
  uint8_t* out = dst.pixels.data() + y * stride;
  const uint32_t count = f.count[y];
  if (count == 0) {
    std::memset(out, 0, stride);
    return;
  }
  const int32_t* w = f.weights.data() + uint64_t{y} * f.taps;
  const uint8_t* first = src.pixels.data() + uint64_t{f.start[y]} * stride;
  int32_t acc[kChunk];
  for (uint64_t off = 0; off < stride; off += kChunk) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, stride - off));
    for (uint32_t i = 0; i < n; ++i) acc[i] = kHalf;
    for (uint32_t k = 0; k < count; ++k) {
      const int32_t wk = w[k];
      const uint8_t* p = first + k * stride + off;
      for (uint32_t i = 0; i < n; ++i) acc[i] += wk * static_cast<int32_t>(p[i]);
    }
    for (uint32_t i = 0; i < n; ++i) out[off + i] = clamp_byte(acc[i]);
  }
}

[[gnu::always_inline]] inline void run_worker(const ResizeJob& job, uint32_t worker, int32_t* block) {
  if (job.horizontal) {
    const uint32_t height = job.dst->height;
    const uint32_t blocks = (height + kBlockRows - 1) / kBlockRows;
    for (uint32_t b = worker; b < blocks; b += kWorkers) {
      const uint32_t row0 = b * kBlockRows;
      horizontal_block(job, row0, std::min(kBlockRows, height - row0), block);
    }
  } else {
    for (uint32_t y = worker; y < job.dst->height; y += kWorkers) vertical_row(job, y);
  }
}

void run_worker_generic(const ResizeJob& job, uint32_t worker, int32_t* block) {
  run_worker(job, worker, block);
}

#if defined(__x86_64__)
[[gnu::target("avx2,fma")]] void run_worker_avx2(const ResizeJob& job, uint32_t worker, int32_t* block) {
  run_worker(job, worker, block);
}
#endif

// One of the four parts of the output: in the horizontal pass the blocks of
// eight rows b, b + 4, ..., in the vertical pass the rows y, y + 4, ...
// Each output row depends only on the source and the weights, so the split
// never changes a byte.
void resize_rows(void* context, size_t worker) {
  const ResizeJob& job = *static_cast<const ResizeJob*>(context);
  int32_t* block = job.horizontal ? job.blocks + worker * uint64_t{job.src->width} * kLanes : nullptr;
#if defined(__x86_64__)
  if (job.avx2) {
    run_worker_avx2(job, static_cast<uint32_t>(worker), block);
    return;
  }
#endif
  run_worker_generic(job, static_cast<uint32_t>(worker), block);
}

}  // namespace

RgbImage rgb_image_uninit(uint32_t width, uint32_t height) {
  if (!dims_valid(width, height)) throw std::runtime_error("Image dimensions");
  RgbImage image;
  image.width = width;
  image.height = height;
  image.orientation = 1;
  image.pixels.resize(uint64_t{width} * height * 3);
  return image;
}

RgbImage rgb_image_new(uint32_t width, uint32_t height) {
  RgbImage image = rgb_image_uninit(width, height);
  std::fill(image.pixels.begin(), image.pixels.end(), uint8_t{0});
  return image;
}

LanczosWeights lanczos_weights(uint32_t in, uint32_t out) {
  LanczosWeights f;
  const double scale = static_cast<double>(in) / static_cast<double>(out);
  const double filterscale = std::max(scale, 1.0);
  const double support = 3.0 * filterscale;
  f.taps = static_cast<uint32_t>(std::ceil(support)) * 2 + 1;
  f.start.assign(out, 0);
  f.count.assign(out, 0);
  f.weights.assign(uint64_t{out} * f.taps, 0);
  std::vector<double> w(f.taps);
  for (uint32_t i = 0; i < out; ++i) {
    const double center = scale * (i + 0.5);
    const int64_t start = std::max<int64_t>(0, static_cast<int64_t>(center - support + 0.5));
    const int64_t end = std::min<int64_t>(in, static_cast<int64_t>(center + support + 0.5));
    const int64_t count = std::clamp<int64_t>(end - start, 0, f.taps);
    double sum = 0.0;
    for (int64_t k = 0; k < count; ++k) {
      const double x = (static_cast<double>(start + k) - center + 0.5) / filterscale;
      w[k] = lanczos3(x);
      sum += w[k];
    }
    f.start[i] = static_cast<uint32_t>(start);
    f.count[i] = static_cast<uint32_t>(count);
    int32_t* row = f.weights.data() + uint64_t{i} * f.taps;
    for (int64_t k = 0; k < count; ++k) {
      const double v = sum != 0.0 ? w[k] / sum : 0.0;
      row[k] = static_cast<int32_t>(std::round(v * (1 << kPrecisionBits)));
    }
  }
  return f;
}

RgbImage resize_image(const RgbImage& source, uint32_t target, bool horizontal) {
  if (!dims_valid(source.width, source.height) ||
      source.pixels.size() != uint64_t{source.width} * source.height * 3) {
    throw std::runtime_error("Image dimensions");
  }
  const uint32_t in = horizontal ? source.width : source.height;
  if (in == target) return source;
  RgbImage out = horizontal ? rgb_image_uninit(target, source.height)
                            : rgb_image_uninit(source.width, target);
  const LanczosWeights filter = lanczos_weights(in, target);
  std::vector<int32_t> blocks(horizontal ? uint64_t{kWorkers} * source.width * kLanes : 0);
  ResizeJob job{&source, &out, &filter, horizontal, cpu_has_avx2_fma(), blocks.data()};
  dispatch_apply_f(kWorkers, &job, resize_rows);
  return out;
}

}  // namespace vorn::gen
