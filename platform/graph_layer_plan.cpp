// Planning an evaluation once (views, arena places, workspaces) and running
// the plan.
#include "platform/graph_layer_plan.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "platform/graph_layer_shapes.h"

namespace vorn::mpsg {

namespace {

constexpr int64_t kAlignFloats = 16;  // 64-byte places

int64_t aligned(int64_t floats) { return (std::max<int64_t>(floats, 1) + kAlignFloats - 1) / kAlignFloats * kAlignFloats; }

std::vector<int64_t> dense_strides(const Shape& shape) {
  std::vector<int64_t> s(shape.size(), 1);
  for (size_t i = shape.size(); i-- > 1;) s[i - 1] = s[i] * shape[i];
  return s;
}

bool dense(const Layout& l) {
  // Axes of size 1 may carry any stride.
  int64_t expect = 1;
  for (size_t i = l.shape.size(); i-- > 0;) {
    if (l.shape[i] != 1 && l.strides[i] != expect) return false;
    expect *= l.shape[i];
  }
  return true;
}

// First-fit places in the arena, freed blocks merged with their neighbours.
class ArenaPlacer {
 public:
  int64_t take(int64_t floats) {
    floats = aligned(floats);
    for (size_t i = 0; i < free_.size(); ++i) {
      if (free_[i].second < floats) continue;
      const int64_t at = free_[i].first;
      free_[i].first += floats;
      free_[i].second -= floats;
      if (free_[i].second == 0) free_.erase(free_.begin() + long(i));
      return at;
    }
    // Grow: a free block at the end is extended.
    int64_t at = top_;
    if (!free_.empty() && free_.back().first + free_.back().second == top_) {
      at = free_.back().first;
      free_.pop_back();
    }
    top_ = at + floats;
    return at;
  }
  void give(int64_t at, int64_t floats) {
    floats = aligned(floats);
    auto it = std::lower_bound(free_.begin(), free_.end(), std::make_pair(at, int64_t(0)));
    it = free_.insert(it, {at, floats});
    size_t i = size_t(it - free_.begin());
    if (i + 1 < free_.size() && free_[i].first + free_[i].second == free_[i + 1].first) {
      free_[i].second += free_[i + 1].second;
      free_.erase(free_.begin() + long(i) + 1);
    }
    if (i > 0 && free_[i - 1].first + free_[i - 1].second == free_[i].first) {
      free_[i - 1].second += free_[i].second;
      free_.erase(free_.begin() + long(i));
    }
  }
  int64_t top() const { return top_; }

 private:
  std::vector<std::pair<int64_t, int64_t>> free_;
  int64_t top_ = 0;
};

// The layout of a view node from its input's, or false when the node must
// be computed.
bool view_layout(const Node& n, const Layout& in, DataType in_type, Layout* out) {
  *out = in;
  out->shape = n.shape;
  switch (n.op) {
    case Operation::kReshape:
      if (!dense(in)) return false;
      out->strides = dense_strides(n.shape);
      return true;
    case Operation::kTranspose:
      std::swap(out->strides[size_t(n.ints[0])], out->strides[size_t(n.ints[1])]);
      return true;
    case Operation::kPermute:
      for (size_t i = 0; i < n.ints.size(); ++i) out->strides[i] = in.strides[size_t(n.ints[i])];
      return true;
    case Operation::kSlice: {
      const size_t a = size_t(n.ints[0]);
      out->offset += n.ints[1] * in.strides[a];
      out->strides[a] = in.strides[a] * (n.ints.size() > 2 ? n.ints[2] : 1);
      return true;
    }
    case Operation::kBroadcast: {
      out->strides.assign(n.shape.size(), 0);
      const size_t lead = n.shape.size() - in.shape.size();
      for (size_t i = 0; i < in.shape.size(); ++i)
        if (in.shape[i] == n.shape[lead + i]) out->strides[lead + i] = in.strides[i];
      return true;
    }
    case Operation::kCast:
      // Float values stay as they are when they already are float16 values,
      // and widening to float32 is exact: every evaluator widens float16
      // storage where it reads it (a product reading a weight of halves
      // copies them straight into its panels).
      return n.type == in_type || n.type == DataType::kFloat32;
    default:
      return false;
  }
}

}  // namespace

RunState::~RunState() { std::free(arena); }

std::shared_ptr<const Plan> make_plan(const std::vector<Node>& nodes, const std::vector<Tensor>& feeds,
                                      const std::vector<Tensor>& targets) {
  auto plan = std::make_shared<Plan>();
  plan->feeds = feeds;
  plan->targets = targets;
  std::vector<char> needed(nodes.size(), 0);
  std::vector<int64_t> feed_of(nodes.size(), -1);
  for (size_t i = 0; i < feeds.size(); ++i) feed_of[feeds[i].id] = int64_t(i);
  std::vector<uint32_t> stack;
  for (Tensor t : targets) stack.push_back(t.id);
  while (!stack.empty()) {
    const uint32_t id = stack.back();
    stack.pop_back();
    if (needed[id]) continue;
    needed[id] = 1;
    if (feed_of[id] >= 0) continue;
    for (Tensor in : nodes[id].inputs) stack.push_back(in.id);
  }
  // The plan keeps the nodes up to the last one it computes or is fed: a
  // feed that no target needs is still checked against its placeholder.
  size_t end = 0;
  for (Tensor f : feeds) end = std::max<size_t>(end, f.id + size_t{1});
  for (uint32_t id = 0; id < nodes.size(); ++id) {
    if (!needed[id]) continue;
    if (nodes[id].op == Operation::kPlaceholder && feed_of[id] < 0)
      throw std::invalid_argument("placeholder '" + nodes[id].name + "' is not fed");
    plan->order.push_back(id);  // ids grow with dependencies: id order is topological
    end = std::max<size_t>(end, id + size_t{1});
  }
  plan->nodes.assign(nodes.begin(), nodes.begin() + long(end));
  plan->needed.assign(needed.begin(), needed.begin() + long(plan->nodes.size()));
  plan->layouts.resize(plan->nodes.size());

  // Targets that a compute node may write in place: float32 results.
  std::vector<int64_t> direct(plan->nodes.size(), -1);
  plan->stored.assign(targets.size(), 1);

  // An attention whose one reader is a float target swapping two of its
  // axes (its heads and its tokens) writes that target's memory straight
  // through the swapped strides, rather than its own and a copy at the end.
  std::vector<uint32_t> readers(plan->nodes.size(), 0);
  for (uint32_t id : plan->order)
    if (feed_of[id] < 0)
      for (Tensor in : plan->nodes[id].inputs) ++readers[in.id];
  for (Tensor t : targets) ++readers[t.id];
  std::vector<int64_t> swapped_into(plan->nodes.size(), -1);  // the target
  for (size_t t = 0; t < targets.size(); ++t) {
    const Node& x = plan->nodes[targets[t].id];
    if (x.op != Operation::kTranspose || x.type != DataType::kFloat32 || readers[targets[t].id] != 1) continue;
    const uint32_t a = x.inputs[0].id;
    if (plan->nodes[a].op == Operation::kScaledDotProductAttention && plan->nodes[a].type == DataType::kFloat32 &&
        feed_of[a] < 0 && readers[a] == 1 && swapped_into[a] < 0)
      swapped_into[a] = int64_t(t);
  }

  // Layouts: feeds, constants, views of their input, computed values.
  std::vector<char> computed(plan->nodes.size(), 0);
  for (uint32_t id : plan->order) {
    const Node& n = plan->nodes[id];
    Layout& l = plan->layouts[id];
    if (feed_of[id] >= 0) {
      l = {Root::kFeed, uint32_t(feed_of[id]), 0, n.type, n.shape, dense_strides(n.shape)};
      continue;
    }
    if (n.op == Operation::kConstant) {
      l = {Root::kConstant, id, 0, DataType::kFloat32, n.shape, dense_strides(n.shape)};
      continue;
    }
    if (!n.inputs.empty() && view_layout(n, plan->layouts[n.inputs[0].id], plan->nodes[n.inputs[0].id].type, &l)) {
      // The swapped view of an attention written in place is the target.
      for (size_t t = 0; t < targets.size(); ++t)
        if (targets[t].id == id && l.root == Root::kResult && l.index == t && l.offset == 0 && dense(l))
          plan->stored[t] = 0;
      continue;
    }
    computed[id] = 1;
    l = {Root::kArena, 0, 0, DataType::kFloat32, n.shape, dense_strides(n.shape)};
    if (swapped_into[id] >= 0) {
      const size_t t = size_t(swapped_into[id]);
      const Node& x = plan->nodes[targets[t].id];
      l.root = Root::kResult;
      l.index = uint32_t(t);
      l.strides = dense_strides(x.shape);
      std::swap(l.strides[size_t(x.ints[0])], l.strides[size_t(x.ints[1])]);
      continue;
    }
    for (size_t t = 0; t < targets.size(); ++t) {
      if (targets[t].id == id && n.type == DataType::kFloat32 && direct[id] < 0) {
        direct[id] = int64_t(t);
        plan->stored[t] = 0;
        l.root = Root::kResult;
        l.index = uint32_t(t);
      }
    }
  }

  // Elementwise chains: a computed elementwise value of the same shape that
  // only the next elementwise operation reads is computed inside that
  // operation's pass instead of in memory of its own.
  std::vector<uint32_t> uses(plan->nodes.size(), 0);
  for (uint32_t id : plan->order)
    if (feed_of[id] < 0)
      for (Tensor in : plan->nodes[id].inputs) ++uses[in.id];
  for (Tensor t : targets) ++uses[t.id];
  std::vector<int64_t> fused_into(plan->nodes.size(), -1);
  std::vector<std::vector<uint32_t>> chain_of(plan->nodes.size());  // links before the node
  std::vector<std::vector<uint32_t>> externals_of(plan->nodes.size());
  for (uint32_t id : plan->order) {
    const Node& n = plan->nodes[id];
    if (!computed[id] || !chainable(n.op)) continue;
    // The input to fuse: the first computed, chainable, same-shaped one read
    // only here.
    int64_t take = -1;
    for (Tensor in : n.inputs) {
      const Node& p = plan->nodes[in.id];
      if (computed[in.id] && chainable(p.op) && uses[in.id] == 1 && p.shape == n.shape && fused_into[in.id] < 0 &&
          feed_of[in.id] < 0 && plan->layouts[in.id].root == Root::kArena) {
        take = in.id;
        break;
      }
    }
    std::vector<uint32_t> links, ext;
    if (take >= 0) {
      links = chain_of[size_t(take)];
      links.push_back(uint32_t(take));
      ext = externals_of[size_t(take)];
    }
    for (Tensor in : n.inputs)
      if (int64_t(in.id) != take && std::find(ext.begin(), ext.end(), in.id) == ext.end()) ext.push_back(in.id);
    if (take >= 0 && ext.size() > kMaxChainOperands) {
      take = -1;
      links.clear();
      ext.clear();
      for (Tensor in : n.inputs)
        if (std::find(ext.begin(), ext.end(), in.id) == ext.end()) ext.push_back(in.id);
    }
    if (take >= 0) fused_into[size_t(take)] = id;
    chain_of[id] = std::move(links);
    externals_of[id] = std::move(ext);
  }
  for (uint32_t id : plan->order)
    if (fused_into[id] >= 0) computed[id] = 0;

  // Biased products: a float product that only an addition of a row (one
  // value per column, the product first) reads is evaluated by that
  // addition's step, which adds the row as the product stores its blocks of
  // rows instead of in a pass of its own.
  std::vector<int64_t> product_of(plan->nodes.size(), -1);
  for (uint32_t id : plan->order) {
    const Node& n = plan->nodes[id];
    if (!computed[id] || n.op != Operation::kAddition || !chain_of[id].empty() || n.type != DataType::kFloat32 ||
        n.shape.empty())
      continue;
    const uint32_t p = n.inputs[0].id;
    const Node& pn = plan->nodes[p];
    const Shape& row = plan->nodes[n.inputs[1].id].shape;
    if (pn.op != Operation::kMatrixMultiplication || !computed[p] || uses[p] != 1 || pn.type != DataType::kFloat32 ||
        pn.shape != n.shape || plan->layouts[p].root != Root::kArena || row.empty() || row.back() != n.shape.back() ||
        element_count(row) != row.back())
      continue;
    product_of[id] = p;
    computed[p] = 0;
  }

  // Arena places: a value lives from its step to its last reader's step (to
  // the end when a target is copied from it).
  std::vector<uint32_t> steps;
  for (uint32_t id : plan->order)
    if (computed[id]) steps.push_back(id);
  std::vector<int64_t> last_use(plan->nodes.size(), -1);  // by root node id
  auto root_node = [&](uint32_t id) -> int64_t {
    // The computed node whose arena place a value views.
    while (!computed[id] && plan->layouts[id].root == Root::kArena) id = plan->nodes[id].inputs[0].id;
    return computed[id] && plan->layouts[id].root == Root::kArena ? int64_t(id) : -1;
  };
  std::vector<int64_t> root_of(plan->nodes.size(), -1);
  for (uint32_t id : plan->order) root_of[id] = root_node(id);
  // The values a step reads: its inputs, or its chain's external operands.
  auto reads = [&](uint32_t id) {
    std::vector<uint32_t> r;
    if (!chain_of[id].empty()) return externals_of[id];
    if (product_of[id] >= 0) {
      for (Tensor in : plan->nodes[size_t(product_of[id])].inputs) r.push_back(in.id);
      r.push_back(plan->nodes[id].inputs[1].id);
      return r;
    }
    for (Tensor in : plan->nodes[id].inputs) r.push_back(in.id);
    return r;
  };
  for (size_t s = 0; s < steps.size(); ++s)
    for (uint32_t in : reads(steps[s]))
      if (root_of[in] >= 0) last_use[size_t(root_of[in])] = int64_t(s);
  for (size_t t = 0; t < targets.size(); ++t)
    if (plan->stored[t] && root_of[targets[t].id] >= 0) last_use[size_t(root_of[targets[t].id])] = int64_t(steps.size());

  // Concats in place: an input computed for a concat alone, along an axis
  // with nothing before it, is computed straight into its slab of the
  // concat's place, which then holds it from that input's step on.
  std::vector<int64_t> step_of(plan->nodes.size(), -1);
  for (size_t s = 0; s < steps.size(); ++s) step_of[steps[s]] = int64_t(s);
  std::vector<int64_t> alias_of(plan->nodes.size(), -1), alias_at(plan->nodes.size(), 0);
  for (uint32_t id : steps) {
    const Node& n = plan->nodes[id];
    if (n.op != Operation::kConcat || plan->layouts[id].root != Root::kArena) continue;
    int64_t outer = 1;
    for (int64_t d = 0; d < n.ints[0]; ++d) outer *= n.shape[size_t(d)];
    if (outer != 1) continue;
    int64_t at = 0;
    for (Tensor in : n.inputs) {
      if (computed[in.id] && plan->layouts[in.id].root == Root::kArena && uses[in.id] == 1 && alias_of[in.id] < 0 &&
          plan->nodes[in.id].op != Operation::kConcat && plan->nodes[in.id].type == n.type) {
        alias_of[in.id] = id;
        alias_at[in.id] = at;
      }
      at += element_count(plan->nodes[in.id].shape);
    }
  }

  // Joined products: consecutive product steps (a bias added or not) of one
  // left operand, each by a 2-D matrix of halves, written straight into
  // float targets and reading nothing of the arena, run as one product of
  // their columns side by side; a layer's query, key and value projections
  // of one normalised input. Their inputs are all there before the first
  // runs and their outputs overlap nothing, so running them together is
  // running them in turn.
  auto product_node = [&](uint32_t id) -> int64_t {
    if (!chain_of[id].empty()) return -1;
    if (product_of[id] >= 0) return product_of[id];
    return plan->nodes[id].op == Operation::kMatrixMultiplication ? int64_t(id) : -1;
  };
  auto joinable = [&](uint32_t id) {
    const int64_t p = product_node(id);
    if (p < 0 || plan->layouts[id].root != Root::kResult || plan->nodes[id].type != DataType::kFloat32) return false;
    const Node& pn = plan->nodes[size_t(p)];
    if (pn.type != DataType::kFloat32 || pn.inputs.size() != 2 || pn.shape.size() < 2) return false;
    const Layout& w = plan->layouts[pn.inputs[1].id];
    if (w.storage != DataType::kFloat16 || w.shape.size() != 2) return false;
    for (uint32_t in : reads(id))
      if (plan->layouts[in].root == Root::kArena) return false;
    return true;
  };
  std::vector<uint32_t> joined_after(steps.size(), 0);
  for (size_t s = 0; s < steps.size();) {
    size_t e = s + 1;
    if (joinable(steps[s])) {
      const Node& lead = plan->nodes[size_t(product_node(steps[s]))];
      const uint32_t left = lead.inputs[0].id;
      const int64_t rows = element_count(lead.shape) / std::max<int64_t>(1, lead.shape.back());
      while (e < steps.size() && e - s < kMostJoinedProducts && joinable(steps[e])) {
        const Node& pn = plan->nodes[size_t(product_node(steps[e]))];
        if (pn.inputs[0].id != left || element_count(pn.shape) / std::max<int64_t>(1, pn.shape.back()) != rows) break;
        ++e;
      }
    }
    joined_after[s] = uint32_t(e - s - 1);
    s = e;
  }

  ArenaPlacer arena;
  std::vector<std::vector<uint32_t>> frees(steps.size() + 1);
  std::vector<char> placed(plan->nodes.size(), 0);
  std::vector<const Layout*> in_layouts;
  auto place = [&](uint32_t id) {
    if (placed[id]) return;
    placed[id] = 1;
    plan->layouts[id].offset = arena.take(element_count(plan->nodes[id].shape));
    const int64_t until = std::max<int64_t>(last_use[id], step_of[id]);
    frees[size_t(until)].push_back(id);
  };
  for (size_t s = 0; s < steps.size(); ++s) {
    const uint32_t id = steps[s];
    const Node& n = plan->nodes[id];
    Layout& l = plan->layouts[id];
    if (alias_of[id] >= 0) {
      const uint32_t c = uint32_t(alias_of[id]);
      place(c);
      l.offset = plan->layouts[c].offset + alias_at[id];
    } else if (l.root == Root::kArena) {
      place(id);
    }
    in_layouts.clear();
    Step step{id, 0, 0, {}, {}};
    if (product_of[id] >= 0) {
      step.product = uint32_t(product_of[id]);
      const Node& pn = plan->nodes[step.product];
      for (Tensor in : pn.inputs) in_layouts.push_back(&plan->layouts[in.id]);
      step.workspace_floats = product_bias_workspace(pn, in_layouts);
    } else {
      for (Tensor in : n.inputs) in_layouts.push_back(&plan->layouts[in.id]);
      step.workspace_floats = workspace_floats(n, in_layouts);
    }
    if (!chain_of[id].empty()) {
      step.externals = externals_of[id];
      std::vector<uint32_t> links = chain_of[id];
      links.push_back(id);
      uint32_t prev = UINT32_MAX;
      for (uint32_t link : links) {
        ChainLink c{&plan->nodes[link], {-1, -1, -1}};
        const Node& ln = plan->nodes[link];
        for (size_t a = 0; a < ln.inputs.size() && a < 3; ++a) {
          if (ln.inputs[a].id == prev) continue;
          c.operand[a] = int8_t(std::find(step.externals.begin(), step.externals.end(), ln.inputs[a].id) -
                                step.externals.begin());
        }
        step.chain.push_back(c);
        prev = link;
      }
    }
    step.joined = joined_after[s];
    if (step.joined > 0) {
      // The joined parts' bias columns, then this product's workspace.
      const Node& pn = plan->nodes[size_t(product_node(id))];
      in_layouts.clear();
      for (Tensor in : pn.inputs) in_layouts.push_back(&plan->layouts[in.id]);
      int64_t floats = workspace_floats(pn, in_layouts);
      for (size_t j = s; j <= s + step.joined; ++j)
        if (product_of[steps[j]] >= 0) floats += plan->nodes[steps[j]].shape.back();
      step.workspace_floats = std::max(step.workspace_floats, floats);
    }
    if (step.workspace_floats > 0) {
      step.workspace = arena.take(step.workspace_floats);
      arena.give(step.workspace, step.workspace_floats);
    }
    plan->steps.push_back(step);
    plan->max_inputs = std::max(plan->max_inputs, n.inputs.size());
    for (uint32_t f : frees[s]) arena.give(plan->layouts[f].offset, element_count(plan->nodes[f].shape));
  }
  plan->arena_floats = arena.top();
  // Views of arena values were laid out before their root had its place.
  for (uint32_t id : plan->order)
    if (!computed[id] && root_of[id] >= 0) plan->layouts[id].offset += plan->layouts[size_t(root_of[id])].offset;
  return plan;
}

namespace {

bool data_matches(const Node& n, const TensorData& d, const char* what, std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = std::string("graph ") + what + " " + why;
    return false;
  };
  if (d.buffer == nullptr) return fail("has no buffer");
  if (d.shape != n.shape) return fail(shape_text(d.shape) + " differs from its tensor's " + shape_text(n.shape));
  if (d.dataType != n.type) return fail("type differs from its tensor's");
  const uint64_t elem = data_type_size(d.dataType);
  uint64_t bytes;
  if (d.offset % elem != 0 || __builtin_mul_overflow(uint64_t(element_count(d.shape)), elem, &bytes) ||
      d.offset > d.buffer->length() || bytes > d.buffer->length() - d.offset)
    return fail("leaves its buffer");
  return true;
}

bool prepare_state(const Plan& plan, RunState& st, std::string* error) {
  if (st.values.size() == plan.nodes.size()) return true;
  st.values.assign(plan.nodes.size(), Value{});
  for (uint32_t id : plan.order) {
    const Layout& l = plan.layouts[id];
    Value& v = st.values[id];
    v.storage = l.storage;
    v.shape = l.shape;
    v.strides = l.strides;
  }
  st.inputs.assign(std::max<size_t>(plan.max_inputs, 1), nullptr);
  if (plan.arena_floats > 0) {
    st.arena = static_cast<float*>(std::aligned_alloc(64, size_t(plan.arena_floats) * 4));
    if (st.arena == nullptr) {
      st.values.clear();
      *error = "graph run: arena allocation failed";
      return false;
    }
  }
  return true;
}

// The products of steps [s, s + joined] in one cut of the pool; false
// (nothing written) when they do not take it.
bool join_products(const Plan& plan, RunState& st, size_t s) {
  constexpr size_t kMost = kMostJoinedProducts;
  const size_t count = plan.steps[s].joined + size_t{1};
  if (count > kMost) return false;
  JoinedProduct parts[kMost];
  const Value* inputs[kMost][2];
  for (size_t i = 0; i < count; ++i) {
    const Step& step = plan.steps[s + i];
    const bool biased = step.product != Step::kNoProduct;
    const Node& pn = plan.nodes[biased ? step.product : step.node];
    inputs[i][0] = &st.values[pn.inputs[0].id];
    inputs[i][1] = &st.values[pn.inputs[1].id];
    parts[i] = {&pn, inputs[i], biased ? &st.values[plan.nodes[step.node].inputs[1].id] : nullptr,
                &st.values[step.node]};
  }
  return evaluate_joined_products(parts, count, st.arena + plan.steps[s].workspace);
}

bool run_with_state(const Plan& plan, RunState& st, const TensorData* const* inputs, const TensorData* const* results,
                    std::string* error) {
  if (!prepare_state(plan, st, error)) return false;
  for (uint32_t id : plan.order) {
    const Layout& l = plan.layouts[id];
    const uint8_t* base = nullptr;
    switch (l.root) {
      case Root::kFeed: base = inputs[l.index]->buffer->storage() + inputs[l.index]->offset; break;
      case Root::kResult: base = results[l.index]->buffer->storage() + results[l.index]->offset; break;
      case Root::kArena: base = reinterpret_cast<const uint8_t*>(st.arena); break;
      case Root::kConstant: base = reinterpret_cast<const uint8_t*>(plan.nodes[l.index].values->data()); break;
    }
    st.values[id].base = base + l.offset * int64_t(data_type_size(l.storage));
  }
  size_t done_until = 0;  // steps before it already ran with a joined product
  for (size_t s = 0; s < plan.steps.size(); ++s) {
    const Step& step = plan.steps[s];
    const Node& n = plan.nodes[step.node];
    if (s < done_until) continue;
    if (step.joined > 0 && join_products(plan, st, s)) {
      done_until = s + step.joined + 1;
      continue;
    }
    if (!step.chain.empty()) {
      const Value* ext[kMaxChainOperands];
      for (size_t k = 0; k < step.externals.size(); ++k) ext[k] = &st.values[step.externals[k]];
      if (!eval_chain(step.chain.data(), step.chain.size(), ext, step.externals.size(), st.values[step.node])) return false;
      continue;
    }
    if (step.product != Step::kNoProduct) {
      const Node& pn = plan.nodes[step.product];
      for (size_t i = 0; i < pn.inputs.size(); ++i) st.inputs[i] = &st.values[pn.inputs[i].id];
      evaluate_product_bias(pn, st.inputs.data(), st.values[n.inputs[1].id], st.values[step.node],
                            st.arena + step.workspace);
      continue;
    }
    for (size_t i = 0; i < n.inputs.size(); ++i) st.inputs[i] = &st.values[n.inputs[i].id];
    if (!evaluate(n, st.inputs.data(), n.inputs.size(), st.values[step.node], st.arena + step.workspace, error))
      return false;
  }
  for (size_t t = 0; t < plan.targets.size(); ++t)
    if (plan.stored[t])
      store_value(st.values[plan.targets[t].id], results[t]->buffer->storage() + results[t]->offset,
                  results[t]->dataType);
  return true;
}

}  // namespace

bool execute_plan_with(const Plan& plan, const TensorData* const* inputs, const TensorData* const* results,
                       std::string* error) {
  for (size_t i = 0; i < plan.feeds.size(); ++i)
    if (!data_matches(plan.nodes[plan.feeds[i].id], *inputs[i], "feed", error)) return false;
  for (size_t i = 0; i < plan.targets.size(); ++i)
    if (!data_matches(plan.nodes[plan.targets[i].id], *results[i], "result", error)) return false;
  std::unique_lock<std::mutex> hold(plan.state_lock, std::try_to_lock);
  if (!hold.owns_lock()) {
    // Another thread runs this plan now: this run gets a state of its own.
    RunState own;
    return run_with_state(plan, own, inputs, results, error);
  }
  if (plan.state == nullptr) plan.state = std::make_unique<RunState>();
  return run_with_state(plan, *plan.state, inputs, results, error);
}

}  // namespace vorn::mpsg
