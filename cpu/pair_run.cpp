#include "cpu/pair_run.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/kernel.h"
#include "cpu/engine.h"
#include "kernels/split_gate.h"
#include "platform/parallel.h"

namespace vorn {

namespace {

// A row section is taken while its larger band carries at most this share of
// the section's estimated work (the overlap of the windows is computed by
// both bands); past it the layers are split by channels. fr_eye's first
// stage (planes of 24 down to 10 rows) costs its larger band 0.58 of the
// stage, its second (10 down to 5 rows) 0.7, where both ways ran alike.
constexpr double kMaxBandShare = 0.66;
// Channel halves below this many channels are not worth a lane.
constexpr uint64_t kMinSplitChannels = 8;
// Values the run keeps in its own buffers, at most (the run is for small
// models; a larger one would double its activation memory).
constexpr uint64_t kMaxRunBytes = uint64_t{1} << 21;

struct Rows {
  int64_t begin = 0, end = 0;
  bool empty() const { return end <= begin; }
  int64_t count() const { return end - begin; }
};

// A value as one lane's kernel sees it: its record and data.
struct Bind {
  uint64_t id;
  ValueRecord record;
  void* data;
};

// planes runs of len floats from src to dst, with the given strides.
struct Copy {
  const float* src;
  float* dst;
  uint64_t planes, src_stride, dst_stride, len;
};

struct LaneStep {
  uint32_t copy_begin = 0, copy_end = 0;  // before the node
  uint32_t bind_begin = 0, bind_end = 0;
  int64_t node = -1;                      // in the lane's state; -1: none
  uint32_t after_begin = 0, after_end = 0;  // copies after the node
};

struct Lane {
  CpuState* state = nullptr;  // a partial copy: records, data, nodes, plans
  std::vector<LaneStep> steps;
  std::vector<Copy> copies;
  std::vector<Bind> binds;
  uint64_t workspace = 64;
};

struct Step {
  bool barrier = false;
  // The engine's node the step belongs to (a section's closing step: the
  // node after the section).
  uint64_t node = 0;
};

}  // namespace

struct CpuPairRun {
  uint64_t first = 0, last = 0;
  std::vector<Step> steps;  // lane steps line up with these
  Lane lane[2];
  std::vector<void*> blocks;
  // Segments: the steps between barriers; segment k starts at step
  // segment_start[k] (one more entry: the step count).
  std::vector<uint32_t> segment_start;
  // Segments done by lane 0 and by lane 1, and lane 1's segments claimed.
  alignas(64) std::atomic<uint32_t> done0{0};
  alignas(64) std::atomic<uint32_t> done1{0};
  alignas(64) std::atomic<uint32_t> claimed1{0};
  std::atomic<uint32_t> failed{0};
};

namespace {

bool is_activation(const CpuState& s, uint64_t id) {
  return id < s.value_count && s.values[id].kind() != kValueWeight;
}

bool plain_image(const ValueRecord& v) { return v.rank() == 4 && v.dim(0) == 1; }

uint64_t conv_groups(const NodeRecord& n) { return std::max<uint64_t>(1, n.attr(attr::Conv::kGroups)); }

// The window along the rows of a Conv or MaxPool.
struct RowWindow {
  int64_t extent, stride, pad_top, pad_bottom;
};

bool row_window(const CpuState& s, const NodeRecord& n, RowWindow* w) {
  int64_t kernel = 0;
  if (n.op() == op::Conv)
    kernel = static_cast<int64_t>(s.values[n.input(1)].dim(2));
  else if (n.op() == op::MaxPool)
    kernel = n.attr_i64(attr::Window::kKernelH);
  else
    return false;
  const int64_t dilation = std::max<int64_t>(1, n.attr_i64(attr::Window::kDilationH));
  w->extent = (kernel - 1) * dilation + 1;
  w->stride = std::max<int64_t>(1, n.attr_i64(attr::Window::kStrideH));
  w->pad_top = n.attr_i64(attr::Window::kPadTop);
  w->pad_bottom = n.attr_i64(attr::Window::kPadBottom);
  return true;
}

bool same_shape(const ValueRecord& a, const ValueRecord& b) {
  if (a.rank() != b.rank()) return false;
  for (uint64_t d = 0; d < a.rank(); ++d)
    if (a.dim(d) != b.dim(d)) return false;
  return true;
}

// Conv (any fusion), MaxPool and same-shape Add on one NCHW image.
bool row_eligible(const CpuState& s, const NodeRecord& n) {
  if (n.output_count() != 1 || !plain_image(s.values[n.output(0)])) return false;
  if (n.op() == op::Conv || n.op() == op::MaxPool) {
    if (!plain_image(s.values[n.input(0)])) return false;
    if (n.op() == op::Conv && (n.input_count() < 2 || s.values[n.input(1)].rank() != 4)) return false;
    // A residual join of the output's shape; not the layer's own input,
    // which a band or a channel half sees through another window.
    for (uint64_t k = 2; k < n.input_count(); ++k)
      if (is_activation(s, n.input(k)) &&
          (n.input(k) == n.input(0) || !same_shape(s.values[n.input(k)], s.values[n.output(0)])))
        return false;
    return true;
  }
  if (n.op() == op::Add) {
    for (uint64_t k = 0; k < n.input_count(); ++k)
      if (!is_activation(s, n.input(k)) || !same_shape(s.values[n.input(k)], s.values[n.output(0)])) return false;
    return n.input_count() == 2;
  }
  return false;
}

// Fusions whose extra operands are a per-channel bias (input 2) and a
// residual join of the output's shape (input 3).
bool channel_fusion(const NodeRecord& n) {
  switch (n.attr(attr::Fusion::kMode)) {
    case attr::Conv::kAdd:
    case attr::Conv::kAddRelu:
    case attr::Fusion::kNone:
    case attr::Conv::kRelu:
    case attr::Conv::kLeakyRelu:
    case attr::Conv::kClip:
    case attr::Conv::kHardSwish:
    case attr::Conv::kSiLU:
      return true;
    default:
      return false;
  }
}

bool depthwise(const CpuState& s, const NodeRecord& n) {
  const uint64_t g = conv_groups(n);
  return g > 1 && g == s.values[n.input(0)].dim(1) && g == s.values[n.output(0)].dim(1) &&
         s.values[n.input(1)].dim(0) == g && s.values[n.input(1)].dim(1) == 1;
}

bool channel_eligible(const CpuState& s, const NodeRecord& n) {
  if (!row_eligible(s, n) || s.values[n.output(0)].dim(1) < kMinSplitChannels) return false;
  if (n.op() != op::Conv) return true;
  if (n.input_count() > 4 || !channel_fusion(n)) return false;
  if (node_has_input(s, n, 2) && (s.values[n.input(2)].kind() != kValueWeight ||
                                  s.values[n.input(2)].count() != s.values[n.output(0)].dim(1)))
    return false;
  if (n.input_count() == 4 && !is_activation(s, n.input(3))) return false;
  return conv_groups(n) == 1 || depthwise(s, n);
}

ValueRecord resized(const ValueRecord& v, uint64_t dim, uint64_t size) {
  ValueRecord r = v;
  r.set_dim(dim, size);
  uint64_t count = 1;
  for (uint64_t d = 0; d < r.rank(); ++d) count *= r.dim(d);
  r.set_count(count);
  r.set_bytes(count * 4);
  return r;
}

float* take_floats(CpuPairRun& run, uint64_t count) {
  const uint64_t bytes = (count * 4 + 63) / 64 * 64 + 64;
  void* p = std::aligned_alloc(64, bytes);
  if (p == nullptr) return nullptr;
  std::memset(p, 0, bytes);
  run.blocks.push_back(p);
  return static_cast<float*>(p);
}

CpuState* lane_state(const CpuState& s) {
  auto* t = static_cast<CpuState*>(std::calloc(1, sizeof(CpuState)));
  if (t == nullptr) return nullptr;
  t->compiled_batch = s.compiled_batch;
  t->value_count = s.value_count;
  std::memcpy(t->values, s.values, sizeof(ValueRecord) * s.value_count);
  std::memcpy(static_cast<void*>(t->data), s.data, sizeof(void*) * s.value_count);
  t->weights_size = s.weights_size;
  t->isa = s.isa;
  t->plans = static_cast<NodePlan*>(std::calloc(s.node_count, sizeof(NodePlan)));
  if (t->plans == nullptr) {
    std::free(t);
    return nullptr;
  }
  return t;
}

void apply_binds(CpuState& t, const Lane& lane, const LaneStep& step) {
  for (uint32_t k = step.bind_begin; k < step.bind_end; ++k) {
    t.values[lane.binds[k].id] = lane.binds[k].record;
    t.data[lane.binds[k].id] = lane.binds[k].data;
  }
}

// Adds node n (as changed in `node`) to the lane with the binds pushed since
// bind_begin, and prepares its plan.
bool add_node(Lane& lane, LaneStep& step, const NodeRecord& node) {
  CpuState& t = *lane.state;
  step.bind_end = static_cast<uint32_t>(lane.binds.size());
  apply_binds(t, lane, step);
  const int64_t j = static_cast<int64_t>(t.node_count);
  t.nodes[j] = node;
  NodePlan& plan = t.plans[j];
  plan.serial = true;
  plan.workspace_bytes = 0;
  char reason[200];
  const CpuOpEntry* e = cpu_op_entry(node.op());
  if (e == nullptr || !e->prepare(t, t.nodes[j], plan, reason, sizeof reason)) return false;
  lane.workspace = std::max(lane.workspace, plan.workspace_bytes);
  t.node_count = static_cast<uint64_t>(j + 1);
  step.node = j;
  return true;
}

void push_step(CpuPairRun& run, bool barrier, uint64_t node, const LaneStep& a, const LaneStep& b) {
  run.steps.push_back(Step{barrier, node});
  run.lane[0].steps.push_back(a);
  run.lane[1].steps.push_back(b);
}

struct Graph {
  const CpuState& s;
  std::vector<uint64_t> last_use;  // node index of a value's last reader; node_count: read after the pass
  std::vector<uint64_t> producer;  // node of a value; node_count: none
};

// The rows of each value of nodes [first, last] a band needs for rows `out`
// of the last node's output, and the rows of each node's activation inputs.
struct BandRows {
  std::vector<Rows> value;                  // by value id
  std::vector<std::vector<Rows>> input;     // by node - first, input slot
};

BandRows band_rows(const Graph& g, uint64_t first, uint64_t last, Rows out) {
  const CpuState& s = g.s;
  BandRows b;
  b.value.assign(s.value_count, Rows{});
  b.input.assign(last - first + 1, {});
  b.value[s.nodes[last].output(0)] = out;
  for (uint64_t i = last + 1; i-- > first;) {
    const NodeRecord& n = s.nodes[i];
    const Rows o = b.value[n.output(0)];
    auto& in = b.input[i - first];
    in.assign(n.input_count(), Rows{});
    for (uint64_t k = 0; k < n.input_count(); ++k) {
      const uint64_t v = n.input(k);
      if (!is_activation(s, v) || o.empty()) continue;
      Rows r = o;
      RowWindow w;
      if (k == 0 && row_window(s, n, &w)) {
        const int64_t height = static_cast<int64_t>(s.values[v].dim(2));
        r.begin = std::max<int64_t>(0, o.begin * w.stride - w.pad_top);
        r.end = std::min<int64_t>(height, (o.end - 1) * w.stride - w.pad_top + w.extent);
      }
      in[k] = r;
      Rows& have = b.value[v];
      if (have.empty()) have = r;
      else have = Rows{std::min(have.begin, r.begin), std::max(have.end, r.end)};
    }
  }
  return b;
}

// The larger band's share of the section's estimated work; above 1 when a
// node would compute no rows in some band (a section not worth bands).
double band_share(const Graph& g, uint64_t first, uint64_t last, const BandRows (&bands)[2]) {
  const CpuState& s = g.s;
  double all = 0, most = 0;
  double part[2] = {0, 0};
  for (uint64_t i = first; i <= last; ++i) {
    const uint64_t o = s.nodes[i].output(0);
    const double work = static_cast<double>(cpu_node_work(s, s.nodes[i])) + 1.0;
    const double height = static_cast<double>(s.values[o].dim(2));
    all += work;
    for (int b = 0; b < 2; ++b) {
      if (bands[b].value[o].empty()) return 2.0;
      part[b] += work * static_cast<double>(bands[b].value[o].count()) / height;
    }
  }
  most = std::max(part[0], part[1]);
  return most / all;
}

// Whether [first, last] hands only the last node's output to later nodes.
bool closed_section(const Graph& g, uint64_t first, uint64_t last) {
  for (uint64_t i = first; i < last; ++i)
    if (g.last_use[g.s.nodes[i].output(0)] > last) return false;
  return g.last_use[g.s.nodes[last].output(0)] < g.s.node_count;
}

// Adds one band of row section [first, last] to lane `b`'s steps (the
// caller lines the lanes up): band-sized copies of the nodes on private
// buffers, input rows cropped where a producer holds more, and the band's
// rows of the last output written into its full buffer at the end.
bool add_band(CpuPairRun& run, const Graph& g, uint64_t first, uint64_t last, const BandRows& rows,
              Rows out, int b, std::vector<LaneStep>& steps) {
  const CpuState& s = g.s;
  Lane& lane = run.lane[b];
  std::vector<float*> buffer(s.value_count, nullptr);
  for (uint64_t i = first; i <= last; ++i) {
    const uint64_t o = s.nodes[i].output(0);
    const ValueRecord& v = s.values[o];
    buffer[o] = take_floats(run, v.dim(1) * v.dim(3) * static_cast<uint64_t>(rows.value[o].count()));
    if (buffer[o] == nullptr) return false;
  }
  for (uint64_t i = first; i <= last; ++i) {
    const NodeRecord& n = s.nodes[i];
    NodeRecord node = n;
    if (node.op() == op::Conv) node.set_attr(attr::Conv::kFeedsNext, 0);
    LaneStep step;
    step.copy_begin = static_cast<uint32_t>(lane.copies.size());
    step.bind_begin = static_cast<uint32_t>(lane.binds.size());
    const uint64_t o = n.output(0);
    const Rows orows = rows.value[o];
    for (uint64_t k = 0; k < n.input_count(); ++k) {
      const uint64_t v = n.input(k);
      if (!is_activation(s, v)) continue;
      const Rows want = rows.input[i - first][k];
      const ValueRecord& rec = s.values[v];
      const bool inside = g.producer[v] >= first && g.producer[v] <= last;
      const Rows have = inside ? rows.value[v] : Rows{0, static_cast<int64_t>(rec.dim(2))};
      const float* src = inside ? buffer[v] : static_cast<const float*>(s.data[v]);
      float* data = const_cast<float*>(src);
      if (want.begin != have.begin || want.end != have.end) {
        const uint64_t width = rec.dim(3);
        data = take_floats(run, rec.dim(1) * width * static_cast<uint64_t>(want.count()));
        if (data == nullptr) return false;
        lane.copies.push_back(Copy{src + static_cast<uint64_t>(want.begin - have.begin) * width, data, rec.dim(1),
                                   static_cast<uint64_t>(have.count()) * width,
                                   static_cast<uint64_t>(want.count()) * width,
                                   static_cast<uint64_t>(want.count()) * width});
      }
      lane.binds.push_back(Bind{v, resized(rec, 2, static_cast<uint64_t>(want.count())), data});
      RowWindow w;
      if (k == 0 && row_window(s, n, &w)) {
        // The band's pads: the real pad where the band meets the plane's
        // edge, none where its rows go on (they are in the band's input).
        const int64_t top = w.pad_top + want.begin - orows.begin * w.stride;
        const int64_t bottom = (orows.count() - 1) * w.stride + w.extent - want.count() - top;
        if (top < 0 || top > w.pad_top || bottom < 0 || bottom > w.pad_bottom) return false;
        node.set_attr(attr::Window::kPadTop, static_cast<uint64_t>(top));
        node.set_attr(attr::Window::kPadBottom, static_cast<uint64_t>(bottom));
      }
    }
    step.copy_end = static_cast<uint32_t>(lane.copies.size());
    lane.binds.push_back(Bind{o, resized(s.values[o], 2, static_cast<uint64_t>(orows.count())), buffer[o]});
    if (!add_node(lane, step, node)) return false;
    step.after_begin = step.after_end = static_cast<uint32_t>(lane.copies.size());
    if (i == last) {
      const ValueRecord& v = s.values[o];
      const uint64_t width = v.dim(3);
      lane.copies.push_back(Copy{buffer[o] + static_cast<uint64_t>(out.begin - orows.begin) * width,
                                 static_cast<float*>(s.data[o]) + static_cast<uint64_t>(out.begin) * width,
                                 v.dim(1), static_cast<uint64_t>(orows.count()) * width, v.dim(2) * width,
                                 static_cast<uint64_t>(out.count()) * width});
      step.after_end = static_cast<uint32_t>(lane.copies.size());
    }
    steps.push_back(step);
  }
  return true;
}

// Adds lane b's half of the output channels of node i.
bool add_channels(CpuPairRun& run, const CpuState& s, uint64_t i, int b, LaneStep& step) {
  Lane& lane = run.lane[b];
  const NodeRecord& n = s.nodes[i];
  NodeRecord node = n;
  if (node.op() == op::Conv) node.set_attr(attr::Conv::kFeedsNext, 0);
  step.bind_begin = static_cast<uint32_t>(lane.binds.size());
  const uint64_t channels = s.values[n.output(0)].dim(1);
  const uint64_t begin = b == 0 ? 0 : channels / 2, end = b == 0 ? channels / 2 : channels;
  // Channels [begin, end) of a value along dimension dim.
  auto slice = [&](uint64_t id, uint64_t dim) {
    const ValueRecord& v = s.values[id];
    const uint64_t per = v.count() / v.dim(dim);
    lane.binds.push_back(Bind{id, resized(v, dim, end - begin), static_cast<float*>(s.data[id]) + begin * per});
  };
  if (n.op() == op::Conv) {
    if (conv_groups(n) == 1) {
      lane.binds.push_back(Bind{n.input(0), s.values[n.input(0)], s.data[n.input(0)]});
    } else {
      slice(n.input(0), 1);
      node.set_attr(attr::Conv::kGroups, end - begin);
    }
    slice(n.input(1), 0);
    if (node_has_input(s, n, 2)) slice(n.input(2), 0);
    if (node_has_input(s, n, 3)) slice(n.input(3), 1);
  } else {
    for (uint64_t k = 0; k < n.input_count(); ++k) slice(n.input(k), 1);
  }
  slice(n.output(0), 1);
  return add_node(lane, step, node);
}

// How a run of eligible nodes [first, end) splits: row sections from its
// start while they pay (each the longest closed one whose larger band stays
// within kMaxBandShare), then channel halves up to the first node they
// cannot split.
struct Layout {
  struct Section {
    uint64_t first, last;
    BandRows rows[2];
    Rows out[2];
  };
  std::vector<Section> sections;
  uint64_t first = 0, end = 0;
};

Layout plan_layout(const Graph& g, uint64_t first, uint64_t end) {
  const CpuState& s = g.s;
  Layout layout;
  layout.first = first;
  uint64_t i = first;
  while (i < end) {
    Layout::Section best{};
    bool found = false;
    for (uint64_t last = i; last < end; ++last) {
      if (!closed_section(g, i, last)) continue;
      const int64_t height = static_cast<int64_t>(s.values[s.nodes[last].output(0)].dim(2));
      if (height < 2) continue;
      Layout::Section c{i, last, {}, {Rows{0, (height + 1) / 2}, Rows{(height + 1) / 2, height}}};
      c.rows[0] = band_rows(g, i, last, c.out[0]);
      c.rows[1] = band_rows(g, i, last, c.out[1]);
      if (band_share(g, i, last, c.rows) > kMaxBandShare) continue;
      best = std::move(c);
      found = true;
    }
    if (!found) break;
    i = best.last + 1;
    layout.sections.push_back(std::move(best));
  }
  while (i < end && channel_eligible(s, s.nodes[i])) ++i;
  layout.end = i;
  return layout;
}

bool plan_run(CpuPairRun& run, CpuState& s, const Graph& g, const Layout& layout) {
  const uint64_t first = layout.first, end = layout.end;
  // Own buffers for what the run's nodes write into the full values, so no
  // lane ever writes where the arena places a value the other still reads.
  uint64_t bytes = 0;
  for (uint64_t i = first; i < end; ++i) bytes += s.values[s.nodes[i].output(0)].count() * 4;
  if (bytes > kMaxRunBytes) return false;
  for (int b = 0; b < 2; ++b) {
    run.lane[b].state = lane_state(s);
    if (run.lane[b].state == nullptr) return false;
  }
  for (uint64_t i = first; i < end; ++i) {
    const uint64_t o = s.nodes[i].output(0);
    float* p = take_floats(run, s.values[o].count());
    if (p == nullptr) return false;
    s.data[o] = p;
  }
  for (int b = 0; b < 2; ++b)
    std::memcpy(static_cast<void*>(run.lane[b].state->data), s.data, sizeof(void*) * s.value_count);

  for (const Layout::Section& section : layout.sections) {
    std::vector<LaneStep> lanes[2];
    for (int b = 0; b < 2; ++b)
      if (!add_band(run, g, section.first, section.last, section.rows[b], section.out[b], b, lanes[b])) return false;
    for (size_t k = 0; k < lanes[0].size(); ++k)
      push_step(run, false, section.first + k, lanes[0][k], lanes[1][k]);
    push_step(run, true, section.last + 1, LaneStep{}, LaneStep{});
  }
  const uint64_t channels_first = layout.sections.empty() ? first : layout.sections.back().last + 1;
  std::vector<bool> written(s.value_count, false);  // by both lanes since the last barrier
  for (uint64_t i = channels_first; i < end; ++i) {
    const NodeRecord& n = s.nodes[i];
    // A full convolution reads the channels the other lane wrote.
    bool barrier = false;
    if (n.op() == op::Conv && conv_groups(n) == 1 && written[n.input(0)]) {
      barrier = true;
      std::fill(written.begin(), written.end(), false);
    }
    LaneStep lanes[2];
    for (int b = 0; b < 2; ++b)
      if (!add_channels(run, s, i, b, lanes[b])) return false;
    push_step(run, barrier, i, lanes[0], lanes[1]);
    written[n.output(0)] = true;
  }
  run.first = first;
  run.last = end - 1;
  run.segment_start.push_back(0);
  for (size_t k = 0; k < run.steps.size(); ++k)
    if (run.steps[k].barrier && k > 0) run.segment_start.push_back(static_cast<uint32_t>(k));
  run.segment_start.push_back(static_cast<uint32_t>(run.steps.size()));
  for (int b = 0; b < 2; ++b) {
    CpuState& t = *run.lane[b].state;
    const uint64_t ws = (run.lane[b].workspace + 63) / 64 * 64;
    t.im2col = static_cast<float*>(std::aligned_alloc(64, ws));
    if (t.im2col == nullptr) return false;
    t.im2col_size = ws;
  }
  return true;
}

void free_run(CpuPairRun* run) {
  if (run == nullptr) return;
  for (Lane& lane : run->lane) {
    if (lane.state == nullptr) continue;
    std::free(lane.state->im2col);
    std::free(lane.state->plans);
    std::free(lane.state);
  }
  for (void* p : run->blocks) std::free(p);
  delete run;
}

void run_copies(const Lane& lane, uint32_t begin, uint32_t end) {
  for (uint32_t k = begin; k < end; ++k) {
    const Copy& c = lane.copies[k];
    for (uint64_t p = 0; p < c.planes; ++p)
      std::memcpy(c.dst + p * c.dst_stride, c.src + p * c.src_stride, c.len * 4);
  }
}

// Runs segment k of lane b (nothing once a kernel has failed).
void run_segment(CpuPairRun& run, int b, uint32_t k) {
  Lane& lane = run.lane[b];
  CpuState& t = *lane.state;
  for (uint32_t i = run.segment_start[k]; i < run.segment_start[k + 1]; ++i) {
    if (run.failed.load(std::memory_order_relaxed) != 0) return;
    const LaneStep& step = lane.steps[i];
    run_copies(lane, step.copy_begin, step.copy_end);
    if (step.node >= 0) {
      apply_binds(t, lane, step);
      const NodeRecord& node = t.nodes[step.node];
      if (!cpu_op_entry(node.op())->kernel(t, node, t.plans[step.node])) {
        run.failed.store(1, std::memory_order_relaxed);
        return;
      }
    }
    run_copies(lane, step.after_begin, step.after_end);
  }
}

void wait_at_least(const std::atomic<uint32_t>& word, uint32_t value) {
  while (word.load(std::memory_order_acquire) < value) __builtin_ia32_pause();
}

// The calling thread: lane 0's segments, and lane 1's too from the first
// the worker has not claimed by the time lane 0 has done it (a worker slow
// to start, on a busy core, or none at all when the pool runs both
// iterations on this thread): the caller then runs that segment of lane 1
// and hands the rest of the run back to the executor, which runs its nodes
// one by one on this thread (the values before them are in place). Answers
// the segment the run stopped after.
uint32_t lead(CpuPairRun& run) {
  const uint32_t segments = static_cast<uint32_t>(run.segment_start.size() - 1);
  for (uint32_t k = 0; k < segments; ++k) {
    run_segment(run, 0, k);
    run.done0.store(k + 1, std::memory_order_release);
    uint32_t unclaimed = k;
    if (run.claimed1.compare_exchange_strong(unclaimed, segments, std::memory_order_acq_rel)) {
      run_segment(run, 1, k);
      return k + 1;
    }
    wait_at_least(run.done1, k + 1);
  }
  return segments;
}

// The worker: lane 1's segments in turn, each once lane 0 has finished the
// segment before; it stops at the first one the caller took.
void follow(CpuPairRun& run) {
  const uint32_t segments = static_cast<uint32_t>(run.segment_start.size() - 1);
  for (uint32_t k = 0; k < segments; ++k) {
    uint32_t unclaimed = k;
    if (!run.claimed1.compare_exchange_strong(unclaimed, k + 1, std::memory_order_acq_rel)) return;
    wait_at_least(run.done0, k);
    run_segment(run, 1, k);
    run.done1.store(k + 1, std::memory_order_release);
  }
}

}  // namespace

void cpu_pair_plan(CpuState& s) {
  s.pair = nullptr;
  if (s.hold_pool != 0 || s.compiled_batch != 1 || s.quant != nullptr || s.dump_length != 0 || s.profile_on != 0)
    return;
  Graph g{s, std::vector<uint64_t>(s.value_count, 0), std::vector<uint64_t>(s.value_count, s.node_count)};
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& n = s.nodes[i];
    for (uint64_t k = 0; k < n.input_count(); ++k)
      if (n.input(k) < s.value_count) g.last_use[n.input(k)] = i;
    for (uint64_t k = 0; k < n.output_count() && k < kNodeMaxOutputs; ++k)
      if (n.output(k) < s.value_count) g.producer[n.output(k)] = i;
  }
  for (uint64_t id = 0; id < s.value_count; ++id)
    if (s.values[id].kind() == kValueGraphOutput) g.last_use[id] = s.node_count;
  // The run of eligible nodes with the most work (none writes a graph output).
  uint64_t best_first = 0, best_end = 0, best_work = 0;
  for (uint64_t i = 0; i < s.node_count;) {
    uint64_t end = i, work = 0;
    while (end < s.node_count && row_eligible(s, s.nodes[end]) &&
           s.values[s.nodes[end].output(0)].kind() != kValueGraphOutput) {
      work += cpu_node_work(s, s.nodes[end]);
      ++end;
    }
    if (work > best_work) {
      best_first = i;
      best_end = end;
      best_work = work;
    }
    i = end == i ? i + 1 : end;
  }
  if (best_work < kPairMinWork) return;
  const Layout layout = plan_layout(g, best_first, best_end);
  uint64_t work = 0;
  for (uint64_t i = layout.first; i < layout.end; ++i) work += cpu_node_work(s, s.nodes[i]);
  if (work < kPairMinWork || parallel_thread_count() < 2) return;
  auto* run = new (std::nothrow) CpuPairRun;
  if (run == nullptr) return;
  const std::vector<void*> data(s.data, s.data + s.value_count);
  if (!plan_run(*run, s, g, layout)) {
    std::memcpy(static_cast<void*>(s.data), data.data(), sizeof(void*) * s.value_count);
    free_run(run);
    return;
  }
  s.pair = run;
}

uint64_t cpu_pair_first(const CpuState& s) { return s.pair != nullptr ? s.pair->first : s.node_count; }

uint64_t cpu_pair_execute(CpuState& s) {
  CpuPairRun& run = *s.pair;
  run.done0.store(0, std::memory_order_relaxed);
  run.done1.store(0, std::memory_order_relaxed);
  run.claimed1.store(0, std::memory_order_relaxed);
  run.failed.store(0, std::memory_order_relaxed);
  uint32_t ran = 0;
  parallel_for(2, [&](size_t b) {
    const CpuSerialNode gate(true);
    if (b == 0)
      ran = lead(run);
    else
      follow(run);
  });
  if (run.failed.load(std::memory_order_acquire) != 0) return 0;
  return ran + 1 < run.segment_start.size() ? run.steps[run.segment_start[ran]].node : run.last + 1;
}

void cpu_pair_free(CpuState& s) {
  free_run(s.pair);
  s.pair = nullptr;
}

}  // namespace vorn
