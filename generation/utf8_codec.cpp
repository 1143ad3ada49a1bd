#include "generation/utf8_codec.h"

#include <stdexcept>

namespace vorn {

Utf8Step utf8_step(const uint8_t* p, uint64_t size, uint64_t i) {
  uint8_t b = p[i];
  if (b < 0x80) return {b, 1, true, false};
  uint32_t extra;
  uint8_t lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    extra = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    extra = 2;
    // The second byte's range rules out overlong forms and surrogates.
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    extra = 3;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return {kReplacementCharacter, 1, false, false};
  }
  if (i + 1 >= size) return {kReplacementCharacter, 1, false, true};
  if (p[i + 1] < lo || p[i + 1] > hi) return {kReplacementCharacter, 1, false, false};
  uint32_t cp = b & (0x3F >> extra);
  cp = (cp << 6) | (p[i + 1] & 0x3F);
  for (uint32_t k = 2; k <= extra; ++k) {
    // A sequence cut by the end of the input is one ill-formed part up to
    // the end; a wrong byte inside ends the part before that byte.
    if (i + k >= size) return {kReplacementCharacter, static_cast<uint32_t>(size - i), false, true};
    if ((p[i + k] & 0xC0) != 0x80) return {kReplacementCharacter, k, false, false};
    cp = (cp << 6) | (p[i + k] & 0x3F);
  }
  return {cp, extra + 1, true, false};
}

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
