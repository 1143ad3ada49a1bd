// Number parsing of whole slices, independent of the process locale.
#pragma once
#include <cstdint>

#include "base/bytes.h"

namespace vorn {

struct ParsedI64 {
  bool failed;
  int64_t value;
};
struct ParsedF64 {
  bool failed;
  double value;
};

// Optional sign and decimal digits, nothing else; overflow-checked against
// the signed 64-bit range.
ParsedI64 parse_i64(Slice s);

// The whole slice (at most 63 bytes) must read: optional sign, digits,
// optionally '.' and digits, optionally 'e'/'E', optional sign and digits.
// No leading '.', no trailing '.', no "inf" or "nan", no spaces. The decimal
// point is always '.', whatever the locale; the value is correctly rounded.
ParsedF64 parse_f64(Slice s);

}  // namespace vorn
