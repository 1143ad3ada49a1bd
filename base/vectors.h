// Typed growable vectors for C-style callers: u32 items, 24-byte items that
// own a malloc'd pointer in their first word, and 16-byte word pairs (used
// for slices). Capacity grows by the byte strings' rule applied to item
// counts. Mutating operations return a status word and change nothing on
// failure.
#pragma once
#include <cstdint>
#include <span>

#include "base/bytes.h"
#include "base/result.h"

namespace vorn {

inline constexpr uint32_t kStatusOk = 0;
inline constexpr uint32_t kStatusOverflow = 1;  // overflow or allocation failure
inline constexpr uint32_t kStatusOutOfRange = 2;

inline constexpr uint64_t size_max = UINT64_MAX;

struct U32Vec {
  uint32_t* ptr;
  uint64_t len;
  uint64_t cap;  // in items
};

struct Item24 {
  void* owned;  // malloc'd; freed by item24vec_free and a failed push
  uint64_t word1;
  uint64_t word2;
};
static_assert(sizeof(Item24) == 24);

struct Item24Vec {
  Item24* ptr;
  uint64_t len;
  uint64_t cap;
};

struct Item16 {
  uint64_t first;
  uint64_t second;
};
static_assert(sizeof(Item16) == 16);

struct Item16Vec {
  Item16* ptr;
  uint64_t len;
  uint64_t cap;
};

// {flag, value} pairs: the flag is set when the index is out of range or
// the computation overflowed.
struct FlaggedU32 {
  bool failed;
  uint32_t value;
};
struct FlaggedU64 {
  bool failed;
  uint64_t value;
};
template <class T>
struct FlaggedPtr {
  bool failed;
  T* ptr;
};

FlaggedU64 checked_add(uint64_t a, uint64_t b);
// Byte sizes of n items; n = 0 gives {false, 0}.
FlaggedU64 vec_size_u32(uint64_t n);
FlaggedU64 vec_size_24(uint64_t n);

// --- U32Vec ---
U32Vec u32vec_new();
// n = 0 or an n too large to allocate gives the empty vector.
U32Vec u32vec_with_capacity(uint64_t n);
void u32vec_free(U32Vec* v);
uint32_t u32vec_reserve_exact(U32Vec* v, uint64_t n);  // capacity exactly n (never shrinks)
uint32_t u32vec_reserve(U32Vec* v, uint64_t n);        // room for len + n by the growth rule
uint32_t u32vec_push(U32Vec* v, uint32_t x);
uint32_t u32vec_append(U32Vec* v, const uint32_t* items, uint64_t n);
uint32_t u32vec_insert(U32Vec* v, uint32_t x, uint64_t position);  // 2 when position > len
uint32_t u32vec_set(U32Vec* v, uint32_t x, uint64_t index);        // 2 when index >= len
// These three report an empty vector or a bad index with 1, as their
// callers have always checked for.
uint32_t u32vec_pop(U32Vec* v, uint32_t* out = nullptr);
uint32_t u32vec_remove(U32Vec* v, uint64_t index, uint32_t* out = nullptr);
uint32_t u32vec_swap_remove(U32Vec* v, uint64_t index, uint32_t* out = nullptr);
FlaggedU32 u32vec_get(const U32Vec* v, uint64_t index);
FlaggedPtr<uint32_t> u32vec_at(U32Vec* v, uint64_t index);
void u32vec_clear(U32Vec* v);
void u32vec_truncate(U32Vec* v, uint64_t n);
bool u32vec_is_empty(const U32Vec* v);
std::span<const uint32_t> u32vec_as_slice(const U32Vec* v);
// Releases unused capacity; an empty vector gives up its buffer.
uint32_t u32vec_shrink_to_fit(U32Vec* v);
void u32vec_for_each(const U32Vec* v, void (*f)(void* ctx, uint32_t item), void* ctx);
uint64_t u32vec_fold(const U32Vec* v, uint64_t init, uint64_t (*f)(uint64_t acc, uint32_t item));

// --- Item24Vec ---
Item24Vec item24vec_new();
// On failure the item's owned pointer is freed: the vector took ownership.
uint32_t item24vec_push(Item24Vec* v, Item24 item);
// Moves the item out (the caller then owns its pointer); failure with
// kStatusOutOfRange when index >= len.
Result<Item24, uint32_t> item24vec_remove(Item24Vec* v, uint64_t index);
uint32_t item24vec_reserve_exact(Item24Vec* v, uint64_t n);
FlaggedPtr<Item24> item24vec_at(Item24Vec* v, uint64_t index);
uint64_t item24vec_fold(const Item24Vec* v, uint64_t init, uint64_t (*f)(uint64_t acc, const Item24& item));
// Frees each item's owned pointer, then the buffer.
void item24vec_free(Item24Vec* v);

// --- Item16Vec ---
Item16Vec item16vec_new();
uint32_t item16vec_reserve(Item16Vec* v, uint64_t n);
uint32_t item16vec_push(Item16Vec* v, uint64_t first, uint64_t second);
FlaggedU64 item16vec_get(const Item16Vec* v, uint64_t index);  // the first word
FlaggedPtr<Item16> item16vec_at(Item16Vec* v, uint64_t index);
void item16vec_free(Item16Vec* v);
// Slices stored as {pointer, length} pairs.
uint32_t item16vec_push_slice(Item16Vec* v, Slice s);
Slice item16_slice(const Item16& item);

// --- Iterators ---
// A heap record; next() stores the following item in `current` and returns
// true, or returns false at the end (and keeps doing so). release() frees it.
struct U32VecIter {
  bool (*next)(U32VecIter* it);
  void (*release)(U32VecIter* it);
  uint32_t current;
  uint32_t started;
  const U32Vec* vec;
  uint64_t position;
};
struct Item24VecIter {
  bool (*next)(Item24VecIter* it);
  void (*release)(Item24VecIter* it);
  Item24 current;
  const Item24Vec* vec;
  uint64_t position;
};
// Null when the record cannot be allocated.
U32VecIter* u32vec_iter(const U32Vec* v);
Item24VecIter* item24vec_iter(const Item24Vec* v);

}  // namespace vorn
