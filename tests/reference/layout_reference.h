// Reference loops for the data-movement operators, written element by element
// from each operator's definition with explicit multi-indices.
#pragma once
#include <cmath>
#include <cstdint>
#include <vector>

#include "reference/elementwise_reference.h"

namespace vorn::ref {

inline uint64_t flat_index(const Dims& idx, const Dims& dims) {
  uint64_t f = 0;
  for (size_t i = 0; i < dims.size(); ++i) f = f * dims[i] + idx[i];
  return f;
}

// Output axis k is input axis perm[k].
inline std::vector<float> transpose(const std::vector<float>& x, const Dims& dx, const Dims& perm) {
  Dims dy(dx.size());
  for (size_t k = 0; k < dx.size(); ++k) dy[k] = dx[perm[k]];
  std::vector<float> y(x.size());
  for (uint64_t i = 0; i < y.size(); ++i) {
    const Dims j = unflatten(i, dy);
    Dims src(dx.size());
    for (size_t k = 0; k < dx.size(); ++k) src[perm[k]] = j[k];
    y[i] = x[flat_index(src, dx)];
  }
  return y;
}

// Index semantics shared by the indexing operators: truncate toward zero,
// add the dim once when negative, clamp into the axis.
inline uint64_t index_of(float v, uint64_t dim) {
  if (std::isnan(v)) return 0;
  double t = std::trunc(static_cast<double>(v));
  if (t < 0) t += static_cast<double>(dim);
  if (t < 0) t = 0;
  if (t > static_cast<double>(dim) - 1) t = static_cast<double>(dim) - 1;
  return static_cast<uint64_t>(t);
}

inline std::vector<float> gather(const std::vector<float>& x, const Dims& dx, uint64_t axis,
                                 const std::vector<float>& idx) {
  Dims dy;
  for (uint64_t a = 0; a < axis; ++a) dy.push_back(dx[a]);
  dy.push_back(idx.size());
  for (uint64_t a = axis + 1; a < dx.size(); ++a) dy.push_back(dx[a]);
  std::vector<float> y(count_of(dy));
  for (uint64_t i = 0; i < y.size(); ++i) {
    Dims j = unflatten(i, dy);
    j[axis] = index_of(idx[j[axis]], dx[axis]);
    y[i] = x[flat_index(j, dx)];
  }
  return y;
}

inline Dims concat_dims(const std::vector<Dims>& d, uint64_t axis) {
  Dims out = d[0];
  out[axis] = 0;
  for (const Dims& x : d) out[axis] += x[axis];
  return out;
}

inline std::vector<float> concat(const std::vector<std::vector<float>>& xs, const std::vector<Dims>& ds,
                                 uint64_t axis) {
  const Dims dy = concat_dims(ds, axis);
  std::vector<float> y(count_of(dy));
  for (uint64_t i = 0; i < y.size(); ++i) {
    Dims j = unflatten(i, dy);
    size_t k = 0;
    while (j[axis] >= ds[k][axis]) j[axis] -= ds[k++][axis];
    y[i] = xs[k][flat_index(j, ds[k])];
  }
  return y;
}

// Elements start, start + step, ... (len of them) along the axis.
inline std::vector<float> slice(const std::vector<float>& x, const Dims& dx, uint64_t axis,
                                uint64_t start, uint64_t len, uint64_t step) {
  Dims dy = dx;
  dy[axis] = len;
  std::vector<float> y(count_of(dy));
  for (uint64_t i = 0; i < y.size(); ++i) {
    Dims j = unflatten(i, dy);
    j[axis] = start + j[axis] * step;
    y[i] = x[flat_index(j, dx)];
  }
  return y;
}

// Y[n][c][h*b+i][w*b+j] = X[n][c*b*b + i*b + j][h][w]
inline std::vector<float> depth_to_space(const std::vector<float>& x, const Dims& dx, uint64_t b) {
  const Dims dy = {dx[0], dx[1] / (b * b), dx[2] * b, dx[3] * b};
  std::vector<float> y(x.size());
  for (uint64_t i = 0; i < y.size(); ++i) {
    const Dims o = unflatten(i, dy);
    const uint64_t h = o[2] / b, ii = o[2] % b, w = o[3] / b, jj = o[3] % b;
    y[i] = x[flat_index({o[0], o[1] * b * b + ii * b + jj, h, w}, dx)];
  }
  return y;
}

// Y[n][(i*b+j)*C + c][h][w] = X[n][c][h*b+i][w*b+j]
inline std::vector<float> space_to_depth(const std::vector<float>& x, const Dims& dx, uint64_t b) {
  const Dims dy = {dx[0], dx[1] * b * b, dx[2] / b, dx[3] / b};
  std::vector<float> y(x.size());
  for (uint64_t i = 0; i < y.size(); ++i) {
    const Dims o = unflatten(i, dy);
    const uint64_t c = o[1] % dx[1], ij = o[1] / dx[1], ii = ij / b, jj = ij % b;
    y[i] = x[flat_index({o[0], c, o[2] * b + ii, o[3] * b + jj}, dx)];
  }
  return y;
}

// Zeros after the data on axes 1 and 2 of a rank-4 tensor.
inline std::vector<float> pad_end(const std::vector<float>& x, const Dims& dx, const Dims& dy) {
  std::vector<float> y(count_of(dy), 0.0f);
  for (uint64_t i = 0; i < x.size(); ++i) y[flat_index(unflatten(i, dx), dy)] = x[i];
  return y;
}

// Tuples of K indices (the indices' last axis, K = 1 when it is 1 or absent)
// address X's first K axes; each picks the slice of the remaining axes.
inline std::vector<float> gather_nd(const std::vector<float>& x, const Dims& dx,
                                    const std::vector<float>& idx, uint64_t k) {
  uint64_t slice_len = 1;
  for (size_t a = k; a < dx.size(); ++a) slice_len *= dx[a];
  std::vector<float> y;
  for (uint64_t t = 0; t < idx.size() / k; ++t) {
    Dims at(dx.size(), 0);
    for (uint64_t a = 0; a < k; ++a) at[a] = index_of(idx[t * k + a], dx[a]);
    const uint64_t base = flat_index(at, dx);
    for (uint64_t e = 0; e < slice_len; ++e) y.push_back(x[base + e]);
  }
  return y;
}

inline std::vector<float> scatter_nd(std::vector<float> x, const Dims& dx, const std::vector<float>& idx,
                                     uint64_t k, const std::vector<float>& upd) {
  uint64_t slice_len = 1;
  for (size_t a = k; a < dx.size(); ++a) slice_len *= dx[a];
  for (uint64_t t = 0; t < idx.size() / k; ++t) {
    Dims at(dx.size(), 0);
    for (uint64_t a = 0; a < k; ++a) at[a] = index_of(idx[t * k + a], dx[a]);
    const uint64_t base = flat_index(at, dx);
    for (uint64_t e = 0; e < slice_len; ++e) x[base + e] = upd[t * slice_len + e];
  }
  return x;
}

// ScatterElements: update m goes to m with its axis coordinate from idx[m].
inline std::vector<float> scatter_elements(std::vector<float> x, const Dims& dx, const std::vector<float>& idx,
                                           const Dims& du, const std::vector<float>& upd, uint64_t axis) {
  for (uint64_t e = 0; e < upd.size(); ++e) {
    Dims m = unflatten(e, du);
    m[axis] = index_of(idx[e], dx[axis]);
    x[flat_index(m, dx)] = upd[e];
  }
  return x;
}

inline std::vector<float> where(const std::vector<float>& c, const Dims& dc, const std::vector<float>& a,
                                const Dims& da, const std::vector<float>& b, const Dims& db, const Dims& dy) {
  std::vector<float> y(count_of(dy));
  for (uint64_t i = 0; i < y.size(); ++i) {
    const Dims j = unflatten(i, dy);
    const float cv = c[source_index(j, dy, dc)];
    y[i] = (cv != 0 || std::isnan(cv)) ? a[source_index(j, dy, da)] : b[source_index(j, dy, db)];
  }
  return y;
}

}  // namespace vorn::ref
