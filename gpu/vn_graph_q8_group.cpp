// Linear nodes with Q8 weights that read one input of many rows, run as one
// dispatch of "matmul_q8": the kernel cuts all their panels over the pool
// together rather than each product in turn with a wait between.
#include "container/records.h"
#include "gpu/graph_ops.h"
#include "gpu/vn_graph.h"

namespace vorn {

uint64_t VNGraph::foldedProductQ8(uint64_t step, const std::vector<VNTensorRef>& slot, const LinearPart* parts,
                                  uint64_t count, const LinearInput& in, std::vector<VNTensorRef>* outs,
                                  const mtl::CommandBufferRef& command) {
  const VNTensorRef& x = in.x;
  const uint32_t output = fusion_[step];
  const LinearPart& first = parts[0];
  if (!linearReadsQ8(*x, *first.weight)) return 0;
  std::vector<uint64_t> shape = x->shape;
  shape.back() = first.n;
  shaders::MatvecParams p{.rows = uint32_t(first.n),
                          .k = uint32_t(in.k),
                          .has_bias = first.bias != nullptr,
                          .row_bytes = uint32_t(first.weight->rowBytes),
                          .output = output};
  const VNTensor* bias = first.bias != nullptr ? first.bias : first.weight;  // bound, never read
  const mtl::Size3 grid{1, in.m, 1};
  if (output == shaders::kMatvecResidual) {
    // The add's other operand, of the product's shape (the add's output
    // takes its first operand's).
    const GraphNode& product = nodes_[order_[step]];
    const GraphNode& add = nodes_[order_[step + 1]];
    const VNTensorRef& residual = slot[add.inputs[0] == product.outputs[0] ? add.inputs[1] : add.inputs[0]];
    if (residual == nullptr || residual->dtype != activation_ || residual->shape != shape) return 0;
    VNTensorRef out = tensor(shape, activation_);
    kernelGroups<Kernel::matmul_q8>({x.get(), first.weight, out.get(), bias, residual.get()}, p, grid,
                                    kThreadsPerGroup, command);
    outs->push_back(nullptr);
    outs->push_back(std::move(out));
    return 2;
  }
  if (output != shaders::kMatvecSwiglu || count < 2) return 0;
  // The gate is this product, the up projection the next (planned so).
  const LinearPart& up = parts[1];
  if (up.n != first.n || !linearReadsQ8(*x, *up.weight) || up.weight->rowBytes != first.weight->rowBytes) return 0;
  p.extra_parts = 1;
  p.part_rows[0] = uint32_t(up.n);
  p.part_has_bias = up.bias != nullptr;
  const VNTensor* up_bias = up.bias != nullptr ? up.bias : up.weight;
  VNTensorRef out = tensor(shape, activation_);
  // (The gate's output binding is the block's output, never written: its
  // sums stay in the kernel's scratch.)
  kernelGroups<Kernel::matmul_q8>({x.get(), first.weight, out.get(), bias, up.weight, out.get(), up_bias}, p, grid,
                                  kThreadsPerGroup, command);
  for (int i = 0; i < 3; ++i) outs->push_back(nullptr);
  outs->push_back(std::move(out));
  return 4;
}

uint64_t VNGraph::linearGroupQ8(uint64_t step, const std::vector<VNTensorRef>& slot, std::vector<VNTensorRef>* outs,
                                const mtl::CommandBufferRef& command, bool fold) {
  // The parts: what linear() itself would run through "matmul_q8".
  LinearPart parts[kMostLinearParts];
  LinearInput in;
  uint64_t count = linearRun(step, slot, parts, &in);
  const VNTensorRef& x = in.x;
  const uint64_t m = in.m, k = in.k;
  if (fold && count > 0 && fusion_[step] != shaders::kMatvecPlain)
    if (const uint64_t folded = foldedProductQ8(step, slot, parts, count, in, outs, command)) return folded;
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
