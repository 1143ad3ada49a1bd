// Describing a model just loaded into a session: batch safety, the input and
// output descriptors, the memory estimate, and the pre-processing settings,
// backend recommendation and labels from the model's metadata.
#include <cstring>
#include <string_view>

#include "container/attr_words.h"
#include "container/meta.h"
#include "container/op_codes.h"
#include "container/sections.h"
#include "session/session.h"
#include "session/text.h"

namespace vorn {

namespace {


bool fail(Session* s, uint32_t code, std::string_view message) {
  error_set(&s->error, code, message);
  return false;
}

uint64_t dtype_size(uint32_t dtype) {
  switch (dtype) {
    case VORN_DTYPE_F16: return 2;
    case VORN_DTYPE_F32: return 4;
    case VORN_DTYPE_I64: return 8;
    default: return 1;  // Q8 and U8
  }
}

// Whether a node keeps the samples of a batch apart (the engine refuses the
// rest at creation; refusing them here tells the caller at inspect).
bool node_batch_safe(const ContainerHandle* c, const NodeRecord& n) {
  switch (n.op()) {
    case op::Transpose:
      return n.attr(attr::Transpose::kPerm) == 0;
    case op::Concat:
    case op::Split:
    case op::Gather:
    case op::Slice: {
      int64_t axis = n.attr_i64(attr::kAxis);
      if (axis < 0 && n.input_count() > 0)
        axis += int64_t(container_value_record(c, n.input(0)).rank());
      return axis != 0;
    }
    case op::Flatten: {
      if (n.input_count() == 0 || n.output_count() == 0) return true;
      return container_value_record(c, n.input(0)).dim(0) ==
             container_value_record(c, n.output(0)).dim(0);
    }
    case op::DeformUnfold:
    case op::DetrTopK:
    case op::MaskToBoxLogit:
      return false;
    default:
      return true;
  }
}

void copy_meta_text(const ContainerHandle* c, std::string_view key, char (&out)[32], uint64_t* len) {
  std::string_view v = container_meta_text(c, key);
  *len = copy_to_fixed(v.data(), v.size(), out, sizeof out);
}

uint32_t backend_from_word(std::string_view w) {
  if (w == "cpu") return VORN_BACKEND_CPU;
  if (w == "gpu" || w == "mps" || w == "vulkan") return VORN_BACKEND_GPU;
  if (w == "npu" || w == "ane" || w == "htp" || w == "ne") return VORN_BACKEND_NPU;
  return VORN_BACKEND_AUTO;
}

bool meta_says_false(const ContainerHandle* c, std::string_view key) {
  MetaRecord r{};
  if (!container_find_meta(c, key, &r)) return false;
  if (r.type == kMetaI64 || r.type == kMetaBool) return r.value == 0;
  if (r.type == kMetaString) {
    std::string_view t = container_meta_text(c, key);
    return t == "0" || t == "no" || t == "false";
  }
  return false;
}

void read_recommended_backend(Session* s, const ContainerHandle* c) {
  s->recommended_backend = VORN_BACKEND_AUTO;
  static constexpr std::string_view kKeys[] = {"default_backend.macos", "default_backend",
                                               "recommended_backend", "backend"};
  for (std::string_view key : kKeys) {
    std::string_view v = container_meta_text(c, key);
    if (v.empty()) continue;
    s->recommended_backend = backend_from_word(v);
    break;
  }
  if (s->recommended_backend == VORN_BACKEND_AUTO && meta_says_false(c, "fp16_safe"))
    s->recommended_backend = VORN_BACKEND_GPU;
}

void read_image_settings(Session* s, const ContainerHandle* c) {
  if (!s->resize_mode_set) {
    std::string_view mode = container_meta_text(c, "resize");
    if (mode.empty()) mode = container_meta_text(c, "resize_mode");
    if (mode == "stretch") {
      s->resize_mode = VORN_RESIZE_STRETCH;
    } else if (mode == "letterbox") {
      s->resize_mode = VORN_RESIZE_LETTERBOX;
    } else if (mode == "center_crop") {
      s->resize_mode = VORN_RESIZE_CENTER_CROP;
    } else if (std::string_view(s->task, s->task_len) == "detect") {
      s->resize_mode = VORN_RESIZE_LETTERBOX;
    }
  }
  if (!s->letterbox_pad_set) {
    MetaRecord r{};
    if (container_find_meta(c, "letterbox_pad", &r) && r.type == kMetaI64) {
      int64_t pad = int64_t(r.value);
      if (pad >= 0 && pad <= 255) s->letterbox_pad = uint8_t(pad);
    }
  }
  if (!s->bgr_set) {
    std::string_view color = container_meta_text(c, "color");
    if (color == "bgr") s->bgr = 1;
    if (color == "rgb") s->bgr = 0;
  }
  if (!s->norm_set) {
    Normalization preset{};
    if (normalization_preset(container_meta_text(c, "normalize"), &preset)) s->norm = preset;
    MetaRecord r{};
    if (container_find_meta(c, "scale", &r) && r.type == kMetaF64)
      s->norm.scale = float(container_meta_f64(c, "scale", 0.0));
    uint64_t count = 0;
    const uint8_t* mean = container_meta_f32_array(c, "mean", &count);
    if (mean != nullptr && count >= 3) std::memcpy(s->norm.mean, mean, 12);
    const uint8_t* stdev = container_meta_f32_array(c, "std", &count);
    if (stdev != nullptr && count >= 3) std::memcpy(s->norm.std, stdev, 12);
  }
}

void read_labels(Session* s, const ContainerHandle* c) {
  label_blob_release(s->labels);
  s->labels = nullptr;
  s->label_bytes = nullptr;
  s->label_length = 0;
  s->label_count = 0;
  MetaRecord r{};
  if (!container_find_meta(c, "labels", &r) || r.type != kMetaStringList || r.length == 0) return;
  const uint8_t* bytes = container_meta_value_ptr(c, r);
  if (bytes == nullptr) return;
  LabelBlob* blob = label_blob_new(bytes, r.length, uint32_t(r.items > UINT32_MAX ? UINT32_MAX : r.items));
  if (blob == nullptr) return;
  s->labels = blob;
  s->label_bytes = blob->bytes;
  s->label_length = blob->length;
  s->label_count = blob->count;
}

void fill_desc(Session* s, const ContainerHandle* c, uint64_t index, const ValueRecord& v,
               bool is_input, TensorDesc* d) {
  std::memset(d, 0, sizeof *d);
  d->value_index = index;
  Slice name = container_value_name(c, index);
  if (name.len == 0) name = slice_of(is_input ? std::string_view("input") : std::string_view("output"));
  d->name_len = copy_to_fixed(reinterpret_cast<const char*>(name.ptr), name.len, d->name, sizeof d->name);
  d->dtype = dtype_from_element_type(c, v.elem_kind());
  d->rank = uint32_t(v.rank() > kMaxTensorRank ? kMaxTensorRank : v.rank());
  uint64_t count = 1;
  for (uint32_t i = 0; i < d->rank; ++i) {
    d->dims[i] = int64_t(v.dim(i));
    if (i == 0 && s->batch_size >= 2) d->dims[0] = s->batch_size;
    uint64_t dim = d->dims[i] < 1 ? 1 : uint64_t(d->dims[i]);
    if (__builtin_mul_overflow(count, dim, &count)) count = UINT64_MAX;
  }
  d->count = count;
  if (__builtin_mul_overflow(count, dtype_size(d->dtype), &d->bytes)) d->bytes = UINT64_MAX;
}

}  // namespace

uint32_t dtype_from_element_type(const ContainerHandle* c, uint64_t element_type) {
  if (c != nullptr && c->meta != nullptr && element_type >= 1 &&
      element_type <= container_section_count(c, kSecElemKinds) &&
      container_section_stride(c, kSecElemKinds) >= kStrideElemKind) {
    // An element-kind record: bits per value at +8, class at +56.
    const uint64_t off = container_record_offset(c, kSecElemKinds, element_type - 1);
    uint64_t end = 0;
    if (!__builtin_add_overflow(off, uint64_t(kStrideElemKind), &end) && end <= c->meta_len) {
      const uint64_t bits = container_read_u64(c->meta, off + 8);
      const uint64_t cls = container_read_u64(c->meta, off + 56);
      if (cls == 1 && bits == 16) return VORN_DTYPE_F16;
      if (cls == 1 && bits == 32) return VORN_DTYPE_F32;
      if (cls == 2 && bits == 64) return VORN_DTYPE_I64;
      if (cls == 3) return VORN_DTYPE_Q8;
      if (cls == 4 || (cls == 2 && bits == 8)) return VORN_DTYPE_U8;
    }
  }
  switch (element_type) {
    case 1: return VORN_DTYPE_F16;
    case 3: return VORN_DTYPE_I64;
    case 4: return VORN_DTYPE_Q8;
    case 5: return VORN_DTYPE_U8;
    default: return VORN_DTYPE_F32;
  }
}

bool session_describe_graph(Session* s) {
  const ContainerHandle* c = &s->container;
  std::string_view sub(s->subgraph, s->subgraph_len);
  if (!sub.empty() && sub != "main")
    return fail(s, VORN_STATUS_UNSUPPORTED,
                "Requested subgraph is not present in this model; only 'main' is supported");
  if (s->batch_size < 1 || s->batch_size > kMaxBatchSize)
    return fail(s, VORN_STATUS_INVALID_ARGUMENT, "Batch size must be between 1 and 64");

  uint64_t value_count = container_is_tensor_model(c) ? container_value_count(c) : 0;
  uint64_t node_count = container_is_tensor_model(c) ? container_node_count(c) : 0;
  const bool generative = value_count == 0 || node_count == 0;
  // A generative model's graph is the generation layer's: no descriptors.
  if (generative) value_count = node_count = 0;

  if (!generative && s->batch_size >= 2) {
    bool safe = true;
    for (uint64_t i = 0; i < value_count && safe; ++i) {
      ValueRecord v = container_value_record(c, i);
      if (v.kind() != kValueGraphInput) continue;
      if (v.rank() == 0 || (v.dim(0) != 1 && v.dim(0) != s->batch_size)) safe = false;
    }
    for (uint64_t i = 0; i < node_count && safe; ++i) safe = node_batch_safe(c, container_node_record(c, i));
    if (!safe) return fail(s, VORN_STATUS_UNSUPPORTED, "Model graph does not support batch_size > 1");
  }

  uint64_t inputs = 0, outputs = 0;
  for (uint64_t i = 0; i < value_count; ++i) {
    ValueRecord v = container_value_record(c, i);
    if (v.kind() != kValueGraphInput && v.kind() != kValueGraphOutput) continue;
    if (container_value_name(c, i).len >= 64)
      return fail(s, VORN_STATUS_UNSUPPORTED,
                  v.kind() == kValueGraphInput
                      ? "Input tensor name exceeds 63-byte maximum descriptor length"
                      : "Output tensor name exceeds 63-byte maximum descriptor length");
    (v.kind() == kValueGraphInput ? inputs : outputs) += 1;
  }
  if (inputs > kMaxModelInputs) return fail(s, VORN_STATUS_UNSUPPORTED, "Model has more than 8 input tensors");
  if (outputs > kMaxModelOutputs) return fail(s, VORN_STATUS_UNSUPPORTED, "Model has more than 64 output tensors");

  // Built aside: a refused description leaves the previous one in place.
  ModelInfo info{};
  uint64_t total = 0;
  for (uint64_t i = 0; i < value_count; ++i) {
    ValueRecord v = container_value_record(c, i);
    if (v.kind() != kValueWeight) {
      uint64_t bytes = 0;
      if (__builtin_mul_overflow(v.bytes(), uint64_t(s->batch_size), &bytes) ||
          __builtin_add_overflow(total, bytes, &total))
        total = UINT64_MAX;
    }
    if (v.kind() == kValueGraphInput) {
      if (v.rank() == 0 && s->batch_size >= 2)
        return fail(s, VORN_STATUS_INVALID_ARGUMENT, "Scalar input tensor cannot be batched");
      fill_desc(s, c, i, v, true, &info.inputs[info.input_count++]);
    } else if (v.kind() == kValueGraphOutput) {
      fill_desc(s, c, i, v, false, &info.outputs[info.output_count++]);
    }
  }
  if (__builtin_add_overflow(c->data_size, total, &info.estimated_memory)) info.estimated_memory = UINT64_MAX;
  s->info = info;
  s->generative = generative ? 1 : 0;
  s->corner_boxes = 0;
  if (node_count > 0) {
    NodeRecord last = container_node_record(c, node_count - 1);
    if (last.op() == op::Concat && last.attr(attr::Concat::kCornerBoxes) == 1) s->corner_boxes = 1;
  }
  return true;
}

bool session_load_model(Session* s) {
  const ContainerHandle* c = &s->container;
  s->info.input_count = 0;
  s->info.output_count = 0;
  if (!session_describe_graph(s)) return false;
  copy_meta_text(c, "task", s->task, &s->task_len);
  copy_meta_text(c, "decode", s->decode, &s->decode_len);
  read_recommended_backend(s, c);
  read_image_settings(s, c);
  read_labels(s, c);
  s->model_loaded = 1;
  return true;
}

}  // namespace vorn
