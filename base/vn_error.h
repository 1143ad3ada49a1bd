// The exceptions of the object layer (the generative graph, the processor,
// constraints, generative sessions): a fixed category name and a fixed reason
// text. They never cross the exported C boundary: the generation call turns
// each one into an ErrorRecord by its category and reason.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

namespace vorn {

// The category names the object layer raises under.
namespace vn_category {
inline constexpr const char* kInference = "VornInference";
inline constexpr const char* kFrontend = "VornFrontend";
inline constexpr const char* kArgument = "VornArgument";
inline constexpr const char* kImage = "VornImage";
inline constexpr const char* kModel = "VornModel";
inline constexpr const char* kCancelled = "VornCancelled";
inline constexpr const char* kUnsupported = "VornUnsupported";
// Memory ran out inside an object-layer method; the reason names the method's
// allocation ("Processor allocation failed").
inline constexpr const char* kMalloc = "NSMallocException";
}  // namespace vn_category

class VNError : public std::runtime_error {
 public:
  // status: the VornStatus code when the raiser knew the kind of failure
  // better than the reason's words tell (a reason that quotes a file name);
  // 0 lets the category and the reason decide.
  VNError(const char* category, const std::string& reason, uint32_t status = 0)
      : std::runtime_error(reason), category_(category), status_(status) {}
  // One of the vn_category names (a static text, never freed).
  const char* category() const noexcept { return category_; }
  const char* reason() const noexcept { return what(); }
  uint32_t status() const noexcept { return status_; }

 private:
  const char* category_;
  uint32_t status_;
};

// Shorthands for the two categories raised most.
[[noreturn]] inline void throw_inference(const std::string& reason) {
  throw VNError(vn_category::kInference, reason);
}
[[noreturn]] inline void throw_cancelled() { throw VNError(vn_category::kCancelled, "Generation cancelled"); }

}  // namespace vorn
