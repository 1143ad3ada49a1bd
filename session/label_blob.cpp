#include "session/label_blob.h"

#include <cstdlib>
#include <cstring>

#include "base/atomics.h"

namespace vorn {

LabelBlob* label_blob_new(const void* bytes, uint64_t length, uint32_t count) {
  if (bytes == nullptr || length == 0 || length > UINT64_MAX / 2) return nullptr;
  auto* blob = static_cast<LabelBlob*>(std::calloc(1, sizeof(LabelBlob)));
  if (blob == nullptr) return nullptr;
  blob->bytes = static_cast<char*>(std::malloc(length + 1));
  if (blob->bytes == nullptr) {
    std::free(blob);
    return nullptr;
  }
  std::memcpy(blob->bytes, bytes, length);
  blob->bytes[length] = '\0';
  blob->length = length;
  blob->count = count;
  blob->refs = 1;
  return blob;
}

void label_blob_retain(LabelBlob* blob) {
  if (blob != nullptr) atomic_fetch_add_u32(&blob->refs, 1, 0);
}

void label_blob_release(LabelBlob* blob) {
  if (blob == nullptr) return;
  // Release so this holder's reads happen before the free; the acquire fence
  // makes every other holder's reads visible to the one that frees.
  if (atomic_fetch_sub_u32(&blob->refs, 1, 2) != 1) return;
  atomic_fence(1);
  std::free(blob->bytes);
  std::free(blob);
}

std::string_view label_lookup(const char* text, uint64_t length, uint32_t count, int64_t id) {
  if (text == nullptr || length == 0 || id < 0 || uint64_t(id) >= count) return {};
  uint64_t pos = 0;
  for (int64_t item = 0; item < id; ++item) {
    const void* nul = std::memchr(text + pos, '\0', length - pos);
    if (nul == nullptr) return {};  // fewer items than declared
    pos = uint64_t(static_cast<const char*>(nul) - text) + 1;
    if (pos >= length) return {};
  }
  const void* nul = std::memchr(text + pos, '\0', length - pos);
  uint64_t end = nul != nullptr ? uint64_t(static_cast<const char*>(nul) - text) : length;
  return {text + pos, size_t(end - pos)};
}

}  // namespace vorn
