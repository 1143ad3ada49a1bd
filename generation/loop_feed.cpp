#include "generation/loop_feed.h"

#include <cstring>
#include <vector>

#include "base/files.h"
#include "base/vn_error.h"
#include "container/records.h"

namespace vorn {

namespace {

double ms_since(double start) { return (monotonic_seconds_alt() - start) * 1000.0; }

// A new tensor of the given shape and kind holding bytes (zeros when null).
VNTensorRef filled(VNGraph& g, const std::vector<uint64_t>& shape, uint64_t kind, const void* bytes) {
  VNTensorRef t = g.tensor(shape, kind);
  const uint64_t n = t->count * element_size(kind);
  if (n == 0) return t;
  if (bytes != nullptr)
    std::memcpy(t->contents(), bytes, n);
  else
    std::memset(t->contents(), 0, n);
  return t;
}

// A copy of a tensor's shape with dimension 0 set to 0: nothing for the
// vision encoder.
VNTensorRef emptied(VNGraph& g, const VNTensorRef& t) {
  std::vector<uint64_t> shape = t->shape;
  if (!shape.empty()) shape[0] = 0;
  return g.tensor(shape, t->dtype);
}

}  // namespace

void LoopFeed::bind(nlohmann::json* tensor_ms, nlohmann::json* stage_ms) {
  for (const LoopInput& in : request_.inputs) {
    const double start = monotonic_seconds_alt();
    VNTensorRef t = g_.tensor(in.shape, in.kind);
    const double allocated = monotonic_seconds_alt();
    const uint64_t length = in.count * element_size(in.kind);
    if (length > 0) std::memcpy(t->contents(), in.bytes, length);
    const double copy_ms = ms_since(allocated), allocation_ms = (allocated - start) * 1000.0;
    (*tensor_ms)[in.name] = allocation_ms + in.readMs + copy_ms + in.finiteMs;
    (*stage_ms)[in.name] = {{"allocation_ms", allocation_ms},
                            {"file_read_ms", in.readMs},
                            {"copy_ms", copy_ms},
                            {"finite_validation_ms", in.finiteMs}};
    prompt_[in.name] = std::move(t);
  }
  promptMask_ = prompt_.at(kTextMask);
}

bool LoopFeed::imageWithin(uint64_t reused) const {
  auto positions = prompt_.find(kImagePositions);
  if (positions == prompt_.end()) return true;
  const VNTensor& t = *positions->second;
  for (uint64_t i = 0; i < t.count; ++i) {
    int64_t p;
    std::memcpy(&p, t.contents() + 8 * i, 8);
    if (p < 0 || uint64_t(p) >= reused) return false;
  }
  return true;
}

void LoopFeed::start(uint64_t reused, const KvTensors& cached) {
  feed_ = prompt_;
  if (reused > 0) {
    const std::vector<int64_t>& ids = request_.promptIds;
    const uint64_t p = ids.size(), rest = p - reused;
    feed_[kInputIds] = filled(g_, {1, rest}, kElemI64, ids.data() + reused);
    auto pos = prompt_.find(kPositionIds);
    if (pos == prompt_.end() || pos->second->count != p || pos->second->dtype != kElemI64)
      throw_inference("Missing VLM input");
    feed_[kPositionIds] = filled(g_, {1, rest}, kElemI64, pos->second->contents() + reused * 8);
    feed_[kTextMask] = promptMask_->count == 0 ? filled(g_, {1, 1, 0, 0}, act_, nullptr)
                                               : filled(g_, {1, 1, rest, p}, act_,
                                                        promptMask_->contents() + reused * p * element_size(act_));
    for (const char* name : kVisionInputs) {
      auto it = prompt_.find(name);
      if (it == prompt_.end()) throw_inference("Missing VLM input");
      feed_[name] = emptied(g_, it->second);
    }
    for (const auto& [name, t] : cached) {
      auto view = std::make_shared<VNTensor>(*t);
      if (view->shape.size() < 3) throw_inference("Missing VLM input");
      view->shape[2] = reused;
      view->count = shape_element_count(view->shape);
      feed_[name] = std::move(view);
    }
  }
  // Nothing for the vision encoder, and the empty mask of a causal prompt.
  for (const char* name : kVisionInputs) {
    auto it = prompt_.find(name);
    if (it != prompt_.end()) constants_[name] = emptied(g_, it->second);
  }
  if (promptMask_->count == 0) constants_[kTextMask] = filled(g_, {1, 1, 0, 0}, act_, nullptr);
}

void LoopFeed::advance(const VNRunResult& r, int64_t token, uint64_t position) {
  const uint64_t p = request_.promptIds.size();
  const int64_t at = int64_t(position);
  Feed next = prompt_;
  next[kInputIds] = filled(g_, {1, 1}, kElemI64, &token);
  next[kPositionIds] = filled(g_, {1, 1}, kElemI64, &at);
  if (promptMask_->count == 0) {
    next[kTextMask] = constants_[kTextMask];
  } else {
    // The prompt mask's last row, then zeros for the tokens generated since.
    VNTensorRef m = filled(g_, {1, 1, 1, position + 1}, act_, nullptr);
    std::memcpy(m->contents(), promptMask_->contents() + (p - 1) * p * element_size(act_), p * element_size(act_));
    next[kTextMask] = std::move(m);
  }
  for (const char* name : kVisionInputs) {
    auto it = constants_.find(name);
    if (it == constants_.end()) throw_inference("Missing VLM input");
    next[name] = it->second;
  }
  for (const auto& [name, t] : r.cache) next[name] = t;
  auto owned_elsewhere = [&](const VNTensorRef& t) {
    for (const auto& [n, q] : prompt_)
      if (q == t) return true;
    for (const auto& [n, c] : constants_)
      if (c == t) return true;
    return false;
  };
  for (const auto& [name, t] : feed_)
    if (!owned_elsewhere(t)) g_.recycle(t);
  g_.recycle(r.logits);
  for (const auto& [name, t] : r.captures) g_.recycle(t);
  feed_ = std::move(next);
}

}  // namespace vorn
