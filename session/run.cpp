// One inference of an open tensor model: the busy and cancel flags, frames
// through frame-to-tensor or raw tensors through element conversion into the
// engine, the engine run (batches in chunks of the compiled batch), and the
// output tensors with their typed copies.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/atomics.h"
#include "base/files.h"
#include "cpu/engine.h"
#include "gpu/gpu_capabilities.h"
#include "gpu/mps_engine.h"
#include "session/frame_to_tensor.h"
#include "session/input_convert.h"
#include "session/session.h"

namespace vorn {

namespace {

// What one run owns until it returns: the busy flag and the converted input.
struct RunScope {
  Session* s;
  float* owned_input = nullptr;
  ~RunScope() {
    std::free(owned_input);
    session_release_busy(s);
  }
  bool fail(uint32_t code, std::string_view text) {
    error_set(&s->error, code, text);
    return false;
  }
};

float* alloc_floats(uint64_t count) {
  if (count == 0) count = 1;
  if (count > UINT64_MAX / 4) return nullptr;
  return static_cast<float*>(std::malloc(count * 4));
}

bool frame_has_pixels(const Frame* f) {
  return f != nullptr && f->data != nullptr && f->width != 0 && f->height != 0;
}

bool same_name(const char* a, uint64_t a_len, const char* b, uint64_t b_len) {
  return a_len == b_len && std::memcmp(a, b, a_len) == 0;
}

// f32 copy of a slot for a CPU engine input: U8 and F16 widened, F32 as is.
const float* widen_for_cpu(const InputTensor& t, float** owned) {
  *owned = nullptr;
  if (t.dtype == VORN_DTYPE_F32) return static_cast<const float*>(t.data);
  float* out = alloc_floats(t.count);
  if (out == nullptr) return nullptr;
  if (t.dtype == VORN_DTYPE_U8) {
    const auto* src = static_cast<const uint8_t*>(t.data);
    for (uint64_t i = 0; i < t.count; ++i) out[i] = float(src[i]);
  } else {
    const auto* src = static_cast<const uint16_t*>(t.data);
    for (uint64_t i = 0; i < t.count; ++i) out[i] = f16_to_f32(src[i]);
  }
  *owned = out;
  return out;
}

// Whether a batch runs one sample a pass (open allows that only for one
// input and one output).
bool split_passes(const Session* s) {
  return s->batch_size >= 2 && s->compiled_batch != s->batch_size;
}

bool fail_bind(RunScope& run, const char* backend, const TensorDesc& d) {
  char text[256];
  const int name_len = int(d.name_len > 214 ? 214 : d.name_len);
  if (backend[0] == 'G') {
    std::snprintf(text, sizeof text, "GPU backend could not bind input tensor '%.*s'; use CPU or AUTO",
                  name_len, d.name);
    return run.fail(VORN_STATUS_UNSUPPORTED, text);
  }
  std::snprintf(text, sizeof text, "CPU backend could not bind input tensor '%.*s'", name_len, d.name);
  return run.fail(VORN_STATUS_BACKEND_FAILURE, text);
}

bool bind_frames(RunScope& run, Input* in, Output* out, uint64_t n, const float** data) {
  Session* s = run.s;
  const TensorDesc& d0 = s->info.inputs[0];
  if (in->frame_by_name && !same_name(in->frame_name, in->frame_name_len, d0.name, d0.name_len))
    return run.fail(VORN_STATUS_INVALID_ARGUMENT, "Input frame name does not match model primary input tensor");
  if (s->batch_size > 1 && in->batch_count != s->batch_size)
    return run.fail(VORN_STATUS_INVALID_ARGUMENT,
                    "Batch size requires matching number of frames bound via add_batch_frame");
  if (!frame_has_pixels(in->frame))
    return run.fail(VORN_STATUS_IMAGE_DECODE, "Input Frame contains no valid pixel data");
  uint32_t w = 224, h = 224;
  if (d0.rank >= 4) {
    h = uint32_t(d0.dims[2]);
    w = uint32_t(d0.dims[3]);
  }
  const uint64_t sample = uint64_t(w) * h * 3;
  uint64_t need = 0;
  if (__builtin_mul_overflow(sample, n, &need)) need = UINT64_MAX;
  if (need < d0.count) need = d0.count;
  float* buffer = need == UINT64_MAX ? nullptr : alloc_floats(need);
  if (buffer == nullptr)
    return run.fail(VORN_STATUS_OUT_OF_MEMORY, "Out of memory allocating preprocessed image tensor");
  // Whatever the image does not cover (an input larger than 3 planes) is 0.
  if (need > sample * n) std::memset(buffer + sample * n, 0, (need - sample * n) * 4);
  run.owned_input = buffer;
  const FrameTensorSettings settings{s->resize_mode, s->letterbox_pad, s->bgr, s->norm};
  FrameMapping first{};
  for (uint64_t b = 0; b < n; ++b) {
    const Frame* f = (b < in->batch_count && in->batch[b] != nullptr) ? in->batch[b] : in->frame;
    if (!frame_has_pixels(f))
      return run.fail(VORN_STATUS_IMAGE_DECODE, "Batch Input Frame contains no valid pixel data");
    FrameMapping m = frame_to_tensor(settings, *f, w, h, buffer + b * sample);
    if (!m.ok) return run.fail(VORN_STATUS_OUT_OF_MEMORY, "Out of memory allocating preprocessed image tensor");
    if (b == 0) first = m;
  }
  out->scale_x = first.scale_x;
  out->scale_y = first.scale_y;
  out->pad_x = first.pad_x;
  out->pad_y = first.pad_y;
  out->source_width = in->frame->width;
  out->source_height = in->frame->height;
  out->input_width = w;
  out->input_height = h;
  *data = buffer;
  return true;
}

// *primary tells whether model input 0 was among the bound tensors (its
// values then sit in *data, or were written into the CPU engine directly).
bool bind_tensors(RunScope& run, Input* in, const float** data, bool* primary) {
  Session* s = run.s;
  if (in->tensor_count == 0)
    return run.fail(VORN_STATUS_INVALID_ARGUMENT, "Input has neither a Frame nor raw tensors bound");
  for (uint32_t k = 0; k < VORN_MAX_INPUT_TENSORS; ++k) {
    const InputTensor& t = in->tensors[k];
    if (t.used != 1 || t.data == nullptr) continue;
    int64_t model = -1;
    if (t.by_name) {
      for (uint32_t i = 0; i < s->info.input_count; ++i)
        if (same_name(t.name, t.name_len, s->info.inputs[i].name, s->info.inputs[i].name_len)) model = i;
    } else if (t.index < s->info.input_count) {
      model = t.index;
    }
    if (model < 0)
      return run.fail(VORN_STATUS_INVALID_ARGUMENT, "Input tensor index or name does not match model inputs");
    const TensorDesc& d = s->info.inputs[model];
    if (t.count != d.count)
      return run.fail(VORN_STATUS_INVALID_ARGUMENT, "Input tensor element count does not match model input shape");

    if (model == 0) {
      *primary = true;
      std::free(run.owned_input);
      run.owned_input = nullptr;
      *data = nullptr;
      if (t.dtype == VORN_DTYPE_F32) {
        *data = static_cast<const float*>(t.data);
      } else if (t.dtype == VORN_DTYPE_U8 || t.dtype == VORN_DTYPE_F16) {
        if (widen_for_cpu(t, &run.owned_input) == nullptr)
          return run.fail(VORN_STATUS_OUT_OF_MEMORY,
                          t.dtype == VORN_DTYPE_U8 ? "OOM converting U8 input" : "OOM converting F16 input");
        *data = run.owned_input;
      } else if (s->gpu_present || split_passes(s)) {
        // A run of one sample a pass reads its samples from the caller's
        // side; the engine's input holds one sample only.
        run.owned_input = input_i64_as_f32(t);
        if (run.owned_input == nullptr) return run.fail(VORN_STATUS_OUT_OF_MEMORY, "OOM converting I64 input");
        *data = run.owned_input;
      } else if (s->cpu_present) {
        if (!input_copy_as_f32(&s->cpu, d.value_index, t))
          return run.fail(VORN_STATUS_OUT_OF_MEMORY, "OOM converting I64 input");
      }
      continue;
    }
    if (s->gpu_present) {
      float* f = input_as_f32(t);
      if (f == nullptr) return run.fail(VORN_STATUS_OUT_OF_MEMORY, "OOM converting secondary input");
      const bool ok = mps_engine_set_input(s->gpu, d.value_index, f, t.count * 4);
      std::free(f);
      if (!ok) return fail_bind(run, "GPU", d);
    } else if (s->cpu_present) {
      if (t.dtype == VORN_DTYPE_I64) {
        if (!input_copy_as_f32(&s->cpu, d.value_index, t))
          return run.fail(VORN_STATUS_OUT_OF_MEMORY, "OOM converting secondary I64 input");
        continue;
      }
      float* owned = nullptr;
      const float* f = widen_for_cpu(t, &owned);
      if (f == nullptr)
        return run.fail(VORN_STATUS_OUT_OF_MEMORY, t.dtype == VORN_DTYPE_U8 ? "OOM converting secondary U8 input"
                                                                            : "OOM converting secondary F16 input");
      const bool bound = cpu_engine_set_input(&s->cpu, d.value_index, f, t.count * 4) != 0;
      std::free(owned);
      // Open matched every input's size to the engine, so a refusal means
      // the engine changed under us: never run on a stale input.
      if (!bound) return fail_bind(run, "CPU", d);
    }
  }
  return true;
}

// The shape a CPU run really produces for output j: the engine's value, and
// for a batch run one sample a pass, n of them.
void cpu_output_shape(const Session* s, uint32_t j, uint64_t n, uint32_t* rank, uint64_t dims[6],
                      uint64_t* count) {
  const CpuState& st = *s->cpu;
  const ValueRecord& v = st.values[st.outputs[j]];
  const uint64_t passes = split_passes(s) ? n : 1;
  *rank = uint32_t(v.rank() > kMaxTensorRank ? kMaxTensorRank : v.rank());
  for (uint32_t i = 0; i < 6; ++i) dims[i] = i < *rank ? v.dim(i) : 0;
  if (*rank > 0) dims[0] *= passes;
  *count = v.count() * passes;
}

// The checks run and start share before they take the busy flag: handles
// given, a model open and (for start) generative. True when the flag was
// taken; the caller's RunScope releases it.
bool begin_operation(Session* s, Input* in, Output* out, bool streaming) {
  if (s == nullptr) return false;
  uint32_t code = VORN_STATUS_OK;
  const char* text = nullptr;
  if (in == nullptr || out == nullptr) {
    code = VORN_STATUS_INVALID_ARGUMENT, text = "Input and Output handles are required";
  } else if (!s->engine_open) {
    code = VORN_STATUS_INVALID_ARGUMENT, text = "Session is not opened (or was unloaded)";
  } else if (streaming && !s->generative) {
    code = VORN_STATUS_UNSUPPORTED, text = "Streaming start/next requires a generative LLM/VLM model";
  } else if (atomic_cas_u32(&s->busy, 0, 1, 3) != 0) {
    return session_refuse_busy(s, "Session is already executing an operation");
  }
  if (text == nullptr) return true;
  error_set(&s->error, code, text);
  return false;
}

}  // namespace

bool session_run(Session* s, Input* in, Output* out) {
  if (!begin_operation(s, in, out, false)) return false;
  RunScope run{s};
  atomic_store_u32(&s->cancel, 0, 3);
  const double t0 = monotonic_seconds();
  output_clear(out);
  output_set_origin(out, s->origin);
  if (s->generative) return session_generate(s, in, out, false);
  output_set_labels(out, s->labels);
  out->scale_x = out->scale_y = 1.0f;
  out->pad_x = out->pad_y = 0.0f;
  out->source_width = out->source_height = out->input_width = out->input_height = 0;
  output_set_model_texts(out, s->corner_boxes != 0, s->decode, s->decode_len, s->task, s->task_len);
  if (s->info.input_count == 0 || s->info.output_count == 0)
    return run.fail(VORN_STATUS_INVALID_MODEL, "Model has no input or output tensors");
  const uint64_t n = s->batch_size < 1 ? 1 : s->batch_size;

  const float* input = nullptr;
  bool primary = true;
  if (in->frame_bound && in->frame != nullptr) {
    if (!bind_frames(run, in, out, n, &input)) return false;
  } else {
    primary = false;
    if (!bind_tensors(run, in, &input, &primary)) return false;
  }

  const uint32_t m = s->info.output_count;
  for (uint32_t j = 0; j < m; ++j) {
    const TensorDesc& d = s->info.outputs[j];
    uint32_t rank = d.rank;
    uint64_t dims[6] = {};
    uint64_t count = d.count;
    for (uint32_t i = 0; i < rank; ++i) dims[i] = uint64_t(d.dims[i]);
    if (s->cpu_present && !s->gpu_present) cpu_output_shape(s, j, n, &rank, dims, &count);
    if (s->gpu_present && mps_engine_output_shape(s->gpu, j, &rank, dims, &count) && split_passes(s)) {
      // One compiled batch a pass, n passes.
      const uint64_t passes = n / (s->compiled_batch == 0 ? 1 : s->compiled_batch);
      if (rank > 0) dims[0] *= passes;
      count *= passes;
    }
    if (output_prepare_tensor(out, j, d.name, d.name_len, d.dtype, rank, dims, count) == nullptr) {
      output_reset(out);
      return run.fail(VORN_STATUS_OUT_OF_MEMORY, "Out of memory allocating Output tensor");
    }
  }
  out->tensor_count = m;

  // An engine keeps its primary input between runs: a run that binds only
  // the other inputs would answer from the previous run's input 0.
  if (s->gpu_present && input != nullptr) {
    const bool ok = n < 2 ? mps_engine_run(s->gpu, input, out->tensors[0].f32)
                          : mps_engine_run_batch(s->gpu, n, input, out->tensors[0].f32);
    if (!ok) {
      output_reset(out);
      if (atomic_load_u32(&s->cancel, 1) != 0) return run.fail(VORN_STATUS_CANCELLED, "Inference was cancelled");
      return run.fail(VORN_STATUS_BACKEND_FAILURE, "GPU/NPU graph execution failed");
    }
    for (uint32_t j = 1; j < m; ++j) {
      const float* src = mps_engine_output_data(s->gpu, j);
      if (src != nullptr) std::memcpy(out->tensors[j].f32, src, out->tensors[j].count * 4);
    }
    out->backend_used = mps_engine_active_backend(s->gpu);
  } else if (s->cpu_present && !primary) {
    output_reset(out);
    return run.fail(VORN_STATUS_BACKEND_FAILURE, "Model primary input tensor is not bound");
  } else if (s->cpu_present) {
    float* y0 = out->tensors[0].f32;
    const bool ok = !split_passes(s) ? cpu_engine_execute(&s->cpu, input, y0)
                                     : cpu_engine_run_batch(&s->cpu, n, input, y0) != 0;
    if (!ok) {
      output_reset(out);
      if (atomic_load_u32(&s->cancel, 1) != 0) return run.fail(VORN_STATUS_CANCELLED, "Inference was cancelled");
      return run.fail(VORN_STATUS_BACKEND_FAILURE, "CPU graph execution failed");
    }
    // Open admits a run of several passes only for a single output, which
    // the batch run wrote; otherwise one pass produced every output whole.
    for (uint32_t j = 1; j < m; ++j) {
      const float* src = cpu_engine_output_data(&s->cpu, j);
      if (src != nullptr) std::memcpy(out->tensors[j].f32, src, out->tensors[j].count * 4);
    }
    out->backend_used = VORN_BACKEND_CPU;
  } else {
    output_reset(out);
    return run.fail(VORN_STATUS_BACKEND_FAILURE, "No backend engine initialized");
  }
  if (atomic_load_u32(&s->cancel, 1) != 0) {
    output_reset(out);
    return run.fail(VORN_STATUS_CANCELLED, "Inference was cancelled");
  }
  output_make_typed_copies(out);
  out->latency_ms = (monotonic_seconds() - t0) * 1000.0;
  error_clear(&s->error);
  return true;
}

bool session_start(Session* s, Input* in, Output* out) {
  if (!begin_operation(s, in, out, true)) return false;
  RunScope run{s};
  atomic_store_u32(&s->cancel, 0, 3);
  output_clear(out);
  output_set_origin(out, s->origin);
  return session_generate(s, in, out, true);
}

}  // namespace vorn
