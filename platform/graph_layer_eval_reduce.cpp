// Reductions, softmax, arg-max and top-k. Sums are taken in double in a
// fixed order per output element, so results do not depend on how the work
// is split.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/graph_layer_eval.h"
#include "platform/graph_layer_evaluators.h"
#include "platform/graph_layer_plan.h"
#include "platform/vector_math.h"

namespace vorn::mpsg {

namespace {

constexpr int64_t kChunk = 1024;

// The input seen as outer x reduced x inner for one reduced axis.
struct AxisSplit {
  int64_t outer = 1, length = 1, inner = 1;
};
AxisSplit split_at(const Shape& shape, int64_t axis) {
  AxisSplit s;
  for (int64_t i = 0; i < int64_t(shape.size()); ++i) {
    if (i < axis) s.outer *= shape[size_t(i)];
    else if (i == axis) s.length = shape[size_t(i)];
    else s.inner *= shape[size_t(i)];
  }
  return s;
}

// Reduces n values of x (step apart) with the function.
double reduce_run(ReductionFunction f, const float* x, int64_t step, int64_t n) {
  switch (f) {
    case ReductionFunction::kSum:
    case ReductionFunction::kMean: {
      double part[8] = {0, 0, 0, 0, 0, 0, 0, 0};
      int64_t i = 0;
      if (step == 1)
        for (; i + 8 <= n; i += 8)
          for (int j = 0; j < 8; ++j) part[j] += x[i + j];
      for (; i < n; ++i) part[i % 8] += x[i * step];
      return ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
    }
    // Only a strictly greater (smaller) value replaces the running one: a
    // NaN wins only as the first value.
    case ReductionFunction::kMaximum: {
      if (n == 0) return -INFINITY;
      float m = x[0];
      for (int64_t i = 1; i < n; ++i) m = x[i * step] > m ? x[i * step] : m;
      return m;
    }
    case ReductionFunction::kMinimum: {
      if (n == 0) return INFINITY;
      float m = x[0];
      for (int64_t i = 1; i < n; ++i) m = x[i * step] < m ? x[i * step] : m;
      return m;
    }
    case ReductionFunction::kProduct: {
      float p = 1.0f;
      for (int64_t i = 0; i < n; ++i) p *= x[i * step];
      return p;
    }
  }
  return 0;
}

}  // namespace

int64_t workspace_slots(int64_t outputs, int64_t count) {
  if (outputs < 2 || outputs * count < (int64_t(1) << 15)) return 1;
  return std::min<int64_t>(outputs, int64_t(parallel_thread_count()));
}

// Whether the reduced axes of x are its dense float tail.
bool reduced_tail_dense(const Node& n, DataType storage, const Shape& shape, const std::vector<int64_t>& strides) {
  if (storage != DataType::kFloat32) return false;
  bool reduced[kMaxRank] = {};
  for (size_t i = 1; i < n.ints.size(); ++i) reduced[size_t(n.ints[i])] = true;
  int64_t expect = 1;
  for (size_t i = shape.size(); i-- > 0;) {
    if (!reduced[i]) continue;
    if (shape[i] != 1 && strides[i] != expect) return false;
    expect *= shape[i];
  }
  return true;
}

int64_t reduction_workspace(const Node& n, const std::vector<const Layout*>& in) {
  const Layout& x = *in[0];
  if (reduced_tail_dense(n, x.storage, x.shape, x.strides)) return 0;
  const int64_t count = element_count(x.shape) / std::max<int64_t>(1, element_count(n.shape));
  return workspace_slots(element_count(n.shape), count) * count;
}

// The reduced axes are gathered per output element into a dense run (in
// the output's own memory when the input is not dense float), then reduced.
bool eval_reduction(const Node& n, const Value* const* in, size_t, const Value& out, float* workspace, std::string*) {
  const Value& x = *in[0];
  const ReductionFunction f = ReductionFunction(n.ints[0]);
  const size_t rank = x.shape.size();
  bool reduced[kMaxRank] = {};
  for (size_t i = 1; i < n.ints.size(); ++i) reduced[size_t(n.ints[i])] = true;
  // Kept and reduced axes with their sizes and strides.
  int64_t kd[kMaxRank], ks[kMaxRank], rd[kMaxRank], rs[kMaxRank];
  size_t nk = 0, nr = 0;
  int64_t count = 1;
  for (size_t i = 0; i < rank; ++i) {
    if (reduced[i]) {
      rd[nr] = x.shape[i], rs[nr++] = x.strides[i];
      count *= x.shape[i];
    } else {
      kd[nk] = x.shape[i], ks[nk++] = x.strides[i];
    }
  }
  const float* src = reinterpret_cast<const float*>(x.base);
  const bool direct = x.storage == DataType::kFloat32;
  const bool contiguous = direct && reduced_tail_dense(n, x.storage, x.shape, x.strides);
  float* y = out_floats(out);
  const int64_t outputs = element_count(n.shape);
  const double scale = f != ReductionFunction::kMean ? 1.0 : count > 0 ? 1.0 / double(count) : NAN;
  // Outputs split into one block per thread slot; each slot owns a run
  // buffer of count floats in the workspace.
  const int64_t slots = workspace_slots(outputs, count);
  const int64_t per = (outputs + slots - 1) / std::max<int64_t>(slots, 1);
  auto block = [&](int64_t b) {
    float* run = workspace + b * count;
    for (int64_t o = b * per; o < std::min(outputs, (b + 1) * per); ++o) {
      int64_t off = 0, rest = o;
      for (size_t d = nk; d-- > 0;) {
        off += (rest % kd[d]) * ks[d];
        rest /= kd[d];
      }
      double r;
      if (contiguous) {
        r = reduce_run(f, src + off, 1, count);
      } else {
        // Gather the run: odometer over the reduced axes, rows of the last.
        const int64_t len = nr ? rd[nr - 1] : 1, step = nr ? rs[nr - 1] : 1;
        for (int64_t row = 0; row < count / std::max<int64_t>(len, 1); ++row) {
          int64_t ro = off, rr = row;
          for (size_t d = nr - 1; d-- > 0;) {
            ro += (rr % rd[d]) * rs[d];
            rr /= rd[d];
          }
          read_part(x, ro, step, len, run + row * len);
        }
        r = reduce_run(f, run, 1, count);
      }
      y[o] = float(r * scale);
    }
  };
  if (slots <= 1) {
    block(0);
  } else {
    parallel_for(size_t(slots), [&](size_t b) { block(int64_t(b)); });
  }
  finish(n, out);
  return true;
}

// Copies the input into the output, then works there: per row along the
// axis, subtract the maximum, exponentiate, divide by the sum.
bool eval_softmax(const Node& n, const Value* const* in, size_t, const Value& out, float*, std::string*) {
  float* y = out_floats(out);
  if (in[0]->base != out.base) copy_dense(*in[0], y);
  const AxisSplit s = split_at(n.shape, n.ints[0]);
  if (s.length == 0) return true;
  if (s.inner == 1) {
    for_rows(s.outer, s.length, [&](int64_t r) {
      float* row = y + r * s.length;
      float top = row[0];
      for (int64_t i = 1; i < s.length; ++i) top = row[i] > top ? row[i] : top;
      vec_exp_shifted(row, -top, row, size_t(s.length));
      double sum = 0;
      for (int64_t i = 0; i < s.length; ++i) sum += row[i];
      vec_scalar_mul_add(row, float(1.0 / sum), 0.0f, row, size_t(s.length));
    });
  } else {
    // Columns of inner values: each outer block in one piece of work.
    for_rows(s.outer, s.length * s.inner, [&](int64_t r) {
      float* blockp = y + r * s.length * s.inner;
      for (int64_t c0 = 0; c0 < s.inner; c0 += kChunk) {
        const int64_t m = std::min(kChunk, s.inner - c0);
        float top[kChunk];
        double sum[kChunk];
        std::copy(blockp + c0, blockp + c0 + m, top);
        for (int64_t i = 1; i < s.length; ++i) {
          const float* row = blockp + i * s.inner + c0;
          for (int64_t j = 0; j < m; ++j) top[j] = row[j] > top[j] ? row[j] : top[j];
        }
        std::fill(sum, sum + m, 0.0);
        for (int64_t i = 0; i < s.length; ++i) {
          float* row = blockp + i * s.inner + c0;
          for (int64_t j = 0; j < m; ++j) row[j] -= top[j];
          vec_exp(row, row, size_t(m));
          for (int64_t j = 0; j < m; ++j) sum[j] += row[j];
        }
        for (int64_t j = 0; j < m; ++j) top[j] = float(1.0 / sum[j]);
        for (int64_t i = 0; i < s.length; ++i) {
          float* row = blockp + i * s.inner + c0;
          for (int64_t j = 0; j < m; ++j) row[j] *= top[j];
        }
      }
    });
  }
  finish(n, out);
  return true;
}

// First index of the largest value along the axis; a NaN wins only as the
// first value.
bool eval_argmax(const Node& n, const Value* const* in, size_t, const Value& out, float*, std::string*) {
  const Value& x = *in[0];
  const int64_t a = n.ints[0];
  const AxisSplit s = split_at(x.shape, a);
  float* y = out_floats(out);
  const int64_t step = x.strides[size_t(a)];
  for_rows(s.outer * s.inner, s.length, [&](int64_t o) {
    const int64_t outer = o / s.inner, inner = o % s.inner;
    // Offset of (outer, 0, inner).
    int64_t off = 0, rest = outer;
    for (int64_t d = a; d-- > 0;) {
      off += (rest % x.shape[size_t(d)]) * x.strides[size_t(d)];
      rest /= x.shape[size_t(d)];
    }
    rest = inner;
    for (int64_t d = int64_t(x.shape.size()); d-- > a + 1;) {
      off += (rest % x.shape[size_t(d)]) * x.strides[size_t(d)];
      rest /= x.shape[size_t(d)];
    }
    int64_t best = 0;
    float top = 0;
    for (int64_t i = 0; i < s.length; i += kChunk) {
      float buf[kChunk];
      const int64_t m = std::min(kChunk, s.length - i);
      read_part(x, off + i * step, step, m, buf);
      for (int64_t j = 0; j < m; ++j) {
        if (i + j == 0) {
          top = buf[0];
          continue;
        }
        if (buf[j] > top) top = buf[j], best = i + j;
      }
    }
    y[o] = float(best);
  });
  return true;
}

int64_t topk_workspace(const Node& n) { return n.ints[0] > 0 ? 2 * std::max<int64_t>(1, n.ints[0]) : 0; }

// The k largest of each row of the last axis, ties to the lower index; rows
// in turn, the candidates kept sorted in the workspace.
bool eval_topk(const Node& n, const Value* const* in, size_t, const Value& out, float* workspace, std::string*) {
  const Value& x = *in[0];
  const int64_t k = n.ints[0], len = x.shape.back(), step = x.strides.back();
  const int64_t rows = element_count(x.shape) / std::max<int64_t>(len, 1);
  float* y = out_floats(out);
  const bool indices = n.op == Operation::kTopKIndices;
  float* val = workspace;
  float* idx = workspace + k;
  for (int64_t r = 0; r < rows && k > 0; ++r) {
    int64_t off = 0, rest = r;
    for (size_t d = x.shape.size() - 1; d-- > 0;) {
      off += (rest % x.shape[d]) * x.strides[d];
      rest /= x.shape[d];
    }
    int64_t have = 0;
    for (int64_t i = 0; i < len; i += kChunk) {
      float buf[kChunk];
      const int64_t m = std::min(kChunk, len - i);
      read_part(x, off + i * step, step, m, buf);
      for (int64_t j = 0; j < m; ++j) {
        const float v = buf[j];
        if (have == k && !(v > val[k - 1])) continue;
        int64_t at = have < k ? have++ : k - 1;
        while (at > 0 && v > val[at - 1]) {
          val[at] = val[at - 1];
          idx[at] = idx[at - 1];
          --at;
        }
        val[at] = v;
        idx[at] = float(i + j);
      }
    }
    std::copy(indices ? idx : val, (indices ? idx : val) + k, y + r * k);
  }
  finish(n, out);
  return true;
}

}  // namespace vorn::mpsg
