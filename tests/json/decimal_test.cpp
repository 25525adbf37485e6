#include "korvani/decimal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/json_printing.hpp"

namespace korvani {
namespace {

Decimal dec(std::string_view text) {
  auto value = Decimal::fromString(text);
  EXPECT_TRUE(value) << "not a number: " << text;
  return value.value_or(Decimal());
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> result;
  for (std::size_t start = 0, end = 0; start < text.size(); start = end + 1) {
    end = std::min(text.find(' ', start), text.size());
    result.push_back(text.substr(start, end - start));
  }
  return result;
}

// Each case is "<text> <rendering>".
void expectRenderings(const std::vector<std::string>& cases) {
  for (const auto& c : cases)
    EXPECT_EQ(dec(words(c)[0]).toString(), words(c)[1]) << c;
}

TEST(Decimal, ParsesJsonNumberTextAndRendersPlainNotation) {
  // Zero with any exponent is just zero; trailing zeros and exponents disappear.
  expectRenderings({"0 0", "-0 0", "-0.00 0", "0e7 0", "0.000e-999999 0", "0.1 0.1", "10.250 10.25",
                    "1E+2 100", "4E+2 400", "1e-3 0.001", "-12.50 -12.5", "100.00 100",
                    "0.000123 0.000123", "1234.5e-2 12.345", "1234.5e3 1234500",
                    "0e99999999999999999999999999 0",
                    "123456789012345678901234567.89 123456789012345678901234567.89",
                    "-99999999999999999999999999999999999999 "
                    "-99999999999999999999999999999999999999",
                    // Past 38 significant digits only zeros fit, which change nothing.
                    "12345678901234567890123456789012345678000.000 "
                    "12345678901234567890123456789012345678000",
                    "0.00012345678901234567890123456789012345678000 "
                    "0.00012345678901234567890123456789012345678"});
  // The exponent range applies to the normalised value, not to the written exponent.
  for (const char* text : {"1e1000", "0.01e1002", "1000e997"})
    EXPECT_EQ(dec(text).toString(), "1" + std::string(1000, '0')) << text;
  for (const char* text : {"1e-1000", "100e-1002"})
    EXPECT_EQ(dec(text).toString(), "0." + std::string(999, '0') + "1") << text;
  const char* refused[] = {"",     "-",     "+1",  "012", "-012",     "00",          ".5",
                           "5.",   "1.e3",  "1e",  "1e+", "1e-",      " 1",          "1 ",
                           "1x",   "0x10",  "NaN", "nan", "Infinity", "-Infinity",   "1,5",
                           "1..2", "1e2.5", "--1", "1-",  "e5",       "\xef\xbc\x91"};
  for (const char* text : refused)
    EXPECT_FALSE(Decimal::fromString(text)) << "accepted: " << text;
  // Out of range, or needing a 39th significant digit: money is never rounded.
  for (const char* text :
       {"1e1001", "1e-1001", "1000e998", "0.1e-1000", "1e99999999999999999999",
        "-1e-99999999999999999999", "123456789012345678901234567890123456789",
        "12345678901234567890123456789012345678.1", "0.000123456789012345678901234567890123456789"})
    EXPECT_FALSE(Decimal::fromString(text)) << "accepted: " << text;
  EXPECT_FALSE(Decimal::fromString(std::string_view("1\0002", 3)));
}

TEST(Decimal, ComparesByValueWhateverTheNotation) {
  EXPECT_EQ(dec("1e2"), dec("100.00"));
  EXPECT_EQ(dec("0.10"), dec("1e-1"));
  EXPECT_EQ(dec("-0.0"), dec("0e5"));
  EXPECT_EQ(dec("1.5e1000"), dec("15e999"));

  // Ascending order; each must be strictly below the next.
  const auto ordered = words(
      "-1e1000 -100 -99.99 -1 -0.5 -1e-1000 0 1e-1000 0.001 0.01 0.0100000000001 0.1 0.99 1 "
      "1.0000000000000000000000000000000000001 9.5 10 99999999999999999999999999999999999999 "
      "1e38 1e1000");
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    for (std::size_t j = 0; j < ordered.size(); ++j)
      EXPECT_EQ(dec(ordered[i]) <=> dec(ordered[j]), i <=> j) << ordered[i] << " " << ordered[j];
  }
}

TEST(Decimal, ConvertsIntegersExactly) {
  // "<text> <toInt64> <toUInt64>", "-" for nothing (not integral or out of range). Whatever
  // converts comes back from the integer constructor equal and rendered alike.
  auto shown = [](const auto& value) { return value ? std::to_string(*value) : "-"; };
  for (const char* c : {"9223372036854775807 9223372036854775807 9223372036854775807",
                        "9223372036854775808 - 9223372036854775808",
                        "-9223372036854775808 -9223372036854775808 -", "-9223372036854775809 - -",
                        "18446744073709551615 - 18446744073709551615", "18446744073709551616 - -",
                        "9.223372036854775807e18 9223372036854775807 9223372036854775807",
                        "1e19 - 10000000000000000000", "1e20 - -", "1e1000 - -", "3.0 3 3",
                        "-0.0 0 0", "2.5 - -", "-1 -1 -", "1e-1000 - -"}) {
    const auto w = words(c);
    const Decimal d = dec(w[0]);
    const auto i = d.toInt64();
    const auto u = d.toUInt64();
    EXPECT_EQ(shown(i), w[1]) << c;
    EXPECT_EQ(shown(u), w[2]) << c;
    EXPECT_TRUE(!i || (Decimal(*i) == d && Decimal(*i).toString() == w[1])) << c;
    EXPECT_TRUE(!u || (Decimal(*u) == d && Decimal(*u).toString() == w[2])) << c;
  }
}

}  // namespace
}  // namespace korvani
