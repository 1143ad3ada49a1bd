// Lowering rules of the resampling family: Resize and GridSample
// (DeformUnfold comes from a model-specific rewrite).
#include <cstring>

#include "container/attr_words.h"
#include "converter/lowering_internal.h"
#include "converter/lowering_rules.h"

namespace vorn {

namespace {

bool is_text(const uint8_t* p, uint64_t n, const char* t) { return p != nullptr && text_equal(p, n, t); }

// Nearest Resize in options mode. The engines repeat each value by whole
// factors (which equals ONNX's nearest for the rounding modes checked
// here); shrinking by 2, 4 or 8 becomes Slices that pick one source row and
// column of each block, the one ONNX's coordinate mode and rounding select.
bool lower_nearest_resize(Lower& L, BuilderNode& n, uint64_t H, uint64_t W, uint64_t oh, uint64_t ow, bool scaled,
                          float scale_h, float scale_w) {
  const uint8_t *coord = nullptr, *round = nullptr;
  uint64_t coord_len = 0, round_len = 0;
  node_attribute(L, "coordinate_transformation_mode", nullptr, &coord, &coord_len);
  node_attribute(L, "nearest_mode", nullptr, &round, &round_len);
  const bool half_pixel = coord == nullptr || is_text(coord, coord_len, "half_pixel") ||
                          is_text(coord, coord_len, "pytorch_half_pixel");
  const bool asymmetric = is_text(coord, coord_len, "asymmetric");
  const bool prefer_floor = round == nullptr || is_text(round, round_len, "round_prefer_floor");
  const bool prefer_ceil = is_text(round, round_len, "round_prefer_ceil");
  const bool floor_mode = is_text(round, round_len, "floor");
  const bool ceil_mode = is_text(round, round_len, "ceil");
  if (!half_pixel && !asymmetric) return L.refuse("nearest resizing with this coordinate mode is not supported");
  const uint64_t in_size[2] = {H, W}, out_size[2] = {oh, ow};
  const float scale[2] = {scale_h, scale_w};
  bool up = false, down = false;
  uint64_t factor[2] = {1, 1};
  for (int a = 0; a < 2; ++a) {
    uint64_t i = in_size[a], o = out_size[a];
    if (o == i) continue;
    if (o > i && o % i == 0) {
      uint64_t f = o / i;
      if (scaled && scale[a] != static_cast<float>(f)) return L.refuse("a scale that is not the ratio of the sizes");
      // Which source index each output takes: half-pixel rounds to i / f
      // in both rounding directions; asymmetric floors (or rounds a 0.5 tie
      // down for f = 2).
      bool ok = half_pixel ? (prefer_floor || prefer_ceil) : (floor_mode || (prefer_floor && f == 2));
      if (!ok) return L.refuse("nearest resizing with this rounding mode is not supported");
      up = true;
      factor[a] = f;
    } else if (o < i && i % o == 0 && (i / o == 2 || i / o == 4 || i / o == 8)) {
      uint64_t k = i / o;
      if (scaled && scale[a] != 1.0f / static_cast<float>(k)) return L.refuse("a scale that is not the ratio of the sizes");
      down = true;
      factor[a] = k;
    } else {
      return L.refuse("nearest resizing by other than whole factors is not supported");
    }
  }
  if (up && down) return L.refuse("growing one axis and shrinking the other is not supported");
  const uint64_t in = n.input(0), out = n.output(0);
  BuilderValue& x = L.v(in);
  uint64_t o4[4] = {x.dims[0], x.dims[1], oh, ow};
  set_shape(L.v(out), 4, o4);
  for (uint64_t k = 1; k < n.input_count() && k < 8; ++k)
    if (L.valid(n.input(k))) L.v(n.input(k)).padded_size = kConsumedMark;
  if (up) {
    n.attr(attr::Resize::kFactorH) = oh / H;
    n.attr(attr::Resize::kFactorW) = ow / W;
    n.attr(attr::Resize::kLinear) = 0;
    n.w[1] = 1;
    for (int k = 3; k < 10; ++k) n.w[k] = kNoIndex;
    return true;
  }
  // Shrinking: output i reads source k*i + offset.
  uint64_t offset[2] = {0, 0};
  for (int a = 0; a < 2; ++a) {
    uint64_t k = factor[a];
    if (k == 1 || asymmetric) continue;
    // half_pixel: the source coordinate is k*i + (k - 1) / 2, a tie for even k.
    offset[a] = prefer_ceil || ceil_mode ? k / 2 : k / 2 - 1;
  }
  uint64_t dims[4] = {x.dims[0], x.dims[1], x.dims[2], x.dims[3]};
  uint64_t src = in;
  int parts = (factor[0] != 1) + (factor[1] != 1);
  int done = 0;
  for (int a = 0; a < 2; ++a) {
    if (factor[a] == 1) continue;
    dims[2 + a] = out_size[a];
    uint64_t dst = out;
    if (++done < parts) {
      dst = builder_derive_value(L.s, out, "#rows", 5);
      if (dst == kNoValue || dst == out) return L.stop(kLowerNoCode);
      set_shape(L.v(dst), 4, dims);
    }
    BuilderNode* s = done == 1 ? &L.s.nodes[L.node] : insert_after_current(L);
    if (s == nullptr) return L.refuse("the node table is full");
    s->w[0] = op::Slice;
    s->w[1] = 1;
    s->w[2] = src;
    for (int k = 3; k < 10; ++k) s->w[k] = kNoIndex;
    s->w[10] = 1;
    s->w[11] = dst;
    s->attr(attr::Slice::kAxis) = 2 + static_cast<uint64_t>(a);
    s->attr(attr::Slice::kStart) = offset[a];
    s->attr(attr::Slice::kLength) = out_size[a];
    s->attr(attr::Resize::kFactorH) = factor[a];
    src = dst;
  }
  return true;
}

}  // namespace

bool lower_resize(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  const uint64_t out = n.output(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  const BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  uint64_t d[4] = {x.dims[0], x.dims[1], x.dims[2], x.dims[3]};
  if (x.rank != 4) return L.stop(kLowerRank4);
  uint64_t H = d[2], W = d[3];
  if (H > (uint64_t{1} << 32) || W > (uint64_t{1} << 32)) return L.refuse("an input side too large");
  uint64_t oh = 2 * H, ow = 2 * W;
  float scale_h = 0, scale_w = 0;
  bool sized = false, scaled = false, n_c_kept = true;
  for (uint64_t k = 1; k < n.input_count() && k < 8; ++k) {
    uint64_t v = n.input(k);
    if (!L.valid(v)) continue;
    const BuilderValue& c = L.v(v);
    if (c.data == nullptr) {
      if (L.options && c.size == 0 && elem_count(c) != 0 && c.kind != kValueWeight)
        return L.refuse_runtime("scales or sizes", v);
      continue;
    }
    if (c.elem != kElemI64 && c.size == 16) {
      float sc[4];
      std::memcpy(sc, c.data, 16);
      for (int a = 2; a < 4; ++a)
        if (!(sc[a] <= 1e6f)) return L.refuse("a scale that is not finite or too large");
      if (sc[2] > 0) oh = static_cast<uint64_t>(sc[2] * static_cast<float>(H) + 0.0001f), scale_h = sc[2];
      if (sc[3] > 0) ow = static_cast<uint64_t>(sc[3] * static_cast<float>(W) + 0.0001f), scale_w = sc[3];
      n_c_kept = sc[0] == 1.0f && sc[1] == 1.0f;
      scaled = true, sized = false;
    } else if (c.elem == kElemI64 && c.size == 32) {
      int64_t sz[4];
      std::memcpy(sz, c.data, 32);
      if (sz[2] != 0) oh = static_cast<uint64_t>(sz[2]);
      if (sz[3] != 0) ow = static_cast<uint64_t>(sz[3]);
      n_c_kept = sz[0] == static_cast<int64_t>(d[0]) && sz[1] == static_cast<int64_t>(d[1]);
      sized = true, scaled = false;
    } else if (L.options && c.size != 0 && (c.elem == kElemI64 ? c.size != 8 * 0 : true) && elem_count(c) != 0 &&
               k >= 2) {
      return L.refuse("scales or sizes other than four values for N, C, H and W");
    }
  }
  if (L.options) {
    if (!scaled && !sized) return L.refuse("neither constant scales nor constant sizes");
    if (!n_c_kept) return L.refuse("resizing the batch or channel axes is not supported");
    if (oh == 0 || ow == 0) return L.refuse("an empty output");
    if (n.attr(attr::Resize::kLinear) == 1) {
      if (oh > 2048 || ow > 2048) return L.refuse("bilinear outputs above 2048 on a side are not supported");
      // The engines sample at out/in; with given scales ONNX samples at
      // the scale itself, which is the same only when it equals out/in.
      if (scaled && n.attr(attr::Resize::kAlignCorners) != 1 &&
          ((H != 1 && static_cast<float>(oh) / static_cast<float>(H) != scale_h) ||
           (W != 1 && static_cast<float>(ow) / static_cast<float>(W) != scale_w)))
        return L.refuse("a scale that is not the ratio of the output and input sizes");
    } else if (!(oh == H && ow == W) && !(H == 1 && W == 1)) {
      return lower_nearest_resize(L, n, H, W, oh, ow, scaled, scale_h, scale_w);
    }
  }
  n.attr(attr::Resize::kFactorH) = oh > H - 1 && H != 0 ? oh / H : 1;
  n.attr(attr::Resize::kFactorW) = ow > W - 1 && W != 0 ? ow / W : 1;
  if (n.attr(attr::Resize::kFactorH) == 0) n.attr(attr::Resize::kFactorH) = 1;
  if (n.attr(attr::Resize::kFactorW) == 0) n.attr(attr::Resize::kFactorW) = 1;
  for (uint64_t k = 1; k < n.input_count() && k < 8; ++k)
    if (L.valid(n.input(k))) L.v(n.input(k)).padded_size = kConsumedMark;
  n.w[1] = 1;
  for (int k = 3; k < 10; ++k) n.w[k] = kNoIndex;
  uint64_t o[4] = {d[0], d[1], oh, ow};
  set_shape(y, 4, o);
  return true;
}

bool lower_grid_sample(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  const BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  uint64_t d[4] = {x.dims[0], x.dims[1], x.dims[2], x.dims[3]};
  if (n.input_count() < 2 || !L.valid(n.input(1))) return L.refuse("the grid is missing");
  const BuilderValue& g = L.v(n.input(1));
  if (L.options) {
    // The engines sample bilinearly with zeros outside and corners not
    // aligned: the ONNX defaults.
    const uint8_t *mode = nullptr, *padding = nullptr;
    uint64_t mode_len = 0, padding_len = 0;
    int64_t align = 0;
    node_attribute(L, "mode", nullptr, &mode, &mode_len);
    node_attribute(L, "padding_mode", nullptr, &padding, &padding_len);
    node_int_attribute(L, "align_corners", &align);
    if (mode != nullptr && !is_text(mode, mode_len, "bilinear") && !is_text(mode, mode_len, "linear"))
      return L.refuse("only bilinear sampling is supported");
    if (padding != nullptr && !is_text(padding, padding_len, "zeros"))
      return L.refuse("only zero padding is supported");
    if (align != 0) return L.refuse("align_corners=1 is not supported");
    if (g.rank != 4 || g.dims[3] != 2 || g.dims[0] != d[0]) return L.refuse("a grid that is not [N, H, W, 2]");
  }
  uint64_t o[4] = {d[0], d[1], g.dims[1], g.dims[2]};
  set_shape(y, 4, o);
  return true;
}

}  // namespace vorn
