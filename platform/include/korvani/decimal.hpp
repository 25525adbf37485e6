#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "korvani/export.hpp"

namespace korvani {

// Exact decimal number for money: a sign, a coefficient of at most 38 significant digits and a
// power-of-ten exponent. Built only from decimal text or integers, never through a double, so
// 0.1 stays 0.1, and never rounded: text it cannot hold exactly is refused. Values are kept
// normalised (no trailing zeros in the coefficient, zero has no sign), so equal values compare
// equal whatever text they came from ("1e2" == "100.00"). A value: copy freely; separate copies may
// be used on separate threads.
class KORVANI_EXPORT Decimal {
 public:
  // Significant digits held (trailing zeros do not count).
  static constexpr int kMaxDigits = 38;
  // Range of the normalised exponent, which keeps toString() bounded.
  static constexpr int kMinExponent = -1000;
  static constexpr int kMaxExponent = 1000;

  // Zero.
  constexpr Decimal() = default;
  // Exact for every 64-bit integer.
  explicit Decimal(std::int64_t value);
  explicit Decimal(std::uint64_t value);

  // Parses number text in JSON grammar ("-12.50", "1e-3", "4E+2"). Returns nullopt for text
  // that is not a number, or whose value needs more than kMaxDigits significant digits or an
  // exponent out of range. Leading "+", leading zeros ("012"), "." without digits, spaces,
  // "NaN" and "Infinity" are refused.
  static std::optional<Decimal> fromString(std::string_view text);

  // Plain notation: optional "-", digits, "." only before a non-empty fraction; no exponent,
  // no trailing fraction zeros. Zero of either sign is "0". 1e3 renders "1000".
  std::string toString() const;
  // Appends toString() to `out` without a temporary (the serializer's fast path).
  void appendTo(std::string& out) const;

  bool isZero() const noexcept;
  bool isNegative() const noexcept;  // false for zero
  bool isIntegral() const noexcept;  // no fraction digits (1e3 and 2.0 are integral)

  // Exact conversions: nullopt unless the value is integral and fits the target type.
  std::optional<std::int64_t> toInt64() const noexcept;
  std::optional<std::uint64_t> toUInt64() const noexcept;

  // Compare by value, whatever the notation they were parsed from.
  friend KORVANI_EXPORT bool operator==(const Decimal& a, const Decimal& b) noexcept;
  friend KORVANI_EXPORT std::strong_ordering operator<=>(const Decimal& a,
                                                         const Decimal& b) noexcept;

 private:
  // Coefficient as two 64-bit halves (10^38 < 2^127), value = (-1)^negative * coef * 10^exp.
  std::uint64_t high_ = 0;
  std::uint64_t low_ = 0;
  std::int32_t exponent_ = 0;
  bool negative_ = false;
};

}  // namespace korvani
