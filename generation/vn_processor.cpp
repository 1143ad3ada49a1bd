#include "generation/vn_processor.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "base/bytes.h"
#include "base/files.h"
#include "base/utf8.h"
#include "base/vn_error.h"
#include "generation/json_values.h"
#include "generation/tokenizer.h"

namespace vorn {

using nlohmann::json;

namespace {

// Where the container header keeps what the aux table read needs.
constexpr uint64_t kHeaderFileSize = 32;
constexpr uint64_t kNameRegionOffset = 80;  // directory slot 1: offset, then size
constexpr uint64_t kAuxTableOffset = 208;   // directory slot 9: offset, then size
constexpr uint64_t kSectionHeaderBytes = 32;
constexpr uint64_t kMinAuxStride = 64;
// The documents of the model family nest a few levels; a deeper document is
// refused before parsing (copies and comparisons recurse once per level).
constexpr uint32_t kMaxDocumentDepth = 128;

[[noreturn]] void refuse(const char* reason) { throw VNError(vn_category::kFrontend, reason); }

uint64_t read_u64(const uint8_t* image, uint64_t offset) {
  uint64_t v;
  std::memcpy(&v, image + offset, 8);
  return v;  // little-endian host
}

// True when [offset, offset + size) lies in [0, length), without overflow.
bool within(uint64_t offset, uint64_t size, uint64_t length) { return offset <= length && size <= length - offset; }

bool wanted_name(std::string_view name) {
  for (const char* n : kProcessorDocumentNames)
    if (name == n) return true;
  return false;
}

json parse_document(const std::string& bytes) {
  if (!json_nesting_within(bytes, kMaxDocumentDepth)) refuse("Invalid processor JSON");
  json doc = json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) refuse("Invalid processor JSON");  // a parse failure gives a discarded value
  return doc;
}

}  // namespace

json read_processor_documents(const uint8_t* image, uint64_t length, int fd, uint64_t base_offset) {
  if (image == nullptr || length < kAuxTableOffset + 16) refuse("Aux metadata bounds");
  const uint64_t aux_offset = read_u64(image, kAuxTableOffset);
  const uint64_t aux_size = read_u64(image, kAuxTableOffset + 8);
  if (!within(aux_offset, 24, length)) refuse("Aux metadata bounds");
  const uint64_t stride = read_u64(image, aux_offset + 8);
  const uint64_t count = read_u64(image, aux_offset + 16);
  if (!within(aux_offset, aux_size, length) || aux_size < kSectionHeaderBytes || stride < kMinAuxStride ||
      count > (aux_size - kSectionHeaderBytes) / stride)
    refuse("Aux table bounds");

  const uint64_t container_size = read_u64(image, kHeaderFileSize);
  const uint64_t names_offset = read_u64(image, kNameRegionOffset);
  const uint64_t names_size = read_u64(image, kNameRegionOffset + 8);

  json documents = json::object();
  for (uint64_t j = 0; j < count; ++j) {
    const uint64_t entry = aux_offset + kSectionHeaderBytes + j * stride;
    if (!within(entry, 8, length)) refuse("Aux metadata bounds");
    const uint64_t name_offset = read_u64(image, entry);
    if (!within(names_offset, names_size, length) || names_size < kSectionHeaderBytes ||
        name_offset < names_offset + kSectionHeaderBytes || name_offset >= names_offset + names_size)
      refuse("Aux name bounds");
    const uint64_t names_end = names_offset + names_size;
    const void* nul = std::memchr(image + name_offset, 0, names_end - name_offset);
    if (nul == nullptr) refuse("Aux name terminator");
    const uint64_t name_length = static_cast<const uint8_t*>(nul) - (image + name_offset);
    if (!utf8_valid(Slice{image + name_offset, name_length})) refuse("Aux name UTF-8");
    std::string name(reinterpret_cast<const char*>(image + name_offset), name_length);
    if (!wanted_name(name)) continue;

    if (!within(entry + 16, 16, length)) refuse("Aux metadata bounds");
    const uint64_t blob_offset = read_u64(image, entry + 16);
    const uint64_t blob_length = read_u64(image, entry + 24);
    if (blob_offset < length || blob_offset > container_size || blob_length > container_size - blob_offset ||
        blob_length > kProcessorDocumentMaxBytes)
      refuse("Aux blob bounds");
    if (documents.contains(name)) refuse("Duplicate processor asset");

    std::string bytes(blob_length, '\0');
    // The container may start anywhere in the file: every read is offset by
    // its base. An offset past what a file offset can hold is a failed read.
    if (base_offset > UINT64_MAX - blob_offset || blob_offset + base_offset > INT64_MAX ||
        !pread_all(fd, bytes.data(), blob_length, blob_offset + base_offset))
      refuse("Reading processor asset");
    documents[name] = parse_document(bytes);
  }
  if (documents.size() != kProcessorDocumentCount) refuse("Missing processor assets in vorn container");
  return documents;
}

VNProcessor::VNProcessor(const uint8_t* metadata, uint64_t length, int file_descriptor, uint64_t base_offset) {
  try {
    build(read_processor_documents(metadata, length, file_descriptor, base_offset));
  } catch (const std::bad_alloc&) {
    throw VNError(vn_category::kMalloc, "Processor allocation failed");
  } catch (const VNError& e) {
    if (std::strcmp(e.category(), vn_category::kMalloc) == 0) throw;
    throw VNError(vn_category::kModel, e.reason());
  } catch (const std::exception& e) {
    throw VNError(vn_category::kModel, e.what());
  }
}

VNProcessor::VNProcessor(const json& documents) {
  try {
    build(dictionary_to_json(documents));
  } catch (const std::bad_alloc&) {
    throw VNError(vn_category::kMalloc, "Processor allocation failed");
  } catch (const VNError& e) {
    if (std::strcmp(e.category(), vn_category::kMalloc) == 0) throw;
    throw VNError(vn_category::kModel, e.reason());
  } catch (const std::exception& e) {
    throw VNError(vn_category::kModel, e.what());
  }
}

namespace {

// The boundary of tokenBytes: and decode:.
template <class F>
auto token_call(F f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    throw VNError(vn_category::kMalloc, "Token decoding allocation failed");
  } catch (const std::exception& e) {
    throw VNError(vn_category::kFrontend, e.what());
  }
}

}  // namespace

std::string VNProcessor::tokenBytes(int64_t id) const {
  return token_call([&] { return token_bytes(*processor_, id); });
}

std::string VNProcessor::decode(const std::vector<int64_t>& ids) const {
  return token_call([&] { return bpe_decode(*processor_, ids); });
}

void VNProcessor::build(const json& documents) {
  processor_ = processor_config_load(documents);
  config_ = documents.at("config.json");
  eos_ = processor_->eos_token_ids;
}

}  // namespace vorn
