// Atomics on plain 32- and 64-bit words with an explicit ordering argument:
// 0 relaxed, 1 acquire, 2 release, 3 sequentially consistent.
#pragma once
#include <cstdint>

namespace vorn {

uint32_t atomic_load_u32(uint32_t* word, int order);
void atomic_store_u32(uint32_t* word, uint32_t value, int order);
uint32_t atomic_exchange_u32(uint32_t* word, uint32_t value, int order);
uint32_t atomic_fetch_add_u32(uint32_t* word, uint32_t value, int order);
uint32_t atomic_fetch_sub_u32(uint32_t* word, uint32_t value, int order);
uint32_t atomic_fetch_and_u32(uint32_t* word, uint32_t value, int order);
uint32_t atomic_fetch_or_u32(uint32_t* word, uint32_t value, int order);
uint32_t atomic_fetch_xor_u32(uint32_t* word, uint32_t value, int order);
// Strong compare-exchange; returns the value found (success when it equals
// expected).
uint32_t atomic_cas_u32(uint32_t* word, uint32_t expected, uint32_t desired, int order);

uint64_t atomic_load_u64(uint64_t* word, int order);
void atomic_store_u64(uint64_t* word, uint64_t value, int order);
uint64_t atomic_exchange_u64(uint64_t* word, uint64_t value, int order);
uint64_t atomic_fetch_add_u64(uint64_t* word, uint64_t value, int order);
uint64_t atomic_fetch_sub_u64(uint64_t* word, uint64_t value, int order);
uint64_t atomic_fetch_and_u64(uint64_t* word, uint64_t value, int order);
uint64_t atomic_fetch_or_u64(uint64_t* word, uint64_t value, int order);
uint64_t atomic_fetch_xor_u64(uint64_t* word, uint64_t value, int order);
uint64_t atomic_cas_u64(uint64_t* word, uint64_t expected, uint64_t desired, int order);

// 0 nothing, 1 acquire fence, 2 and 3 sequentially consistent fence.
void atomic_fence(int order);

}  // namespace vorn
