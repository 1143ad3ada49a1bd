#include "kernels/graph_validate.h"

#include <algorithm>
#include <cstdio>

#include "container/op_codes.h"
#include "kernels/kernel.h"
#include "kernels/split_gate.h"

namespace vorn {

namespace {

uint64_t element_width(uint64_t kind) {
  switch (kind) {
    case kElemF32:
      return 4;
    case kElemI64:
      return 8;
    default:
      return 0;  // F16 and Q8 data must have been widened to f32 by the loader
  }
}

bool value_fail(char* message, size_t capacity, uint64_t id, const char* reason) {
  std::snprintf(message, capacity, "value %llu: %s", static_cast<unsigned long long>(id), reason);
  return false;
}

bool node_fail(const CpuState& s, uint64_t index, char* message, size_t capacity,
               const char* reason) {
  int n = cpu_node_prefix(s, index, message, capacity);
  if (n >= 0 && static_cast<size_t>(n) < capacity)
    std::snprintf(message + n, capacity - static_cast<size_t>(n), "%s", reason);
  return false;
}

}  // namespace

int cpu_node_prefix(const CpuState& s, uint64_t index, char* message, size_t capacity) {
  Slice name = op_name(s.nodes[index].op());
  return std::snprintf(message, capacity, "node %llu (%.*s): ",
                       static_cast<unsigned long long>(index), static_cast<int>(name.len),
                       reinterpret_cast<const char*>(name.ptr));
}

bool cpu_validate_values(CpuState& s, void* weights, uint64_t weights_size, char* message,
                         size_t capacity) {
  bool has_input = false;
  bool has_output = false;
  for (uint64_t id = 0; id < s.value_count; ++id) {
    ValueRecord& v = s.values[id];
    if (v.kind() < kValueGraphInput || v.kind() > kValueGraphOutput)
      return value_fail(message, capacity, id, "unknown value kind");
    if (v.rank() > kMaxRank) return value_fail(message, capacity, id, "rank above 6");
    uint64_t count = 1;
    for (uint64_t i = 0; i < v.rank(); ++i) {
      if (__builtin_mul_overflow(count, v.dim(i), &count) || count >= kCpuMaxElements)
        return value_fail(message, capacity, id, "element count of 2^31 or more");
    }
    if (count != v.count())
      return value_fail(message, capacity, id, "element count is not the product of the dims");
    // F16 graph inputs reach the engine widened and F16 outputs leave it as
    // f32 for the caller's own narrowing: inside, both are f32 values.
    const bool half_io = v.elem_kind() == kElemF16 && (v.kind() == kValueGraphInput || v.kind() == kValueGraphOutput);
    const uint64_t width = half_io ? 2 : element_width(v.elem_kind());
    if (width == 0)
      return value_fail(message, capacity, id, "element kind is not f32 or i64");
    if (v.bytes() != count * width)
      return value_fail(message, capacity, id, "byte size does not match the element count");
    if (half_io) {
      v.w[1] = kElemF32;
      v.set_bytes(count * 4);
    }
    if (v.kind() == kValueWeight) {
      uint64_t end = 0;
      if (v.data_offset() % 4 != 0 || __builtin_add_overflow(v.data_offset(), v.bytes(), &end) ||
          end > weights_size)
        return value_fail(message, capacity, id, "weight data lies outside the weight storage");
      s.data[id] = static_cast<uint8_t*>(weights) + v.data_offset();
    }
    has_input |= v.kind() == kValueGraphInput;
    has_output |= v.kind() == kValueGraphOutput;
  }
  if (!has_input || !has_output) {
    std::snprintf(message, capacity, "graph has no %s", has_input ? "output" : "input");
    return false;
  }
  return true;
}

bool cpu_validate_nodes(const CpuState& s, char* message, size_t capacity) {
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& n = s.nodes[i];
    if (cpu_op_entry(n.op()) == nullptr)
      return node_fail(s, i, message, capacity, "operator has no CPU kernel");
    if (n.input_count() < 1 || n.input_count() > kNodeMaxInputs)
      return node_fail(s, i, message, capacity, "input count outside 1..8");
    if (n.output_count() < 1 || n.output_count() > kNodeMaxOutputs)
      return node_fail(s, i, message, capacity, "output count outside 1..4");
    if (n.input(0) >= s.value_count)
      return node_fail(s, i, message, capacity, "input 0 names no value");
    for (uint64_t k = 0; k < n.output_count(); ++k) {
      if (n.output(k) >= s.value_count)
        return node_fail(s, i, message, capacity, "an output names no value");
      if (s.values[n.output(k)].kind() == kValueWeight)
        return node_fail(s, i, message, capacity, "an output is a weight");
    }
  }
  return true;
}

namespace {

bool prepare_node(const CpuState& s, uint64_t i, bool serial, NodePlan& plan, char* message, size_t capacity) {
  const CpuOpEntry* e = cpu_op_entry(s.nodes[i].op());
  if (e == nullptr) return node_fail(s, i, message, capacity, "operator has no CPU kernel");
  char reason[200] = {0};
  plan.workspace_bytes = 0;
  plan.serial = serial;
  if (!e->prepare(s, s.nodes[i], plan, reason, sizeof reason)) {
    if (reason[0] == 0) std::snprintf(reason, sizeof reason, "malformed node");
    return node_fail(s, i, message, capacity, reason);
  }
  return true;
}

}  // namespace

bool cpu_check_operators(const CpuState& s, char* message, size_t capacity) {
  NodePlan scratch;
  for (uint64_t i = 0; i < s.node_count; ++i)
    if (!prepare_node(s, i, cpu_node_stays_serial(s, s.nodes[i]), scratch, message, capacity)) return false;
  return true;
}

bool cpu_prepare_nodes(CpuState& s, char* message, size_t capacity) {
  // A pass that would spread too little work keeps every node on the
  // calling thread (kernels/split_gate.h); one that spreads enough holds
  // the pool's workers awake while it runs.
  const bool spreads = cpu_pass_spreads(s);
  s.hold_pool = spreads ? 1 : 0;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const bool serial = !spreads || cpu_node_stays_serial(s, s.nodes[i]);
    if (!prepare_node(s, i, serial, s.plans[i], message, capacity)) return false;
  }
  return true;
}

uint64_t cpu_workspace_bytes(const CpuState& s) {
  uint64_t size = 64;
  for (uint64_t i = 0; i < s.node_count; ++i) size = std::max(size, s.plans[i].workspace_bytes);
  return size;
}

}  // namespace vorn
