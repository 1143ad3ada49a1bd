#include "kernels/quant_operands.h"

#include "kernels/int8_paths.h"
#include "kernels/quant_state.h"
#include "kernels/split_gate.h"
#include "platform/blas.h"

namespace vorn {

namespace {

// Copies op(X) (rows x cols) untransposed into dst.
void gather(float* dst, const float* x, bool trans, int64_t rows, int64_t cols, int64_t ld) {
  if (!trans) {
    for (int64_t i = 0; i < rows; ++i) {
      const float* src = x + i * ld;
      float* d = dst + i * cols;
      for (int64_t j = 0; j < cols; ++j) d[j] = src[j];
    }
    return;
  }
  for (int64_t j = 0; j < cols; ++j) {
    const float* src = x + j * ld;
    for (int64_t i = 0; i < rows; ++i) dst[i * cols + j] = src[i];
  }
}

CpuQuantState* operand_state(CpuState& s, const float* x) {
  CpuQuantState* q = s.quant;
  if (q == nullptr || q->config.operand == kQuantOff || x == nullptr) return nullptr;
  if (cpu_quant_is_weight(*q, x)) return nullptr;
  return q;
}

}  // namespace

bool cpu_gemm_quantising(const CpuState& s) {
  return s.quant != nullptr && s.quant->config.operand != kQuantOff;
}

const float* gemm_quant_operand_a(CpuState& s, const float* a, bool trans, int64_t m, int64_t k,
                                  int64_t lda) {
  CpuQuantState* q = operand_state(s, a);
  if (q == nullptr || m <= 0 || k <= 0) return a;
  const uint64_t need = static_cast<uint64_t>(m) * static_cast<uint64_t>(k);
  if (need > q->capacity_a) {
    ++q->operand_misses;
    return a;
  }
  float* dst = q->scratch_a;
  gather(dst, a, trans, m, k, lda);
  if (q->config.whole_operand)
    quant_vector(dst, need, 1, q->config.operand);
  else
    quant_blocks(dst, static_cast<uint64_t>(m), static_cast<uint64_t>(k), static_cast<uint64_t>(k), 1,
                 q->config.operand, q->config.operand_block);
  return dst;
}

const float* gemm_quant_operand_b(CpuState& s, const float* b, bool trans, int64_t k, int64_t n,
                                  int64_t ldb) {
  CpuQuantState* q = operand_state(s, b);
  if (q == nullptr || k <= 0 || n <= 0) return b;
  const uint64_t need = static_cast<uint64_t>(k) * static_cast<uint64_t>(n);
  if (need > q->capacity_b) {
    ++q->operand_misses;
    return b;
  }
  float* dst = q->scratch_b;
  gather(dst, b, trans, k, n, ldb);
  if (q->config.whole_operand)
    quant_vector(dst, need, 1, q->config.operand);
  else
    quant_blocks(dst, static_cast<uint64_t>(n), static_cast<uint64_t>(k), 1, static_cast<uint64_t>(n),
                 q->config.operand, q->config.operand_block);
  return dst;
}

void cpu_gemm(CpuState& s, bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha,
              const float* a, int64_t lda, const float* b, int64_t ldb, float beta, float* c,
              int64_t ldc) {
  if (cpu_i8_ready(s) &&
      cpu_i8_gemm(s, trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc) != 0)
    return;
  if (cpu_gemm_quantising(s)) {
    const float* qa = gemm_quant_operand_a(s, a, trans_a, m, k, lda);
    if (qa != a) {
      a = qa;
      trans_a = false;
      lda = k;
    }
    const float* qb = gemm_quant_operand_b(s, b, trans_b, k, n, ldb);
    if (qb != b) {
      b = qb;
      trans_b = false;
      ldb = n;
    }
  }
  // A node kept on the calling thread keeps its product there too.
  if (cpu_split_allowed())
    cpu_sgemm(trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
  else
    cpu_sgemm_threading(SgemmThreading::kSerial, 1, trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

}  // namespace vorn
