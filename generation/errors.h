// The two exception types of the processor core that callers tell apart from
// plain runtime errors: a constraint that cannot be compiled, and an image
// that cannot be read. The object layer turns them into its own categories
// (VornFrontend and VornImage) at each method boundary.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

#include "image/decode.h"

namespace vorn {

class ConstraintError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Carries the VornStatus code of its kind (image decoding failed, or a
// format the decoder does not take), chosen from the decoder's own message,
// so that a file name added to the text never changes it.
class ImageError : public std::runtime_error {
 public:
  explicit ImageError(const std::string& decoder_message)
      : ImageError(decoder_message, image_error_status(decoder_message)) {}
  ImageError(const std::string& message, uint32_t status) : std::runtime_error(message), status_(status) {}
  uint32_t status() const noexcept { return status_; }

 private:
  uint32_t status_;
};

}  // namespace vorn
