#include <algorithm>
#include <charconv>
#include <vector>

#include "checks/checks.hpp"
#include "korvani/decimal.hpp"
#include "korvani/dictionary_encoding.hpp"

namespace korvani::fuzz {
namespace {

bool isDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

template <class Integer>
bool parsesAs(std::string_view text) {
  Integer value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
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

// `text` with each valid number token replaced by "0" and spaces.
std::string withZeroNumbers(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t keys = 0;
  scanTokens(text, tokens, keys);
  std::string zeros(text);
  for (const std::string_view token : tokens) {
    if (!canonicalNumber(token)) continue;
    const auto at = static_cast<std::size_t>(token.data() - text.data());
    zeros.replace(at, token.size(), token.size(), ' ');
    zeros[at] = '0';
  }
  return zeros;
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

// A Decimal holds the number exactly, or it is refused.
bool fitsDecimal(const CanonicalNumber& number) {
  return number.digits.empty() ||
         (number.digits.size() <= static_cast<std::size_t>(Decimal::kMaxDigits) &&
          number.exponent >= Decimal::kMinExponent && number.exponent <= Decimal::kMaxExponent);
}

// With no key lost to a duplicate, the numbers of the value line up with the number tokens of
// the text; each must have the representation its token calls for, its exact value, and read
// as a Decimal exactly when one holds it.
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
                                                                    : JsonType::numberText;
    KORVANI_FUZZ_REQUIRE(numbers[i]->type() == type);
    KORVANI_FUZZ_REQUIRE(type != JsonType::numberText || *written == token);
    const std::optional<Decimal> decimal = numbers[i]->asDecimal();
    KORVANI_FUZZ_REQUIRE(decimal.has_value() == fitsDecimal(*expected));
    KORVANI_FUZZ_REQUIRE(!decimal || canonicalNumber(decimal->toString()) == expected);
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
  // Decimal::fromString() takes exactly the JSON numbers it holds, and keeps their value.
  const std::optional<CanonicalNumber> number = canonicalNumber(input);
  const std::optional<Decimal> decimal = Decimal::fromString(input);
  KORVANI_FUZZ_REQUIRE(decimal.has_value() == (number && fitsDecimal(*number)));
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
    // No number decides whether text is accepted: with every number written as 0 (and spaces,
    // keeping the offsets), text is refused all the same, unless the memory its numbers would
    // take was the reason. (Where and why may differ: the parser looks a few bytes ahead.)
    KORVANI_FUZZ_REQUIRE(!number);
    KORVANI_FUZZ_REQUIRE(error.reason == "values need more memory than allowed" ||
                         !parseJson(withZeroNumbers(input), nullptr, kLenient));
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
