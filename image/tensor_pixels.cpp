// Image-shaped output tensors to packed RGB bytes.
#include <cmath>

#include "image/postprocess.h"
#include "vorn.h"

namespace vorn {

ImageTensorCheck image_tensor_shape(const TensorView& t, ImageTensorShape* shape) {
  if (t.data == nullptr || t.rank < 3 || t.dims == nullptr) return ImageTensorCheck::not_image;
  const uint64_t* d = t.rank == 4 ? t.dims + 1 : t.dims;
  uint64_t c = d[0], h = d[1], w = d[2];
  if ((c != 1 && c != 3) || h == 0 || w == 0) return ImageTensorCheck::bad_channels;
  // Sides past the frame limit are refused rather than cut to 32 bits.
  if (h > VORN_MAX_FRAME_SIDE || w > VORN_MAX_FRAME_SIDE) return ImageTensorCheck::too_large;
  if (c * h * w > t.count) return ImageTensorCheck::not_image;
  *shape = {uint32_t(c), uint32_t(h), uint32_t(w)};
  return ImageTensorCheck::ok;
}

uint8_t pixel_byte(float v, float scale, float offset) {
  float x = std::fma(v, scale, offset);
  if (x < 0.0f) return 0;
  if (x > 255.0f) return 255;
  if (std::isnan(x)) return 0;
  float r = std::trunc(x + 0.5f);
  return r > 255.0f ? 255 : uint8_t(r);
}

void planar_to_rgb(const float* values, const ImageTensorShape& shape, float scale, float offset,
                   uint8_t* rgb) {
  uint64_t plane = uint64_t(shape.width) * shape.height;
  const float* r = values;
  const float* g = shape.channels == 3 ? values + plane : values;
  const float* b = shape.channels == 3 ? values + 2 * plane : values;
  for (uint64_t p = 0; p < plane; ++p) {
    rgb[3 * p + 0] = pixel_byte(r[p], scale, offset);
    rgb[3 * p + 1] = pixel_byte(g[p], scale, offset);
    rgb[3 * p + 2] = pixel_byte(b[p], scale, offset);
  }
}

}  // namespace vorn
