#include "kernels/split_gate.h"

#include <algorithm>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/kernel.h"
#include "kernels/ops/node_check.h"

namespace vorn {

namespace {

// Picoseconds per unit of work on one thread, fitted to the time of each
// node of the benchmark's small models (fr_*, shufflenet, mobilenet_v3_small,
// BlazeFace, the ViT, the wakeword embedding): per operator class, a
// multiply-add of its product (per kernel form: half the vector width takes
// about 1.5 to 2 times as long) and an element of its operands (inputs,
// weights and outputs, read or written once by the packing and the
// epilogue); an element of a cheap operation, of an exponential-based one,
// of one through a library function, and a tap of a pooling window. The
// fit is within about 20% for most convolutions and products of 5 to 300
// microseconds, which is what the gate needs near its minimum.
struct ProductCost {
  uint64_t mac_ps[3];  // by KernelIsa: portable, AVX2, AVX-512
  uint64_t operand_ps;
};
constexpr ProductCost kPointwiseCost = {{45, 23, 15}, 100};
constexpr ProductCost kDepthwiseCost = {{100, 50, 27}, 140};
constexpr ProductCost kWindowCost = {{52, 26, 17}, 270};
constexpr ProductCost kMatMulCost = {{36, 18, 12}, 170};
constexpr uint64_t kElementPs = 150;
constexpr uint64_t kExpPs = 560;
constexpr uint64_t kLibraryPs = 5000;
constexpr uint64_t kTapPs = 220;
// A row of a Softmax beyond its elements: a detector's softmax over two
// classes of 4420 anchors takes 72 microseconds, not the 5 its elements
// alone would.
constexpr uint64_t kSoftmaxRowPs = 15000;

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

uint64_t product_work(const CpuState& s, const NodeRecord& n, const ProductCost& cost, uint64_t macs) {
  const uint64_t form = std::min<uint64_t>(static_cast<uint64_t>(s.isa), 2);
  return saturating_sum(saturating_product(macs, cost.mac_ps[form]),
                        saturating_product(operand_elements(s, n), cost.operand_ps));
}

// The cost class of a Conv or ConvTranspose: depthwise (one input channel
// per group), pointwise (a 1 x 1 window) or any other window.
const ProductCost& conv_cost(const CpuState& s, const NodeRecord& n) {
  const uint64_t groups = n.attr(attr::Conv::kGroups);
  if (groups > 1 && n.input(1) < s.value_count && s.values[n.input(1)].rank() >= 2 &&
      s.values[n.input(1)].dim(1) == 1)
    return kDepthwiseCost;
  if (n.attr_i64(attr::Window::kKernelH) <= 1 && n.attr_i64(attr::Window::kKernelW) <= 1) return kPointwiseCost;
  return kWindowCost;
}

}  // namespace

uint64_t cpu_node_work(const CpuState& s, const NodeRecord& n) {
  const uint64_t code = n.op();
  const uint64_t all = elements(s, n);
  switch (code) {
    case op::Conv:
    case op::ConvTranspose:
      return product_work(s, n, conv_cost(s, n), window_macs(s, n, code == op::ConvTranspose));
    case op::Gemm:
    case op::MatMul: return product_work(s, n, kMatMulCost, product_macs(s, n));
    case op::MaxPool:
    case op::AveragePool: {
      const uint64_t taps = std::max<int64_t>(1, n.attr_i64(attr::Window::kKernelH)) *
                            std::max<int64_t>(1, n.attr_i64(attr::Window::kKernelW));
      return saturating_product(saturating_product(count_of(s, n.output(0)), taps), kTapPs);
    }
    case op::Softmax: {
      const ValueRecord* y = n.output(0) < s.value_count ? &s.values[n.output(0)] : nullptr;
      uint64_t axis = 0;
      const uint64_t d = y != nullptr && normalise_axis(n.attr_i64(attr::Softmax::kAxis), y->rank(), &axis)
                             ? std::max<uint64_t>(1, y->dim(axis))
                             : 1;
      return saturating_sum(saturating_product(all, kExpPs), saturating_product(all / d, kSoftmaxRowPs));
    }
    case op::Sigmoid:
    case op::Tanh:
    case op::Exp:
    case op::Elu:
    case op::Selu:
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

namespace {

// The class minimum of the node, and the minimum of the work that spreads
// whatever its neighbours do.
struct Minimums {
  uint64_t own, alone;
};

Minimums minimums_of(const CpuState& s, const NodeRecord& n) {
  if (n.op() == op::Conv) {
    const ProductCost& cost = conv_cost(s, n);
    if (&cost == &kWindowCost) return {kMinWindowSplitWork, kMinSplitWork};
    if (&cost == &kPointwiseCost) return {kMinPointwiseSplitWork, kMinPointwiseAloneWork};
    if (&cost == &kDepthwiseCost) return {kMinDepthwiseSplitWork, kMinDepthwiseAloneWork};
  }
  if (n.op() == op::BatchNormalization) return {kMinAffineSplitWork, kMinAffineSplitWork};
  if (n.op() == op::GlobalAveragePool) return {kMinAffineSplitWork, kMinSplitWork};
  return {kMinSplitWork, kMinSplitWork};
}

// The node of the pass that writes value id, or nullptr (an input of the
// pass or a weight); producers mostly run just before their consumers, so
// the search goes backwards.
const NodeRecord* producer_of(const CpuState& s, uint64_t id) {
  for (uint64_t i = s.node_count; i-- > 0;)
    for (uint64_t k = 0; k < s.nodes[i].output_count() && k < kNodeMaxOutputs; ++k)
      if (s.nodes[i].output(k) == id) return &s.nodes[i];
  return nullptr;
}

// Layers between their class's minimum and the one at which they spread
// alone, walked back through this many producers at most (a longer chain
// of such layers stays on the calling thread).
constexpr int kMaxProducerChain = 32;

bool stays_serial(const CpuState& s, const NodeRecord& n, int depth) {
  const Minimums m = minimums_of(s, n);
  const uint64_t work = cpu_node_work(s, n);
  if (work < m.own) return true;
  if (work >= m.alone || n.input_count() == 0) return false;
  // Between the two a layer spreads only behind a producer that spreads:
  // its input then lies in the caches of the threads that split it, where
  // behind a node on the calling thread every thread first fetches its
  // share from that core, and the node after it, often a copy on the
  // calling thread (a channel shuffle), fetches the outputs back.
  if (depth >= kMaxProducerChain) return true;
  const NodeRecord* p = producer_of(s, n.input(0));
  return p != nullptr && p != &n && stays_serial(s, *p, depth + 1);
}

}  // namespace

bool cpu_node_stays_serial(const CpuState& s, const NodeRecord& n) { return stays_serial(s, n, 0); }

bool cpu_pass_spreads(const CpuState& s) {
  uint64_t spread = 0, largest = 0;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    if (cpu_node_stays_serial(s, s.nodes[i])) continue;
    const uint64_t work = cpu_node_work(s, s.nodes[i]);
    spread = saturating_sum(spread, work);
    largest = std::max(largest, work);
  }
  return spread >= kMinPassSpreadWork || largest >= kMinLoneSpreadWork;
}

}  // namespace vorn
