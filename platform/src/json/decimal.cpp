#include "korvani/decimal.hpp"

#include <array>
#include <limits>

namespace korvani {
namespace {

// The coefficient needs 127 bits; the compiler's 128-bit integer does the arithmetic.
__extension__ typedef unsigned __int128 Uint128;

constexpr std::array<Uint128, 39> makePowersOfTen() {
  std::array<Uint128, 39> powers{};
  Uint128 value = 1;
  for (auto& power : powers) {
    power = value;
    value *= 10;
  }
  return powers;
}
constexpr std::array<Uint128, 39> kPowersOfTen = makePowersOfTen();

// Exponent text beyond this is saturated; it is far outside the accepted range either way and
// keeps the exponent arithmetic clear of overflow.
constexpr std::int64_t kExponentSaturation = std::int64_t{1'000'000'000'000'000};

int digitCount(Uint128 value) noexcept {
  int count = 1;
  while (count < static_cast<int>(kPowersOfTen.size()) && value >= kPowersOfTen[count])
    ++count;
  return count;
}

// Writes the digits of `value` right-aligned ending at `end`; returns the first digit.
char* writeDigits(Uint128 value, char* end) noexcept {
  constexpr std::uint64_t kChunk = 10'000'000'000'000'000'000ULL;  // 10^19
  char* p = end;
  while (value > std::numeric_limits<std::uint64_t>::max()) {
    auto chunk = static_cast<std::uint64_t>(value % kChunk);
    value /= kChunk;
    for (int i = 0; i < 19; ++i) {
      *--p = static_cast<char>('0' + chunk % 10);
      chunk /= 10;
    }
  }
  auto rest = static_cast<std::uint64_t>(value);
  do {
    *--p = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  return p;
}

bool isDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

// Strips trailing zeros so that every value has one representation.
void normalise(Uint128& coefficient, std::int64_t& exponent) noexcept {
  if (coefficient == 0) {
    exponent = 0;
    return;
  }
  if (coefficient <= std::numeric_limits<std::uint64_t>::max()) {
    auto small = static_cast<std::uint64_t>(coefficient);
    while (small % 10 == 0) {
      small /= 10;
      ++exponent;
    }
    coefficient = small;
    return;
  }
  while (coefficient % 10 == 0) {
    coefficient /= 10;
    ++exponent;
  }
}

}  // namespace

Decimal::Decimal(std::int64_t value) {
  negative_ = value < 0;
  const std::uint64_t magnitude =
      negative_ ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
  Uint128 coefficient = magnitude;
  std::int64_t exponent = 0;
  normalise(coefficient, exponent);
  low_ = static_cast<std::uint64_t>(coefficient);
  exponent_ = static_cast<std::int32_t>(exponent);
}

Decimal::Decimal(std::uint64_t value) {
  Uint128 coefficient = value;
  std::int64_t exponent = 0;
  normalise(coefficient, exponent);
  low_ = static_cast<std::uint64_t>(coefficient);
  exponent_ = static_cast<std::int32_t>(exponent);
}

std::optional<Decimal> Decimal::fromString(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  bool negative = false;
  if (p != end && *p == '-') {
    negative = true;
    ++p;
  }
  if (p == end || !isDigit(*p)) return std::nullopt;

  Uint128 coefficient = 0;
  int kept = 0;            // significant digits in `coefficient`
  std::int64_t scale = 0;  // power of ten that the kept digits are to be multiplied by

  // Integer part: "0" alone or a non-zero digit followed by digits. Past the 38th digit only
  // zeros fit (they only scale the value).
  if (*p == '0') {
    ++p;
    if (p != end && isDigit(*p)) return std::nullopt;
  } else {
    for (; p != end && isDigit(*p); ++p) {
      const int digit = *p - '0';
      if (kept < kMaxDigits) {
        coefficient = coefficient * 10 + static_cast<unsigned>(digit);
        ++kept;
      } else if (digit == 0) {
        ++scale;
      } else {
        return std::nullopt;
      }
    }
  }
  if (p != end && *p == '.') {
    ++p;
    if (p == end || !isDigit(*p)) return std::nullopt;
    for (; p != end && isDigit(*p); ++p) {
      const int digit = *p - '0';
      if (kept == 0 && digit == 0) {
        --scale;  // leading zero of the fraction: position only
      } else if (kept < kMaxDigits) {
        coefficient = coefficient * 10 + static_cast<unsigned>(digit);
        ++kept;
        --scale;
      } else if (digit != 0) {
        return std::nullopt;  // a trailing zero changes nothing, any other digit does
      }
    }
  }
  std::int64_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exponentNegative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exponentNegative = *p == '-';
      ++p;
    }
    if (p == end || !isDigit(*p)) return std::nullopt;
    for (; p != end && isDigit(*p); ++p) {
      if (exponent < kExponentSaturation) exponent = exponent * 10 + (*p - '0');
    }
    if (exponentNegative) exponent = -exponent;
  }
  if (p != end) return std::nullopt;
  if (coefficient == 0) return Decimal();

  exponent += scale;
  normalise(coefficient, exponent);
  if (exponent < kMinExponent || exponent > kMaxExponent) return std::nullopt;

  Decimal result;
  result.high_ = static_cast<std::uint64_t>(coefficient >> 64);
  result.low_ = static_cast<std::uint64_t>(coefficient);
  result.exponent_ = static_cast<std::int32_t>(exponent);
  result.negative_ = negative;
  return result;
}

std::string Decimal::toString() const {
  std::string text;
  appendTo(text);
  return text;
}

void Decimal::appendTo(std::string& out) const {
  char buffer[40];
  char* const bufferEnd = buffer + sizeof buffer;
  const Uint128 coefficient = (static_cast<Uint128>(high_) << 64) | low_;
  const char* digits = writeDigits(coefficient, bufferEnd);
  const auto count = static_cast<std::size_t>(bufferEnd - digits);

  if (negative_) out.push_back('-');
  if (exponent_ >= 0) {
    out.append(digits, count);
    if (coefficient != 0) out.append(static_cast<std::size_t>(exponent_), '0');
    return;
  }
  const auto fraction = static_cast<std::size_t>(-static_cast<std::int64_t>(exponent_));
  if (count > fraction) {
    out.append(digits, count - fraction);
    out.push_back('.');
    out.append(digits + (count - fraction), fraction);
  } else {
    out.append("0.", 2);
    out.append(fraction - count, '0');
    out.append(digits, count);
  }
}

bool Decimal::isZero() const noexcept {
  return high_ == 0 && low_ == 0;
}

bool Decimal::isNegative() const noexcept {
  return negative_;
}

bool Decimal::isIntegral() const noexcept {
  return exponent_ >= 0;
}

namespace {

// Magnitude coefficient * 10^exponent as an integer no larger than `limit`, or nothing.
std::optional<Uint128> integralMagnitude(Uint128 coefficient, std::int32_t exponent,
                                         Uint128 limit) noexcept {
  if (exponent < 0) return std::nullopt;
  if (coefficient > limit) return std::nullopt;
  for (std::int32_t i = 0; i < exponent; ++i) {
    coefficient *= 10;  // cannot overflow: coefficient <= limit < 2^65 before the step
    if (coefficient > limit) return std::nullopt;
  }
  return coefficient;
}

}  // namespace

std::optional<std::int64_t> Decimal::toInt64() const noexcept {
  if (isZero()) return 0;
  const Uint128 coefficient = (static_cast<Uint128>(high_) << 64) | low_;
  const Uint128 limit =
      negative_ ? Uint128{1} << 63 : Uint128{std::numeric_limits<std::int64_t>::max()};
  const auto magnitude = integralMagnitude(coefficient, exponent_, limit);
  if (!magnitude) return std::nullopt;
  const auto bits = static_cast<std::uint64_t>(*magnitude);
  return negative_ ? static_cast<std::int64_t>(~bits + 1) : static_cast<std::int64_t>(bits);
}

std::optional<std::uint64_t> Decimal::toUInt64() const noexcept {
  if (isZero()) return 0;
  if (negative_) return std::nullopt;
  const Uint128 coefficient = (static_cast<Uint128>(high_) << 64) | low_;
  const auto magnitude =
      integralMagnitude(coefficient, exponent_, std::numeric_limits<std::uint64_t>::max());
  if (!magnitude) return std::nullopt;
  return static_cast<std::uint64_t>(*magnitude);
}

bool operator==(const Decimal& a, const Decimal& b) noexcept {
  // Normalised values have exactly one representation.
  return a.high_ == b.high_ && a.low_ == b.low_ && a.exponent_ == b.exponent_ &&
         a.negative_ == b.negative_;
}

std::strong_ordering operator<=>(const Decimal& a, const Decimal& b) noexcept {
  if (a.negative_ != b.negative_) {
    return a.negative_ ? std::strong_ordering::less : std::strong_ordering::greater;
  }
  const Uint128 ca = (static_cast<Uint128>(a.high_) << 64) | a.low_;
  const Uint128 cb = (static_cast<Uint128>(b.high_) << 64) | b.low_;
  std::strong_ordering magnitude = std::strong_ordering::equal;
  if (ca == 0 || cb == 0) {
    magnitude = ca <=> cb;
  } else {
    // Compare the position of the leading digit first; when it matches, the coefficients
    // aligned to the same exponent both have at most 38 digits.
    const int digitsA = digitCount(ca);
    const int digitsB = digitCount(cb);
    const std::int64_t leadA = static_cast<std::int64_t>(a.exponent_) + digitsA;
    const std::int64_t leadB = static_cast<std::int64_t>(b.exponent_) + digitsB;
    if (leadA != leadB) {
      magnitude = leadA <=> leadB;
    } else if (a.exponent_ >= b.exponent_) {
      magnitude = ca * kPowersOfTen[static_cast<std::size_t>(a.exponent_ - b.exponent_)] <=> cb;
    } else {
      magnitude = ca <=> cb * kPowersOfTen[static_cast<std::size_t>(b.exponent_ - a.exponent_)];
    }
  }
  if (a.negative_) return 0 <=> magnitude;
  return magnitude;
}

}  // namespace korvani
