// NodePlan: what a kernel's prepare step decides once, at engine creation,
// for one node, so that a run only reads it: the bytes of the shared
// workspace the node needs and a small record of the kernel's own type
// (shapes, strides, the path and tiling chosen).
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

namespace vorn {

struct NodePlan {
  static constexpr size_t kRecordBytes = 640;

  // Bytes of the engine's im2col workspace the node's run uses (0: none).
  uint64_t workspace_bytes;
  // The node's work is too small to spread over the pool: it runs on the
  // calling thread (kernels/split_gate.h). Set before the prepare step runs.
  bool serial = false;
  alignas(16) unsigned char record[kRecordBytes];

  template <class T>
  void set(const T& value) {
    fits<T>();
    new (record) T(value);
  }
  template <class T>
  const T& get() const {
    fits<T>();
    return *std::launder(reinterpret_cast<const T*>(record));
  }

 private:
  template <class T>
  static constexpr void fits() {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "a plan record is plain data, copied with the plan");
    static_assert(sizeof(T) <= kRecordBytes && alignof(T) <= 16, "a plan record fits the plan");
  }
};

}  // namespace vorn
