// Helpers shared by the convolution, pooling, normalisation and resize
// kernels: reading NCHW shapes from value records, attribute words as the
// signed 32-bit integers the converter writes, and the check-message format.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kernels/kernel.h"
#include "kernels/split_gate.h"
#include "platform/parallel.h"

// Hot loops of these kernels are written as plain loops that rely on the
// auto-vectoriser; GCC only runs its full vectoriser from -O3, and turns
// float selects (clamps, Relu) into vector min/max only when it need not
// preserve floating-point exception flags, which nothing here reads.
#if defined(__GNUC__) && !defined(__clang__)
#define VORN_VECTORIZE_FILE _Pragma("GCC optimize(\"O3\", \"no-trapping-math\")")
#else
#define VORN_VECTORIZE_FILE
#endif

namespace vorn::kern {

// Largest element count of a value these kernels accept: products of two
// extents or of an extent and a kernel size then stay far inside int64.
constexpr int64_t kMaxElements = int64_t{1} << 31;

// Four NCHW extents of a value. Rank 4 reads the dims as they are; lower
// ranks align to the right with a batch of 1 ([C, H, W], [H, W], [W]).
struct Nchw {
  int64_t n = 1, c = 1, h = 1, w = 1;
  int64_t plane() const { return h * w; }
  int64_t count() const { return n * c * h * w; }
};

inline bool value_nchw(const ValueRecord& v, Nchw* out) {
  uint64_t r = v.rank();
  if (r < 1 || r > 4) return false;
  int64_t d[4] = {1, 1, 1, 1};
  for (uint64_t i = 0; i < r; ++i) {
    if (v.dim(i) >= static_cast<uint64_t>(kMaxElements)) return false;
    d[4 - r + i] = static_cast<int64_t>(v.dim(i));
  }
  Nchw s{d[0], d[1], d[2], d[3]};
  // Every product below is of values under 2^31 checked one step at a time.
  int64_t total = 1;
  for (int64_t e : d) {
    total *= e;
    if (total > kMaxElements) return false;
  }
  if (static_cast<uint64_t>(total) != v.count()) return false;
  *out = s;
  return true;
}

// Element count of a value, or -1 when it exceeds what the kernels index.
inline int64_t value_count(const ValueRecord& v) {
  return v.count() > static_cast<uint64_t>(kMaxElements) ? -1 : static_cast<int64_t>(v.count());
}

inline int32_t attr_int(const NodeRecord& n, uint64_t k) {
  return static_cast<int32_t>(static_cast<uint32_t>(n.attr(k)));
}

// True when input slot k is used and names a value of the graph.
inline bool has_input(const CpuState& s, const NodeRecord& n, uint64_t k) {
  return n.input_count() > k && n.input(k) < s.value_count &&
         static_cast<int32_t>(static_cast<uint32_t>(n.input(k))) != -1;
}

// Every node of these families needs input 0 and output 0 inside the graph.
inline bool has_io(const CpuState& s, const NodeRecord& n) {
  return n.input_count() >= 1 && n.output_count() >= 1 && n.input(0) < s.value_count &&
         n.output(0) < s.value_count;
}

#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
inline bool fail(char* msg, size_t cap, const char* fmt, ...) {
  if (msg != nullptr && cap > 0) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, cap, fmt, ap);
    va_end(ap);
  }
  return false;
}

// Runs body(i) for i < n across the worker pool when parallel is true (and
// the node may split at all), else in order on the caller's thread; both
// give the same result because every iteration writes its own part of the
// output.
template <class F>
inline void run_split(bool parallel, size_t n, F&& body) {
  if (parallel && n > 1 && cpu_split_allowed()) {
    parallel_for(n, body);
  } else {
    for (size_t i = 0; i < n; ++i) body(i);
  }
}

}  // namespace vorn::kern
