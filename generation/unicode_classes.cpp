#include "generation/unicode_classes.h"

#include <array>
#include <cstddef>

namespace vorn {
namespace {

struct ClassRange {
  uint32_t first;
  uint32_t last;
  uint32_t bits;
};

constexpr ClassRange kRanges[] = {
#include "generation/unicode_class_table.inc"
};
constexpr size_t kRangeCount = sizeof(kRanges) / sizeof(kRanges[0]);

constexpr uint32_t search_ranges(uint32_t cp) {
  size_t lo = 0, hi = kRangeCount;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (kRanges[mid].last < cp) {
      lo = mid + 1;
    } else if (kRanges[mid].first > cp) {
      hi = mid;
    } else {
      return kRanges[mid].bits;
    }
  }
  return 0;
}

constexpr bool ranges_sorted() {
  for (size_t i = 0; i < kRangeCount; ++i) {
    if (kRanges[i].first > kRanges[i].last) return false;
    if (i > 0 && kRanges[i - 1].last >= kRanges[i].first) return false;
  }
  return true;
}
static_assert(ranges_sorted(), "the class ranges must be sorted and disjoint");

constexpr std::array<uint8_t, 128> make_ascii() {
  std::array<uint8_t, 128> t{};
  for (uint32_t c = 0; c < 128; ++c) t[c] = static_cast<uint8_t>(search_ranges(c));
  return t;
}
constexpr std::array<uint8_t, 128> kAscii = make_ascii();

}  // namespace

uint32_t classify_code_point(uint32_t code_point) { return search_ranges(code_point); }

uint32_t code_point_class(uint32_t code_point) {
  if (code_point < 128) return kAscii[code_point];
  return search_ranges(code_point);
}

}  // namespace vorn
