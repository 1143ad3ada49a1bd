// The model's class labels as one reference-counted block, shared by the
// session that read them and by every output a run of that session filled,
// so an output's labels stay readable after the session is unloaded or freed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorn {

struct LabelBlob {
  uint32_t refs;    // atomic; 1 at creation
  char* bytes;      // NUL-separated items, followed by one extra NUL
  uint64_t length;  // bytes of the items, without the extra NUL
  uint32_t count;   // items the model declares
};

// A private copy of length label bytes with count items. The copy carries a
// NUL after the last byte so the last item is NUL-terminated like the others.
// Null for length 0 or when memory runs out.
LabelBlob* label_blob_new(const void* bytes, uint64_t length, uint32_t count);
// Adds a reference. Null is accepted.
void label_blob_retain(LabelBlob* blob);
// Drops a reference; the last one frees the bytes and the record. Null is
// accepted.
void label_blob_release(LabelBlob* blob);

// The id-th NUL-separated item of text: the empty view when text is null or
// empty, id is negative or not below count, or the text holds fewer items
// than id + 1. An item runs to the next NUL or to the end of the text, so
// items of a blob's bytes are always NUL-terminated.
std::string_view label_lookup(const char* text, uint64_t length, uint32_t count, int64_t id);

}  // namespace vorn
