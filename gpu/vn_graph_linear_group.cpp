// Linear nodes that read one input, run as one graph: the graph layer cuts
// their products over the pool together, as one product as wide as all of
// them, rather than each in turn with a wait between.
#include "container/records.h"
#include "gpu/graph_ops.h"
#include "gpu/vn_graph.h"

namespace vorn {

uint64_t VNGraph::linearRun(uint64_t step, const std::vector<VNTensorRef>& slot, LinearPart* parts,
                            LinearInput* in) const {
  const GraphNode& first = nodes_[order_[step]];
  if (first.inputs.empty()) return 0;
  const VNTensorRef& x = slot[first.inputs[0]];
  if (x == nullptr || x->dtype != activation_ || x->shape.empty()) return 0;
  const uint64_t k = shape_last_dim(x->shape);
  const uint64_t m = k != 0 ? x->count / k : 0;
  if (m < 2 || k % 2 != 0) return 0;
  *in = {x, m, k};
  uint64_t count = 0;
  while (count < kMostLinearParts && step + count < order_.size()) {
    const GraphNode& node = nodes_[order_[step + count]];
    if (node.op != kLinear || node.outputs.size() != 1 || node.outputs[0] == logitsId_ || node.group != first.group ||
        node.inputs.size() < 2 || node.inputs.size() > 3 || node.inputs[0] != first.inputs[0])
      break;
    const VNTensorRef& w = slot[node.inputs[1]];
    const VNTensor* b = node.inputs.size() > 2 ? slot[node.inputs[2]].get() : nullptr;
    if (w == nullptr || (node.inputs.size() > 2 && b == nullptr)) break;
    const uint64_t n = shape_dim_at(w->shape, 0);
    if (n % 2 != 0 || w->count != n * k) break;
    if (b != nullptr && (b->count != n || b->dtype != kElemF16)) break;
    parts[count++] = {w.get(), b, n};
  }
  return count;
}

uint64_t VNGraph::linearGroup(uint64_t step, const std::vector<VNTensorRef>& slot, std::vector<VNTensorRef>* outs,
                              const mtl::CommandBufferRef& command) {
  if (!graphLinear_ || activation_ != kElemF32) return 0;
  // The parts: what linear() itself would run through the graph layer.
  LinearPart parts[kMostLinearParts];
  LinearInput in;
  uint64_t count = linearRun(step, slot, parts, &in);
  const VNTensorRef& x = in.x;
  const uint64_t m = in.m, k = in.k;
  for (uint64_t i = 0; i < count; ++i)
    if (parts[i].weight->dtype != kElemF16 || !largeProduct(m, parts[i].n, k)) count = i;
  if (count < 2) return 0;

  ShapeKey key{kLinearGroup, {m, k, 0, 0, 0, 0}};
  for (uint64_t i = 0; i < count; ++i) {
    key.dims[2] |= uint64_t(parts[i].bias != nullptr) << i;
    key.dims[3 + i] = parts[i].n;
  }
  CachedGroup& g = *linearGroups_.get(key, [&] {
    auto made = std::make_unique<CachedGroup>();
    mpsg::Graph& graph = made->graph;
    const mpsg::Tensor xs = graph.placeholder({int64_t(m), int64_t(k)}, DataType::kFloat32, "x");
    made->inputs.push_back(xs);
    for (uint64_t i = 0; i < count; ++i) {
      const mpsg::Tensor ws = graph.placeholder({int64_t(parts[i].n), int64_t(k)}, DataType::kFloat16, "weight");
      made->inputs.push_back(ws);
      mpsg::Tensor r = graph.matrixMultiplication(xs, graph.transpose(graph.cast(ws, DataType::kFloat32), 0, 1));
      if (parts[i].bias != nullptr) {
        const mpsg::Tensor bs = graph.placeholder({int64_t(parts[i].n)}, DataType::kFloat16, "bias");
        made->inputs.push_back(bs);
        r = graph.addition(r, graph.cast(bs, DataType::kFloat32));
      }
      made->results.push_back(r);
    }
    return made;
  });
  mpsg::TensorDataMap feeds{{g.inputs[0], {x->buffer, x->offset, {int64_t(m), int64_t(k)}, DataType::kFloat32}}};
  mpsg::TensorDataMap results;
  size_t input = 1;
  for (uint64_t i = 0; i < count; ++i) {
    const LinearPart& p = parts[i];
    feeds.push_back({g.inputs[input++], {p.weight->buffer, p.weight->offset, {int64_t(p.n), int64_t(k)}, DataType::kFloat16}});
    if (p.bias != nullptr)
      feeds.push_back({g.inputs[input++], {p.bias->buffer, p.bias->offset, {int64_t(p.n)}, DataType::kFloat16}});
    std::vector<uint64_t> shape = x->shape;
    shape.back() = p.n;
    VNTensorRef out = tensor(shape, activation_);
    results.push_back({g.results[i], {out->buffer, out->offset, {int64_t(m), int64_t(p.n)}, DataType::kFloat32}});
    outs->push_back(std::move(out));
  }
  g.graph.encode(command, feeds, results);
  return count;
}

}  // namespace vorn
