// VNGraph: the network of a generative model on the compute device.
//
// Built once per open generative session from the container's metadata (the
// graph block of section 6, the tensor records, the load-group names) over
// the weights already loaded into a GpuContext, which must outlive the
// graph. Each run() is one forward pass (a prefill over a prompt or one
// decode step): the caller's input tensors and the weight views are bound to
// the graph's values, every node is encoded in order into command buffers of
// the context's queue, intermediates return to the activation pool as soon
// as their last reader is encoded (the queue runs commands in encoding
// order, so a recycled buffer is only reused after its readers ran), and the
// logits, the requested captures and the new KV-cache tensors come back.
//
// Layers of the API, from the inside out:
//   kernel / dispatch: one of the 24 kernels of gpu/shaders, named by its
//     Kernel number (its pipeline was resolved when the graph was built),
//     with its parameter struct (kernel_params.h) bound at index 3;
//   point, linear: the elementwise kernel and y = x W^T + b over four paths
//     (matrix-vector kernel, graph-layer product, matrix-product object,
//     tiled kernels) chosen by the row count and the configure() switches;
//   operation: one node (every GraphOp, attention with its KV cache);
//   run: the whole pass, with cancellation between command buffers,
//     per-node profiles and captures, over the KV cache it is handed.
// Every failure throws vorn::VNError, category "VornInference" (or
// "VornCancelled" from run), with a fixed reason; a pass that fails leaves
// the graph reusable.
//
// Threading: one thread uses a graph at a time. Only the cancel word may be
// written from another thread.
#pragma once
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "gpu/gpu_context.h"
#include "gpu/kv_cache.h"
#include "gpu/shaders/kernel_ids.h"
#include "gpu/shape_cache.h"
#include "gpu/vn_tensor.h"
#include "platform/graph_layer.h"
#include "platform/matrix_multiplication.h"

namespace vorn {

struct GraphNode {
  uint64_t op = 0;     // GraphOp
  uint64_t group = 0;  // load-group index
  std::vector<uint64_t> inputs, outputs;
  std::vector<uint64_t> attrs;  // integer words or double bit patterns
};

struct GraphValue {
  std::string name;
  uint64_t flags = 0;   // kGraphValueInput | kGraphValueLogits | kGraphValueWeight
  uint64_t tensor = 0;  // weights: index of the tensor record
  uint64_t dtype = 0;   // 1 floating (the activation kind; F16 for a weight), 3 I64, 4 Q8
};

struct VNProfileRecord {
  uint64_t node = 0, op = 0;
  std::string group;
  std::vector<uint64_t> input_shape;
  double gpu_ms = 0;
};

struct VNRunResult {
  VNTensorRef logits;
  std::map<std::string, VNTensorRef> captures;
  // New K and V tensors under the names of the past inputs they replace in
  // the next pass.
  std::map<std::string, VNTensorRef> cache;
};

using shaders::Kernel;

class VNGraph {
 public:
  static constexpr uint64_t kUnsetLogits = (uint64_t(1) << 63) - 1;
  // Threads of a threadgroup of kernel() (and of each group when groups).
  static constexpr uint64_t kThreadsPerGroup = 128;
  // Matrix-product objects, and graph-layer graphs, kept by shape: several
  // times what one pass uses (about ten of each on the family's shapes), so
  // that only the shapes of earlier prompts are dropped.
  static constexpr size_t kShapeCacheCapacity = 64;

  // initWithContext:metadata:length:activation: metadata is the container's
  // header and metadata image (length bytes); activation 1 (FP16) or 2
  // (FP32).
  VNGraph(GpuContext* context, const uint8_t* metadata, uint64_t length, uint64_t activation);
  ~VNGraph();
  VNGraph(const VNGraph&) = delete;
  VNGraph& operator=(const VNGraph&) = delete;

  // Backend policy: "backend" one of "auto", "metal", "mps", "mpsgraph"
  // (absent: "auto"), and the switches "mps_prefill", "mps_attention",
  // "graph_attention", "graph_linear"; other keys are ignored.
  void configure(const nlohmann::json& options);

  // A pooled activation tensor (offset 0, not a cache view); dtype 1..3.
  VNTensorRef tensor(const std::vector<uint64_t>& shape, uint64_t dtype);
  // Returns an activation tensor's buffer to the pool; weight views, cache
  // views, null and buffers already pooled are ignored.
  void recycle(const VNTensorRef& tensor);
  // Drops every pooled buffer (the generation layer does so between
  // requests).
  void clearPool();

  std::string backendName() const;
  std::string weightDtype() const;
  nlohmann::json weightExecution() const;

  // --- encoding primitives ---
  // The buffers of a dispatch, in binding order.
  using Tensors = std::initializer_list<const VNTensor*>;
  // kernel:tensors:params:count:groups:command: count threads in groups of
  // 128 (groups false) or count threadgroups of 128 threads (groups true);
  // tensor i binds at index i for i < 3 and at i + 1 from the fourth on.
  // The parameters are the struct kernel_list.inc names for K.
  template <Kernel K>
  void kernel(Tensors tensors, const shaders::KernelParams<K>& params, uint64_t count, bool groups,
              const mtl::CommandBufferRef& command) {
    encode(K, tensors, &params, {count, 1, 1}, kThreadsPerGroup, groups, command);
  }
  // The same with a three-dimensional grid of threadgroups of `threads`.
  template <Kernel K>
  void kernelGroups(Tensors tensors, const shaders::KernelParams<K>& params, mtl::Size3 groups, uint64_t threads,
                    const mtl::CommandBufferRef& command) {
    encode(K, tensors, &params, groups, threads, true, command);
  }
  // point:other:op:command: x op y with y broadcast along x's last axis.
  VNTensorRef point(const VNTensorRef& x, const VNTensorRef& y, uint64_t op, const mtl::CommandBufferRef& command);
  // linear:weight:bias:command: x W^T + b (bias may be null).
  VNTensorRef linear(const VNTensorRef& x, const VNTensorRef& weight, const VNTensorRef& bias,
                     const mtl::CommandBufferRef& command);
  // operation:inputs:command: one node; the outputs belong to the caller.
  // An attention node reserves and counts its new K and V through cache
  // (null: buffers of the pass's own length, nothing counted).
  std::vector<VNTensorRef> operation(const GraphNode& node, const std::vector<VNTensorRef>& inputs,
                                     const mtl::CommandBufferRef& command, KvCache* cache = nullptr);
  // run:captures: the forward pass over the session's KV cache (null: one
  // that reserves nothing ahead, as a pass outside a generation does).
  VNRunResult run(const std::map<std::string, VNTensorRef>& inputs, const std::vector<std::string>& captures = {},
                  KvCache* cache = nullptr);

  // --- read-only description ---
  const mtl::DeviceRef& device() const { return device_; }
  const mtl::CommandQueueRef& queue() const { return queue_; }
  uint64_t activation() const { return activation_; }
  const std::vector<VNTensorRef>& weights() const { return weights_; }
  const std::vector<GraphValue>& rows() const { return rows_; }
  const std::vector<GraphNode>& nodes() const { return nodes_; }
  const std::vector<std::string>& groups() const { return groups_; }
  const std::vector<uint64_t>& uses() const { return uses_; }
  const std::map<std::string, uint64_t>& inputIds() const { return inputIds_; }
  uint64_t logitsId() const { return logitsId_; }
  bool mpsPrefill() const { return mpsPrefill_; }
  bool mpsAttention() const { return mpsAttention_; }
  bool graphAttention() const { return graphAttention_; }
  bool graphLinear() const { return graphLinear_; }
  size_t pipelineCount() const {
    return size_t(std::count_if(pipelines_.begin(), pipelines_.end(), [](const auto& p) { return p != nullptr; }));
  }
  size_t matrixCount() const { return matrices_.size(); }
  size_t graphCount() const { return attentionGraphs_.size(); }
  size_t pooledBufferCount() const { return freeBuffers_.size(); }

  // --- figures ---
  double lastGPUms = 0;
  double lastEncodeMs = 0;
  std::vector<VNProfileRecord> lastProfile;
  uint64_t peakMetalAllocatedBytes = 0;
  uint64_t quantizedWeights = 0;
  uint64_t residentWeightBytes = 0;
  uint64_t peakDequantizedWeightBytes = 0;
  uint64_t dequantizedWeightBytes = 0;
  uint64_t fusedInt8MatvecCalls = 0;
  uint64_t fusedInt8EmbeddingCalls = 0;
  // Nodes that ran inside a single-row product's output step rather than as
  // dispatches of their own (residual adds, SiLU and the gating multiply).
  uint64_t foldedNodes = 0;
  // Ropes of a single-row product's rows done in its output step (counted
  // in foldedNodes too).
  uint64_t foldedRopes = 0;
  // New key and value rows their producer (a single-row product or rope)
  // wrote straight into the KV cache, with no copy by the attention.
  uint64_t cacheRowsInPlace = 0;

  // --- state the caller sets ---
  // Per-node timings of the next passes (each node in its own command
  // buffer).
  bool profile = false;
  // Cancellation word owned by the caller (may be null): read between
  // command buffers, a non-zero value stops the pass with VornCancelled.
  std::atomic<uint32_t>* cancelFlag = nullptr;

  void setProfile(bool on) { profile = on; }
  void setCancelFlag(std::atomic<uint32_t>* word) { cancelFlag = word; }

 private:
  // What a ShapeKey's kind says it keys.
  enum ShapeKind : uint64_t {
    kLinearProduct,    // matrices_: M, N, K
    kAttentionScores,  // matrices_: batch, rows, columns, interior
    kAttentionValues,  // matrices_: as kAttentionScores
    kLinearGraph,      // attentionGraphs_: M, N, K, bias
    kAttentionGraph,   // attentionGraphs_: b, hq, s, total, d, capacity (0: K and V token-major)
    kLinearGroup,      // linearGroups_: M, K, bias mask, N of each part (0: none)
  };
  // A graph-layer graph kept by shape: its placeholders in feed order and
  // its one result.
  struct CachedGraph {
    mpsg::Graph graph;
    std::vector<mpsg::Tensor> inputs;
    mpsg::Tensor result;
  };
  // A graph of several products of one input: its placeholders in feed
  // order and its results.
  struct CachedGroup {
    mpsg::Graph graph;
    std::vector<mpsg::Tensor> inputs, results;
  };

  void parse(const uint8_t* metadata, uint64_t length);
  // Fills fusion_ from order_.
  void planFolds();
  // params: the kernel's 80-byte block.
  void encode(Kernel kernel, Tensors tensors, const void* params, mtl::Size3 size, uint64_t threads, bool groups,
              const mtl::CommandBufferRef& command, mtl::DispatchType type = mtl::DispatchType::kSerial);
  VNTensorRef linearMatrixObject(const VNTensorRef& x, const VNTensorRef& weight, const VNTensorRef& bias,
                                 const VNTensorRef& out, uint64_t m, uint64_t n, uint64_t k,
                                 const mtl::CommandBufferRef& command);
  void linearGraph(const VNTensorRef& x, const VNTensorRef& weight, const VNTensorRef& bias, const VNTensorRef& out,
                   uint64_t m, uint64_t n, uint64_t k, const mtl::CommandBufferRef& command);
  void addBias(const VNTensorRef& out, const VNTensorRef& bias, uint64_t m, uint64_t n,
               const mtl::CommandBufferRef& command);
  // The single-row product x W^T + b into out, then its output step
  // (shaders::MatvecOutput) over extra (the residual, or the up weight) and
  // upBias.
  // headRows, headStride: a plain product's rows in heads spaced apart in
  // out (shaders::MatvecParams).
  void matvec(const VNTensorRef& x, const VNTensorRef& weight, const VNTensorRef& bias, const VNTensorRef& out,
              uint32_t output, const VNTensorRef& extra, const VNTensorRef& upBias,
              const mtl::CommandBufferRef& command, uint64_t headRows = 0, uint64_t headStride = 0,
              uint64_t ropeHeadDim = 0, float theta = 0);
  // The view of the row of the KV cache that node i's output would fill in
  // place (as cacheRowProducer writes it), or null.
  VNTensorRef cacheRow(uint64_t i, const std::vector<VNTensorRef>& slot);
  // Node i, a single-row product or rope whose output only an attention
  // reads as its new keys or values (cacheReader_), encoded to write that
  // row straight into its place in the attention's KV cache, when the cache
  // takes it in place this pass: returns the view of the row there (the
  // attention then copies nothing), or null with nothing encoded.
  VNTensorRef cacheRowProducer(uint64_t i, const std::vector<VNTensorRef>& slot,
                               const mtl::CommandBufferRef& command);
  // The nodes from order_[step] on that fusion_[step] folds into one
  // single-row product, encoded as that product; null (nothing encoded) when
  // this pass's tensors do not make them one (several rows, other kinds).
  VNTensorRef foldedMatvec(uint64_t step, const std::vector<VNTensorRef>& slot, const mtl::CommandBufferRef& command);
  // Whether linear() takes x W^T + bias to its single-row product: one row
  // of the activation type, of even width k, and a whole F16 or Q8 weight of
  // n rows (n even, non-zero), with a half bias of n if any.
  bool singleRowProduct(const VNTensor& x, const VNTensor& weight, const VNTensor* bias, uint64_t n) const;
  // One of the linear nodes linearRun finds: its weight, bias (or null) and
  // output width.
  struct LinearPart {
    const VNTensor* weight;
    const VNTensor* bias;
    uint64_t n;
  };
  // Their input: x, of m rows of k.
  struct LinearInput {
    VNTensorRef x;
    uint64_t m = 0, k = 0;
  };
  static constexpr uint64_t kMostLinearParts = 3;
  // The linear nodes from order_[step] on (up to kMostLinearParts, of one
  // group, none the logits) that read order_[step]'s input, an activation
  // of several rows of even width (in), each with a whole weight of even
  // width and a half bias of that width if any, into parts: how many. The
  // grouping functions below keep the run's longest start their own
  // kernels can take.
  uint64_t linearRun(uint64_t step, const std::vector<VNTensorRef>& slot, LinearPart* parts, LinearInput* in) const;
  // The linear nodes from order_[step] on (up to three, of one group) that
  // read the same input of many rows, a layer's query, key and value
  // projections: encoded as one graph, whose products the graph layer runs
  // in one cut of the pool, their outputs appended to outs. Returns how many
  // (nothing encoded when fewer than two).
  uint64_t linearGroup(uint64_t step, const std::vector<VNTensorRef>& slot, std::vector<VNTensorRef>* outs,
                       const mtl::CommandBufferRef& command);
  // The same for linear nodes of Q8 weights that "matmul_q8" reads itself:
  // one dispatch of it over all their panels. With fold, a product planned
  // to take a residual add, or a gated block's SiLU and multiply, takes
  // them into its output step: the count then includes those nodes, whose
  // outs are null but the last (the intermediates are never made).
  uint64_t linearGroupQ8(uint64_t step, const std::vector<VNTensorRef>& slot, std::vector<VNTensorRef>* outs,
                         const mtl::CommandBufferRef& command, bool fold);
  // linearGroupQ8's folded product at step, whose parts and input linearRun
  // found: how many nodes it took (0: none, nothing encoded).
  uint64_t foldedProductQ8(uint64_t step, const std::vector<VNTensorRef>& slot, const LinearPart* parts,
                           uint64_t count, const LinearInput& in, std::vector<VNTensorRef>* outs,
                           const mtl::CommandBufferRef& command);
  // Whether a product of m rows, n columns and depth k is large enough for
  // the graph layer or the matrix objects; below it the tiled kernels are
  // faster than preparing a product.
  static bool largeProduct(uint64_t m, uint64_t n, uint64_t k);
  // Whether a linear node of x and a Q8 weight reads the weight's blocks
  // itself ("matmul_q8") rather than an F16 copy of it.
  bool linearReadsQ8(const VNTensor& x, const VNTensor& weight) const;
  std::vector<VNTensorRef> attention(const GraphNode& node, const std::vector<VNTensorRef>& inputs,
                                     const mtl::CommandBufferRef& command, KvCache* kv);
  VNTensorRef cacheTensor(const VNTensorRef& source, const VNTensorRef& past, bool cache, KvCache* kv, uint64_t b,
                          uint64_t hk, uint64_t s, uint64_t past_rows, uint64_t d,
                          const mtl::CommandBufferRef& command);
  void attentionGraph(const VNTensorRef& q, const VNTensorRef& k, const VNTensorRef& v, const VNTensorRef& mask,
                      const VNTensorRef& out, uint64_t b, uint64_t hq, uint64_t s, uint64_t total, uint64_t d,
                      const mtl::CommandBufferRef& command, bool token_major);
  void attentionMatrices(const VNTensorRef& q, const VNTensorRef& k, const VNTensorRef& v, const VNTensorRef& mask,
                         const VNTensorRef& out, const shaders::AttentionParams& params, uint64_t b, uint64_t hq,
                         uint64_t s, uint64_t total, uint64_t d, const mtl::CommandBufferRef& command);
  std::vector<VNTensorRef> elementwise(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                       const mtl::CommandBufferRef& command);
  std::vector<VNTensorRef> embedding(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                     const mtl::CommandBufferRef& command);
  std::vector<VNTensorRef> patchEmbedding(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                          const mtl::CommandBufferRef& command);
  std::vector<VNTensorRef> norm(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                const mtl::CommandBufferRef& command);
  std::vector<VNTensorRef> rope(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                const mtl::CommandBufferRef& command);
  std::vector<VNTensorRef> shuffle(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                   const mtl::CommandBufferRef& command);
  std::vector<VNTensorRef> scatter(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                   const mtl::CommandBufferRef& command);
  mtl::CommandBufferRef newCommandBuffer() const;

  mtl::DeviceRef device_;
  mtl::CommandQueueRef queue_;
  // The last single-row product encoded: its command buffer, the buffer's
  // command count just after it, and where its input lies. A single-row
  // product of the same input encoded right after it (the query, key and
  // value projections) runs in the same parallel loop: each only reads that
  // input and writes an output of its own.
  struct LastMatvec {
    std::weak_ptr<mtl::CommandBuffer> command;
    size_t count = 0;
    const mtl::Buffer* x = nullptr;
    uint64_t offset = 0;
  };
  LastMatvec lastMatvec_;
  mtl::BufferRef weightsBuffer_;
  uint64_t activation_ = 0;
  // One pipeline per Kernel, by its number.
  std::array<mtl::PipelineRef, shaders::kKernelCount> pipelines_;
  // The objects a shape's products and graphs are built into, by the
  // shape's values (ShapeKind and dimensions).
  ShapeCache<std::shared_ptr<mps::MatrixMultiplication>> matrices_{kShapeCacheCapacity};
  // Linear-layer graphs and attention graphs.
  ShapeCache<std::unique_ptr<CachedGraph>> attentionGraphs_{kShapeCacheCapacity};
  ShapeCache<std::unique_ptr<CachedGroup>> linearGroups_{kShapeCacheCapacity};
  std::map<uint64_t, std::vector<mtl::BufferRef>> pool_;
  std::unordered_set<const mtl::Buffer*> freeBuffers_;
  std::vector<VNTensorRef> weights_;
  std::vector<GraphValue> rows_;
  std::vector<GraphNode> nodes_;
  // The order the nodes run in: theirs, except that a product reading the
  // same input as the product two nodes before it, and nothing the node
  // between them makes, runs right after that product (a gated block's gate
  // and up projections), so that single-row products of the two share one
  // loop. No node moves past the last node of its group; a profiled pass
  // keeps their own order.
  std::vector<uint64_t> order_;
  // By position in order_: the output step (shaders::MatvecOutput) that
  // folds the nodes after a product into it when it runs on one row, or
  // kMatvecPlain. A residual add takes the product and the node after it; a
  // gated block takes its gate and up products, the SiLU and the multiply.
  // Only nodes of the product's group whose intermediates nothing else
  // reads are folded.
  std::vector<uint32_t> fusion_;
  // By position in order_: for a kMatvecRope product, the position of the
  // rope it folds (its output's only reader, later in the same group, whose
  // positions are made before the product).
  std::vector<uint64_t> ropeStep_;
  // By node: for a product or rope whose one output only a cached attention
  // reads, as its K or V input, that attention's node number; else
  // kNoCacheReader.
  static constexpr uint64_t kNoCacheReader = UINT64_MAX;
  std::vector<uint64_t> cacheReader_;
  std::vector<std::string> groups_;
  std::vector<uint64_t> uses_;
  std::map<std::string, uint64_t> inputIds_;
  uint64_t logitsId_ = kUnsetLogits;
  bool mpsPrefill_ = false, mpsAttention_ = false, graphAttention_ = false, graphLinear_ = false;
};

}  // namespace vorn
