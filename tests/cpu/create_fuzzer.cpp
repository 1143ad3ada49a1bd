// Engine creation from random value and node records: every record set is
// either refused with a message or yields an engine whose plan keeps every
// value inside the arena; nothing reads outside the records or the weights.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernels/arena_planner.h"
#include "cpu/engine.h"
#include "reference/fuzz_reader.h"

namespace {

using namespace vorn;

using Reader = test::FuzzReader;

// Operator codes drawn most of the time: the ones fusion, batching and the
// planner treat specially, plus a few plain kernels.
constexpr uint64_t kOps[] = {3, 4, 5, 6, 9, 11, 12, 14, 19, 20, 26, 28, 29, 33, 34, 36, 10, 16, 21, 25};

// Values share one batch-1 NCHW shape unless the fuzzer asks for its own:
// most operator checks then pass and the later stages (batching, fusion,
// planning) see real work.
struct Shape {
  uint64_t rank;
  uint64_t dims[6];
};

ValueRecord make_value(Reader& r, const Shape& common, uint64_t weights_floats) {
  ValueRecord v;
  std::memset(&v, 0, sizeof v);
  uint8_t shape = r.byte();
  static constexpr uint64_t kKinds[4] = {kValueActivation, kValueWeight, kValueActivation,
                                         kValueGraphOutput};
  v.w[0] = (shape & 0x04) ? 1 + (r.byte() % 5) : kKinds[shape & 3];
  v.w[1] = (shape & 0x40) ? r.byte() % 5 : kElemF32;
  uint64_t count = 1;
  if (shape & 0x80) {
    v.w[2] = r.byte() % 9;
    for (uint64_t i = 0; i < 6; ++i) {
      uint64_t d = (shape & 0x20) ? r.word() : r.byte() % 7;
      if (i >= v.w[2] && !(shape & 0x10)) d = 0;
      v.w[3 + i] = d;
      if (i < v.w[2]) count *= d;
    }
  } else {
    v.w[2] = common.rank;
    for (uint64_t i = 0; i < common.rank; ++i) {
      v.w[3 + i] = common.dims[i];
      count *= common.dims[i];
    }
  }
  const bool exact = (shape & 0x08) == 0;
  v.w[9] = exact ? count : r.word();
  v.w[10] = exact ? count * 4 : r.word();
  if (v.w[0] == kValueWeight)
    v.w[12] = exact ? (r.byte() % (weights_floats / 2)) * 4 : r.word();
  return v;
}

NodeRecord make_node(Reader& r, uint64_t values) {
  NodeRecord n;
  std::memset(&n, 0, sizeof n);
  uint8_t head = r.byte();
  n.w[0] = (head & 0x80) ? r.byte() : kOps[r.byte() % (sizeof kOps / sizeof kOps[0])];
  n.w[1] = (head & 0x40) ? r.byte() % 12 : 1 + r.byte() % 4;
  n.w[10] = (head & 0x20) ? r.byte() % 6 : 1 + r.byte() % 2;
  for (uint64_t k = 0; k < 8; ++k) n.w[2 + k] = r.byte() % (values + 2);
  for (uint64_t k = 0; k < 4; ++k) n.w[11 + k] = r.byte() % (values + 2);
  for (uint64_t k = 0; k < 16; ++k) {
    uint8_t a = r.byte();
    n.set_attr(k, (a & 0x80) ? r.word() : static_cast<uint64_t>(static_cast<int64_t>(a % 9) - 4));
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader r{data, size};
  const uint64_t value_count = 2 + r.byte() % 24;
  const uint64_t node_count = 1 + r.byte() % 16;
  const uint8_t mode = r.byte();
  const uint64_t batch = mode % 6;
  // Half of the inputs plan the graph as read, without fusion.
  if (mode & 0x80)
    setenv("VORN_CPU_NOFUSE", "1", 1);
  else
    unsetenv("VORN_CPU_NOFUSE");
  constexpr uint64_t kWeightFloats = 4096;
  std::vector<float> weights(kWeightFloats, 0.5f);
  for (uint64_t i = 0; i < 64; ++i) weights[i] = static_cast<float>(static_cast<int8_t>(r.byte())) / 16.0f;

  Shape common{4, {1, 1 + r.byte() % 4u, 1 + r.byte() % 5u, 1 + r.byte() % 5u, 0, 0}};
  std::vector<ValueRecord> values;
  for (uint64_t i = 0; i < value_count; ++i) values.push_back(make_value(r, common, kWeightFloats));
  values[0].w[0] = kValueGraphInput;
  std::vector<NodeRecord> nodes;
  for (uint64_t i = 0; i < node_count; ++i) nodes.push_back(make_node(r, value_count));

  // Keep each engine's arena within reach of the fuzzer's memory limit.
  uint64_t total = 0;
  for (const ValueRecord& v : values) total += v.w[10] > (uint64_t{1} << 26) ? (uint64_t{1} << 26) : v.w[10];
  if (total * (batch < 2 ? 1 : batch) > (uint64_t{1} << 26)) return 0;

  CpuGraph graph;
  graph.values = values;
  graph.nodes = nodes;
  graph.weights = weights.data();
  graph.weights_size = weights.size() * 4;
  CpuCreateResult result = cpu_engine_create_graph(graph, batch, CpuPrecisionRequest{});
  if (!result.ok()) {
    if (result.error.message[0] == 0 || std::memchr(result.error.message, 0, 256) == nullptr)
      __builtin_trap();
    return 0;
  }
  CpuState* s = result.value;
  // Every value lies inside the arena or the weight storage.
  const auto* arena = static_cast<const uint8_t*>(s->arena);
  const auto* storage = reinterpret_cast<const uint8_t*>(weights.data());
  for (uint64_t id = 0; id < s->value_count; ++id) {
    const auto* at = static_cast<const uint8_t*>(s->data[id]);
    const uint64_t bytes = s->values[id].bytes();
    const bool in_arena = at >= arena && at + bytes <= arena + s->arena_size;
    const bool in_weights = at >= storage && at + bytes <= storage + graph.weights_size;
    const bool folded = s->fused_weights != nullptr && s->values[id].kind() == kValueWeight;
    if (!in_arena && !in_weights && !folded) __builtin_trap();
  }
  cpu_engine_free(&s);
  return 0;
}
