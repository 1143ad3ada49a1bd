// Fuzzes the size checks of the convolution-family kernels: random node
// records and value shapes (as an untrusted model file could hold them) go
// through each operator's check, and whenever the check accepts, the kernel
// runs on buffers of exactly the declared sizes, so any read or write the
// check failed to rule out shows up under AddressSanitizer.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernels/cpu_state.h"
#include "kernels/kernel.h"
#include "kernels/kernel_isa.h"

namespace {

struct Bytes {
  const uint8_t* p;
  size_t n;
  uint8_t u8() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | u8();
    return v;
  }
};

constexpr uint64_t kOps[] = {5, 10, 16, 7, 8, 23, 28, 15, 17, 19, 22, 32, 27, 56, 60};
constexpr uint64_t kMaxValueElements = 1 << 15;

vorn::CpuState* state() {
  static vorn::CpuState* s = static_cast<vorn::CpuState*>(std::calloc(1, sizeof(vorn::CpuState)));
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in{data, size};
  vorn::CpuState& s = *state();
  std::memset(s.values, 0, sizeof(vorn::ValueRecord) * 8);
  s.value_count = 1;
  const uint64_t op = kOps[in.u8() % (sizeof kOps / sizeof kOps[0])];
  const int inputs = 1 + in.u8() % 3;
  std::vector<std::vector<float>> buffers;
  buffers.reserve(8);
  uint64_t ids[4] = {0, 0, 0, 0};
  for (int v = 0; v <= inputs; ++v) {
    vorn::ValueRecord& r = s.values[s.value_count];
    std::memset(&r, 0, sizeof r);
    const uint64_t rank = 1 + in.u8() % 5;
    uint64_t count = 1;
    r.w[0] = v == 0 ? vorn::kValueActivation : vorn::kValueWeight;
    r.w[1] = vorn::kElemF32;
    r.w[2] = rank;
    for (uint64_t d = 0; d < rank; ++d) {
      const uint64_t dim = in.u8() % 19;
      r.w[3 + d] = dim;
      count *= dim;
    }
    if (count > kMaxValueElements) return 0;
    // The declared count may disagree with the dims: checks must notice.
    r.w[9] = (in.u8() % 16 == 0) ? count + in.u8() % 3 : count;
    r.w[10] = r.w[9] * 4;
    buffers.emplace_back(r.w[9]);
    for (size_t i = 0; i < buffers.back().size(); ++i) buffers.back()[i] = static_cast<float>(i % 7) - 3.0f;
    s.data[s.value_count] = buffers.back().data();
    ids[v] = s.value_count++;
  }
  vorn::NodeRecord n;
  std::memset(&n, 0, sizeof n);
  n.w[0] = op;
  n.w[1] = static_cast<uint64_t>(inputs);
  // Input slots name the first values in order; the output is the last.
  for (int i = 0; i < inputs; ++i) n.w[2 + i] = ids[i];
  n.w[10] = 1;
  n.w[11] = ids[inputs];
  if (in.u8() % 8 == 0) n.w[2 + in.u8() % 3] = 0xffffffffu;  // an absent optional input
  for (int k = 0; k < 16; ++k) {
    const uint8_t mode = in.u8();
    n.set_attr(k, mode < 200 ? mode % 8 : (mode < 250 ? in.u32() : ~uint64_t{0}));
  }
  std::vector<float> workspace(in.u8() * 64u + in.u8());
  s.im2col = workspace.empty() ? nullptr : workspace.data();
  s.im2col_size = workspace.size() * 4;
  // The engine's form, any this processor runs (the byte after the
  // workspace's; the portable one when the input ends before it): the
  // forms cut their work into tiles of their own widths.
  const uint32_t form = std::min<uint32_t>(in.u8() % 3, static_cast<uint32_t>(vorn::kernel_isa_of_this_cpu()));
  s.isa = static_cast<vorn::KernelIsa>(form);
  const vorn::CpuOpEntry* e = vorn::cpu_op_entry(op);
  if (e == nullptr) return 0;
  char msg[256];
  vorn::NodePlan plan;
  plan.workspace_bytes = 0;
  if (!e->prepare(s, n, plan, msg, sizeof msg)) return 0;
  // As at engine creation: a plan that asks for more workspace than the
  // shared one holds gets a larger one before it runs.
  if (plan.workspace_bytes > s.im2col_size) {
    workspace.assign((plan.workspace_bytes + 3) / 4, 0.0f);
    s.im2col = workspace.data();
    s.im2col_size = workspace.size() * 4;
  }
  e->kernel(s, n, plan);
  return 0;
}
