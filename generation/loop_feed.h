// The inputs of each pass of one generation, as graph tensors: the prepared
// inputs bound once, the first pass's feed (the whole prompt, or what
// follows the prefix the KV cache holds over views of its K and V), and the
// feed of each decode step (one token, its position and mask row, nothing
// for the vision encoder, the previous pass's K and V), with what a pass no
// longer needs handed back to the graph's pool.
#pragma once
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "generation/loop_request.h"
#include "gpu/kv_cache.h"
#include "gpu/vn_graph.h"

namespace vorn {

class LoopFeed {
 public:
  using Feed = std::map<std::string, VNTensorRef>;

  LoopFeed(VNGraph& graph, const LoopRequest& request) : g_(graph), request_(request), act_(graph.activation()) {}

  // Every prepared input as a graph tensor, its bytes copied once; each
  // input's time into tensor_ms and its stages into stage_ms.
  void bind(nlohmann::json* tensor_ms, nlohmann::json* stage_ms);
  // Whether every image token of the prompt lies inside its first `reused`
  // tokens (an image is encoded whole or not at all).
  bool imageWithin(uint64_t reused) const;
  // The first pass's feed: the prompt, or with reused > 0 its last
  // P - reused tokens over views of `cached` holding their first reused rows
  // (VornInference "Missing VLM input" without the inputs that needs).
  void start(uint64_t reused, const KvTensors& cached);
  const Feed& current() const { return feed_; }
  // The feed of the decode step of `token` at `position`, over the cache
  // tensors of pass r; what the pass was fed (but the prompt's and the
  // steps' shared inputs), its logits and its captures go back to the pool.
  void advance(const VNRunResult& r, int64_t token, uint64_t position);

 private:
  VNGraph& g_;
  const LoopRequest& request_;
  const uint64_t act_;
  Feed prompt_;     // the bound prompt inputs
  Feed constants_;  // inputs every decode step shares
  Feed feed_;       // the next pass's inputs
  VNTensorRef promptMask_;
};

}  // namespace vorn
