// Fuzzes the creation-time checks of the elementwise, data-movement,
// reduction and detection operators: random value records and node records
// go through the operator's check, and every node the check accepts runs its
// kernel on buffers of exactly the recorded size, so a check that lets a
// kernel read or write outside a buffer shows up under ASan.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "kernels/cpu_state.h"
#include "kernels/kernel.h"
#include "reference/fuzz_reader.h"

namespace {

using namespace vorn;

const uint64_t kOps[] = {1,  2,  3,  4,  41, 51, 69, 70, 80, 81, 83, 84, 6,  11, 12, 13, 26, 30, 39, 45, 48,
                         52, 53, 59, 61, 62, 63, 64, 65, 66, 67, 68, 82, 87, 18, 21, 9,  14, 20, 33, 34, 36,
                         42, 43, 54, 55, 76, 77, 79, 29, 31, 40, 47, 71, 72, 73, 74, 75, 57, 78, 85};

using Reader = test::FuzzReader;

float f32_of(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// Attribute words: mostly small integers (axes, sizes, permutation entries),
// sometimes f32 bit patterns or raw words.
uint64_t attribute(Reader& r) {
  const uint8_t kind = r.byte();
  switch (kind % 4) {
    case 0:
    case 1: return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(r.byte())) % 9);
    case 2: {
      const float pick[] = {0.0f, 0.5f, 1.0f, -1.0f, 2.0f, 0.25f, 1e30f, -1e30f};
      float f = pick[r.byte() % 8];
      uint32_t b;
      std::memcpy(&b, &f, 4);
      return b;
    }
    default: return r.word();
  }
}

float element(Reader& r) {
  const uint8_t k = r.byte();
  if (k < 200) return static_cast<float>(static_cast<int8_t>(r.byte())) * 0.25f;
  const float special[] = {f32_of(0x7fc00000u), f32_of(0x7f800000u), f32_of(0xff800000u), 1e9f, -1e9f, 0.0f};
  return special[k % 6];
}

CpuState* state_block() {
  // One block reused across inputs; cleared as it is refilled.
  static CpuState* s = static_cast<CpuState*>(std::calloc(1, sizeof(CpuState)));
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader r{data, size};
  CpuState* s = state_block();
  if (s == nullptr) return 0;
  const uint64_t values = 1 + r.byte() % 7;
  // Exactly the recorded size; an empty value still gets its own (0-byte)
  // block, as the engine points empty values at real memory.
  std::vector<std::unique_ptr<float[]>> buffers(values + 1);
  s->value_count = values + 1;
  std::memset(&s->values[0], 0, sizeof(ValueRecord));
  s->data[0] = nullptr;
  for (uint64_t id = 1; id <= values; ++id) {
    ValueRecord& v = s->values[id];
    std::memset(&v, 0, sizeof v);
    v.w[0] = (r.byte() & 3) == 0 ? kValueWeight : kValueActivation;
    v.w[1] = kElemF32;
    const uint64_t rank = r.byte() % 7;
    v.w[2] = rank;
    uint64_t count = 1;
    for (uint64_t a = 0; a < rank; ++a) {
      uint64_t d = r.byte() % 7;
      if (count * (d == 0 ? 1 : d) > 4096) d = 1;
      v.w[3 + a] = d;
      count *= d;
    }
    // Now and then a record whose count or byte size disagrees with its dims.
    const uint8_t lie = r.byte();
    v.w[9] = lie == 1 ? count + 1 : count;
    v.w[10] = lie == 2 && count > 0 ? count * 4 - 4 : count * 4;
    buffers[id].reset(new float[count]);
    for (uint64_t i = 0; i < count; ++i) buffers[id][i] = element(r);
    s->data[id] = buffers[id].get();
  }
  NodeRecord node;
  std::memset(&node, 0, sizeof node);
  node.w[0] = kOps[r.byte() % (sizeof kOps / sizeof kOps[0])];
  node.w[1] = 1 + r.byte() % 5;
  for (uint64_t k = 0; k < node.w[1]; ++k) node.w[2 + k] = r.byte() % (values + 2);
  node.w[10] = 1 + r.byte() % 2;
  for (uint64_t k = 0; k < node.w[10]; ++k) node.w[11 + k] = r.byte() % (values + 2);
  for (uint64_t k = 0; k < 16; ++k) node.set_attr(k, attribute(r));

  const CpuOpEntry* e = cpu_op_entry(node.op());
  if (e == nullptr) return 0;
  char message[256];
  NodePlan plan;
  plan.workspace_bytes = 0;
  if (!e->prepare(*s, node, plan, message, sizeof message)) return 0;
  e->kernel(*s, node, plan);
  return 0;
}
