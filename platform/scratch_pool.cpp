#include "platform/scratch_pool.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <new>

#include "platform/large_pages.h"

namespace vorn {

namespace {

// Blocks are rounded up to 64-float multiples and 64-byte aligned for the
// product kernels and vector loops that read them.
constexpr size_t kQuantum = 64;

struct Pool {
  std::mutex lock;
  std::multimap<size_t, float*> free;  // capacity -> block
  size_t free_bytes = 0;
};

Pool& pool() {
  static Pool* p = new Pool;  // made on first use, never destroyed (leases may outlive statics)
  return *p;
}

}  // namespace

ScratchLease::ScratchLease(size_t floats) {
  const size_t want = (floats + kQuantum - 1) / kQuantum * kQuantum;
  if (want == 0) return;
  Pool& p = pool();
  {
    std::lock_guard<std::mutex> hold(p.lock);
    auto it = p.free.lower_bound(want);
    // A block more than twice the need stays for a larger request.
    if (it != p.free.end() && it->first <= 2 * want) {
      capacity_ = it->first;
      data_ = it->second;
      p.free.erase(it);
      p.free_bytes -= capacity_ * sizeof(float);
      return;
    }
  }
  data_ = static_cast<float*>(large_pages_alloc(want * sizeof(float)));
  if (data_ == nullptr) throw std::bad_alloc();
  capacity_ = want;
}

ScratchLease::~ScratchLease() {
  if (data_ == nullptr) return;
  Pool& p = pool();
  std::lock_guard<std::mutex> hold(p.lock);
  p.free.emplace(capacity_, data_);
  p.free_bytes += capacity_ * sizeof(float);
}

ScratchLease::ScratchLease(ScratchLease&& other) noexcept : data_(other.data_), capacity_(other.capacity_) {
  other.data_ = nullptr;
  other.capacity_ = 0;
}

ScratchLease& ScratchLease::operator=(ScratchLease&& other) noexcept {
  if (this != &other) {
    ScratchLease old(std::move(*this));
    data_ = other.data_;
    capacity_ = other.capacity_;
    other.data_ = nullptr;
    other.capacity_ = 0;
  }
  return *this;
}

size_t scratch_pool_trim() {
  Pool& p = pool();
  std::lock_guard<std::mutex> hold(p.lock);
  const size_t freed = p.free_bytes;
  for (auto& [capacity, block] : p.free) large_pages_free(block, capacity * sizeof(float));
  p.free.clear();
  p.free_bytes = 0;
  return freed;
}

size_t scratch_pool_free_bytes() {
  Pool& p = pool();
  std::lock_guard<std::mutex> hold(p.lock);
  return p.free_bytes;
}

}  // namespace vorn
