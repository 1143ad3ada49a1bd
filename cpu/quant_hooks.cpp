#include "cpu/quant_hooks.h"

#include <cmath>
#include <span>

#include "container/op_codes.h"
#include "kernels/int8_paths.h"
#include "kernels/quant_calibration.h"
#include "kernels/quant_state.h"

namespace vorn {

namespace {


}  // namespace

uint32_t cpu_quant_settings(CpuState& state, const CpuQuantConfig& config, char* message, size_t capacity) {
  state.quant = nullptr;
  CpuQuantState* q = nullptr;
  const uint32_t st = cpu_quant_build(state, config, &q, message, capacity);
  if (st != 0) return st;
  state.quant = q;
  // Nothing is packed for int8 on these CPUs; the call keeps the engine's
  // int8 table cleared the way a capable CPU would start it.
  cpu_i8_prepack(state, false, {});
  return 0;
}

bool cpu_quant_active(const CpuState& state) { return state.quant != nullptr; }

void cpu_activation_hook(CpuState& state, uint64_t id, float* data, uint64_t n, uint64_t op) {
  CpuQuantState* q = state.quant;
  if (q == nullptr || n == 0 || data == nullptr || id >= q->value_count) return;
  const uint64_t v = q->value_count;
  if (q->config.calibrate) {
    cpu_ranges_record(std::span<float>(q->ranges, 3 * v), id, data, n);
    return;
  }
  // Indices are not values on a grid.
  if (op == op::ArgMax || op == op::TopK) return;
  if (q->config.only >= 0 && static_cast<uint64_t>(q->config.only) != id) return;
  switch (q->config.activation) {
    case kQuantOff:
      return;
    case kQuantF16:
      f16_round_n(data, n);
      return;
    case kQuantI8:
    case kQuantI4: {
      const float amax = q->ranges[id];
      // Without a recorded range there is no scale to round to.
      if (!(amax >= 1e-30f)) return;
      quant_symmetric(data, n, 1, amax, q->config.activation == kQuantI8 ? 127.0f : 7.0f);
      return;
    }
    case kQuantU8:
    case kQuantU16: {
      const float lo = q->ranges[v + id], hi = q->ranges[2 * v + id];
      if (lo > hi) return;  // never recorded
      const float steps = q->config.activation == kQuantU16 || q->wide[id] ? 65535.0f : 255.0f;
      quant_asymmetric(data, n, 1, lo, hi, steps);
      return;
    }
  }
}

bool cpu_calibration_write(const CpuState& state) {
  const CpuQuantState* q = state.quant;
  if (q == nullptr || !q->config.calibrate || q->ranges_path == nullptr) return true;
  return cpu_ranges_write(q->ranges_path, std::span<const float>(q->ranges, 3 * q->value_count));
}

void cpu_quant_release(CpuState& state) {
  cpu_quant_state_free(state.quant);
  state.quant = nullptr;
}

}  // namespace vorn
