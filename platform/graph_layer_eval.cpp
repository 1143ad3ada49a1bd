// The evaluators of the graph layer's operations.
#include "platform/graph_layer_eval.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/blas.h"
#include "platform/half.h"
#include "platform/parallel.h"
#include "platform/vector_math.h"

namespace vorn::mpsg {

namespace {

std::vector<int64_t> dense_strides(const Shape& shape) {
  std::vector<int64_t> s(shape.size(), 1);
  for (size_t i = shape.size(); i-- > 1;) s[i - 1] = s[i] * shape[i];
  return s;
}

bool is_dense(const Value& v) { return v.strides == dense_strides(v.shape); }

const uint8_t* at(const Value& v, int64_t element) {
  return v.base + element * int64_t(data_type_size(v.storage));
}

// Offset (in elements) of row r of v, rows being every index but the last.
int64_t row_offset(const Value& v, int64_t r) {
  int64_t off = 0;
  for (size_t d = v.shape.size() - 1; d-- > 0;) {
    off += (r % v.shape[d]) * v.strides[d];
    r /= v.shape[d];
  }
  return off;
}

// Rows of a value for row-wise loops: the last axis is a row.
int64_t row_count(const Value& v) { return v.shape.empty() ? 1 : element_count(v.shape) / std::max<int64_t>(1, v.shape.back()); }
int64_t row_length(const Value& v) { return v.shape.empty() ? 1 : v.shape.back(); }
int64_t inner_stride(const Value& v) { return v.shape.empty() ? 1 : v.strides.back(); }

template <class RowFn>
void for_rows(int64_t rows, int64_t length, RowFn fn) {
  if (rows * length < (int64_t(1) << 15) || rows < 2) {
    for (int64_t r = 0; r < rows; ++r) fn(r);
    return;
  }
  const int64_t blocks = std::min<int64_t>(rows, int64_t(parallel_thread_count()) * 4);
  const int64_t per = (rows + blocks - 1) / blocks;
  parallel_for(size_t((rows + per - 1) / per), [&](size_t b) {
    const int64_t end = std::min(rows, int64_t(b + 1) * per);
    for (int64_t r = int64_t(b) * per; r < end; ++r) fn(r);
  });
}

// count elements of v from element `first`, `step` apart, as floats.
void read_part(const Value& v, int64_t first, int64_t step, int64_t n, float* out) {
  const uint8_t* p = at(v, first);
  if (v.storage == DataType::kFloat16) {
    const auto* h = reinterpret_cast<const uint16_t*>(p);
    if (step == 1) {
      half_to_float_n(h, out, size_t(n));
    } else {
      for (int64_t i = 0; i < n; ++i) out[i] = half_to_float(h[i * step]);
    }
  } else {
    const auto* f = reinterpret_cast<const float*>(p);
    if (step == 1) {
      std::memmove(out, f, size_t(n) * 4);
    } else {
      for (int64_t i = 0; i < n; ++i) out[i] = f[i * step];
    }
  }
}

// One row of v as floats into out.
void read_row(const Value& v, int64_t r, float* out) { read_part(v, row_offset(v, r), inner_stride(v), row_length(v), out); }

// Rounds float values to the nearest float16 value (they stay floats).
void round_to_half(float* p, int64_t n) {
  constexpr int64_t kBlock = 1024;
  uint16_t h[kBlock];
  for (int64_t i = 0; i < n; i += kBlock) {
    const size_t m = size_t(std::min(kBlock, n - i));
    float_to_half_n(p + i, h, m);
    half_to_float_n(h, p + i, m);
  }
}

// A dense float value of the given shape, in dest or in new scratch.
Value dense_output(const Shape& shape, float* dest) {
  Value v;
  v.storage = DataType::kFloat32;
  v.shape = shape;
  v.strides = dense_strides(shape);
  if (dest == nullptr) {
    v.owner = std::make_shared<ScratchLease>(size_t(std::max<int64_t>(1, element_count(shape))));
    dest = v.owner->data();
  }
  v.base = reinterpret_cast<const uint8_t*>(dest);
  return v;
}

float* mutable_floats(const Value& v) { return reinterpret_cast<float*>(const_cast<uint8_t*>(v.base)); }

// v as dense floats (v itself when it already is).
Value dense_floats(const Value& v, float* dest = nullptr) {
  if (v.storage == DataType::kFloat32 && is_dense(v) && dest == nullptr) return v;
  Value out = dense_output(v.shape, dest);
  float* o = mutable_floats(out);
  const int64_t n = row_length(v);
  for_rows(row_count(v), n, [&](int64_t r) { read_row(v, r, o + r * n); });
  return out;
}

// Strides of v read as the trailing-aligned broadcast shape `to` (0 on
// broadcast axes).
std::vector<int64_t> broadcast_strides(const Value& v, const Shape& to) {
  std::vector<int64_t> s(to.size(), 0);
  const size_t lead = to.size() - v.shape.size();
  for (size_t i = 0; i < v.shape.size(); ++i)
    if (v.shape[i] != 1) s[lead + i] = v.strides[i];
  return s;
}

void finish(const Node& n, Value* out) {
  if (n.type == DataType::kFloat16) round_to_half(mutable_floats(*out), element_count(out->shape));
}

// --- the operations -------------------------------------------------------

bool eval_cast(const Node& n, const std::vector<const Value*>& in, Value* out, float*, std::string*) {
  const Value& x = *in[0];
  if (n.type == DataType::kFloat32 && x.storage == DataType::kFloat16) {
    *out = dense_floats(x);  // the one widening of float16 data
    return true;
  }
  if (n.type == DataType::kFloat16 && x.storage == DataType::kFloat32) {
    *out = dense_output(x.shape, nullptr);
    float* o = mutable_floats(*out);
    const int64_t len = row_length(x);
    for_rows(row_count(x), len, [&](int64_t r) { read_row(x, r, o + r * len); });
    finish(n, out);
    return true;
  }
  *out = x;
  return true;
}

bool eval_reshape(const Node& n, const std::vector<const Value*>& in, Value* out, float*, std::string*) {
  const Value& x = *in[0];
  *out = is_dense(x) ? x : dense_floats(x);
  out->shape = n.shape;
  out->strides = dense_strides(n.shape);
  return true;
}

bool eval_transpose(const Node& n, const std::vector<const Value*>& in, Value* out, float*, std::string*) {
  *out = *in[0];
  out->shape = n.shape;
  std::swap(out->strides[size_t(n.ints[0])], out->strides[size_t(n.ints[1])]);
  return true;
}

bool eval_slice(const Node& n, const std::vector<const Value*>& in, Value* out, float*, std::string*) {
  *out = *in[0];
  const size_t axis = size_t(n.ints[0]);
  out->base = at(*out, n.ints[1] * out->strides[axis]);
  out->shape = n.shape;
  return true;
}

// One matrix operand as cpu_sgemm reads it: float storage with unit stride
// along one of its two last axes.
struct MatrixView {
  bool transposed;
  int64_t ld;
};
bool matrix_view(const Value& v, MatrixView* m) {
  if (v.storage != DataType::kFloat32) return false;
  const size_t r = v.shape.size();
  const int64_t rows = v.shape[r - 2], cols = v.shape[r - 1];
  if (v.strides[r - 1] == 1 && v.strides[r - 2] >= std::max<int64_t>(1, cols)) {
    *m = {false, v.strides[r - 2]};
    return true;
  }
  if (v.strides[r - 2] == 1 && v.strides[r - 1] >= std::max<int64_t>(1, rows)) {
    *m = {true, v.strides[r - 1]};
    return true;
  }
  return false;
}

bool eval_matmul(const Node& n, const std::vector<const Value*>& in, Value* out, float* dest, std::string*) {
  Value a = *in[0], b = *in[1];
  MatrixView ma, mb;
  if (!matrix_view(a, &ma)) {
    a = dense_floats(a);
    matrix_view(a, &ma);
  }
  if (!matrix_view(b, &mb)) {
    b = dense_floats(b);
    matrix_view(b, &mb);
  }
  *out = dense_output(n.shape, dest);
  const size_t rank = n.shape.size();
  const int64_t m = n.shape[rank - 2], cols = n.shape[rank - 1], k = a.shape.back();
  const Shape batch_shape(n.shape.begin(), n.shape.end() - 2);
  Shape batch_a = batch_shape, batch_b = batch_shape;
  Value va = a, vb = b;  // batch axes only, for the broadcast strides
  va.shape.resize(a.shape.size() - 2);
  va.strides.resize(a.strides.size() - 2);
  vb.shape.resize(b.shape.size() - 2);
  vb.strides.resize(b.strides.size() - 2);
  const std::vector<int64_t> sa = broadcast_strides(va, batch_shape), sb = broadcast_strides(vb, batch_shape);
  const int64_t batches = element_count(batch_shape);
  float* c = mutable_floats(*out);
  if (m > 0 && cols > 0 && k == 0) std::fill(c, c + batches * m * cols, 0.0f);
  for (int64_t i = 0; i < batches && m > 0 && cols > 0 && k > 0; ++i) {
    int64_t oa = 0, ob = 0;
    for (size_t d = batch_shape.size(), r = size_t(i); d-- > 0;) {
      const int64_t idx = int64_t(r % size_t(batch_shape[d]));
      r /= size_t(batch_shape[d]);
      oa += idx * sa[d];
      ob += idx * sb[d];
    }
    cpu_sgemm(ma.transposed, mb.transposed, m, cols, k, 1.0f, reinterpret_cast<const float*>(at(a, oa)), ma.ld,
              reinterpret_cast<const float*>(at(b, ob)), mb.ld, 0.0f, c + i * m * cols, cols);
  }
  finish(n, out);
  return true;
}

// Rows of a broadcast operand: the element offset of output row r.
int64_t broadcast_row_offset(const Shape& shape, const std::vector<int64_t>& strides, int64_t r) {
  int64_t off = 0;
  for (size_t d = shape.size() - 1; d-- > 0;) {
    off += (r % shape[d]) * strides[d];
    r /= shape[d];
  }
  return off;
}

constexpr int64_t kChunk = 1024;

bool eval_addition(const Node& n, const std::vector<const Value*>& in, Value* out, float* dest, std::string*) {
  const Value& a = *in[0];
  const Value& b = *in[1];
  *out = dense_output(n.shape, dest);
  float* o = mutable_floats(*out);
  if (n.shape.empty()) {
    float x, y;
    read_part(a, 0, 1, 1, &x);
    read_part(b, 0, 1, 1, &y);
    o[0] = x + y;
    finish(n, out);
    return true;
  }
  const std::vector<int64_t> sa = broadcast_strides(a, n.shape), sb = broadcast_strides(b, n.shape);
  const int64_t len = n.shape.back(), rows = element_count(n.shape) / std::max<int64_t>(1, len);
  for_rows(rows, len, [&](int64_t r) {
    const int64_t oa = broadcast_row_offset(n.shape, sa, r), ob = broadcast_row_offset(n.shape, sb, r);
    float ta[kChunk], tb[kChunk];
    for (int64_t c = 0; c < len; c += kChunk) {
      const int64_t m = std::min(kChunk, len - c);
      read_part(a, oa + c * sa.back(), sa.back(), m, ta);
      read_part(b, ob + c * sb.back(), sb.back(), m, tb);
      vec_add(ta, tb, o + r * len + c, size_t(m));
    }
  });
  finish(n, out);
  return true;
}

// Float storage with unit stride along the last axis and rows at least a row
// apart: what cpu_sgemm reads in place.
bool rows_in_place(const Value& v) {
  const size_t r = v.shape.size();
  return v.storage == DataType::kFloat32 && v.strides[r - 1] == 1 && v.strides[r - 2] >= std::max<int64_t>(1, v.shape[r - 1]);
}

// softmax(q k^T scale + mask) v for every (batch, head) pair. Pairs run on
// the pool in rounds of one pair per thread, each with its own scores; the
// values of a pair never depend on which thread runs it.
bool eval_attention(const Node& n, const std::vector<const Value*>& in, Value* out, float* dest, std::string*) {
  const Value q = rows_in_place(*in[0]) ? *in[0] : dense_floats(*in[0]);
  const Value k = rows_in_place(*in[1]) ? *in[1] : dense_floats(*in[1]);
  const Value v = rows_in_place(*in[2]) ? *in[2] : dense_floats(*in[2]);
  const Value* mask = in.size() > 3 ? in[3] : nullptr;
  const int64_t batch = q.shape[0], heads = q.shape[1], s = q.shape[2], d = q.shape[3];
  const int64_t kv_heads = k.shape[1], t = k.shape[2];
  *out = dense_output(n.shape, dest);
  float* o = mutable_floats(*out);
  const int64_t pairs = batch * heads;
  if (pairs == 0 || s == 0 || d == 0) return true;
  const Shape scores_shape{batch, heads, s, t};
  const std::vector<int64_t> ms = mask != nullptr ? broadcast_strides(*mask, scores_shape) : std::vector<int64_t>(4, 0);
  const int64_t slots = std::min<int64_t>(pairs, int64_t(parallel_thread_count()));
  // Scores of a pair, then one row of the mask.
  const int64_t per_slot = s * t + t;
  ScratchLease scratch(size_t(std::max<int64_t>(1, slots * per_slot)));
  const int64_t group = heads / kv_heads;
  for (int64_t first = 0; first < pairs; first += slots) {
    const int64_t count = std::min(slots, pairs - first);
    auto pair = [&](size_t slot) {
      const int64_t p = first + int64_t(slot), b = p / heads, h = p % heads, kh = h / group;
      float* scores = scratch.data() + int64_t(slot) * per_slot;
      float* mrow = scores + s * t;
      float* result = o + p * s * d;
      if (t == 0) {
        std::fill(result, result + s * d, 0.0f);
        return;
      }
      const float* qp = reinterpret_cast<const float*>(at(q, b * q.strides[0] + h * q.strides[1]));
      const float* kp = reinterpret_cast<const float*>(at(k, b * k.strides[0] + kh * k.strides[1]));
      const float* vp = reinterpret_cast<const float*>(at(v, b * v.strides[0] + kh * v.strides[1]));
      cpu_sgemm(false, true, s, t, d, n.real, qp, q.strides[2], kp, k.strides[2], 0.0f, scores, t);
      for (int64_t r = 0; r < s; ++r) {
        float* row = scores + r * t;
        if (mask != nullptr) {
          read_part(*mask, b * ms[0] + h * ms[1] + r * ms[2], ms[3], t, mrow);
          vec_add(row, mrow, row, size_t(t));
        }
        const float top = *std::max_element(row, row + t);
        vec_scalar_add(row, -top, row, size_t(t));
        vec_exp(row, row, size_t(t));
        float sum = 0;
        for (int64_t c = 0; c < t; ++c) sum += row[c];
        vec_scalar_mul_add(row, 1.0f / sum, 0.0f, row, size_t(t));
      }
      cpu_sgemm(false, false, s, d, t, 1.0f, scores, t, vp, v.strides[2], 0.0f, result, d);
    };
    if (count == 1) {
      pair(0);
    } else {
      parallel_for(size_t(count), pair);
    }
  }
  finish(n, out);
  return true;
}

bool eval_placeholder(const Node&, const std::vector<const Value*>&, Value*, float*, std::string* error) {
  *error = "graph run: placeholder evaluated without a feed";
  return false;
}

using Evaluator = bool (*)(const Node&, const std::vector<const Value*>&, Value*, float*, std::string*);
struct EvaluatorRow {
  Operation op;
  Evaluator fn;
  bool dense;  // writes a dense float result (may write into a result)
};
constexpr EvaluatorRow kEvaluators[] = {
    {Operation::kPlaceholder, eval_placeholder, false},
    {Operation::kCast, eval_cast, false},
    {Operation::kReshape, eval_reshape, false},
    {Operation::kTranspose, eval_transpose, false},
    {Operation::kSlice, eval_slice, false},
    {Operation::kMatrixMultiplication, eval_matmul, true},
    {Operation::kAddition, eval_addition, true},
    {Operation::kScaledDotProductAttention, eval_attention, true},
};
constexpr size_t kOperationCount = 0
#define VORN_GRAPH_OP(code, name, inputs) +1
#include "platform/graph_layer_ops.inc"
#undef VORN_GRAPH_OP
    ;
static_assert(std::size(kEvaluators) == kOperationCount, "every graph operation needs an evaluator");

constexpr bool evaluators_in_order() {
  for (size_t i = 0; i < std::size(kEvaluators); ++i)
    if (size_t(kEvaluators[i].op) != i) return false;
  return true;
}
static_assert(evaluators_in_order(), "evaluators follow the operation table's order");

}  // namespace

int64_t element_count(const Shape& shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

Value dense_value(const uint8_t* base, DataType storage, const Shape& shape) {
  Value v;
  v.base = base;
  v.storage = storage;
  v.shape = shape;
  v.strides = dense_strides(shape);
  return v;
}

bool writes_dense_result(Operation op) { return kEvaluators[size_t(op)].dense; }

bool evaluate(const Node& node, const std::vector<const Value*>& inputs, Value* out, float* dest,
              std::string* error) {
  return kEvaluators[size_t(node.op)].fn(node, inputs, out, kEvaluators[size_t(node.op)].dense ? dest : nullptr, error);
}

void store_value(const Value& v, uint8_t* dst, DataType t) {
  if (v.shape.empty()) {
    float x;
    read_part(v, 0, 1, 1, &x);
    store_rows(&x, 1, 1, 1, dst, 4, t);
    return;
  }
  const int64_t len = row_length(v);
  const uint64_t elem = data_type_size(t);
  for_rows(row_count(v), len, [&](int64_t r) {
    const int64_t first = row_offset(v, r), step = inner_stride(v);
    float tmp[kChunk];
    for (int64_t c = 0; c < len; c += kChunk) {
      const int64_t m = std::min(kChunk, len - c);
      read_part(v, first + c * step, step, m, tmp);
      store_rows(tmp, uint64_t(m), 1, uint64_t(m), dst + uint64_t(r * len + c) * elem, uint64_t(m) * elem, t);
    }
  });
}

}  // namespace vorn::mpsg
