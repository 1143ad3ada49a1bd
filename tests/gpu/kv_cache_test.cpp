// What a KV cache offers the next generation: the leading ids of a new
// prompt that it holds for the same image bytes, never the whole prompt.
#include "gpu/kv_cache.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

PixelBytes pixels(std::vector<uint8_t> bytes) { return std::make_shared<const std::vector<uint8_t>>(std::move(bytes)); }

TEST(KvCache, ReusablePrefix) {
  const PixelBytes image = pixels({1, 2, 3}), same = pixels({1, 2, 3}), other = pixels({1, 2, 4}), none;
  const std::vector<int64_t> held = {5, 6, 7, 8};
  struct Case {
    const char* name;
    std::vector<int64_t> prompt;
    PixelBytes pixels;
    uint64_t want;
  };
  const Case cases[] = {
      {"extends it", {5, 6, 7, 8, 9, 10}, same, 4},
      {"the same prompt keeps one token to run", {5, 6, 7, 8}, same, 3},
      {"diverges", {5, 6, 9, 8, 9}, same, 2},
      {"a one-token prompt", {5}, same, 0},
      {"other image bytes", {5, 6, 7, 8, 9}, other, 0},
      {"no image", {5, 6, 7, 8, 9}, none, 0},
  };
  KvCache cache;
  EXPECT_EQ(cache.reusablePrefix(held, image), 0u) << "empty";
  cache.hold({5, 6, 7}, image, {});
  cache.holdNext(8, {});
  for (const Case& c : cases) EXPECT_EQ(cache.reusablePrefix(c.prompt, c.pixels), c.want) << c.name;
  cache.hold(held, none, {});
  EXPECT_EQ(cache.reusablePrefix({5, 6, 7, 8, 9}, none), 0u) << "held without an image";
  cache.hold(held, image, {});
  cache.forget();
  EXPECT_EQ(cache.reusablePrefix({5, 6, 7, 8, 9}, same), 0u) << "forgotten";
}

}  // namespace
}  // namespace vorn
