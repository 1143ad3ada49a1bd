// The host compute device: buffers and their accounting, libraries and
// pipelines, and command buffers running kernels, blits and host commands in
// encoding order, with failures reported on the buffer instead of touching
// memory.
#include "platform/compute_device.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <thread>

#include "platform/matrix_multiplication.h"
#include "platform/parallel.h"

namespace vorn::mtl {
namespace {

// Test kernels. "add": y[i] = x[i] + bytes(3) for i < grid; "mark": each
// thread of the grid adds 1 at its flat position (x + W (y + H z)) of buffer
// 0; "fault": reports a fault.
void add_kernel(const KernelArgs& a, Size3 g) {
  const float* x = a.buffer<float>(0);
  float* y = a.buffer<float>(1);
  const float k = a.bytes<float>(3);
  for (uint64_t i = a.thread_begin_x(g.width); i < a.thread_end_x(g.width); ++i) y[i] = x[i] + k;
}
bool add_check(const KernelArgs& a, std::string* e) {
  return kernel_require(a, 0, a.grid.width * 4, e) && kernel_require(a, 1, a.grid.width * 4, e) &&
         kernel_require(a, 3, 4, e);
}
void add_twice_kernel(const KernelArgs& a, Size3 g) {
  float* y = a.buffer<float>(1);
  const float* x = a.buffer<float>(0);
  for (uint64_t i = a.thread_begin_x(g.width); i < a.thread_end_x(g.width); ++i)
    y[i] = x[i] + 2 * a.bytes<float>(3);
}
void mark_kernel(const KernelArgs& a, Size3 g) {
  uint32_t* out = a.buffer<uint32_t>(0);
  for (uint64_t z = g.depth * a.group_size.depth; z < (g.depth + 1) * a.group_size.depth && z < a.grid.depth;
       ++z)
    for (uint64_t y = g.height * a.group_size.height;
         y < (g.height + 1) * a.group_size.height && y < a.grid.height; ++y)
      for (uint64_t x = a.thread_begin_x(g.width); x < a.thread_end_x(g.width); ++x)
        out[x + a.grid.width * (y + a.grid.height * z)] += 1;
}
bool mark_check(const KernelArgs& a, std::string* e) { return kernel_require(a, 0, a.grid.volume() * 4, e); }
void fault_kernel(const KernelArgs& a, Size3) { a.fault("reported a fault"); }
void no_scratch_kernel(const KernelArgs& a, Size3) { a.fault_out_of_memory(); }
// "rotate", a kernel that runs its whole grid in two stages: y[i] = x[i] +
// bytes(3), then x[i] = y[(i + 1) mod n], each part of the second stage
// reading what another part of the first wrote.
void rotate_grid(const KernelArgs& a) {
  float* x = a.buffer<float>(0);
  float* y = a.buffer<float>(1);
  const float k = a.bytes<float>(3);
  const uint64_t n = a.grid.width;
  parallel_for(a.groups.width, [&](size_t g) {
    for (uint64_t i = a.thread_begin_x(g); i < a.thread_end_x(g); ++i) y[i] = x[i] + k;
  });
  parallel_for(a.groups.width, [&](size_t g) {
    for (uint64_t i = a.thread_begin_x(g); i < a.thread_end_x(g); ++i) x[i] = y[(i + 1) % n];
  });
}

constexpr KernelSymbol kSymbols[] = {
    {"add", {add_kernel, add_twice_kernel}, {add_check, add_check}, {nullptr, nullptr}},
    {"mark", {mark_kernel, nullptr}, {mark_check, nullptr}, {nullptr, nullptr}},
    {"fault", {fault_kernel, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}},
    {"no_scratch", {no_scratch_kernel, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}},
    {"rotate", {nullptr, nullptr}, {add_check, nullptr}, {rotate_grid, nullptr}},
};
constexpr KernelSource kSource{"TEST_TWICE", kSymbols, std::size(kSymbols)};

struct Fixture {
  DeviceRef device = create_system_default_device();
  CommandQueueRef queue = device->new_command_queue();
  PipelineRef pipeline(const char* name, int64_t twice = 0) {
    std::string error;
    CompileOptions options;
    options.macros.push_back({"TEST_TWICE", twice});
    LibraryRef lib = device->new_library(kSource, options, &error);
    return device->new_compute_pipeline_state(lib->new_function(name), &error);
  }
  BufferRef floats(std::vector<float> v, uint32_t options = kResourceStorageModeShared) {
    BufferRef b = device->new_buffer(v.size() * 4, options);
    if (b->contents() != nullptr) std::memcpy(b->contents(), v.data(), v.size() * 4);
    return b;
  }
  static std::vector<float> read(const BufferRef& b, size_t n) {
    const float* p = static_cast<const float*>(b->contents());
    return std::vector<float>(p, p + n);
  }
  void add(const ComputeEncoderRef& e, const PipelineRef& p, const BufferRef& x, const BufferRef& y, float k,
           uint64_t n, uint64_t x_offset = 0) {
    e->set_compute_pipeline_state(p);
    e->set_buffer(x, x_offset, 0);
    e->set_buffer(y, 0, 1);
    e->set_bytes(&k, 4, 3);
    e->dispatch_threads(Size3{n, 1, 1}, Size3{128, 1, 1});
  }
};

TEST(ComputeDevice, BuffersAreAlignedZeroedAndAccounted) {
  set_default_device_fault_hook([] { return true; });
  EXPECT_EQ(create_system_default_device(), nullptr);
  set_default_device_fault_hook(nullptr);
  Fixture f;
  EXPECT_EQ(f.device->new_buffer(0, kResourceStorageModeShared), nullptr);
  EXPECT_FALSE(f.device->has_ane());
  EXPECT_GT(f.device->recommended_max_working_set_size(), uint64_t(1) << 30);
  EXPECT_FALSE(f.device->name().empty());
  const uint64_t before = f.device->current_allocated_size();
  {
    BufferRef shared = f.device->new_buffer(100, kResourceStorageModeShared);
    BufferRef priv = f.device->new_buffer(16385, kResourceStorageModePrivate);
    ASSERT_NE(shared, nullptr);
    ASSERT_NE(priv, nullptr);
    EXPECT_EQ(shared->length(), 100u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(shared->contents()) % kBufferAlignment, 0u);
    EXPECT_EQ(priv->contents(), nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(priv->storage()) % kBufferAlignment, 0u);
    const uint8_t* p = static_cast<const uint8_t*>(shared->contents());
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0);
    EXPECT_EQ(f.device->current_allocated_size(), before + 3 * kBufferAlignment);
  }
  EXPECT_EQ(f.device->current_allocated_size(), before);
}

TEST(ComputeDevice, LibraryFindsKernelsByNameAndVariant) {
  Fixture f;
  std::string error;
  EXPECT_EQ(f.device->new_library(KernelSource{nullptr, nullptr, 0}, {}, &error), nullptr);
  EXPECT_FALSE(error.empty());
  LibraryRef lib = f.device->new_library(kSource, {}, &error);
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(lib->new_function("missing"), nullptr);
  EXPECT_EQ(lib->function_names().size(), std::size(kSymbols));
  EXPECT_EQ(f.device->new_compute_pipeline_state(nullptr, &error), nullptr);
  // The variant macro picks the second body of "add".
  for (int64_t twice : {0, 1}) {
    BufferRef x = f.floats({1, 2}), y = f.floats({0, 0});
    CommandBufferRef cb = f.queue->command_buffer();
    ComputeEncoderRef e = cb->compute_command_encoder();
    f.add(e, f.pipeline("add", twice), x, y, 10, 2);
    e->end_encoding();
    cb->commit();
    EXPECT_EQ(Fixture::read(y, 2), (std::vector<float>{twice ? 21.f : 11.f, twice ? 22.f : 12.f}));
  }
}

// Kernels, blits, a matrix product and private memory in one buffer: each
// command sees what every earlier one wrote.
TEST(ComputeDevice, CommandsRunInEncodingOrder) {
  Fixture f;
  PipelineRef add = f.pipeline("add");
  BufferRef a = f.floats({1, 2, 3}), b = f.floats({0, 0, 0}), out = f.floats({0, 0, 0});
  BufferRef priv = f.device->new_buffer(12, kResourceStorageModePrivate);
  CommandBufferRef cb = f.queue->command_buffer();
  EXPECT_EQ(cb->status(), CommandBufferStatus::kNotEnqueued);
  ComputeEncoderRef e = cb->compute_command_encoder();
  f.add(e, add, a, b, 1, 3);  // b = a + 1
  e->end_encoding();
  BlitEncoderRef blit = cb->blit_command_encoder();
  blit->copy_from_buffer(b, 0, priv, 0, 12);  // priv = b
  blit->end_encoding();
  // a = b (as 3 x 1) times [[10]]: a matrix product in the same order.
  BufferRef ten = f.floats({10});
  const mps::MatrixDescriptor column{3, 1, 1, 4, 0, DataType::kFloat32},
      one{1, 1, 1, 4, 0, DataType::kFloat32};
  mps::MatrixMultiplication(false, false, 3, 1, 1, 1.0, 0.0)
      .encode(cb, mps::Matrix{b, 0, column}, mps::Matrix{ten, 0, one}, mps::Matrix{a, 0, column});
  e = cb->compute_command_encoder();
  f.add(e, add, priv, out, 0.5f, 3);  // out = priv + 0.5, before the next line changes priv
  f.add(e, add, a, priv, 0, 3);       // priv = a
  e->end_encoding();
  blit = cb->blit_command_encoder();
  blit->copy_from_buffer(priv, 4, b, 0, 8);  // b[0..1] = a[1..2]
  blit->fill_buffer(out, 8, 4, 0);           // out[2] = 0
  blit->end_encoding();
  cb->commit();
  EXPECT_EQ(cb->status(), CommandBufferStatus::kCompleted) << cb->error();
  EXPECT_TRUE(cb->error().empty());
  EXPECT_LE(cb->gpu_start_time(), cb->gpu_end_time());
  EXPECT_GT(cb->gpu_start_time(), 0);
  EXPECT_EQ(Fixture::read(out, 3), (std::vector<float>{2.5f, 3.5f, 0}));
  EXPECT_EQ(Fixture::read(b, 3), (std::vector<float>{30, 40, 4}));
  // Committed buffers take no more commands.
  EXPECT_EQ(cb->compute_command_encoder(), nullptr);
  cb->commit();
  EXPECT_EQ(cb->status(), CommandBufferStatus::kCompleted);
}

TEST(ComputeDevice, GridsCoverExactlyTheThreadsAsked) {
  Fixture f;
  PipelineRef mark = f.pipeline("mark");
  struct Case {
    Size3 size, group;
    bool groups;  // dispatch_threadgroups: size counts groups
  };
  const Case cases[] = {
      {{1000, 1, 1}, {128, 1, 1}, false},  // partial last group
      {{5000, 1, 1}, {128, 1, 1}, false},  // enough groups for the pool
      {{1100, 1, 1}, {1024, 1, 1}, false},  // two groups: fewer than the pool's threads
      {{9 * 131, 1, 1}, {131, 1, 1}, false},  // one past eight lanes
      {{1 << 20, 1, 1}, {32, 1, 1}, false},  // lanes of thousands of groups
      {{803 * 64 - 9, 1, 1}, {64, 1, 1}, false},  // lanes not a whole number of takes
      {{33, 7, 3}, {8, 4, 2}, false},      // partial in every dimension
      {{3, 5, 7}, {4, 2, 1}, true},        // odd group counts in three dimensions
      {{0, 4, 4}, {32, 1, 1}, false},      // empty: nothing runs
      {{4, 0, 1}, {32, 1, 1}, true},
  };
  for (const Case& c : cases) {
    const Size3 grid = c.groups ? Size3{c.size.width * c.group.width, c.size.height * c.group.height,
                                        c.size.depth * c.group.depth}
                                : c.size;
    const uint64_t n = grid.volume();
    BufferRef out = f.device->new_buffer(n * 4 + 64, kResourceStorageModeShared);
    CommandBufferRef cb = f.queue->command_buffer();
    ComputeEncoderRef e = cb->compute_command_encoder();
    e->set_compute_pipeline_state(mark);
    e->set_buffer(out, 0, 0);
    if (c.groups)
      e->dispatch_threadgroups(c.size, c.group);
    else
      e->dispatch_threads(c.size, c.group);
    e->end_encoding();
    cb->commit();
    ASSERT_EQ(cb->status(), CommandBufferStatus::kCompleted) << cb->error();
    const uint32_t* p = static_cast<const uint32_t*>(out->contents());
    for (uint64_t i = 0; i < n + 16; ++i) ASSERT_EQ(p[i], i < n ? 1u : 0u) << i;
  }
}

// Hundreds of dispatches in one buffer, alternating kernels run a group per
// iteration and a kernel that runs its grid in stages: each sees every
// write of the one before, as the buffer's worker team meets at its barrier
// between them.
TEST(ComputeDevice, ManyDispatchesOfOneBufferSeeEachOther) {
  Fixture f;
  PipelineRef add = f.pipeline("add"), rotate = f.pipeline("rotate");
  ASSERT_NE(rotate, nullptr);
  EXPECT_EQ(rotate->function()->entry(), nullptr);
  constexpr uint64_t kN = 3000;
  constexpr int kRounds = 300;
  std::vector<float> x(kN), want(kN);
  for (uint64_t i = 0; i < kN; ++i) x[i] = float(i % 97);
  BufferRef bx = f.floats(x), by = f.floats(std::vector<float>(kN));
  CommandBufferRef cb = f.queue->command_buffer();
  ComputeEncoderRef e = cb->compute_command_encoder();
  for (int round = 0; round < kRounds; ++round) {
    // add: y = x + 1 (then copied back by the rotate's first stage reading
    // x, which add left unchanged); rotate: x = shift(x + 2).
    f.add(e, add, bx, by, 1, kN);
    f.add(e, rotate, bx, by, 2, kN);
    std::vector<float> shifted(kN);
    for (uint64_t i = 0; i < kN; ++i) shifted[i] = x[(i + 1) % kN] + 2;
    x.swap(shifted);
  }
  e->end_encoding();
  cb->commit();
  ASSERT_EQ(cb->status(), CommandBufferStatus::kCompleted) << cb->error();
  EXPECT_EQ(Fixture::read(bx, kN), x);
}

// A zero-size dispatch runs nothing and checks nothing, not even a missing
// pipeline.
// Dispatches of concurrent encoders run with the dispatch before them as one
// loop (a grid kernel among them runs its own stages); the commands after
// the run see all their results, and a fault in any of them fails the
// buffer, named.
TEST(ComputeDevice, LinkedConcurrentDispatchesRunTogether) {
  Fixture f;
  PipelineRef add = f.pipeline("add"), mark = f.pipeline("mark"), rotate = f.pipeline("rotate"),
              fault = f.pipeline("fault");
  for (const uint64_t n : {100ull, 5000ull}) {  // on the committing thread, then on the pool
    std::vector<float> xs(n), ones(n, 1);
    for (uint64_t i = 0; i < n; ++i) xs[i] = float(i);
    BufferRef x = f.floats(xs), y1 = f.floats(xs), y2 = f.floats(xs), y3 = f.floats(xs), r = f.floats(xs),
              ry = f.floats(xs), m = f.floats(std::vector<float>(n, 0));
    CommandBufferRef cb = f.queue->command_buffer();
    ComputeEncoderRef e = cb->compute_command_encoder();
    f.add(e, add, x, y1, 1, n);
    e->end_encoding();
    e = cb->compute_command_encoder(DispatchType::kConcurrent);
    f.add(e, add, x, y2, 2, n);
    f.add(e, rotate, r, ry, 1, n);  // r[i] = x[i + 1] + 1
    e->set_compute_pipeline_state(mark);
    e->set_buffer(m, 0, 0);
    e->dispatch_threads(Size3{n, 1, 1}, Size3{64, 1, 1});
    e->end_encoding();
    e = cb->compute_command_encoder();
    f.add(e, add, y1, y3, 0.5f, n);
    e->end_encoding();
    cb->commit();
    ASSERT_EQ(cb->status(), CommandBufferStatus::kCompleted) << cb->error();
    const std::vector<float> got1 = Fixture::read(y1, n), got2 = Fixture::read(y2, n), got3 = Fixture::read(y3, n),
                             rotated = Fixture::read(r, n);
    const float* marks = static_cast<const float*>(m->contents());
    for (uint64_t i = 0; i < n; ++i) {
      ASSERT_EQ(got1[i], xs[i] + 1) << i;
      ASSERT_EQ(got2[i], xs[i] + 2) << i;
      ASSERT_EQ(got3[i], xs[i] + 1.5f) << i;
      ASSERT_EQ(rotated[i], xs[(i + 1) % n] + 1) << i;
      ASSERT_EQ(std::bit_cast<uint32_t>(marks[i]), 1u) << i;
    }
    cb = f.queue->command_buffer();
    e = cb->compute_command_encoder();
    f.add(e, add, x, y1, 1, n);
    e->end_encoding();
    e = cb->compute_command_encoder(DispatchType::kConcurrent);
    e->set_compute_pipeline_state(fault);
    e->dispatch_threads(Size3{n, 1, 1}, Size3{128, 1, 1});
    e->end_encoding();
    cb->commit();
    EXPECT_EQ(cb->status(), CommandBufferStatus::kError);
    EXPECT_NE(cb->error().find("kernel 'fault': reported a fault"), std::string::npos) << cb->error();
  }
}

TEST(ComputeDevice, ZeroSizeDispatchIsANoOp) {
  Fixture f;
  BufferRef y = f.floats({7});
  CommandBufferRef cb = f.queue->command_buffer();
  ComputeEncoderRef e = cb->compute_command_encoder();
  e->dispatch_threads(Size3{0, 1, 1}, Size3{128, 1, 1});
  f.add(e, f.pipeline("add"), y, y, 1, 0);
  e->dispatch_threadgroups(Size3{0, 0, 0}, Size3{128, 1, 1});
  e->end_encoding();
  cb->commit();
  EXPECT_EQ(cb->status(), CommandBufferStatus::kCompleted) << cb->error();
  EXPECT_EQ(Fixture::read(y, 1)[0], 7);
}

// Each failure stops the buffer at that command: earlier commands have run,
// later ones have not, and nothing outside the buffers is touched.
TEST(ComputeDevice, FailuresEndTheBufferWithAnError) {
  Fixture f;
  PipelineRef add = f.pipeline("add");
  struct Env {
    Fixture& f;
    CommandBufferRef cb;
    PipelineRef p;
    BufferRef x, y;
    ComputeEncoderRef compute() const { return cb->compute_command_encoder(); }
  };
  struct Case {
    const char* name;
    const char* expect;  // part of the error text
    void (*encode)(const Env&);
  };
  const Case cases[] = {
      {"offset past the end", "past its length",
       [](const Env& v) {
         auto e = v.compute();
         v.f.add(e, v.p, v.x, v.y, 1, 1, 16385);
         e->end_encoding();
       }},
      {"buffer too short for the grid", "kernel 'add': index 0 holds",
       [](const Env& v) {
         auto e = v.compute();
         v.f.add(e, v.p, v.x, v.y, 1, 4, 4);
         e->end_encoding();
       }},
      {"missing binding", "nothing bound at index 3",
       [](const Env& v) {
         auto e = v.compute();
         e->set_compute_pipeline_state(v.p);
         e->set_buffer(v.x, 0, 0);
         e->set_buffer(v.y, 0, 1);
         e->dispatch_threads(Size3{1, 1, 1}, Size3{1, 1, 1});
         e->end_encoding();
       }},
      {"no pipeline", "no compute pipeline",
       [](const Env& v) {
         auto e = v.compute();
         e->dispatch_threads(Size3{1, 1, 1}, Size3{1, 1, 1});
         e->end_encoding();
       }},
      {"threadgroup too large", "threadgroup of 2048",
       [](const Env& v) {
         auto e = v.compute();
         v.f.add(e, v.p, v.x, v.y, 1, 0);  // binds without running
         e->dispatch_threads(Size3{1, 1, 1}, Size3{2048, 1, 1});
         e->end_encoding();
       }},
      {"kernel fault", "kernel 'fault': reported a fault",
       [](const Env& v) {
         auto e = v.compute();
         e->set_compute_pipeline_state(v.f.pipeline("fault"));
         e->dispatch_threads(Size3{300, 1, 1}, Size3{128, 1, 1});
         e->end_encoding();
       }},
      {"kernel without scratch memory", "kernel 'no_scratch': out of memory",
       [](const Env& v) {
         auto e = v.compute();
         e->set_compute_pipeline_state(v.f.pipeline("no_scratch"));
         e->dispatch_threads(Size3{300, 1, 1}, Size3{128, 1, 1});
         e->end_encoding();
       }},
      {"blit past the end", "blit copy of 8 bytes outside",
       [](const Env& v) {
         auto b = v.cb->blit_command_encoder();
         b->copy_from_buffer(v.x, 12, v.y, 0, 8);
         b->end_encoding();
       }},
      {"host command", "refused",
       [](const Env& v) {
         v.cb->encode_host_command([](std::string* e) {
           *e = "refused";
           return false;
         });
       }},
      {"encoder left open", "still open", [](const Env& v) { v.compute(); }},
      {"two encoders open", "while another",
       [](const Env& v) {
         auto a = v.compute();
         v.cb->blit_command_encoder()->end_encoding();
       }},
  };
  for (const Case& c : cases) {
    BufferRef x = f.floats({1, 2, 3, 4}), y = f.floats({0, 0, 0, 0}), z = f.floats({0});
    CommandBufferRef cb = f.queue->command_buffer();
    auto e = cb->compute_command_encoder();
    f.add(e, add, x, z, 5, 1);  // runs: z = 6
    e->end_encoding();
    c.encode(Env{f, cb, add, x, y});
    e = cb->compute_command_encoder();
    f.add(e, add, x, y, 100, 4);  // never runs
    e->end_encoding();
    cb->commit();
    EXPECT_EQ(cb->status(), CommandBufferStatus::kError) << c.name;
    EXPECT_NE(cb->error().find(c.expect), std::string::npos) << c.name << ": " << cb->error();
    EXPECT_EQ(cb->out_of_memory(), std::string(c.expect).ends_with("out of memory")) << c.name;
    EXPECT_EQ(Fixture::read(z, 1)[0], 6) << c.name;
    EXPECT_EQ(Fixture::read(y, 4), (std::vector<float>{0, 0, 0, 0})) << c.name;
  }
}

// Threads committing at once, on one queue and on their own queues, each
// see their own results; the allocation count returns to where it was.
// Buffers of one queue record into storage the queue hands from one to the
// next: each runs only its own commands, with the bytes and buffers bound
// when it dispatched, and lets its buffers go once it has run or is dropped.
TEST(ComputeDevice, BuffersOfAQueueRunOnlyTheirOwnRecording) {
  Fixture f;
  PipelineRef add = f.pipeline("add");
  struct Case {
    const char* name;
    int dropped;              // adds recorded first into a buffer dropped uncommitted
    std::vector<float> adds;  // y = x + k, then x = y, for each k
    bool rebind;              // set_bytes twice before the dispatch, the caller's copy changed after
  };
  const Case cases[] = {
      {"one add", 0, {1}, false},
      {"after a dropped buffer", 3, {2, 5}, false},
      {"after a longer dropped buffer", 40, {0.5f}, true},
      {"many adds", 0, std::vector<float>(300, 0.25f), true},
  };
  for (const Case& c : cases) {
    BufferRef x = f.floats({1, 2, 3}), y = f.floats({0, 0, 0});
    if (c.dropped > 0) {
      CommandBufferRef cb = f.queue->command_buffer();
      ComputeEncoderRef e = cb->compute_command_encoder();
      for (int i = 0; i < c.dropped; ++i) f.add(e, add, x, x, 100, 3);
      e->end_encoding();
    }
    CommandBufferRef cb = f.queue->command_buffer();
    ComputeEncoderRef e = cb->compute_command_encoder();
    float expect = 0;
    for (float k : c.adds) {
      float bytes = c.rebind ? -7 : k;
      e->set_compute_pipeline_state(add);
      e->set_buffer(x, 0, 0);
      e->set_buffer(y, 0, 1);
      e->set_bytes(&bytes, 4, 3);
      if (c.rebind) {
        bytes = k;
        e->set_bytes(&bytes, 4, 3);
        bytes = 1000;
      }
      e->dispatch_threads(Size3{3, 1, 1}, Size3{128, 1, 1});
      f.add(e, add, y, x, 0, 3);
      expect += k;
    }
    e->end_encoding();
    EXPECT_GT(x.use_count(), 1) << c.name;
    cb->commit();
    ASSERT_EQ(cb->status(), CommandBufferStatus::kCompleted) << c.name << ": " << cb->error();
    EXPECT_EQ(cb->command_count(), 0u) << c.name;
    EXPECT_EQ(x.use_count(), 1) << c.name;  // released with the commands
    std::vector<float> want{1, 2, 3};
    for (float& v : want)
      for (float k : c.adds) v += k;
    EXPECT_EQ(Fixture::read(x, 3), want) << c.name << " (sum of adds " << expect << ")";
  }
}

TEST(ComputeDevice, ConcurrentCommits) {
  Fixture f;
  PipelineRef add = f.pipeline("add");
  const uint64_t before = f.device->current_allocated_size();
  auto work = [&](CommandQueueRef queue, float k, bool* ok) {
    for (int round = 0; round < 20; ++round) {
      BufferRef x = f.device->new_buffer(4096 * 4, kResourceStorageModeShared);
      BufferRef y = f.device->new_buffer(4096 * 4, kResourceStorageModeShared);
      for (int i = 0; i < 4096; ++i) static_cast<float*>(x->contents())[i] = float(i);
      CommandBufferRef cb = queue->command_buffer();
      ComputeEncoderRef e = cb->compute_command_encoder();
      f.add(e, add, x, y, k, 4096);
      f.add(e, add, y, x, k, 4096);
      e->end_encoding();
      cb->commit();
      const float* r = static_cast<const float*>(x->contents());
      for (int i = 0; i < 4096; ++i) *ok = *ok && r[i] == float(i) + 2 * k;
    }
  };
  bool ok[4] = {true, true, true, true};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back(work, t < 2 ? f.queue : f.device->new_command_queue(), float(t + 1), &ok[t]);
  for (auto& t : threads) t.join();
  for (bool b : ok) EXPECT_TRUE(b);
  EXPECT_EQ(f.device->current_allocated_size(), before);
}

}  // namespace
}  // namespace vorn::mtl
