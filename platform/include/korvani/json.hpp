#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "korvani/decimal.hpp"
#include "korvani/export.hpp"
#include "korvani/string_dictionary.hpp"

namespace korvani {

class JsonValue;
namespace detail {
struct JsonAccess;
}  // namespace detail

// A JSON array: values in order.
using JsonArray = std::vector<JsonValue>;

// What a JsonValue holds. A number written as an integer (no fraction, no exponent) that fits
// 64 bits is int64, or uint64 above INT64_MAX; every other number, however long and however
// large its exponent, is numberText: its JSON text, kept exactly and converted when read.
enum class JsonType { null, boolean, int64, uint64, numberText, string, array, object };

// A JSON object: text keys, unique, kept in insertion order (the order they are written in).
// Lookups are linear, which beats hashing for the few dozen keys a payment carries.
// A value: copied on assignment, no shared state, not locked.
class KORVANI_EXPORT JsonObject {
 public:
  // One key and its value; iteration yields members in insertion order.
  using Member = std::pair<std::string, JsonValue>;
  using iterator = std::vector<Member>::iterator;
  using const_iterator = std::vector<Member>::const_iterator;

  JsonObject() = default;                             // empty
  JsonObject(std::initializer_list<Member> members);  // later duplicates replace earlier ones

  // Member count and iteration, in insertion order.
  std::size_t size() const noexcept;
  bool empty() const noexcept;
  iterator begin() noexcept;
  iterator end() noexcept;
  const_iterator begin() const noexcept;
  const_iterator end() const noexcept;

  // The value under `key`, or nullptr.
  const JsonValue* find(std::string_view key) const noexcept;
  JsonValue* find(std::string_view key) noexcept;
  bool contains(std::string_view key) const noexcept;  // true even for a JSON null value
  // Replaces the value of an existing key in place, or appends the key.
  JsonValue& set(std::string key, JsonValue value);
  // The value under `key`, inserting null when absent.
  JsonValue& operator[](std::string_view key);
  // Removes the key, keeping the others in order; false when it was absent.
  bool erase(std::string_view key);
  void reserve(std::size_t count);  // room for `count` members, to avoid regrowth

  // Typed lookups: the value under `key` when it has the asked JSON type, else nothing.
  // A JSON null is a value of the wrong type for all of them.
  const std::string* getString(std::string_view key) const noexcept;
  // An integral number (of any notation: 3, 3.0, 3e0) that fits the type.
  std::optional<std::int64_t> getInt64(std::string_view key) const noexcept;
  std::optional<std::uint64_t> getUInt64(std::string_view key) const noexcept;
  // A number that a Decimal holds exactly (not one that needs more digits or a larger exponent).
  std::optional<Decimal> getNumber(std::string_view key) const noexcept;
  std::optional<bool> getBool(std::string_view key) const noexcept;
  // The object or array under `key`, or nullptr; valid while this object is unchanged.
  const JsonObject* getObject(std::string_view key) const noexcept;
  const JsonArray* getArray(std::string_view key) const noexcept;
  // An array whose elements are all objects (an empty array qualifies).
  const JsonArray* getArrayOfObjects(std::string_view key) const noexcept;

  // Dictionary equality: same keys with equal values, in any order.
  friend KORVANI_EXPORT bool operator==(const JsonObject& a, const JsonObject& b);

 private:
  // Lets the parser fill an object before it makes the keys unique.
  friend struct detail::JsonAccess;

  std::vector<Member> members_;
};

// One JSON value (see JsonType for numbers). A value: copied on assignment, no shared state,
// not locked.
class KORVANI_EXPORT JsonValue {
 public:
  // Implicit from every C++ type that has a JSON counterpart, so objects read like JSON.
  JsonValue() noexcept;  // null
  JsonValue(std::nullptr_t) noexcept;
  JsonValue(bool value) noexcept;
  // Money never passes through floating point; without this a double would become a bool.
  JsonValue(double) = delete;
  JsonValue(float) = delete;
  template <std::signed_integral T>
  requires(!std::same_as<T, bool>) JsonValue(T value)
  noexcept : JsonValue(static_cast<std::int64_t>(value), Int64Tag{}) {}
  template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>) JsonValue(T value)
  noexcept : JsonValue(static_cast<std::uint64_t>(value), UInt64Tag{}) {}
  JsonValue(Decimal value);  // numberText, in the Decimal's plain notation
  JsonValue(std::string value) noexcept;
  JsonValue(std::string_view value);
  JsonValue(const char* value);
  JsonValue(JsonArray value) noexcept;
  JsonValue(JsonObject value) noexcept;

  // The kind of value held.
  JsonType type() const noexcept;
  bool isNull() const noexcept;
  bool isBool() const noexcept;
  bool isNumber() const noexcept;  // int64, uint64 or numberText
  bool isString() const noexcept;
  bool isArray() const noexcept;
  bool isObject() const noexcept;

  // Typed access: nullptr / nullopt when the value has another type.
  std::optional<bool> asBool() const noexcept;
  std::optional<std::int64_t> asInt64() const noexcept;    // integral and fits
  std::optional<std::uint64_t> asUInt64() const noexcept;  // integral, not negative, fits
  std::optional<Decimal> asDecimal() const noexcept;       // a number a Decimal holds exactly
  const std::string* asNumberText() const noexcept;        // the text of a numberText
  const std::string* asString() const noexcept;
  std::string* asString() noexcept;
  const JsonArray* asArray() const noexcept;
  JsonArray* asArray() noexcept;
  const JsonObject* asObject() const noexcept;
  JsonObject* asObject() noexcept;

  // Numbers compare by value whatever their representation and notation (int64 5 == uint64 5
  // == "5.0" == "0.5e1").
  friend KORVANI_EXPORT bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  struct Int64Tag {};
  struct UInt64Tag {};
  JsonValue(std::int64_t value, Int64Tag) noexcept;
  JsonValue(std::uint64_t value, UInt64Tag) noexcept;

  // Held apart from strings; valid JSON number text.
  struct NumberText {
    std::string text;
    bool operator==(const NumberText&) const = default;
  };
  friend struct detail::JsonAccess;

  std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, NumberText, std::string,
               JsonArray, JsonObject>
      value_;
};

// Where and why text was refused.
struct KORVANI_EXPORT JsonError {
  std::size_t offset = 0;       // byte offset into the input (parse) or 0 (serialize)
  std::string reason;           // what was wrong, e.g. "invalid UTF-8"
  std::string message() const;  // "<reason> at byte <offset>"
};

// Limits of parseJson(); the defaults suit answers from the payment platform.
struct JsonParseOptions {
  // A bare number, string, boolean or null at the top level is refused unless allowed.
  bool allowScalarTopLevel = false;
  // Deeper nesting is refused; protects the host's stack from hostile answers. Values are
  // read, compared, written and destroyed recursively, so limits above kDepthCeiling count
  // as kDepthCeiling.
  static constexpr std::size_t kDepthCeiling = 1000;
  std::size_t maxDepth = 512;  // levels of arrays and objects
};

// Parses UTF-8 JSON text. Malformed text, invalid UTF-8, trailing garbage, a scalar at the top
// level (unless allowed) and nesting deeper than maxDepth give nullopt and, when `error` is
// given, its position and reason. Never throws for bad input. A key repeated within one object
// keeps its first position and takes the last value ("last one wins"). Every number that the
// JSON grammar allows is accepted (see JsonType); only reading it as a Decimal or an integer
// may fail. Any thread.
//
// Memory: the values of a text may take at most 8 bytes per byte of text, plus 128 KiB; that
// bound includes the parse's own working memory and the heap's bookkeeping. Text whose values would
// need more (long runs of tiny values, such as [1,1,1,...] or [{},{},...]) is refused with the
// reason "values need more memory than allowed" before any value is built. Realistic answers take
// about 4 bytes per byte.
KORVANI_EXPORT std::optional<JsonValue> parseJson(std::string_view text, JsonError* error = nullptr,
                                                  const JsonParseOptions& options = {});

// Compact serialization (no whitespace). A numberText is written exactly as held, so parsed
// numbers come back as they were sent. Strings are escaped (", \, control characters); a
// string or key holding invalid UTF-8 makes the whole call fail with nullopt. Any thread.
KORVANI_EXPORT std::optional<std::string> serializeJson(const JsonValue& value,
                                                        JsonError* error = nullptr);
// Appends the compact text of `value` to `out`; on failure returns false and leaves `out`
// as it was.
KORVANI_EXPORT bool appendJson(std::string& out, const JsonValue& value,
                               JsonError* error = nullptr);
// The same for an object, without wrapping (and so copying) it in a JsonValue.
KORVANI_EXPORT bool appendJson(std::string& out, const JsonObject& object,
                               JsonError* error = nullptr);
// Indented text for people (demo output, logs of the sandbox); same failure rule. A negative
// `indent` counts as 0.
KORVANI_EXPORT std::optional<std::string> serializeJsonPretty(const JsonValue& value,
                                                              int indent = 2);

}  // namespace korvani
