#include "generation/error_status.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "base/vn_error.h"
#include "generation/errors.h"
#include "vorn.h"

namespace vorn {

namespace {

bool contains_nocase(std::string_view text, std::string_view word) {
  auto it = std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end();
}

bool contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

uint32_t status_of(std::string_view name, std::string_view reason) {
  using namespace vn_category;
  if (name == kUnsupported) return VORN_STATUS_UNSUPPORTED;
  if (name == kMalloc || contains_nocase(reason, "allocation") || contains(reason, "allocating"))
    return VORN_STATUS_OUT_OF_MEMORY;
  if (name == kImage) return image_error_status(reason);
  if (contains_nocase(reason, "context budget")) return VORN_STATUS_CONTEXT_BUDGET;
  if (contains_nocase(reason, "Nonfinite")) return VORN_STATUS_NONFINITE;
  if (name == kModel) return VORN_STATUS_INVALID_MODEL;
  if (name == kFrontend || name == kArgument) return VORN_STATUS_INVALID_ARGUMENT;
  if (name == kCancelled) return VORN_STATUS_CANCELLED;
  if (contains(reason, "Metal") || contains(reason, "command failed")) return VORN_STATUS_BACKEND_UNAVAILABLE;
  return VORN_STATUS_BACKEND_FAILURE;
}

// status 0: chosen from the category and the reason.
void record(ErrorRecord* error, std::string_view name, std::string_view reason, uint32_t status = 0) {
  if (error == nullptr) return;
  const std::string text = utf8_valid(slice_of(reason)) ? std::string(reason) : std::string();
  error_record_set(error, status != 0 ? status : status_of(name, reason), text.c_str());
}

}  // namespace

bool error_record_set(ErrorRecord* error, uint32_t code, const char* message) {
  if (error != nullptr) error_set(error, code, message != nullptr ? message : "");
  return false;
}

void vlm_error_from_exception(const std::exception& e, ErrorRecord* error) {
  if (const auto* vn = dynamic_cast<const VNError*>(&e))
    return record(error, vn->category(), vn->reason(), vn->status());
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return record(error, vn_category::kMalloc, e.what());
  if (const auto* image = dynamic_cast<const ImageError*>(&e))
    return record(error, vn_category::kImage, e.what(), image->status());
  if (dynamic_cast<const ConstraintError*>(&e) != nullptr) return record(error, vn_category::kFrontend, e.what());
  record(error, "", e.what());
}

void vlm_error_from_exception(const std::exception_ptr& exception, ErrorRecord* error) {
  try {
    std::rethrow_exception(exception);
  } catch (const std::exception& e) {
    vlm_error_from_exception(e, error);
  } catch (...) {
    record(error, "", "Unknown generation failure");
  }
}

}  // namespace vorn
