#include <limits>
#include <string_view>
#include <unordered_map>

#include "korvani/json.hpp"

namespace korvani {

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
JsonValue::JsonValue(Decimal value) noexcept : value_(value) {}
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
  return t == JsonType::int64 || t == JsonType::uint64 || t == JsonType::decimal;
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
  if (const auto* value = std::get_if<Decimal>(&value_)) return value->toInt64();
  return std::nullopt;
}

std::optional<std::uint64_t> JsonValue::asUInt64() const noexcept {
  if (const auto* value = std::get_if<std::uint64_t>(&value_)) return *value;
  if (const auto* value = std::get_if<std::int64_t>(&value_)) {
    if (*value >= 0) return static_cast<std::uint64_t>(*value);
    return std::nullopt;
  }
  if (const auto* value = std::get_if<Decimal>(&value_)) return value->toUInt64();
  return std::nullopt;
}

std::optional<Decimal> JsonValue::asDecimal() const noexcept {
  if (const auto* value = std::get_if<Decimal>(&value_)) return *value;
  if (const auto* value = std::get_if<std::int64_t>(&value_)) return Decimal(*value);
  if (const auto* value = std::get_if<std::uint64_t>(&value_)) return Decimal(*value);
  return std::nullopt;
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
    if (ta == JsonType::decimal || tb == JsonType::decimal) return a.asDecimal() == b.asDecimal();
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
