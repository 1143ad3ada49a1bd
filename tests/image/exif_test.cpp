// The three EXIF readers on hand-built TIFF blocks and JPEG segment chains.
#include <gtest/gtest.h>

#include <vector>

#include "image/decode.h"
#include "image/decode_internal.h"
#include "image_test_util.h"

namespace vorn {
namespace {

struct Entry {
  uint16_t tag, type;
  uint32_t count;
  uint32_t value;  // SHORT values sit in the first two bytes of the field
};

// A TIFF block: header, IFD at `ifd`, entries, next-IFD word.
std::vector<uint8_t> tiff(bool big, const std::vector<Entry>& entries, uint32_t ifd = 8,
                          int count_override = -1) {
  std::vector<uint8_t> b;
  auto u16 = [&](uint32_t v) {
    if (big) {
      b.push_back(static_cast<uint8_t>(v >> 8));
      b.push_back(static_cast<uint8_t>(v));
    } else {
      b.push_back(static_cast<uint8_t>(v));
      b.push_back(static_cast<uint8_t>(v >> 8));
    }
  };
  auto u32 = [&](uint32_t v) {
    if (big) {
      u16(v >> 16);
      u16(v & 0xFFFF);
    } else {
      u16(v & 0xFFFF);
      u16(v >> 16);
    }
  };
  b.push_back(big ? 'M' : 'I');
  b.push_back(big ? 'M' : 'I');
  u16(42);
  u32(ifd);
  // An offset past the block is written as is, with the entries at 8.
  while (b.size() < ifd && ifd < 4096) b.push_back(0);
  u16(count_override >= 0 ? static_cast<uint32_t>(count_override)
                          : static_cast<uint32_t>(entries.size()));
  for (const Entry& e : entries) {
    u16(e.tag);
    u16(e.type);
    u32(e.count);
    if (e.type == 3) {
      u16(e.value);
      u16(0);
    } else {
      u32(e.value);
    }
  }
  u32(0);
  return b;
}

uint32_t strict(const std::vector<uint8_t>& b) { return exif_orientation(b.data(), b.size()); }
uint32_t lenient(const std::vector<uint8_t>& b) { return exif_tiff_orientation(b.data(), b.size()); }

TEST(Exif, StrictAndLenientReaders) {
  const Entry width{256, 3, 1, 640};
  for (bool big : {false, true}) {
    for (uint32_t o = 1; o <= 8; ++o) {
      const auto b = tiff(big, {width, {274, 3, 1, o}});
      EXPECT_EQ(strict(b), o);
      EXPECT_EQ(lenient(b), o);
    }
    // LONG or a count other than 1: only the lenient reader takes it.
    auto b = tiff(big, {{274, 4, 1, 6}});
    EXPECT_EQ(strict(b), 1u);
    // A little-endian LONG 6 has 6 in its first two bytes, a big-endian one 0.
    EXPECT_EQ(lenient(b), big ? 1u : 6u);
    b = tiff(big, {{274, 3, 2, 6}});
    EXPECT_EQ(strict(b), 1u);
    EXPECT_EQ(lenient(b), 6u);
    // Out-of-range values.
    EXPECT_EQ(strict(tiff(big, {{274, 3, 1, 9}})), 1u);
    EXPECT_EQ(lenient(tiff(big, {{274, 3, 1, 0}})), 1u);
    // The first orientation entry decides.
    EXPECT_EQ(strict(tiff(big, {{274, 3, 1, 0}, {274, 3, 1, 6}})), 1u);
  }
}

TEST(Exif, MalformedBlocks) {
  auto good = tiff(false, {{274, 3, 1, 6}});
  ASSERT_EQ(strict(good), 6u);
  EXPECT_EQ(exif_orientation(nullptr, 100), 1u);
  EXPECT_EQ(exif_tiff_orientation(nullptr, 100), 1u);
  EXPECT_EQ(exif_orientation(good.data(), 7), 1u);
  EXPECT_EQ(exif_tiff_orientation(good.data(), 21), 1u);
  auto b = good;
  b[0] = 'X';
  EXPECT_EQ(strict(b), 1u);
  b = good;
  b[2] = 43;
  EXPECT_EQ(strict(b), 1u);
  EXPECT_EQ(lenient(b), 1u);
  // IFD offset past the end, or an entry count the block cannot hold.
  EXPECT_EQ(strict(tiff(false, {{274, 3, 1, 6}}, 0xFFFFFFF0u)), 1u);
  b = tiff(false, {{274, 3, 1, 6}}, 8, 2);
  b.resize(b.size() - 4);  // room for one entry only
  EXPECT_EQ(strict(b), 1u);
  EXPECT_EQ(lenient(b), 6u);  // the lenient reader scans what fits
  EXPECT_EQ(strict(tiff(false, {{274, 3, 1, 6}}, 8, 0)), 1u);
  EXPECT_EQ(lenient(tiff(false, {{274, 3, 1, 6}}, 8, 0)), 1u);
  // An entry cut short at the end is not read.
  b = tiff(false, {{1, 3, 1, 1}, {274, 3, 1, 6}});
  b.resize(b.size() - 6);
  EXPECT_EQ(lenient(b), 1u);
}

std::vector<uint8_t> segment(uint8_t marker, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> s = {0xFF, marker, static_cast<uint8_t>((payload.size() + 2) >> 8),
                            static_cast<uint8_t>(payload.size() + 2)};
  s.insert(s.end(), payload.begin(), payload.end());
  return s;
}

std::vector<uint8_t> exif_payload(const std::vector<uint8_t>& t) {
  std::vector<uint8_t> p = {'E', 'x', 'i', 'f', 0, 0};
  p.insert(p.end(), t.begin(), t.end());
  return p;
}

std::vector<uint8_t> jpeg_of(const std::vector<std::vector<uint8_t>>& segs) {
  std::vector<uint8_t> j = {0xFF, 0xD8};
  for (const auto& s : segs) j.insert(j.end(), s.begin(), s.end());
  j.insert(j.end(), {0xFF, 0xDA, 0, 2, 0xFF, 0xD9});
  return j;
}

TEST(Exif, JpegSegmentWalk) {
  const auto app0 = segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
  const auto six = segment(0xE1, exif_payload(tiff(true, {{274, 3, 1, 6}})));
  const auto one = segment(0xE1, exif_payload(tiff(true, {{274, 3, 1, 1}})));
  const auto xmp = segment(0xE1, {'h', 't', 't', 'p', ':', '/', '/', 'n', 's'});
  auto j = jpeg_of({app0, xmp, six});
  EXPECT_EQ(jpeg_find_exif(j.data(), j.size()), 6u);
  // The walker goes past an Exif block with orientation 1 to a later one.
  j = jpeg_of({one, six});
  EXPECT_EQ(jpeg_find_exif(j.data(), j.size()), 6u);
  // Segments after the start of scan are not read.
  j = {0xFF, 0xD8, 0xFF, 0xDA, 0, 2};
  j.insert(j.end(), six.begin(), six.end());
  EXPECT_EQ(jpeg_find_exif(j.data(), j.size()), 1u);
  // Not a JPEG, too short, a bogus length, a stray byte.
  EXPECT_EQ(jpeg_find_exif(nullptr, 100), 1u);
  j = jpeg_of({six});
  EXPECT_EQ(jpeg_find_exif(j.data(), 11), 1u);
  j[0] = 0;
  EXPECT_EQ(jpeg_find_exif(j.data(), j.size()), 1u);
  j = jpeg_of({six});
  j[5] = 0xFF;  // length larger than the data
  EXPECT_EQ(jpeg_find_exif(j.data(), j.size()), 1u);
  j = jpeg_of({app0, six});
  j[2 + app0.size()] = 0x00;
  EXPECT_EQ(jpeg_find_exif(j.data(), j.size()), 1u);
}

// The decoder's own scan: the first Exif APP1 decides, read strictly.
TEST(Exif, DecoderUsesFirstExifSegment) {
  std::vector<uint8_t> base = testing::read_image("jpeg_baseline_444.jpg");
  ASSERT_GT(base.size(), 20u);
  auto with = [&](const std::vector<std::vector<uint8_t>>& segs) {
    std::vector<uint8_t> j(base.begin(), base.begin() + 2);
    for (const auto& s : segs) j.insert(j.end(), s.begin(), s.end());
    j.insert(j.end(), base.begin() + 2, base.end());
    DecodedImage image{};
    char error[kImageErrorSize];
    EXPECT_TRUE(image_decode_bytes(j.data(), j.size(), &image, error)) << error;
    const uint32_t o = image.orientation;
    decoded_image_free(&image);
    return o;
  };
  const auto six = segment(0xE1, exif_payload(tiff(false, {{274, 3, 1, 6}})));
  const auto three = segment(0xE1, exif_payload(tiff(false, {{274, 3, 1, 3}})));
  const auto one = segment(0xE1, exif_payload(tiff(false, {{274, 3, 1, 1}})));
  const auto long6 = segment(0xE1, exif_payload(tiff(false, {{274, 4, 1, 6}})));
  EXPECT_EQ(with({six}), 6u);
  EXPECT_EQ(with({three, six}), 3u);
  EXPECT_EQ(with({one, six}), 1u);
  EXPECT_EQ(with({long6}), 1u);
  // Fill bytes before a marker are skipped.
  auto filled = six;
  filled.insert(filled.begin(), 0xFF);
  EXPECT_EQ(with({filled}), 6u);
  // A last segment whose length runs past the data is not read.
  std::vector<uint8_t> cut = {0xFF, 0xD8};
  cut.insert(cut.end(), six.begin(), six.end());
  ASSERT_EQ(image_scan_orientation(cut.data(), cut.size()), 6u);
  ++cut[5];
  EXPECT_EQ(image_scan_orientation(cut.data(), cut.size()), 1u);
}

}  // namespace
}  // namespace vorn
