// Running the tensor-model GPU engine: the graph (or its executable, built
// on first use) once per compiled batch, the YoloNms tail on the host, the
// further outputs, and release.
#include <algorithm>
#include <cstring>

#include "kernels/ops/yolo_nms.h"
#include "gpu/mps_engine.h"
#include "gpu/mps_state.h"

namespace vorn {

namespace {

// Compiles the executable of the feeds and the bound results; a failure
// turns executable mode off for good.
void compile_executable(MpsState& st) {
  std::vector<mpsg::Tensor> feeds, targets;
  for (const auto& f : st.feeds) feeds.push_back(f.first);
  for (const auto& r : st.results) targets.push_back(r.first);
  try {
    st.executable = std::make_unique<mpsg::Executable>(st.graph->compile(feeds, targets));
  } catch (const std::exception&) {
    st.executable_mode = false;
    return;
  }
  // The arrays in the executable's feed and target order.
  st.exe_inputs.clear();
  st.exe_results.clear();
  for (mpsg::Tensor t : st.executable->feedTensors())
    for (const auto& f : st.feeds)
      if (f.first == t) st.exe_inputs.push_back(f.second);
  for (mpsg::Tensor t : st.executable->targetTensors())
    for (const auto& r : st.results)
      if (r.first == t) st.exe_results.push_back(r.second);
  if (st.exe_inputs.size() != feeds.size() || st.exe_results.size() != targets.size()) {
    st.executable.reset();
    st.executable_mode = false;
    return;
  }
  st.compiled = true;
}

// One compiled batch from the input buffers into the output buffers.
bool execute(MpsState& st) {
  std::string error;
  if (st.executable_mode && !st.compiled) compile_executable(st);
  bool ok;
  if (st.executable_mode && st.compiled) {
    ok = st.executable->run(st.queue, st.exe_inputs, st.exe_results, &error);
  } else {
    ok = st.graph->run(st.queue, st.feeds, st.results, &error);
  }
  if (!ok) return false;
  const uint64_t bound = st.all_outputs ? st.output_count : 1;
  for (uint64_t k = 1; k < bound; ++k) {
    MpsOutput& o = st.outputs[k];
    if (o.same_as >= 0 && o.host != nullptr && st.outputs[o.same_as].host != nullptr)
      std::memcpy(o.host, st.outputs[o.same_as].host, o.bytes);
  }
  return true;
}

bool run_one(MpsState& st, const float* input, float* output) {
  mps_engine_active_backend(&st);
  MpsInput& in = st.inputs[0];
  if (input != nullptr && input != in.host) std::memcpy(in.host, input, in.bytes);
  if (!execute(st)) return false;
  const MpsOutput& first = st.outputs[0];
  if (st.has_tail) {
    if (output == nullptr) return true;
    const YoloNmsParams params = yolo_nms_params_from_node(st.tail);
    const uint64_t rows = first.rank >= 3 ? uint64_t(first.dims[1]) : 0;
    const uint64_t count = first.rank >= 3 ? uint64_t(first.dims[2]) : 0;
    return yolo_nms(first.host, rows, count, &params, output) != 0;
  }
  if (output != nullptr && output != first.host) std::memcpy(output, first.host, first.bytes);
  return true;
}

}  // namespace

uint64_t mps_engine_compiled_batch(const MpsState* engine) { return engine == nullptr ? 0 : engine->compiled_batch; }

bool mps_engine_run(MpsState* engine, const float* input, float* output) {
  return engine != nullptr && run_one(*engine, input, output);
}

// Chunks of the compiled batch B; the last, partial chunk reads and writes
// only its valid samples (the rest of its input is zero).
bool mps_engine_run_batch(MpsState* engine, uint64_t n, const float* input, float* output) {
  if (engine == nullptr || n == 0) return false;
  MpsState& st = *engine;
  const uint64_t b = st.compiled_batch;
  if (n != 1 && st.has_tail) return false;
  if (n == b) return run_one(st, input, output);
  MpsInput& in = st.inputs[0];
  const MpsOutput& out = st.outputs[0];
  const uint64_t in_sample = in.bytes / 4 / b, out_sample = out.bytes / 4 / b;
  for (uint64_t first = 0; first < n; first += b) {
    const uint64_t count = std::min(b, n - first);
    if (input != nullptr) {
      std::memcpy(in.host, input + first * in_sample, count * in_sample * 4);
      if (count < b) std::memset(in.host + count * in_sample, 0, (b - count) * in_sample * 4);
    }
    if (!run_one(st, nullptr, nullptr)) return false;
    if (output != nullptr) std::memcpy(output + first * out_sample, out.host, count * out_sample * 4);
  }
  return true;
}

bool mps_engine_set_input(MpsState* engine, uint64_t value_id, const float* data, uint64_t length) {
  if (engine == nullptr || data == nullptr) return false;
  for (uint64_t k = 0; k < engine->input_count; ++k) {
    MpsInput& in = engine->inputs[k];
    if (in.value != value_id) continue;
    if (length > in.bytes) return false;
    std::memcpy(in.host, data, length);
    return true;
  }
  return false;
}

bool mps_engine_bind_extra_outputs(MpsState* engine) {
  if (engine == nullptr) return false;
  MpsState& st = *engine;
  for (uint64_t k = 1; k < st.output_count; ++k) {
    MpsOutput& o = st.outputs[k];
    if (o.buffer != nullptr || o.bytes == 0 || !o.tensor.valid()) continue;
    o.buffer = st.device->new_buffer(o.bytes, mtl::kResourceStorageModeShared);
    if (o.buffer == nullptr) return false;
    o.host = static_cast<float*>(o.buffer->contents());
    if (o.same_as < 0) st.results.push_back({o.tensor, {o.buffer, 0, o.dims, DataType::kFloat32}});
  }
  st.all_outputs = true;
  st.compiled = false;  // the targets changed
  st.executable.reset();
  if (st.use_npu) mps_engine_set_use_npu(engine, true);
  return true;
}

uint64_t mps_engine_output_count(const MpsState* engine) { return engine == nullptr ? 0 : engine->output_count; }

uint64_t mps_engine_input_count(const MpsState* engine, uint64_t value_id) {
  if (engine == nullptr) return 0;
  for (uint64_t k = 0; k < engine->input_count; ++k)
    if (engine->inputs[k].value == value_id) return engine->values[value_id].count();
  return 0;
}

bool mps_engine_output_shape(const MpsState* engine, uint64_t index, uint32_t* rank, uint64_t dims[6],
                             uint64_t* count) {
  if (engine == nullptr || index >= engine->output_count || engine->has_tail) return false;
  const ValueRecord& v = engine->values[engine->outputs[index].value];
  *rank = uint32_t(v.rank() > 6 ? 6 : v.rank());
  for (uint32_t i = 0; i < 6; ++i) dims[i] = i < *rank ? v.dim(i) : 0;
  *count = v.count();
  return true;
}

const float* mps_engine_output_data(MpsState* engine, uint64_t index) {
  if (engine == nullptr || index >= engine->output_count) return nullptr;
  return engine->outputs[index].host;
}

// The neural engine needs one input, no fed weights and a device that has
// one; this device has none, so the compilation never succeeds.
bool mps_engine_set_use_npu(MpsState* engine, bool npu) {
  if (engine == nullptr) return false;
  if (!npu) {
    engine->use_npu = false;
    return true;
  }
  engine->use_npu = false;
  const bool compiles = engine->input_count == 1 && !engine->fed_weights && engine->device != nullptr &&
                        engine->device->has_ane();
  engine->use_npu = compiles;
  return compiles;
}

uint32_t mps_engine_active_backend(MpsState* engine) {
  if (engine == nullptr) return 0;
  if (engine->use_npu && !mps_engine_set_use_npu(engine, true)) return 2;
  return engine->use_npu ? 3 : 2;
}

bool mps_engine_uses_shared_weights(const MpsState* engine) {
  return engine != nullptr && engine->fed_weights && !engine->private_weights;
}

bool mps_engine_has_private_weights(const MpsState* engine) { return engine != nullptr && engine->private_weights; }

void mps_engine_free(MpsState* engine) { delete engine; }

}  // namespace vorn
