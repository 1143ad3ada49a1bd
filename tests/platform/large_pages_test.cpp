#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/large_pages.h"

namespace vorn {
namespace {

// The kernel's own account of a mapping: whether the region holding `p`
// carries the large-page advice ("hg" among its VmFlags).
bool advised_large(const void* p) {
  const auto at = reinterpret_cast<uintptr_t>(p);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    uintptr_t lo = 0, hi = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> lo >> dash >> hi && dash == '-') inside = lo <= at && at < hi;
    if (inside && line.rfind("VmFlags:", 0) == 0) return line.find(" hg") != std::string::npos;
  }
  return false;
}

// Every byte written and read back, so that the whole size is usable.
void fill_and_check(uint8_t* p, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) p[i] = uint8_t(i * 131 + 7);
  for (size_t i = 0; i < bytes; ++i) ASSERT_EQ(p[i], uint8_t(i * 131 + 7)) << i;
}

constexpr size_t kMiB = size_t(1) << 20;

TEST(LargePages, AllocationsAroundTheThreshold) {
  const struct {
    size_t bytes, alignment;
  } cases[] = {
      {1, 64},
      {100, 64},
      {kLargePageMinBytes - 1, 64},
      {kLargePageMinBytes, 64},
      {kLargePageMinBytes + 4097, 64},
      {kLargePageMinBytes + kLargePage + 1, 16384},
      {kLargePageMinBytes - 64, 16384},
      {9 * kMiB, 16384},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    auto* p = static_cast<uint8_t*>(large_pages_alloc(c.bytes, c.alignment));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.alignment, 0u);
    fill_and_check(p, c.bytes);
    large_pages_free(p, c.bytes);
  }
}

TEST(LargePages, MappingsAreZeroedAlignedAndAdvisedFromTheirThreshold) {
  // Without large-page support in the kernel the advice is refused (and the
  // mappings keep small pages).
  const bool kernel_has_large_pages = std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled").good();
  const struct {
    size_t bytes, alignment, large_from;
    bool large;
  } cases[] = {
      {4096, 16384, kLargePageMinBytes, false},
      {kLargePageMinBytes - 4096, 64, kLargePageMinBytes, false},
      {kLargePageMinBytes, 64, kLargePageMinBytes, true},
      {kLargePageMinBytes + 100, 16384, kLargePageMinBytes, true},
      {6 * kMiB, 16384, 8 * kMiB, false},
      {8 * kMiB, 16384, 8 * kMiB, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    auto* p = static_cast<uint8_t*>(map_pages(c.bytes, c.alignment, c.large_from));
    ASSERT_NE(p, nullptr);
    const auto at = reinterpret_cast<uintptr_t>(p);
    EXPECT_EQ(at % (c.large ? kLargePage : c.alignment), 0u);
    size_t nonzero = 0;
    for (size_t i = 0; i < c.bytes; ++i) nonzero += p[i] != 0;
    EXPECT_EQ(nonzero, 0u);
    fill_and_check(p, c.bytes);
    EXPECT_EQ(advised_large(p), c.large && kernel_has_large_pages);
    EXPECT_EQ(advised_large(p + c.bytes - 1), c.large && kernel_has_large_pages);
    unmap_pages(p, c.bytes);
  }
  EXPECT_EQ(map_pages(0, 64), nullptr);
}

}  // namespace
}  // namespace vorn
