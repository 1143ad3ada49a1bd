#include "converter/lowering_rules.h"

#include <array>

#include "converter/legacy_rewrites.h"

namespace vorn {

namespace {

struct RuleEntry {
  uint64_t op;
  LowerRule rule;
};

// Every operator of the list with its rule, by family.
constexpr RuleEntry kRuleList[] = {
    // Elementwise.
    {op::Sub, lower_binary}, {op::Div, lower_binary}, {op::Add, lower_binary}, {op::Mul, lower_binary},
    {op::Max, lower_binary}, {op::Min, lower_binary}, {op::Mod, lower_binary}, {op::Greater, lower_binary},
    {op::Less, lower_binary}, {op::Equal, lower_binary}, {op::And, lower_binary}, {op::Or, lower_binary},
    {op::Relu, lower_unary}, {op::Sigmoid, lower_unary}, {op::HardSigmoid, lower_unary},
    {op::HardSwish, lower_unary}, {op::LeakyRelu, lower_unary}, {op::Sqrt, lower_unary}, {op::Exp, lower_unary},
    {op::Tanh, lower_unary}, {op::Cos, lower_unary}, {op::Sin, lower_unary}, {op::Log, lower_unary},
    {op::Abs, lower_unary}, {op::Neg, lower_unary}, {op::Floor, lower_unary}, {op::Ceil, lower_unary},
    {op::Round, lower_unary}, {op::Reciprocal, lower_unary}, {op::Elu, lower_unary}, {op::Selu, lower_unary},
    {op::Not, lower_unary}, {op::Clip, lower_clip}, {op::PRelu, lower_prelu}, {op::Identity, lower_identity},
    {op::Cast, lower_identity},
    // Convolution.
    {op::Conv, lower_window}, {op::Gemm, lower_gemm}, {op::MatMul, lower_matmul},
    // Pooling.
    {op::MaxPool, lower_window}, {op::AveragePool, lower_window}, {op::GlobalAveragePool, lower_global_average_pool},
    {op::ConvTranspose, lower_conv_transpose},
    // Normalisation.
    {op::BatchNormalization, lower_batchnorm}, {op::LayerNormalization, lower_layer_norm},
    {op::InstanceNormalization, lower_instance_norm}, {op::Erf, lower_unary}, {op::Gelu, lower_unary},
    // Layout.
    {op::Flatten, lower_flatten}, {op::Transpose, lower_transpose}, {op::Concat, lower_concat},
    {op::Expand, lower_expand}, {op::Split, lower_split}, {op::DepthToSpace, lower_depth_space},
    {op::SpaceToDepth, lower_depth_space}, {op::Pad, lower_pad}, {op::Where, lower_where},
    {op::Gather, lower_gather}, {op::Slice, lower_slice}, {op::GatherND, lower_gather_nd},
    {op::ScatterND, lower_scatter_nd},
    // Reductions.
    {op::ReduceMean, lower_reduce}, {op::ReduceSum, lower_reduce}, {op::ReduceMax, lower_reduce},
    {op::ReduceMin, lower_reduce}, {op::ReduceProd, lower_reduce}, {op::ArgMax, lower_argmax},
    {op::CumSum, lower_cumsum}, {op::TopK, lower_topk}, {op::Softmax, lower_softmax},
    // Resampling.
    {op::Resize, lower_resize}, {op::GridSample, lower_grid_sample}, {op::DeformUnfold, lower_deform_unfold},
    // Detection.
    {op::NonMaxSuppression, lower_non_max_suppression}, {op::YoloNms, lower_yolo_nms},
    {op::DetrTopK, lower_detr_topk}, {op::MaskToBoxLogit, lower_mask_to_box_logit},
    // Never reach the engines.
    {op::Shape, lower_shape}, {op::Reshape, lower_reshape}, {op::Unsqueeze, lower_unsqueeze},
    {op::Squeeze, lower_squeeze}, {op::Pow, lower_pow}, {op::Range, lower_range},
    {op::ConstantOfShape, lower_constant_of_shape}, {op::DequantizeLinear, lower_dequantize},
    {op::DynamicQuantizeLinear, lower_dynamic_quantize}, {op::OneHot, lower_one_hot},
};

constexpr std::array<LowerRule, kOpCodeCount + 1> make_rule_table() {
  std::array<LowerRule, kOpCodeCount + 1> table{};
  for (const RuleEntry& e : kRuleList) table[e.op] = e.rule;
  return table;
}

constexpr std::array<LowerRule, kOpCodeCount + 1> kRules = make_rule_table();

// Checked on the codes listed rather than on the table's pointers: a
// function's address compared with null is no constant expression when
// null checks are kept (gcc's -fsanitize=undefined).
constexpr bool every_operator_has_a_rule() {
  std::array<bool, kOpCodeCount + 1> listed{};
  for (const RuleEntry& e : kRuleList) listed[e.op] = true;
  for (uint64_t op = 1; op <= kOpCodeCount; ++op)
    if (!listed[op]) return false;
  return true;
}
static_assert(every_operator_has_a_rule(), "an operator of the list has no lowering rule");

}  // namespace

LowerRule lowering_rule(uint64_t op) {
  return op >= 1 && op <= kOpCodeCount ? kRules[op] : lower_unary;
}

}  // namespace vorn
