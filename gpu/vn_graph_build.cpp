// VNGraph construction: the kernel pipelines, the weight views, the graph
// block of section 6; the backend policy; the activation pool; the
// descriptions.
#include <algorithm>
#include <bit>
#include <cstring>

#include "base/vn_error.h"
#include "container/format.h"
#include "container/records.h"
#include "gpu/graph_ops.h"
#include "gpu/shaders/kernel_library.h"
#include "gpu/vn_graph.h"

namespace vorn {

namespace {

constexpr uint64_t kMaxNodes = 4096;
constexpr uint64_t kMaxValues = 8192;
constexpr uint64_t kMinNodeStride = 64;
constexpr uint64_t kMinValueStride = 96;
constexpr uint64_t kBlockEnd = 96;  // the block's header words end 96 bytes into the section
constexpr uint64_t kMaxNodeInputs = 6;
constexpr uint64_t kMaxNodeOutputs = 3;
constexpr uint64_t kMaxAttributeBytes = 32;
constexpr uint64_t kSmallestPooledBuffer = 256;

// Node record words.
enum : uint64_t { kNodeOp = 0, kNodeGroup = 8, kNodeInputs = 16, kNodeOutputs = 24, kNodeIndex = 32, kNodeAttrs = 40, kNodeAttrBytes = 48 };
// Value record words.
enum : uint64_t { kValueName = 0, kValueDtype = 8, kValueFlags = 72, kValueTensor = 80 };
// Tensor record words read here.
enum : uint64_t { kTensorKind = 8, kTensorRank = 32, kTensorDims = 40, kTensorByteSize = 96, kTensorRelative = 112, kTensorRowBytes = 136 };
constexpr uint64_t kTensorRecordBytes = 144;

// Reads of the metadata blob; anything outside it is "Metadata bounds".
struct Blob {
  const uint8_t* p;
  uint64_t length;
  uint64_t u64(uint64_t at) const {
    graph_require(p != nullptr && range_fits(at, 8, length), "Metadata bounds");
    return load_u64(p + at);
  }
  void require(uint64_t at, uint64_t bytes) const {
    graph_require(p != nullptr && range_fits(at, bytes, length), "Metadata bounds");
  }
  uint64_t section_offset(uint64_t slot) const { return u64(kHdrDirectory + 16 * slot); }
  uint64_t section_size(uint64_t slot) const { return u64(kHdrDirectory + 16 * slot + 8); }
};

// Records of `stride` bytes (at least `record` of them read) after a
// section's 32-byte header, `count` of them, all inside the blob.
void table_fits(const Blob& blob, uint64_t section, uint64_t stride, uint64_t count, uint64_t record) {
  const uint64_t first = section + kSectionHeaderSize;
  graph_require(stride >= record && first <= blob.length && count <= (blob.length - first) / stride,
                "Metadata bounds");
}

bool add_ok(uint64_t a, uint64_t b, uint64_t* r) { return !__builtin_add_overflow(a, b, r); }
bool mul_ok(uint64_t a, uint64_t b, uint64_t* r) { return !__builtin_mul_overflow(a, b, r); }

// a + b x c without wrapping, or UINT64_MAX.
uint64_t extent(uint64_t a, uint64_t b, uint64_t c) {
  uint64_t t, r;
  return mul_ok(b, c, &t) && add_ok(a, t, &r) ? r : UINT64_MAX;
}

bool json_true(const nlohmann::json& options, const char* key, bool* value) {
  if (!options.is_object()) return false;
  auto it = options.find(key);
  if (it == options.end()) return false;
  if (it->is_boolean()) *value = it->get<bool>();
  else if (it->is_number()) *value = it->get<double>() != 0;
  else *value = false;
  return true;
}

}  // namespace

VNGraph::VNGraph(GpuContext* context, const uint8_t* metadata, uint64_t length, uint64_t activation) {
  graph_require(context != nullptr && gpu_context_weights_buffer(context) != nullptr &&
                    gpu_context_queue(context) != nullptr,
                "GPU context has no weights buffer or queue");
  weightsBuffer_ = gpu_context_weights_buffer(context);
  queue_ = gpu_context_queue(context);
  device_ = weightsBuffer_->device();
  residentWeightBytes = weightsBuffer_->length();
  graph_require(activation == kElemF16 || activation == kElemF32, "Activation precision must be FP16 or FP32");
  activation_ = activation;

  mtl::CompileOptions options;
  options.fast_math_enabled = false;
  options.macros.push_back({kKernelFloatMacro, activation == kElemF32 ? 1 : 0});
  std::string error;
  mtl::LibraryRef library = device_->new_library(generative_kernel_source(), options, &error);
  if (library == nullptr) throw_inference("Metal compilation: " + error);
  // Every kernel's pipeline, found by name once here: a dispatch takes it
  // by its Kernel number.
  const char* const* names = generative_kernel_names();
  for (size_t i = 0; i < kGenerativeKernelCount; ++i) {
    error.clear();
    mtl::FunctionRef fn = library->new_function(names[i]);
    mtl::PipelineRef pipe = fn != nullptr ? device_->new_compute_pipeline_state(fn, &error) : nullptr;
    if (pipe == nullptr) throw_inference(std::string("Metal pipeline ") + names[i] + ": " + (fn ? error : "no such function"));
    pipelines_[i] = std::move(pipe);
  }
  parse(metadata, length);
  peakMetalAllocatedBytes = device_->current_allocated_size();
}

VNGraph::~VNGraph() = default;

void VNGraph::parse(const uint8_t* metadata, uint64_t length) {
  const Blob blob{metadata, length};
  // The directory entries read here and the block's header words.
  const uint64_t names_at = blob.section_offset(kSecMeta), names_size = blob.section_size(kSecMeta);
  const uint64_t tensors_at = blob.section_offset(kSecTensors);
  const uint64_t groups_at = blob.section_offset(kSecGroups);
  const uint64_t section = blob.section_offset(kSecNodes), section_size = blob.section_size(kSecNodes);
  blob.require(section, kBlockEnd);
  const uint64_t nodes = blob.u64(section + 32), node_stride = blob.u64(section + 40);
  const uint64_t node_table = blob.u64(section + 48), values = blob.u64(section + 56);
  const uint64_t value_stride = blob.u64(section + 64), value_table = blob.u64(section + 72);
  const uint64_t index_area = blob.u64(section + 80), attr_area = blob.u64(section + 88);
  uint64_t end;
  graph_require(add_ok(section, section_size, &end) && end <= length, "Graph bounds");
  graph_require(nodes >= 1 && nodes <= kMaxNodes && node_stride >= kMinNodeStride && node_table >= section + kBlockEnd &&
                    values >= 1 && values <= kMaxValues && value_stride >= kMinValueStride &&
                    value_table >= extent(node_table, node_stride, nodes) &&
                    index_area >= extent(value_table, value_stride, values) && attr_area >= index_area &&
                    attr_area <= end && node_table <= end && nodes <= (end - node_table) / node_stride &&
                    value_table <= end && values <= (end - value_table) / value_stride,
                "Graph bounds");
  // Names live in the meta_kv section's extent after its header.
  uint64_t names_end;
  graph_require(add_ok(names_at, names_size, &names_end), "Metadata bounds");
  const uint64_t names_start = names_at + kSectionHeaderSize;
  auto name_at = [&](uint64_t at) { return metadata_string_at(metadata, length, at, names_start, names_end); };

  // Weights: one view per tensor record, in record order. A table whose
  // records do not all lie in the blob, or overlap the fields read from the
  // next one, is refused before it is walked (a zero stride with a huge
  // count would otherwise read one record forever).
  const uint64_t tensor_count = blob.u64(tensors_at + 16), tensor_stride = blob.u64(tensors_at + 8);
  table_fits(blob, tensors_at, tensor_stride, tensor_count, kTensorRecordBytes);
  for (uint64_t t = 0; t < tensor_count; ++t) {
    const uint64_t r = extent(tensors_at + kSectionHeaderSize, tensor_stride, t);
    blob.require(r, kTensorRecordBytes);
    const uint64_t kind = blob.u64(r + kTensorKind), rank = blob.u64(r + kTensorRank);
    graph_require((kind == kElemF16 || kind == kElemQ8) && rank <= kMaxRank,
                  "Inference requires FP16 or block-INT8 weights");
    auto w = std::make_shared<VNTensor>();
    w->buffer = weightsBuffer_;
    w->offset = blob.u64(r + kTensorRelative);
    for (uint64_t d = 0; d < rank; ++d) w->shape.push_back(blob.u64(r + kTensorDims + 8 * d));
    w->count = shape_element_count(w->shape);
    w->dtype = kind;
    w->weight = true;
    const uint64_t last = rank > 0 ? w->shape.back() : 1;
    graph_require(last != 0, "Empty weight row");
    w->rowBytes = kind == kElemQ8 ? (last + kQ8BlockValues - 1) / kQ8BlockValues * kQ8BlockBytes : last * 2;
    const uint64_t expected = kind == kElemQ8 ? w->rowBytes * (w->count / last) : w->count * 2;
    const uint64_t buffer = weightsBuffer_->length();
    graph_require(blob.u64(r + kTensorRowBytes) == w->rowBytes && w->offset <= buffer &&
                      expected <= buffer - w->offset && expected == blob.u64(r + kTensorByteSize),
                  "Weight bounds/row layout");
    if (kind == kElemQ8) ++quantizedWeights;
    weights_.push_back(std::move(w));
  }

  const uint64_t group_count = blob.u64(groups_at + 16), group_stride = blob.u64(groups_at + 8);
  table_fits(blob, groups_at, group_stride, group_count, 8);
  for (uint64_t g = 0; g < group_count; ++g)
    groups_.push_back(name_at(blob.u64(extent(groups_at + kSectionHeaderSize, group_stride, g))));

  std::vector<char> defined(values, 0);
  uses_.assign(values, 0);
  for (uint64_t i = 0; i < values; ++i) {
    const uint64_t r = value_table + value_stride * i;
    GraphValue v;
    v.name = name_at(blob.u64(r + kValueName));
    v.dtype = blob.u64(r + kValueDtype);
    v.flags = blob.u64(r + kValueFlags);
    v.tensor = blob.u64(r + kValueTensor);
    const bool weight = (v.flags & kGraphValueWeight) != 0;
    graph_require(v.flags <= 7 && (v.dtype == kElemF16 || v.dtype == kElemI64 || (v.dtype == kElemQ8 && weight)),
                  "Unsupported graph value flags/dtype");
    if (weight) {
      graph_require((v.flags & kGraphValueInput) == 0 && v.tensor < weights_.size(), "Invalid weight/input binding");
      graph_require(v.dtype == weights_[v.tensor]->dtype, "Graph weight dtype mismatch");
      defined[i] = 1;
    }
    if (v.flags & kGraphValueInput) {
      graph_require(inputIds_.emplace(v.name, i).second, "Duplicate input name");
      defined[i] = 1;
    }
    if (v.flags & kGraphValueLogits) logitsId_ = i;
    rows_.push_back(std::move(v));
  }

  for (uint64_t i = 0; i < nodes; ++i) {
    const uint64_t r = node_table + node_stride * i;
    GraphNode n;
    n.op = blob.u64(r + kNodeOp);
    n.group = blob.u64(r + kNodeGroup);
    const uint64_t ins = blob.u64(r + kNodeInputs), outs = blob.u64(r + kNodeOutputs);
    const uint64_t list = blob.u64(r + kNodeIndex), attrs = blob.u64(r + kNodeAttrs);
    const uint64_t attr_bytes = blob.u64(r + kNodeAttrBytes);
    // The whole index list must lie in the index area and the attributes in
    // the attribute area.
    graph_require(graph_op_row(n.op) != nullptr && n.group < group_count && ins >= 1 && ins <= kMaxNodeInputs &&
                      outs >= 1 && outs <= kMaxNodeOutputs && list >= index_area && list < attr_area &&
                      extent(list, 8, ins + outs) <= attr_area && attrs >= attr_area && attrs <= end &&
                      attr_bytes % 8 == 0 && attr_bytes <= kMaxAttributeBytes && attr_bytes <= end - attrs,
                  "Invalid operation record");
    for (uint64_t j = 0; j < ins + outs; ++j) {
      const uint64_t v = blob.u64(list + 8 * j);
      graph_require(v < values, "Graph value index");
      (j < ins ? n.inputs : n.outputs).push_back(v);
    }
    for (uint64_t j = 0; j < attr_bytes / 8; ++j) n.attrs.push_back(blob.u64(attrs + 8 * j));
    for (uint64_t v : n.inputs) {
      graph_require(defined[v], "Graph not topological");
      ++uses_[v];
    }
    for (uint64_t v : n.outputs) {
      graph_require(!defined[v], "Value defined twice");
      defined[v] = 1;
    }
    nodes_.push_back(std::move(n));
  }
  graph_require(logitsId_ != kUnsetLogits && defined[logitsId_], "No logits output");
  order_.resize(nodes_.size());
  for (uint64_t i = 0; i < nodes_.size(); ++i) order_[i] = i;
  for (uint64_t i = 2; i + 1 < nodes_.size(); ++i) {
    const GraphNode &a = nodes_[i - 2], &between = nodes_[i - 1], &b = nodes_[i];
    const bool reads_between = std::any_of(b.inputs.begin(), b.inputs.end(), [&](uint64_t v) {
      return std::find(between.outputs.begin(), between.outputs.end(), v) != between.outputs.end();
    });
    if (a.op == kLinear && b.op == kLinear && a.inputs[0] == b.inputs[0] && !reads_between &&
        a.group == b.group && between.group == b.group && nodes_[i + 1].group == b.group &&
        order_[i - 1] == i - 1 && order_[i - 2] == i - 2)
      std::swap(order_[i - 1], order_[i]);
  }
  planFolds();
}

void VNGraph::planFolds() {
  // Producers of a cached attention's new keys or values that nothing else
  // reads.
  cacheReader_.assign(nodes_.size(), kNoCacheReader);
  std::vector<uint64_t> producer(rows_.size(), kNoCacheReader);
  for (uint64_t i = 0; i < nodes_.size(); ++i)
    if ((nodes_[i].op == kLinear || nodes_[i].op == kRope) && nodes_[i].outputs.size() == 1)
      producer[nodes_[i].outputs[0]] = i;
  for (uint64_t i = 0; i < nodes_.size(); ++i) {
    const GraphNode& a = nodes_[i];
    const GraphOpRow* row = graph_op_row(a.op);
    if (a.op != kAttention || row == nullptr || a.attrs.size() != row->attributes || a.inputs.size() != 6 ||
        a.attrs[kAttentionCache] != 1)
      continue;
    for (uint64_t input : {kAttentionK, kAttentionV}) {
      const uint64_t v = a.inputs[input];
      const bool once = v < rows_.size() && uses_[v] == 1 && rows_[v].flags == 0 && v != logitsId_ &&
                        a.inputs[kAttentionK] != a.inputs[kAttentionV];
      if (once && producer[v] != kNoCacheReader && producer[v] < i) cacheReader_[producer[v]] = i;
    }
  }
  fusion_.assign(order_.size(), shaders::kMatvecPlain);
  ropeStep_.assign(order_.size(), 0);
  auto at = [&](uint64_t s) -> const GraphNode& { return nodes_[order_[s]]; };
  // A value only the next node reads, and nobody receives.
  auto private_value = [&](uint64_t v) { return uses_[v] == 1 && rows_[v].flags == 0 && v != logitsId_; };
  auto reads = [](const GraphNode& n, uint64_t a, uint64_t b) {
    return n.inputs.size() == 2 && a != b &&
           ((n.inputs[0] == a && n.inputs[1] == b) || (n.inputs[0] == b && n.inputs[1] == a));
  };
  // A node as its operation takes it: folded nodes skip operation()'s checks.
  auto well_formed = [](const GraphNode& n) {
    const GraphOpRow* row = graph_op_row(n.op);
    return row != nullptr && n.attrs.size() == row->attributes && n.inputs.size() >= row->min_inputs &&
           n.inputs.size() <= row->max_inputs && n.outputs.size() == 1;
  };
  for (uint64_t s = 0; s < order_.size(); ++s) {
    const GraphNode& a = at(s);
    if (a.op != kLinear || !well_formed(a) || !private_value(a.outputs[0])) continue;
    const uint64_t y = a.outputs[0];
    if (s + 1 < order_.size()) {
      const GraphNode& add = at(s + 1);
      if (add.op == kAdd && well_formed(add) && add.group == a.group &&
          reads(add, y, add.inputs[0] == y ? add.inputs[1] : add.inputs[0])) {
        fusion_[s] = shaders::kMatvecResidual;
        continue;
      }
    }
    if (s + 3 < order_.size()) {
      const GraphNode &up = at(s + 1), &silu = at(s + 2), &mul = at(s + 3);
      if (up.op == kLinear && silu.op == kSilu && mul.op == kMultiply && well_formed(up) && well_formed(silu) &&
          well_formed(mul) && up.inputs[0] == a.inputs[0] && private_value(up.outputs[0]) &&
          silu.inputs[0] == y && private_value(silu.outputs[0]) && reads(mul, silu.outputs[0], up.outputs[0]) &&
          up.group == a.group && silu.group == a.group && mul.group == a.group) {
        fusion_[s] = shaders::kMatvecSwiglu;
        continue;
      }
    }
    // The rope of the product's rows (their only reader) later in its group
    // (a layer's query and key projections), its positions made before the
    // product (checked below).
    for (uint64_t r = s + 1; r < order_.size() && at(r).group == a.group; ++r) {
      const GraphNode& rope = at(r);
      if (rope.op == kRope && well_formed(rope) && rope.inputs.size() == 2 && rope.inputs[0] == y &&
          rope.inputs[1] != y) {
        fusion_[s] = shaders::kMatvecRope;
        ropeStep_[s] = r;
        break;
      }
    }
  }
  // The positions a folded rope reads must exist when its product runs.
  std::vector<uint64_t> made_at(rows_.size(), 0);
  for (uint64_t s = 0; s < order_.size(); ++s)
    for (uint64_t v : at(s).outputs) made_at[v] = s + 1;
  for (uint64_t s = 0; s < order_.size(); ++s)
    if (fusion_[s] == shaders::kMatvecRope && made_at[at(ropeStep_[s]).inputs[1]] > s) fusion_[s] = shaders::kMatvecPlain;
}

void VNGraph::configure(const nlohmann::json& options) {
  std::string policy = "auto";
  if (options.is_object() && options.contains("backend")) {
    const nlohmann::json& b = options["backend"];
    policy = b.is_string() ? b.get<std::string>() : std::string();
  }
  graph_require(policy == "auto" || policy == "metal" || policy == "mps" || policy == "mpsgraph", "Unknown backend policy");
  bool prefill = false, attention = false, graph_attention = false, graph_linear = false;
  const bool any = options.is_object() &&
                   (options.contains("mps_prefill") || options.contains("mps_attention") || options.contains("graph_attention"));
  const bool d = !any && policy != "metal" && (activation_ == kElemF32 || policy == "mps" || policy == "mpsgraph");
  mpsPrefill_ = mpsAttention_ = d;
  graphAttention_ = d && policy != "mps";
  if (json_true(options, "mps_prefill", &prefill)) mpsPrefill_ = prefill;
  if (json_true(options, "mps_attention", &attention)) mpsAttention_ = attention;
  if (json_true(options, "graph_attention", &graph_attention)) graphAttention_ = graph_attention;
  graphLinear_ = graphAttention_;
  if (json_true(options, "graph_linear", &graph_linear)) graphLinear_ = graph_linear;
}

VNTensorRef VNGraph::tensor(const std::vector<uint64_t>& shape, uint64_t dtype) {
  const uint64_t count = activation_element_count(shape, dtype);
  const uint64_t need = std::max<uint64_t>(count * element_size(dtype), 4);  // count <= 2^30: no wrap
  const uint64_t length = std::max<uint64_t>(kSmallestPooledBuffer, std::bit_ceil(need));
  mtl::BufferRef buffer;
  auto it = pool_.find(length);
  if (it != pool_.end()) {
    buffer = std::move(it->second.back());
    it->second.pop_back();
    if (it->second.empty()) pool_.erase(it);
    freeBuffers_.erase(buffer.get());
  } else {
    buffer = device_->new_buffer(length, mtl::kResourceStorageModeShared);
    graph_require(buffer != nullptr, "Activation allocation failed");
    peakMetalAllocatedBytes = std::max(peakMetalAllocatedBytes, device_->current_allocated_size());
  }
  auto t = std::make_shared<VNTensor>();
  t->buffer = std::move(buffer);
  t->shape = shape;
  t->dtype = dtype;
  t->count = count;
  return t;
}

void VNGraph::recycle(const VNTensorRef& t) {
  if (t == nullptr || t->weight || t->cacheStride != 0 || t->buffer == nullptr) return;
  if (!freeBuffers_.insert(t->buffer.get()).second) return;
  pool_[t->buffer->length()].push_back(t->buffer);
}

void VNGraph::clearPool() {
  pool_.clear();
  freeBuffers_.clear();
}

std::string VNGraph::backendName() const {
  const std::string p = activation_ == kElemF32 ? "FP32" : "FP16";
  if (graphLinear_)
    return "Metal kernels + " + p + " MPSGraph prefill matrices" + (graphAttention_ ? "/vision attention" : "");
  if (graphAttention_) return "Metal kernels + MPS GEMM + " + p + " MPSGraph vision attention";
  if (mpsAttention_) return "Metal kernels + MPS GEMM + batched MPS vision attention";
  if (mpsPrefill_) return "Metal kernels + MPS prefill GEMM";
  return "Metal custom kernels";
}

std::string VNGraph::weightDtype() const {
  if (quantizedWeights == 0) return "fp16";
  return quantizedWeights == weights_.size() ? "int8" : "mixed-fp16-int8";
}

nlohmann::json VNGraph::weightExecution() const {
  return {{"policy", quantizedWeights > 0 ? "Resident INT8 blocks; per-operation FP16 weight scratch; fused INT8 "
                                            "embedding/matvec (FP16 reconstruction)"
                                          : "Resident FP16 weight views"},
          {"resident_weight_buffer_bytes", residentWeightBytes},
          {"quantized_tensors", quantizedWeights},
          {"peak_live_dequantized_weight_scratch_bytes", peakDequantizedWeightBytes},
          {"cumulative_dequantized_weight_bytes", dequantizedWeightBytes},
          {"fused_int8_matvec_calls", fusedInt8MatvecCalls},
          {"fused_int8_embedding_calls", fusedInt8EmbeddingCalls}};
}

}  // namespace vorn
