// Linear nodes with Q8 weights that read one input of many rows, run as one
// dispatch of "matmul_q8": the kernel cuts all their panels over the pool
// together rather than each product in turn with a wait between.
#include "container/records.h"
#include "gpu/graph_ops.h"
#include "gpu/vn_graph.h"

namespace vorn {

uint64_t VNGraph::linearGroupQ8(uint64_t step, const std::vector<VNTensorRef>& slot, std::vector<VNTensorRef>* outs,
                                const mtl::CommandBufferRef& command) {
  // The parts: what linear() itself would run through "matmul_q8".
  LinearPart parts[kMostLinearParts];
  LinearInput in;
  uint64_t count = linearRun(step, slot, parts, &in);
  const VNTensorRef& x = in.x;
  const uint64_t m = in.m, k = in.k;
  for (uint64_t i = 0; i < count; ++i)
    if (!linearReadsQ8(*x, *parts[i].weight) || parts[i].weight->rowBytes != parts[0].weight->rowBytes) count = i;
  const VNTensor* weights[kMostLinearParts];
  const VNTensor* biases[kMostLinearParts];
  for (uint64_t i = 0; i < count; ++i) {
    weights[i] = parts[i].weight;
    biases[i] = parts[i].bias;
  }
  if (count < 2) return 0;

  shaders::MatvecParams p{.rows = uint32_t(weights[0]->shape[0]),
                          .k = uint32_t(k),
                          .has_bias = biases[0] != nullptr,
                          .row_bytes = uint32_t(weights[0]->rowBytes),
                          .extra_parts = uint32_t(count - 1)};
  VNTensorRef made[kMostLinearParts];
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
