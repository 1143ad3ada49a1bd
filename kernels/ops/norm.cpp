// LayerNormalization, BatchNormalization and InstanceNormalization.
#include <algorithm>
#include <cmath>

#include "container/attr_words.h"
#include "kernels/ops/parallel_chunks.h"
#include "kernels/ops/spatial_common.h"

VORN_VECTORIZE_FILE

namespace vorn {
namespace {

using kern::fail;

// Sum of n values in eight interleaved partial sums: vectorisable, and more
// accurate than one running sum.
float sum8(const float* x, int64_t n) {
  float acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int64_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int l = 0; l < 8; ++l) acc[l] += x[i + l];
  float s = ((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]));
  for (; i < n; ++i) s += x[i];
  return s;
}

// Sum of (x - mean)^2, same layout.
float sq_dev8(const float* x, int64_t n, float mean) {
  float acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int64_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int l = 0; l < 8; ++l) {
      const float d = x[i + l] - mean;
      acc[l] += d * d;
    }
  float s = ((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]));
  for (; i < n; ++i) {
    const float d = x[i] - mean;
    s += d * d;
  }
  return s;
}

// ----------------------------------------------------- LayerNormalization

bool layernorm_shape(const CpuState& s, const NodeRecord& n, int64_t* rows, int64_t* cols, char* msg,
                     size_t cap) {
  if (!kern::has_io(s, n) || !kern::has_input(s, n, 1)) return fail(msg, cap, "needs input, scale and output");
  const ValueRecord& x = node_in_value(s, n, 0);
  if (x.rank() < 1 || x.rank() > 6) return fail(msg, cap, "input rank must be 1 to 6");
  const int64_t c = static_cast<int64_t>(x.dim(x.rank() - 1));
  const int64_t count = kern::value_count(x);
  if (c < 1 || count < 0) return fail(msg, cap, "last dim must be at least 1");
  if (kern::value_count(node_out_value(s, n, 0)) != count) return fail(msg, cap, "output size differs");
  if (kern::value_count(node_in_value(s, n, 1)) != c) return fail(msg, cap, "scale must hold %lld values", (long long)c);
  if (kern::has_input(s, n, 2) && kern::value_count(node_in_value(s, n, 2)) != c)
    return fail(msg, cap, "bias must hold %lld values", (long long)c);
  *rows = count / c;
  *cols = c;
  return true;
}

}  // namespace

namespace {

// A layer normalisation reads each row twice and writes it once: from
// about 16K elements (a transformer's 197 x 192) the pool pays for itself.
constexpr uint64_t kLayerNormSplitElements = uint64_t{1} << 14;

// Rows of the normalised last axis, and whether a shift is given.
struct LayerNormPlan {
  int64_t rows, cols;
  bool has_beta;
};

}  // namespace

bool layernorm_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  LayerNormPlan q{};
  if (!layernorm_shape(s, n, &q.rows, &q.cols, msg, cap)) return false;
  q.has_beta = kern::has_input(s, n, 2);
  plan.set(q);
  return true;
}

bool layernorm_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const LayerNormPlan& q = plan.get<LayerNormPlan>();
  const int64_t rows = q.rows, cols = q.cols;
  const float* x = node_in(s, n, 0);
  const float* gamma = node_in(s, n, 1);
  const float* beta = q.has_beta ? node_in(s, n, 2) : nullptr;
  float* y = node_out(s, n, 0);
  const float eps = n.attr_f32(attr::Norm::kEpsilon), inv = 1.0f / static_cast<float>(cols);
  // Rows are independent: any cut gives the same bits.
  for_chunks(static_cast<uint64_t>(rows), kLayerNormSplitElements, [&](uint64_t begin, uint64_t end) {
    for (int64_t r = static_cast<int64_t>(begin); r < static_cast<int64_t>(end); ++r) {
      const float* xr = x + r * cols;
      float* yr = y + r * cols;
      const float mean = sum8(xr, cols) * inv;
      const float rstd = 1.0f / std::sqrt(std::fma(sq_dev8(xr, cols, mean), inv, eps));
      if (beta != nullptr) {
        for (int64_t j = 0; j < cols; ++j) yr[j] = (xr[j] - mean) * rstd * gamma[j] + beta[j];
      } else {
        for (int64_t j = 0; j < cols; ++j) yr[j] = (xr[j] - mean) * rstd * gamma[j];
      }
    }
  }, static_cast<uint64_t>(cols));
  return true;
}

// ----------------------------------------------------- BatchNormalization

namespace {

// Shape of a per-channel normalisation: the input viewed as planes, each
// one channel of one image; channel arrays (inputs 1 and 2, named in
// `arrays`) must hold a value per channel. Rank 1 is one image of
// channels when rank1_channels is set.
bool channel_planes_shape(const CpuState& s, const NodeRecord& n, bool rank1_channels, const char* arrays,
                          int64_t* channels, int64_t* planes, int64_t* size, char* msg, size_t cap) {
  if (!kern::has_io(s, n) || !kern::has_input(s, n, 1) || !kern::has_input(s, n, 2))
    return fail(msg, cap, "needs input, %s and output", arrays);
  const ValueRecord& x = node_in_value(s, n, 0);
  const int64_t count = kern::value_count(x);
  const uint64_t min_rank = rank1_channels ? 1 : 2;
  if (x.rank() < min_rank || x.rank() > 6 || count < 0)
    return fail(msg, cap, "input rank must be %llu to 6", (unsigned long long)min_rank);
  if (kern::value_count(node_out_value(s, n, 0)) != count) return fail(msg, cap, "output size differs");
  const int64_t c = static_cast<int64_t>(x.rank() > 1 ? x.dim(1) : x.dim(0));
  const int64_t p = (x.rank() > 1 ? c : 1) * static_cast<int64_t>(x.dim(0));
  if (kern::value_count(node_in_value(s, n, 1)) < c || kern::value_count(node_in_value(s, n, 2)) < c)
    return fail(msg, cap, "%s must hold %lld values", arrays, (long long)c);
  *channels = c;
  *planes = p;
  *size = p > 0 ? count / p : 0;
  return true;
}

bool batchnorm_shape(const CpuState& s, const NodeRecord& n, int64_t* channels, int64_t* planes,
                     int64_t* size, char* msg, size_t cap) {
  return channel_planes_shape(s, n, true, "multiplier and addend", channels, planes, size, msg, cap);
}

}  // namespace

namespace {

// The input as planes of one channel of one image each.
struct ChannelPlanes {
  int64_t channels, planes, size;
};

// Below this many elements a BatchNormalization stays on one thread
// whatever the split gate says.
constexpr int64_t kBatchNormSplitElements = 4096;

// BatchNormalization's plan: its planes, whether a Relu was fused in, and
// the form of its plane loop.
struct BatchNormPlan {
  ChannelPlanes q;
  bool relu;
  KernelIsa isa;
};

// x m + t, rounded after the multiply and after the add, then the Relu
// kernel's test when fused (NaN becomes 0, -0 stays).
template <bool kRelu>
void affine_plane(const float* x, float* y, int64_t n, float m, float t) {
  for (int64_t i = 0; i < n; ++i) {
    const float v = x[i] * m + t;
    y[i] = kRelu ? (v >= 0.0f ? v : 0.0f) : v;
  }
}

#if defined(__x86_64__)
// The same loop eight lanes wide: no fused multiply-add in the target, so
// the multiply and the add round as they do in the portable loop.
template <bool kRelu>
[[gnu::target("avx2")]] void affine_plane_avx2(const float* x, float* y, int64_t n, float m, float t) {
  affine_plane<kRelu>(x, y, n, m, t);
}
#endif

}  // namespace

bool batchnorm_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  BatchNormPlan q{};
  if (!batchnorm_shape(s, n, &q.q.channels, &q.q.planes, &q.q.size, msg, cap)) return false;
  q.relu = n.attr(attr::BatchNormalization::kMode) == attr::BatchNormalization::kRelu;
  q.isa = s.isa;
  plan.set(q);
  return true;
}

bool batchnorm_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const BatchNormPlan& bp = plan.get<BatchNormPlan>();
  const int64_t c = bp.q.channels, planes = bp.q.planes, size = bp.q.size;
  const float* x = node_in(s, n, 0);
  const float* a = node_in(s, n, 1);
  const float* b = node_in(s, n, 2);
  float* y = node_out(s, n, 0);
  auto loop = bp.relu ? &affine_plane<true> : &affine_plane<false>;
#if defined(__x86_64__)
  if (isa_has_avx2(bp.isa)) loop = bp.relu ? &affine_plane_avx2<true> : &affine_plane_avx2<false>;
#endif
  // One run of consecutive planes per thread of the pool, so a pass gives
  // each thread the same channels every time; the split gate decides
  // whether the node spreads. Every element is computed alone: any cut
  // gives the same bits.
  const int64_t runs = std::min<int64_t>(static_cast<int64_t>(parallel_thread_count()), planes);
  kern::run_split(planes * size >= kBatchNormSplitElements, static_cast<size_t>(runs), [&](size_t i) {
    const int64_t first = planes * static_cast<int64_t>(i) / runs, last = planes * static_cast<int64_t>(i + 1) / runs;
    for (int64_t p = first; p < last; ++p) loop(x + p * size, y + p * size, size, a[p % c], b[p % c]);
  });
  return true;
}

// -------------------------------------------------- InstanceNormalization

namespace {

// Planes are (image, channel) pairs; the plane is every dim after the
// channel, so rank 3 [N, C, L] normalises over L.
bool instnorm_shape(const CpuState& s, const NodeRecord& n, int64_t* channels, int64_t* planes,
                    int64_t* size, char* msg, size_t cap) {
  return channel_planes_shape(s, n, false, "scale and bias", channels, planes, size, msg, cap);
}

}  // namespace

bool instnorm_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  ChannelPlanes q{};
  if (!instnorm_shape(s, n, &q.channels, &q.planes, &q.size, msg, cap)) return false;
  plan.set(q);
  return true;
}

bool instnorm_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const ChannelPlanes& q = plan.get<ChannelPlanes>();
  const int64_t c = q.channels, planes = q.planes, size = q.size;
  if (size == 0) return true;
  const float* x = node_in(s, n, 0);
  const float* sc = node_in(s, n, 1);
  const float* sh = node_in(s, n, 2);
  float* y = node_out(s, n, 0);
  const float eps = n.attr_f32(attr::Norm::kEpsilon), inv = 1.0f / static_cast<float>(size);
  kern::run_split(planes >= 8 && planes * size >= 65536, static_cast<size_t>(planes), [&](size_t p) {
    const float* xp = x + p * size;
    float* yp = y + p * size;
    const float mean = sum8(xp, size) * inv;
    const float var = sq_dev8(xp, size, mean) * inv;
    const float rstd = 1.0f / std::sqrt(var + eps);
    const float m = sc[p % c] * rstd, t = sh[p % c];
    for (int64_t i = 0; i < size; ++i) yp[i] = (xp[i] - mean) * m + t;
  });
  return true;
}

}  // namespace vorn
