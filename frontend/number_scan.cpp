#include "frontend/number_scan.h"

#include <charconv>
#include <cmath>

namespace vorn {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim_space(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// Digits from i on; returns how many.
size_t skip_digits(std::string_view text, size_t* i) {
  const size_t start = *i;
  while (*i < text.size() && is_digit(text[*i])) ++*i;
  return *i - start;
}

}  // namespace

ScanStatus scan_unsigned(std::string_view text, uint64_t max, uint64_t* out) {
  if (text.empty()) return ScanStatus::kInvalid;
  for (char c : text)
    if (!is_digit(c)) return ScanStatus::kInvalid;
  uint64_t value = 0;
  bool too_large = false;
  for (char c : text) {
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - d) / 10) {
      too_large = true;
      break;
    }
    value = value * 10 + d;
  }
  if (too_large || value > max) return ScanStatus::kTooLarge;
  *out = value;
  return ScanStatus::kOk;
}

bool scan_i64(std::string_view text, int64_t* out) {
  text = trim_space(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  uint64_t magnitude = 0;
  // The magnitude of INT64_MIN is one more than INT64_MAX.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  if (scan_unsigned(text, limit, &magnitude) != ScanStatus::kOk) return false;
  *out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool scan_finite_double(std::string_view text, bool skip_space, double* out) {
  if (skip_space) text = trim_space(text);
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) i = 1;
  const size_t mantissa_start = i;
  size_t digits = skip_digits(text, &i);
  if (i < text.size() && text[i] == '.') {
    ++i;
    digits += skip_digits(text, &i);
  }
  if (digits == 0) return false;
  const size_t mantissa_end = i;
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    const bool exponent_negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t start = i;
    if (skip_digits(text, &i) == 0) return false;
    // Only the sign of the decimal magnitude matters below; cap the value.
    for (size_t k = start; k < i && exponent < 100000; ++k) exponent = exponent * 10 + (text[k] - '0');
    if (exponent_negative) exponent = -exponent;
  }
  if (i != text.size()) return false;

  // The grammar is checked; from_chars converts by the C rules whatever the
  // locale, but takes no leading '+'.
  const char* first = text.data() + (text[0] == '+' ? 1 : 0);
  const char* last = text.data() + text.size();
  double value = 0;
  const auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (end != last) return false;
  if (ec == std::errc::result_out_of_range) {
    // Overflow or underflow, told apart by the decimal magnitude: the
    // position of the first non-zero mantissa digit plus the exponent.
    int64_t position = 0;  // digits before the point, or -(zeros after it)
    bool seen_point = false, seen_nonzero = false;
    for (size_t k = mantissa_start; k < mantissa_end && !seen_nonzero; ++k) {
      if (text[k] == '.') {
        seen_point = true;
      } else if (text[k] != '0') {
        seen_nonzero = true;
      } else if (seen_point) {
        --position;
      }
    }
    if (!seen_point) {
      // Count the integer digits from the first non-zero one.
      size_t k = mantissa_start;
      while (k < mantissa_end && text[k] == '0') ++k;
      while (k < mantissa_end && is_digit(text[k])) ++k, ++position;
    }
    if (position + exponent > 0) return false;  // too large for a double
    value = negative ? -0.0 : 0.0;
  } else if (ec != std::errc()) {
    return false;
  }
  if (!std::isfinite(value)) return false;
  *out = value;
  return true;
}

}  // namespace vorn
