// Bad input: refused formats and layouts, sizes past the limits, truncated
// and corrupted data. Each gives its documented message and never reads out
// of bounds (these also run under the sanitizers through the fuzz targets).
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "image/decode.h"
#include "vorn.h"
#include "image_test_util.h"

namespace vorn {
namespace {

using testing::image_path;
using testing::read_image;

constexpr const char* kBounds = "Image dimensions exceed supported bounds";

struct Outcome {
  bool ok;
  std::string message;
  DecodedImage image;
};

Outcome decode(const std::vector<uint8_t>& bytes) {
  Outcome out{};
  char error[kImageErrorSize] = "untouched";
  out.ok = image_decode_bytes(bytes.data(), bytes.size(), &out.image, error);
  out.message = error;
  if (!out.ok) {
    EXPECT_EQ(out.image.pixels, nullptr);
    EXPECT_EQ(out.image.width, 0u);
    EXPECT_EQ(out.image.height, 0u);
  }
  return out;
}

void put_be32(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
}

void png_chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& payload) {
  put_be32(out, static_cast<uint32_t>(payload.size()));
  std::vector<uint8_t> body(type, type + 4);
  body.insert(body.end(), payload.begin(), payload.end());
  out.insert(out.end(), body.begin(), body.end());
  put_be32(out, static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

// A PNG with a valid header for the given size and an empty image data chunk.
std::vector<uint8_t> png_header_only(uint32_t width, uint32_t height, uint8_t depth = 8,
                                     uint8_t colour = 2) {
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<uint8_t> ihdr;
  put_be32(ihdr, width);
  put_be32(ihdr, height);
  ihdr.insert(ihdr.end(), {depth, colour, 0, 0, 0});
  png_chunk(out, "IHDR", ihdr);
  png_chunk(out, "IDAT", {});
  png_chunk(out, "IEND", {});
  return out;
}

// A palette PNG of 8-bit indices (one row of `indices` per image row) and a
// palette of `colours` entries.
std::vector<uint8_t> png_palette(uint32_t width, const std::vector<std::vector<uint8_t>>& indices, int colours) {
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<uint8_t> ihdr;
  put_be32(ihdr, width);
  put_be32(ihdr, static_cast<uint32_t>(indices.size()));
  ihdr.insert(ihdr.end(), {8, 3, 0, 0, 0});
  png_chunk(out, "IHDR", ihdr);
  std::vector<uint8_t> plte;
  for (int i = 0; i < colours; ++i) plte.insert(plte.end(), {uint8_t(40 * i), uint8_t(200 - 30 * i), 7});
  png_chunk(out, "PLTE", plte);
  std::vector<uint8_t> raw;
  for (const auto& row : indices) {
    raw.push_back(0);  // filter: none
    raw.insert(raw.end(), row.begin(), row.end());
  }
  std::vector<uint8_t> packed(compressBound(static_cast<uLong>(raw.size())));
  uLongf n = static_cast<uLongf>(packed.size());
  compress(packed.data(), &n, raw.data(), static_cast<uLong>(raw.size()));
  packed.resize(n);
  png_chunk(out, "IDAT", packed);
  png_chunk(out, "IEND", {});
  return out;
}

// A JPEG fixture with the frame header's sides replaced.
std::vector<uint8_t> jpeg_with_size(uint16_t width, uint16_t height) {
  std::vector<uint8_t> j = read_image("jpeg_baseline_420.jpg");
  for (size_t i = 2; i + 9 < j.size(); ++i) {
    if (j[i] == 0xFF && j[i + 1] == 0xC0) {
      j[i + 5] = height >> 8;
      j[i + 6] = height & 0xFF;
      j[i + 7] = width >> 8;
      j[i + 8] = width & 0xFF;
      return j;
    }
  }
  ADD_FAILURE() << "no SOF0 in fixture";
  return j;
}

TEST(DecodeErrors, RefusedFormatsAndLayouts) {
  Outcome o = decode(read_image("bad_png_rgb16.png"));
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.message, "PNG supports at most 8-bit channels");
  o = decode(read_image("bad_png_gray16.png"));
  EXPECT_EQ(o.message, "PNG supports at most 8-bit channels");
  o = decode(read_image("bad_jpeg_cmyk.jpg"));
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.message, "CMYK JPEG is unsupported");
  const char gif[] = "GIF89a\x01\x00\x01\x00\x00\x00\x00;";
  o = decode(std::vector<uint8_t>(gif, gif + sizeof gif - 1));
  EXPECT_EQ(o.message, "Supported image formats are RGB/grayscale JPEG and PNG");
  // PPM is read only by the frame loaders; maximum value 65535 is refused by
  // their parser and then by the decoder.
  const std::vector<uint8_t> ppm16 = read_image("bad_ppm_maxval65535.ppm");
  o = decode(ppm16);
  EXPECT_EQ(o.message, "Supported image formats are RGB/grayscale JPEG and PNG");
  uint32_t w, h;
  uint8_t* px = nullptr;
  EXPECT_FALSE(image_load_bytes_rgb8(ppm16.data(), ppm16.size(), &w, &h, nullptr, &px));
  EXPECT_FALSE(image_load_file_rgb8(image_path("bad_ppm_maxval65535.ppm").c_str(), &w, &h,
                                    nullptr, &px));
  EXPECT_EQ(px, nullptr);
}

TEST(DecodeErrors, ArgumentsAndFiles) {
  char error[kImageErrorSize];
  DecodedImage image{};
  EXPECT_FALSE(image_decode_bytes(nullptr, 100, &image, error));
  EXPECT_STREQ(error, "Cannot read image");
  const uint8_t seven[7] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 0, 0};
  EXPECT_FALSE(image_decode_bytes(seven, 7, &image, error));
  EXPECT_STREQ(error, "Cannot read image");
  EXPECT_FALSE(image_decode_bytes(seven, 7, nullptr, error));
  EXPECT_STREQ(error, "Missing image output");
  EXPECT_FALSE(image_decode_file(nullptr, &image, error));
  EXPECT_STREQ(error, "Missing image path");
  EXPECT_FALSE(image_decode_file(image_path("no-such-file.png").c_str(), &image, error));
  EXPECT_STREQ(error, "Cannot read image");

  const std::string tiny = ::testing::TempDir() + "vorn_seven_bytes.jpg";
  std::FILE* f = std::fopen(tiny.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(seven, 1, 7, f);
  std::fclose(f);
  EXPECT_FALSE(image_decode_file(tiny.c_str(), &image, error));
  EXPECT_STREQ(error, "Invalid encoded image size");
  std::remove(tiny.c_str());
  // One byte over 512 MiB, as a sparse file: refused before anything is read.
  const std::string huge = ::testing::TempDir() + "vorn_huge.jpg";
  f = std::fopen(huge.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(seven, 1, 2, f);
  std::fclose(f);
  ASSERT_EQ(truncate(huge.c_str(), off_t{kImageMaxFileBytes} + 1), 0);
  EXPECT_FALSE(image_decode_file(huge.c_str(), &image, error));
  EXPECT_STREQ(error, "Invalid encoded image size");
  std::remove(huge.c_str());
  // A null error buffer is allowed everywhere.
  EXPECT_FALSE(image_decode_file(nullptr, &image, nullptr));
  EXPECT_FALSE(image_decode_bytes(seven, 7, &image, nullptr));
}

TEST(DecodeErrors, FrameLoaderTexts) {
  const std::string with_nul("a\0b.png", 7);
  RgbImageResult r = image_file_rgb(with_nul.data(), with_nul.size());
  ASSERT_FALSE(r.ok());
  EXPECT_STREQ(r.error, "image path contains NUL");
  const std::string missing = image_path("no-such-file.png");
  r = image_file_rgb(missing.data(), missing.size());
  EXPECT_STREQ(r.error, "failed to decode image");
  const uint8_t junk[16] = {1, 2, 3};
  r = image_bytes_rgb(junk, sizeof junk);
  EXPECT_STREQ(r.error, "failed to decode encoded image bytes");
  r = image_bytes_rgb(nullptr, 0);
  EXPECT_FALSE(r.ok());
}

TEST(DecodeErrors, SizeLimitsCheckedBeforeAllocating) {
  struct Case {
    uint32_t w, h;
  };
  for (Case c : {Case{32769, 1}, Case{1, 32769}, Case{32768, 3052}, Case{10001, 10000}}) {
    Outcome o = decode(png_header_only(c.w, c.h));
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.message, kBounds) << c.w << "x" << c.h;
  }
  for (Case c : {Case{32769, 8}, Case{65000, 65000}, Case{32768, 3052}}) {
    Outcome o = decode(jpeg_with_size(static_cast<uint16_t>(c.w), static_cast<uint16_t>(c.h)));
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.message, kBounds) << c.w << "x" << c.h;
  }
  // Zero sides: the libraries refuse them, and the message names the format.
  Outcome o = decode(png_header_only(0, 5));
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.message.find("PNG"), std::string::npos) << o.message;
  o = decode(jpeg_with_size(0, 5));
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.message.find("JPEG"), std::string::npos) << o.message;
  o = decode(jpeg_with_size(5, 0));
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.message.find("JPEG"), std::string::npos) << o.message;
}

// Every cut of every fixture fails, with a message that names the format.
TEST(DecodeErrors, TruncatedInputFailsNamingTheFormat) {
  for (const auto& fx : testing::read_manifest()) {
    if (testing::ends_with(fx.file, ".ppm")) continue;
    const std::vector<uint8_t> full = read_image(fx.file);
    const bool png = testing::ends_with(fx.file, ".png");
    const size_t step = full.size() > 2000 ? 7 : 1;
    for (size_t cut = 8; cut < full.size(); cut += step) {
      Outcome o = decode(std::vector<uint8_t>(full.begin(), full.begin() + cut));
      ASSERT_FALSE(o.ok) << fx.file << " cut at " << cut;
      ASSERT_NE(o.message.find(png ? "PNG" : "JPEG"), std::string::npos)
          << fx.file << ": " << o.message;
    }
  }
}

// Running out of data is an error even when only the end marker is lost:
// the entropy decoder reads ahead and cannot tell missing rows from a missing
// marker, and grey filler must never pass for pixels.
TEST(DecodeErrors, JpegWithoutEndMarkerFails) {
  std::vector<uint8_t> j = read_image("jpeg_baseline_420.jpg");
  ASSERT_EQ(j[j.size() - 2], 0xFF);
  ASSERT_EQ(j[j.size() - 1], 0xD9);
  j.resize(j.size() - 2);
  Outcome o = decode(j);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.message, "Truncated JPEG data");
  j.resize(j.size() - 40);
  o = decode(j);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.message, "Truncated JPEG data");
}

// Damaged data is refused with a message naming the format, never decoded
// into grey filler or garbage: a JPEG whose frame is larger than its data,
// a Huffman-coded JPEG relabelled as arithmetic-coded, a palette index past
// the palette. Through a frame the status is the decoding failure.
TEST(DecodeErrors, CorruptDataFails) {
  std::vector<uint8_t> arith = read_image("jpeg_baseline_420.jpg");
  for (size_t i = 2; i + 1 < arith.size(); ++i)
    if (arith[i] == 0xFF && arith[i + 1] == 0xC0) arith[i + 1] = 0xC9;
  struct Case {
    std::vector<uint8_t> bytes;
    const char* message;  // its start
  };
  const Case cases[] = {
      {jpeg_with_size(2000, 2000), "Corrupt JPEG data: premature end of data segment"},
      {arith, "Corrupt JPEG data: "},
      {png_palette(3, {{0, 1, 2}, {2, 3, 1}}, 3), "PNG palette index out of range"},
      {png_palette(2, {{255, 0}}, 200), "PNG palette index out of range"},
  };
  for (const Case& c : cases) {
    Outcome o = decode(c.bytes);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.message.rfind(c.message, 0), 0u) << o.message;
    VornFrame* frame = vorn_frame_new();
    EXPECT_FALSE(vorn_frame_load_encoded(frame, c.bytes.data(), c.bytes.size()));
    EXPECT_EQ(vorn_frame_error_code(frame), uint32_t(VORN_STATUS_IMAGE_DECODE));
    vorn_frame_free(frame);
  }
  // Every index inside the palette decodes, to the palette's colours.
  Outcome o = decode(png_palette(3, {{0, 1, 2}}, 3));
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(std::vector<uint8_t>(o.image.pixels, o.image.pixels + 9),
            (std::vector<uint8_t>{0, 200, 7, 40, 170, 7, 80, 140, 7}));
  decoded_image_free(&o.image);
}

// A progressive JPEG with its DC refinement scan repeated (it codes one raw
// bit a block, so every repeat reads exactly its own bytes): a few dozen
// repeats still decode, more than a thousand scans are refused.
TEST(DecodeErrors, JpegScanCountIsBounded) {
  const std::vector<uint8_t> j = read_image("jpeg_progressive_444.jpg");
  size_t begin = 0, end = 0;
  for (size_t i = 2; i + 8 < j.size() && end == 0; ++i) {
    if (j[i] != 0xFF || j[i + 1] != 0xDA) continue;
    const size_t params = i + 5 + 2 * size_t(j[i + 4]);  // Ss, Se, Ah:Al
    if (j[params] != 0 || (j[params + 2] >> 4) == 0) continue;
    begin = i;
    end = i + 2 + (size_t(j[i + 2]) << 8 | j[i + 3]);
    while (!(j[end] == 0xFF && j[end + 1] != 0 && (j[end + 1] < 0xD0 || j[end + 1] > 0xD7))) ++end;
  }
  ASSERT_GT(end, begin);
  const std::vector<uint8_t> scan(j.begin() + long(begin), j.begin() + long(end));
  auto repeated = [&](int times) {
    std::vector<uint8_t> out(j.begin(), j.end() - 2);
    for (int k = 0; k < times; ++k) out.insert(out.end(), scan.begin(), scan.end());
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
  };
  Outcome o = decode(repeated(40));
  EXPECT_TRUE(o.ok) << o.message;
  decoded_image_free(&o.image);
  o = decode(repeated(1100));
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.message, "JPEG has more than 1000 scans");
}

// Flipped bytes: decoding may succeed (JPEG tolerates much), but it never
// crashes, and a failure always carries a message naming the format.
TEST(DecodeErrors, CorruptedInputNeverCrashes) {
  std::mt19937 rng(7);
  for (const char* name : {"jpeg_baseline_420.jpg", "jpeg_progressive_444.jpg", "png_rgb8.png",
                           "png_palette4_interlaced.png", "jpeg_exif_6.jpg"}) {
    const std::vector<uint8_t> full = read_image(name);
    const char* word = name[0] == 'p' ? "PNG" : "JPEG";
    for (int round = 0; round < 300; ++round) {
      std::vector<uint8_t> bytes = full;
      const int flips = 1 + round % 4;
      for (int i = 0; i < flips; ++i) {
        bytes[8 + rng() % (bytes.size() - 8)] ^= static_cast<uint8_t>(1 + rng() % 255);
      }
      Outcome o = decode(bytes);
      if (o.ok) {
        decoded_image_free(&o.image);
      } else if (o.message != kBounds && o.message != "CMYK JPEG is unsupported") {
        ASSERT_NE(o.message.find(word), std::string::npos) << name << ": " << o.message;
      }
    }
  }
  // A broken CRC in a critical chunk is an error.
  std::vector<uint8_t> png = read_image("png_rgb8.png");
  png[29] ^= 0x01;  // last byte of the IHDR CRC
  Outcome o = decode(png);
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.message.find("PNG"), std::string::npos) << o.message;
}

}  // namespace
}  // namespace vorn
