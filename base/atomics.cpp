#include "base/atomics.h"

#include <atomic>

namespace vorn {

namespace {

// Loads: 0 relaxed, 1 acquire, anything else sequentially consistent.
std::memory_order load_order(int order) {
  if (order == 0) return std::memory_order_relaxed;
  if (order == 1) return std::memory_order_acquire;
  return std::memory_order_seq_cst;
}

// Stores: 0 relaxed, anything else sequentially consistent.
std::memory_order store_order(int order) {
  return order == 0 ? std::memory_order_relaxed : std::memory_order_seq_cst;
}

// Read-modify-write: 0 relaxed, 1 acquire, 2 release, 3 (and anything else)
// sequentially consistent.
std::memory_order rmw_order(int order) {
  switch (order) {
    case 0: return std::memory_order_relaxed;
    case 1: return std::memory_order_acquire;
    case 2: return std::memory_order_release;
    default: return std::memory_order_seq_cst;
  }
}

std::memory_order cas_failure_order(int order) {
  switch (order) {
    case 0: return std::memory_order_relaxed;
    case 1: return std::memory_order_acquire;
    case 2: return std::memory_order_relaxed;
    default: return std::memory_order_seq_cst;
  }
}

template <class T>
T load(T* w, int order) { return std::atomic_ref<T>(*w).load(load_order(order)); }
template <class T>
void store(T* w, T v, int order) { std::atomic_ref<T>(*w).store(v, store_order(order)); }
template <class T>
T cas(T* w, T expected, T desired, int order) {
  std::atomic_ref<T>(*w).compare_exchange_strong(expected, desired, rmw_order(order),
                                                 cas_failure_order(order));
  return expected;  // holds the value found either way
}

}  // namespace

#define VORN_ATOMIC_FAMILY(T, SUFFIX)                                                   \
  T atomic_load_##SUFFIX(T* w, int o) { return load<T>(w, o); }                         \
  void atomic_store_##SUFFIX(T* w, T v, int o) { store<T>(w, v, o); }                   \
  T atomic_exchange_##SUFFIX(T* w, T v, int o) {                                         \
    return std::atomic_ref<T>(*w).exchange(v, rmw_order(o));                             \
  }                                                                                      \
  T atomic_fetch_add_##SUFFIX(T* w, T v, int o) {                                        \
    return std::atomic_ref<T>(*w).fetch_add(v, rmw_order(o));                            \
  }                                                                                      \
  T atomic_fetch_sub_##SUFFIX(T* w, T v, int o) {                                        \
    return std::atomic_ref<T>(*w).fetch_add(T(0) - v, rmw_order(o));                     \
  }                                                                                      \
  T atomic_fetch_and_##SUFFIX(T* w, T v, int o) {                                        \
    return std::atomic_ref<T>(*w).fetch_and(v, rmw_order(o));                            \
  }                                                                                      \
  T atomic_fetch_or_##SUFFIX(T* w, T v, int o) {                                         \
    return std::atomic_ref<T>(*w).fetch_or(v, rmw_order(o));                             \
  }                                                                                      \
  T atomic_fetch_xor_##SUFFIX(T* w, T v, int o) {                                        \
    return std::atomic_ref<T>(*w).fetch_xor(v, rmw_order(o));                            \
  }                                                                                      \
  T atomic_cas_##SUFFIX(T* w, T e, T d, int o) { return cas<T>(w, e, d, o); }

VORN_ATOMIC_FAMILY(uint32_t, u32)
VORN_ATOMIC_FAMILY(uint64_t, u64)
#undef VORN_ATOMIC_FAMILY

void atomic_fence(int order) {
  if (order == 0) return;
  std::atomic_thread_fence(order == 1 ? std::memory_order_acquire : std::memory_order_seq_cst);
}

}  // namespace vorn
