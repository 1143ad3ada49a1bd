// The interpreter of a CpuState: one pass over the node list through the
// operator table, with the cancel poll before each node and the optional
// quantisation hook, value dump and per-operator profile around it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "base/atomics.h"
#include "base/files.h"
#include "container/attr_words.h"
#include "container/op_codes.h"
#include "cpu/engine.h"
#include "kernels/kernel.h"
#include "kernels/ops/conv_pairs.h"
#include "cpu/pair_run.h"
#include "cpu/quant_hooks.h"
#include "kernels/split_gate.h"
#include "platform/parallel.h"

namespace vorn {

namespace {

constexpr uint64_t kProfileSlots = 128;

struct Profile {
  uint32_t count[kProfileSlots];
  double ms[kProfileSlots];
  uint64_t previous_op;
  double previous_start;
};

void profile_close(Profile& p, double now) {
  if (p.previous_op < kProfileSlots) {
    p.ms[p.previous_op] += (now - p.previous_start) * 1000.0;
    p.count[p.previous_op] += 1;
  }
}

void profile_print(const Profile& p) {
  char number[32];
  for (uint64_t op = 0; op < kProfileSlots; ++op) {
    if (p.count[op] == 0) continue;
    Slice name = op_name(op);
    write_all(2, "cpuprof op=", 11);
    write_all(2, name.ptr, name.len);
    write_all(2, " n=", 3);
    int len = std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(p.count[op]));
    write_all(2, number, static_cast<uint64_t>(len));
    write_all(2, " ms=", 4);
    len = std::snprintf(number, sizeof number, "%g", p.ms[op]);
    write_all(2, number, static_cast<uint64_t>(len));
    write_all(2, "\n", 1);
  }
}

// Writes the value's f32 data to <dir>/v<id>.f32; failures are ignored.
void dump_value(const CpuState& s, uint64_t id) {
  const ValueRecord& v = s.values[id];
  if (s.data[id] == nullptr) return;
  char path[sizeof s.dump_dir + 32];
  int len = std::snprintf(path, sizeof path, "%s/v%llu.f32", s.dump_dir,
                          static_cast<unsigned long long>(id));
  if (len < 0 || static_cast<size_t>(len) >= sizeof path) return;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // Never past the value's buffer: an empty value's data is the shared
  // 64-byte zero area.
  uint64_t bytes = v.count() * 4;
  if (bytes > v.bytes()) bytes = v.bytes();
  write_all(fd, s.data[id], bytes);
  ::close(fd);
}

// A pass that spreads copies its input in, and its output out, over the
// pool's threads from this many bytes: each thread then copies a slice,
// the input's into its own cache, where the first layer's threads read it
// (after a copy on the calling thread they would all read it from that one
// core's), and the output's from the caches the last layer's threads
// wrote it into. Smaller copies stay on the calling thread.
constexpr uint64_t kSpreadCopyBytes = uint64_t{1} << 17;

// Copies bytes from src to dst, in slices over the pool when `spread`
// (a copy gives the same bytes in any cut).
void copy_pass_data(void* dst, const void* src, uint64_t bytes, bool spread) {
  const uint64_t slices = spread && bytes >= kSpreadCopyBytes ? parallel_thread_count() : 1;
  if (slices < 2) {
    std::memcpy(dst, src, bytes);
    return;
  }
  parallel_for(slices, [&](size_t i) {
    // Slices start on cache lines, so no two threads write one line.
    const uint64_t begin = std::min(bytes, bytes * i / slices / 64 * 64);
    const uint64_t end = i + 1 == slices ? bytes : std::min(bytes, bytes * (i + 1) / slices / 64 * 64);
    if (begin < end) std::memcpy(static_cast<char*>(dst) + begin, static_cast<const char*>(src) + begin, end - begin);
  });
}

}  // namespace

bool cpu_execute_pass(CpuState& s, const float* input, float* output) {
  const uint64_t in_id = s.first_input;
  const uint64_t out_id = s.first_output;
  if (in_id >= s.value_count || out_id >= s.value_count) return false;
  // The workers stay awake between the layers of a pass that spreads
  // enough work over them (and sleep again once it ends).
  std::optional<PoolHold> hold;
  if (s.hold_pool != 0 || s.pair != nullptr) hold.emplace();
  if (input != nullptr) copy_pass_data(s.data[in_id], input, s.values[in_id].count() * 4, s.hold_pool != 0);

  const bool quant = cpu_quant_active(s);
  if (quant)
    cpu_activation_hook(s, in_id, static_cast<float*>(s.data[in_id]), s.values[in_id].count(), 0);

  Profile profile;
  if (s.profile_on) {
    std::memset(&profile, 0, sizeof profile);
    profile.previous_op = kProfileSlots;
  }
  const bool dump = s.dump_length > 0;
  uint32_t* cancel = s.cancel_flag;
  const uint64_t pair_first = cpu_pair_first(s);

  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& node = s.nodes[i];
    if (s.profile_on) {
      double now = cpu_clock_seconds();
      if (i > 0) profile_close(profile, now);
      profile.previous_op = node.op();
      profile.previous_start = now;
    }
    if (cancel != nullptr && atomic_load_u32(cancel, 1) != 0) return false;
    if (i == pair_first) {
      // The run's nodes on two threads; those it leaves run below.
      const uint64_t next = cpu_pair_execute(s);
      if (next == 0) return false;
      i = next - 1;
      continue;
    }
    const CpuOpEntry* entry = cpu_op_entry(node.op());
    if (entry == nullptr) return false;
    // A Conv and the node it feeds may run together (their values are the
    // same; a pass that hooks or dumps values runs them apart).
    if (node.op() == op::Conv && node.attr(attr::Conv::kFeedsNext) != 0 && !quant && !dump &&
        i + 1 < s.node_count && conv_pair_runs(s, node, s.plans[i], s.nodes[i + 1], s.plans[i + 1])) {
      const CpuSerialNode gate(s.plans[i].serial);
      if (!conv_pair_kernel(s, node, s.plans[i], s.nodes[i + 1], s.plans[i + 1])) return false;
      ++i;
      continue;
    }
    {
      const CpuSerialNode gate(s.plans[i].serial);
      if (!entry->kernel(s, node, s.plans[i])) return false;
    }
    const uint64_t outputs = node.output_count() < kNodeMaxOutputs ? node.output_count()
                                                                    : kNodeMaxOutputs;
    if (quant) {
      for (uint64_t k = 0; k < outputs; ++k) {
        uint64_t id = node.output(k);
        if (id < s.value_count && s.values[id].kind() != kValueWeight)
          cpu_activation_hook(s, id, static_cast<float*>(s.data[id]), s.values[id].count(),
                              node.op());
      }
    }
    if (dump) {
      for (uint64_t k = 0; k < outputs; ++k)
        if (node.output(k) < s.value_count) dump_value(s, node.output(k));
    }
  }

  if (s.profile_on) {
    if (s.node_count > 0) profile_close(profile, cpu_clock_seconds());
    profile_print(profile);
  }
  if (quant) cpu_calibration_write(s);
  if (output != nullptr) copy_pass_data(output, s.data[out_id], s.values[out_id].count() * 4, s.hold_pool != 0);
  return true;
}

}  // namespace vorn
