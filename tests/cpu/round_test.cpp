// The rounding primitives against references written from the definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/quant_round.h"
#include "platform/half.h"
#include "reference/quant_reference.h"
#include "reference/random_data.h"

namespace vorn {
namespace {

uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}
float from_bits(uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

// Every float with bits in [lo, hi) at the given step, both signs: f16_round
// must equal the double-arithmetic reference and the half conversion, bit
// for bit. Returns the number of values checked.
// The bulk version is checked on the same values, in batches.
uint64_t check_f16_range(uint32_t lo, uint32_t hi, uint32_t step) {
  uint64_t checked = 0, bad = 0;
  std::vector<float> batch, want_batch;
  auto flush = [&] {
    f16_round_n(batch.data(), batch.size());
    for (size_t i = 0; i < batch.size(); ++i)
      if (bits_of(batch[i]) != bits_of(want_batch[i]) && ++bad < 5)
        ADD_FAILURE() << std::hexfloat << "bulk got " << batch[i] << " want " << want_batch[i];
    batch.clear();
    want_batch.clear();
  };
  for (uint32_t b = lo; b < hi && b >= lo; b += step) {
    for (uint32_t sign : {0u, 0x80000000u}) {
      const float x = from_bits(b | sign);
      const uint32_t got = bits_of(f16_round(x));
      const uint32_t want = bits_of(ref::f16_nearest(x));
      const uint32_t conv = bits_of(half_to_float(float_to_half(x)));
      if (got != want || got != conv) {
        if (++bad < 5)
          ADD_FAILURE() << std::hexfloat << "x=" << x << " got " << from_bits(got) << " want "
                        << from_bits(want) << " conversion " << from_bits(conv);
      }
      batch.push_back(x);
      want_batch.push_back(from_bits(want));
      if (batch.size() == 4099) flush();
      ++checked;
    }
  }
  flush();
  EXPECT_EQ(bad, 0u);
  return checked;
}

TEST(F16Round, EveryFloatNearTheTopOfTheRangeAndInfinity) {
  // 2^14 up to and past the overflow threshold 65520, and the infinities.
  check_f16_range(0x46800000u, 0x47800001u, 1);
  check_f16_range(0x47800001u, 0x7F800001u, 4099);
}

TEST(F16Round, EveryFloatAroundTheSubnormalRange) {
  // Float subnormals and the tiniest normals (all round to zero).
  check_f16_range(0u, 0x00100000u, 1);
  // 2^-25 .. 2^-24: from half the smallest half subnormal (a tie to zero)
  // to the smallest subnormal itself.
  check_f16_range(0x33000000u, 0x33800000u, 1);
  // Around 2^-14: the last subnormals and the first normals.
  check_f16_range(0x38600000u, 0x38A00000u, 1);
  // Everything else below 2^-13, sampled.
  check_f16_range(0x00100000u, 0x39000000u, 61);
}

TEST(F16Round, SampledOverTheWholeFiniteRange) {
  check_f16_range(0x00100000u, 0x7F800000u, 2039);
}

TEST(F16Round, KnownValues) {
  EXPECT_EQ(f16_round(65519.0f), 65504.0f);
  EXPECT_EQ(f16_round(65520.0f), INFINITY);
  EXPECT_EQ(f16_round(-65520.0f), -INFINITY);
  EXPECT_EQ(f16_round(65504.0f), 65504.0f);
  EXPECT_EQ(f16_round(1.0f + 0x1p-11f), 1.0f);               // tie, to even
  EXPECT_EQ(f16_round(1.0f + 3 * 0x1p-11f), 1.0f + 0x1p-9f);  // tie, to even (up)
  EXPECT_EQ(f16_round(0x1p-25f), 0.0f);                      // tie to zero
  EXPECT_EQ(f16_round(0x1.8p-25f), 0x1p-24f);
  EXPECT_EQ(f16_round(3 * 0x1p-25f), 2 * 0x1p-24f);          // tie, to even
  EXPECT_TRUE(std::signbit(f16_round(-0.0f)));
  EXPECT_TRUE(std::isnan(f16_round(NAN)));
  EXPECT_TRUE(std::isnan(f16_round(from_bits(0x7FFFFFFFu))));  // no carry into the sign
  EXPECT_TRUE(std::isnan(f16_round(from_bits(0xFFFFFFFFu))));
  std::vector<float> nans(20, from_bits(0x7FFFFFFFu));
  nans[3] = from_bits(0xFF800001u);
  f16_round_n(nans.data(), nans.size());
  for (float x : nans) EXPECT_TRUE(std::isnan(x));
}

TEST(QuantType, WholeWordsOnly) {
  struct Case {
    const char* text;
    CpuQuantType type;
  } cases[] = {{"f16", kQuantF16}, {"i8", kQuantI8}, {"i4", kQuantI4}, {"u8", kQuantU8},
               {"u16", kQuantU16}, {"F16", kQuantOff}, {"i8 ", kQuantOff}, {"", kQuantOff},
               {"int8", kQuantOff}, {nullptr, kQuantOff}};
  for (const Case& c : cases) EXPECT_EQ(cpu_quant_type_parse(c.text), c.type) << (c.text ? c.text : "null");
}

using test::random_values;

TEST(QuantBlocks, SymmetricBlocksAlongStridedRows) {
  // 3 rows of 10 values with element stride 3 (the columns of a 10 x 3
  // matrix), blocks of 4: blocks [0,4), [4,8), [8,10) of each column.
  const std::vector<float> m = random_values(30, 1, -3, 3);
  for (CpuQuantType type : {kQuantI8, kQuantI4}) {
    std::vector<float> got = m;
    quant_blocks(got.data(), 3, 10, 1, 3, type, 4);
    for (int col = 0; col < 3; ++col) {
      for (int start = 0; start < 10; start += 4) {
        std::vector<float> block;
        for (int i = start; i < std::min(10, start + 4); ++i) block.push_back(m[i * 3 + col]);
        block = ref::symmetric(block, type == kQuantI8 ? 127.0f : 7.0f);
        for (int i = start; i < std::min(10, start + 4); ++i)
          EXPECT_EQ(got[i * 3 + col], block[i - start]) << "type " << type << " col " << col << " i " << i;
      }
    }
  }
}

// Columns of a wide matrix (swept row by row inside) give what each column
// rounded on its own gives, for every type, across chunks of columns.
TEST(QuantBlocks, WideMatrixColumnsEqualEachColumnAlone) {
  const uint64_t k = 37, cols = 300, ld = 301;
  std::vector<float> m = random_values(k * ld, 6, -2, 3);
  for (uint64_t j = 0; j < cols; j += 7) m[5 * ld + j] = 1e-32f;
  for (uint64_t i = 0; i < k; ++i) m[i * ld + 11] = 0.0f;  // an all-zero column
  for (CpuQuantType type : {kQuantF16, kQuantI8, kQuantI4, kQuantU8, kQuantU16}) {
    for (int64_t block : {0, 8, 36}) {
      std::vector<float> got = m, want = m;
      quant_blocks(got.data(), cols, k, 1, ld, type, block);
      for (uint64_t j = 0; j < cols; ++j) quant_blocks(want.data() + j, 1, k, 0, ld, type, block);
      for (size_t i = 0; i < m.size(); ++i)
        ASSERT_EQ(bits_of(got[i]), bits_of(want[i])) << "type " << type << " block " << block << " at " << i;
      EXPECT_EQ(got[300], m[300]);  // outside the columns
    }
  }
}

TEST(QuantBlocks, BlockLengthZeroOrTooLongIsOneBlockPerRow) {
  const std::vector<float> m = random_values(40, 2, -1, 1);
  for (int64_t block : {0, -5, 11, 1000}) {
    std::vector<float> got = m;
    quant_blocks(got.data(), 4, 10, 10, 1, kQuantI8, block);
    for (int r = 0; r < 4; ++r) {
      std::vector<float> row(m.begin() + r * 10, m.begin() + r * 10 + 10);
      row = ref::symmetric(row, 127);
      for (int i = 0; i < 10; ++i) EXPECT_EQ(got[r * 10 + i], row[i]) << block;
    }
  }
}

TEST(QuantBlocks, TinyBlockBecomesZeros) {
  std::vector<float> v = {1e-31f, -5e-31f, 0.0f, 2e-31f, 1.0f, -2.0f};
  quant_blocks(v.data(), 1, 6, 6, 1, kQuantI8, 4);
  EXPECT_EQ(v[0], 0.0f);
  EXPECT_EQ(v[1], 0.0f);
  EXPECT_EQ(v[3], 0.0f);
  const std::vector<float> last = ref::symmetric({1.0f, -2.0f}, 127);
  EXPECT_EQ(v[4], last[0]);
  EXPECT_EQ(v[5], last[1]);
}

TEST(QuantBlocks, F16RoundsEveryValue) {
  std::vector<float> v = random_values(100, 3, -70000, 70000);
  std::vector<float> got = v;
  quant_blocks(got.data(), 10, 10, 10, 1, kQuantF16, 3);
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(bits_of(got[i]), bits_of(ref::f16_nearest(v[i])));
}

// "u8" and "u16" weights and operands land on the 7-level symmetric grid
// of "i4" (their unsigned grids are for activations only).
TEST(QuantBlocks, UnsignedTypesTakeTheI4Grid) {
  const std::vector<float> v = random_values(4096, 4, -0.5f, 2.0f);
  const std::vector<float> want = ref::symmetric(v, 7.0f);
  for (CpuQuantType type : {kQuantU8, kQuantU16}) {
    std::vector<float> got = v;
    quant_vector(got.data(), got.size(), 1, type);
    EXPECT_EQ(got, want) << type;
  }
}

TEST(QuantActivationGrid, RecordedRangeHalfToTwo) {
  // Range [0.5, 2.0] widens to [0, 2]: scale 2/255, zero point 0.
  std::vector<float> v = {0.0f, 0.5f, 1.0f, 2.0f, 2.5f, -0.1f, 0.004f};
  std::vector<float> got = v;
  quant_asymmetric(got.data(), got.size(), 1, 0.5f, 2.0f, 255.0f);
  const float scale = 2.0f / 255.0f;
  for (size_t i = 0; i < v.size(); ++i) {
    float t = std::nearbyint(v[i] / scale);
    t = std::min(std::max(t, 0.0f), 255.0f);
    EXPECT_EQ(got[i], scale * t) << v[i];
  }
  EXPECT_EQ(got[4], 2.0f);  // beyond the range: clamped
  EXPECT_EQ(got[5], 0.0f);
}

TEST(QuantActivationGrid, NarrowRangeIsWidenedToOne) {
  std::vector<float> v = {0.3f, 0.7f};
  quant_asymmetric(v.data(), v.size(), 1, 0.0f, 1e-7f, 255.0f);
  EXPECT_EQ(v[0], std::nearbyint(0.3f * 255.0f) / 255.0f);
}

TEST(QuantSymmetric, KnownRangeClampsBeyondIt) {
  std::vector<float> v = {0.5f, -3.0f, 3.0f, 0.0f};
  quant_symmetric(v.data(), v.size(), 1, 1.0f, 127.0f);
  EXPECT_EQ(v[0], 1.0f / 127.0f * 64.0f);  // 63.5 rounds half to even: 64
  EXPECT_EQ(v[1], -1.0f);
  EXPECT_EQ(v[2], 1.0f);
  EXPECT_EQ(v[3], 0.0f);
}

}  // namespace
}  // namespace vorn
