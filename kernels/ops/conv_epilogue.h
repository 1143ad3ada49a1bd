// What finishes each output value of a convolution after its product: the
// channel's bias and the fused activation. Products apply it while their
// tile is still in registers or cache; the plain span form below is the
// reference every vector form rounds like.
#pragma once
#include <cstdint>

#include "container/attr_words.h"
#include "kernels/kernel_isa.h"

namespace vorn::kern {

// Fused operation applied after the product (the Conv's fusion mode).
enum ConvAct : int {
  kActNone = attr::Conv::kNone,
  kActRelu = attr::Conv::kRelu,
  kActReluAffine = attr::Conv::kReluScaleShift,
  kActLeaky = attr::Conv::kLeakyRelu,
  kActClip = attr::Conv::kClip,
  kActHardSwish = attr::Conv::kHardSwish,
  // LeakyRelu with one slope per channel (a fused PRelu), read from the
  // parameters after the bias: t >= 0 ? t : t * slope[c].
  kActPRelu = attr::Conv::kPRelu,
  // The residual value at the same position added after the bias (then
  // Relu), as a separate Add (and Relu) of the unfused graph would.
  kActAdd = attr::Conv::kAdd,
  kActAddRelu = attr::Conv::kAddRelu,
  kActSiLU = attr::Conv::kSiLU,
};

inline bool conv_act_adds(int act) { return act == kActAdd || act == kActAddRelu; }

// Bias and fused activation of one output channel: params is input 2's
// data (null without bias), cout the channel stride of its arrays (three
// for activation 2, two for a fused PRelu).
struct ChannelEpilogue {
  const float* params = nullptr;
  int64_t cout = 0, c = 0;
  int act = kActNone;
  float slope = 0.0f, hi = 0.0f;
};

// Applies bias and the fused activation of output channel c to len
// consecutive values of its plane. params is input 2's data (null without
// bias); cout is the channel stride of the three arrays of activation 2.
// slope is LeakyRelu's slope or Clip's lower bound, hi Clip's upper bound;
// res holds the len residual values of the span (activations 7 and 8).
void conv_epilogue_span(float* v, int64_t len, int64_t c, const float* params, int64_t cout,
                        int act, float slope, float hi = 0.0f, const float* res = nullptr);

// A form of conv_epilogue_span; every form gives its bits.
using EpilogueSpan = void (*)(float* v, int64_t len, int64_t c, const float* params, int64_t cout, int act,
                              float slope, float hi, const float* res);

// The form for the engine's processor: AVX2 where it has it.
EpilogueSpan conv_epilogue_for(KernelIsa isa);

// The epilogue of `rows` consecutive output channels from c on, len values
// of each, the rows ld values apart (res, when the activation reads one,
// alike): one call per tile instead of one per channel, in the given form's
// bits. Small planes (3 x 3, 5 x 5) otherwise pay a call and a dispatch per
// few values.
void conv_epilogue_rows(EpilogueSpan form, float* v, int64_t ld, int64_t rows, int64_t len, int64_t c,
                        const float* params, int64_t cout, int act, float slope, float hi, const float* res);

#if defined(__x86_64__)
void conv_epilogue_rows_avx2(float* v, int64_t ld, int64_t rows, int64_t len, int64_t c, const float* params,
                             int64_t cout, int act, float slope, float hi, const float* res);
void conv_epilogue_span_avx2(float* v, int64_t len, int64_t c, const float* params, int64_t cout, int act,
                             float slope, float hi, const float* res);
#endif

}  // namespace vorn::kern
