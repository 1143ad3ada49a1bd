// Creation of the tensor-model GPU engine: precision, compiled batch, graph
// inputs and outputs, how each weight enters the graph, the lowering of
// every node, and the buffers a run reads and writes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "container/attr_words.h"
#include "container/op_arity.h"
#include "container/op_codes.h"
#include "container/precision.h"
#include "kernels/batch_plan.h"
#include "gpu/half_planar.h"
#include "gpu/mps_engine.h"
#include "gpu/mps_state.h"

namespace vorn {

namespace {

constexpr uint64_t kDefaultFeedMin = 4096;
constexpr uint64_t kDefaultPrivateMin = 1;
constexpr uint64_t kSmallWeight = 4096;  // elements: packed into the private pool
constexpr uint64_t kPrivateAlign = 256;

struct Failure {
  const char* text;
};

// Leading decimal digits of an environment value; a value without one is 0.
uint64_t env_count(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr) return fallback;
  uint64_t n = 0;
  for (; *v >= '0' && *v <= '9'; ++v) n = n * 10 + uint64_t(*v - '0');
  return n;
}

bool env_set(const char* name) { return std::getenv(name) != nullptr; }

uint64_t round_up(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

// The neural engine by VORN_USE_NE's first character, else VORN_BACKEND.
bool neural_engine_chosen() {
  if (const char* v = std::getenv("VORN_USE_NE"); v != nullptr) {
    if (v[0] == '1' || v[0] == 'Y' || v[0] == 'y' || v[0] == 'a') return true;
    if (v[0] == '0' || v[0] == 'N' || v[0] == 'n') return false;
  }
  const char* b = std::getenv("VORN_BACKEND");
  return b != nullptr && (std::strcmp(b, "ne") == 0 || std::strcmp(b, "ane") == 0);
}

bool settle_precision(const ContainerHandle* c, bool ignore, DataType* type, char* message) {
  *type = DataType::kFloat32;
  if (ignore) return true;
  const PrecisionResult p = precision_for_engine(c, "metal", 5);
  if (!p.valid) {
    std::snprintf(message, 256, "%s",
                  "precision.gpu: unrecognised value (expected f32, f16, f16:fast, int8, int8:static or int8:f16)");
    return false;
  }
  if (p.setting.weights == kPrecisionF16 && p.setting.mode == kPrecisionModeFastF16) {
    *type = DataType::kFloat16;
    return true;
  }
  if (p.setting.weights == kPrecisionF32 && p.setting.mode == kPrecisionModePlain) return true;
  const Slice name = precision_name(p.setting);
  std::snprintf(message, 256, "precision.gpu=%.*s is not available on the Apple GPU yet%s", int(name.len),
                reinterpret_cast<const char*>(name.ptr),
                p.setting.weights == kPrecisionF16 ? " (binary16 here is f16:fast)" : "");
  return false;
}

void scale_value(ValueRecord& v, uint64_t b) {
  v.set_dim(0, v.dim(0) * b);
  v.set_count(v.count() * b);
  v.set_bytes(v.bytes() * b);
}

// The compiled batch; batched values get their dim 0 (and sizes) scaled.
// A graph is batched only when every node computes each sample on its own
// (the CPU engine's rule: a Softmax, a reduction or an arg-max over axis 0
// mixes samples), so a batch never changes a sample's result.
void settle_batch(MpsState& st, const std::vector<NodeRecord>& nodes, uint64_t requested) {
  const ValueRecord& first = st.values[st.first_input];
  const uint64_t dim0 = first.rank() > 0 ? first.dim(0) : 1;
  if (requested < 2 || dim0 != 1) {
    st.compiled_batch = dim0 < 1 ? 1 : dim0;
    return;
  }
  st.compiled_batch = 1;
  if (!graph_batch_safe(st.values.data(), st.values.size(), nodes.data(), nodes.size(), st.batched.data())) {
    std::fill(st.batched.begin(), st.batched.end(), 0);
    return;
  }
  for (uint64_t id = 0; id < st.values.size(); ++id) {
    uint64_t count = 0;
    if (st.batched[id] && __builtin_mul_overflow(st.values[id].count() * 4, requested, &count)) {
      std::fill(st.batched.begin(), st.batched.end(), 0);
      return;
    }
  }
  st.compiled_batch = requested;
  for (uint64_t id = 0; id < st.values.size(); ++id)
    if (st.batched[id]) scale_value(st.values[id], requested);
}

mpsg::Shape dims_of(const ValueRecord& v) {
  mpsg::Shape s;
  for (uint64_t i = 0; i < v.rank() && i < 6; ++i) s.push_back(int64_t(v.dim(i)));
  return s;
}

// A weight's values as floats (I64 storage converted).
std::vector<float> weight_values(const ValueRecord& v, const uint8_t* weights) {
  std::vector<float> out(v.count());
  const uint8_t* p = weights + v.data_offset();
  if (v.elem_kind() == kElemI64) {
    for (uint64_t i = 0; i < v.count(); ++i) {
      int64_t x;
      std::memcpy(&x, p + 8 * i, 8);
      out[i] = float(x);
    }
  } else {
    std::memcpy(out.data(), p, v.count() * 4);
  }
  return out;
}

struct PrivatePlan {
  uint64_t elem = 4;
  uint64_t region_bytes = 0;  // packed small weights
  uint64_t total = 0;
  uint64_t largest = 0;       // elements
  std::vector<uint64_t> offset;  // per value id: byte offset in the buffer
};

bool private_candidate(const ValueRecord& v, uint64_t min, const std::vector<uint8_t>& index_use, uint64_t id) {
  return v.kind() == kValueWeight && v.elem_kind() == kElemF32 && v.count() > min && !index_use[id];
}

void build(MpsState& st, const ContainerHandle* c, uint8_t* weights, GpuContext* ctx, uint64_t batch) {
  const uint64_t value_count = container_value_count(c);
  const uint64_t node_count = container_node_count(c);
  if (value_count > kMpsMaxValues) throw Failure{"invalid graph value count"};
  st.values.resize(value_count);
  for (uint64_t i = 0; i < value_count; ++i) st.values[i] = container_value_record(c, i);
  std::vector<NodeRecord> nodes(node_count);
  for (uint64_t i = 0; i < node_count; ++i) nodes[i] = container_node_record(c, i);
  st.tensors.assign(value_count, mpsg::Tensor{});
  st.batched.assign(value_count, 0);
  st.feed_table.assign(value_count, mpsg::Tensor{});

  bool input_seen = false;
  for (uint64_t id = 0; id < value_count; ++id) {
    if (st.values[id].kind() != kValueGraphInput) continue;
    if (st.input_count == kMpsMaxInputs) throw Failure{"more than 8 graph inputs"};
    st.inputs[st.input_count++].value = id;
    if (!input_seen) st.first_input = id, input_seen = true;
  }
  if (!input_seen) throw Failure{"model has no graph input"};
  settle_batch(st, nodes, batch);

  // Values read as indices stay float32 whatever the engine's type.
  std::vector<uint8_t> index_use(value_count, 0);
  for (const NodeRecord& n : nodes)
    if ((n.op() == op::Gather || n.op() == op::ScatterND) && n.input_count() > 1 && n.input(1) < value_count)
      index_use[n.input(1)] = 1;

  const bool feed = env_set("VORN_MPS_FEED_WEIGHTS");
  const uint64_t feed_min = env_count("VORN_MPS_FEED_MIN", kDefaultFeedMin);
  const bool priv = env_set("VORN_MPS_PRIVATE_WEIGHTS");
  const uint64_t priv_min = env_count("VORN_MPS_PRIVATE_MIN", kDefaultPrivateMin);
  mpsg::Graph& g = *st.graph;
  const DataType type = st.type;

  // The private pool: small weights packed, large ones 256-byte aligned.
  PrivatePlan pp;
  mtl::BufferRef staging;
  mpsg::Tensor pool;
  if (priv) {
    pp.elem = type == DataType::kFloat16 ? 2 : 4;
    pp.offset.assign(value_count, 0);
    uint64_t small = 0;
    for (uint64_t id = 0; id < value_count; ++id) {
      const ValueRecord& v = st.values[id];
      if (!private_candidate(v, priv_min, index_use, id) || v.count() >= kSmallWeight) continue;
      pp.offset[id] = small;
      small += v.count() * pp.elem;
      pp.largest = std::max(pp.largest, v.count());
    }
    pp.region_bytes = round_up(small, kPrivateAlign);
    pp.total = pp.region_bytes;
    for (uint64_t id = 0; id < value_count; ++id) {
      const ValueRecord& v = st.values[id];
      if (!private_candidate(v, priv_min, index_use, id) || v.count() < kSmallWeight) continue;
      pp.total = round_up(pp.total, kPrivateAlign);
      pp.offset[id] = pp.total;
      pp.total += v.count() * pp.elem;
      pp.largest = std::max(pp.largest, v.count());
    }
    const uint64_t stage = pp.largest * 4 + (type == DataType::kFloat16 ? pp.largest * 2 : 0);
    st.private_buffer = st.device->new_buffer(pp.total == 0 ? kPrivateAlign : pp.total, mtl::kResourceStorageModePrivate);
    staging = st.device->new_buffer(stage == 0 ? kPrivateAlign : stage, mtl::kResourceStorageModeShared);
    if (st.private_buffer == nullptr || staging == nullptr) throw Failure{"private weight buffer allocation failed"};
    st.private_weights = true;
  }
  // Copies one weight into its place in the private buffer.
  auto copy_private = [&](const ValueRecord& v, uint64_t id) {
    auto* stage = static_cast<uint8_t*>(staging->contents());
    const uint8_t* src = weights + v.data_offset();
    uint64_t bytes = v.count() * 4;
    const uint8_t* from = stage;
    std::memcpy(stage, src, bytes);
    if (type == DataType::kFloat16) {
      f32_to_f16_planar(reinterpret_cast<const float*>(stage), reinterpret_cast<uint16_t*>(stage + pp.largest * 4), v.count());
      from = stage + pp.largest * 4;
      bytes = v.count() * 2;
    }
    mtl::CommandBufferRef cb = st.queue->command_buffer();
    mtl::BlitEncoderRef blit = cb->blit_command_encoder();
    blit->copy_from_buffer(staging, uint64_t(from - stage), st.private_buffer, pp.offset[id], bytes);
    blit->end_encoding();
    cb->commit();
    cb->wait_until_completed();
    std::memset(stage, 0, staging->length());
    return cb->status() == mtl::CommandBufferStatus::kCompleted;
  };

  for (uint64_t id = 0; id < value_count; ++id) {
    const ValueRecord& v = st.values[id];
    const mpsg::Shape dims = dims_of(v);
    if (v.kind() == kValueGraphInput) {
      const mpsg::Tensor p = g.placeholder(dims, DataType::kFloat32, "input");
      st.feed_table[id] = p;
      st.tensors[id] = type == DataType::kFloat32 ? p : g.cast(p, type);
      continue;
    }
    if (v.kind() == kValueGraphOutput && st.output_count < kMpsMaxOutputs) {
      MpsOutput& o = st.outputs[st.output_count++];
      o.value = id;
      if (st.output_count == 1) st.first_output = id;
      continue;
    }
    if (v.kind() != kValueWeight) continue;
    if (priv && private_candidate(v, priv_min, index_use, id)) {
      if (!copy_private(v, id)) throw Failure{"private weight buffer allocation failed"};
      mpsg::Tensor t;
      const DataType stored = type;
      if (v.count() < kSmallWeight) {
        const int64_t region = int64_t(pp.region_bytes / pp.elem);
        if (!pool.valid()) {
          pool = g.placeholder({region}, stored, "private weights");
          st.feeds.push_back({pool, {st.private_buffer, 0, {region}, stored}});
        }
        t = g.slice(pool, 0, int64_t(pp.offset[id] / pp.elem), int64_t(v.count()));
      } else {
        t = g.placeholder({int64_t(v.count())}, stored, "private weight");
        st.feeds.push_back({t, {st.private_buffer, pp.offset[id], {int64_t(v.count())}, stored}});
        st.feed_table[id] = t;
        st.fed_list.push_back(uint32_t(id));
      }
      st.tensors[id] = g.reshape(t, dims);
      st.fed_weights = true;
      continue;
    }
    if (feed && v.elem_kind() == kElemF32 && v.count() >= feed_min && !index_use[id]) {
      const mtl::BufferRef& wb = gpu_context_weights_buffer(ctx);
      if (wb == nullptr) throw Failure{"weight view construction failed"};
      const mpsg::Tensor p = g.placeholder({int64_t(v.count())}, DataType::kFloat32, "weight");
      st.feeds.push_back({p, {wb, v.data_offset(), {int64_t(v.count())}, DataType::kFloat32}});
      st.feed_table[id] = p;
      st.fed_list.push_back(uint32_t(id));
      st.shared_weights = wb;
      const mpsg::Tensor r = g.reshape(p, dims);
      st.tensors[id] = type == DataType::kFloat32 ? r : g.cast(r, type);
      st.fed_weights = true;
      continue;
    }
    const DataType ct = index_use[id] ? DataType::kFloat32 : type;
    if (v.count() == 0) {
      st.tensors[id] = g.constantWithData({}, dims, ct);
    } else if (v.count() == 1) {
      st.tensors[id] = g.reshape(g.constantWithScalar(weight_values(v, weights)[0], ct), dims);
    } else {
      st.tensors[id] = g.constantWithData(weight_values(v, weights), dims, ct);
    }
  }

  // Lowering, node by node.
  Lowering l(st, g, nodes);
  l.readers.assign(value_count, 0);
  l.graph_output.assign(value_count, 0);
  for (uint64_t id = 0; id < value_count; ++id) l.graph_output[id] = st.values[id].kind() == kValueGraphOutput;
  for (const NodeRecord& n : nodes)
    for (uint64_t k = 0; k < n.input_count() && k < kNodeMaxInputs; ++k)
      if (n.input(k) < value_count) ++l.readers[n.input(k)];
  for (size_t i = 0; i < nodes.size(); ++i) {
    const NodeRecord& n = nodes[i];
    for (uint64_t k = 0; k < n.input_count() && k < kNodeMaxInputs; ++k)
      if (n.input(k) != ~uint64_t{0} && n.input(k) >= kMpsMaxValues) throw Failure{"invalid graph value id"};
    // A rule reads the inputs it knows; one named beyond them would be left
    // out of the result without a word, so such a node is refused as the
    // CPU engine refuses it.
    const OpArity arity = op_arity(n.op());
    if (arity.engine_runs() && !arity.accepts(n.input_count(), n.output_count())) {
      const bool inputs = n.input_count() < arity.min_inputs || n.input_count() > arity.max_inputs;
      char text[256];
      std::snprintf(text, sizeof text, "node %zu (%.*s): expects %u to %u %s, has %llu", i, int(op_name(n.op()).len),
                    reinterpret_cast<const char*>(op_name(n.op()).ptr),
                    unsigned(inputs ? arity.min_inputs : arity.min_outputs),
                    unsigned(inputs ? arity.max_inputs : arity.max_outputs), inputs ? "inputs" : "outputs",
                    static_cast<unsigned long long>(inputs ? n.input_count() : n.output_count()));
      st.lowering_error = text;
      throw Failure{st.lowering_error.c_str()};
    }
    if (l.skip[i]) continue;
    if (n.op() == op::YoloNms) {
      if (i + 1 != nodes.size()) throw Failure{"YoloNms must be the last node"};
      st.has_tail = true;
      st.tail = n;
      continue;
    }
    const LowerRule rule = mps_lower_rule(n.op());
    if (rule == nullptr) throw Failure{"unsupported op in MPS backend"};
    l.index = i;
    bool ok;
    try {
      ok = rule(l, n);
    } catch (const std::invalid_argument& e) {
      char text[256];
      std::snprintf(text, sizeof text, "node %zu (%.*s): %s", i, int(op_name(n.op()).len),
                    reinterpret_cast<const char*>(op_name(n.op()).ptr), e.what());
      st.lowering_error = text;
      throw Failure{st.lowering_error.c_str()};
    }
    if (!ok) {
      st.lowering_error = l.error;
      throw Failure{st.lowering_error.c_str()};
    }
  }
  std::string why;
  if (!mps_kernels_ready(st.kernels, &why)) {
    st.lowering_error = why;
    throw Failure{st.lowering_error.c_str()};
  }

  // With a YoloNms tail the graph ends at the tail's input.
  if (st.has_tail) {
    const uint64_t head = st.tail.input(0);
    if (head >= value_count || !st.tensors[head].valid()) throw Failure{"YoloNms must be the last node"};
    st.output_count = 1;
    st.outputs[0] = MpsOutput{};
    st.outputs[0].value = head;
    st.first_output = head;
  }
  for (uint64_t k = 0; k < st.output_count; ++k) {
    MpsOutput& o = st.outputs[k];
    const ValueRecord& v = st.values[o.value];
    o.dims = dims_of(v);
    o.rank = uint32_t(o.dims.size());
    o.bytes = v.count() * 4;
    mpsg::Tensor t = st.tensors[o.value];
    if (!t.valid()) {
      // An output no node produced (a weight or an input is handled above).
      throw Failure{"unsupported op in MPS backend"};
    }
    if (g.dataType(t) != DataType::kFloat32) t = g.cast(t, DataType::kFloat32);
    o.tensor = t;
    for (uint64_t j = 0; j < k; ++j)
      if (st.outputs[j].tensor == t) {
        o.same_as = int64_t(j);
        break;
      }
  }

  // Buffers of the inputs and of the first output, with their data.
  for (uint64_t k = 0; k < st.input_count; ++k) {
    MpsInput& in = st.inputs[k];
    const ValueRecord& v = st.values[in.value];
    in.bytes = v.count() * 4;
    in.buffer = st.device->new_buffer(in.bytes == 0 ? 4 : in.bytes, mtl::kResourceStorageModeShared);
    if (in.buffer == nullptr) throw Failure{"input buffer allocation failed"};
    in.host = static_cast<float*>(in.buffer->contents());
    in.placeholder = st.feed_table[in.value];
  }
  MpsOutput& first = st.outputs[0];
  if (st.output_count == 0) throw Failure{"model has no graph output"};
  first.buffer = st.device->new_buffer(first.bytes == 0 ? 4 : first.bytes, mtl::kResourceStorageModeShared);
  if (first.buffer == nullptr) throw Failure{"out of memory for detection head buffer"};
  first.host = static_cast<float*>(first.buffer->contents());
  st.results.push_back({first.tensor, {first.buffer, 0, first.dims, DataType::kFloat32}});
  for (uint64_t k = 0; k < st.input_count; ++k) {
    MpsInput& in = st.inputs[k];
    st.feeds.push_back({in.placeholder, {in.buffer, 0, dims_of(st.values[in.value]), DataType::kFloat32}});
    st.fed_list.push_back(uint32_t(in.value));
  }
  if (st.fed_list.size() > kMpsMaxFeeds) throw Failure{"too many fed weights"};
}

}  // namespace

MpsState* mps_engine_create(const ContainerHandle* container, void* weights, GpuContext* context, uint64_t batch,
                            bool ignore_precision, char* message) {
  char scratch[256];
  if (message == nullptr) message = scratch;
  message[0] = '\0';
  auto fail = [&](const char* text) -> MpsState* {
    std::snprintf(message, 256, "%s", text);
    return nullptr;
  };
  if (weights == nullptr || context == nullptr || container == nullptr) return fail("MPS backend requires GPU slot");
  DataType type;
  if (!settle_precision(container, ignore_precision, &type, message)) return nullptr;
  auto* st = new (std::nothrow) MpsState;
  if (st == nullptr) return fail("out of memory allocating MpsState");
  st->type = type;
  st->compiled_batch = batch < 1 ? 1 : batch;
  const mtl::BufferRef& wb = gpu_context_weights_buffer(context);
  st->device = wb != nullptr ? wb->device() : mtl::create_system_default_device();
  st->queue = gpu_context_queue(context);
  if (st->device == nullptr || st->queue == nullptr) {
    delete st;
    return fail("MPS backend requires GPU slot");
  }
  try {
    st->graph = std::make_unique<mpsg::Graph>();
    st->kernels = mps_kernels_new();
    if (st->kernels == nullptr) throw Failure{"out of memory allocating MpsState"};
    st->graph->setKernelProvider(mps_kernel_provider(st->kernels));
    build(*st, container, static_cast<uint8_t*>(weights), context, batch);
  } catch (const Failure& f) {
    fail(f.text);
    mps_engine_free(st);
    return nullptr;
  } catch (const std::bad_alloc&) {
    mps_engine_free(st);
    return fail("out of memory allocating MpsState");
  } catch (const std::exception& e) {
    fail(e.what());
    mps_engine_free(st);
    return nullptr;
  }
  st->use_npu = neural_engine_chosen();
  st->executable_mode = env_set("VORN_MPS_EXE");
  // This device has no neural engine: a chosen one cannot compile, and the
  // engine runs on the GPU.
  if (st->use_npu && st->output_count < 2) mps_engine_set_use_npu(st, true);
  return st;
}

MpsState* mps_engine_create_entry(const ContainerHandle* container, void* weights, GpuContext* context,
                                  char* message) {
  return mps_engine_create(container, weights, context, 1, true, message);
}

}  // namespace vorn
