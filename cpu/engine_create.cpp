#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/arena_planner.h"
#include "kernels/batch_plan.h"
#include "cpu/engine.h"
#include "cpu/fusion.h"
#include "cpu/pair_run.h"
#include "kernels/graph_validate.h"
#include "kernels/int8_paths.h"
#include "kernels/kernel.h"
#include "cpu/quant_hooks.h"
#include "kernels/quant_state.h"

namespace vorn {

namespace {

constexpr uint32_t kStatusBadModel = 3;
constexpr uint32_t kStatusNoMemory = 7;


CpuCreateResult fail(uint32_t status, const char* format, ...) __attribute__((format(printf, 2, 3)));

CpuCreateResult fail(uint32_t status, const char* format, ...) {
  CpuCreateError e{};
  e.status = status;
  va_list args;
  va_start(args, format);
  std::vsnprintf(e.message, sizeof e.message, format, args);
  va_end(args);
  return CpuCreateResult::failure(e);
}

// Whether this CPU has int8 dot-product instructions the int8 Conv path
// needs; none of the machines this engine runs on offer the path yet.
bool int8_dot_product_available() { return cpu_i8_capable(); }

bool check_precision(const CpuPrecisionRequest& r, char* message, size_t capacity) {
  if (!r.valid) {
    std::snprintf(message, capacity,
                  "precision.cpu: unrecognised value (expected f32, f16, f16:fast, int8, "
                  "int8:static or int8:f16)");
    return false;
  }
  const PrecisionSetting& p = r.setting;
  if (p.weights == kPrecisionF32 && p.mode == kPrecisionModePlain) return true;
  Slice text = precision_name(p);
  const int len = static_cast<int>(text.len);
  const char* name = reinterpret_cast<const char*>(text.ptr);
  if (p.weights == kPrecisionInt8 &&
      (p.mode == kPrecisionModePlain || p.mode == kPrecisionModeStatic)) {
    if (!int8_dot_product_available()) {
      std::snprintf(message, capacity,
                    "precision.cpu=%.*s needs int8 dot-product instructions (ARMv8.2 SDOT or "
                    "ARMv8.6 I8MM) this CPU lacks",
                    len, name);
      return false;
    }
    if (p.mode == kPrecisionModeStatic && r.calib_count == 0) {
      std::snprintf(message, capacity,
                    "precision.cpu=int8:static needs calibration ranges: run vorn-load precision "
                    "<pack> --calibrate <samples>");
      return false;
    }
    return true;
  }
  std::snprintf(message, capacity, "precision.cpu=%.*s is not available on the CPU yet", len, name);
  return false;
}

void read_switches(CpuState& s, const CpuQuantConfig& quant) {
  s.fusion_off = std::getenv("VORN_CPU_NOFUSE") != nullptr ||
                 std::getenv("VORN_CPU_QCAL_OUT") != nullptr;
  s.quantise_products = quant.active() && quant.operand != kQuantOff;
  s.profile_on = std::getenv("VORN_CPU_PROFILE") != nullptr;
  const char* dump = std::getenv("VORN_CPU_DUMP");
  size_t len = dump == nullptr ? 0 : std::strlen(dump);
  // A directory too long for the field could not be opened as a path either.
  if (len > 0 && len < sizeof s.dump_dir) {
    std::memcpy(s.dump_dir, dump, len + 1);
    s.dump_length = len;
  }
}

void copy_records(CpuState& s, const CpuGraph& g) {
  s.value_count = g.values.size();
  bool input_seen = false;
  for (uint64_t id = 0; id < s.value_count; ++id) {
    s.values[id] = g.values[id];
    const uint64_t kind = s.values[id].kind();
    if (kind == kValueGraphInput && !input_seen) {
      s.first_input = id;
      input_seen = true;
    }
    if (kind == kValueGraphOutput) {
      if (s.output_count == 0) s.first_output = id;
      if (s.output_count < kCpuMaxOutputs) s.outputs[s.output_count++] = id;
    }
  }
  s.node_count = g.nodes.size();
  for (uint64_t i = 0; i < s.node_count; ++i) {
    NodeRecord& n = s.nodes[i];
    n = g.nodes[i];
    // Fusion modes come only from this engine's own fusion: what a file
    // holds there (a converter writes the bits of 1.0f by default) is not
    // a mode.
    if (n.op() == op::Conv || n.op() == op::ConvTranspose || n.op() == op::Add ||
        n.op() == op::Sigmoid || n.op() == op::BatchNormalization || n.op() == op::Erf) {
      n.set_attr(attr::Fusion::kMode, attr::Fusion::kNone);
      n.set_attr(attr::Fusion::kParam, 0);
    }
    if (n.op() == op::Conv) n.set_attr(attr::Conv::kFeedsNext, 0);
    // (A MatMul's word 15 is the integer-weight word: it stays.)
    if (n.op() == op::MatMul) n.set_attr(attr::MatMul::kMode, attr::Fusion::kNone);
  }
}

}  // namespace

CpuCreateResult cpu_engine_create_graph(const CpuGraph& g, uint64_t requested_batch,
                                        const CpuPrecisionRequest& precision) {
  if (g.weights == nullptr) return fail(kStatusBadModel, "missing weight storage");
  if (g.values.empty() || g.values.size() > kCpuMaxValues || g.nodes.empty() ||
      g.nodes.size() > kCpuMaxNodes)
    return fail(kStatusBadModel, "invalid graph node/value counts in .vorn");
  char message[256] = {0};
  if (!check_precision(precision, message, sizeof message))
    return fail(kStatusBadModel, "%s", message);

  auto* s = static_cast<CpuState*>(std::calloc(1, sizeof(CpuState)));
  if (s == nullptr) return fail(kStatusNoMemory, "out of memory allocating CpuState");
  CpuState* holder = s;
  ArenaPlanner* planner = nullptr;
  auto refuse = [&](uint32_t status, const char* text) {
    arena_planner_free(planner);
    cpu_engine_free(&holder);
    return fail(status, "%s", text);
  };

  s->compiled_batch = 1;
  s->weights_size = g.weights_size;
  s->isa = kernel_isa_of_this_cpu();
  copy_records(*s, g);
  if (!cpu_validate_values(*s, g.weights, g.weights_size, message, sizeof message) ||
      !cpu_validate_nodes(*s, message, sizeof message))
    return refuse(kStatusBadModel, message);
  // The quantisation settings are read once: the node plans depend on them
  // and the quantisation state is built from the same reading.
  const CpuQuantConfig quant = cpu_quant_config_from_env();
  read_switches(*s, quant);

  planner = arena_planner_new();
  if (planner == nullptr) return refuse(kStatusNoMemory, "out of memory allocating ArenaPlanner");
  cpu_settle_batch(*s, requested_batch, planner->placed);
  if (!cpu_check_operators(*s, message, sizeof message)) return refuse(kStatusBadModel, message);

  if (!s->fusion_off) cpu_fuse(*s, *planner);

  // Quantisation hooks rewrite each node's outputs in place: a view would
  // have its input's bytes rewritten too.
  planner->flatten_views = quant.active() ? 0 : 1;
  const uint64_t arena = arena_plan(*planner, *s);
  if (!arena_bind(*s, *planner, arena))
    return refuse(kStatusNoMemory, "out of memory allocating CPU activation arena");
  arena_planner_free(planner);
  planner = nullptr;

  s->plans = static_cast<NodePlan*>(std::calloc(s->node_count, sizeof(NodePlan)));
  if (s->plans == nullptr) return refuse(kStatusNoMemory, "out of memory allocating node plans");
  if (!cpu_prepare_nodes(*s, message, sizeof message)) return refuse(kStatusBadModel, message);
  const uint64_t im2col = arena_padded(cpu_workspace_bytes(*s));
  if (im2col > (uint64_t{1} << 40))
    return refuse(kStatusBadModel, "a convolution needs an im2col workspace beyond 1 TiB");
  s->im2col = static_cast<float*>(std::aligned_alloc(64, im2col));
  if (s->im2col == nullptr)
    return refuse(kStatusNoMemory, "out of memory allocating im2col workspace");
  s->im2col_size = im2col;

  if (uint32_t status = cpu_quant_settings(*s, quant, message, sizeof message); status != 0)
    return refuse(status, message);
  cpu_pair_plan(*s);
  return CpuCreateResult::success(s);
}

}  // namespace vorn
