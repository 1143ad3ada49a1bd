#include "generation/utf8_codec.h"

#include <stdexcept>

namespace vorn {

std::vector<CodePointSpan> utf8_decode(std::string_view bytes, bool lossy) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint64_t n = bytes.size();
  std::vector<CodePointSpan> spans;
  spans.reserve(n);
  uint64_t i = 0;
  while (i < n) {
    Utf8Step s = utf8_step(p, n, i);
    if (!s.ok && !lossy) throw std::runtime_error("Invalid UTF-8 input");
    spans.push_back({s.code_point, i, i + s.length});
    i += s.length;
  }
  return spans;
}

void utf8_append(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string utf8_encode(uint32_t code_point) {
  std::string out;
  utf8_append(out, code_point);
  return out;
}

std::string utf8_lossy(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  std::string out;
  out.reserve(bytes.size());
  uint64_t i = 0;
  while (i < bytes.size()) {
    Utf8Step s = utf8_step(p, bytes.size(), i);
    if (s.ok) {
      out.append(bytes.data() + i, s.length);
    } else {
      utf8_append(out, kReplacementCharacter);
    }
    i += s.length;
  }
  return out;
}

}  // namespace vorn
