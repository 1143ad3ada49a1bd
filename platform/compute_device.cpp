// The device, its buffers, libraries, pipelines and queues. Command buffers
// and encoders are in command_buffer.cpp.
#include "platform/compute_device.h"

#include "platform/large_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace vorn::mtl {

namespace {

std::atomic<bool (*)()> g_device_fault_hook{nullptr};

uint64_t physical_memory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return 0;
  return uint64_t(pages) * uint64_t(page);
}

// Buffers from this size on (a model's weights) are asked for in large
// pages: decode streams every weight once per token, and in small pages the
// stream misses the address translation cache every 4 KiB, each miss a
// page walk the prefetches wait behind (about a tenth of a Q8 decode step on
// one core). Smaller buffers keep small pages, so that memory is still taken
// only where touched.
constexpr uint64_t kLargePageBufferBytes = 8ull << 20;

// Anonymous mappings are zero-filled and take no memory until touched, so a
// large weights buffer costs only what is loaded into it.
uint8_t* map_aligned(uint64_t bytes) {
  if (bytes > SIZE_MAX) return nullptr;
  return static_cast<uint8_t*>(map_pages(size_t(bytes), kBufferAlignment, kLargePageBufferBytes));
}

}  // namespace

bool kernel_require(const KernelArgs& args, uint32_t index, uint64_t bytes, std::string* error) {
  if (index < kMaxBufferBindings && args.data[index] != nullptr && args.size[index] >= bytes) return true;
  if (error != nullptr) {
    if (index >= kMaxBufferBindings || args.data[index] == nullptr)
      *error = "nothing bound at index " + std::to_string(index);
    else
      *error = "index " + std::to_string(index) + " holds " + std::to_string(args.size[index]) +
               " bytes, needs " +
               (bytes == UINT64_MAX ? std::string("more than 2^64") : std::to_string(bytes));
  }
  return false;
}

bool kernel_refuse(const char* what, std::string* error) {
  if (error != nullptr) *error = what;
  return false;
}

void set_default_device_fault_hook(bool (*refuse)()) { g_device_fault_hook.store(refuse); }

struct Device::Counter {
  std::atomic<uint64_t> bytes{0};
};

Device::Device()
    : name_("vorn host compute device"),
      working_set_(physical_memory() / 4 * 3),
      allocated_(std::make_shared<Counter>()) {}

DeviceRef create_system_default_device() {
  bool (*hook)() = g_device_fault_hook.load();
  if (hook != nullptr && hook()) return nullptr;
  // Made on first use; the one device lives for the process.
  static DeviceRef* device = new DeviceRef(std::shared_ptr<Device>(new Device()));
  return *device;
}

uint64_t Device::current_allocated_size() const { return allocated_->bytes.load(std::memory_order_relaxed); }

void Device::account(int64_t bytes) {
  allocated_->bytes.fetch_add(uint64_t(bytes), std::memory_order_relaxed);
}

BufferRef Device::new_buffer(uint64_t length, uint32_t options) {
  if (length == 0) return nullptr;
  if (options != kResourceStorageModeShared && options != kResourceStorageModePrivate) return nullptr;
  if (length > UINT64_MAX - kBufferAlignment) return nullptr;
  const uint64_t mapped = (length + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
  uint8_t* data = map_aligned(mapped);
  if (data == nullptr) return nullptr;
  account(int64_t(mapped));
  return BufferRef(new Buffer(shared_from_this(), data, length, mapped, options));
}

Buffer::Buffer(DeviceRef device, uint8_t* data, uint64_t length, uint64_t mapped, uint32_t options)
    : device_(std::move(device)), data_(data), length_(length), mapped_(mapped), options_(options) {}

Buffer::~Buffer() {
  munmap(data_, mapped_);
  device_->account(-int64_t(mapped_));
}

LibraryRef Device::new_library(const KernelSource& source, const CompileOptions& options,
                               std::string* error) {
  if (source.symbols == nullptr || source.count == 0) {
    if (error != nullptr) *error = "library source holds no kernels";
    return nullptr;
  }
  bool variant = false;
  if (source.variant_macro != nullptr) {
    for (const auto& [name, value] : options.macros)
      if (name == source.variant_macro) variant = value != 0;
  }
  return LibraryRef(new Library(source, variant));
}

Library::Library(const KernelSource& source, bool variant) : source_(source), variant_(variant) {}

FunctionRef Library::new_function(std::string_view name) const {
  for (size_t i = 0; i < source_.count; ++i) {
    const KernelSymbol& s = source_.symbols[i];
    if (name != s.name) continue;
    // A kernel with one body serves both variants.
    const int v = variant_ && (s.variants[1] != nullptr || s.grids[1] != nullptr) ? 1 : 0;
    if (s.variants[v] == nullptr && s.grids[v] == nullptr) return nullptr;
    return FunctionRef(new Function(std::string(name), s.variants[v], s.grids[v], s.checks[v]));
  }
  return nullptr;
}

std::vector<std::string> Library::function_names() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < source_.count; ++i) names.emplace_back(source_.symbols[i].name);
  return names;
}

PipelineRef Device::new_compute_pipeline_state(const FunctionRef& function, std::string* error) {
  if (function == nullptr) {
    if (error != nullptr) *error = "no function";
    return nullptr;
  }
  return PipelineRef(new ComputePipelineState(function));
}

CommandQueueRef Device::new_command_queue() { return CommandQueueRef(new CommandQueue(shared_from_this())); }

}  // namespace vorn::mtl
