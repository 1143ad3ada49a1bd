#include "base/vectors.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace vorn {

namespace {

// Largest item count whose byte size still fits in 64 bits.
template <class T>
constexpr uint64_t kMaxItems = UINT64_MAX / sizeof(T);

// The shared machinery of the three vector kinds: {ptr, len, cap} over
// trivially copyable items.
template <class V, class T>
uint32_t set_capacity(V* v, uint64_t items) {
  if (items > kMaxItems<T>) return kStatusOverflow;
  auto* p = static_cast<T*>(std::realloc(v->ptr, items * sizeof(T)));
  if (p == nullptr) return kStatusOverflow;
  v->ptr = p;
  v->cap = items;
  return kStatusOk;
}

template <class V, class T>
uint32_t reserve_exact(V* v, uint64_t n) {
  if (n <= v->cap) return kStatusOk;
  return set_capacity<V, T>(v, n);
}

template <class V, class T>
uint32_t reserve(V* v, uint64_t n) {
  FlaggedU64 need = checked_add(v->len, n);
  if (need.failed) return kStatusOverflow;
  if (need.value <= v->cap) return kStatusOk;
  return set_capacity<V, T>(v, grow_capacity(v->cap, need.value));
}

template <class V, class T>
uint32_t push(V* v, const T& item) {
  if (reserve<V, T>(v, 1) != kStatusOk) return kStatusOverflow;
  v->ptr[v->len++] = item;
  return kStatusOk;
}

template <class V>
void release(V* v) {
  std::free(v->ptr);
  v->ptr = nullptr;
  v->len = 0;
  v->cap = 0;
}

}  // namespace

FlaggedU64 checked_add(uint64_t a, uint64_t b) {
  uint64_t sum = a + b;
  return FlaggedU64{sum < a, sum};
}

FlaggedU64 vec_size_u32(uint64_t n) {
  if (n >= (uint64_t{1} << 62)) return FlaggedU64{true, 0};
  return FlaggedU64{false, n * 4};
}

FlaggedU64 vec_size_24(uint64_t n) {
  if (n > 0x0AAAAAAAAAAAAAAAull) return FlaggedU64{true, 0};
  return FlaggedU64{false, n * 24};
}

// --- U32Vec ---

U32Vec u32vec_new() { return U32Vec{nullptr, 0, 0}; }

U32Vec u32vec_with_capacity(uint64_t n) {
  U32Vec v = u32vec_new();
  if (n != 0) set_capacity<U32Vec, uint32_t>(&v, n);
  return v;
}

void u32vec_free(U32Vec* v) { release(v); }

uint32_t u32vec_reserve_exact(U32Vec* v, uint64_t n) { return reserve_exact<U32Vec, uint32_t>(v, n); }
uint32_t u32vec_reserve(U32Vec* v, uint64_t n) { return reserve<U32Vec, uint32_t>(v, n); }
uint32_t u32vec_push(U32Vec* v, uint32_t x) { return push(v, x); }

uint32_t u32vec_append(U32Vec* v, const uint32_t* items, uint64_t n) {
  if (n == 0) return kStatusOk;
  if (reserve<U32Vec, uint32_t>(v, n) != kStatusOk) return kStatusOverflow;
  std::memcpy(v->ptr + v->len, items, n * sizeof(uint32_t));
  v->len += n;
  return kStatusOk;
}

uint32_t u32vec_insert(U32Vec* v, uint32_t x, uint64_t position) {
  if (position > v->len) return kStatusOutOfRange;
  if (reserve<U32Vec, uint32_t>(v, 1) != kStatusOk) return kStatusOverflow;
  std::memmove(v->ptr + position + 1, v->ptr + position, (v->len - position) * sizeof(uint32_t));
  v->ptr[position] = x;
  ++v->len;
  return kStatusOk;
}

uint32_t u32vec_set(U32Vec* v, uint32_t x, uint64_t index) {
  if (index >= v->len) return kStatusOutOfRange;
  v->ptr[index] = x;
  return kStatusOk;
}

uint32_t u32vec_pop(U32Vec* v, uint32_t* out) {
  if (v->len == 0) return 1;
  --v->len;
  if (out != nullptr) *out = v->ptr[v->len];
  return kStatusOk;
}

uint32_t u32vec_remove(U32Vec* v, uint64_t index, uint32_t* out) {
  if (index >= v->len) return 1;
  if (out != nullptr) *out = v->ptr[index];
  std::memmove(v->ptr + index, v->ptr + index + 1, (v->len - index - 1) * sizeof(uint32_t));
  --v->len;
  return kStatusOk;
}

uint32_t u32vec_swap_remove(U32Vec* v, uint64_t index, uint32_t* out) {
  if (index >= v->len) return 1;
  if (out != nullptr) *out = v->ptr[index];
  v->ptr[index] = v->ptr[v->len - 1];
  --v->len;
  return kStatusOk;
}

FlaggedU32 u32vec_get(const U32Vec* v, uint64_t index) {
  if (index >= v->len) return FlaggedU32{true, 0};
  return FlaggedU32{false, v->ptr[index]};
}

FlaggedPtr<uint32_t> u32vec_at(U32Vec* v, uint64_t index) {
  if (index >= v->len) return {true, nullptr};
  return {false, v->ptr + index};
}

void u32vec_clear(U32Vec* v) { v->len = 0; }
void u32vec_truncate(U32Vec* v, uint64_t n) {
  if (n < v->len) v->len = n;
}
bool u32vec_is_empty(const U32Vec* v) { return v->len == 0; }

std::span<const uint32_t> u32vec_as_slice(const U32Vec* v) {
  if (v->len == 0) return {};
  return {v->ptr, static_cast<size_t>(v->len)};
}

uint32_t u32vec_shrink_to_fit(U32Vec* v) {
  if (v->cap == v->len) return kStatusOk;
  if (v->len == 0) {
    release(v);
    return kStatusOk;
  }
  return set_capacity<U32Vec, uint32_t>(v, v->len);
}

void u32vec_for_each(const U32Vec* v, void (*f)(void*, uint32_t), void* ctx) {
  for (uint64_t i = 0; i < v->len; ++i) f(ctx, v->ptr[i]);
}

uint64_t u32vec_fold(const U32Vec* v, uint64_t init, uint64_t (*f)(uint64_t, uint32_t)) {
  for (uint64_t i = 0; i < v->len; ++i) init = f(init, v->ptr[i]);
  return init;
}

// --- Item24Vec ---

Item24Vec item24vec_new() { return Item24Vec{nullptr, 0, 0}; }

uint32_t item24vec_push(Item24Vec* v, Item24 item) {
  if (push(v, item) == kStatusOk) return kStatusOk;
  std::free(item.owned);
  return kStatusOverflow;
}

Result<Item24, uint32_t> item24vec_remove(Item24Vec* v, uint64_t index) {
  if (index >= v->len) return Result<Item24, uint32_t>::failure(kStatusOutOfRange);
  Item24 item = v->ptr[index];
  std::memmove(v->ptr + index, v->ptr + index + 1, (v->len - index - 1) * sizeof(Item24));
  --v->len;
  return Result<Item24, uint32_t>::success(item);
}

uint32_t item24vec_reserve_exact(Item24Vec* v, uint64_t n) { return reserve_exact<Item24Vec, Item24>(v, n); }

FlaggedPtr<Item24> item24vec_at(Item24Vec* v, uint64_t index) {
  if (index >= v->len) return {true, nullptr};
  return {false, v->ptr + index};
}

uint64_t item24vec_fold(const Item24Vec* v, uint64_t init, uint64_t (*f)(uint64_t, const Item24&)) {
  for (uint64_t i = 0; i < v->len; ++i) init = f(init, v->ptr[i]);
  return init;
}

void item24vec_free(Item24Vec* v) {
  for (uint64_t i = 0; i < v->len; ++i) std::free(v->ptr[i].owned);
  release(v);
}

// --- Item16Vec ---

Item16Vec item16vec_new() { return Item16Vec{nullptr, 0, 0}; }
uint32_t item16vec_reserve(Item16Vec* v, uint64_t n) { return reserve<Item16Vec, Item16>(v, n); }
uint32_t item16vec_push(Item16Vec* v, uint64_t first, uint64_t second) { return push(v, Item16{first, second}); }

FlaggedU64 item16vec_get(const Item16Vec* v, uint64_t index) {
  if (index >= v->len) return FlaggedU64{true, 0};
  return FlaggedU64{false, v->ptr[index].first};
}

FlaggedPtr<Item16> item16vec_at(Item16Vec* v, uint64_t index) {
  if (index >= v->len) return {true, nullptr};
  return {false, v->ptr + index};
}

void item16vec_free(Item16Vec* v) { release(v); }

uint32_t item16vec_push_slice(Item16Vec* v, Slice s) {
  return item16vec_push(v, reinterpret_cast<uint64_t>(s.ptr), s.len);
}

Slice item16_slice(const Item16& item) {
  return slice_of(reinterpret_cast<const uint8_t*>(item.first), item.second);
}

// --- Iterators ---

namespace {

bool u32_iter_next(U32VecIter* it) {
  if (it->position >= it->vec->len) return false;
  it->current = it->vec->ptr[it->position++];
  it->started = 1;
  return true;
}
void u32_iter_release(U32VecIter* it) { std::free(it); }

bool item24_iter_next(Item24VecIter* it) {
  if (it->position >= it->vec->len) {
    it->current = Item24{nullptr, 0, 0};
    return false;
  }
  it->current = it->vec->ptr[it->position++];
  return true;
}
void item24_iter_release(Item24VecIter* it) { std::free(it); }

}  // namespace

U32VecIter* u32vec_iter(const U32Vec* v) {
  auto* it = static_cast<U32VecIter*>(std::malloc(sizeof(U32VecIter)));
  if (it == nullptr) return nullptr;
  *it = U32VecIter{u32_iter_next, u32_iter_release, 0, 0, v, 0};
  return it;
}

Item24VecIter* item24vec_iter(const Item24Vec* v) {
  auto* it = static_cast<Item24VecIter*>(std::malloc(sizeof(Item24VecIter)));
  if (it == nullptr) return nullptr;
  *it = Item24VecIter{item24_iter_next, item24_iter_release, Item24{nullptr, 0, 0}, v, 0};
  return it;
}

}  // namespace vorn
