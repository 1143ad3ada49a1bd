// Command buffers and their encoders: recording, then running every command
// in encoding order at commit.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/files.h"
#include "platform/compute_device.h"
#include "platform/parallel.h"
#include "platform/worker_team.h"

namespace vorn::mtl {

namespace {

// Dispatches of at most this many threads run on the committing thread:
// waking the pool costs more than the work.
constexpr uint64_t kSerialThreads = 1024;

enum class CommandKind : uint8_t { kDispatch, kCopy, kFill, kHost, kFail };

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

bool range_inside(uint64_t offset, uint64_t size, uint64_t length) {
  return offset <= length && size <= length - offset;
}

}  // namespace

struct CommandBuffer::Bound {
  uint32_t index;
  // Null: the bytes at bytes_at of the buffer's store.
  BufferRef buffer;
  uint64_t offset;
  uint32_t bytes_at, bytes_length;
};

struct CommandBuffer::Command {
  CommandKind kind = CommandKind::kFail;
  // Dispatch: the pipeline and a snapshot of the bindings (bound_count of
  // the buffer's bindings from first_bound).
  PipelineRef pipeline;
  uint32_t first_bound = 0, bound_count = 0;
  Size3 grid, group, groups;
  bool concurrent = false;  // may run with the dispatch before it
  // Copy and fill.
  BufferRef source, destination;
  uint64_t source_offset = 0, destination_offset = 0, size = 0;
  uint8_t value = 0;
  HostCommand host;
  std::string text;  // kFail: the encoding error
};

struct CommandStorage {
  std::vector<CommandBuffer::Command> commands;
  std::vector<CommandBuffer::Bound> bound;
  // set_bytes copies, each at a multiple of kBytesAlignment.
  std::vector<uint8_t> bytes;
  static constexpr uint64_t kBytesAlignment = 16;

  void clear() {
    commands.clear();
    bound.clear();
    bytes.clear();
  }
};

CommandQueue::CommandQueue(DeviceRef device) : device_(std::move(device)) {}

CommandQueue::~CommandQueue() = default;

std::unique_ptr<CommandStorage> CommandQueue::take_storage() {
  {
    std::lock_guard<std::mutex> lock(spare_lock_);
    if (spare_ != nullptr) return std::move(spare_);
  }
  auto storage = std::make_unique<CommandStorage>();
  // An empty set_bytes still binds an address.
  storage->bytes.reserve(CommandStorage::kBytesAlignment);
  return storage;
}

void CommandQueue::give_storage(std::unique_ptr<CommandStorage> storage) {
  storage->clear();
  std::lock_guard<std::mutex> lock(spare_lock_);
  if (spare_ == nullptr || spare_->commands.capacity() < storage->commands.capacity()) spare_ = std::move(storage);
}

CommandBufferRef CommandQueue::command_buffer() {
  return CommandBufferRef(new CommandBuffer(shared_from_this()));
}

CommandBuffer::CommandBuffer(CommandQueueRef queue) : queue_(std::move(queue)), storage_(queue_->take_storage()) {}

CommandBuffer::~CommandBuffer() {
  if (storage_ != nullptr) queue_->give_storage(std::move(storage_));
}

const DeviceRef& CommandBuffer::device() const { return queue_->device(); }

size_t CommandBuffer::command_count() const { return storage_ != nullptr ? storage_->commands.size() : 0; }

void CommandBuffer::append(Command&& command) {
  if (status_ == CommandBufferStatus::kNotEnqueued) storage_->commands.push_back(std::move(command));
}

void CommandBuffer::bind(uint32_t index, const BufferRef& buffer, uint64_t offset, uint32_t bytes_at,
                         uint32_t bytes_length) {
  if (status_ == CommandBufferStatus::kNotEnqueued)
    storage_->bound.push_back(Bound{index, buffer, offset, bytes_at, bytes_length});
}

uint32_t CommandBuffer::bound_count() const { return storage_ != nullptr ? uint32_t(storage_->bound.size()) : 0; }

uint32_t CommandBuffer::keep_bytes(const void* bytes, uint64_t length) {
  if (storage_ == nullptr) return 0;  // committed: nothing more is recorded
  std::vector<uint8_t>& store = storage_->bytes;
  const uint64_t at = (store.size() + CommandStorage::kBytesAlignment - 1) & ~(CommandStorage::kBytesAlignment - 1);
  store.resize(at + length);
  if (length != 0) std::memcpy(store.data() + at, bytes, length);
  return uint32_t(at);
}

void CommandBuffer::encoding_error(std::string text) {
  Command c;
  c.kind = CommandKind::kFail;
  c.text = std::move(text);
  append(std::move(c));
}

bool CommandBuffer::begin_encoder() {
  if (status_ != CommandBufferStatus::kNotEnqueued) return false;
  if (encoder_open_) encoding_error("an encoder was opened while another was still open");
  encoder_open_ = true;
  return true;
}

ComputeEncoderRef CommandBuffer::compute_command_encoder(DispatchType type) {
  if (!begin_encoder()) return nullptr;
  // One allocation for the encoder and its count: a step opens one per
  // dispatch.
  struct Made final : ComputeCommandEncoder {
    Made(CommandBufferRef owner, DispatchType type) : ComputeCommandEncoder(std::move(owner), type) {}
  };
  return std::make_shared<Made>(shared_from_this(), type);
}

BlitEncoderRef CommandBuffer::blit_command_encoder() {
  if (!begin_encoder()) return nullptr;
  return BlitEncoderRef(new BlitCommandEncoder(shared_from_this()));
}

void CommandBuffer::encode_host_command(HostCommand command) {
  if (encoder_open_) encoding_error("a host command was encoded while an encoder was open");
  Command c;
  c.kind = CommandKind::kHost;
  c.host = std::move(command);
  append(std::move(c));
}

void CommandBuffer::commit() {
  if (status_ != CommandBufferStatus::kNotEnqueued) return;
  if (encoder_open_) encoding_error("committed with an encoder still open");
  status_ = CommandBufferStatus::kCommitted;
  std::lock_guard<std::mutex> order(queue_->order());
  status_ = CommandBufferStatus::kScheduled;
  start_time_ = monotonic_seconds();
  std::string error;
  bool ok;
  if (wants_team()) {
    WorkerTeam team;
    ok = run(&error);
  } else {
    ok = run(&error);
  }
  end_time_ = monotonic_seconds();
  // Resources are let go once the buffer has run, as its commands are; the
  // emptied storage goes back to the queue.
  queue_->give_storage(std::move(storage_));
  out_of_memory_ = !ok && error.ends_with(KernelArgs::kScratchMemoryFault);
  error_ = ok ? std::string() : std::move(error);
  status_ = ok ? CommandBufferStatus::kCompleted : CommandBufferStatus::kError;
}

namespace {

struct GroupRun {
  const KernelArgs* args;
  KernelFn entry;
  uint64_t gx, gy;
};

void run_group(const GroupRun& r, size_t i) {
  // Groups of the first row of the grid (every group of a one-row grid, as
  // most are) are placed without the two divisions.
  uint64_t x = i, y = 0, z = 0;
  if (i >= r.gx) {
    x = i % r.gx;
    const uint64_t rest = i / r.gx;
    y = rest % r.gy;
    z = rest / r.gy;
  }
  Size3 g;
#if defined(__x86_64__)
  // The call takes g's first 16 bytes with one load, which waits about a
  // dozen cycles when they were stored as two fields: stored as one here.
  static_assert(offsetof(Size3, width) == 0 && offsetof(Size3, height) == sizeof(uint64_t),
                "the store below writes width, then height");
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&g), _mm_set_epi64x(int64_t(y), int64_t(x)));
#else
  g.width = x;
  g.height = y;
#endif
  g.depth = z;
  r.entry(*r.args, g);
}

void run_group(void* context, size_t i) { run_group(*static_cast<const GroupRun*>(context), i); }

// The threadgroups of a dispatch spread over the pool in lanes, one per
// thread: a lane is a contiguous run of groups that one thread takes from
// its front a few groups at a time, so that its reads continue where they
// left off (the weights of a product's next rows are already on their
// way); a thread whose lane is empty takes from the back of the others'.
// Which thread runs a group changes no bit of it.
constexpr size_t kMaxLanes = 64;
// Takes per lane when no other thread steals: enough that a lane whose
// thread is held up (taken off its core, or slowed by a busy memory) leaves
// work the others can take, and that the last take every thread waits for
// is short. A lane continues one read whatever its takes, so more of them
// cost only their claims: with four, the takes of the decoder's output head
// (a quarter of 3.7 MB each at eight threads) left the threads that had run
// out waiting long enough to cost a sixth of its rate.
constexpr uint64_t kTakesPerLane = 16;

class Lanes {
 public:
  Lanes(uint64_t groups, size_t threads, void* context, void (*work)(void*, size_t))
      : context_(context), work_(work) {
    count_ = std::max<size_t>(1, std::min<uint64_t>({threads, kMaxLanes, groups}));
    const uint64_t per_lane = groups / count_;
    take_ = std::max<uint64_t>(1, per_lane / kTakesPerLane);
    for (size_t k = 0; k < count_; ++k)
      lane_[k].range.store(pack(k * groups / count_, (k + 1) * groups / count_), std::memory_order_relaxed);
  }

  size_t count() const { return count_; }

  // Lane i from its front, then the others from their backs.
  void run(size_t i) {
    uint64_t begin, end;
    while (take_front(lane_[i], begin, end)) run_groups(begin, end);
    for (size_t k = 1; k < count_; ++k) {
      Lane& other = lane_[(i + k) % count_];
      while (take_back(other, begin, end)) run_groups(begin, end);
    }
  }

  static void run_lane(void* context, size_t i) { static_cast<Lanes*>(context)->run(i); }

 private:
  // A lane's groups still to run, [front, back), in one word.
  struct alignas(64) Lane {
    std::atomic<uint64_t> range{0};
  };
  static constexpr uint64_t pack(uint64_t front, uint64_t back) { return front << 32 | back; }
  static constexpr uint64_t front_of(uint64_t r) { return r >> 32; }
  static constexpr uint64_t back_of(uint64_t r) { return r & 0xffffffffu; }

  bool take_front(Lane& lane, uint64_t& begin, uint64_t& end) const {
    uint64_t r = lane.range.load(std::memory_order_relaxed);
    do {
      if (front_of(r) >= back_of(r)) return false;
      begin = front_of(r);
      end = std::min(back_of(r), begin + take_);
    } while (!lane.range.compare_exchange_weak(r, pack(end, back_of(r)), std::memory_order_relaxed));
    return true;
  }
  bool take_back(Lane& lane, uint64_t& begin, uint64_t& end) const {
    uint64_t r = lane.range.load(std::memory_order_relaxed);
    do {
      if (front_of(r) >= back_of(r)) return false;
      end = back_of(r);
      begin = end - std::min(end - front_of(r), take_);
    } while (!lane.range.compare_exchange_weak(r, pack(front_of(r), begin), std::memory_order_relaxed));
    return true;
  }
  void run_groups(uint64_t begin, uint64_t end) const {
    for (uint64_t g = begin; g < end; ++g) work_(context_, g);
  }

  void* context_;
  void (*work_)(void*, size_t);
  size_t count_;
  uint64_t take_;
  Lane lane_[kMaxLanes];
};

// Runs work(context, g) for every g below groups across the pool.
void run_groups(uint64_t groups, void* context, void (*work)(void*, size_t)) {
  if (groups > 0xffffffffu) return dispatch_apply_f(groups, context, work);  // past a lane's 32-bit range
  Lanes lanes(groups, parallel_thread_count(), context, work);
  dispatch_apply_f(lanes.count(), &lanes, Lanes::run_lane);
}

// A dispatch ready to run: its arguments and the slot its kernel reports a
// fault in.
struct Prepared {
  KernelArgs args;
  std::atomic<const char*> fault{nullptr};
  const Function* fn = nullptr;
};

std::string kernel_text(const Function& fn) { return "kernel '" + fn.name() + "': "; }

// Binds and checks the dispatch c into p; false with *error set when it
// cannot run.
bool prepare(const CommandBuffer::Command& c, const CommandStorage& store, Prepared& p, std::string* error) {
  if (c.pipeline == nullptr) {
    *error = "a dispatch had no compute pipeline";
    return false;
  }
  const Function& fn = *c.pipeline->function();
  p.fn = &fn;
  const uint64_t threads = c.group.volume();
  if (threads == 0 || threads > kMaxThreadsPerThreadgroup) {
    *error = kernel_text(fn) + "threadgroup of " + std::to_string(threads) + " threads";
    return false;
  }
  KernelArgs& args = p.args;
  for (uint32_t k = 0; k < c.bound_count; ++k) {
    const CommandBuffer::Bound& b = store.bound[c.first_bound + k];
    if (b.buffer != nullptr) {
      if (b.offset > b.buffer->length()) {
        *error = kernel_text(fn) + "buffer at index " + std::to_string(b.index) + " bound at offset " +
                 std::to_string(b.offset) + " past its length " + std::to_string(b.buffer->length());
        return false;
      }
      args.data[b.index] = b.buffer->storage() + b.offset;
      args.size[b.index] = b.buffer->length() - b.offset;
    } else {
      args.data[b.index] = const_cast<uint8_t*>(store.bytes.data()) + b.bytes_at;
      args.size[b.index] = b.bytes_length;
    }
  }
  args.grid = c.grid;
  args.group_size = c.group;
  args.groups = c.groups;
  args.fault_slot = &p.fault;
  static std::atomic<uint64_t> dispatches{0};
  args.dispatch_id = dispatches.fetch_add(1, std::memory_order_relaxed) + 1;
  std::string why;
  if (fn.check() != nullptr && !fn.check()(args, &why)) {
    *error = kernel_text(fn) + why;
    return false;
  }
  return true;
}

// False with *error naming the kernel when it reported a fault.
bool fault_free(const Prepared& p, std::string* error) {
  if (const char* f = p.fault.load()) {
    *error = kernel_text(*p.fn) + f;
    return false;
  }
  return true;
}

bool run_dispatch(const CommandBuffer::Command& c, const CommandStorage& store, std::string* error) {
  if (c.grid.volume() == 0) return true;  // nothing asked: no-op
  Prepared p;
  if (!prepare(c, store, p, error)) return false;
  const uint64_t groups = c.groups.volume();
  if (p.fn->grid() != nullptr) {
    p.fn->grid()(p.args);
  } else {
    GroupRun r{&p.args, p.fn->entry(), c.groups.width, c.groups.height};
    if (groups == 1 || c.grid.volume() <= kSerialThreads) {
      for (uint64_t i = 0; i < groups; ++i) run_group(r, i);
    } else {
      run_groups(groups, &r, run_group);
    }
  }
  return fault_free(p, error);
}

// Linked dispatches run together: at most this many.
constexpr size_t kMaxJoined = 8;

struct JoinedRun {
  GroupRun runs[kMaxJoined];
  uint64_t first[kMaxJoined + 1];  // the first iteration of each dispatch
  size_t count = 0;
};

void run_joined_group(void* context, size_t i) {
  const JoinedRun& j = *static_cast<const JoinedRun*>(context);
  size_t d = 0;
  while (i >= j.first[d + 1]) ++d;
  run_group(j.runs[d], i - j.first[d]);
}

// The n dispatches at c, each but the first linked to the one before it, as
// one loop over all their threadgroups. Grid kernels run their own stages, one after another, as
// do empty dispatches' no-ops.
bool run_joined(const CommandBuffer::Command* c, size_t n, const CommandStorage& store, std::string* error) {
  Prepared prepared[kMaxJoined];
  JoinedRun j;
  uint64_t threads = 0;
  j.first[0] = 0;
  for (size_t d = 0; d < n; ++d) {
    if (c[d].grid.volume() == 0) continue;
    Prepared& p = prepared[d];
    if (!prepare(c[d], store, p, error)) return false;
    if (p.fn->grid() != nullptr) {
      p.fn->grid()(p.args);
      if (!fault_free(p, error)) return false;
      continue;
    }
    j.runs[j.count] = GroupRun{&p.args, p.fn->entry(), c[d].groups.width, c[d].groups.height};
    j.first[j.count + 1] = j.first[j.count] + c[d].groups.volume();
    ++j.count;
    threads += c[d].grid.volume();
  }
  const uint64_t groups = j.first[j.count];
  if (j.count == 1 || threads <= kSerialThreads) {
    for (uint64_t i = 0; i < groups; ++i) run_joined_group(&j, i);
  } else {
    run_groups(groups, &j, run_joined_group);
  }
  for (size_t d = 0; d < n; ++d)
    if (prepared[d].fn != nullptr && !fault_free(prepared[d], error)) return false;
  return true;
}

}  // namespace

bool CommandBuffer::wants_team() const {
  for (const Command& c : storage_->commands) {
    if (c.kind == CommandKind::kHost) return true;
    if (c.kind == CommandKind::kDispatch && c.groups.volume() > 1 &&
        (c.grid.volume() > kSerialThreads || (c.pipeline != nullptr && c.pipeline->function()->grid() != nullptr)))
      return true;
  }
  return false;
}

bool CommandBuffer::run(std::string* error) {
  std::vector<Command>& commands = storage_->commands;
  for (size_t i = 0; i < commands.size(); ++i) {
    Command& c = commands[i];
    switch (c.kind) {
      case CommandKind::kDispatch: {
        size_t n = 1;
        while (n < kMaxJoined && i + n < commands.size() && commands[i + n].kind == CommandKind::kDispatch &&
               commands[i + n].concurrent)
          ++n;
        if (!(n == 1 ? run_dispatch(c, *storage_, error) : run_joined(&c, n, *storage_, error))) return false;
        i += n - 1;
        break;
      }
      case CommandKind::kCopy:
        if (!range_inside(c.source_offset, c.size, c.source->length()) ||
            !range_inside(c.destination_offset, c.size, c.destination->length())) {
          *error = "blit copy of " + std::to_string(c.size) + " bytes outside its buffers";
          return false;
        }
        if (c.size != 0)
          std::memmove(c.destination->storage() + c.destination_offset, c.source->storage() + c.source_offset,
                       c.size);
        break;
      case CommandKind::kFill:
        if (!range_inside(c.destination_offset, c.size, c.destination->length())) {
          *error = "blit fill of " + std::to_string(c.size) + " bytes outside its buffer";
          return false;
        }
        if (c.size != 0) std::memset(c.destination->storage() + c.destination_offset, c.value, c.size);
        break;
      case CommandKind::kHost:
        if (!c.host(error)) {
          if (error->empty()) *error = "a host command failed";
          return false;
        }
        break;
      case CommandKind::kFail:
        *error = c.text;
        return false;
    }
  }
  return true;
}

// Compute encoder.

bool ComputeCommandEncoder::usable(const char* what) {
  if (!ended_) return true;
  owner_->encoding_error(std::string(what) + " on an ended compute encoder");
  return false;
}

void ComputeCommandEncoder::set_compute_pipeline_state(const PipelineRef& pipeline) {
  if (usable("set_compute_pipeline_state")) pipeline_ = pipeline;
}

void ComputeCommandEncoder::set_buffer(const BufferRef& buffer, uint64_t offset, uint32_t index) {
  if (!usable("set_buffer")) return;
  if (index >= kMaxBufferBindings) {
    owner_->encoding_error("set_buffer at index " + std::to_string(index));
    return;
  }
  Binding& b = bindings_[index];
  b.buffer = buffer;
  b.offset = offset;
  b.bytes_at = b.bytes_length = 0;
  if (buffer != nullptr)
    set_ |= 1u << index;
  else
    set_ &= ~(1u << index);
}

void ComputeCommandEncoder::set_buffer_offset(uint64_t offset, uint32_t index) {
  if (!usable("set_buffer_offset")) return;
  if (index >= kMaxBufferBindings || bindings_[index].buffer == nullptr) {
    owner_->encoding_error("set_buffer_offset at index " + std::to_string(index) + " with no buffer bound");
    return;
  }
  bindings_[index].offset = offset;
}

void ComputeCommandEncoder::set_bytes(const void* bytes, uint64_t length, uint32_t index) {
  if (!usable("set_bytes")) return;
  if (index >= kMaxBufferBindings || length > kMaxSetBytesLength || (bytes == nullptr && length != 0)) {
    owner_->encoding_error("set_bytes of " + std::to_string(length) + " bytes at index " +
                           std::to_string(index));
    return;
  }
  Binding& b = bindings_[index];
  b.buffer = nullptr;
  b.offset = 0;
  // An empty set_bytes still binds an address the kernel can be refused on.
  b.bytes_at = owner_->keep_bytes(bytes, length);
  b.bytes_length = uint32_t(length);
  set_ |= 1u << index;
}

void ComputeCommandEncoder::dispatch(Size3 grid, Size3 group, Size3 groups) {
  if (!usable("dispatch")) return;
  CommandBuffer::Command c;
  c.kind = CommandKind::kDispatch;
  c.pipeline = pipeline_;
  c.grid = grid;
  c.group = group;
  c.groups = groups;
  c.concurrent = type_ == DispatchType::kConcurrent;
  if (grid.volume() != 0) {
    // The snapshot goes into the command buffer's one list of bindings.
    c.first_bound = owner_->bound_count();
    for (uint32_t set = set_; set != 0; set &= set - 1) {
      const uint32_t i = uint32_t(__builtin_ctz(set));
      const Binding& b = bindings_[i];
      owner_->bind(i, b.buffer, b.offset, b.bytes_at, b.bytes_length);
    }
    c.bound_count = owner_->bound_count() - c.first_bound;
  }
  owner_->append(std::move(c));
}

void ComputeCommandEncoder::dispatch_threads(Size3 grid, Size3 group) {
  Size3 groups{0, 0, 0};
  if (group.volume() != 0)
    groups = Size3{ceil_div(grid.width, group.width), ceil_div(grid.height, group.height),
                   ceil_div(grid.depth, group.depth)};
  dispatch(grid, group, groups);
}

void ComputeCommandEncoder::dispatch_threadgroups(Size3 groups, Size3 group) {
  Size3 grid{groups.width * group.width, groups.height * group.height, groups.depth * group.depth};
  if (groups.volume() == 0) grid = Size3{0, 0, 0};
  dispatch(grid, group, groups);
}

void ComputeCommandEncoder::end_encoding() {
  if (ended_) return;
  ended_ = true;
  // An ended encoder binds nothing more: its buffers are let go now.
  pipeline_ = nullptr;
  for (; set_ != 0; set_ &= set_ - 1) bindings_[__builtin_ctz(set_)].buffer = nullptr;
  owner_->end_encoder();
}

// Blit encoder.

bool BlitCommandEncoder::usable(const char* what) {
  if (!ended_) return true;
  owner_->encoding_error(std::string(what) + " on an ended blit encoder");
  return false;
}

void BlitCommandEncoder::copy_from_buffer(const BufferRef& source, uint64_t source_offset,
                                          const BufferRef& destination, uint64_t destination_offset,
                                          uint64_t size) {
  if (!usable("copy_from_buffer")) return;
  if (source == nullptr || destination == nullptr) {
    owner_->encoding_error("blit copy with a null buffer");
    return;
  }
  CommandBuffer::Command c;
  c.kind = CommandKind::kCopy;
  c.source = source;
  c.source_offset = source_offset;
  c.destination = destination;
  c.destination_offset = destination_offset;
  c.size = size;
  owner_->append(std::move(c));
}

void BlitCommandEncoder::fill_buffer(const BufferRef& buffer, uint64_t offset, uint64_t length,
                                     uint8_t value) {
  if (!usable("fill_buffer")) return;
  if (buffer == nullptr) {
    owner_->encoding_error("blit fill of a null buffer");
    return;
  }
  CommandBuffer::Command c;
  c.kind = CommandKind::kFill;
  c.destination = buffer;
  c.destination_offset = offset;
  c.size = length;
  c.value = value;
  owner_->append(std::move(c));
}

void BlitCommandEncoder::end_encoding() {
  if (ended_) return;
  ended_ = true;
  owner_->end_encoder();
}

}  // namespace vorn::mtl
