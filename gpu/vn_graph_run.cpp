// VNGraph's forward pass: binding, encoding every node in order, releasing
// intermediates after their last reader, splitting at group changes to poll
// the cancel word, profiling, captures and the KV-cache map.
#include <algorithm>
#include <optional>
#include <span>
#include <unordered_set>

#include "base/files.h"
#include "base/vn_error.h"
#include "container/records.h"
#include "gpu/graph_ops.h"
#include "gpu/shaders/kernel_params.h"
#include "gpu/vn_graph.h"
#include "platform/parallel.h"

namespace vorn {

namespace {

constexpr const char* kInputIds = "input_ids";
// How long before a decode pass's commit its workers are woken, and the
// share of its nodes left to encode at that point when no earlier pass
// gives the encoding time.
constexpr double kWakeLeadMs = 0.08;
constexpr double kWakeShare = 0.25;

double buffer_ms(const mtl::CommandBuffer& cb) { return (cb.gpu_end_time() - cb.gpu_start_time()) * 1000.0; }

// Returns when cb has completed; otherwise throws: out of memory when a
// kernel found none for its scratch (the caller may retry with less), else
// reason, followed by the buffer's error when detailed.
void require_completed(const mtl::CommandBuffer& cb, const char* reason, bool detailed = false) {
  if (cb.status() == mtl::CommandBufferStatus::kCompleted) return;
  if (cb.out_of_memory()) throw VNError(vn_category::kMalloc, "Kernel scratch allocation failed");
  throw_inference(detailed ? reason + (": " + cb.error()) : std::string(reason));
}

// The caller's tensor must say no more than its buffer holds: its count is
// its shape's and its elements lie inside the buffer.
bool input_fits(const VNTensor& t) {
  if (t.buffer == nullptr) return false;
  uint64_t count;
  try {
    count = shape_element_count(t.shape);
  } catch (const VNError&) {
    return false;
  }
  const uint64_t es = element_size(t.dtype);
  return count == t.count && t.offset <= t.buffer->length() && count <= (t.buffer->length() - t.offset) / es;
}

}  // namespace

VNRunResult VNGraph::run(const std::map<std::string, VNTensorRef>& inputs, const std::vector<std::string>& captures,
                         KvCache* cache) {
  const double start = monotonic_seconds();
  const std::unordered_set<std::string> wanted(captures.begin(), captures.end());
  std::vector<uint64_t> remaining = uses_;
  std::vector<uint64_t> last_of_group(groups_.size(), UINT64_MAX);
  for (uint64_t i = 0; i < nodes_.size(); ++i) last_of_group[nodes_[i].group] = i;

  std::vector<VNTensorRef> slot(rows_.size());
  std::vector<char> kept(rows_.size(), 0), returned(rows_.size(), 0);
  // Whatever this pass holds goes back to the pool when it stops early; the
  // open command buffer is dropped uncommitted, so nothing will touch it.
  struct Release {
    VNGraph& g;
    std::vector<VNTensorRef>& slots;
    std::vector<char>& keep;
    bool armed = true;
    ~Release() {
      if (!armed) return;
      for (size_t v = 0; v < slots.size(); ++v)
        if (slots[v] != nullptr && g.rows_[v].flags == 0) g.recycle(slots[v]);
    }
  } release{*this, slot, kept};

  for (uint64_t v = 0; v < rows_.size(); ++v) {
    const GraphValue& row = rows_[v];
    if (row.flags & kGraphValueWeight) {
      slot[v] = weights_[row.tensor];
    } else if (row.flags & kGraphValueInput) {
      auto it = inputs.find(row.name);
      const uint64_t want = row.dtype == kElemI64 ? kElemI64 : activation_;
      if (it == inputs.end() || it->second == nullptr || it->second->dtype != want || !input_fits(*it->second))
        throw_inference("Missing/invalid input " + row.name);
      slot[v] = it->second;
    }
  }
  auto ids = inputs.find(kInputIds);
  const bool prefill = ids != inputs.end() && ids->second != nullptr && ids->second->count >= 2;
  auto cancelled = [&] { return cancelFlag != nullptr && cancelFlag->load(std::memory_order_seq_cst) != 0; };

  // A decode pass is one command buffer committed once its last node is
  // encoded; while it is encoded (some tenths of a millisecond) the pool's
  // workers sleep. Waking them as the pass starts held its first parallel
  // loop up by the wake-ups (tens of microseconds each on a virtual machine,
  // and they run two by two); keeping them polling through the whole
  // encoding costs the system's scheduler a share of the run. So they are
  // woken shortly before the end, from when the last pass's encoding time
  // says that is, and poll until the team takes them.
  std::optional<PoolHold> wake;
  uint64_t wake_step = UINT64_MAX;
  if (!prefill && !profile) {
    const double share = lastEncodeMs > kWakeLeadMs ? kWakeLeadMs / lastEncodeMs : kWakeShare;
    wake_step = uint64_t(double(nodes_.size()) * (1.0 - share));
  }
  mtl::CommandBufferRef cb = newCommandBuffer();
  double gpu_sum = 0;
  std::vector<VNProfileRecord> records;
  std::vector<VNTensorRef> ins, scratch, joined;
  std::vector<char> ropeDone(order_.size(), 0);
  // A profiled pass runs and records the nodes in their own order, each in
  // a command buffer of its own.
  auto node_at = [&](uint64_t step) { return profile ? step : order_[step]; };
  // Node i's outputs into their slots (kept when captured), and its inputs
  // released after their last reader.
  auto store = [&](uint64_t i, std::span<const VNTensorRef> outs) {
    const GraphNode& node = nodes_[i];
    for (size_t j = 0; j < outs.size(); ++j) {
      const uint64_t v = node.outputs[j];
      slot[v] = outs[j];
      if (!wanted.empty() && wanted.contains(rows_[v].name)) kept[v] = 1;
    }
    if (!wanted.empty() && wanted.contains(groups_[node.group]) && last_of_group[node.group] == i)
      kept[node.outputs[0]] = 1;
    for (uint64_t v : node.inputs)
      if (--remaining[v] == 0 && rows_[v].flags == 0 && !kept[v]) {
        recycle(slot[v]);
        slot[v] = nullptr;
      }
  };
  // The inputs of the node at a folded step, released after their last
  // reader.
  auto release_inputs = [&](uint64_t s) {
    for (uint64_t v : nodes_[order_[s]].inputs)
      if (--remaining[v] == 0 && rows_[v].flags == 0 && slot[v] != nullptr) {
        recycle(slot[v]);
        slot[v] = nullptr;
      }
  };
  for (uint64_t step = 0; step < nodes_.size(); ++step) {
    const uint64_t i = node_at(step);
    const GraphNode& node = nodes_[i];
    if (step >= wake_step && !wake) wake.emplace();
    if (cancelFlag != nullptr) {
      if (step == 0 && cancelled()) throw_cancelled();
      if (step > 0 && prefill && node.group != nodes_[node_at(step - 1)].group) {
        cb->commit();
        cb->wait_until_completed();
        require_completed(*cb, "Metal execution failed");
        if (!profile) gpu_sum += buffer_ms(*cb);
        cb = newCommandBuffer();
        if (cancelled()) throw_cancelled();
      }
    }
    // A product that runs on one row takes the nodes folded after it into
    // its output step; their intermediates are never made. A folded rope
    // later in the order was done by its product.
    if (ropeDone[step]) continue;
    if (!profile && wanted.empty() && fusion_[step] != shaders::kMatvecPlain) {
      if (VNTensorRef out = foldedMatvec(step, slot, cb)) {
        if (fusion_[step] == shaders::kMatvecRope) {
          const uint64_t r = ropeStep_[step];
          release_inputs(step);
          release_inputs(r);
          slot[nodes_[order_[r]].outputs[0]] = out;
          ropeDone[r] = 1;
          continue;
        }
        const uint64_t last = step + (fusion_[step] == shaders::kMatvecResidual ? 1 : 3);
        for (uint64_t s = step; s <= last; ++s) release_inputs(s);
        slot[nodes_[order_[last]].outputs[0]] = out;
        step = last;
        continue;
      }
    }
    // A decode step's new keys and values go straight into their rows of
    // the cache.
    if (!profile && wanted.empty() && cacheReader_[i] != kNoCacheReader) {
      if (VNTensorRef row = cacheRowProducer(i, slot, cb)) {
        store(i, {&row, 1});
        continue;
      }
    }
    // Products of one input (a layer's query, key and value projections)
    // are encoded as one.
    if (!profile && node.op == kLinear) {
      joined.clear();
      uint64_t count = linearGroup(step, slot, &joined, cb);
      if (count == 0) count = linearGroupQ8(step, slot, &joined, cb, wanted.empty());
      if (count != 0) {
        for (uint64_t s = 0; s < count; ++s) store(node_at(step + s), {&joined[s], 1});
        step += count - 1;
        continue;
      }
    }
    ins.clear();
    for (uint64_t v : node.inputs) {
      graph_require(slot[v] != nullptr, "Released graph value");
      ins.push_back(slot[v]);
    }
    // Only the last position's logits are needed in a prefill, unless the
    // caller captures them.
    if (node.op == kLinear && node.outputs.size() == 1 && node.outputs[0] == logitsId_ && uses_[logitsId_] == 0 &&
        !wanted.contains(groups_[node.group]) && !wanted.contains(rows_[logitsId_].name)) {
      const VNTensorRef& x = ins[0];
      if (x->shape.size() == 3 && x->shape[0] == 1 && x->shape[1] >= 2) {
        auto view = std::make_shared<VNTensor>(*x);
        const uint64_t h = x->shape[2];
        view->shape = {1, 1, h};
        view->offset += (x->count - h) * element_size(x->dtype);
        view->count = h;
        ins[0] = view;
      }
    }
    // Q8 weights: every reader but an embedding and the single-row product
    // reads an F16 copy made for this node.
    scratch.clear();
    if (quantizedWeights > 0 && ins[0]->count > 0 && ins.size() >= 2) {
      uint64_t node_scratch = 0;
      for (size_t j = 1; j < ins.size(); ++j) {
        const VNTensorRef w = ins[j];
        if (w->dtype != kElemQ8) continue;
        if (j == 1 && node.op == kEmbedding) continue;
        if (j == 1 && node.op == kLinear && linearReadsQ8(*ins[0], *w)) continue;
        if (j == 1 && node.op == kLinear && w->shape.size() == 2 &&
            ins[0]->count / std::max<uint64_t>(1, shape_last_dim(ins[0]->shape)) == 1)
          continue;
        VNTensorRef copy = tensor(w->shape, kElemF16);
        kernel<Kernel::dequant_q8>({w.get(), w.get(), copy.get()},
                                   {.count = uint32_t(copy->count),
                                    .columns = uint32_t(w->shape.empty() ? 1 : w->shape.back()),
                                    .row_bytes = uint32_t(w->rowBytes)},
                                   copy->count, false, cb);
        dequantizedWeightBytes += 2 * copy->count;
        node_scratch += copy->buffer->length();
        scratch.push_back(copy);
        ins[j] = copy;
      }
      peakDequantizedWeightBytes = std::max(peakDequantizedWeightBytes, node_scratch);
    }
    std::vector<VNTensorRef> outs = operation(node, ins, cb, cache);
    graph_require(outs.size() == node.outputs.size(), "Output count mismatch");
    for (const VNTensorRef& t : scratch) recycle(t);
    if (profile) {
      cb->commit();
      cb->wait_until_completed();
      require_completed(*cb, "Profile command failed");
      const double ms = buffer_ms(*cb);
      gpu_sum += ms;
      records.push_back({i, node.op, groups_[node.group], ins[0]->shape, ms});
      cb = newCommandBuffer();
    }
    store(i, outs);
  }
  lastEncodeMs = (monotonic_seconds() - start) * 1000.0;
  cb->commit();
  cb->wait_until_completed();
  require_completed(*cb, "Metal execution", true);
  lastGPUms = buffer_ms(*cb);
  if (profile)
    lastGPUms = gpu_sum;
  else if (cancelFlag != nullptr)
    lastGPUms += gpu_sum;
  lastProfile = std::move(records);

  VNRunResult result;
  for (uint64_t i = 0; i < nodes_.size(); ++i) {
    const GraphNode& node = nodes_[i];
    if (node.op != kAttention || node.outputs.size() != 3 || node.inputs.size() < 6) continue;
    result.cache[rows_[node.inputs[kAttentionPastK]].name] = slot[node.outputs[1]];
    result.cache[rows_[node.inputs[kAttentionPastV]].name] = slot[node.outputs[2]];
    returned[node.outputs[1]] = returned[node.outputs[2]] = 1;
  }
  for (uint64_t i = 0; i < nodes_.size(); ++i) {
    const GraphNode& node = nodes_[i];
    for (uint64_t v : node.outputs)
      if (kept[v] && wanted.contains(rows_[v].name)) result.captures[rows_[v].name] = slot[v];
    if (wanted.contains(groups_[node.group]) && last_of_group[node.group] == i)
      result.captures[groups_[node.group]] = slot[node.outputs[0]];
  }
  result.logits = slot[logitsId_];
  returned[logitsId_] = 1;
  for (size_t v = 0; v < kept.size(); ++v) returned[v] |= kept[v];
  // Outputs that nothing reads and nobody receives go back to the pool
  // rather than being lost to it.
  for (size_t v = 0; v < slot.size(); ++v)
    if (slot[v] != nullptr && rows_[v].flags == 0 && !returned[v]) recycle(slot[v]);
  release.armed = false;
  return result;
}

}  // namespace vorn
