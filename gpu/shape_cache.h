// Objects the generative graph builds for one shape and reuses for the next
// call of that shape (matrix-product objects, graph-layer graphs), found by
// the shape's values and bounded in number.
//
// Bounded because a prompt's length is part of a prefill's shapes: a session
// that keeps answering prompts of new lengths would otherwise keep an object
// for every length it ever saw. At most `capacity` entries are kept; making a
// new one past that drops the one used longest ago. Nothing is lost by
// dropping: an object is made again the same from its shape, and work a
// command buffer already holds keeps its own reference to what it runs.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>

namespace vorn {

// A shape's values: what kind of object, then up to six dimensions.
struct ShapeKey {
  uint64_t kind = 0;
  std::array<uint64_t, 6> dims{};
  auto operator<=>(const ShapeKey&) const = default;
};

template <class Value>
class ShapeCache {
 public:
  explicit ShapeCache(size_t capacity) : capacity_(capacity) {}

  // The entry of key, made by make() when there is none.
  template <class Make>
  Value& get(const ShapeKey& key, Make&& make) {
    auto it = entries_.find(key);
    if (it == entries_.end()) {
      if (entries_.size() >= capacity_) dropOldest();
      it = entries_.emplace(key, Entry{make(), 0}).first;
    }
    it->second.used = ++clock_;
    return it->second.value;
  }

  size_t size() const { return entries_.size(); }
  size_t capacity() const { return capacity_; }

 private:
  struct Entry {
    Value value;
    uint64_t used;
  };

  // A scan of at most `capacity` entries, and only when one is made.
  void dropOldest() {
    auto oldest = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
      if (it->second.used < oldest->second.used) oldest = it;
    if (oldest != entries_.end()) entries_.erase(oldest);
  }

  size_t capacity_;
  uint64_t clock_ = 0;
  std::map<ShapeKey, Entry> entries_;
};

}  // namespace vorn
