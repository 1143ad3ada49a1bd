// What a kernel of the compute device sees (see compute_device.h for the
// device itself). A kernel is a plain function run once per threadgroup: it
// loops over the threads of its group itself, so the phases of a kernel
// between threadgroup barriers become consecutive loops, and the group's
// shared memory is the function's own locals. Threadgroups of one dispatch
// run in any order and on any thread, so a kernel's result for a group must
// not depend on another group of the same dispatch.
//
// A kernel whose groups are too few or too large for one thread each may
// instead run its whole grid itself (KernelGridFn): the device calls it once
// per dispatch, on the committing thread, and it spreads the simulated
// threads of its groups over the workers with parallel_for, one stage
// (the span between two threadgroup barriers) after another. It keeps each
// group's arithmetic and reduction order; how it cuts a stage into parts
// must follow from the dispatch's shapes alone, never from the number of
// threads, so that the bits do not either. Parts of one stage may serve
// several groups at once (query heads that read the same keys).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vorn::mtl {

// Sizes of grids and threadgroups.
struct Size3 {
  uint64_t width = 1;
  uint64_t height = 1;
  uint64_t depth = 1;
  uint64_t volume() const { return width * height * depth; }
};

constexpr uint32_t kMaxBufferBindings = 31;
constexpr uint64_t kMaxThreadsPerThreadgroup = 1024;
// Lanes of a SIMD group; kernels that reduce across lanes are written for
// this width.
constexpr uint64_t kSimdWidth = 32;

// Options of a library build. The macros of the kernel source are its
// compile-time switches; a KernelSource names the one macro that picks the
// variant of its kernels.
struct CompileOptions {
  bool fast_math_enabled = true;
  std::vector<std::pair<std::string, int64_t>> macros;
};

// One dispatch as its kernel sees it.
struct KernelArgs {
  // The bound memory of each index, from the bound offset on: a buffer's
  // storage or the bytes of set_bytes. Null where nothing is bound.
  uint8_t* data[kMaxBufferBindings] = {};
  uint64_t size[kMaxBufferBindings] = {};
  Size3 grid;        // threads of the dispatch
  Size3 group_size;  // threads per threadgroup (the last group may hold fewer)
  Size3 groups;      // threadgroups of the dispatch
  // First fault a kernel reported, shared by the groups of the dispatch.
  std::atomic<const char*>* fault_slot = nullptr;
  // Different for every dispatch of the process (never 0): a kernel may key
  // per-thread scratch derived from its inputs on it, to share that work
  // between the groups one thread runs.
  uint64_t dispatch_id = 0;

  template <class T>
  T* buffer(uint32_t index) const {
    return reinterpret_cast<T*>(data[index]);
  }
  template <class T>
  const T& bytes(uint32_t index) const {
    return *reinterpret_cast<const T*>(data[index]);
  }
  // Threads of group position g along x: [begin, end), the end cut at the
  // grid so a partial last group runs only the threads asked for.
  uint64_t thread_begin_x(uint64_t gx) const { return gx * group_size.width; }
  uint64_t thread_end_x(uint64_t gx) const {
    uint64_t end = (gx + 1) * group_size.width;
    return end < grid.width ? end : grid.width;
  }
  // Fails the command buffer with what (a static text) once the dispatch
  // has finished; the kernel should stop touching memory it doubts.
  void fault(const char* what) const {
    const char* expected = nullptr;
    if (fault_slot != nullptr) fault_slot->compare_exchange_strong(expected, what);
  }
  // The fault of a kernel that could not get its scratch memory: the
  // command buffer fails as out of memory rather than as a broken kernel.
  void fault_out_of_memory() const { fault(kScratchMemoryFault); }
  static constexpr const char kScratchMemoryFault[] = "out of memory for the kernel's scratch";
};

// A kernel body, run once per threadgroup at group position g.
using KernelFn = void (*)(const KernelArgs& args, Size3 g);
// A kernel that runs every group of its dispatch itself (see above). It
// reports failures (such as scratch memory it could not get) with
// args.fault.
using KernelGridFn = void (*)(const KernelArgs& args);
// Checked once per dispatch before any group runs: true when the bound
// memory is large enough for what the kernel will read and write given its
// parameters and grid; false with *error set otherwise (nothing runs).
using KernelCheck = bool (*)(const KernelArgs& args, std::string* error);

// A kernel by name, in its two compiled variants: [0] when the source's
// variant macro is 0 or absent, [1] when non-zero. A null check means the
// kernel bounds itself. A variant is either a per-group body or a grid
// function (the other null).
struct KernelSymbol {
  const char* name;
  KernelFn variants[2];
  KernelCheck checks[2];
  KernelGridFn grids[2];
};

// The table that stands for a library's source text.
struct KernelSource {
  const char* variant_macro;  // may be null: one variant
  const KernelSymbol* symbols;
  size_t count;
};

// Helpers of KernelCheck functions. Sizes are computed saturating, so that
// parameters which would wrap a product ask for an impossible size instead.
inline uint64_t sat_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}
inline uint64_t sat_add(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}
// True when index holds at least bytes; otherwise false with *error naming
// the index and both sizes.
bool kernel_require(const KernelArgs& args, uint32_t index, uint64_t bytes, std::string* error);
// False with *error = what (for parameter checks).
bool kernel_refuse(const char* what, std::string* error);

}  // namespace vorn::mtl
