// Differential fuzzing of the base library's text functions against
// straightforward references: number parsing against strtoll/strtod with the
// grammar checked separately, UTF-8 validation against a decoder written
// from the code-point definition, split/join and replace round trips.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/byte_utils.h"
#include "base/intern.h"
#include "base/parse.h"
#include "base/slice_utils.h"
#include "base/utf8.h"
#include "container/precision.h"
#include "tests/reference/utf8_reference.h"

using namespace vorn;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool integer_grammar(const std::string& s) {
  size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

bool float_grammar(const std::string& s) {
  size_t i = 0, n = s.size();
  auto digits = [&] {
    size_t start = i;
    while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
    return i > start;
  };
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  if (!digits()) return false;
  if (i < n && s[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string s(reinterpret_cast<const char*>(data), size);
  Slice in = slice_of(data, size);

  check(utf8_valid(in) == ref::utf8_valid(s));

  ParsedI64 i = parse_i64(in);
  if (integer_grammar(s)) {
    errno = 0;
    long long want = std::strtoll(s.c_str(), nullptr, 10);
    bool range = errno == ERANGE;
    check(i.failed == range);
    if (!range) check(i.value == want);
  } else {
    check(i.failed);
  }

  ParsedF64 f = parse_f64(in);
  if (float_grammar(s) && size <= 63) {
    check(!f.failed);
    double want = std::strtod(s.c_str(), nullptr);  // the fuzzer runs in the C locale
    check(f.value == want || (f.value == 0 && std::fabs(want) < 1e-300));
  } else {
    check(f.failed);
  }

  // Split the rest of the input on its first byte; joining gives it back.
  if (size >= 1) {
    Slice sep = slice_of(data, 1 + (size > 2 && data[1] == data[0]));
    Slice body = slice_drop(in, sep.len);
    Item16Vec parts = bytes_split(body, sep);
    check(parts.len == slice_count(body, sep) + 1);
    ByteString joined = bytes_join(parts, sep);
    check(slice_equals(bytes_as_slice(joined), body));
    bytes_free(&joined);
    item16vec_free(&parts);
    ByteString replaced = bytes_replace(body, sep, slice_of("", 0));
    check(slice_count(bytes_as_slice(replaced), sep) <= slice_count(body, sep) || sep.len > 1);
    bytes_free(&replaced);
    FlaggedU64 at = slice_find(body, sep);
    size_t want = std::string(body.view()).find(std::string(sep.view()));
    check(at.failed == (want == std::string::npos));
    if (!at.failed) check(at.value == want);
  }

  // Interned entries live for the process: keep the table small.
  if (size <= 3) check(slice_equals(intern(in), in));

  PrecisionResult p = precision_parse(data, size);
  if (p.valid) check(slice_starts_with(in, precision_name(p.setting)));
  return 0;
}
