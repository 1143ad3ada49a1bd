// Data movement and resampling: concat, gather, scatter, resize, and host
// operations (whose inputs are handed over as dense floats).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/graph_layer_eval.h"
#include "platform/graph_layer_evaluators.h"
#include "platform/graph_layer_plan.h"

namespace vorn::mpsg {

namespace {

constexpr int64_t kChunk = 1024;

// Offset of the outer index o of a value split as outer x (axis...) at axis.
int64_t outer_offset(const Value& v, int64_t axis, int64_t o) {
  int64_t off = 0;
  for (int64_t d = axis; d-- > 0;) {
    off += (o % v.shape[size_t(d)]) * v.strides[size_t(d)];
    o /= v.shape[size_t(d)];
  }
  return off;
}

// Copies the part of v from axis `axis` on (for outer index o) densely.
void copy_block(const Value& v, int64_t axis, int64_t o, float* dst) {
  const int64_t base = outer_offset(v, axis, o);
  int64_t count = 1;
  for (size_t d = size_t(axis); d < v.shape.size(); ++d) count *= v.shape[d];
  if (count == 0) return;
  const int64_t len = v.shape.back(), step = v.strides.back();
  const int64_t rows = count / std::max<int64_t>(len, 1);
  bool dense_tail = v.storage == DataType::kFloat32;
  int64_t expect = 1;
  for (size_t d = v.shape.size(); d-- > size_t(axis);) {
    if (v.shape[d] != 1 && v.strides[d] != expect) dense_tail = false;
    expect *= v.shape[d];
  }
  if (dense_tail) {
    // An input the plan computed in place already lies there.
    const float* src = reinterpret_cast<const float*>(v.base) + base;
    if (src != dst) std::memcpy(dst, src, size_t(count) * 4);
    return;
  }
  for (int64_t r = 0; r < rows; ++r) {
    int64_t off = base, rest = r;
    for (size_t d = v.shape.size() - 1; d-- > size_t(axis);) {
      off += (rest % v.shape[d]) * v.strides[d];
      rest /= v.shape[d];
    }
    read_part(v, off, step, len, dst + r * len);
  }
}

// Index i of v as a position on an axis of bound entries: truncated, a
// negative one counted from the end, then clamped to the axis (NaN reads 0).
bool index_at(const Value& v, int64_t i, int64_t bound, int64_t* out) {
  float f;
  read_part(v, strided_offset(v.shape, v.strides, i), 1, 1, &f);
  double t = std::trunc(double(f));
  if (std::isnan(t)) t = 0.0;
  if (t < 0.0) t += double(bound);
  *out = t < 0.0 ? 0 : t >= double(bound) ? bound - 1 : int64_t(t);
  return bound > 0;
}

}  // namespace

bool eval_concat(const Node& n, const Value* const* in, size_t count, const Value& out, float*, std::string*) {
  const int64_t axis = n.ints[0];
  int64_t outer = 1;
  for (int64_t d = 0; d < axis; ++d) outer *= n.shape[size_t(d)];
  const int64_t block = element_count(n.shape) / std::max<int64_t>(outer, 1);
  float* y = out_floats(out);
  if (block == 0) return true;
  for_rows(outer, block, [&](int64_t o) {
    float* dst = y + o * block;
    for (size_t t = 0; t < count; ++t) {
      copy_block(*in[t], axis, o, dst);
      int64_t part = 1;
      for (size_t d = size_t(axis); d < in[t]->shape.size(); ++d) part *= in[t]->shape[d];
      dst += part;
    }
  });
  finish(n, out);
  return true;
}

bool eval_gather(const Node& n, const Value* const* in, size_t, const Value& out, float*, std::string* error) {
  const Value& x = *in[0];
  const Value& idx = *in[1];
  const int64_t axis = n.ints[0];
  const int64_t dim = x.shape[size_t(axis)];
  int64_t outer = 1, inner = 1;
  for (int64_t d = 0; d < axis; ++d) outer *= x.shape[size_t(d)];
  for (size_t d = size_t(axis) + 1; d < x.shape.size(); ++d) inner *= x.shape[d];
  const int64_t count = element_count(idx.shape);
  float* y = out_floats(out);
  for (int64_t i = 0; i < count; ++i) {
    int64_t k;
    if (!index_at(idx, i, dim, &k)) {
      *error = "graph run: gather from an empty axis";
      return false;
    }
  }
  if (inner == 0 || count == 0 || outer == 0) return true;
  for_rows(outer * count, inner, [&](int64_t r) {
    const int64_t o = r / count, i = r % count;
    int64_t k = 0;
    index_at(idx, i, dim, &k);
    // Element (o, k, 0...) of x, then the inner axes row by row.
    int64_t base = outer_offset(x, axis, o) + k * x.strides[size_t(axis)];
    float* dst = y + r * inner;
    if (size_t(axis) + 1 == x.shape.size()) {
      read_part(x, base, 1, 1, dst);
      return;
    }
    const int64_t len = x.shape.back(), step = x.strides.back();
    for (int64_t row = 0; row < inner / std::max<int64_t>(len, 1); ++row) {
      int64_t off = base, rest = row;
      for (size_t d = x.shape.size() - 1; d-- > size_t(axis) + 1;) {
        off += (rest % x.shape[d]) * x.strides[d];
        rest /= x.shape[d];
      }
      read_part(x, off, step, len, dst + row * len);
    }
  });
  finish(n, out);
  return true;
}

// data copied, then each update slice written at its index tuple, in order
// (a later tuple naming the same slice wins).
bool eval_scatter_nd(const Node& n, const Value* const* in, size_t, const Value& out, float*, std::string* error) {
  const Value& data = *in[0];
  const Value& upd = *in[1];
  const Value& idx = *in[2];
  float* y = out_floats(out);
  copy_dense(data, y);
  const int64_t q = idx.shape.back();
  const int64_t tuples = element_count(idx.shape) / std::max<int64_t>(q, 1);
  int64_t slice = 1;
  for (size_t d = size_t(q); d < data.shape.size(); ++d) slice *= data.shape[d];
  // Dense strides of the output for the indexed axes.
  int64_t stride[kMaxRank];
  int64_t s = slice;
  for (int64_t d = q; d-- > 0;) stride[d] = s, s *= data.shape[size_t(d)];
  for (int64_t t = 0; t < tuples; ++t) {
    int64_t off = 0;
    for (int64_t j = 0; j < q; ++j) {
      int64_t k;
      if (!index_at(idx, t * q + j, data.shape[size_t(j)], &k)) {
        *error = "graph run: scatter into an empty axis";
        return false;
      }
      off += k * stride[j];
    }
    for (int64_t e = 0; e < slice; e += kChunk) {
      const int64_t m = std::min(kChunk, slice - e);
      const int64_t first = t * slice + e;
      if (upd.shape.empty()) {
        read_part(upd, 0, 1, 1, y + off + e);
      } else {
        for (int64_t i = 0; i < m; ++i) read_part(upd, strided_offset(upd.shape, upd.strides, first + i), 1, 1, y + off + e + i);
      }
    }
  }
  finish(n, out);
  return true;
}

int64_t resize_workspace(const Node&, const std::vector<const Layout*>& in) {
  return layout_dense_f32(*in[0]) ? 0 : element_count(in[0]->shape);
}

namespace {

struct Tap {
  int64_t i0, i1;
  float w;
};

// Source taps of output index o along an axis of in -> out values.
Tap bilinear_tap(int64_t o, int64_t in, int64_t out, bool align) {
  const bool a = align && out > 1;
  const float scale = float(in - (a ? 1 : 0)) / float(out - (a ? 1 : 0));
  const float s = align ? float(o) * scale : std::fma(float(o) + 0.5f, scale, -0.5f);
  Tap t{0, 0, 0.0f};
  if (s > 0.0f) {
    t.i0 = std::min<int64_t>(int64_t(s), in - 1);
    t.i1 = std::min<int64_t>(t.i0 + 1, in - 1);
    t.w = s - float(t.i0);
  }
  return t;
}

}  // namespace

bool eval_resize(const Node& n, const Value* const* in, size_t, const Value& out, float* workspace, std::string*) {
  const Value& xv = *in[0];
  const float* x = reinterpret_cast<const float*>(xv.base);
  if (!is_dense_f32(xv)) {
    copy_dense(xv, workspace);
    x = workspace;
  }
  const int64_t planes = n.shape[0] * n.shape[1], h = xv.shape[2], w = xv.shape[3], ho = n.shape[2], wo = n.shape[3];
  float* y = out_floats(out);
  if (planes * ho * wo == 0) return true;
  const bool bilinear = n.ints[0] != 0, align = n.ints[2] != 0;
  if (ho == h && wo == w) {
    std::memcpy(y, x, size_t(planes * h * w) * 4);
  } else if (h == 1 && w == 1) {
    for_rows(planes, ho * wo, [&](int64_t p) { std::fill(y + p * ho * wo, y + (p + 1) * ho * wo, x[p]); });
  } else if (!bilinear) {
    for_rows(planes * ho, wo, [&](int64_t r) {
      const int64_t p = r / ho, oy = r % ho;
      const int64_t sy = std::min(oy * h / ho, h - 1);
      const float* src = x + (p * h + sy) * w;
      float* dst = y + r * wo;
      for (int64_t ox = 0; ox < wo; ++ox) dst[ox] = src[std::min(ox * w / wo, w - 1)];
    });
  } else {
    for_rows(planes * ho, wo * 4, [&](int64_t r) {
      const int64_t p = r / ho, oy = r % ho;
      const Tap ty = bilinear_tap(oy, h, ho, align);
      const float* r0 = x + (p * h + ty.i0) * w;
      const float* r1 = x + (p * h + ty.i1) * w;
      float* dst = y + r * wo;
      for (int64_t ox = 0; ox < wo; ++ox) {
        const Tap tx = bilinear_tap(ox, w, wo, align);
        const float top = r0[tx.i0] + tx.w * (r0[tx.i1] - r0[tx.i0]);
        const float bottom = r1[tx.i0] + tx.w * (r1[tx.i1] - r1[tx.i0]);
        dst[ox] = top + ty.w * (bottom - top);
      }
    });
  }
  finish(n, out);
  return true;
}

int64_t host_operation_workspace(const Node&, const std::vector<const Layout*>& in) {
  int64_t w = 0;
  for (const Layout* l : in)
    if (!layout_dense_f32(*l)) w += element_count(l->shape);
  return w;
}

bool eval_host_operation(const Node& n, const Value* const* in, size_t count, const Value& out, float* workspace,
                         std::string* error) {
  constexpr size_t kMaxInputs = 16;
  if (count > kMaxInputs) {
    *error = "graph run: host operation with too many inputs";
    return false;
  }
  const float* inputs[kMaxInputs];
  for (size_t i = 0; i < count; ++i) {
    if (is_dense_f32(*in[i])) {
      inputs[i] = reinterpret_cast<const float*>(in[i]->base);
    } else {
      copy_dense(*in[i], workspace);
      inputs[i] = workspace;
      workspace += element_count(in[i]->shape);
    }
  }
  if (!n.kernel->run(inputs, out_floats(out), error)) {
    if (error->empty()) *error = "graph run: " + n.name + " failed";
    return false;
  }
  finish(n, out);
  return true;
}

}  // namespace vorn::mpsg
