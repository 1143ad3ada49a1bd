// The lowering rules, one per operator, and the table that maps each
// operator code to its rule. A rule infers its node's output shapes and
// element kinds, evaluates what it can at conversion, and rewrites the node
// into the form the engines run; it returns false when it stopped the pass
// (the code and failing node are then in the state). The rules live in one
// file per kernel family (lower_<family>.cpp), as the kernels do.
#pragma once
#include "converter/lowering_internal.h"

namespace vorn {

using LowerRule = bool (*)(Lower& L, BuilderNode& n);

// The rule of an operator code; the plain elementwise rule for a code that
// is not an operator (node import never writes one; legacy mode lets such a
// node through with its input's shape).
LowerRule lowering_rule(uint64_t op);

// Elementwise (lower_elementwise.cpp). The prologue every elementwise rule
// runs first: false when it stopped the pass, *done when the node needs
// nothing more (an evaluated constant, a copied shape of a missing input).
bool elementwise_prologue(Lower& L, BuilderNode& n, bool* done);
bool lower_unary(Lower& L, BuilderNode& n);
bool lower_binary(Lower& L, BuilderNode& n);
bool lower_clip(Lower& L, BuilderNode& n);
bool lower_prelu(Lower& L, BuilderNode& n);
bool lower_identity(Lower& L, BuilderNode& n);  // Identity and Cast

// Convolution (lower_conv.cpp).
bool lower_window(Lower& L, BuilderNode& n);  // Conv, MaxPool, AveragePool
bool lower_gemm(Lower& L, BuilderNode& n);
bool lower_matmul(Lower& L, BuilderNode& n);

// Pooling (lower_pool.cpp).
bool lower_global_average_pool(Lower& L, BuilderNode& n);
bool lower_conv_transpose(Lower& L, BuilderNode& n);

// Normalisation (lower_norm.cpp).
bool lower_batchnorm(Lower& L, BuilderNode& n);
bool lower_layer_norm(Lower& L, BuilderNode& n);
bool lower_instance_norm(Lower& L, BuilderNode& n);

// Layout (lower_layout.cpp, lower_layout_index.cpp).
bool lower_flatten(Lower& L, BuilderNode& n);
bool lower_transpose(Lower& L, BuilderNode& n);
bool lower_concat(Lower& L, BuilderNode& n);
bool lower_expand(Lower& L, BuilderNode& n);  // and Tile, imported as Expand
bool lower_split(Lower& L, BuilderNode& n);
bool lower_depth_space(Lower& L, BuilderNode& n);  // DepthToSpace, SpaceToDepth
bool lower_pad(Lower& L, BuilderNode& n);
bool lower_where(Lower& L, BuilderNode& n);
bool lower_gather(Lower& L, BuilderNode& n);
bool lower_slice(Lower& L, BuilderNode& n);
bool lower_gather_nd(Lower& L, BuilderNode& n);
bool lower_scatter_nd(Lower& L, BuilderNode& n);  // and ScatterElements

// Reductions (lower_reduce.cpp).
bool lower_reduce(Lower& L, BuilderNode& n);  // ReduceMean, ReduceSum, ReduceMax, ReduceMin, ReduceProd
bool lower_argmax(Lower& L, BuilderNode& n);
bool lower_cumsum(Lower& L, BuilderNode& n);
bool lower_topk(Lower& L, BuilderNode& n);
bool lower_softmax(Lower& L, BuilderNode& n);

// Resampling (lower_resize.cpp; DeformUnfold in legacy_rewrite_lowering.cpp).
bool lower_resize(Lower& L, BuilderNode& n);
bool lower_grid_sample(Lower& L, BuilderNode& n);

// Detection (lower_detection.cpp; DetrTopK and MaskToBoxLogit in
// legacy_rewrite_lowering.cpp).
bool lower_non_max_suppression(Lower& L, BuilderNode& n);
bool lower_yolo_nms(Lower& L, BuilderNode& n);

// Operators that never reach the engines (lower_convert_time.cpp).
bool lower_shape(Lower& L, BuilderNode& n);
bool lower_reshape(Lower& L, BuilderNode& n);
bool lower_unsqueeze(Lower& L, BuilderNode& n);
bool lower_squeeze(Lower& L, BuilderNode& n);
bool lower_pow(Lower& L, BuilderNode& n);
bool lower_range(Lower& L, BuilderNode& n);
bool lower_constant_of_shape(Lower& L, BuilderNode& n);
bool lower_dequantize(Lower& L, BuilderNode& n);
bool lower_dynamic_quantize(Lower& L, BuilderNode& n);
bool lower_one_hot(Lower& L, BuilderNode& n);

}  // namespace vorn
