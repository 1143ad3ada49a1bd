// Digests against python3-xxhash fixtures, and F16 / Q8 widening against
// values worked out from the definitions.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <bit>
#include <cmath>
#include <fstream>
#include <sstream>

#include "container/container.h"
#include "container/digest.h"
#include "container/widen.h"
#include "container_fixture.h"

namespace vorn {
namespace {

std::vector<uint8_t> fixture_input(uint64_t length) {
  std::vector<uint8_t> d(length);
  for (uint64_t i = 0; i < length; ++i) d[i] = uint8_t((i * 31 + length * 7 + 3) & 0xFF);
  return d;
}

TEST(ContainerDigest, MatchesIndependentXxh3Fixtures) {
  std::ifstream in(VORN_SOURCE_DIR "/tests/container/xxh3_128_fixtures.txt");
  ASSERT_TRUE(in.good());
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ls(line);
    uint64_t length;
    std::string hex;
    ls >> length >> hex;
    ASSERT_EQ(hex.size(), 32u);
    uint8_t want[16];
    for (int i = 0; i < 16; ++i) want[i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    std::vector<uint8_t> data = fixture_input(length);
    uint8_t got[16];
    xxh3_128_store(data.data(), length, got);
    EXPECT_EQ(0, std::memcmp(got, want, 16)) << "length " << length;
    EXPECT_TRUE(xxh3_128_matches(data.data(), length, want));
    want[15] ^= 0x80;  // the high half is compared too
    EXPECT_FALSE(xxh3_128_matches(data.data(), length, want));
    // The streaming form agrees, fed in uneven pieces.
    Xxh3Stream s;
    for (uint64_t at = 0; at < length; at += 777) s.update(data.data() + at, std::min<uint64_t>(777, length - at));
    s.finish(got);
    want[15] ^= 0x80;
    EXPECT_EQ(0, std::memcmp(got, want, 16));
    ++checked;
  }
  EXPECT_GE(checked, 20);
}

TEST(ContainerDigest, PaddingByteChangeFailsVerification) {
  test::Model m = test::random_model(21, 3);
  std::vector<uint8_t> c;
  ASSERT_TRUE(container_write_memory(m.spec, &c, nullptr));
  test::MemFile file(c);
  ASSERT_GE(file.fd, 0);
  ContainerResult r = container_open_fd(file.fd, 0, c.size(), 0);
  ASSERT_TRUE(r.ok());
  ContainerHandle h = r.value;
  const uint8_t* data = c.data() + h.meta_len;
  EXPECT_TRUE(container_verify_tensor_hashes(&h, data));
  TensorRecord t = container_tensor_record(&h, 0);
  c[h.meta_len + t.relative_offset + t.byte_size] ^= 1;  // first padding byte
  EXPECT_FALSE(container_verify_tensor_hashes(&h, data));
  container_close(&h);
}

TEST(ContainerWiden, EveryHalfFromTheDefinition) {
  std::vector<uint8_t> src(65536 * 2);
  for (uint32_t h = 0; h < 65536; ++h) std::memcpy(src.data() + 2 * h, &h, 2);
  std::vector<float> dst(65536);
  ASSERT_TRUE(weights_to_f32(kElemF16, 256, 256, src.data(), dst.data()));
  for (uint32_t h = 0; h < 65536; ++h) {
    const uint32_t e = (h >> 10) & 31, man = h & 1023;
    const float sign = (h & 0x8000) ? -1.0f : 1.0f;
    if (e == 31) {
      const uint32_t want = ((h & 0x8000u) << 16) | 0x7F800000u | (man << 13);
      ASSERT_EQ(std::bit_cast<uint32_t>(dst[h]), want) << h;
    } else {
      const float want = e == 0 ? sign * std::ldexp(float(man), -24) : sign * std::ldexp(float(1024 + man), int(e) - 25);
      ASSERT_EQ(std::bit_cast<uint32_t>(dst[h]), std::bit_cast<uint32_t>(want)) << h;
    }
  }
}

std::vector<uint8_t> q8_block(float scale, std::initializer_list<int> values) {
  std::vector<uint8_t> b(68, 0);
  int i = 0;
  for (int v : values) b[i++] = uint8_t(int8_t(v));
  std::memcpy(b.data() + 64, &scale, 4);
  return b;
}

TEST(ContainerWiden, Q8BlocksAndRefusals) {
  float out[130] = {};
  auto blk = q8_block(0.5f, {-3, 2, 127});
  ASSERT_TRUE(weights_to_f32(kElemQ8, 1, 3, blk.data(), out));
  EXPECT_EQ(out[0], -1.5f);
  EXPECT_EQ(out[1], 1.0f);
  EXPECT_EQ(out[2], 63.5f);

  // cols 65: two blocks; in the second only byte 0 is in the row.
  std::vector<uint8_t> two = q8_block(1.0f, {});
  for (int i = 0; i < 64; ++i) two[i] = uint8_t(i);
  auto second = q8_block(2.0f, {-5});
  two.insert(two.end(), second.begin(), second.end());
  ASSERT_TRUE(weights_to_f32(kElemQ8, 1, 65, two.data(), out));
  EXPECT_EQ(out[63], 63.0f);
  EXPECT_EQ(out[64], -10.0f);
  two[68 + 1] = 1;  // past the row's end
  EXPECT_FALSE(weights_to_f32(kElemQ8, 1, 65, two.data(), out));

  for (float bad : {0.0f, -1.0f, INFINITY, NAN, std::bit_cast<float>(0x7F800001u)}) {
    auto b = q8_block(bad, {1});
    EXPECT_FALSE(weights_to_f32(kElemQ8, 1, 1, b.data(), out)) << bad;
  }
  auto m128 = q8_block(1.0f, {0, -128});
  EXPECT_FALSE(weights_to_f32(kElemQ8, 1, 2, m128.data(), out));
  EXPECT_FALSE(weights_to_f32(kElemF32, 1, 1, blk.data(), out));
  EXPECT_FALSE(weights_to_f32(3, 1, 1, blk.data(), out));
  EXPECT_TRUE(weights_to_f32(kElemQ8, 0, 5, blk.data(), out));
  EXPECT_TRUE(weights_to_f32(kElemF16, 3, 0, blk.data(), out));
}

}  // namespace
}  // namespace vorn
