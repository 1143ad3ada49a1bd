// Evaluation of the graph layer's operations (internal to the graph layer).
// A value is a strided view of memory: a feed or a constant in place, or
// float memory of the arena or of a result that an operation filled. View
// operations never reach an evaluator (the plan moves their strides); the
// others read their inputs as float (widening float16 storage where they
// read it) and write the dense float memory of their value, rounded once
// when their tensor is float16.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/graph_layer.h"

namespace vorn::mpsg {

// The highest rank a graph tensor may have.
constexpr size_t kMaxRank = 12;

struct Value {
  const uint8_t* base = nullptr;  // element 0
  DataType storage = DataType::kFloat32;
  Shape shape;
  std::vector<int64_t> strides;  // in elements
};

struct Layout;

// Evaluates the node into out (dense float memory of its shape), with
// workspace_floats(...) floats of workspace. False with *error on a fault
// of the data (the builder has checked the shapes).
bool evaluate(const Node& node, const Value* const* inputs, size_t count, const Value& out, float* workspace,
              std::string* error);
// Floats of workspace the node's evaluation needs, from its inputs' layouts.
int64_t workspace_floats(const Node& node, const std::vector<const Layout*>& inputs);

// Attention's softmax of `count` score rows (stride apart, n values each,
// n > 0) in place: each row less its largest value, exponentiated
// (vec_exp_shifted), then times 1 / (the exponentials' sum, added in column
// order from +0). The same bits in every form and for any count.
void normalise_score_rows(float* rows, int64_t stride, int64_t count, int64_t n);

// A float matrix product and the addition of a row to it in one pass: out =
// product(inputs) + bias, bias holding one value per column (broadcast over
// every row), the same values as the product's node and then an addition
// node would give. With product_bias_workspace(...) floats of workspace.
void evaluate_product_bias(const Node& product, const Value* const* inputs, const Value& bias, const Value& out,
                           float* workspace);
int64_t product_bias_workspace(const Node& product, const std::vector<const Layout*>& inputs);

// One of several products that read the same left operand: the product's
// node, its inputs, its bias row (null: none) and its output.
struct JoinedProduct {
  const Node* product;
  const Value* const* inputs;
  const Value* bias;
  const Value* out;
};
// Most products run as one.
inline constexpr size_t kMostJoinedProducts = 8;
// The parts (at most kMostJoinedProducts, each a product of floats by a
// matrix of halves, as a layer's weights behind their cast) in one cut of
// the pool over their columns side by side, each value's bits those of its
// product alone. False (nothing written) when a part is not such a
// product. Workspace: the parts' bias columns, then the first part's
// product workspace. Cut as for `threads` threads (0: the pool's).
bool evaluate_joined_products(const JoinedProduct* parts, size_t count, float* workspace, int64_t threads = 0);

// Writes v into dense memory of type t, rounding once for float16.
void store_value(const Value& v, uint8_t* dst, DataType t);

int64_t element_count(const Shape& shape);

// --- helpers shared by the evaluators ---------------------------------------

inline float* out_floats(const Value& v) { return reinterpret_cast<float*>(const_cast<uint8_t*>(v.base)); }
// n elements of v from element first, step apart, as floats.
void read_part(const Value& v, int64_t first, int64_t step, int64_t n, float* out);
// Float storage laid out densely in row-major order.
bool is_dense_f32(const Value& v);
// Rounds the node's dense output to float16 values when its type is float16.
void finish(const Node& n, const Value& out);
// Runs fn(r) for r in [0, rows), over the pool when rows x length is large;
// each r writes its own part of the output.
template <class RowFn>
void for_rows(int64_t rows, int64_t length, RowFn fn);
// Element offset of index i (row-major over shape) in a value of the given
// strides.
int64_t strided_offset(const Shape& shape, const std::vector<int64_t>& strides, int64_t i);
// The trailing-aligned strides of v read as shape `to` (0 on broadcast axes).
std::vector<int64_t> broadcast_strides(const Value& v, const Shape& to);

}  // namespace vorn::mpsg

#include "platform/parallel.h"

namespace vorn::mpsg {

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

}  // namespace vorn::mpsg
