// Bias and the fused activation of a Conv, applied to a span of one output
// channel's plane while the product that wrote it is still in cache.
#include "cpu/kernels/conv.h"

VORN_VECTORIZE_FILE

namespace vorn::kern {

void conv_epilogue_span(float* v, int64_t len, int64_t c, const float* params, int64_t cout,
                        int act, float slope, float hi) {
  const float b = params != nullptr ? params[c] : 0.0f;
  switch (act) {
    case kActReluAffine: {
      const float m = params[cout + c], a = params[2 * cout + c];
      for (int64_t i = 0; i < len; ++i) {
        float t = v[i] + b;
        t = t >= 0.0f ? t : 0.0f;
        v[i] = t * m + a;
      }
      break;
    }
    case kActRelu:
      for (int64_t i = 0; i < len; ++i) {
        float t = v[i] + b;
        v[i] = t >= 0.0f ? t : 0.0f;
      }
      break;
    case kActLeaky:
      for (int64_t i = 0; i < len; ++i) {
        float t = v[i] + b;
        v[i] = t >= 0.0f ? t : t * slope;
      }
      break;
    // Clip and HardSwish take the same tests and operations, in the same
    // order, as their own kernels, so fusing them changes no bit (NaN
    // passes through both).
    case kActClip:
      for (int64_t i = 0; i < len; ++i) {
        float t = v[i] + b;
        v[i] = t < slope ? slope : (t > hi ? hi : t);
      }
      break;
    case kActHardSwish:
      for (int64_t i = 0; i < len; ++i) {
        float t = v[i] + b;
        float g = t * 0.16666667f;
        g = g + 0.5f;
        g = g < 0.0f ? 0.0f : (g > 1.0f ? 1.0f : g);
        v[i] = t * g;
      }
      break;
    default:
      if (params != nullptr)
        for (int64_t i = 0; i < len; ++i) v[i] += b;
      break;
  }
}

}  // namespace vorn::kern
