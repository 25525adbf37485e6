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
  // Pairs of values: objects compare as dictionaries (order does not matter), arrays in order.
  for (const char* pair : {R"([5, 5.0])", R"([{"a": 1, "b": [1, 2]}, {"b": [1, 2.0], "a": 1}])"}) {
    const JsonArray values = *parseJson(pair)->asArray();
    EXPECT_EQ(values[0], values[1]) << pair;
  }
  for (const char* pair :
       {R"([5, 5.01])", R"([5, "5"])", R"([0, false])", R"([0, null])", R"(["", null])",
        R"([{"a": 1}, {"a": 1, "b": 2}])", R"([{"a": 1}, {"b": 1}])", R"([{"a": 1}, {"a": 2}])",
        R"([{"a": null}, {}])", R"([[1, 2], [2, 1]])", R"([[1], [1, 1]])", R"([[], {}])"}) {
    const JsonArray values = *parseJson(pair)->asArray();
    EXPECT_NE(values[0], values[1]) << pair;
    EXPECT_NE(values[1], values[0]) << pair;
  }
  // Large objects are compared through an index, by the same rule.
  JsonObject forward;
  JsonObject backward;
  for (int i = 0; i < 100; ++i) {
    forward.set("k" + std::to_string(i), i);
    backward.set("k" + std::to_string(99 - i), 99 - i);
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
