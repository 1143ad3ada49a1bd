// The matrix product of the CPU kernels, with the engine's int8 offer and
// simulated quantisation of the product's operands in front of sgemm.
//
// With VORN_CPU_QA set, every operand that is not a weight rounded at
// creation is copied (row-major, untransposed) into the engine's scratch and
// rounded there, blocked along the reduction axis K: A by its M rows of K
// values, B by its N columns of K values. The scratch belongs to the engine,
// so products that quantise must run one at a time on the pass's thread:
// kernels ask cpu_gemm_quantising and then make their products one by one
// instead of splitting them over the pool.
#pragma once
#include <cstdint>

#include "kernels/cpu_state.h"

namespace vorn {

// True when this engine's products take rounded copies of their operands.
bool cpu_gemm_quantising(const CpuState& state);

// Row-major C[M x N] = alpha * op(A) * op(B) + beta * C, as cpu_sgemm, after
// offering the product to the int8 path and rounding the operands.
void cpu_gemm(CpuState& state, bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k,
              float alpha, const float* a, int64_t lda, const float* b, int64_t ldb, float beta,
              float* c, int64_t ldc);

// The operand copies: return the operand itself when nothing is rounded (QA
// off, or a weight handled at creation), else the engine's rounded,
// untransposed copy (leading dimension K for A, N for B).
const float* gemm_quant_operand_a(CpuState& state, const float* a, bool trans, int64_t m,
                                  int64_t k, int64_t lda);
const float* gemm_quant_operand_b(CpuState& state, const float* b, bool trans, int64_t k,
                                  int64_t n, int64_t ldb);

}  // namespace vorn
