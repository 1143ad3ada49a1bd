// The lowering table (operator code -> rule) and the helpers rules share.
#include "container/op_codes.h"
#include "gpu/mps_state.h"

namespace vorn {

namespace {

struct RuleRow {
  uint64_t op;
  LowerRule rule;
};

// clang-format off
constexpr RuleRow kRules[] = {
    {op::Sub, lower_binary}, {op::Div, lower_binary}, {op::Add, lower_binary}, {op::Mul, lower_binary},
    {op::Max, lower_binary}, {op::Min, lower_binary}, {op::Mod, lower_binary}, {op::Equal, lower_binary},
    {op::Relu, lower_unary}, {op::Sigmoid, lower_unary}, {op::Erf, lower_unary}, {op::LeakyRelu, lower_unary},
    {op::Sqrt, lower_unary}, {op::Exp, lower_unary}, {op::Tanh, lower_unary}, {op::Cos, lower_unary},
    {op::Sin, lower_unary}, {op::Log, lower_unary}, {op::Abs, lower_unary}, {op::Neg, lower_unary},
    {op::Floor, lower_unary}, {op::Ceil, lower_unary}, {op::Round, lower_unary}, {op::Reciprocal, lower_unary},
    {op::Not, lower_unary},
    {op::HardSigmoid, lower_activation}, {op::HardSwish, lower_activation}, {op::Gelu, lower_activation},
    {op::Clip, lower_activation},
    {op::PRelu, lower_prelu}, {op::Where, lower_where}, {op::Cast, lower_cast},
    {op::Conv, lower_conv}, {op::ConvTranspose, lower_conv_transpose},
    {op::MaxPool, lower_pool}, {op::AveragePool, lower_pool}, {op::GlobalAveragePool, lower_pool},
    {op::Gemm, lower_gemm}, {op::MatMul, lower_matmul},
    {op::Softmax, lower_softmax}, {op::ArgMax, lower_argmax},
    {op::ReduceMean, lower_reduce}, {op::ReduceSum, lower_reduce}, {op::ReduceMax, lower_reduce},
    {op::ReduceMin, lower_reduce}, {op::ReduceProd, lower_reduce},
    {op::LayerNormalization, lower_layer_norm}, {op::InstanceNormalization, lower_instance_norm},
    {op::BatchNormalization, lower_batch_norm},
    {op::Identity, lower_identity}, {op::Flatten, lower_identity}, {op::Transpose, lower_transpose},
    {op::Concat, lower_concat}, {op::Split, lower_split}, {op::Slice, lower_slice}, {op::Gather, lower_gather},
    {op::Expand, lower_expand}, {op::Pad, lower_pad}, {op::DepthToSpace, lower_depth_space},
    {op::SpaceToDepth, lower_depth_space}, {op::ScatterND, lower_scatter_nd},
    {op::Resize, lower_resize},
    {op::GridSample, lower_host_kernel}, {op::DeformUnfold, lower_host_kernel},
    {op::MaskToBoxLogit, lower_host_kernel}, {op::DetrTopK, lower_host_kernel},
};
// clang-format on

}  // namespace

LowerRule mps_lower_rule(uint64_t code) {
  for (const RuleRow& r : kRules)
    if (r.op == code) return r.rule;
  return nullptr;
}

mpsg::Shape Lowering::dims(uint64_t id) const {
  const ValueRecord& v = st.values[id];
  mpsg::Shape s;
  for (uint64_t i = 0; i < v.rank() && i < 6; ++i) s.push_back(int64_t(v.dim(i)));
  return s;
}

bool Lowering::has_in(const NodeRecord& n, uint64_t k) const {
  return k < n.input_count() && n.input(k) < st.values.size() && st.tensors[n.input(k)].valid();
}

mpsg::Tensor Lowering::in(const NodeRecord& n, uint64_t k) {
  if (!has_in(n, k)) throw std::invalid_argument("input " + std::to_string(k) + " has no value");
  const mpsg::Tensor t = st.tensors[n.input(k)];
  return g.dataType(t) == st.type ? t : g.cast(t, st.type);
}

mpsg::Tensor Lowering::reshape(mpsg::Tensor t, const mpsg::Shape& s) { return g.shape(t) == s ? t : g.reshape(t, s); }

void Lowering::set(const NodeRecord& n, uint64_t k, mpsg::Tensor t) {
  const uint64_t id = n.output(k);
  if (id >= st.values.size()) return;
  const mpsg::Shape want = dims(id);
  if (g.shape(t) != want && mpsg::element_count(g.shape(t)) == mpsg::element_count(want)) t = g.reshape(t, want);
  if (g.shape(t) != want)
    throw std::invalid_argument("result " + mpsg::shape_text(g.shape(t)) + " does not fit output " + mpsg::shape_text(want));
  st.tensors[id] = t;
}

bool Lowering::hard_swish_product(const NodeRecord& n, const NodeRecord& sigmoid) const {
  if (index + 2 >= nodes.size() || n.output_count() != 1 || sigmoid.output_count() != 1) return false;
  const NodeRecord& m = nodes[index + 2];
  const uint64_t y = n.output(0), s = sigmoid.output(0);
  if (m.op() != op::Mul || m.input_count() != 2 || y >= readers.size() || s >= readers.size()) return false;
  const bool operands = (m.input(0) == y && m.input(1) == s) || (m.input(0) == s && m.input(1) == y);
  return operands && sigmoid.input(0) == y && readers[y] == 2 && readers[s] == 1 && !graph_output[y] &&
         !graph_output[s] && m.output(0) < st.values.size() && st.values[m.output(0)].count() == st.values[y].count();
}

bool Lowering::silu_product(const NodeRecord& sigmoid) const {
  if (index + 1 >= nodes.size() || sigmoid.input_count() != 1 || sigmoid.output_count() != 1) return false;
  const NodeRecord& m = nodes[index + 1];
  const uint64_t x = sigmoid.input(0), s = sigmoid.output(0);
  if (m.op() != op::Mul || m.input_count() != 2 || m.output_count() != 1 || s >= readers.size()) return false;
  const bool operands = (m.input(0) == x && m.input(1) == s) || (m.input(0) == s && m.input(1) == x);
  return operands && readers[s] == 1 && !graph_output[s] && m.output(0) < st.values.size() &&
         st.values[m.output(0)].count() == st.values[s].count();
}

uint64_t Lowering::fusable_next(const NodeRecord& n) const {
  if (index + 1 >= nodes.size() || n.output_count() != 1) return 0;
  const NodeRecord& next = nodes[index + 1];
  const uint64_t y = n.output(0);
  if (next.input_count() < 1 || next.input(0) != y || y >= readers.size() || graph_output[y]) return 0;
  if (readers[y] != 1 && !(next.op() == op::HardSigmoid && readers[y] == 2)) return 0;
  if (next.output_count() < 1 || next.output(0) >= st.values.size() ||
      st.values[next.output(0)].count() != st.values[y].count())
    return 0;
  return next.op();
}

mpsg::Tensor Lowering::scalar(double v) { return g.constantWithScalar(v, st.type); }

}  // namespace vorn
