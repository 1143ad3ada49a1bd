// Runs one kernel of the generative library on the host device: buffers from
// host vectors, the kernel's parameter struct, a dispatch, and the outputs
// read back. Shared by the kernel tests and the kernel benchmark.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "gpu/shaders/kernel_ids.h"
#include "gpu/shaders/kernel_library.h"
#include "gpu/shaders/shader_types.h"
#include "platform/compute_device.h"

namespace vorn::test {

using shaders::half;
using shaders::Kernel;
using shaders::KernelParams;

struct Bind {
  uint32_t index;
  mtl::BufferRef buffer;
  uint64_t offset = 0;
};

class KernelHarness {
 public:
  KernelHarness() : device_(mtl::create_system_default_device()), queue_(device_->new_command_queue()) {
    std::string error;
    for (int v = 0; v < 2; ++v) {
      mtl::CompileOptions options;
      options.fast_math_enabled = false;
      options.macros.push_back({kKernelFloatMacro, v});
      library_[v] = device_->new_library(generative_kernel_source(), options, &error);
    }
  }

  template <class A>
  mtl::PipelineRef pipeline(Kernel kernel) {
    std::string error;
    const char* name = generative_kernel_names()[size_t(kernel)];
    return device_->new_compute_pipeline_state(library_[sizeof(A) == 4]->new_function(name), &error);
  }

  // A shared buffer holding v (at least 1 byte long).
  template <class T>
  mtl::BufferRef buffer(const std::vector<T>& v) {
    mtl::BufferRef b =
        device_->new_buffer(v.empty() ? 1 : v.size() * sizeof(T), mtl::kResourceStorageModeShared);
    if (!v.empty()) std::memcpy(b->contents(), v.data(), v.size() * sizeof(T));
    return b;
  }
  mtl::BufferRef zeros(uint64_t bytes) {
    return device_->new_buffer(bytes ? bytes : 1, mtl::kResourceStorageModeShared);
  }

  template <class T>
  static std::vector<T> read(const mtl::BufferRef& b, size_t n) {
    std::vector<T> v(n);
    std::memcpy(v.data(), b->contents(), n * sizeof(T));
    return v;
  }

  // groups false: `size` threads in threadgroups of `group`; true: `size`
  // threadgroups of `group` threads. Returns the error text ("" on success).
  template <class A, Kernel K>
  std::string run(const std::vector<Bind>& binds, const KernelParams<K>& p, mtl::Size3 size, bool groups,
                  mtl::Size3 group = mtl::Size3{128, 1, 1}) {
    mtl::CommandBufferRef cb = queue_->command_buffer();
    mtl::ComputeEncoderRef e = cb->compute_command_encoder();
    e->set_compute_pipeline_state(pipeline<A>(K));
    for (const Bind& b : binds) e->set_buffer(b.buffer, b.offset, b.index);
    e->set_bytes(&p, sizeof p, shaders::kParamsIndex);
    if (groups)
      e->dispatch_threadgroups(size, group);
    else
      e->dispatch_threads(size, group);
    e->end_encoding();
    cb->commit();
    return cb->status() == mtl::CommandBufferStatus::kCompleted ? std::string() : "failed: " + cb->error();
  }

  const mtl::DeviceRef& device() const { return device_; }
  const mtl::CommandQueueRef& queue() const { return queue_; }

 private:
  mtl::DeviceRef device_;
  mtl::CommandQueueRef queue_;
  mtl::LibraryRef library_[2];
};

// Deterministic values for test inputs.
class Lcg {
 public:
  explicit Lcg(uint32_t seed) : s_(seed) {}
  uint32_t next() { return s_ = s_ * 1664525u + 1013904223u; }
  float uniform(float lo, float hi) { return lo + (hi - lo) * float(next() >> 8) / 16777216.0f; }

 private:
  uint32_t s_;
};

// n values in [lo, hi) already representable in A.
template <class A>
std::vector<A> random_values(Lcg& g, size_t n, float lo = -1, float hi = 1) {
  std::vector<A> v(n);
  for (A& x : v) x = shaders::from_float<A>(g.uniform(lo, hi));
  return v;
}

// A Q8 weight of rows x columns: bytes in -127..127, per-block scales.
inline std::vector<uint8_t> random_q8(Lcg& g, uint64_t rows, uint64_t columns, uint64_t* row_bytes) {
  *row_bytes = (columns + 63) / 64 * 68;
  std::vector<uint8_t> w(rows * *row_bytes, 0);
  for (uint64_t r = 0; r < rows; ++r)
    for (uint64_t b = 0; b * 64 < columns; ++b) {
      uint8_t* block = w.data() + r * *row_bytes + b * 68;
      for (uint64_t i = 0; i < 64 && b * 64 + i < columns; ++i)
        block[i] = uint8_t(int8_t(int(g.next() % 255) - 127));
      const float scale = g.uniform(0.001f, 0.02f);
      std::memcpy(block + 64, &scale, 4);
    }
  return w;
}

}  // namespace vorn::test
