// Fixed-point bilinear resampling of RGB8 into planar floats.
#include "image/resample.h"

#include <cmath>
#include <cstdlib>
#include <vector>

#include "platform/parallel.h"

namespace vorn {

namespace {

struct Tap {
  uint32_t i0;
  uint32_t i1;
  int32_t w0;  // weight of i0 in 1/2048; i1 gets 2048 - w0
};

void make_taps(uint32_t source, uint32_t out, std::vector<Tap>* taps) {
  taps->resize(out);
  const double ratio = static_cast<double>(source) / static_cast<double>(out);
  const double last = static_cast<double>(source - 1);
  for (uint32_t i = 0; i < out; ++i) {
    const double s = (i + 0.5) * ratio - 0.5;
    double f = std::floor(s);
    if (f < 0) f = 0;
    if (f > last) f = last;
    const auto i0 = static_cast<uint32_t>(f);
    const uint32_t i1 = i0 + 1 < source ? i0 + 1 : source - 1;
    int32_t w0 = 2048;
    if (s >= 0 && s < last) w0 = static_cast<int32_t>(std::lround((f - s + 1.0) * 2048.0));
    (*taps)[i] = Tap{i0, i1, w0};
  }
}

}  // namespace

void resample_rgb_to_planes(const RgbRegion& src, const PlaneTarget& dst, const ValueTable& table) {
  if (src.width == 0 || src.height == 0 || dst.out_width == 0 || dst.out_height == 0) return;
  std::vector<Tap> cols, rows;
  make_taps(src.width, dst.out_width, &cols);
  make_taps(src.height, dst.out_height, &rows);
  const uint64_t plane = uint64_t{dst.plane_width} * dst.plane_height;
  auto row_job = [&](size_t r) {
    const Tap& ty = rows[r];
    const uint8_t* p0 = src.data + src.stride * ty.i0;
    const uint8_t* p1 = src.data + src.stride * ty.i1;
    const int32_t wy0 = ty.w0;
    const int32_t wy1 = 2048 - wy0;
    const uint64_t base = uint64_t{dst.y + static_cast<uint32_t>(r)} * dst.plane_width + dst.x;
    float* out0 = dst.planes + base;
    float* out1 = out0 + plane;
    float* out2 = out1 + plane;
    for (uint32_t q = 0; q < dst.out_width; ++q) {
      const Tap& tx = cols[q];
      const int32_t wx0 = tx.w0;
      const int32_t wx1 = 2048 - wx0;
      const uint8_t* a0 = p0 + uint64_t{tx.i0} * 3;
      const uint8_t* a1 = p0 + uint64_t{tx.i1} * 3;
      const uint8_t* b0 = p1 + uint64_t{tx.i0} * 3;
      const uint8_t* b1 = p1 + uint64_t{tx.i1} * 3;
      int32_t v[3];
      for (int c = 0; c < 3; ++c) {
        const int32_t top = (wx0 * a0[c] + wx1 * a1[c]) >> 4;
        const int32_t bottom = (wx0 * b0[c] + wx1 * b1[c]) >> 4;
        int32_t x = (bottom * wy1 + top * wy0 + 131072) >> 18;
        v[c] = x < 0 ? 0 : (x > 255 ? 255 : x);
      }
      out0[q] = table.v[0][v[0]];
      out1[q] = table.v[1][v[1]];
      out2[q] = table.v[2][v[2]];
    }
  };
  // Rows are independent; large outputs spread them over the pool.
  if (uint64_t{dst.out_width} * dst.out_height >= (1u << 16)) {
    parallel_for(dst.out_height, row_job);
  } else {
    for (uint32_t r = 0; r < dst.out_height; ++r) row_job(r);
  }
}

void fill_planes(float* planes, uint64_t plane_size, const float fill[3]) {
  for (int c = 0; c < 3; ++c) {
    float* p = planes + plane_size * c;
    for (uint64_t i = 0; i < plane_size; ++i) p[i] = fill[c];
  }
}

}  // namespace vorn
