// The compute device: our host stand-in for the GPU interface the GPU backend
// is written against. It has the shape of that interface (a default device,
// buffers, a library of kernels found by name, compute pipelines, a command
// queue, command buffers with compute and blit encoders) and executes on the
// host: a committed command buffer runs every command it holds, in encoding
// order, before commit returns, dispatching each kernel over the worker pool
// one threadgroup per iteration. The pool's workers stay with the buffer
// from its first command to its last as one team (platform/worker_team.h):
// consecutive dispatches are separated by the team's barrier, not by a fork
// and join each, and the loops of host commands run on the same team.
//
// Objects are reference counted with std::shared_ptr; a command buffer keeps
// every buffer and pipeline it names alive until it has run. Kernels are C++
// functions (see compute_kernel.h): a library is made from a KernelSource,
// the table that stands for the kernel source text, and the source's one
// variant macro picks between the two compiled variants of each kernel.
//
// Execution order is the contract callers rely on: a command sees the
// results of every command encoded before it in the same buffer and of every
// buffer committed before. Other command kinds (matrix products, graph
// encodes) join the same order as host commands (encode_host_command).
//
// Threading: a device, its buffers and pipelines may be used from any
// thread. One command buffer, and its encoders, are used by one thread at a
// time. Buffers committed on one queue run in commit order; buffers of
// different queues may run at the same time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/compute_kernel.h"

namespace vorn::mtl {

class Device;
class Buffer;
class Library;
class Function;
class ComputePipelineState;
class CommandQueue;
class CommandBuffer;
class ComputeCommandEncoder;
class BlitCommandEncoder;

using DeviceRef = std::shared_ptr<Device>;
using BufferRef = std::shared_ptr<Buffer>;
using LibraryRef = std::shared_ptr<Library>;
using FunctionRef = std::shared_ptr<Function>;
using PipelineRef = std::shared_ptr<ComputePipelineState>;
using CommandQueueRef = std::shared_ptr<CommandQueue>;
using CommandBufferRef = std::shared_ptr<CommandBuffer>;
using ComputeEncoderRef = std::shared_ptr<ComputeCommandEncoder>;
using BlitEncoderRef = std::shared_ptr<BlitCommandEncoder>;

// Resource options of new_buffer. Shared memory has a host pointer
// (contents); private memory has none and is reached only by commands.
enum ResourceOptions : uint32_t {
  kResourceStorageModeShared = 0,
  kResourceStorageModePrivate = 0x20,
};

// Every buffer starts at a multiple of this and is zero-filled.
constexpr uint64_t kBufferAlignment = 16384;
// Bytes a single set_bytes may bind.
constexpr uint64_t kMaxSetBytesLength = 4096;

enum class CommandBufferStatus : uint32_t {
  kNotEnqueued = 0,
  kEnqueued = 1,
  kCommitted = 2,
  kScheduled = 3,
  kCompleted = 4,
  kError = 5,
};

// The system default device, made on first use and shared afterwards; null
// when a fault hook refuses it.
DeviceRef create_system_default_device();

// Test hook: while set, create_system_default_device answers null whenever
// the hook returns true. Pass null to remove it.
void set_default_device_fault_hook(bool (*refuse)());

class Device : public std::enable_shared_from_this<Device> {
 public:
  const std::string& name() const { return name_; }
  // Bytes held by live buffers of this device (whole 16 KiB blocks).
  uint64_t current_allocated_size() const;
  // About three quarters of physical memory.
  uint64_t recommended_max_working_set_size() const { return working_set_; }
  // This device has no neural engine.
  bool has_ane() const { return false; }

  // A zero-filled buffer of length bytes (0 is refused: null), or null when
  // the memory cannot be had.
  BufferRef new_buffer(uint64_t length, uint32_t options);
  // A library of the kernels of source; null with *error set when the source
  // is empty. Kernels are always compiled exact: options that ask for fast
  // math are accepted and change nothing.
  LibraryRef new_library(const KernelSource& source, const CompileOptions& options, std::string* error);
  // Null with *error set for a null function.
  PipelineRef new_compute_pipeline_state(const FunctionRef& function, std::string* error);
  CommandQueueRef new_command_queue();

  // Internal: accounting of buffer memory.
  void account(int64_t bytes);

 private:
  friend DeviceRef create_system_default_device();
  Device();
  std::string name_;
  uint64_t working_set_;
  struct Counter;
  std::shared_ptr<Counter> allocated_;
};

class Buffer {
 public:
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  uint64_t length() const { return length_; }
  uint32_t options() const { return options_; }
  // Host pointer of shared memory; null for private memory.
  void* contents() const { return options_ == kResourceStorageModePrivate ? nullptr : data_; }
  const DeviceRef& device() const { return device_; }
  // Internal: the memory for commands, whatever the storage mode.
  uint8_t* storage() const { return data_; }

 private:
  friend class Device;
  Buffer(DeviceRef device, uint8_t* data, uint64_t length, uint64_t mapped, uint32_t options);
  DeviceRef device_;
  uint8_t* data_;
  uint64_t length_;
  uint64_t mapped_;  // bytes reserved, a multiple of kBufferAlignment
  uint32_t options_;
};

class Function {
 public:
  const std::string& name() const { return name_; }
  // The per-group body, or null for a kernel that runs its grid itself.
  KernelFn entry() const { return entry_; }
  KernelGridFn grid() const { return grid_; }
  KernelCheck check() const { return check_; }

 private:
  friend class Library;
  Function(std::string name, KernelFn entry, KernelGridFn grid, KernelCheck check)
      : name_(std::move(name)), entry_(entry), grid_(grid), check_(check) {}
  std::string name_;
  KernelFn entry_;
  KernelGridFn grid_;
  KernelCheck check_;
};

class Library {
 public:
  // Null when the library has no kernel of that name.
  FunctionRef new_function(std::string_view name) const;
  std::vector<std::string> function_names() const;

 private:
  friend class Device;
  Library(const KernelSource& source, bool variant);
  KernelSource source_;
  bool variant_;  // the source's variant macro was non-zero
};

class ComputePipelineState {
 public:
  const FunctionRef& function() const { return function_; }
  uint64_t max_total_threads_per_threadgroup() const { return kMaxThreadsPerThreadgroup; }
  uint64_t thread_execution_width() const { return kSimdWidth; }

 private:
  friend class Device;
  explicit ComputePipelineState(FunctionRef function) : function_(std::move(function)) {}
  FunctionRef function_;
};

// What a command buffer records into: its commands, their bindings and
// the bytes set_bytes copied. A buffer that has run hands its (emptied)
// storage back to its queue, so that the next buffer records a step of
// some hundreds of dispatches without growing it again.
struct CommandStorage;

class CommandQueue : public std::enable_shared_from_this<CommandQueue> {
 public:
  ~CommandQueue();
  const DeviceRef& device() const { return device_; }
  CommandBufferRef command_buffer();
  // Internal: commits of this queue run one at a time, in commit order.
  std::mutex& order() { return order_; }
  // Internal: the storage a buffer records into, and its return once run.
  std::unique_ptr<CommandStorage> take_storage();
  void give_storage(std::unique_ptr<CommandStorage> storage);

 private:
  friend class Device;
  explicit CommandQueue(DeviceRef device);
  DeviceRef device_;
  std::mutex order_;
  std::mutex spare_lock_;
  std::unique_ptr<CommandStorage> spare_;
};

// One recorded command. Host commands run on the committing thread;
// returning false fails the command buffer with *error as its error text.
using HostCommand = std::function<bool(std::string* error)>;

// How the dispatches of a compute encoder are ordered. kSerial: each sees
// the results of every command before it. kConcurrent: each may run at the
// same time as the dispatch recorded right before it (of either type), so
// that a run of dispatches so linked is one parallel loop over all their
// threadgroups, with no barrier between them; the caller promises that none
// of them reads or writes what another of them writes.
enum class DispatchType : uint8_t { kSerial, kConcurrent };

class CommandBuffer : public std::enable_shared_from_this<CommandBuffer> {
 public:
  ~CommandBuffer();
  CommandBufferStatus status() const { return status_; }
  // Why the buffer failed; empty unless the status is kError.
  const std::string& error() const { return error_; }
  // The buffer failed because a kernel could not get its scratch memory.
  bool out_of_memory() const { return out_of_memory_; }
  // Monotonic seconds around the execution of the buffer's commands; 0
  // until it has run.
  double gpu_start_time() const { return start_time_; }
  double gpu_end_time() const { return end_time_; }
  const CommandQueueRef& command_queue() const { return queue_; }
  const DeviceRef& device() const;

  // Null once the buffer is committed. Opening an encoder while another is
  // open is an encoding error: the buffer fails when committed.
  ComputeEncoderRef compute_command_encoder(DispatchType type = DispatchType::kSerial);
  BlitEncoderRef blit_command_encoder();
  // Commands recorded so far.
  size_t command_count() const;
  // Appends a command of another kind (a matrix product, a graph run) to
  // the same order. Ignored once committed.
  void encode_host_command(HostCommand command);

  // Runs every command in encoding order and returns when all have run (or
  // the first has failed). A second commit is ignored.
  void commit();
  // The buffer has run by the time commit returns; waiting does nothing
  // more, and waiting on an uncommitted buffer returns at once.
  void wait_until_completed() const {}

  // Internal, used by the encoders.
  struct Command;
  struct Bound;
  void append(Command&& command);
  // A binding of a dispatch being appended (append_dispatch takes those
  // bound since the last one).
  void bind(uint32_t index, const BufferRef& buffer, uint64_t offset, uint32_t bytes_at, uint32_t bytes_length);
  // Bindings recorded so far.
  uint32_t bound_count() const;
  // Copies length bytes into the buffer's own store: where they lie.
  uint32_t keep_bytes(const void* bytes, uint64_t length);
  void encoding_error(std::string text);
  void end_encoder() { encoder_open_ = false; }

 private:
  friend class CommandQueue;
  explicit CommandBuffer(CommandQueueRef queue);
  bool begin_encoder();
  // True when some command has loops for a worker team to share.
  bool wants_team() const;
  bool run(std::string* error);
  CommandQueueRef queue_;
  std::unique_ptr<CommandStorage> storage_;
  std::string encoding_error_;
  std::string error_;
  CommandBufferStatus status_ = CommandBufferStatus::kNotEnqueued;
  bool encoder_open_ = false;
  bool out_of_memory_ = false;
  double start_time_ = 0;
  double end_time_ = 0;
};

// Records kernel dispatches. Bindings (pipeline, buffers, bytes) persist
// from one dispatch to the next until replaced; each dispatch takes a
// snapshot. Offsets are checked when the buffer runs: a binding past its
// buffer's end, a kernel's own size check, or a fault a kernel reports fails
// the command buffer with status kError and a text naming the kernel.
class ComputeCommandEncoder {
 public:
  void set_compute_pipeline_state(const PipelineRef& pipeline);
  void set_buffer(const BufferRef& buffer, uint64_t offset, uint32_t index);
  // Moves the offset of the buffer already bound at index.
  void set_buffer_offset(uint64_t offset, uint32_t index);
  // Copies length bytes now; the kernel reads the copy.
  void set_bytes(const void* bytes, uint64_t length, uint32_t index);
  // grid threads in threadgroups of group threads; the last group of each
  // dimension holds only the threads left. A grid with a zero dimension is
  // a no-op.
  void dispatch_threads(Size3 grid, Size3 group);
  // groups threadgroups of group threads each; a zero dimension is a no-op.
  void dispatch_threadgroups(Size3 groups, Size3 group);
  void end_encoding();

 private:
  friend class CommandBuffer;
  ComputeCommandEncoder(CommandBufferRef owner, DispatchType type) : owner_(std::move(owner)), type_(type) {}
  void dispatch(Size3 grid, Size3 group, Size3 groups);
  bool usable(const char* what);
  CommandBufferRef owner_;
  DispatchType type_;
  PipelineRef pipeline_;
  struct Binding {
    BufferRef buffer;
    uint64_t offset = 0;
    // set_bytes data, used when no buffer: where the command buffer keeps
    // it, and its length.
    uint32_t bytes_at = 0, bytes_length = 0;
  };
  Binding bindings_[kMaxBufferBindings];
  // Bit i: index i is bound.
  uint32_t set_ = 0;
  bool ended_ = false;
};

class BlitCommandEncoder {
 public:
  void copy_from_buffer(const BufferRef& source, uint64_t source_offset, const BufferRef& destination,
                        uint64_t destination_offset, uint64_t size);
  void fill_buffer(const BufferRef& buffer, uint64_t offset, uint64_t length, uint8_t value);
  void end_encoding();

 private:
  friend class CommandBuffer;
  explicit BlitCommandEncoder(CommandBufferRef owner) : owner_(std::move(owner)) {}
  bool usable(const char* what);
  CommandBufferRef owner_;
  bool ended_ = false;
};

}  // namespace vorn::mtl
