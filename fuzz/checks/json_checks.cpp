#include <algorithm>
#include <charconv>
#include <vector>

#include "checks/checks.hpp"
#include "korvani/decimal.hpp"
#include "korvani/dictionary_encoding.hpp"

namespace korvani::fuzz {
namespace {

constexpr std::size_t kMaxDigits = static_cast<std::size_t>(Decimal::kMaxDigits);

bool isDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

template <class Integer>
bool parsesAs(std::string_view text) {
  Integer value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// Rounds `digits` (no leading zero) half to even to the digits a Decimal keeps.
void roundToPrecision(std::string& digits, std::int64_t& exponent) {
  if (digits.size() <= kMaxDigits) return;
  const char first = digits[kMaxDigits];
  const bool sticky = digits.find_first_not_of('0', kMaxDigits + 1) != std::string::npos;
  exponent += static_cast<std::int64_t>(digits.size() - kMaxDigits);
  digits.resize(kMaxDigits);
  if (first < '5' || (first == '5' && !sticky && (digits.back() - '0') % 2 == 0)) return;
  std::size_t i = digits.size();
  for (; i > 0 && digits[i - 1] == '9'; --i)
    digits[i - 1] = '0';
  if (i > 0) {
    ++digits[i - 1];
  } else {
    digits = "1";  // 99...9 rounded up
    exponent += static_cast<std::int64_t>(kMaxDigits);
  }
}

// The number tokens of valid JSON text, in document order, and how many object keys it has.
void scanTokens(std::string_view text, std::vector<std::string_view>& numbers, std::size_t& keys) {
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '"') {
      std::size_t j = i + 1;
      while (j < text.size() && text[j] != '"')
        j += text[j] == '\\' ? 2 : 1;
      i = text.find_first_not_of(" \t\n\r", j + 1);
      if (i < text.size() && text[i] == ':') ++keys;
    } else if (text[i] == '-' || isDigit(text[i])) {
      const std::size_t end = text.find_first_not_of("0123456789+-.eE", i);
      numbers.push_back(text.substr(i, end - i));
      i = end;
    } else {
      ++i;
    }
  }
}

// Calls `visit` on every element of an array or member value of an object.
template <class Visit>
void forEachChild(const JsonValue& value, Visit visit) {
  if (const JsonArray* array = value.asArray()) std::for_each(array->begin(), array->end(), visit);
  if (const JsonObject* object = value.asObject()) {
    for (const auto& member : *object)
      visit(member.second);
  }
}

// The numbers and the count of object members of a value, in the order they are written.
void collect(const JsonValue& value, std::vector<const JsonValue*>& numbers, std::size_t& members) {
  if (value.isNumber()) numbers.push_back(&value);
  if (const JsonObject* object = value.asObject()) members += object->size();
  forEachChild(value, [&](const JsonValue& child) { collect(child, numbers, members); });
}

// With no key lost to a duplicate, the numbers of the value line up with the number tokens of
// the text; each must have its token's exact value and the representation it calls for.
Violation checkNumbersKeepText(std::string_view input, const JsonValue& value) {
  std::vector<std::string_view> tokens;
  std::vector<const JsonValue*> numbers;
  std::size_t keys = 0;
  std::size_t members = 0;
  scanTokens(input, tokens, keys);
  collect(value, numbers, members);
  KORVANI_FUZZ_REQUIRE(members <= keys);
  if (members != keys) return std::nullopt;
  KORVANI_FUZZ_REQUIRE(numbers.size() == tokens.size());
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const std::string_view token = tokens[i];
    const auto expected = canonicalNumber(token);
    const std::optional<std::string> written = serializeJson(*numbers[i]);
    KORVANI_FUZZ_REQUIRE(expected && written && canonicalNumber(*written) == expected);
    const bool plain = token.find_first_of(".eE") == std::string_view::npos;
    const JsonType type = plain && parsesAs<std::int64_t>(token)    ? JsonType::int64
                          : plain && parsesAs<std::uint64_t>(token) ? JsonType::uint64
                                                                    : JsonType::decimal;
    KORVANI_FUZZ_REQUIRE(numbers[i]->type() == type);
  }
  return std::nullopt;
}

}  // namespace

std::optional<CanonicalNumber> canonicalNumber(std::string_view text) {
  CanonicalNumber number;
  std::size_t i = 0;
  const auto digitsFrom = [&](std::size_t start) {
    while (i < text.size() && isDigit(text[i]))
      ++i;
    return text.substr(start, i - start);
  };
  number.negative = !text.empty() && text[0] == '-';
  if (number.negative) ++i;
  const std::string_view integer = digitsFrom(i);
  if (integer.empty() || (integer.size() > 1 && integer[0] == '0')) return std::nullopt;
  std::string_view fraction;
  if (i < text.size() && text[i] == '.' && (fraction = digitsFrom(++i)).empty()) {
    return std::nullopt;
  }
  std::int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    const bool negativeExponent = ++i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::string_view power = digitsFrom(i);
    if (power.empty()) return std::nullopt;
    // Saturated far outside the Decimal range, where the arithmetic cannot overflow.
    for (const char c : power)
      exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000'000);
    if (negativeExponent) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;

  std::string digits = std::string(integer).append(fraction);
  exponent -= static_cast<std::int64_t>(fraction.size());
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return CanonicalNumber{};
  digits.erase(0, first);
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
  if (!value.isArray() && !value.isObject()) return 0;
  std::size_t deepest = 0;
  forEachChild(value,
               [&](const JsonValue& child) { deepest = std::max(deepest, nestingDepth(child)); });
  return deepest + 1;
}

Violation checkJsonText(std::string_view input) {
  // Decimal::fromString() takes exactly the JSON number grammar within the exponent range, and
  // keeps the value.
  const std::optional<CanonicalNumber> number = canonicalNumber(input);
  const std::optional<Decimal> decimal = Decimal::fromString(input);
  KORVANI_FUZZ_REQUIRE(
      decimal.has_value() ==
      (number && (number->digits.empty() || (number->exponent >= Decimal::kMinExponent &&
                                             number->exponent <= Decimal::kMaxExponent))));
  KORVANI_FUZZ_REQUIRE(!decimal || canonicalNumber(decimal->toString()) == number);

  const JsonParseOptions strict;
  JsonError strictError;
  JsonError error;
  const std::optional<JsonValue> strictValue = parseJson(input, &strictError, strict);
  const std::optional<JsonValue> value = parseJson(input, &error, kLenient);
  KORVANI_FUZZ_REQUIRE(strictValue ||
                       (strictError.offset <= input.size() && !strictError.reason.empty()));
  if (!value) {
    KORVANI_FUZZ_REQUIRE(error.offset <= input.size() && !error.reason.empty() && !strictValue);
    // A bare number is refused only when a Decimal cannot hold it either. Zero with an exponent
    // beyond 32 bits ("0e9999999999") is the known exception: the underlying parser gives up on
    // such exponents before the value is seen.
    KORVANI_FUZZ_REQUIRE(!decimal || number->digits.empty());
    return std::nullopt;
  }
  // Only what the lenient options allow, a scalar or deeper nesting, may tell them apart.
  const std::size_t depth = nestingDepth(*value);
  KORVANI_FUZZ_REQUIRE(depth <= JsonParseOptions::kDepthCeiling);
  if (strictValue) {
    KORVANI_FUZZ_REQUIRE(*strictValue == *value && depth >= 1 && depth <= strict.maxDepth);
  } else {
    KORVANI_FUZZ_REQUIRE(depth == 0 || depth > strict.maxDepth);
  }
  KORVANI_FUZZ_PROPAGATE(checkNumbersKeepText(input, *value));

  const std::optional<std::string> text = serializeJson(*value);
  KORVANI_FUZZ_REQUIRE(text.has_value());
  const std::optional<JsonValue> reparsed = parseJson(*text, nullptr, kLenient);
  KORVANI_FUZZ_REQUIRE(reparsed && *reparsed == *value && serializeJson(*reparsed) == text);
  KORVANI_FUZZ_REQUIRE(!value->isObject() || JSONString(*value->asObject()) == text);
  std::string appended = "prefix";
  KORVANI_FUZZ_REQUIRE(appendJson(appended, *value) && appended == "prefix" + *text);
  const std::optional<std::string> pretty = serializeJsonPretty(*value);
  KORVANI_FUZZ_REQUIRE(pretty && parseJson(*pretty, nullptr, kLenient) == value);
  return std::nullopt;
}

}  // namespace korvani::fuzz
