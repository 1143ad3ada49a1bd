// Linear nodes with Q8 weights that read one input of many rows, run as one
// dispatch of "matmul_q8": the kernel cuts all their panels over the pool
// together rather than each product in turn with a wait between.
#include "container/records.h"
#include "gpu/graph_ops.h"
#include "gpu/vn_graph.h"

namespace vorn {

namespace {

constexpr uint64_t kMostQ8Parts = 3;

}  // namespace

uint64_t VNGraph::linearGroupQ8(uint64_t step, const std::vector<VNTensorRef>& slot, std::vector<VNTensorRef>* outs,
                                const mtl::CommandBufferRef& command) {
  const GraphNode& first = nodes_[order_[step]];
  if (first.inputs.empty()) return 0;
  const VNTensorRef& x = slot[first.inputs[0]];
  if (x == nullptr || x->dtype != activation_ || x->shape.empty()) return 0;
  const uint64_t k = shape_last_dim(x->shape);
  const uint64_t m = k != 0 ? x->count / k : 0;
  if (m < 2 || k % 2 != 0) return 0;
  // The parts: what linear() itself would run through "matmul_q8".
  const VNTensor* weights[kMostQ8Parts];
  const VNTensor* biases[kMostQ8Parts];
  uint64_t count = 0;
  while (count < kMostQ8Parts && step + count < order_.size()) {
    const GraphNode& node = nodes_[order_[step + count]];
    if (node.op != kLinear || node.outputs.size() != 1 || node.outputs[0] == logitsId_ || node.group != first.group ||
        node.inputs.size() < 2 || node.inputs.size() > 3 || node.inputs[0] != first.inputs[0])
      break;
    const VNTensorRef& w = slot[node.inputs[1]];
    const VNTensor* b = node.inputs.size() > 2 ? slot[node.inputs[2]].get() : nullptr;
    if (w == nullptr || (node.inputs.size() > 2 && b == nullptr) || !linearReadsQ8(*x, *w)) break;
    const uint64_t n = w->shape[0];
    if (n % 2 != 0 || w->count != n * k || (count > 0 && w->rowBytes != weights[0]->rowBytes)) break;
    if (b != nullptr && (b->count != n || b->dtype != kElemF16)) break;
    weights[count] = w.get();
    biases[count++] = b;
  }
  if (count < 2) return 0;

  shaders::MatvecParams p{.rows = uint32_t(weights[0]->shape[0]),
                          .k = uint32_t(k),
                          .has_bias = biases[0] != nullptr,
                          .row_bytes = uint32_t(weights[0]->rowBytes),
                          .extra_parts = uint32_t(count - 1)};
  VNTensorRef made[kMostQ8Parts];
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t n = weights[i]->shape[0];
    if (i > 0) {
      p.part_rows[i - 1] = uint32_t(n);
      p.part_has_bias |= uint32_t(biases[i] != nullptr) << (i - 1);
    }
    std::vector<uint64_t> shape = x->shape;
    shape.back() = n;
    made[i] = tensor(shape, activation_);
    if (biases[i] == nullptr) biases[i] = weights[i];  // bound, never read
  }
  const mtl::Size3 grid{1, m, 1};
  if (count == 2)
    kernelGroups<Kernel::matmul_q8>({x.get(), weights[0], made[0].get(), biases[0], weights[1], made[1].get(), biases[1]},
                                    p, grid, kThreadsPerGroup, command);
  else
    kernelGroups<Kernel::matmul_q8>({x.get(), weights[0], made[0].get(), biases[0], weights[1], made[1].get(), biases[1],
                                     weights[2], made[2].get(), biases[2]},
                                    p, grid, kThreadsPerGroup, command);
  for (uint64_t i = 0; i < count; ++i) outs->push_back(std::move(made[i]));
  return count;
}

}  // namespace vorn
