#pragma once

// Invariant checks shared by the libFuzzer targets, which trap on a violation so that libFuzzer
// keeps the input, and tests/fuzz_regressions, which replays every committed input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "korvani/json.hpp"

namespace korvani::fuzz {

// The first invariant an input broke, as "<file>:<line>: <condition>"; nothing when all held.
using Violation = std::optional<std::string>;

// "json": a refusal has a reason and an offset inside the input, and no number decides it;
// default and lenient parsing (scalars at the top, deeper nesting) agree; a value writes, reads
// back equal and writes again to the same bytes (compact, appended, JSONString(), indented);
// every number keeps the representation its text calls for and its exact value, and reads as
// a Decimal exactly when one holds it, as Decimal::fromString() on the input does.
Violation checkJsonText(std::string_view input);
// "records": the records built from text and from any object directly inside it each follow
// the reading rules field by field; text that is not an object builds none and says why, an
// object builds them without a parse error.
Violation checkRecordsText(std::string_view input);
// "response": byte 0 picks the HTTP status (or none), byte 1 the transport error (or none), the
// rest is the body. Classification, kept body, responseJSON() only for an object or array.
Violation checkResponseBytes(std::string_view input);
// "query": byte 0 separates items, byte 1 a name from its value, the rest is the items (an item
// without the separator is a name whose value is not text). queryParamString() of the text and
// of the JSON dictionary read back to exactly their entries, with only allowed characters.
Violation checkQueryParams(std::string_view input);

// Every JSON-built record from `json` against the reading rules: texts only from strings,
// integers only from integral numbers in range, decimals from any number, booleans only from
// true or false; the authorisation code's stored form round trip, in memory and as JSON text.
Violation checkRecordsOn(const JsonObject& json);

// A number's value from its text alone, independently of the library: sign, significant digits
// and the power of ten of the last digit (saturated far beyond the Decimal range). Zero is
// {false, "", 0}. Nothing for text outside the JSON number grammar.
struct CanonicalNumber {
  bool negative = false;
  std::string digits;
  std::int64_t exponent = 0;
  friend bool operator==(const CanonicalNumber&, const CanonicalNumber&) = default;
};
std::optional<CanonicalNumber> canonicalNumber(std::string_view text);

// Levels of arrays and objects: 0 for a scalar, 1 for "[]", 2 for "[{}]".
std::size_t nestingDepth(const JsonValue& value);

// Parsing that refuses nothing but malformed text: scalars at the top, nesting to the ceiling.
inline constexpr JsonParseOptions kLenient{.allowScalarTopLevel = true,
                                           .maxDepth = JsonParseOptions::kDepthCeiling};

struct FuzzTarget {
  std::string_view name;  // of the executable korvani_fuzz_<name> and of corpus/<name>/
  Violation (*check)(std::string_view input);
};
inline std::span<const FuzzTarget> fuzzTargets() {
  static constexpr FuzzTarget kTargets[] = {{"json", &checkJsonText},
                                            {"records", &checkRecordsText},
                                            {"response", &checkResponseBytes},
                                            {"query", &checkQueryParams}};
  return kTargets;
}

}  // namespace korvani::fuzz

#define KORVANI_FUZZ_REQUIRE(condition)                                              \
  do {                                                                               \
    if (!(condition))                                                                \
      return std::string(__FILE__ ":") + std::to_string(__LINE__) + ": " #condition; \
  } while (false)

#define KORVANI_FUZZ_PROPAGATE(check)                                 \
  do {                                                                \
    if (::korvani::fuzz::Violation nested_ = (check)) return nested_; \
  } while (false)

// The libFuzzer entry point of one target.
#define KORVANI_FUZZ_TARGET(check)                                                    \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    if (const auto violation =                                                        \
            check(std::string_view(reinterpret_cast<const char*>(data), size))) {     \
      std::fprintf(stderr, "\ninvariant violated: %s\n", violation->c_str());         \
      __builtin_trap();                                                               \
    }                                                                                 \
    return 0;                                                                         \
  }
