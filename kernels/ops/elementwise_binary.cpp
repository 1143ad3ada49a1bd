// The twelve binary operators with broadcasting: one loop shape, one scalar
// function per operator. Comparisons and logical operators write 1.0 or 0.0.
#include <cmath>
#include <cstdint>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/kernel.h"
#include "kernels/ops/broadcast.h"
#include "kernels/ops/node_check.h"
#include "kernels/ops/spatial_common.h"
#include "platform/cpu_features.h"

VORN_VECTORIZE_FILE

namespace vorn {

namespace {



struct SubOp { static float f(float a, float b) { return a - b; } };
struct DivOp { static float f(float a, float b) { return a / b; } };
struct AddOp { static float f(float a, float b) { return a + b; } };
struct MulOp { static float f(float a, float b) { return a * b; } };
struct EqualOp { static float f(float a, float b) { return a == b ? 1.0f : 0.0f; } };
struct LessOp { static float f(float a, float b) { return a < b ? 1.0f : 0.0f; } };
// A NaN operand makes the comparison false, so b comes out.
struct MaxOp { static float f(float a, float b) { return a >= b ? a : b; } };
struct MinOp { static float f(float a, float b) { return a <= b ? a : b; } };
struct ModOp { static float f(float a, float b) { return std::fmod(a, b); } };
// Integer Mod (ONNX fmod=0) takes the sign of the divisor, like Python's %.
struct FloorModOp {
  static float f(float a, float b) {
    float r = std::fmod(a, b);
    return (r != 0.0f && ((r < 0.0f) != (b < 0.0f))) ? r + b : r;
  }
};
struct GreaterOp { static float f(float a, float b) { return a > b ? 1.0f : 0.0f; } };
struct GreaterEqualOp { static float f(float a, float b) { return a >= b ? 1.0f : 0.0f; } };
struct LessEqualOp { static float f(float a, float b) { return a <= b ? 1.0f : 0.0f; } };
// NaN != 0 holds, so NaN counts as true.
struct AndOp { static float f(float a, float b) { return (a != 0.0f && b != 0.0f) ? 1.0f : 0.0f; } };
struct OrOp { static float f(float a, float b) { return (a != 0.0f || b != 0.0f) ? 1.0f : 0.0f; } };

// One run of a broadcast: each input either advances with the output or
// repeats one element. The four forms are separate loops so that each
// vectorises.
template <class Op>
inline void binary_run_loops(const float* a, bool a_runs, const float* b, bool b_runs, float* out, uint64_t n) {
  if (a_runs && b_runs) {
    for (uint64_t i = 0; i < n; ++i) out[i] = Op::f(a[i], b[i]);
  } else if (a_runs) {
    const float bv = b[0];
    for (uint64_t i = 0; i < n; ++i) out[i] = Op::f(a[i], bv);
  } else if (b_runs) {
    const float av = a[0];
    for (uint64_t i = 0; i < n; ++i) out[i] = Op::f(av, b[i]);
  } else {
    const float v = Op::f(a[0], b[0]);
    for (uint64_t i = 0; i < n; ++i) out[i] = v;
  }
}

#if defined(__x86_64__)
// The same loops on eight lanes. No FMA in the target, and each lane does
// the scalar loop's one operation: the same bits.
template <class Op>
[[gnu::target("avx2")]] void binary_run_avx2(const float* a, bool a_runs, const float* b, bool b_runs, float* out,
                                             uint64_t n) {
  binary_run_loops<Op>(a, a_runs, b, b_runs, out, n);
}
#endif

template <class Op>
void binary_run(const float* a, bool a_runs, const float* b, bool b_runs, float* out, uint64_t n) {
#if defined(__x86_64__)
  if (cpu_has_avx2_fma()) return binary_run_avx2<Op>(a, a_runs, b, b_runs, out, n);
#endif
  binary_run_loops<Op>(a, a_runs, b, b_runs, out, n);
}

// Division and fmod cost several times an add; split them earlier.
template <class Op>
constexpr uint64_t binary_threshold() {
  return kParallelElements;
}
template <>
constexpr uint64_t binary_threshold<ModOp>() {
  return kParallelHeavyElements;
}
template <>
constexpr uint64_t binary_threshold<FloorModOp>() {
  return kParallelHeavyElements;
}

// Runs shorter than this are merged with the axis before them when the
// inputs allow (see periodic_plan).
constexpr uint64_t kShortRun = 32;
constexpr uint64_t kPatternBlock = 256;

// A short run repeating along the axis before it, as in anchor-grid
// arithmetic ([.., W, 2] x [.., 1, 2]): when every input either runs
// contiguously through both axes or repeats a pattern of the run's length
// (or one value) along the earlier one, the two axes become one long run in
// which the repeating inputs read from a copy of their pattern laid out to
// the block length. Returns false when the shapes do not have that form.
bool periodic_plan(const BroadcastPlan& p, BroadcastPlan* q, bool contiguous[2]) {
  if (p.inner >= kShortRun || p.outer_rank == 0) return false;
  const uint64_t last = p.outer_rank - 1;
  for (uint64_t k = 0; k < 2; ++k) {
    const uint64_t ms = p.outer_stride[k][last];
    contiguous[k] = p.runs[k] && ms == p.inner;
    if (!contiguous[k] && ms != 0) return false;
  }
  *q = p;
  q->inner = p.inner * p.outer_dims[last];
  q->outer_rank = last;
  for (uint64_t k = 0; k < 2; ++k) q->runs[k] = contiguous[k];
  return true;
}

template <class Op>
void binary_periodic(const BroadcastPlan& p, const BroadcastPlan& q, const bool contiguous[2],
                     const float* a, const float* b, float* y) {
  const uint64_t period = p.inner;
  const uint64_t block = kPatternBlock / period * period;
  for_chunks(q.total, binary_threshold<Op>(), [&](uint64_t begin, uint64_t end) {
    // Each piece of work keeps its own patterns and rebuilds one only when
    // the piece moves to another source offset or phase.
    float pattern[2][kPatternBlock];
    uint64_t built_at[2] = {~uint64_t{0}, ~uint64_t{0}}, built_phase[2] = {0, 0};
    broadcast_walk(q, begin, end, [&](uint64_t o, const uint64_t* off, uint64_t n) {
      // Runs start at multiples of the period, so o mod period is where in
      // the pattern this piece begins.
      const uint64_t phase = o % period;
      const float* src[2] = {a + off[0], b + off[1]};
      for (uint64_t k = 0; k < 2; ++k) {
        if (contiguous[k] || (built_at[k] == off[k] && built_phase[k] == phase)) continue;
        const bool runs = p.runs[k];
        for (uint64_t t = 0; t < block; ++t) pattern[k][t] = src[k][runs ? (phase + t) % period : 0];
        built_at[k] = off[k];
        built_phase[k] = phase;
      }
      for (uint64_t i = 0; i < n; i += block) {
        const uint64_t len = n - i < block ? n - i : block;
        const float* pa = contiguous[0] ? src[0] + i : pattern[0];
        const float* pb = contiguous[1] ? src[1] + i : pattern[1];
        float* out = y + o + i;
        binary_run<Op>(pa, true, pb, true, out, len);
      }
    });
  });
}

// One operand holding one value per plane of the other, as in a per-channel
// scale ([N,C,H,W] op [N,C,1,1] or [1,C,1,1]): the full-shape operand's
// padded dims are the output's, the other's are 1 on some leading axes (a
// repeat, e.g. over the batch), equal to the output's on the axes after them
// and 1 on the trailing plane axes. Plane p then reads value p mod `values`.
struct PlaneScale {
  uint64_t full;    // index of the full-shape input (0 or 1)
  uint64_t values;  // elements of the per-plane operand
  uint64_t plane;   // output elements per plane
  uint64_t total;   // output elements
};

bool plane_scale_form(const uint64_t in[][kMaxRank], const uint64_t out[kMaxRank], PlaneScale* f) {
  uint64_t total = 1;
  for (uint64_t a = 0; a < kMaxRank; ++a) total *= out[a];
  if (total == 0) return false;
  for (uint64_t full = 0; full < 2; ++full) {
    const uint64_t* x = in[full];
    const uint64_t* s = in[1 - full];
    bool same = true;
    for (uint64_t a = 0; a < kMaxRank; ++a) same = same && x[a] == out[a];
    if (!same) continue;
    // Phase 0: leading repeat, 1: axes s runs along, 2: the plane.
    int phase = 0;
    uint64_t values = 1, plane = 1;
    bool fits = true;
    for (uint64_t a = 0; a < kMaxRank && fits; ++a) {
      if (out[a] == 1) continue;
      const bool runs = s[a] == out[a];
      if (phase == 0 && runs) phase = 1;
      else if (phase == 1 && !runs) phase = 2;
      else if (phase == 2 && runs) fits = false;
      if (phase == 1) values *= out[a];
      if (phase == 2) plane *= out[a];
    }
    if (!fits || phase != 2) continue;
    *f = PlaneScale{full, values, plane, total};
    return true;
  }
  return false;
}

// out[i] = f(x[i], v), or f(v, x[i]) when the scalar comes first. Fixed
// blocks of eight, each loaded whole before it is stored, vectorise even
// where the compiler will not version a loop for aliasing or add a
// remainder loop itself (the -O2 cost model), and stay correct in place.
template <class Op, bool kScalarFirst>
inline void plane_run_loops(const float* x, float v, float* out, uint64_t n) {
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    float r[8];
    for (uint64_t t = 0; t < 8; ++t) r[t] = kScalarFirst ? Op::f(v, x[i + t]) : Op::f(x[i + t], v);
    for (uint64_t t = 0; t < 8; ++t) out[i + t] = r[t];
  }
  for (; i < n; ++i) out[i] = kScalarFirst ? Op::f(v, x[i]) : Op::f(x[i], v);
}

#if defined(__x86_64__)
template <class Op, bool kScalarFirst>
[[gnu::target("avx2")]] void plane_run_avx2(const float* x, float v, float* out, uint64_t n) {
  plane_run_loops<Op, kScalarFirst>(x, v, out, n);
}
#endif

template <class Op, bool kScalarFirst>
void plane_run(const float* x, float v, float* out, uint64_t n) {
#if defined(__x86_64__)
  if (cpu_has_avx2_fma()) return plane_run_avx2<Op, kScalarFirst>(x, v, out, n);
#endif
  plane_run_loops<Op, kScalarFirst>(x, v, out, n);
}

// A tight loop per plane with the plane's value held in a register; the
// element range splits across the pool like any other binary operator, so a
// few large planes still spread over every thread.
template <class Op>
void binary_plane_scale(const PlaneScale& f, const float* a, const float* b, float* y) {
  const float* x = f.full == 0 ? a : b;
  const float* s = f.full == 0 ? b : a;
  for_chunks(f.total, binary_threshold<Op>(), [&](uint64_t begin, uint64_t end) {
    uint64_t p = begin / f.plane;
    uint64_t i = begin - p * f.plane;
    uint64_t k = p % f.values;
    while (begin < end) {
      const uint64_t len = f.plane - i < end - begin ? f.plane - i : end - begin;
      if (f.full == 0)
        plane_run<Op, false>(x + begin, s[k], y + begin, len);
      else
        plane_run<Op, true>(x + begin, s[k], y + begin, len);
      begin += len;
      i = 0;
      if (++k == f.values) k = 0;
    }
  });
}

template <class Op>
void binary_broadcast(const CpuState& s, const NodeRecord& node) {
  const ValueRecord& va = node_in_value(s, node, 0);
  const ValueRecord& vb = node_in_value(s, node, 1);
  const ValueRecord& vy = node_out_value(s, node, 0);
  uint64_t dims[kBroadcastMaxInputs][kMaxRank], out[kMaxRank];
  padded_dims(va, dims[0]);
  padded_dims(vb, dims[1]);
  padded_dims(vy, out);
  const float* a = node_in(s, node, 0);
  const float* b = node_in(s, node, 1);
  float* y = node_out(s, node, 0);
  PlaneScale form;
  if (plane_scale_form(dims, out, &form)) {
    binary_plane_scale<Op>(form, a, b, y);
    return;
  }
  BroadcastPlan plan;
  broadcast_plan(&plan, out, dims, 2);
  BroadcastPlan merged;
  bool contiguous[2];
  if (periodic_plan(plan, &merged, contiguous)) {
    binary_periodic<Op>(plan, merged, contiguous, a, b, y);
    return;
  }
  broadcast_for_each(plan, binary_threshold<Op>(), [&](uint64_t o, const uint64_t* off, uint64_t n) {
    binary_run<Op>(a + off[0], plan.runs[0], b + off[1], plan.runs[1], y + o, n);
  });
}

void scaled_add(const CpuState& s, const NodeRecord& node) {
  const float* a = node_in(s, node, 0);
  const float* b = node_in(s, node, 1);
  float* y = node_out(s, node, 0);
  const float scale = node.attr_f32(attr::Add::kParam);
  for_chunks(node_out_value(s, node, 0).count(), kParallelElements,
             [&](uint64_t begin, uint64_t end) {
               for (uint64_t i = begin; i < end; ++i) y[i] = a[i] * scale + b[i];
             });
}

// The sum, then the Relu kernel's test on it (NaN gives 0, -0 stays -0).
void add_relu(const CpuState& s, const NodeRecord& node) {
  const float* a = node_in(s, node, 0);
  const float* b = node_in(s, node, 1);
  float* y = node_out(s, node, 0);
  for_chunks(node_out_value(s, node, 0).count(), kParallelElements,
             [&](uint64_t begin, uint64_t end) {
               for (uint64_t i = begin; i < end; ++i) {
                 const float t = a[i] + b[i];
                 y[i] = t >= 0.0f ? t : 0.0f;
               }
             });
}

}  // namespace

bool cpu_binary_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  switch (node.op()) {
    case op::Sub: binary_broadcast<SubOp>(s, node); break;
    case op::Div: binary_broadcast<DivOp>(s, node); break;
    case op::Add:
      if (node.attr(attr::Add::kMode) == attr::Add::kScaledAdd)
        scaled_add(s, node);
      else if (node.attr(attr::Add::kMode) == attr::Add::kAddRelu)
        add_relu(s, node);
      else
        binary_broadcast<AddOp>(s, node);
      break;
    case op::Mul: binary_broadcast<MulOp>(s, node); break;
    case op::Equal: binary_broadcast<EqualOp>(s, node); break;
    case op::Less: binary_broadcast<LessOp>(s, node); break;
    case op::Max: binary_broadcast<MaxOp>(s, node); break;
    case op::Min: binary_broadcast<MinOp>(s, node); break;
    case op::Mod:
      if (node.attr(attr::Mod::kFmod) == 1)
        binary_broadcast<ModOp>(s, node);
      else
        binary_broadcast<FloorModOp>(s, node);
      break;
    case op::Greater:
      // The or-equal forms that lowering folds into Greater.
      if (node.attr(attr::Greater::kForm) == attr::Greater::kGreaterOrEqual)
        binary_broadcast<GreaterEqualOp>(s, node);
      else if (node.attr(attr::Greater::kForm) == attr::Greater::kLessOrEqual)
        binary_broadcast<LessEqualOp>(s, node);
      else
        binary_broadcast<GreaterOp>(s, node);
      break;
    case op::And: binary_broadcast<AndOp>(s, node); break;
    case op::Or: binary_broadcast<OrOp>(s, node); break;
    default: return false;
  }
  return true;
}

bool cpu_binary_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 2, 2, 1, 1, msg, cap)) return false;
  const ValueRecord& va = node_in_value(s, node, 0);
  const ValueRecord& vb = node_in_value(s, node, 1);
  const ValueRecord& vy = node_out_value(s, node, 0);
  if (node.op() == op::Add && (node.attr(attr::Add::kMode) == attr::Add::kScaledAdd ||
                               node.attr(attr::Add::kMode) == attr::Add::kAddRelu)) {
    if (va.count() != vy.count() || vb.count() != vy.count())
      return check_fail(msg, cap, "fused Add needs inputs and output of one element count");
    return true;
  }
  uint64_t pa[kMaxRank], pb[kMaxRank], py[kMaxRank];
  padded_dims(va, pa);
  padded_dims(vb, pb);
  padded_dims(vy, py);
  for (uint64_t i = 0; i < kMaxRank; ++i) {
    if (pa[i] != pb[i] && pa[i] != 1 && pb[i] != 1)
      return check_fail(msg, cap, "input shapes do not broadcast (axis -%llu: %llu and %llu)",
                        static_cast<unsigned long long>(kMaxRank - i),
                        static_cast<unsigned long long>(pa[i]), static_cast<unsigned long long>(pb[i]));
    // The larger dim, except that an empty axis broadcasts to empty.
    const uint64_t want = (pa[i] == 0 || pb[i] == 0) ? 0 : (pa[i] > pb[i] ? pa[i] : pb[i]);
    if (py[i] != want)
      return check_fail(msg, cap, "output shape does not match the broadcast of the inputs");
  }
  return true;
}

}  // namespace vorn
