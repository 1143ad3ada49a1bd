#include "session/error_record.h"

#include <cstring>

namespace vorn {

uint32_t load_error_status(const char* message, size_t len) {
  struct Row {
    std::string_view text;
    uint32_t code;
  };
  static constexpr Row kRows[] = {
      {"I/O failed", VORN_STATUS_IO},
      {"failed reading model", VORN_STATUS_IO},
      {"allocation failed", VORN_STATUS_OUT_OF_MEMORY},
      {"out of memory reading model", VORN_STATUS_OUT_OF_MEMORY},
      {"tensor hash mismatch", VORN_STATUS_INTEGRITY},
      {"metadata/header hash mismatch", VORN_STATUS_INTEGRITY},
  };
  if (message == nullptr) return VORN_STATUS_INVALID_MODEL;
  std::string_view text(message, len);
  for (const Row& row : kRows) {
    if (text == row.text) return row.code;
  }
  return VORN_STATUS_INVALID_MODEL;
}

}  // namespace vorn
