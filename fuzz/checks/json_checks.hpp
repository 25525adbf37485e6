#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "checks/violation.hpp"
#include "korvani/json.hpp"

namespace korvani::fuzz {

// A number's value worked out from its text alone, independently of the library: sign,
// significant digits (no leading or trailing zeros, rounded half to even to the 38 digits a
// Decimal keeps) and the power of ten of the last digit. Zero is {false, "", 0}.
struct CanonicalNumber {
  bool negative = false;
  std::string digits;
  std::int64_t exponent = 0;

  friend bool operator==(const CanonicalNumber&, const CanonicalNumber&) = default;
};

// The value of `text` when it is a number in JSON grammar, else nothing. Exponents beyond any
// usable range are saturated, so the result stays exact for every value a Decimal can hold.
std::optional<CanonicalNumber> canonicalNumber(std::string_view text);

// Levels of arrays and objects: 0 for a scalar, 1 for "[]", 2 for "[{}]".
std::size_t nestingDepth(const JsonValue& value);

// Decimal::fromString on `text`: accepts exactly the JSON number grammar within the exponent
// range, keeps the text's value, and renders text that reads back to the same Decimal.
Violation checkDecimalText(std::string_view text);

// The "json" target. Parsing agrees between the default and the lenient options (scalars at the
// top level, deeper nesting); a refusal has a reason and an offset inside the input; a parsed
// value serializes, reads back equal and serializes again to the same bytes (compact and
// indented), and JSONString() of an object gives the same text; every number keeps the value and
// the representation its text calls for.
Violation checkJsonText(std::string_view input);

}  // namespace korvani::fuzz
