#include "korvani/decimal.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "json_printing.hpp"

namespace korvani {
namespace {

Decimal dec(std::string_view text) {
  auto value = Decimal::fromString(text);
  EXPECT_TRUE(value) << "not a number: " << text;
  return value.value_or(Decimal());
}

TEST(Decimal, ParsesJsonNumberTextAndRendersPlainNotation) {
  struct Case {
    const char* text;
    const char* rendered;
  };
  const Case cases[] = {
      {"0", "0"},
      {"-0", "0"},
      {"-0.00", "0"},
      {"0e7", "0"},
      {"0.000e-999999", "0"},  // zero with any exponent is just zero
      {"0.1", "0.1"},
      {"10.25", "10.25"},
      {"10.250", "10.25"},
      {"1e2", "100"},
      {"1E+2", "100"},
      {"4E+2", "400"},
      {"1e-3", "0.001"},
      {"-12.50", "-12.5"},
      {"100.00", "100"},
      {"0.000123", "0.000123"},
      {"1234.5e-2", "12.345"},
      {"1234.5e3", "1234500"},
      {"123456789012345678901234567.89", "123456789012345678901234567.89"},
      {"-99999999999999999999999999999999999999", "-99999999999999999999999999999999999999"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(dec(c.text).toString(), c.rendered) << c.text;
  }
  EXPECT_EQ(dec("1e1000").toString(), "1" + std::string(1000, '0'));
  EXPECT_EQ(dec("1e-1000").toString(), "0." + std::string(999, '0') + "1");

  // appendTo adds to what is there; toString is the same text.
  std::string out = "x=";
  dec("-0.5").appendTo(out);
  EXPECT_EQ(out, "x=-0.5");
}

TEST(Decimal, RefusesTextOutsideTheJsonNumberGrammar) {
  const char* refused[] = {"",     "-",     "+1",  "012", "-012",     "00",          ".5",
                           "5.",   "1.e3",  "1e",  "1e+", "1e-",      " 1",          "1 ",
                           "1x",   "0x10",  "NaN", "nan", "Infinity", "-Infinity",   "1,5",
                           "1..2", "1e2.5", "--1", "1-",  "e5",       "\xef\xbc\x91"};
  for (const char* text : refused) {
    EXPECT_FALSE(Decimal::fromString(text)) << "accepted: " << text;
  }
  // Text with an embedded NUL is not a number either.
  EXPECT_FALSE(
      Decimal::fromString(std::string_view("1\0"
                                           "2",
                                           3)));
}

TEST(Decimal, RoundsHalfToEvenPastThirtyEightDigits) {
  const std::string digits37 = "1234567890123456789012345678901234567";  // 37 digits
  struct Case {
    std::string text;
    std::string rendered;
  };
  const Case cases[] = {
      // 38 digits kept exactly.
      {digits37 + "8", digits37 + "8"},
      // 39th digit below five: truncated.
      {digits37 + "84", digits37 + "80"},
      // Exactly half: to the even neighbour.
      {digits37 + "85", digits37 + "80"},
      {digits37 + "75", digits37 + "80"},
      // More than half because of a later non-zero digit.
      {digits37 + "85000000001", digits37 + "9" + std::string(10, '0')},
      {digits37 + "850000000000", digits37 + "8" + std::string(11, '0')},
      {digits37 + "86", digits37 + "90"},
      // Fraction digits past the 38th.
      {"0." + digits37 + "85", "0." + digits37 + "8"},
      {"0." + digits37 + "95", "0." + digits37.substr(0, 36) + "8"},  // ...79|5 -> ...8
      // Rounding that carries into a 39th digit.
      {std::string(38, '9') + "5", "1" + std::string(39, '0')},
      {"-" + std::string(38, '9') + ".5", "-1" + std::string(38, '0')},
      {"9." + std::string(40, '9'), "10"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(dec(c.text).toString(), c.rendered) << c.text;
  }
}

TEST(Decimal, RefusesExponentsOutOfRange) {
  EXPECT_TRUE(Decimal::fromString("1e1000"));
  EXPECT_FALSE(Decimal::fromString("1e1001"));
  EXPECT_TRUE(Decimal::fromString("1e-1000"));
  EXPECT_FALSE(Decimal::fromString("1e-1001"));
  // The range applies to the normalised value, not to the written exponent.
  EXPECT_EQ(dec("1000e997").toString(), "1" + std::string(1000, '0'));
  EXPECT_FALSE(Decimal::fromString("1000e998"));
  EXPECT_TRUE(Decimal::fromString("0.01e1002"));
  EXPECT_TRUE(Decimal::fromString("100e-1002"));
  EXPECT_FALSE(Decimal::fromString("0.1e-1000"));
  EXPECT_EQ(dec("1.5e1000"), dec("15e999"));
  EXPECT_FALSE(Decimal::fromString("1e99999999999999999999999999"));
  EXPECT_FALSE(Decimal::fromString("-1e-99999999999999999999999999"));
  EXPECT_EQ(dec("0e99999999999999999999999999"), Decimal());
}

TEST(Decimal, ComparesByValueWhateverTheNotation) {
  EXPECT_EQ(dec("1e2"), dec("100.00"));
  EXPECT_EQ(dec("0.10"), dec("1e-1"));
  EXPECT_EQ(dec("-0"), Decimal());
  EXPECT_EQ(dec("-0.0"), dec("0e5"));
  EXPECT_EQ(Decimal(std::int64_t{0}), Decimal());
  EXPECT_NE(dec("0.1"), dec("0.01"));
  EXPECT_NE(dec("1"), dec("-1"));

  // Ascending order; each must be strictly below the next.
  const char* ordered[] = {"-1e1000",
                           "-100",
                           "-99.99",
                           "-1",
                           "-0.5",
                           "-1e-1000",
                           "0",
                           "1e-1000",
                           "0.001",
                           "0.01",
                           "0.0100000000001",
                           "0.1",
                           "0.99",
                           "1",
                           "1.0000000000000000000000000000000000001",
                           "9.5",
                           "10",
                           "99999999999999999999999999999999999999",
                           "1e38",
                           "1e1000"};
  const std::size_t n = std::size(ordered);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const auto a = dec(ordered[i]);
      const auto b = dec(ordered[j]);
      EXPECT_EQ(a <=> b, i <=> j) << ordered[i] << " vs " << ordered[j];
    }
  }
  // Rounded away from 1: 1 + 1e-39 rounds to 1 at 38 digits but 1 + 1e-37 does not.
  EXPECT_EQ(dec("1.000000000000000000000000000000000000001"), dec("1"));
  EXPECT_GT(dec("1.0000000000000000000000000000000000001"), dec("1"));
}

TEST(Decimal, ReportsSignZeroAndIntegrality) {
  EXPECT_TRUE(Decimal().isZero());
  EXPECT_FALSE(Decimal().isNegative());
  EXPECT_FALSE(dec("-0.000").isNegative());
  EXPECT_TRUE(dec("-0.001").isNegative());
  EXPECT_FALSE(dec("0.001").isZero());
  EXPECT_TRUE(dec("1e3").isIntegral());
  EXPECT_TRUE(dec("3.0").isIntegral());
  EXPECT_TRUE(dec("0").isIntegral());
  EXPECT_FALSE(dec("3.5").isIntegral());
  EXPECT_FALSE(dec("1e-1").isIntegral());
}

TEST(Decimal, ConvertsIntegersExactly) {
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kUMax = std::numeric_limits<std::uint64_t>::max();

  // From integers and back.
  for (const std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{7},
                               std::int64_t{1000}, std::int64_t{-120}, kMin, kMax}) {
    const Decimal d(v);
    EXPECT_EQ(d.toInt64(), v);
    EXPECT_EQ(d.toString(), std::to_string(v));
  }
  EXPECT_EQ(Decimal(kUMax).toUInt64(), kUMax);
  EXPECT_EQ(Decimal(kUMax).toString(), "18446744073709551615");
  EXPECT_EQ(Decimal(std::uint64_t{1000}), dec("1e3"));

  // Limits of the exact conversions.
  EXPECT_EQ(dec("9223372036854775807").toInt64(), kMax);
  EXPECT_FALSE(dec("9223372036854775808").toInt64());
  EXPECT_EQ(dec("9223372036854775808").toUInt64(), std::uint64_t{9223372036854775808ULL});
  EXPECT_EQ(dec("-9223372036854775808").toInt64(), kMin);
  EXPECT_FALSE(dec("-9223372036854775809").toInt64());
  EXPECT_EQ(dec("18446744073709551615").toUInt64(), kUMax);
  EXPECT_FALSE(dec("18446744073709551616").toUInt64());
  EXPECT_EQ(dec("9.223372036854775807e18").toInt64(), kMax);
  EXPECT_EQ(dec("1e18").toInt64(), std::int64_t{1000000000000000000});
  EXPECT_FALSE(dec("1e19").toInt64());
  EXPECT_EQ(dec("1e19").toUInt64(), std::uint64_t{10000000000000000000ULL});
  EXPECT_FALSE(dec("1e20").toUInt64());
  EXPECT_FALSE(dec("1e1000").toUInt64());
  EXPECT_EQ(dec("3.0").toInt64(), 3);
  EXPECT_EQ(dec("-0.0").toUInt64(), 0u);
  EXPECT_FALSE(dec("2.5").toInt64());
  EXPECT_FALSE(dec("-1").toUInt64());
  EXPECT_FALSE(dec("1e-1000").toInt64());
}

}  // namespace
}  // namespace korvani
