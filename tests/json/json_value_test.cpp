#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "korvani/json.hpp"
#include "support/json_printing.hpp"

namespace korvani {
namespace {

TEST(JsonObject, KeepsUniqueKeysInInsertionOrder) {
  JsonObject object{{"b", 1}, {"a", 2}, {"b", 3}};  // later duplicate replaces in place
  object.set("c", "x");
  object.set("a", 20);  // existing key keeps its place
  EXPECT_TRUE(object["d"].isNull());
  object["d"] = true;
  object["a"] = "replaced";
  EXPECT_EQ(serializeJson(object), R"({"b":3,"a":"replaced","c":"x","d":true})");
  EXPECT_TRUE(object.erase("a"));
  EXPECT_FALSE(object.erase("a") || object.contains("a"));
  EXPECT_EQ(serializeJson(object), R"({"b":3,"c":"x","d":true})");
  // Keys are compared as whole byte strings.
  object.set(std::string("n\0ul", 4), 1);
  EXPECT_FALSE(object.contains("n"));
  EXPECT_TRUE(object.contains(std::string_view("n\0ul", 4)));
}

// Typed lookups, with right and wrong types, are reached through the records on the records
// fuzz target's seeds.

TEST(JsonValue, IntegersOfAnyWidthAreNumbersAndConvertOnlyWhenExact) {
  EXPECT_EQ(JsonValue(static_cast<short>(-7)).type(), JsonType::int64);
  EXPECT_EQ(JsonValue(5u).type(), JsonType::uint64);
  EXPECT_EQ(JsonValue(true).type(), JsonType::boolean);  // neither bool nor text is an integer
  EXPECT_EQ(JsonValue("5").type(), JsonType::string);
  EXPECT_EQ(JsonValue(5u).asInt64(), 5);
  EXPECT_EQ(JsonValue(-1).asDecimal(), Decimal(std::int64_t{-1}));
  const JsonValue unsignedLarge = std::uint64_t{1} << 63;
  EXPECT_EQ(unsignedLarge.asUInt64(), std::uint64_t{1} << 63);
  EXPECT_FALSE(unsignedLarge.asInt64() || JsonValue(-1).asUInt64() || JsonValue("5").asInt64() ||
               JsonValue("5").asDecimal() || JsonValue().asBool());
  EXPECT_EQ(JsonValue().asString(), nullptr);
}

TEST(JsonValue, EqualityComparesNumbersByValueAndObjectsAsDictionaries) {
  EXPECT_EQ(JsonValue(5), JsonValue(5u));
  EXPECT_EQ(JsonValue(5u), JsonValue(*Decimal::fromString("0.5e1")));
  EXPECT_NE(JsonValue(-1), JsonValue(std::numeric_limits<std::uint64_t>::max()));
  // Pairs of values: objects compare as dictionaries (order does not matter), arrays in order;
  // numbers that no Decimal holds by their exact value, exponents of any length included (38
  // to 40 digits here, carried and borrowed across all their digits).
  const JsonValue equal = *parseJson(R"([[5, 5.0], [{"a": 1, "b": [1, 2]}, {"b": [1, 2.0], "a": 1}],
      [1e1001, 10.0e1000], [-0.01e-1000, -1000e-1005], [0e99999999999999999999, -0.0],
      [123456789012345678901234567890123456789, 123456789012345678901234567890123456789.000],
      [123456789012345678901234567890123456789, 0.123456789012345678901234567890123456789e39],
      [1e99999999999999999999999999999999999999, 1000e99999999999999999999999999999999999996],
      [1e-100000000000000000000000000000000000000, 0.1e-99999999999999999999999999999999999999],
      [1e999999999999999999999999999999999999999,
       0.0001e1000000000000000000000000000000000000003]])");
  for (const JsonValue& pair : *equal.asArray()) {
    EXPECT_EQ(pair.asArray()->front(), pair.asArray()->back()) << serializeJson(pair).value();
  }
  const JsonValue unequal = *parseJson(R"([[5, 5.01], [5, "5"], [0, false], [0, null], ["", null],
      [{"a": 1}, {"a": 1, "b": 2}], [{"a": 1}, {"b": 1}], [{"a": 1}, {"a": 2}], [{"a": null}, {}],
      [[1, 2], [2, 1]], [[1], [1, 1]], [[], {}], [1e1001, 1e1000], [1e1001, -1e1001],
      [1e1001, 1e-1001],
      [123456789012345678901234567890123456789, 1234567890123456789012345678901234567891],
      [123456789012345678901234567890123456789, 123456789012345678901234567890123456789e1],
      [1e99999999999999999999999999999999999999, 1e99999999999999999999999999999999999998],
      [1e999999999999999999999999999999999999999, 1e-999999999999999999999999999999999999999],
      [1e1000000000000000000000000000000000000000, 1e1000000000000000000000000000000000000001]])");
  for (const JsonValue& pair : *unequal.asArray()) {
    EXPECT_NE(pair.asArray()->front(), pair.asArray()->back()) << serializeJson(pair).value();
    EXPECT_NE(pair.asArray()->back(), pair.asArray()->front()) << serializeJson(pair).value();
  }
  // Large objects are compared through an index, by the same rule.
  JsonObject forward;
  JsonObject backward;
  const auto key = [](int i) { return std::string(1, 'k').append(std::to_string(i)); };
  for (int i = 0; i < 100; ++i) {
    forward.set(key(i), i);
    backward.set(key(99 - i), 99 - i);
  }
  EXPECT_EQ(forward, backward);
  backward.set("k42", 43);
  EXPECT_NE(forward, backward);
  backward.set("k42", 42);
  backward.erase("k0");
  backward.set("other", 0);
  EXPECT_NE(forward, backward);
}

}  // namespace
}  // namespace korvani
