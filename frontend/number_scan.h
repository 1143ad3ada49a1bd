// Strict scanners for the numbers people type on a command line: decimal
// only (no other base, no hexadecimal floats, no "inf" or "nan"), the whole
// text or nothing, and range checked, so a value the tool cannot hold is
// refused with the tool's own message instead of being clipped or wrapped.
// Independent of the process locale.
#pragma once
#include <cstdint>
#include <string_view>

namespace vorn {

enum class ScanStatus : uint32_t {
  kOk,
  kInvalid,   // empty, or a character other than the grammar allows
  kTooLarge,  // well formed, but above the maximum (or past 64 bits)
};

// Decimal digits 0-9 only (no sign, no white space), at most max.
ScanStatus scan_unsigned(std::string_view text, uint64_t max, uint64_t* out);

// One signed 64-bit decimal integer, an optional sign before the digits,
// white space allowed around it. False when malformed or out of range.
bool scan_i64(std::string_view text, int64_t* out);

// One finite decimal number: optional sign, digits with an optional
// fraction (".5" and "5." included), an optional exponent. With skip_space,
// white space around it is allowed. A magnitude too small for a double reads
// as zero of its sign; one too large is refused, as are infinities and NaN.
bool scan_finite_double(std::string_view text, bool skip_space, double* out);

}  // namespace vorn
