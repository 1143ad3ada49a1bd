#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <string>

#include "base/parse.h"

namespace vorn {
namespace {

TEST(ParseI64, RangeSignsAndStrayBytes) {
  struct Case {
    const char* text;
    bool ok;
    int64_t value;
  } cases[] = {
      {"0", true, 0},
      {"42", true, 42},
      {"-17", true, -17},
      {"+17", true, 17},
      {"007", true, 7},
      {"9223372036854775807", true, INT64_MAX},
      {"-9223372036854775808", true, INT64_MIN},
      {"9223372036854775808", false, 0},
      {"-9223372036854775809", false, 0},
      {"99999999999999999999", false, 0},
      {"", false, 0},
      {"+", false, 0},
      {"-", false, 0},
      {"1a", false, 0},
      {" 1", false, 0},
      {"1 ", false, 0},
      {"--1", false, 0},
      {"1.0", false, 0},
      {"0x10", false, 0},
  };
  for (const auto& c : cases) {
    ParsedI64 r = parse_i64(slice_of(std::string_view(c.text)));
    EXPECT_EQ(!r.failed, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(r.value, c.value) << c.text;
    }
  }
}

TEST(ParseF64, AcceptsOnlyTheStrictGrammar) {
  struct Case {
    const char* text;
    bool ok;
    double value;
  } cases[] = {
      {"3.5", true, 3.5},
      {"42", true, 42.0},
      {"+0.5", true, 0.5},
      {"-12.5e-3", true, -0.0125},
      {"1E3", true, 1000.0},
      {"1e+2", true, 100.0},
      {"0.1", true, 0.1},
      {"-0", true, -0.0},
      {"123456789012345678901234567890", true, 1.2345678901234568e29},
      {".5", false, 0},
      {"5.", false, 0},
      {"1e", false, 0},
      {"1e+", false, 0},
      {"1.2.3", false, 0},
      {" 1", false, 0},
      {"1 ", false, 0},
      {"inf", false, 0},
      {"nan", false, 0},
      {"", false, 0},
      {"+", false, 0},
      {"1,5", false, 0},
      {"0x1p3", false, 0},
      {"1e5.0", false, 0},
  };
  for (const auto& c : cases) {
    ParsedF64 r = parse_f64(slice_of(std::string_view(c.text)));
    EXPECT_EQ(!r.failed, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(r.value, c.value) << c.text;
      EXPECT_EQ(std::signbit(r.value), std::signbit(c.value)) << c.text;
    }
  }
}

TEST(ParseF64, LengthLimitAndExtremes) {
  std::string ok(63, '1');
  EXPECT_FALSE(parse_f64(slice_of(ok)).failed);
  std::string too_long(64, '1');
  EXPECT_TRUE(parse_f64(slice_of(too_long)).failed);
  // Out of range behaves as strtod: infinity or zero with the sign kept.
  ParsedF64 big = parse_f64(slice_of(std::string_view("-1e400")));
  EXPECT_FALSE(big.failed);
  EXPECT_EQ(big.value, -HUGE_VAL);
  ParsedF64 tiny = parse_f64(slice_of(std::string_view("1e-400")));
  EXPECT_FALSE(tiny.failed);
  EXPECT_EQ(tiny.value, 0.0);
  ParsedF64 zero = parse_f64(slice_of(std::string_view("0e999")));
  EXPECT_FALSE(zero.failed);
  EXPECT_EQ(zero.value, 0.0);
  ParsedF64 denormal = parse_f64(slice_of(std::string_view("4.9406564584124654e-324")));
  EXPECT_FALSE(denormal.failed);
  EXPECT_EQ(denormal.value, std::nextafter(0.0, 1.0));
  // Correct rounding at the halfway point between two doubles.
  ParsedF64 half = parse_f64(slice_of(std::string_view("9007199254740993")));
  EXPECT_EQ(half.value, 9007199254740992.0);
  // Digits straight out of a buffer with no NUL after them.
  const char buf[4] = {'2', '.', '5', '7'};
  EXPECT_EQ(parse_f64(slice_of(buf, 3)).value, 2.5);
}

// The process locale must not change the decimal point: "3.5" is 3.5 even
// where the locale's separator is ','.
TEST(ParseF64, IndependentOfTheProcessLocale) {
  std::string saved = std::setlocale(LC_ALL, nullptr);
  const char* comma_locales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE", "fr_FR"};
  const char* active = nullptr;
  for (const char* name : comma_locales)
    if (std::setlocale(LC_ALL, name) != nullptr) {
      active = name;
      break;
    }
  if (active != nullptr) {
    EXPECT_STREQ(std::localeconv()->decimal_point, ",");
  }
  ParsedF64 r = parse_f64(slice_of(std::string_view("3.5")));
  EXPECT_FALSE(r.failed);
  EXPECT_EQ(r.value, 3.5);
  EXPECT_TRUE(parse_f64(slice_of(std::string_view("3,5"))).failed);
  ParsedF64 e = parse_f64(slice_of(std::string_view("-12.5e-3")));
  EXPECT_EQ(e.value, -0.0125);
  std::setlocale(LC_ALL, saved.c_str());
  if (active == nullptr) std::printf("note: no comma-decimal locale installed; checked under \"%s\"\n", saved.c_str());
}

}  // namespace
}  // namespace vorn
