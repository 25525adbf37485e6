#include "checks/json_checks.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <vector>

#include "korvani/decimal.hpp"
#include "korvani/dictionary_encoding.hpp"
#include "korvani/json.hpp"

namespace korvani::fuzz {
namespace {

constexpr std::size_t kMaxDigits = static_cast<std::size_t>(Decimal::kMaxDigits);
// Far outside the Decimal range, small enough that exponent arithmetic never overflows.
constexpr std::int64_t kExponentSaturation = 1'000'000'000'000;

bool isDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

// Rounds `digits` (no leading zeros) half to even to kMaxDigits significant digits.
void roundToPrecision(std::string& digits, std::int64_t& exponent) {
  if (digits.size() <= kMaxDigits) return;
  const char first = digits[kMaxDigits];
  bool sticky = false;
  for (std::size_t i = kMaxDigits + 1; i < digits.size(); ++i)
    sticky = sticky || digits[i] != '0';
  exponent += static_cast<std::int64_t>(digits.size() - kMaxDigits);
  digits.resize(kMaxDigits);
  const bool odd = (digits.back() - '0') % 2 == 1;
  if (first < '5' || (first == '5' && !sticky && !odd)) return;
  std::size_t i = digits.size();
  while (i > 0 && digits[i - 1] == '9') {
    digits[i - 1] = '0';
    --i;
  }
  if (i == 0) {
    // 99...9 rounded up: one digit more, which is the leading 1 followed by zeros.
    digits = "1";
    exponent += static_cast<std::int64_t>(kMaxDigits);
  } else {
    ++digits[i - 1];
  }
}

// Number tokens and object keys of valid JSON text, in document order.
struct TextTokens {
  std::vector<std::string_view> numbers;
  std::size_t keys = 0;
  bool whitespaceOutsideStrings = false;
};

TextTokens scanTokens(std::string_view text) {
  TextTokens tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      std::size_t j = i + 1;
      while (j < text.size() && text[j] != '"')
        j += text[j] == '\\' ? 2 : 1;
      i = j + 1;
      std::size_t k = i;
      while (k < text.size() &&
             (text[k] == ' ' || text[k] == '\t' || text[k] == '\n' || text[k] == '\r'))
        ++k;
      if (k < text.size() && text[k] == ':') ++tokens.keys;
    } else if (c == '-' || isDigit(c)) {
      std::size_t j = i;
      while (j < text.size() && (isDigit(text[j]) || text[j] == '-' || text[j] == '+' ||
                                 text[j] == '.' || text[j] == 'e' || text[j] == 'E'))
        ++j;
      tokens.numbers.push_back(text.substr(i, j - i));
      i = j;
    } else {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') tokens.whitespaceOutsideStrings = true;
      ++i;
    }
  }
  return tokens;
}

// Numbers and object members of a value, in the order they are written.
void collect(const JsonValue& value, std::vector<const JsonValue*>& numbers, std::size_t& members) {
  if (value.isNumber()) {
    numbers.push_back(&value);
  } else if (const JsonArray* array = value.asArray()) {
    for (const JsonValue& element : *array)
      collect(element, numbers, members);
  } else if (const JsonObject* object = value.asObject()) {
    members += object->size();
    for (const auto& member : *object)
      collect(member.second, numbers, members);
  }
}

std::string render(const JsonValue& number) {
  switch (number.type()) {
    case JsonType::int64:
      return std::to_string(*number.asInt64());
    case JsonType::uint64:
      return std::to_string(*number.asUInt64());
    default:
      return number.asDecimal()->toString();
  }
}

template <class Integer>
bool parsesAs(std::string_view text) {
  Integer value{};
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// With no key lost to a duplicate, the numbers of the value line up with the number tokens of
// the text; each must have the token's exact value and the representation it calls for.
Violation checkNumbersKeepText(std::string_view input, const JsonValue& value) {
  const TextTokens tokens = scanTokens(input);
  std::vector<const JsonValue*> numbers;
  std::size_t members = 0;
  collect(value, numbers, members);
  KORVANI_FUZZ_REQUIRE(members <= tokens.keys);
  if (members != tokens.keys) return std::nullopt;  // a repeated key replaced a value
  KORVANI_FUZZ_REQUIRE(numbers.size() == tokens.numbers.size());
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const std::string_view token = tokens.numbers[i];
    const std::string rendered = render(*numbers[i]);
    const auto expected = canonicalNumber(token);
    const auto actual = canonicalNumber(rendered);
    KORVANI_FUZZ_REQUIRE_THAT(expected.has_value(), printable(token));
    KORVANI_FUZZ_REQUIRE_THAT(actual.has_value(), printable(rendered));
    KORVANI_FUZZ_REQUIRE_THAT(*actual == *expected,
                              printable(token) + " became " + printable(rendered));
    const bool plainInteger = token.find_first_of(".eE") == std::string_view::npos;
    const JsonType type = numbers[i]->type();
    if (plainInteger && parsesAs<std::int64_t>(token)) {
      KORVANI_FUZZ_REQUIRE_THAT(type == JsonType::int64, printable(token));
    } else if (plainInteger && parsesAs<std::uint64_t>(token)) {
      KORVANI_FUZZ_REQUIRE_THAT(type == JsonType::uint64, printable(token));
    } else {
      KORVANI_FUZZ_REQUIRE_THAT(type == JsonType::decimal, printable(token));
    }
  }
  return std::nullopt;
}

Violation checkRefusal(std::string_view input, const JsonError& error) {
  KORVANI_FUZZ_REQUIRE(error.offset <= input.size());
  KORVANI_FUZZ_REQUIRE(!error.reason.empty());
  return std::nullopt;
}

}  // namespace

std::optional<CanonicalNumber> canonicalNumber(std::string_view text) {
  std::size_t i = 0;
  CanonicalNumber number;
  if (i < text.size() && text[i] == '-') {
    number.negative = true;
    ++i;
  }
  const std::size_t integerStart = i;
  while (i < text.size() && isDigit(text[i]))
    ++i;
  const std::string_view integer = text.substr(integerStart, i - integerStart);
  if (integer.empty() || (integer.size() > 1 && integer[0] == '0')) return std::nullopt;
  std::string_view fraction;
  if (i < text.size() && text[i] == '.') {
    const std::size_t fractionStart = ++i;
    while (i < text.size() && isDigit(text[i]))
      ++i;
    fraction = text.substr(fractionStart, i - fractionStart);
    if (fraction.empty()) return std::nullopt;
  }
  std::int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
    const std::size_t exponentStart = i;
    for (; i < text.size() && isDigit(text[i]); ++i) {
      exponent = std::min(exponent * 10 + (text[i] - '0'), kExponentSaturation);
    }
    if (i == exponentStart) return std::nullopt;
    if (negativeExponent) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;

  std::string digits;
  digits.append(integer).append(fraction);
  exponent -= static_cast<std::int64_t>(fraction.size());
  const std::size_t firstSignificant = digits.find_first_not_of('0');
  if (firstSignificant == std::string::npos) return CanonicalNumber{};
  digits.erase(0, firstSignificant);
  roundToPrecision(digits, exponent);
  while (digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  number.digits = std::move(digits);
  number.exponent = exponent;
  return number;
}

std::size_t nestingDepth(const JsonValue& value) {
  std::size_t deepest = 0;
  if (const JsonArray* array = value.asArray()) {
    for (const JsonValue& element : *array)
      deepest = std::max(deepest, nestingDepth(element));
    return deepest + 1;
  }
  if (const JsonObject* object = value.asObject()) {
    for (const auto& member : *object)
      deepest = std::max(deepest, nestingDepth(member.second));
    return deepest + 1;
  }
  return 0;
}

Violation checkDecimalText(std::string_view text) {
  const std::optional<Decimal> decimal = Decimal::fromString(text);
  const std::optional<CanonicalNumber> expected = canonicalNumber(text);
  if (!expected) {
    KORVANI_FUZZ_REQUIRE_THAT(!decimal, printable(text));
    return std::nullopt;
  }
  const bool inRange = expected->digits.empty() || (expected->exponent >= Decimal::kMinExponent &&
                                                    expected->exponent <= Decimal::kMaxExponent);
  KORVANI_FUZZ_REQUIRE_THAT(decimal.has_value() == inRange, printable(text));
  if (!decimal) return std::nullopt;

  const std::string rendered = decimal->toString();
  const auto actual = canonicalNumber(rendered);
  KORVANI_FUZZ_REQUIRE_THAT(actual.has_value(), printable(rendered));
  KORVANI_FUZZ_REQUIRE_THAT(*actual == *expected,
                            printable(text) + " became " + printable(rendered));
  KORVANI_FUZZ_REQUIRE(rendered.find_first_of("eE") == std::string::npos);
  KORVANI_FUZZ_REQUIRE(Decimal::fromString(rendered) == decimal);
  KORVANI_FUZZ_REQUIRE(decimal->isZero() == expected->digits.empty());
  KORVANI_FUZZ_REQUIRE(decimal->isNegative() == expected->negative);
  const bool integral = expected->exponent >= 0;
  KORVANI_FUZZ_REQUIRE(decimal->isIntegral() == integral);
  // Integral values render without a fraction, so the standard conversions are the oracle.
  KORVANI_FUZZ_REQUIRE(decimal->toInt64().has_value() ==
                       (integral && parsesAs<std::int64_t>(rendered)));
  KORVANI_FUZZ_REQUIRE(decimal->toUInt64().has_value() ==
                       (integral && parsesAs<std::uint64_t>(rendered)));
  if (auto value = decimal->toInt64()) KORVANI_FUZZ_REQUIRE(std::to_string(*value) == rendered);
  if (auto value = decimal->toUInt64()) KORVANI_FUZZ_REQUIRE(std::to_string(*value) == rendered);
  return std::nullopt;
}

Violation checkJsonText(std::string_view input) {
  KORVANI_FUZZ_PROPAGATE(checkDecimalText(input));

  const JsonParseOptions strict;
  JsonParseOptions lenient;
  lenient.allowScalarTopLevel = true;
  lenient.maxDepth = JsonParseOptions::kDepthCeiling;

  JsonError strictError;
  const std::optional<JsonValue> strictValue = parseJson(input, &strictError, strict);
  JsonError lenientError;
  const std::optional<JsonValue> value = parseJson(input, &lenientError, lenient);
  if (!strictValue) KORVANI_FUZZ_PROPAGATE(checkRefusal(input, strictError));
  if (!value) {
    KORVANI_FUZZ_PROPAGATE(checkRefusal(input, lenientError));
    KORVANI_FUZZ_REQUIRE(!strictValue);
    // A bare number is refused only when a Decimal cannot hold it either. Zero with an
    // exponent beyond 32 bits ("0e9999999999") is the known exception: the underlying parser
    // gives up on such exponents before the value is seen.
    if (auto number = canonicalNumber(input); number && Decimal::fromString(input)) {
      KORVANI_FUZZ_REQUIRE_THAT(number->digits.empty(), lenientError.message());
    }
    return std::nullopt;
  }

  const std::size_t depth = nestingDepth(*value);
  KORVANI_FUZZ_REQUIRE(depth <= JsonParseOptions::kDepthCeiling);
  if (strictValue) {
    KORVANI_FUZZ_REQUIRE(*strictValue == *value);
    KORVANI_FUZZ_REQUIRE(depth >= 1 && depth <= strict.maxDepth);
  } else {
    // Only the two things the lenient options allow may tell the results apart.
    KORVANI_FUZZ_REQUIRE_THAT(depth == 0 || depth > strict.maxDepth,
                              "refused: " + strictError.message());
  }

  const JsonValue copy = *value;
  KORVANI_FUZZ_REQUIRE(copy == *value);
  KORVANI_FUZZ_PROPAGATE(checkNumbersKeepText(input, *value));

  JsonError writeError;
  const std::optional<std::string> text = serializeJson(*value, &writeError);
  KORVANI_FUZZ_REQUIRE_THAT(text.has_value(), writeError.message());
  KORVANI_FUZZ_REQUIRE(!scanTokens(*text).whitespaceOutsideStrings);
  JsonError reparseError;
  const std::optional<JsonValue> reparsed = parseJson(*text, &reparseError, lenient);
  KORVANI_FUZZ_REQUIRE_THAT(reparsed.has_value(), reparseError.message());
  KORVANI_FUZZ_REQUIRE(*reparsed == *value);
  KORVANI_FUZZ_REQUIRE(serializeJson(*reparsed) == text);

  // The request body encoder writes an object exactly as the serializer does.
  if (const JsonObject* object = value->asObject()) {
    KORVANI_FUZZ_REQUIRE(JSONString(*object) == text);
  }

  std::string appended = "prefix";
  KORVANI_FUZZ_REQUIRE(appendJson(appended, *value));
  KORVANI_FUZZ_REQUIRE(appended == "prefix" + *text);

  const std::optional<std::string> pretty = serializeJsonPretty(*value);
  KORVANI_FUZZ_REQUIRE(pretty.has_value());
  const std::optional<JsonValue> prettyValue = parseJson(*pretty, nullptr, lenient);
  KORVANI_FUZZ_REQUIRE(prettyValue.has_value());
  KORVANI_FUZZ_REQUIRE(*prettyValue == *value);
  return std::nullopt;
}

}  // namespace korvani::fuzz
