#include "kernels/quant_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/node_plan.h"
#include "kernels/quant_calibration.h"

namespace vorn {

namespace {


bool is_product(uint64_t op) {
  return op == op::Conv || op == op::Gemm || op == op::MatMul || op == op::ConvTranspose;
}

int env_int(const char* name, int fallback) {
  const char* t = std::getenv(name);
  return t != nullptr ? std::atoi(t) : fallback;
}

// Input 1 of a product node, when it names a weight.
bool weight_input(const CpuState& s, const NodeRecord& n, uint64_t* id) {
  if (n.input_count() < 2 || n.input(1) >= s.value_count) return false;
  if (s.values[n.input(1)].kind() != kValueWeight) return false;
  *id = n.input(1);
  return true;
}

// Rounds one weight for the node that uses it.
void round_weight(const CpuState& s, const NodeRecord& n, uint64_t id, float* w, bool at_end,
                  const CpuQuantConfig& c) {
  const ValueRecord& v = s.values[id];
  const uint64_t count = v.count();
  const uint64_t op = n.op();
  if (op == op::MatMul) {
    if (c.weight == kQuantOff || v.rank() < 2) return;
    const uint64_t k = v.dim(v.rank() - 2), cols = v.dim(v.rank() - 1);
    if (k == 0 || cols == 0) return;
    const uint64_t mats = count / (k * cols);
    // Per column of every K x N matrix: the reduction axis is blocked.
    for (uint64_t m = 0; m < mats; ++m)
      quant_blocks(w + m * k * cols, cols, k, 1, cols, c.weight, c.weight_block);
    return;
  }
  CpuQuantType type = c.weight;
  int64_t block = c.weight_block;
  if (c.ends != kQuantOff && at_end) {
    type = c.ends;
    block = c.ends == c.weight ? c.weight_block : 0;
  }
  if (type == kQuantOff || v.rank() < 1) return;
  if (op == op::Conv || op == op::ConvTranspose) {
    const uint64_t rows = v.dim(0);
    if (rows == 0) return;
    const uint64_t len = count / rows;
    quant_blocks(w, rows, len, len, 1, type, block);
  } else if (op == op::Gemm) {
    if (v.rank() != 2 || v.dim(0) * v.dim(1) != count) return;
    if (n.attr(attr::Gemm::kTransB) != 0)  // [N, K]: rows along K
      quant_blocks(w, v.dim(0), v.dim(1), v.dim(1), 1, type, block);
    else  // [K, N]: columns along K
      quant_blocks(w, v.dim(1), v.dim(0), 1, v.dim(1), type, block);
  }
}

// Lists the weights of the product nodes (handled[id] = 1), sorted and
// merged so that one binary search answers whether an address is a weight.
bool register_weights(CpuState& s, CpuQuantState& q, uint8_t* handled) {
  uint64_t id = 0, candidates = 0;
  for (uint64_t i = 0; i < s.node_count; ++i)
    if (is_product(s.nodes[i].op()) && weight_input(s, s.nodes[i], &id)) ++candidates;
  if (candidates == 0) return true;
  q.weights = static_cast<QuantWeightRange*>(std::malloc(candidates * sizeof(QuantWeightRange)));
  if (q.weights == nullptr) return false;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& n = s.nodes[i];
    if (!is_product(n.op()) || !weight_input(s, n, &id) || handled[id]) continue;
    auto* w = static_cast<float*>(s.data[id]);
    const uint64_t count = s.values[id].count();
    if (w == nullptr || count == 0) continue;
    handled[id] = 1;
    q.weights[q.weight_count++] = {reinterpret_cast<uintptr_t>(w),
                                   reinterpret_cast<uintptr_t>(w + count)};
  }
  std::sort(q.weights, q.weights + q.weight_count,
            [](const QuantWeightRange& a, const QuantWeightRange& b) { return a.start < b.start; });
  uint64_t merged = 0;
  for (uint64_t i = 0; i < q.weight_count; ++i) {
    if (merged > 0 && q.weights[i].start <= q.weights[merged - 1].end) {
      q.weights[merged - 1].end = std::max(q.weights[merged - 1].end, q.weights[i].end);
    } else {
      q.weights[merged++] = q.weights[i];
    }
  }
  q.weight_count = merged;
  return true;
}

// Rounds each registered weight once, for the first node that uses it. The
// first and the last product with a weight are the model's ends.
void round_weights(CpuState& s, const CpuQuantState& q, uint8_t* handled) {
  uint64_t first = ~uint64_t{0}, last = ~uint64_t{0}, id = 0;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    if (is_product(s.nodes[i].op()) && weight_input(s, s.nodes[i], &id)) {
      if (first == ~uint64_t{0}) first = i;
      last = i;
    }
  }
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& n = s.nodes[i];
    if (!is_product(n.op()) || !weight_input(s, n, &id) || handled[id] != 1) continue;
    handled[id] = 2;
    round_weight(s, n, id, static_cast<float*>(s.data[id]), i == first || i == last, q.config);
  }
}

uint64_t operand_need(const CpuState& s, const CpuQuantState& q, uint64_t id) {
  if (id >= s.value_count || s.data[id] == nullptr) return 0;
  if (cpu_quant_is_weight(q, s.data[id])) return 0;
  return s.values[id].count();
}

// Every operand a product takes is part of one of the node's inputs, or for
// a Conv with a column matrix part of the im2col workspace; the scratch is
// sized once for the largest.
bool size_scratch(const CpuState& s, CpuQuantState& q) {
  uint64_t need_a = 0, need_b = 0;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& n = s.nodes[i];
    if (!is_product(n.op()) || n.input_count() < 2) continue;
    const uint64_t in0 = operand_need(s, q, n.input(0)), in1 = operand_need(s, q, n.input(1));
    if (n.op() == op::Gemm || n.op() == op::MatMul) {
      need_a = std::max(need_a, in0);
      need_b = std::max(need_b, in1);
    } else {
      need_a = std::max(need_a, in1);
      need_b = std::max(need_b, in0);
      if (n.op() == op::Conv) need_b = std::max<uint64_t>(need_b, s.plans[i].workspace_bytes / 4);
    }
  }
  if (need_a > 0) {
    q.scratch_a = static_cast<float*>(std::malloc(need_a * 4));
    if (q.scratch_a == nullptr) return false;
    q.capacity_a = need_a;
  }
  if (need_b > 0) {
    q.scratch_b = static_cast<float*>(std::malloc(need_b * 4));
    if (q.scratch_b == nullptr) return false;
    q.capacity_b = need_b;
  }
  return true;
}

// Every maximal run of digits is a value id; ids outside the graph are
// ignored.
void mark_wide(const char* text, uint8_t* wide, uint64_t value_count) {
  if (text == nullptr) return;
  const char* p = text;
  while (*p != '\0') {
    if (*p < '0' || *p > '9') {
      ++p;
      continue;
    }
    uint64_t id = 0;
    bool big = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (id > (~uint64_t{0} - 9) / 10) big = true;
      if (!big) id = id * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (!big && id < value_count) wide[id] = 1;
  }
}

char* copy_text(const char* t) {
  const size_t len = std::strlen(t);
  char* c = static_cast<char*>(std::malloc(len + 1));
  if (c != nullptr) std::memcpy(c, t, len + 1);
  return c;
}

uint32_t no_memory(char* message, size_t capacity) {
  std::snprintf(message, capacity, "out of memory allocating quantisation state");
  return 7;
}

}  // namespace

CpuQuantConfig cpu_quant_config_from_env() {
  CpuQuantConfig c;
  c.weight = cpu_quant_type_parse(std::getenv("VORN_CPU_QW"));
  c.activation = cpu_quant_type_parse(std::getenv("VORN_CPU_QT"));
  c.operand = cpu_quant_type_parse(std::getenv("VORN_CPU_QA"));
  c.ends = cpu_quant_type_parse(std::getenv("VORN_CPU_QENDS"));
  c.weight_block = std::max(env_int("VORN_CPU_QWG", 0), 0);
  const int qag = env_int("VORN_CPU_QAG", 0);
  c.operand_block = std::max(qag, 0);
  c.whole_operand = qag < 0;
  c.ranges_out = std::getenv("VORN_CPU_QCAL_OUT");
  c.calibrate = c.ranges_out != nullptr;
  c.ranges_in = std::getenv("VORN_CPU_QCAL");
  c.wide = std::getenv("VORN_CPU_QT_WIDE");
  c.only = env_int("VORN_CPU_QT_ONLY", -1);
  return c;
}

bool cpu_quant_is_weight(const CpuQuantState& q, const void* p) {
  const auto a = reinterpret_cast<uintptr_t>(p);
  const QuantWeightRange* begin = q.weights;
  const QuantWeightRange* end = begin + q.weight_count;
  const QuantWeightRange* it = std::upper_bound(
      begin, end, a, [](uintptr_t x, const QuantWeightRange& r) { return x < r.start; });
  return it != begin && a < (it - 1)->end;
}

uint32_t cpu_quant_build(CpuState& s, const CpuQuantConfig& config, CpuQuantState** out,
                         char* message, size_t capacity) {
  *out = nullptr;
  if (!config.active()) return 0;
  auto* q = static_cast<CpuQuantState*>(std::calloc(1, sizeof(CpuQuantState)));
  if (q == nullptr) return no_memory(message, capacity);
  q->config = config;
  q->config.wide = q->config.ranges_in = q->config.ranges_out = nullptr;
  q->value_count = s.value_count;
  const uint64_t v = s.value_count;
  q->wide = static_cast<uint8_t*>(std::calloc(v + 1, 1));
  q->ranges = static_cast<float*>(std::malloc(3 * v * sizeof(float)));
  if (q->wide == nullptr || q->ranges == nullptr) {
    cpu_quant_state_free(q);
    return no_memory(message, capacity);
  }
  mark_wide(config.wide, q->wide, v);
  const std::span<float> table(q->ranges, 3 * v);
  cpu_ranges_clear(table);
  // Calibration reads the file it writes, so ranges accumulate over runs.
  const char* path = config.calibrate ? config.ranges_out : config.ranges_in;
  if (path != nullptr && path[0] != '\0') {
    const uint32_t st = cpu_ranges_read(path, table, message, capacity);
    if (st != 0) {
      cpu_quant_state_free(q);
      return st;
    }
  }
  if (config.calibrate) {
    q->ranges_path = copy_text(config.ranges_out);
    if (q->ranges_path == nullptr) {
      cpu_quant_state_free(q);
      return no_memory(message, capacity);
    }
  }
  // Everything is allocated before the first weight is rounded: rounding
  // writes into the session's weight storage for good.
  auto* handled = static_cast<uint8_t*>(std::calloc(v, 1));
  if (handled == nullptr || !register_weights(s, *q, handled) ||
      (config.operand != kQuantOff && !size_scratch(s, *q))) {
    std::free(handled);
    cpu_quant_state_free(q);
    return no_memory(message, capacity);
  }
  round_weights(s, *q, handled);
  std::free(handled);
  *out = q;
  return 0;
}

void cpu_quant_state_free(CpuQuantState* q) {
  if (q == nullptr) return;
  cpu_i8_release(q->i8);
  std::free(q->ranges);
  std::free(q->wide);
  std::free(q->ranges_path);
  std::free(q->weights);
  std::free(q->scratch_a);
  std::free(q->scratch_b);
  std::free(q);
}

}  // namespace vorn
