#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "korvani/json.hpp"

namespace korvani {
namespace {

__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 Uint128;

// The value of valid JSON number text, whatever its length: sign, significant digits and the
// power of ten of the last digit, written as a signed numeral of any length. Equal values
// have equal forms.
struct NumberValue {
  bool negative = false;
  std::string digits;  // no leading or trailing zeros; empty for zero
  bool exponentNegative = false;
  std::string exponent;  // no leading zeros; empty for zero
  bool operator==(const NumberValue&) const = default;
};

// Adds `delta` to the numeral (`negative`, `magnitude`): in 128 bits while it is short, digit by
// digit once it dwarfs any delta (which then cannot change its sign).
void addTo(bool& negative, std::string& magnitude, std::int64_t delta) {
  if (magnitude.size() <= 36) {
    Int128 value = 0;
    for (const char c : magnitude)
      value = value * 10 + (c - '0');
    value = (negative ? -value : value) + delta;
    negative = value < 0;
    Uint128 rest = negative ? -static_cast<Uint128>(value) : static_cast<Uint128>(value);
    magnitude.clear();
    for (; rest != 0; rest /= 10)
      magnitude.push_back(static_cast<char>('0' + static_cast<int>(rest % 10)));
    std::reverse(magnitude.begin(), magnitude.end());
    return;
  }
  const int direction = negative == (delta < 0) ? 1 : -1;
  std::uint64_t rest =
      delta < 0 ? 0 - static_cast<std::uint64_t>(delta) : static_cast<std::uint64_t>(delta);
  int carry = 0;
  for (std::size_t i = magnitude.size(); i-- > 0 && (rest != 0 || carry != 0); rest /= 10) {
    const int digit = magnitude[i] - '0' + carry + direction * static_cast<int>(rest % 10);
    carry = digit > 9 ? 1 : digit < 0 ? -1 : 0;
    magnitude[i] = static_cast<char>('0' + digit - 10 * carry);
  }
  if (carry > 0) magnitude.insert(magnitude.begin(), '1');
  magnitude.erase(0, magnitude.find_first_not_of('0'));
}

NumberValue valueOf(std::string_view text) {
  NumberValue value;
  value.negative = text[0] == '-';
  std::size_t i = value.negative ? 1 : 0;
  auto digitsFrom = [&](std::size_t start) {
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
      ++i;
    return text.substr(start, i - start);
  };
  std::string digits(digitsFrom(i));
  std::int64_t shift = 0;
  if (i < text.size() && text[i] == '.') {
    const std::string_view fraction = digitsFrom(++i);
    digits += fraction;
    shift -= static_cast<std::int64_t>(fraction.size());
  }
  if (i < text.size()) {  // 'e' or 'E', a sign, digits
    value.exponentNegative = text[++i] == '-';
    if (text[i] == '-' || text[i] == '+') ++i;
    value.exponent = text.substr(std::min(text.find_first_not_of('0', i), text.size()));
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return NumberValue();
  const std::size_t last = digits.find_last_not_of('0');
  shift += static_cast<std::int64_t>(digits.size() - 1 - last);
  value.digits = digits.substr(first, last + 1 - first);
  addTo(value.exponentNegative, value.exponent, shift);
  return value;
}

}  // namespace

// ---- JsonObject ----

JsonObject::JsonObject(std::initializer_list<Member> members) {
  members_.reserve(members.size());
  for (const auto& member : members)
    set(member.first, member.second);
}

std::size_t JsonObject::size() const noexcept {
  return members_.size();
}
bool JsonObject::empty() const noexcept {
  return members_.empty();
}
JsonObject::iterator JsonObject::begin() noexcept {
  return members_.begin();
}
JsonObject::iterator JsonObject::end() noexcept {
  return members_.end();
}
JsonObject::const_iterator JsonObject::begin() const noexcept {
  return members_.begin();
}
JsonObject::const_iterator JsonObject::end() const noexcept {
  return members_.end();
}

const JsonValue* JsonObject::find(std::string_view key) const noexcept {
  for (const auto& member : members_) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

JsonValue* JsonObject::find(std::string_view key) noexcept {
  for (auto& member : members_) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

bool JsonObject::contains(std::string_view key) const noexcept {
  return find(key) != nullptr;
}

JsonValue& JsonObject::set(std::string key, JsonValue value) {
  if (JsonValue* existing = find(key)) {
    *existing = std::move(value);
    return *existing;
  }
  return members_.emplace_back(std::move(key), std::move(value)).second;
}

JsonValue& JsonObject::operator[](std::string_view key) {
  if (JsonValue* existing = find(key)) return *existing;
  return members_.emplace_back(std::string(key), JsonValue()).second;
}

bool JsonObject::erase(std::string_view key) {
  for (auto it = members_.begin(); it != members_.end(); ++it) {
    if (it->first == key) {
      members_.erase(it);
      return true;
    }
  }
  return false;
}

void JsonObject::reserve(std::size_t count) {
  members_.reserve(count);
}

const std::string* JsonObject::getString(std::string_view key) const noexcept {
  const JsonValue* value = find(key);
  return value ? value->asString() : nullptr;
}

std::optional<std::int64_t> JsonObject::getInt64(std::string_view key) const noexcept {
  const JsonValue* value = find(key);
  return value ? value->asInt64() : std::nullopt;
}

std::optional<std::uint64_t> JsonObject::getUInt64(std::string_view key) const noexcept {
  const JsonValue* value = find(key);
  return value ? value->asUInt64() : std::nullopt;
}

std::optional<Decimal> JsonObject::getNumber(std::string_view key) const noexcept {
  const JsonValue* value = find(key);
  return value ? value->asDecimal() : std::nullopt;
}

std::optional<bool> JsonObject::getBool(std::string_view key) const noexcept {
  const JsonValue* value = find(key);
  return value ? value->asBool() : std::nullopt;
}

const JsonObject* JsonObject::getObject(std::string_view key) const noexcept {
  const JsonValue* value = find(key);
  return value ? value->asObject() : nullptr;
}

const JsonArray* JsonObject::getArray(std::string_view key) const noexcept {
  const JsonValue* value = find(key);
  return value ? value->asArray() : nullptr;
}

const JsonArray* JsonObject::getArrayOfObjects(std::string_view key) const noexcept {
  const JsonArray* array = getArray(key);
  if (!array) return nullptr;
  for (const auto& element : *array) {
    if (!element.isObject()) return nullptr;
  }
  return array;
}

bool operator==(const JsonObject& a, const JsonObject& b) {
  if (a.size() != b.size()) return false;
  // Keys are unique on both sides, so "every member of a is in b with an equal value" is
  // dictionary equality. Large objects get an index instead of a quadratic scan.
  constexpr std::size_t kLinearLimit = 32;
  if (a.size() <= kLinearLimit) {
    for (const auto& member : a) {
      const JsonValue* other = b.find(member.first);
      if (!other || !(member.second == *other)) return false;
    }
    return true;
  }
  std::unordered_map<std::string_view, const JsonValue*> index;
  index.reserve(b.size());
  for (const auto& member : b)
    index.emplace(member.first, &member.second);
  for (const auto& member : a) {
    const auto it = index.find(member.first);
    if (it == index.end() || !(member.second == *it->second)) return false;
  }
  return true;
}

// ---- JsonValue ----

JsonValue::JsonValue() noexcept : value_(nullptr) {}
JsonValue::JsonValue(std::nullptr_t) noexcept : value_(nullptr) {}
JsonValue::JsonValue(bool value) noexcept : value_(value) {}
JsonValue::JsonValue(std::int64_t value, Int64Tag) noexcept : value_(value) {}
JsonValue::JsonValue(std::uint64_t value, UInt64Tag) noexcept : value_(value) {}
JsonValue::JsonValue(Decimal value) : value_(NumberText{value.toString()}) {}
JsonValue::JsonValue(std::string value) noexcept : value_(std::move(value)) {}
JsonValue::JsonValue(std::string_view value) : value_(std::in_place_type<std::string>, value) {}
JsonValue::JsonValue(const char* value) : value_(std::in_place_type<std::string>, value) {}
JsonValue::JsonValue(JsonArray value) noexcept : value_(std::move(value)) {}
JsonValue::JsonValue(JsonObject value) noexcept : value_(std::move(value)) {}

JsonType JsonValue::type() const noexcept {
  return static_cast<JsonType>(value_.index());
}
bool JsonValue::isNull() const noexcept {
  return value_.index() == 0;
}
bool JsonValue::isBool() const noexcept {
  return std::holds_alternative<bool>(value_);
}
bool JsonValue::isNumber() const noexcept {
  const auto t = type();
  return t == JsonType::int64 || t == JsonType::uint64 || t == JsonType::numberText;
}
bool JsonValue::isString() const noexcept {
  return std::holds_alternative<std::string>(value_);
}
bool JsonValue::isArray() const noexcept {
  return std::holds_alternative<JsonArray>(value_);
}
bool JsonValue::isObject() const noexcept {
  return std::holds_alternative<JsonObject>(value_);
}

std::optional<bool> JsonValue::asBool() const noexcept {
  if (const bool* value = std::get_if<bool>(&value_)) return *value;
  return std::nullopt;
}

std::optional<std::int64_t> JsonValue::asInt64() const noexcept {
  if (const auto* value = std::get_if<std::int64_t>(&value_)) return *value;
  if (const auto* value = std::get_if<std::uint64_t>(&value_)) {
    if (*value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(*value);
    }
    return std::nullopt;
  }
  if (const auto decimal = asDecimal()) return decimal->toInt64();
  return std::nullopt;
}

std::optional<std::uint64_t> JsonValue::asUInt64() const noexcept {
  if (const auto* value = std::get_if<std::uint64_t>(&value_)) return *value;
  if (const auto* value = std::get_if<std::int64_t>(&value_)) {
    if (*value >= 0) return static_cast<std::uint64_t>(*value);
    return std::nullopt;
  }
  if (const auto decimal = asDecimal()) return decimal->toUInt64();
  return std::nullopt;
}

std::optional<Decimal> JsonValue::asDecimal() const noexcept {
  if (const auto* value = std::get_if<NumberText>(&value_)) return Decimal::fromString(value->text);
  if (const auto* value = std::get_if<std::int64_t>(&value_)) return Decimal(*value);
  if (const auto* value = std::get_if<std::uint64_t>(&value_)) return Decimal(*value);
  return std::nullopt;
}

const std::string* JsonValue::asNumberText() const noexcept {
  const auto* value = std::get_if<NumberText>(&value_);
  return value ? &value->text : nullptr;
}

const std::string* JsonValue::asString() const noexcept {
  return std::get_if<std::string>(&value_);
}
std::string* JsonValue::asString() noexcept {
  return std::get_if<std::string>(&value_);
}
const JsonArray* JsonValue::asArray() const noexcept {
  return std::get_if<JsonArray>(&value_);
}
JsonArray* JsonValue::asArray() noexcept {
  return std::get_if<JsonArray>(&value_);
}
const JsonObject* JsonValue::asObject() const noexcept {
  return std::get_if<JsonObject>(&value_);
}
JsonObject* JsonValue::asObject() noexcept {
  return std::get_if<JsonObject>(&value_);
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  const JsonType ta = a.type();
  const JsonType tb = b.type();
  if (a.isNumber() && b.isNumber()) {
    if (ta == JsonType::numberText || tb == JsonType::numberText) {
      // Every integer and every number of at most 38 significant digits within the exponent
      // range is a Decimal; the rest, kept only as text, compare by their exact values.
      const auto da = a.asDecimal();
      const auto db = b.asDecimal();
      if (da || db) return da == db;
      return valueOf(*a.asNumberText()) == valueOf(*b.asNumberText());
    }
    if (ta == tb) return a.value_ == b.value_;
    // One int64 and one uint64: equal only for the same non-negative value.
    const auto ua = a.asUInt64();
    return ua && ua == b.asUInt64();
  }
  if (ta != tb) return false;
  return a.value_ == b.value_;  // arrays and objects recurse through this operator
}

// ---- JsonError ----

std::string JsonError::message() const {
  std::string text = reason;
  text += " at byte ";
  text += std::to_string(offset);
  return text;
}

}  // namespace korvani
