// Convolution kernels: the shape record shared by Conv's layouts, and the
// workspace the engine allocates for Conv and ConvTranspose.
#pragma once
#include <cstddef>
#include <cstdint>

#include "container/attr_words.h"
#include "cpu/kernels/spatial_common.h"

namespace vorn {

// Bytes of im2col workspace the Conv or ConvTranspose node needs so that its
// kernel runs with the band heights the engine expects (64 for any other
// node). The kernels never write past state.im2col_size: a smaller workspace
// only cuts bands thinner, down to the one output row that every check
// requires.
size_t conv_workspace_bytes(const CpuState& state, const NodeRecord& node);

namespace kern {

// Fused operation applied after the product (the Conv's fusion mode).
enum ConvAct : int {
  kActNone = attr::Conv::kNone,
  kActRelu = attr::Conv::kRelu,
  kActReluAffine = attr::Conv::kReluScaleShift,
  kActLeaky = attr::Conv::kLeakyRelu,
  kActClip = attr::Conv::kClip,
  kActHardSwish = attr::Conv::kHardSwish,
};

struct ConvParams {
  Nchw x, y;
  int64_t kh = 1, kw = 1, sh = 1, sw = 1, padt = 0, padl = 0, dh = 1, dw = 1, g = 1;
  int act = kActNone;
  // LeakyRelu's slope, or Clip's lower bound; hi is Clip's upper bound.
  float slope = 0.0f, hi = 0.0f;
  bool has_bias = false;
  bool depthwise_allowed = true;
  int64_t cin_g() const { return x.c / g; }
  int64_t cout_g() const { return y.c / g; }
  // Rows of the column matrix of one partition.
  int64_t k_rows() const { return kh * kw * (x.c / g); }
};

// Reads and validates the Conv node's attributes and shapes; false with a
// reason when the node breaks its size contract.
bool conv_params(const CpuState& s, const NodeRecord& n, ConvParams* p, char* msg, size_t cap);

// True when the depthwise direct kernel runs the node.
inline bool conv_is_depthwise(const ConvParams& p) {
  return p.g == p.x.c && p.y.c == p.x.c && p.g > 1 && p.depthwise_allowed;
}

// Bias and fused activation of one output channel: params is input 2's
// data (null without bias), cout the channel stride of its three arrays.
struct ChannelEpilogue {
  const float* params = nullptr;
  int64_t cout = 0, c = 0;
  int act = kActNone;
  float slope = 0.0f, hi = 0.0f;
};

// One output plane of a depthwise convolution: y = sum over the kernel taps
// inside the input, then the epilogue when one is given. portable_only keeps
// to the baseline instruction set (tests use it to cover that form on any
// machine).
void conv_depthwise_plane(const ConvParams& p, const float* x, const float* w, float* y,
                          bool portable_only = false, const ChannelEpilogue* epi = nullptr);

// Output planes [c0, c1) of a depthwise convolution, each finished with
// its channel's bias and activation when epilogue is set (params is input
// 2's data or null).
void conv_depthwise_planes(const ConvParams& p, const float* x, const float* w, float* y, int64_t c0, int64_t c1,
                           const float* params, bool epilogue);

// Applies bias and the fused activation of output channel c to len
// consecutive values of its plane. params is input 2's data (null without
// bias); cout is the channel stride of the three arrays of activation 2.
// slope is LeakyRelu's slope or Clip's lower bound, hi Clip's upper bound.
void conv_epilogue_span(float* v, int64_t len, int64_t c, const float* params, int64_t cout,
                        int act, float slope, float hi = 0.0f);

}  // namespace kern
}  // namespace vorn
