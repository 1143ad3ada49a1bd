// Lowering of the three operators that only the name-matched rewrites of
// node import produce. Their inputs are whatever the rewrite wired up, so
// each rule first checks that the shapes are those of the model family the
// rewrite was written for: a graph that merely carries the right node names
// is refused here rather than run with shapes the kernels would misread.
#include <cstring>

#include "container/detection_ops.h"
#include "container/records.h"
#include "container/attr_words.h"
#include "converter/conversion_notes.h"
#include "converter/legacy_rewrites.h"
#include "converter/lowering_internal.h"

namespace vorn {

namespace {

const uint8_t kNoName[1] = {0};

// An unnamed F32 weight appended to the value table; null when the table or
// the buffer cannot be had.
float* unnamed_weight(Lower& L, uint64_t rank, const uint64_t* dims, uint64_t* index) {
  uint64_t v = builder_append_value(L.s, kNoName, 0);
  if (v == kNoValue) return nullptr;
  auto* p = reinterpret_cast<float*>(builder_set_const_data(L.s, v, kElemF32, rank, dims));
  if (p == nullptr) return nullptr;
  L.v(v).kind = kValueWeight;
  *index = v;
  return p;
}

bool is_nchw_like(const BuilderValue& v, uint64_t n, uint64_t c, uint64_t h, uint64_t w) {
  return v.rank == 4 && v.dims[0] == n && v.dims[1] == c && v.dims[2] == h && v.dims[3] == w;
}

}  // namespace

bool lower_relative_position_table(Lower& L, BuilderNode& n) {
  const uint64_t table = n.input(0), out = n.output(0);
  if (L.options || !L.valid(table) || !L.valid(out)) return false;
  BuilderValue& t = L.v(table);
  if (t.kind != kValueWeight || t.rank != 2 || t.dims[1] != 64 || !L.f32_data(table, 4)) return false;
  const uint64_t s = t.dims[0] == 27 ? 14 : (t.dims[0] == 127 ? 64 : 0);
  if (s == 0 || t.size < t.dims[0] * 64 * 4) return false;
  convert_notes().rewrites |= kRewriteSam;
  t.padded_size = kConsumedMark;
  // Every (query, key) pair reads the table at their distance: as a
  // [1, s, 64, s] weight the per-row Einsum becomes a batched MatMul.
  const uint64_t dims[4] = {1, s, 64, s};
  const uint8_t* src = t.data;
  float* p = f32_weight(L, out, 4, dims);
  if (p != nullptr)
    for (uint64_t i = 0; i < s; ++i)
      for (uint64_t c = 0; c < 64; ++c)
        for (uint64_t j = 0; j < s; ++j) p[(i * 64 + c) * s + j] = raw_f32(src, (i + s - 1 - j) * 64 + c);
  make_self_identity(n);
  return true;
}

bool lower_deform_unfold(Lower& L, BuilderNode& n) {
  if (n.input_count() < 3 || !L.valid(n.input(0)) || !L.valid(n.input(1)) || !L.valid(n.input(2)))
    return L.refuse("the deformable-convolution rewrite found no input, offsets or mask");
  const BuilderValue& x = L.v(n.input(0));
  const BuilderValue& offsets = L.v(n.input(1));
  const BuilderValue& mask = L.v(n.input(2));
  if (x.rank != 4 || x.dims[2] == 0 || x.dims[3] == 0 || x.dims[2] > (uint64_t{1} << 24) ||
      x.dims[3] > (uint64_t{1} << 24))
    return L.refuse("the deformable-convolution rewrite needs an [N, C, H, W] input");
  // The kernel size follows from the mask's channels: one per tap.
  const uint64_t k = mask.dims[1] == 1 ? 1 : (mask.dims[1] == 9 ? 3 : 7);
  const uint64_t n0 = x.dims[0], h = x.dims[2], w = x.dims[3];
  if (!is_nchw_like(mask, n0, k * k, h, w) || !is_nchw_like(offsets, n0, 2 * k * k, h, w))
    return L.refuse(
        "the deformable-convolution rewrite needs offsets [N, 2 k k, H, W] and a mask [N, k k, H, W] with k 1, 3 or "
        "7 over the input's H and W (mask channels %llu, offset channels %llu)",
        static_cast<unsigned long long>(mask.dims[1]), static_cast<unsigned long long>(offsets.dims[1]));
  n.attr(attr::DeformUnfold::kKernel) = k;
  n.attr(attr::DeformUnfold::kKernelW) = k;
  const uint64_t out[4] = {n0, x.dims[1], k * h, k * w};
  set_shape(L.v(n.output(0)), 4, out);
  // The base sampling grid: tap (a, b) of position (h, w) before its offset.
  const uint64_t plane = (k * h) * (k * w);
  const uint64_t grid_dims[2] = {2, plane};
  if (!const_size_ok(2, grid_dims)) return true;
  uint64_t grid = kNoValue;
  float* g = unnamed_weight(L, 2, grid_dims, &grid);
  if (g == nullptr) return true;
  const uint64_t o = k == 1 ? 1 : 0;
  for (uint64_t r = 0; r < h; ++r)
    for (uint64_t a = 0; a < k; ++a)
      for (uint64_t c = 0; c < w; ++c)
        for (uint64_t b = 0; b < k; ++b) {
          const uint64_t at = (r * k + a) * (k * w) + c * k + b;
          g[at] = static_cast<float>(r + a + o);
          g[plane + at] = static_cast<float>(c + b + o);
        }
  n.w[5] = grid;
  n.w[1] = 4;
  return true;
}

bool lower_detr_topk(Lower& L, BuilderNode& n) {
  if (n.input_count() < 2 || !L.valid(n.input(0)) || !L.valid(n.input(1)))
    return L.refuse("the query-selection rewrite found no logits or no query rows");
  const BuilderValue& logits = L.v(n.input(0));
  const BuilderValue& rows = L.v(n.input(1));
  if (logits.rank != 3 || logits.dims[0] != 1 || logits.dims[1] < kDetrKeep || logits.dims[2] == 0 ||
      rows.rank != 3 || rows.dims[0] != 1 || rows.dims[1] != logits.dims[1] || rows.dims[2] == 0)
    return L.refuse(
        "the query-selection rewrite needs logits [1, Q, C] and rows [1, Q, D] with Q at least %llu (got ranks %llu "
        "and %llu, Q %llu and %llu)",
        static_cast<unsigned long long>(kDetrKeep), static_cast<unsigned long long>(logits.rank),
        static_cast<unsigned long long>(rows.rank), static_cast<unsigned long long>(logits.dims[1]),
        static_cast<unsigned long long>(rows.dims[1]));
  const uint64_t out[3] = {1, kDetrKeep, rows.dims[2]};
  set_shape(L.v(n.output(0)), 3, out);
  return true;
}

bool lower_mask_to_box_logit(Lower& L, BuilderNode& n) {
  if (n.input_count() < 1 || !L.valid(n.input(0))) return L.refuse("the mask-to-box rewrite found no masks");
  const BuilderValue& masks = L.v(n.input(0));
  const uint64_t side = kMaskSide;
  // The masks arrive as the batched product [1, 300, 200 * 200] or already
  // as planes; the kernel reads 300 planes of 200 x 200 either way.
  if (masks.rank < 2 || masks.dims[masks.rank == 2 ? 0 : 1] != kMaskCount ||
      elem_count(masks) != kMaskCount * side * side)
    return L.refuse("the mask-to-box rewrite needs %llu masks of %llu x %llu",
                    static_cast<unsigned long long>(kMaskCount), static_cast<unsigned long long>(side),
                    static_cast<unsigned long long>(side));
  const uint64_t out[3] = {1, kMaskCount, 4};
  set_shape(L.v(n.output(0)), 3, out);
  // Pixel coordinates 1 .. 200 along a mask side.
  const uint64_t dims[3] = {1, 1, side};
  uint64_t coords = kNoValue;
  float* c = unnamed_weight(L, 3, dims, &coords);
  if (c == nullptr) return true;
  for (uint64_t i = 0; i < side; ++i) c[i] = static_cast<float>(i + 1);
  n.w[3] = coords;
  n.w[1] = 2;
  return true;
}

// The [*, 25200, 6] raw-sigmoid rewrite of YOLO-style detectors, before
// the node loop: the box decoding between each head Conv and the final
// Concat is replaced by a Flatten and a Sigmoid.
void raw_sigmoid_rewrite(Lower& L) {
  BuilderState& s = L.s;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    BuilderNode& n = s.nodes[i];
    if (n.op() != op::Concat || n.input_count() != 3 || !L.valid(n.output(0))) continue;
    const BuilderValue& o = s.values[n.output(0)];
    if (o.kind != kValueGraphOutput || o.dims[1] != 25200 || o.dims[2] != 6) continue;
    convert_notes().rewrites |= kRewriteRawSigmoid;
    n.attr(attr::Concat::kAxis) = 2;
    for (uint64_t k = 0; k < 3; ++k) {
      uint64_t v = n.input(k);
      for (uint64_t p = 24; p < i; ++p) {
        if (s.nodes[p].output(0) != v || s.nodes[p - 24].op() != op::Conv) continue;
        BuilderNode& f = s.nodes[p - 23];
        uint64_t conv_out = s.nodes[p - 24].output(0);
        uint64_t flat_out = f.output(0);
        f.w[0] = op::Flatten, f.w[1] = 1, f.w[2] = conv_out, f.w[10] = 1, f.attr(attr::kRawSigmoidFlattenWord) = attr::kRawSigmoidFlattenMarker;
        BuilderNode& g = s.nodes[p - 22];
        g.w[0] = op::Sigmoid, g.w[1] = 1, g.w[2] = flat_out, g.w[10] = 1, g.w[11] = v;
        for (uint64_t q = p - 21; q <= p; ++q) {
          s.nodes[q].w[0] = op::Identity, s.nodes[q].w[1] = 1, s.nodes[q].w[2] = v;
          s.nodes[q].w[10] = 1, s.nodes[q].w[11] = v;
        }
      }
    }
  }
}

}  // namespace vorn
