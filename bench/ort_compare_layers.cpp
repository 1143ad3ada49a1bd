// Our side of bench/ort_compare's per-layer table: the time of every node of
// the CPU engine, as the engine holds them after fusion (a Conv with its
// folded BatchNormalization and fused activation is one node).
//
//   [VORN_BENCH_ISA=avx2|portable] ort_compare_layers MODEL.vorn RUNS NAME:DTYPE:SHAPE:FILE...
//
// Opens the model on the CPU engine through the public interface and binds
// the inputs with one ordinary run, then makes RUNS passes of its own over
// the engine's node list, calling each node's kernel as the executor does
// and reading the clock around it, and writes one JSON line per node:
//   {"node": i, "op": NAME, "x": [dims of input 0], "w": [dims of input 1],
//    "kernel": [h, w], "group": G, "fused": MODE, "y": [dims of output 0],
//    "work_us": ESTIMATE, "serial": 0|1, "ms": MEDIAN}
// (w, kernel, group and fused only where the operator has them; ESTIMATE
// is the split gate's estimate of the node's time on one thread, serial
// whether the gate keeps it on the calling thread), then
//   {"pass_ms": MEDIAN of the engine's own pass, "nodes_ms": SUM of the node medians}.
// VORN_CPU_PROFILE times operators as a whole; a table by layer class needs
// each Conv's shape, hence the pass here, which calls the kernels as
// cpu_execute_pass does, a node too small to split kept on this thread as
// there: should the executor keep state across a pass (a worker team held
// from the first node to the last), this pass must do the same, and the
// two totals above would part until it does (the driver says so). Thread
// count is the process's affinity mask, as for ort_compare_runner.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_isa.h"
#include "bench/ort_compare_common.h"
#include "platform/cpu_features.h"
#include "container/attr_words.h"
#include "container/op_codes.h"
#include "cpu/engine.h"
#include "kernels/kernel.h"
#include "kernels/split_gate.h"
#include "platform/cpu_features.h"
#include "platform/parallel.h"
#include "session/session.h"
#include "vorn.h"

namespace {

std::string dims_json(const vorn::ValueRecord& v) {
  std::string out = "[";
  for (uint64_t d = 0; d < v.rank(); ++d) out += (d ? ", " : "") + std::to_string(v.dim(d));
  return out + "]";
}

bool has_window(uint64_t op) {
  return op == vorn::op::Conv || op == vorn::op::ConvTranspose || op == vorn::op::MaxPool ||
         op == vorn::op::AveragePool;
}

std::string node_json(const vorn::CpuState& s, uint64_t i, double ms) {
  namespace attr = vorn::attr;
  const vorn::NodeRecord& n = s.nodes[i];
  std::string out = "{\"node\": " + std::to_string(i) + ", \"op\": \"" +
                    std::string(vorn::op_name(n.op()).view()) + "\"";
  if (vorn::node_has_input(s, n, 0)) out += ", \"x\": " + dims_json(vorn::node_in_value(s, n, 0));
  if (vorn::node_has_input(s, n, 1)) out += ", \"w\": " + dims_json(vorn::node_in_value(s, n, 1));
  if (has_window(n.op()))
    out += ", \"kernel\": [" + std::to_string(n.attr(attr::Window::kKernelH)) + ", " +
           std::to_string(n.attr(attr::Window::kKernelW)) + "]";
  if (n.op() == vorn::op::Conv || n.op() == vorn::op::ConvTranspose) {
    const uint64_t g = n.attr(attr::Conv::kGroups);
    out += ", \"group\": " + std::to_string(g == 0 ? 1 : g) + ", \"fused\": " +
           std::to_string(n.attr(attr::Conv::kMode));
  }
  if (n.output_count() > 0 && n.output(0) < s.value_count) out += ", \"y\": " + dims_json(s.values[n.output(0)]);
  char ms_text[96];
  std::snprintf(ms_text, sizeof ms_text, ", \"work_us\": %.2f, \"serial\": %d, \"ms\": %.5f}",
                static_cast<double>(vorn::cpu_node_work(s, n)) * 1e-6, s.plans[i].serial ? 1 : 0, ms);
  return out + ms_text;
}

int profile(const char* path, int runs, const std::vector<bench_ort::Input>& inputs) {
  VornSession* session = vorn_session_new(nullptr);
  VornInput* input = vorn_input_new();
  VornOutput* output = vorn_output_new();
  int status = 1;
  vorn_session_set_backend(session, VORN_BACKEND_CPU);
  if (!vorn_session_open(session, path, std::strlen(path))) {
    std::fprintf(stderr, "open failed: %.*s\n", int(vorn_session_error_message_len(session)),
                 vorn_session_error_message_ptr(session));
    goto done;
  }
  for (const bench_ort::Input& in : inputs) {
    const bool ok = in.is_f32 ? vorn_input_set_named_f32(input, in.name.data(), in.name.size(),
                                                         reinterpret_cast<const float*>(in.bytes.data()), in.count(), 0)
                              : vorn_input_set_named_i64(input, in.name.data(), in.name.size(),
                                                         reinterpret_cast<const int64_t*>(in.bytes.data()),
                                                         in.count(), 0);
    if (!ok) {
      std::fprintf(stderr, "cannot bind input %s\n", in.name.c_str());
      goto done;
    }
  }
  if (!vorn_session_run(session, input, output) || session->cpu == nullptr) {
    std::fprintf(stderr, "run failed: %.*s\n", int(vorn_session_error_message_len(session)),
                 vorn_session_error_message_ptr(session));
    goto done;
  }
  {
    vorn::CpuState& s = *session->cpu;
    // The graph inputs as the engine holds them (f32, integers converted),
    // put back before each pass: the arena may lend an input's bytes to
    // later values.
    std::vector<std::pair<uint64_t, std::vector<float>>> bound;
    for (const bench_ort::Input& in : inputs) {
      for (uint32_t k = 0; k < session->info.input_count; ++k) {
        const vorn::TensorDesc& d = session->info.inputs[k];
        if (std::string_view(d.name, d.name_len) != in.name) continue;
        std::vector<float> values(in.count());
        for (uint64_t e = 0; e < in.count(); ++e) {
          if (in.is_f32) {
            std::memcpy(&values[e], in.bytes.data() + 4 * e, 4);
          } else {
            int64_t v;
            std::memcpy(&v, in.bytes.data() + 8 * e, 8);
            values[e] = static_cast<float>(v);
          }
        }
        bound.emplace_back(d.value_index, std::move(values));
      }
    }
    auto rebind = [&]() {
      for (const auto& [id, values] : bound) std::memcpy(s.data[id], values.data(), values.size() * 4);
    };
    std::vector<std::vector<double>> times(s.node_count);
    std::vector<double> passes;
    for (int r = 0; r < runs + 1; ++r) {
      rebind();
      const double t0 = bench_ort::now_ms();
      if (!vorn::cpu_execute_pass(s, nullptr, nullptr)) {
        std::fprintf(stderr, "pass failed\n");
        goto done;
      }
      if (r > 0) passes.push_back(bench_ort::now_ms() - t0);
      rebind();
      std::optional<vorn::PoolHold> hold;
      if (s.hold_pool != 0) hold.emplace();
      for (uint64_t i = 0; i < s.node_count; ++i) {
        const vorn::CpuOpEntry* entry = vorn::cpu_op_entry(s.nodes[i].op());
        const vorn::CpuSerialNode gate(s.plans[i].serial);
        const double n0 = bench_ort::now_ms();
        if (entry == nullptr || !entry->kernel(s, s.nodes[i], s.plans[i])) {
          std::fprintf(stderr, "node %llu failed\n", static_cast<unsigned long long>(i));
          goto done;
        }
        // The first pass warms the caches and the pool; it is not counted.
        if (r > 0) times[i].push_back(bench_ort::now_ms() - n0);
      }
    }
    double sum = 0;
    for (uint64_t i = 0; i < s.node_count; ++i) {
      const double ms = bench_ort::median(times[i]);
      sum += ms;
      std::printf("%s\n", node_json(s, i, ms).c_str());
    }
    std::printf("{\"pass_ms\": %.4f, \"nodes_ms\": %.4f}\n", bench_ort::median(passes), sum);
  }
  status = 0;
done:
  vorn_output_free(output);
  vorn_input_free(input);
  vorn_session_free(session);
  return status;
}


}  // namespace

int main(int argc, char** argv) {
  const auto isa = bench_ort::bench_isa();
  std::vector<bench_ort::Input> inputs(argc > 3 ? size_t(argc - 3) : 0);
  for (int i = 3; i < argc; ++i)
    if (!bench_ort::read_input(argv[i], &inputs[size_t(i - 3)])) return 2;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 0;
  if (argc < 4 || runs < 1) {
    std::fprintf(stderr, "usage: ort_compare_layers MODEL.vorn RUNS NAME:f32|i64:SHAPE:FILE...\n");
    return 2;
  }
  return profile(argv[1], runs, inputs);
}
