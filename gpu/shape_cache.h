// Objects the generative graph builds for one shape and reuses for the next
// call of that shape (matrix-product objects, graph-layer graphs), found by
// the shape's values rather than by a text made of them on every call.
#pragma once
#include <array>
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
  // The entry of key, made by make() when there is none.
  template <class Make>
  Value& get(const ShapeKey& key, Make&& make) {
    auto it = entries_.find(key);
    if (it == entries_.end()) it = entries_.emplace(key, make()).first;
    return it->second;
  }

  size_t size() const { return entries_.size(); }

 private:
  std::map<ShapeKey, Value> entries_;
};

}  // namespace vorn
