// Building new byte strings from old ones: copies, case changes, repeats,
// split and join, replace and padding. Results are new ByteStrings owned by
// the caller; a failure (overflow, allocation) gives the empty string.
#pragma once
#include <cstdint>

#include "base/bytes.h"
#include "base/result.h"
#include "base/vectors.h"

namespace vorn {

// A copy when the bytes are strict UTF-8 (see utf8_valid), else failure 1.
Result<ByteString, uint32_t> bytes_from_utf8(Slice bytes);
ByteString bytes_concat(Slice s, Slice bytes);
ByteString bytes_to_lower(Slice s);  // ASCII only
ByteString bytes_to_upper(Slice s);
// First byte upper-cased when it is 'a'..'z' / lower-cased when 'A'..'Z'.
ByteString bytes_capitalize(Slice s);
ByteString bytes_uncapitalize(Slice s);
// n copies; n = 0, empty input or an overflowing size gives empty.
ByteString bytes_repeat(Slice s, uint64_t n);
// The parts between separators as {pointer, length} pairs into s (empty
// parts included); an empty separator gives s as one part. Free the vector
// with item16vec_free; an allocation failure gives the empty vector.
Item16Vec bytes_split(Slice s, Slice separator);
ByteString bytes_join(const Item16Vec& parts, Slice separator);
// Every non-overlapping occurrence from the left; an empty `from` copies.
ByteString bytes_replace(Slice s, Slice from, Slice to);
// The fill repeated before / after s up to width bytes (the last repetition
// cut short); s alone when it is already as wide or the fill is empty.
ByteString bytes_pad_left(Slice s, uint64_t width, Slice fill);
ByteString bytes_pad_right(Slice s, uint64_t width, Slice fill);

}  // namespace vorn
