#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cpu/engine.h"
#include "kernels/kernel.h"
#include "cpu/pair_run.h"
#include "cpu/quant_hooks.h"
#include "platform/large_pages.h"

namespace vorn {

void cpu_engine_set_cancel_flag(CpuState** holder, uint32_t* flag) {
  if (holder != nullptr && *holder != nullptr) (*holder)->cancel_flag = flag;
}

uint32_t cpu_engine_set_input(CpuState** holder, uint64_t value_id, const void* bytes,
                              uint64_t length) {
  if (holder == nullptr || *holder == nullptr || bytes == nullptr) return 0;
  CpuState& s = **holder;
  if (value_id >= s.value_count || s.values[value_id].kind() != kValueGraphInput ||
      s.data[value_id] == nullptr || length > s.values[value_id].bytes())
    return 0;
  std::memcpy(s.data[value_id], bytes, length);
  return 1;
}

bool cpu_engine_execute(CpuState** holder, const float* input, float* output) {
  if (holder == nullptr || *holder == nullptr || output == nullptr) return false;
  return cpu_execute_pass(**holder, input, output);
}

uint32_t cpu_engine_run(CpuState** holder, const float* input, float* output) {
  return cpu_engine_execute(holder, input, output) ? 1 : 0;
}

uint32_t cpu_engine_run_batch(CpuState** holder, uint64_t n, const float* input, float* output) {
  if (holder == nullptr || *holder == nullptr || output == nullptr || n == 0) return 0;
  CpuState& s = **holder;
  const uint64_t batch = s.compiled_batch == 0 ? 1 : s.compiled_batch;
  if (n == batch) return cpu_execute_pass(s, input, output) ? 1 : 0;
  const ValueRecord& in = s.values[s.first_input];
  const ValueRecord& out = s.values[s.first_output];
  // Values per sample; the executor moves f32 data.
  const uint64_t in_sample = in.count() / batch;
  const uint64_t out_sample = out.count() / batch;
  uint64_t done = 0;
  while (done < n) {
    const uint64_t take = std::min(batch, n - done);
    if (take == batch) {
      if (!cpu_execute_pass(s, input, output)) return 0;
    } else {
      // The last chunk holds fewer samples than a pass processes: run it on
      // the engine's own buffers, zero-padded, so the caller's buffers need
      // only hold n samples.
      auto* x = static_cast<float*>(s.data[s.first_input]);
      if (input != nullptr) {
        std::memcpy(x, input, take * in_sample * 4);
        std::memset(x + take * in_sample, 0, (in.count() - take * in_sample) * 4);
      }
      if (!cpu_execute_pass(s, nullptr, nullptr)) return 0;
      std::memcpy(output, s.data[s.first_output], take * out_sample * 4);
    }
    done += take;
    // A null input runs every chunk on what the input holds now.
    if (input != nullptr) input += take * in_sample;
    output += take * out_sample;
  }
  return 1;
}

float* cpu_engine_output_data(CpuState** holder, uint64_t index) {
  if (holder == nullptr || *holder == nullptr || index >= (*holder)->output_count) return nullptr;
  return static_cast<float*>((*holder)->data[(*holder)->outputs[index]]);
}

uint64_t cpu_engine_output_count(CpuState** holder) {
  if (holder == nullptr || *holder == nullptr) return 0;
  return (*holder)->output_count;
}

uint32_t cpu_op_supported(uint64_t op) { return cpu_op_entry(op) != nullptr ? 1 : 0; }

void cpu_engine_free(CpuState** holder) {
  if (holder == nullptr || *holder == nullptr) return;
  CpuState* s = *holder;
  cpu_quant_release(*s);
  cpu_pair_free(*s);
  large_pages_free(s->arena, s->arena_size);
  std::free(s->im2col);
  std::free(s->plans);
  std::free(s->fused_weights);
  std::free(s->fused_slopes);
  std::memset(static_cast<void*>(s), 0, sizeof(CpuState));
  std::free(s);
  *holder = nullptr;
}

double cpu_clock_seconds() {
  timespec t;
  if (clock_gettime(CLOCK_MONOTONIC, &t) != 0) return 0.0;
  return static_cast<double>(t.tv_nsec) * 1e-9 + static_cast<double>(t.tv_sec);
}

}  // namespace vorn
