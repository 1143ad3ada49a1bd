// Searching, comparing and cutting borrowed slices. Every empty result is the
// shared empty slice; no operation reads outside its inputs.
#pragma once
#include <cstdint>

#include "base/bytes.h"
#include "base/result.h"
#include "base/vectors.h"

namespace vorn {

// Tab, newline, carriage return or space.
bool is_ascii_space(uint8_t byte);
uint8_t ascii_lower(uint8_t byte);
uint8_t ascii_upper(uint8_t byte);

// Bytes [start, end) when end > start (clamped to the slice), else empty.
Slice slice_range(Slice s, uint64_t start, uint64_t end);
// Failure when end < start or end > len.
Result<Slice, uint32_t> slice_range_checked(Slice s, uint64_t start, uint64_t end);
bool slice_is_empty(Slice s);
uint64_t slice_len(Slice s);
FlaggedU32 slice_at(Slice s, uint64_t index);  // {out of range, byte}

// An empty needle always matches.
bool slice_starts_with(Slice s, Slice prefix);
bool slice_ends_with(Slice s, Slice suffix);
bool slice_contains(Slice s, Slice needle);
// {not found, index}; an empty needle is found at 0 (find) or at len (rfind).
FlaggedU64 slice_find(Slice s, Slice needle);
FlaggedU64 slice_rfind(Slice s, Slice needle);
// Non-overlapping occurrences from the left; an empty needle gives 0.
uint64_t slice_count(Slice s, Slice needle);

Slice slice_strip_prefix(Slice s, Slice prefix);
Slice slice_strip_suffix(Slice s, Slice suffix);

bool slice_equals(Slice a, Slice b);
bool slice_equals_ignore_case(Slice a, Slice b);  // ASCII case only
// -1, 0 or 1: bytes of the common prefix, then the shorter first.
int slice_compare(Slice a, Slice b);

Slice slice_take(Slice s, uint64_t n);
Slice slice_take_last(Slice s, uint64_t n);
Slice slice_drop(Slice s, uint64_t n);
Slice slice_drop_last(Slice s, uint64_t n);

Slice slice_trim(Slice s);
Slice slice_trim_start(Slice s);
Slice slice_trim_end(Slice s);

bool slice_is_ascii(Slice s);

}  // namespace vorn
