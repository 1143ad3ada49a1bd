// A generative model loaded onto the compute device as the generative
// session loads it (container, GPU-shared weights, VNGraph), the inputs a
// request prepares for it, and a greedy generation loop the way the
// generation layer drives the graph: a prefill with a reserved KV cache,
// then one decode step per token feeding back the cache tensors.
#pragma once
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "container/records.h"
#include "generative_fixture.h"
#include "gpu/vn_graph.h"
#include "gpu/weight_loader.h"
#include "platform/half.h"

namespace vorn::test {

struct LoadedModel {
  OpenModel model;
  GenerativeShape shape;
  WeightSlot slot;
  std::unique_ptr<VNGraph> graph;
  KvCache kv;  // the cache generate() fills, as a session's

  LoadedModel(const std::string& name, uint64_t activation, const std::string& policy = "auto")
      : model(name), shape(generative_shape(name)) {
    if (!model.ok) throw std::runtime_error("model does not open");
    slot = weight_slot_from_buffer(weight_buffer_alloc(model.handle.data_size, kWeightsGpuShared));
    if (slot.context == nullptr || weights_load_parallel(&model.handle, &slot, 4, 0).tag != 0)
      throw std::runtime_error("weights do not load");
    graph = std::make_unique<VNGraph>(slot.context, model.handle.meta, model.handle.meta_len, activation);
    graph->configure({{"backend", policy}});
  }
  ~LoadedModel() {
    graph.reset();
    weight_slot_release(&slot);
  }
  VNGraph& g() { return *graph; }
};

inline VNTensorRef host_tensor(VNGraph& g, const std::vector<uint64_t>& shape, uint64_t dtype, const void* data = nullptr) {
  VNTensorRef t = g.tensor(shape, dtype);
  const uint64_t bytes = t->count * element_size(dtype);
  if (data != nullptr && bytes > 0) std::memcpy(t->contents(), data, bytes);
  else if (bytes > 0) std::memset(t->contents(), 0, bytes);
  return t;
}

// Floats stored as the activation kind.
inline VNTensorRef float_tensor(VNGraph& g, const std::vector<uint64_t>& shape, const std::vector<float>& values) {
  VNTensorRef t = host_tensor(g, shape, g.activation());
  for (size_t i = 0; i < values.size(); ++i) {
    if (g.activation() == kElemF16) {
      const uint16_t h = float_to_half(values[i]);
      std::memcpy(t->contents() + 2 * i, &h, 2);
    } else {
      std::memcpy(t->contents() + 4 * i, &values[i], 4);
    }
  }
  return t;
}

inline std::vector<float> read_floats(const VNTensor& t) {
  std::vector<float> out(t.count);
  for (uint64_t i = 0; i < t.count; ++i) {
    if (t.dtype == kElemF16) {
      uint16_t h;
      std::memcpy(&h, t.contents() + 2 * i, 2);
      out[i] = half_to_float(h);
    } else {
      std::memcpy(&out[i], t.contents() + 4 * i, 4);
    }
  }
  return out;
}

inline float lowest_finite(uint64_t activation) { return activation == kElemF16 ? -65504.0f : -3.4028235e38f; }

// The test image: view v, channel c, pixel (x, y) holds k / 128 - 1 with
// k = (37 v + 101 c + 7 y + 3 x + (x y mod 13)) mod 256 (also in the
// reference script).
inline std::vector<float> test_pixels(uint64_t views) {
  std::vector<float> p(views * 3 * 512 * 512);
  size_t i = 0;
  for (uint64_t v = 0; v < views; ++v)
    for (uint64_t c = 0; c < 3; ++c)
      for (uint64_t y = 0; y < 512; ++y)
        for (uint64_t x = 0; x < 512; ++x)
          p[i++] = float((37 * v + 101 * c + 7 * y + 3 * x + (x * y) % 13) % 256) / 128.0f - 1.0f;
  return p;
}

// The inputs of a prefill over ids with `views` image views; an explicit
// causal mask unless `causal` asks for the empty one.
inline std::map<std::string, VNTensorRef> prompt_inputs(VNGraph& g, const GenerativeShape& s,
                                                         const std::vector<int64_t>& ids, uint64_t views,
                                                         const std::vector<int64_t>& image_positions, bool causal) {
  const uint64_t p = ids.size(), grid = 512 / s.patch, patches = grid * grid;
  std::map<std::string, VNTensorRef> in;
  in["input_ids"] = host_tensor(g, {1, p}, kElemI64, ids.data());
  std::vector<int64_t> pos(p);
  for (uint64_t i = 0; i < p; ++i) pos[i] = int64_t(i);
  in["position_ids"] = host_tensor(g, {1, p}, kElemI64, pos.data());
  if (causal) {
    in["text_attention_mask"] = host_tensor(g, {1, 1, 0, 0}, g.activation());
  } else {
    std::vector<float> mask(p * p, 0.0f);
    for (uint64_t r = 0; r < p; ++r)
      for (uint64_t c = r + 1; c < p; ++c) mask[r * p + c] = lowest_finite(g.activation());
    in["text_attention_mask"] = float_tensor(g, {1, 1, p, p}, mask);
  }
  in["pixel_values"] = float_tensor(g, {views, 3, 512, 512}, test_pixels(views));
  std::vector<int64_t> patch_ids(views * patches);
  for (uint64_t i = 0; i < patch_ids.size(); ++i) patch_ids[i] = int64_t(i % patches);
  in["patch_position_ids"] = host_tensor(g, {views, patches}, kElemI64, patch_ids.data());
  in["vision_attention_mask"] = host_tensor(g, {views, 1, patches, patches}, g.activation());
  in["image_token_positions"] = host_tensor(g, {image_positions.size()}, kElemI64, image_positions.data());
  for (uint64_t l = 0; l < s.text_layers; ++l)
    for (const char* kind : {"past_key.", "past_value."})
      in[kind + std::to_string(l)] = host_tensor(g, {1, s.kv_heads, 0, s.head_dim}, g.activation());
  return in;
}

// The next step's inputs: one token at `position`, the vision inputs emptied,
// the cache tensors of the previous pass.
inline std::map<std::string, VNTensorRef> decode_inputs(VNGraph& g, const GenerativeShape& s, int64_t token,
                                                         uint64_t position, bool causal,
                                                         const std::map<std::string, VNTensorRef>& cache) {
  const uint64_t grid = 512 / s.patch, patches = grid * grid;
  std::map<std::string, VNTensorRef> in = cache;
  in["input_ids"] = host_tensor(g, {1, 1}, kElemI64, &token);
  const int64_t pos = int64_t(position);
  in["position_ids"] = host_tensor(g, {1, 1}, kElemI64, &pos);
  in["text_attention_mask"] = causal ? host_tensor(g, {1, 1, 0, 0}, g.activation())
                                     : host_tensor(g, {1, 1, 1, position + 1}, g.activation());
  in["pixel_values"] = host_tensor(g, {0, 3, 512, 512}, g.activation());
  in["patch_position_ids"] = host_tensor(g, {0, patches}, kElemI64);
  in["vision_attention_mask"] = host_tensor(g, {0, 1, patches, patches}, g.activation());
  in["image_token_positions"] = host_tensor(g, {0}, kElemI64);
  return in;
}

// Logits of the last position as floats.
inline std::vector<float> last_logits(const VNTensor& logits) {
  std::vector<float> all = read_floats(logits);
  const uint64_t v = logits.shape.back();
  return std::vector<float>(all.end() - int64_t(v), all.end());
}

inline int64_t argmax(const std::vector<float>& v) {
  return int64_t(std::max_element(v.begin(), v.end()) - v.begin());
}

struct Generation {
  std::vector<int64_t> tokens;
  std::vector<std::vector<float>> logits;
};

// Greedy steps (or the forced tokens when given) from a prompt.
// The KV cache (m.kv) reserves prompt + steps rows unless `capacity` says
// otherwise (0: each step reallocates and copies).
inline Generation generate(LoadedModel& m, const std::vector<int64_t>& prompt, uint64_t views,
                           const std::vector<int64_t>& image_positions, uint64_t steps, bool causal,
                           const std::vector<int64_t>& forced = {}, int64_t capacity = -1,
                           std::map<std::string, VNTensorRef>* last_cache = nullptr) {
  VNGraph& g = m.g();
  m.kv.reserve(capacity < 0 ? prompt.size() + steps : uint64_t(capacity));
  auto feed = prompt_inputs(g, m.shape, prompt, views, image_positions, causal);
  Generation out;
  for (uint64_t step = 0; step < steps; ++step) {
    VNRunResult r = g.run(feed, {}, &m.kv);
    out.logits.push_back(last_logits(*r.logits));
    const int64_t token = step < forced.size() ? forced[step] : argmax(out.logits.back());
    out.tokens.push_back(token);
    for (auto& [name, t] : feed)
      if (!r.cache.contains(name)) g.recycle(t);
    g.recycle(r.logits);
    feed = decode_inputs(g, m.shape, token, prompt.size() + step, causal, r.cache);
    if (last_cache != nullptr) *last_cache = r.cache;
  }
  return out;
}

inline double max_abs(const std::vector<float>& v) {
  double m = 0;
  for (float x : v) m = std::max(m, double(std::fabs(x)));
  return m;
}

inline double max_diff(const std::vector<float>& a, const std::vector<float>& b) {
  double m = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) m = std::max(m, double(std::fabs(a[i] - b[i])));
  return a.size() == b.size() ? m : INFINITY;
}

}  // namespace vorn::test
