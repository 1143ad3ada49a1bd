#include "kernels/split_gate.h"

#include <algorithm>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/kernel.h"

namespace vorn {

namespace {

// Picoseconds per unit of work on one thread with AVX2: a multiply-add of
// a product, an output of a convolution beyond its multiply-adds (a
// depthwise layer's are mostly that), an element read or written by a cheap
// operation (an operand of a product among them: a single row is as slow
// as its weights are to read), an element of an exponential-based
// operation, of one through a library function, and a tap of a pooling
// window.
constexpr uint64_t kMacPs = 25;
constexpr uint64_t kConvOutputPs = 500;
constexpr uint64_t kElementPs = 250;
constexpr uint64_t kExpPs = 800;
constexpr uint64_t kLibraryPs = 5000;
constexpr uint64_t kTapPs = 150;

uint64_t count_of(const CpuState& s, uint64_t id) { return id < s.value_count ? s.values[id].count() : 0; }

// The elements the node reads or writes, whichever is more.
uint64_t elements(const CpuState& s, const NodeRecord& n) {
  uint64_t most = 0;
  for (uint64_t k = 0; k < n.input_count() && k < kNodeMaxInputs; ++k) most = std::max(most, count_of(s, n.input(k)));
  for (uint64_t k = 0; k < n.output_count() && k < kNodeMaxOutputs; ++k)
    most = std::max(most, count_of(s, n.output(k)));
  return most;
}

uint64_t saturating_product(uint64_t a, uint64_t b) {
  return b != 0 && a > ~uint64_t{0} / b ? ~uint64_t{0} : a * b;
}

uint64_t saturating_sum(uint64_t a, uint64_t b) { return a > ~uint64_t{0} - b ? ~uint64_t{0} : a + b; }

// The elements of every input and output.
uint64_t operand_elements(const CpuState& s, const NodeRecord& n) {
  uint64_t sum = 0;
  for (uint64_t k = 0; k < n.input_count() && k < kNodeMaxInputs; ++k) sum = saturating_sum(sum, count_of(s, n.input(k)));
  for (uint64_t k = 0; k < n.output_count() && k < kNodeMaxOutputs; ++k)
    sum = saturating_sum(sum, count_of(s, n.output(k)));
  return sum;
}

// Multiply-adds of a Conv or ConvTranspose: one weight row per output (or
// input) element.
uint64_t window_macs(const CpuState& s, const NodeRecord& n, bool transposed) {
  if (n.input_count() < 2 || n.input(1) >= s.value_count) return 0;
  const ValueRecord& w = s.values[n.input(1)];
  if (w.rank() < 1 || w.dim(0) == 0) return 0;
  const uint64_t per_row = w.count() / w.dim(0);
  return saturating_product(count_of(s, transposed ? n.input(0) : n.output(0)), per_row);
}

// Multiply-adds of a Gemm or MatMul: each output sums over the shared
// dimension, the last of A (the first when A is transposed).
uint64_t product_macs(const CpuState& s, const NodeRecord& n) {
  if (n.input(0) >= s.value_count) return 0;
  const ValueRecord& a = s.values[n.input(0)];
  if (a.rank() < 1) return 0;
  const bool trans_a = n.op() == op::Gemm && n.attr(attr::Gemm::kTransA) != 0;
  const uint64_t k = trans_a ? a.dim(0) : a.dim(a.rank() - 1);
  return saturating_product(count_of(s, n.output(0)), k);
}

}  // namespace

uint64_t cpu_node_work(const CpuState& s, const NodeRecord& n) {
  const uint64_t code = n.op();
  const uint64_t all = elements(s, n);
  switch (code) {
    case op::Conv:
    case op::ConvTranspose: {
      const uint64_t outputs = count_of(s, n.output(0));
      return saturating_sum(saturating_product(window_macs(s, n, code == op::ConvTranspose), kMacPs),
                            saturating_sum(saturating_product(outputs, kConvOutputPs),
                                           saturating_product(operand_elements(s, n), kElementPs)));
    }
    case op::Gemm:
    case op::MatMul:
      return saturating_sum(saturating_product(product_macs(s, n), kMacPs),
                            saturating_product(operand_elements(s, n), kElementPs));
    case op::MaxPool:
    case op::AveragePool: {
      const uint64_t taps = std::max<int64_t>(1, n.attr_i64(attr::Window::kKernelH)) *
                            std::max<int64_t>(1, n.attr_i64(attr::Window::kKernelW));
      return saturating_product(saturating_product(count_of(s, n.output(0)), taps), kTapPs);
    }
    case op::Sigmoid:
    case op::Tanh:
    case op::Exp:
    case op::Elu:
    case op::Selu:
    case op::Softmax:
    case op::LayerNormalization:
    case op::InstanceNormalization: return saturating_product(all, kExpPs);
    case op::Sin:
    case op::Cos:
    case op::Log:
    case op::Mod:
    case op::Erf:
    case op::Gelu: return saturating_product(all, kLibraryPs);
    default: return saturating_product(all, kElementPs);
  }
}

}  // namespace vorn
