// The parameters of the generative kernels, one struct per family of kernels
// that read the same values: an encoder (gpu/vn_graph_*.cpp) fills the
// struct by field name and the kernel reads it by field name. kernel_list.inc
// names each kernel's struct, and both sides look it up there through
// kernel_ids.h (KernelParams<Kernel::norm> is NormParams), so handing a
// kernel the wrong struct does not compile.
//
// Every struct is the 80-byte block the device binds at index 3: sixteen
// 32-bit words u0..u15 followed by four floats f0..f3. Each field keeps the
// word it has always had (the static_asserts say which), so the block's bytes
// are what they were when kernels read positions; the words a family does not
// name stay 0, as does every field an encoder leaves out.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace vorn::shaders {

constexpr uint32_t kParamsIndex = 3;
constexpr size_t kParamsBytes = 80;

// "embedding", "embedding_q8", "dequant_q8": elements made from the rows of
// a half table or of a Q8 weight.
struct TableParams {
  uint32_t count = 0;      // u0: elements written
  uint32_t columns = 0;    // u1: elements of a row (the hidden size)
  uint32_t row_bytes = 0;  // u2: bytes of a Q8 row
  uint32_t unused_u[13] = {};
  float unused_f[4] = {};
};

// "pointwise", "linear_bias", "weights_float": one element per thread.
struct ElementwiseParams {
  uint32_t count = 0;          // u0: elements of x and y
  uint32_t operand_count = 0;  // u1: elements of b (pointwise), or N (linear_bias)
  uint32_t op = 0;             // u2: PointwiseOp (pointwise)
  uint32_t unused_u[13] = {};
  float unused_f[4] = {};
};

// "matvec", "matvec_q8": y = W x + bias, one SIMD group per output row.
struct MatvecParams {
  uint32_t rows = 0;       // u0: N, the outputs
  uint32_t k = 0;          // u1: K, the length of x
  uint32_t has_bias = 0;   // u2
  uint32_t row_bytes = 0;  // u3: bytes of a Q8 weight row
  // u4: what the row's result becomes before its store (MatvecOutput).
  uint32_t output = 0;
  uint32_t has_up_bias = 0;  // u5: kMatvecSwiglu's second bias
  // u6, u7: a plain product's rows in heads of head_rows (0: one run of N),
  // head h's first row at element h * head_stride of y: the new row of a
  // head-major KV cache, written in place.
  uint32_t head_rows = 0;
  uint32_t head_stride = 0;
  // "matmul_q8" only: further products of the same x run in the same
  // dispatch, part i (1, 2) with its weight at buffer 2 + 3i, its output at
  // 3 + 3i and its bias at 4 + 3i, of row_bytes rows like the first.
  uint32_t extra_parts = 0;       // u8: 0, 1 or 2
  uint32_t part_rows[2] = {};     // u9, u10: N of parts 1 and 2
  uint32_t part_has_bias = 0;     // u11: bit i - 1 set when part i has a bias
  uint32_t rope_head_dim = 0;     // u12: kMatvecRope's d
  uint32_t unused_u[3] = {};
  float theta = 0;  // f0: kMatvecRope's base
  float unused_f[3] = {};
};

// The output steps of "matvec" and "matvec_q8". Each gives exactly the bits
// of the product followed by the separate pointwise kernels.
enum MatvecOutput : uint32_t {
  kMatvecPlain = 0,
  // y = residual (buffer 5) + the product, each rounded to the activation.
  kMatvecResidual = 1,
  // y = silu(x W^T + b) * (x U^T + c): U at buffer 5 (the same kind and
  // shape as W), c at buffer 6 when has_up_bias.
  kMatvecSwiglu = 2,
  // The rows rotated as "rope" rotates one row of heads of rope_head_dim
  // (d/2 at most kRopeTable) at the position in buffer 5 (one int64). A
  // group takes rows c and c + d/2 of a head together. head_rows, when not
  // 0, is d and places the heads as in a plain product.
  kMatvecRope = 3,
};

// "matmul", "matmul_rows64", "matmul_direct64": y [M, N] = x [M, K] W^T +
// bias (matmul_direct64 takes M from its grid and adds no bias).
struct MatmulParams {
  uint32_t m = 0;         // u0
  uint32_t n = 0;         // u1
  uint32_t k = 0;         // u2
  uint32_t has_bias = 0;  // u3
  uint32_t unused_u[12] = {};
  float unused_f[4] = {};
};

// "unfold": image patches to rows.
struct UnfoldParams {
  uint32_t count = 0;             // u0: elements written
  uint32_t patch = 0;             // u1: patch side p
  uint32_t patches_per_side = 0;  // u2
  uint32_t channels = 0;          // u3
  uint32_t unused_u[12] = {};
  float unused_f[4] = {};
};

// "shuffle": space to depth by a factor.
struct ShuffleParams {
  uint32_t count = 0;     // u0: elements written
  uint32_t factor = 0;    // u1
  uint32_t height = 0;    // u2
  uint32_t width = 0;     // u3
  uint32_t channels = 0;  // u4
  uint32_t unused_u[11] = {};
  float unused_f[4] = {};
};

// "scatter": image feature rows into token rows.
struct ScatterParams {
  uint32_t count = 0;      // u0: elements written
  uint32_t hidden = 0;     // u1: elements of a row
  uint32_t positions = 0;  // u2: image rows (entries of the positions buffer)
  uint32_t unused_u[13] = {};
  float unused_f[4] = {};
};

// "cache_append": K or V rows into a cache tensor of `stride` rows per head.
struct CacheAppendParams {
  uint32_t count = 0;        // u0: elements written
  uint32_t head_dim = 0;     // u1: d
  uint32_t heads = 0;        // u2: key/value heads
  uint32_t queries = 0;      // u3: s, the new rows
  uint32_t past = 0;         // u4: rows already cached
  uint32_t stride = 0;       // u5: rows per head of the target
  uint32_t append = 0;       // u6: 1 when the new rows are written in place behind the past ones
  uint32_t past_stride = 0;  // u7: rows per head of the past tensor
  uint32_t unused_u[8] = {};
  float unused_f[4] = {};
};

// "norm": layer norm or RMS norm, one threadgroup per row.
struct NormParams {
  uint32_t n = 0;    // u0: elements of a row
  uint32_t rms = 0;  // u1: 1 RMS norm, 0 layer norm
  uint32_t unused_u[14] = {};
  float epsilon = 0;  // f0
  float unused_f[3] = {};
};

// "rope": rotary position embedding, one thread per element.
struct RopeParams {
  uint32_t count = 0;     // u0: elements
  uint32_t head_dim = 0;  // u1: d
  uint32_t heads = 0;     // u2
  // u3: 0, or for a single row the elements from one head's output to the
  // next (the new row of a head-major KV cache, written in place).
  uint32_t head_stride = 0;
  uint32_t unused_u[12] = {};
  float theta = 0;  // f0
  float unused_f[3] = {};
};

// The attention kernels ("attention_layout", "attention_scale_mask",
// "attention_scores", "attention_softmax", "attention_values", "attention",
// "attention_decode64", "attention_causal"): one struct filled once per attention and handed to
// each kernel of its path; each reads the fields it needs.
struct AttentionParams {
  uint32_t query_heads = 0;  // u0: hq (the heads of attention_layout)
  uint32_t kv_heads = 0;     // u1: hk
  uint32_t head_dim = 0;     // u2: d
  uint32_t queries = 0;      // u3: s, the query rows
  uint32_t keys = 0;         // u4: total = past + s (the row length of attention_softmax)
  uint32_t batch = 0;        // u5: attention_layout, attention_scale_mask
  uint32_t direction = 0;    // u6: attention_layout, 0 token-major to head-major, 1 back
  uint32_t kv_stride = 0;    // u7: rows per head of the K and V tensors
  uint32_t unused_u[6] = {};
  uint32_t causal = 0;  // u14: 1 masks by the causal rule (the mask is empty)
  uint32_t unused_u15 = 0;
  float unused_f[4] = {};
};

// A field's word in the block: u0..u15 are words 0..15, f0..f3 words 16..19.
#define VORN_PARAMS_WORD(Type, field, word) \
  static_assert(offsetof(Type, field) == 4 * (word), #Type "::" #field " must stay word " #word)
#define VORN_PARAMS_BLOCK(Type) \
  static_assert(sizeof(Type) == kParamsBytes && std::is_trivially_copyable_v<Type>, #Type " is not one block")

VORN_PARAMS_BLOCK(TableParams);
VORN_PARAMS_WORD(TableParams, row_bytes, 2);
VORN_PARAMS_BLOCK(ElementwiseParams);
VORN_PARAMS_WORD(ElementwiseParams, op, 2);
VORN_PARAMS_BLOCK(MatvecParams);
VORN_PARAMS_WORD(MatvecParams, row_bytes, 3);
VORN_PARAMS_WORD(MatvecParams, output, 4);
VORN_PARAMS_WORD(MatvecParams, has_up_bias, 5);
VORN_PARAMS_WORD(MatvecParams, head_stride, 7);
VORN_PARAMS_WORD(MatvecParams, extra_parts, 8);
VORN_PARAMS_WORD(MatvecParams, part_rows, 9);
VORN_PARAMS_WORD(MatvecParams, part_has_bias, 11);
VORN_PARAMS_WORD(MatvecParams, rope_head_dim, 12);
VORN_PARAMS_WORD(MatvecParams, theta, 16);
VORN_PARAMS_BLOCK(MatmulParams);
VORN_PARAMS_WORD(MatmulParams, has_bias, 3);
VORN_PARAMS_BLOCK(UnfoldParams);
VORN_PARAMS_WORD(UnfoldParams, channels, 3);
VORN_PARAMS_BLOCK(ShuffleParams);
VORN_PARAMS_WORD(ShuffleParams, channels, 4);
VORN_PARAMS_BLOCK(ScatterParams);
VORN_PARAMS_WORD(ScatterParams, positions, 2);
VORN_PARAMS_BLOCK(CacheAppendParams);
VORN_PARAMS_WORD(CacheAppendParams, past_stride, 7);
VORN_PARAMS_BLOCK(NormParams);
VORN_PARAMS_WORD(NormParams, rms, 1);
VORN_PARAMS_WORD(NormParams, epsilon, 16);
VORN_PARAMS_BLOCK(RopeParams);
VORN_PARAMS_WORD(RopeParams, heads, 2);
VORN_PARAMS_WORD(RopeParams, head_stride, 3);
VORN_PARAMS_WORD(RopeParams, theta, 16);
VORN_PARAMS_BLOCK(AttentionParams);
VORN_PARAMS_WORD(AttentionParams, kv_stride, 7);
VORN_PARAMS_WORD(AttentionParams, causal, 14);

#undef VORN_PARAMS_WORD
#undef VORN_PARAMS_BLOCK

}  // namespace vorn::shaders
