#include "base/parse.h"

#include <charconv>

namespace vorn {

namespace {

bool is_digit(uint8_t b) { return b >= '0' && b <= '9'; }

// Advances over one or more digits; false when there is none.
bool digits(const uint8_t* p, uint64_t len, uint64_t* i) {
  uint64_t start = *i;
  while (*i < len && is_digit(p[*i])) ++*i;
  return *i > start;
}

}  // namespace

ParsedI64 parse_i64(Slice s) {
  const uint8_t* p = s.ptr;
  uint64_t i = 0;
  bool negative = false;
  if (s.len > 0 && (p[0] == '+' || p[0] == '-')) {
    negative = p[0] == '-';
    i = 1;
  }
  if (i == s.len) return ParsedI64{true, 0};
  // Accumulate the magnitude as unsigned so INT64_MIN fits.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  for (; i < s.len; ++i) {
    if (!is_digit(p[i])) return ParsedI64{true, 0};
    uint64_t d = p[i] - '0';
    if (magnitude > (limit - d) / 10) return ParsedI64{true, 0};
    magnitude = magnitude * 10 + d;
  }
  int64_t value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return ParsedI64{false, value};
}

ParsedF64 parse_f64(Slice s) {
  constexpr uint64_t kMaxLength = 63;
  if (s.len == 0 || s.len > kMaxLength) return ParsedF64{true, 0};
  const uint8_t* p = s.ptr;
  uint64_t i = 0;
  if (p[0] == '+' || p[0] == '-') i = 1;
  if (!digits(p, s.len, &i)) return ParsedF64{true, 0};
  if (i < s.len && p[i] == '.') {
    ++i;
    if (!digits(p, s.len, &i)) return ParsedF64{true, 0};
  }
  if (i < s.len && (p[i] == 'e' || p[i] == 'E')) {
    ++i;
    if (i < s.len && (p[i] == '+' || p[i] == '-')) ++i;
    if (!digits(p, s.len, &i)) return ParsedF64{true, 0};
  }
  if (i != s.len) return ParsedF64{true, 0};

  // The grammar is checked above; from_chars converts with the C locale's
  // rules regardless of setlocale, but takes no leading '+'.
  const char* first = reinterpret_cast<const char*>(p);
  const char* last = first + s.len;
  if (*first == '+') ++first;
  double value = 0;
  auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (end != last) return ParsedF64{true, 0};
  // Out-of-range magnitudes: strtod gives +-HUGE_VAL or a denormal/zero and
  // reports ERANGE; from_chars leaves value untouched. Reproduce strtod.
  if (ec == std::errc::result_out_of_range) {
    bool negative = s.ptr[0] == '-';
    // Decide overflow or underflow from the decimal exponent's sign and the
    // mantissa: a huge exponent overflows, a very negative one underflows.
    uint64_t e = 0;
    while (e < s.len && p[e] != 'e' && p[e] != 'E') ++e;
    bool exp_negative = e + 1 < s.len && p[e + 1] == '-';
    double mag = exp_negative ? 0.0 : __builtin_huge_val();
    value = negative ? -mag : mag;
  } else if (ec != std::errc()) {
    return ParsedF64{true, 0};
  }
  return ParsedF64{false, value};
}

}  // namespace vorn
