// Attention with grouped key/value heads, an explicit or causal mask and a KV
// cache that grows in place across passes, over four paths: the graph
// layer, batched matrix products, tiled kernels and single kernels.
#include <algorithm>
#include <cmath>
#include <string>

#include "base/vn_error.h"
#include "container/records.h"
#include "gpu/graph_ops.h"
#include "gpu/shaders/kernels.h"
#include "gpu/vn_graph.h"

namespace vorn {

namespace {

constexpr uint64_t kMaxContext = 8192;
constexpr uint64_t kMaxHeadDim = 256;
// The products and graph paths pay off from these sizes on.
constexpr uint64_t kProductMinQueries = 32;
constexpr uint64_t kProductMinHeadDim = 32;

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

DataType data_type(uint64_t kind) { return kind == kElemF32 ? DataType::kFloat32 : DataType::kFloat16; }

// Rows per head that a past tensor's buffer holds: its stride, or its
// filled rows when it is no cache view.
uint64_t row_stride(const VNTensor& t, uint64_t rows) { return t.cacheStride != 0 ? t.cacheStride : rows; }

}  // namespace

VNTensorRef VNGraph::cacheRow(uint64_t i, const std::vector<VNTensorRef>& slot) {
  const GraphNode& node = nodes_[i];
  const GraphNode& att = nodes_[cacheReader_[i]];
  const uint64_t hk = att.attrs[kAttentionKvHeads], d = att.attrs[kAttentionHeadDim];
  const bool values = att.inputs[kAttentionV] == node.outputs[0];
  const VNTensorRef& past = slot[att.inputs[values ? kAttentionPastV : kAttentionPastK]];
  if (past == nullptr || hk == 0 || d == 0 || hk > (uint64_t(1) << 16) || d > kMaxHeadDim) return nullptr;
  // The cache must take this pass's one new row in place (as cacheTensor
  // does): a head-major view from the start of its buffer with a free row
  // behind its past ones, the whole of it inside the buffer.
  const uint64_t es = element_size(activation_);
  if (past->dtype != activation_ || past->offset != 0 || past->shape.size() != 4 || past->shape[0] != 1 ||
      past->shape[1] != hk || past->shape[3] != d || past->buffer == nullptr)
    return nullptr;
  const uint64_t rows = past->shape[2], stride = past->cacheStride;
  if (rows >= kMaxContext || stride <= rows || stride > (uint64_t(1) << 20) ||
      hk * stride * d > past->buffer->length() / es)
    return nullptr;
  auto row = std::make_shared<VNTensor>();
  row->buffer = past->buffer;
  row->shape = {1, 1, hk * d};
  row->offset = rows * d * es;
  row->dtype = activation_;
  row->count = hk * d;
  row->cacheStride = stride;
  return row;
}

VNTensorRef VNGraph::cacheRowProducer(uint64_t i, const std::vector<VNTensorRef>& slot,
                                      const mtl::CommandBufferRef& command) {
  const GraphNode& node = nodes_[i];
  const VNTensorRef& x = slot[node.inputs[0]];
  if (x == nullptr || x->dtype != activation_ || x->shape.size() != 3 || x->shape[0] != 1 || x->shape[1] != 1)
    return nullptr;
  VNTensorRef row = cacheRow(i, slot);
  if (row == nullptr) return nullptr;
  const GraphNode& att = nodes_[cacheReader_[i]];
  const uint64_t hk = att.attrs[kAttentionKvHeads], d = att.attrs[kAttentionHeadDim], stride = row->cacheStride;
  if (node.op == kRope) {
    const VNTensorRef& positions = slot[node.inputs[1]];
    // rope()'s own reading of theta (a non-finite one throws there as here).
    const float theta = float(check_finite_attribute(node.attrs[kRopeTheta]));
    if (node.attrs[kRopeHeadDim] != d || node.attrs[kRopeHeads] != hk || d % 2 != 0 || x->count != hk * d ||
        positions == nullptr || positions->dtype != kElemI64 || positions->count != 1 || !(theta > 0))
      return nullptr;
    kernel<Kernel::rope>({x.get(), positions.get(), row.get()},
                         {.count = uint32_t(hk * d),
                          .head_dim = uint32_t(d),
                          .heads = uint32_t(hk),
                          .head_stride = uint32_t(stride * d),
                          .theta = theta},
                         hk * d, false, command);
    ++cacheRowsInPlace;
    return row;
  }
  // What linear() takes to its single-row product.
  const VNTensorRef& weight = slot[node.inputs[1]];
  const VNTensorRef bias = node.inputs.size() > 2 ? slot[node.inputs[2]] : nullptr;
  if (weight == nullptr || (node.inputs.size() > 2 && bias == nullptr) ||
      !singleRowProduct(*x, *weight, bias.get(), hk * d))
    return nullptr;
  matvec(x, weight, bias, row, shaders::kMatvecPlain, nullptr, nullptr, command, d, stride * d);
  ++cacheRowsInPlace;
  return row;
}

VNTensorRef VNGraph::cacheTensor(const VNTensorRef& source, const VNTensorRef& past, bool cache, KvCache* kv,
                                 uint64_t b, uint64_t hk, uint64_t s, uint64_t past_rows, uint64_t d,
                                 const mtl::CommandBufferRef& command) {
  const uint64_t total = past_rows + s;
  // In place only when the past view starts its buffer: the new rows are
  // written behind rows at offset 0, which must be the past ones. (The
  // caller has checked that the buffer holds every reserved row.)
  const bool in_place = cache && past->cacheStride >= total && past->offset == 0;
  VNTensorRef target;
  uint64_t stride;
  if (in_place) {
    target = std::make_shared<VNTensor>();
    target->buffer = past->buffer;
    target->dtype = activation_;
    stride = past->cacheStride;
  } else {
    stride = cache && kv != nullptr ? std::max(kv->cacheCapacity(), total) : total;
    target = tensor({b, hk, stride, d}, activation_);
    if (cache && kv != nullptr) kv->countBuffer(target->buffer->length());
  }
  target->shape = {b, hk, total, d};
  target->count = shape_element_count(target->shape);
  target->cacheStride = cache ? stride : 0;
  const shaders::CacheAppendParams p{.count = uint32_t(b * hk * d * (in_place ? s : total)),
                                     .head_dim = uint32_t(d),
                                     .heads = uint32_t(hk),
                                     .queries = uint32_t(s),
                                     .past = uint32_t(past_rows),
                                     .stride = uint32_t(stride),
                                     .append = in_place,
                                     .past_stride = uint32_t(cache ? row_stride(*past, past_rows) : past_rows)};
  const VNTensor* from = cache ? past.get() : target.get();
  // A producer that wrote the new row in its place already (cacheRowProducer)
  // leaves nothing to copy.
  const bool written = in_place && s == 1 && source->buffer == past->buffer && source->cacheStride == stride &&
                       source->offset == past_rows * d * element_size(activation_);
  if (!written) kernel<Kernel::cache_append>({source.get(), from, target.get()}, p, p.count, false, command);
  if (cache && kv != nullptr) kv->countAppend(b * hk * s * d, in_place ? 0 : b * hk * past_rows * d);
  return target;
}

std::vector<VNTensorRef> VNGraph::attention(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                            const mtl::CommandBufferRef& command, KvCache* kv) {
  const uint64_t hq = node.attrs[kAttentionQueryHeads], hk = node.attrs[kAttentionKvHeads];
  const uint64_t d = node.attrs[kAttentionHeadDim], cache_word = node.attrs[kAttentionCache];
  const VNTensorRef& q = in[kAttentionQ];
  const VNTensorRef& k = in[kAttentionK];
  const VNTensorRef& v = in[kAttentionV];
  const VNTensorRef& mask = in[kAttentionMask];
  graph_require(q->shape.size() == 3 && hq != 0 && hk != 0 && hq % hk == 0 && d >= 1 && d <= kMaxHeadDim &&
                    cache_word <= 1,
                "Attention attributes");
  const bool cache = cache_word == 1;
  const uint64_t b = q->shape[0], s = q->shape[1];
  uint64_t past = 0;
  if (cache) {
    const VNTensorRef& pk = in[kAttentionPastK];
    const VNTensorRef& pv = in[kAttentionPastV];
    graph_require(pk->shape.size() == 4 && pk->shape[0] == b && pk->shape[1] == hk && pk->shape[3] == d &&
                      pv->shape == pk->shape && pk->dtype == activation_ && pv->dtype == activation_,
                  "KV cache shape");
    past = pk->shape[2];
    // A past view must hold its reserved rows inside its buffer.
    for (const VNTensorRef& t : {pk, pv}) {
      const uint64_t rows = row_stride(*t, past);
      uint64_t elems = 0;
      const bool sized = !__builtin_mul_overflow(b, hk, &elems) && !__builtin_mul_overflow(elems, rows, &elems) &&
                         !__builtin_mul_overflow(elems, d, &elems);
      graph_require(sized && rows >= past && t->buffer != nullptr && t->offset <= t->buffer->length() &&
                        elems <= (t->buffer->length() - t->offset) / element_size(activation_),
                    "KV cache shape");
    }
  }
  const uint64_t total = past + s;
  const bool masked = mask->count != 0;
  // hq and hk are bounded before their products are formed (q's dimensions
  // are at most 2^30).
  graph_require(hq <= q->shape[2] && q->shape[2] == hq * d && total <= kMaxContext && k->shape == std::vector<uint64_t>{b, s, hk * d} &&
                    v->shape == k->shape && k->dtype == activation_ && v->dtype == activation_ &&
                    mask->dtype == activation_ && (!masked || mask->shape == std::vector<uint64_t>{b, 1, s, total}),
                "Attention shape/mask; maximum context 8192");

  const bool products = b > 0 && s >= kProductMinQueries && d >= kProductMinHeadDim;
  // The graph takes equal head counts only; the batched products also serve
  // grouped key/value heads (each key head's query heads are stacked as the
  // rows of one product), which is what a prefill of the text side needs to
  // run at the speed of the matrix product rather than of the tiled kernels.
  const bool graph = products && hq == hk && graphAttention_ && masked && (!cache || activation_ == kElemF32);
  // Without a cache the graph reads K and V where their projections wrote
  // them, as it reads Q: a head-major copy of each would be read once, by
  // the graph's own copy into panels.
  if (graph && !cache && q->offset == 0 && k->offset == 0 && v->offset == 0 && mask->offset == 0) {
    VNTensorRef out = tensor(q->shape, activation_);
    attentionGraph(q, k, v, mask, out, b, hq, s, total, d, command, true);
    return {out};
  }
  VNTensorRef kt = cacheTensor(k, cache ? in[kAttentionPastK] : nullptr, cache, kv, b, hk, s, past, d, command);
  VNTensorRef vt = cacheTensor(v, cache ? in[kAttentionPastV] : nullptr, cache, kv, b, hk, s, past, d, command);
  VNTensorRef out = tensor(q->shape, activation_);
  const shaders::AttentionParams p{.query_heads = uint32_t(hq),
                                   .kv_heads = uint32_t(hk),
                                   .head_dim = uint32_t(d),
                                   .queries = uint32_t(s),
                                   .keys = uint32_t(total),
                                   .kv_stride = uint32_t(row_stride(*kt, total)),
                                   .causal = !masked};

  if (graph) {
    graph_require(q->offset == 0 && kt->offset == 0 && vt->offset == 0 && mask->offset == 0,
                  "Graph attention requires zero-offset activations");
    attentionGraph(q, kt, vt, mask, out, b, hq, s, total, d, command, false);
  } else if (products && mpsAttention_ && !masked && activation_ == kElemF32) {
    // A causal prefill of float activations: the products path's bits in
    // blocks of query rows, hidden keys left out where that changes no bit.
    kernelGroups<Kernel::attention_causal>({q.get(), kt.get(), out.get(), vt.get()}, p, {1, 1, b * hq},
                                           shaders::kRowThreads, command);
  } else if (products && mpsAttention_) {
    attentionMatrices(q, kt, vt, mask, out, p, b, hq, s, total, d, command);
  } else if (b > 0 && (s >= kProductMinQueries || total > shaders::kAttentionMaxKeys)) {
    VNTensorRef scores = tensor({b * hq * s * total}, activation_);
    const VNTensor* m = masked ? mask.get() : scores.get();
    kernelGroups<Kernel::attention_scores>(
        {q.get(), kt.get(), scores.get(), m}, p,
        {ceil_div(total, shaders::kAttentionTile), ceil_div(s, shaders::kAttentionTile), b * hq}, shaders::kRowThreads,
        command);
    kernel<Kernel::attention_softmax>({scores.get(), scores.get(), scores.get()}, p, b * hq * s, true, command);
    kernelGroups<Kernel::attention_values>(
        {scores.get(), vt.get(), out.get()}, p,
        {ceil_div(d, shaders::kAttentionTile), ceil_div(s, shaders::kAttentionTile), b * hq}, shaders::kRowThreads,
        command);
    recycle(scores);
  } else {
    const VNTensor* m = masked ? mask.get() : q.get();
    const Tensors buffers{q.get(), kt.get(), out.get(), vt.get(), m};
    if (d == shaders::kDecodeHeadDim && s == 1)
      kernel<Kernel::attention_decode64>(buffers, p, b * s * hq, true, command);
    else
      kernel<Kernel::attention>(buffers, p, b * s * hq, true, command);
  }
  if (cache) return {out, kt, vt};
  recycle(kt);
  recycle(vt);
  return {out};
}

void VNGraph::attentionGraph(const VNTensorRef& q, const VNTensorRef& k, const VNTensorRef& v,
                             const VNTensorRef& mask, const VNTensorRef& out, uint64_t b, uint64_t hq, uint64_t s,
                             uint64_t total, uint64_t d, const mtl::CommandBufferRef& command, bool token_major) {
  // Head-major K and V hold cap rows per head, of which the first total
  // are read; token-major ones (cap 0 in the key) are [b, total, hq, d].
  const uint64_t cap = token_major ? 0 : row_stride(*k, total);
  const DataType act = data_type(activation_);
  const auto i = [](uint64_t x) { return int64_t(x); };
  CachedGraph& g = *attentionGraphs_.get({kAttentionGraph, {b, hq, s, total, d, cap}}, [&] {
    auto made = std::make_unique<CachedGraph>();
    mpsg::Graph& graph = made->graph;
    const mpsg::Tensor qs = graph.placeholder({i(b), i(s), i(hq), i(d)}, act, "q");
    const std::vector<int64_t> kv_shape =
        token_major ? std::vector<int64_t>{i(b), i(total), i(hq), i(d)} : std::vector<int64_t>{i(b), i(hq), i(cap), i(d)};
    mpsg::Tensor ks = graph.placeholder(kv_shape, act, "k");
    mpsg::Tensor vs = graph.placeholder(kv_shape, act, "v");
    const mpsg::Tensor ms = graph.placeholder({i(b), 1, i(s), i(total)}, act, "mask");
    made->inputs = {qs, ks, vs, ms};
    if (token_major) {
      ks = graph.transpose(ks, 1, 2);
      vs = graph.transpose(vs, 1, 2);
    } else if (cap != total) {
      ks = graph.slice(ks, 2, 0, i(total));
      vs = graph.slice(vs, 2, 0, i(total));
    }
    const mpsg::Tensor o = graph.scaledDotProductAttention(graph.transpose(qs, 1, 2), ks, vs, ms,
                                                           1.0f / std::sqrt(float(d)));
    made->result = graph.transpose(o, 1, 2);
    return made;
  });
  const std::vector<int64_t> kv_shape =
      token_major ? std::vector<int64_t>{i(b), i(total), i(hq), i(d)} : std::vector<int64_t>{i(b), i(hq), i(cap), i(d)};
  g.graph.encode(command,
                 {{g.inputs[0], {q->buffer, q->offset, {i(b), i(s), i(hq), i(d)}, act}},
                  {g.inputs[1], {k->buffer, k->offset, kv_shape, act}},
                  {g.inputs[2], {v->buffer, v->offset, kv_shape, act}},
                  {g.inputs[3], {mask->buffer, mask->offset, {i(b), 1, i(s), i(total)}, act}}},
                 {{g.result, {out->buffer, out->offset, {i(b), i(s), i(hq), i(d)}, act}}});
}

void VNGraph::attentionMatrices(const VNTensorRef& q, const VNTensorRef& k, const VNTensorRef& v,
                                const VNTensorRef& mask, const VNTensorRef& out, const shaders::AttentionParams& params,
                                uint64_t b, uint64_t hq, uint64_t s, uint64_t total, uint64_t d,
                                const mtl::CommandBufferRef& command) {
  // Query heads h of one key head kh (h / group = kh) are consecutive in the
  // head-major layout [b, hq, s, d], so each key head's queries form one
  // (group x s) x d matrix, and the scores [b x hq, s, total] are the same
  // memory as [b x hk, group x s, total]. With equal head counts (group 1)
  // these are one product per (batch, head).
  const uint64_t hk = params.kv_heads, group = hq / hk, rows = group * s;
  const uint64_t es = element_size(activation_), cap = row_stride(*k, total), batch = b * hk;
  const DataType act = data_type(activation_);
  shaders::AttentionParams p = params;
  p.batch = uint32_t(b);
  p.direction = 0;
  VNTensorRef qh = tensor({b, hq, s, d}, activation_);
  kernel<Kernel::attention_layout>({q.get(), q.get(), qh.get()}, p, qh->count, false, command);
  VNTensorRef scores = tensor({b * hq, s, total}, activation_);
  auto product = [&](ShapeKind kind, uint64_t columns, uint64_t interior, bool transpose_right) {
    return matrices_.get({kind, {batch, rows, columns, interior}}, [&] {
      return std::make_shared<mps::MatrixMultiplication>(false, transpose_right, rows, columns, interior, 1.0, 0.0);
    });
  };
  product(kAttentionScores, total, d, true)
      ->encode(command, {qh->buffer, 0, {rows, d, batch, d * es, rows * d * es, act}},
               {k->buffer, k->offset, {total, d, batch, d * es, cap * d * es, act}},
               {scores->buffer, 0, {rows, total, batch, total * es, rows * total * es, act}});
  const VNTensor* m = mask->count != 0 ? mask.get() : scores.get();
  kernel<Kernel::attention_scale_mask>({scores.get(), m, scores.get()}, p, scores->count, false, command);
  kernel<Kernel::attention_softmax>({scores.get(), scores.get(), scores.get()}, p, b * hq * s, true, command);
  VNTensorRef values = tensor({b, hq, s, d}, activation_);
  product(kAttentionValues, d, total, false)
      ->encode(command, {scores->buffer, 0, {rows, total, batch, total * es, rows * total * es, act}},
               {v->buffer, v->offset, {total, d, batch, d * es, cap * d * es, act}},
               {values->buffer, 0, {rows, d, batch, d * es, rows * d * es, act}});
  p.direction = 1;
  kernel<Kernel::attention_layout>({values.get(), values.get(), out.get()}, p, values->count, false, command);
  recycle(qh);
  recycle(scores);
  recycle(values);
}

}  // namespace vorn
