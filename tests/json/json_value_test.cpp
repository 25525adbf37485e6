#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "json_printing.hpp"
#include "korvani/json.hpp"

namespace korvani {
namespace {

std::string keys(const JsonObject& object) {
  std::string text;
  for (const auto& [key, value] : object)
    text += key;
  return text;
}

TEST(JsonObject, KeepsUniqueKeysInInsertionOrder) {
  JsonObject object{{"b", 1}, {"a", 2}, {"b", 3}};  // later duplicate replaces in place
  EXPECT_EQ(keys(object), "ba");
  EXPECT_EQ(object.getInt64("b"), 3);

  object.set("c", "x");
  object.set("a", 20);  // existing key keeps its place
  EXPECT_EQ(keys(object), "bac");
  EXPECT_EQ(object.getInt64("a"), 20);

  JsonValue& inserted = object["d"];
  EXPECT_TRUE(inserted.isNull());
  inserted = true;
  EXPECT_EQ(object.getBool("d"), true);
  object["a"] = "replaced";
  EXPECT_EQ(*object.getString("a"), "replaced");
  EXPECT_EQ(keys(object), "bacd");
  EXPECT_EQ(object.size(), 4u);

  EXPECT_TRUE(object.erase("a"));
  EXPECT_FALSE(object.erase("a"));
  EXPECT_FALSE(object.contains("a"));
  EXPECT_EQ(keys(object), "bcd");
  EXPECT_EQ(object.find("zz"), nullptr);

  // Keys are compared as whole byte strings.
  object.set(std::string("n\0ul", 4), 1);
  EXPECT_FALSE(object.contains("n"));
  EXPECT_TRUE(object.contains(std::string_view("n\0ul", 4)));
}

TEST(JsonObject, TypedLookupsAcceptOnlyTheirType) {
  const JsonObject object{{"text", "12"},
                          {"int", 12},
                          {"integral", *Decimal::fromString("1.2e1")},
                          {"fraction", *Decimal::fromString("2.5")},
                          {"negative", -1},
                          {"big", std::numeric_limits<std::uint64_t>::max()},
                          {"flag", true},
                          {"null", nullptr},
                          {"object", JsonObject{{"k", 1}}},
                          {"objects", JsonArray{JsonObject{}, JsonObject{{"a", 1}}}},
                          {"empty", JsonArray{}},
                          {"mixed", JsonArray{JsonObject{}, "s"}}};

  EXPECT_EQ(*object.getString("text"), "12");
  EXPECT_EQ(object.getString("int"), nullptr);  // numbers are not text
  EXPECT_EQ(object.getString("null"), nullptr);
  EXPECT_EQ(object.getString("missing"), nullptr);

  EXPECT_EQ(object.getInt64("int"), 12);
  EXPECT_EQ(object.getInt64("integral"), 12);
  EXPECT_FALSE(object.getInt64("fraction"));
  EXPECT_FALSE(object.getInt64("text"));  // digits in a string are not a number
  EXPECT_FALSE(object.getInt64("big"));
  EXPECT_FALSE(object.getInt64("null"));
  EXPECT_FALSE(object.getInt64("flag"));
  EXPECT_EQ(object.getUInt64("big"), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(object.getUInt64("int"), 12u);
  EXPECT_FALSE(object.getUInt64("negative"));

  EXPECT_EQ(object.getNumber("fraction")->toString(), "2.5");
  EXPECT_EQ(object.getNumber("int"), Decimal(std::int64_t{12}));
  EXPECT_EQ(object.getNumber("big")->toString(), "18446744073709551615");
  EXPECT_FALSE(object.getNumber("text"));
  EXPECT_FALSE(object.getNumber("null"));

  EXPECT_EQ(object.getBool("flag"), true);
  EXPECT_FALSE(object.getBool("text"));
  EXPECT_FALSE(object.getBool("int"));

  EXPECT_NE(object.getObject("object"), nullptr);
  EXPECT_EQ(object.getObject("objects"), nullptr);
  EXPECT_EQ(object.getArray("object"), nullptr);
  EXPECT_EQ(object.getArrayOfObjects("objects")->size(), 2u);
  EXPECT_NE(object.getArrayOfObjects("empty"), nullptr);
  EXPECT_EQ(object.getArrayOfObjects("mixed"), nullptr);
  EXPECT_NE(object.getArray("mixed"), nullptr);
  EXPECT_EQ(object.getArrayOfObjects("null"), nullptr);
}

TEST(JsonValue, ConvertsNumbersOnlyWhenExact) {
  const JsonValue minusOne = -1;
  EXPECT_EQ(minusOne.type(), JsonType::int64);
  EXPECT_EQ(minusOne.asInt64(), -1);
  EXPECT_FALSE(minusOne.asUInt64());
  EXPECT_EQ(minusOne.asDecimal()->toString(), "-1");

  const JsonValue unsignedSmall = 5u;
  EXPECT_EQ(unsignedSmall.type(), JsonType::uint64);
  EXPECT_EQ(unsignedSmall.asInt64(), 5);

  const JsonValue unsignedLarge = std::uint64_t{1} << 63;
  EXPECT_FALSE(unsignedLarge.asInt64());
  EXPECT_EQ(unsignedLarge.asUInt64(), std::uint64_t{1} << 63);

  const JsonValue shortValue = static_cast<short>(-7);
  EXPECT_EQ(shortValue.type(), JsonType::int64);
  EXPECT_EQ(JsonValue(true).type(), JsonType::boolean);  // bool is not an integer here

  const JsonValue text = "5";
  EXPECT_FALSE(text.isNumber());
  EXPECT_FALSE(text.asInt64());
  EXPECT_FALSE(text.asDecimal());
  EXPECT_FALSE(JsonValue().asBool());
  EXPECT_EQ(JsonValue().asString(), nullptr);

  // Typed access gives writable references into the value.
  JsonValue array = JsonArray{1};
  array.asArray()->push_back("two");
  EXPECT_EQ(array.asArray()->size(), 2u);
  JsonValue object = JsonObject{};
  object.asObject()->set("k", 1);
  EXPECT_TRUE(object.asObject()->contains("k"));
  JsonValue string = std::string("ab");
  *string.asString() += "c";
  EXPECT_EQ(string, JsonValue("abc"));
}

TEST(JsonValue, EqualityComparesNumbersByValueAndObjectsAsDictionaries) {
  const Decimal five = *Decimal::fromString("5.0");
  EXPECT_EQ(JsonValue(5), JsonValue(5u));
  EXPECT_EQ(JsonValue(5), JsonValue(five));
  EXPECT_EQ(JsonValue(5u), JsonValue(*Decimal::fromString("0.5e1")));
  EXPECT_NE(JsonValue(-1), JsonValue(std::numeric_limits<std::uint64_t>::max()));
  EXPECT_NE(JsonValue(5), JsonValue(*Decimal::fromString("5.01")));
  EXPECT_NE(JsonValue(5), JsonValue("5"));
  EXPECT_NE(JsonValue(0), JsonValue(false));
  EXPECT_NE(JsonValue(0), JsonValue());
  EXPECT_NE(JsonValue(""), JsonValue());
  EXPECT_EQ(JsonValue(), JsonValue(nullptr));

  // Objects: order does not matter, keys and values do.
  EXPECT_EQ(JsonValue(JsonObject{{"a", 1}, {"b", JsonArray{1, 2}}}),
            JsonValue(JsonObject{{"b", JsonArray{1u, *Decimal::fromString("2.0")}}, {"a", 1}}));
  EXPECT_NE(JsonValue(JsonObject{{"a", 1}}), JsonValue(JsonObject{{"a", 1}, {"b", 2}}));
  EXPECT_NE(JsonValue(JsonObject{{"a", 1}, {"b", 2}}), JsonValue(JsonObject{{"a", 1}}));
  EXPECT_NE(JsonValue(JsonObject{{"a", 1}}), JsonValue(JsonObject{{"b", 1}}));
  EXPECT_NE(JsonValue(JsonObject{{"a", 1}}), JsonValue(JsonObject{{"a", 2}}));
  EXPECT_NE(JsonValue(JsonObject{{"a", nullptr}}), JsonValue(JsonObject{}));
  // Arrays: order matters.
  EXPECT_NE(JsonValue(JsonArray{1, 2}), JsonValue(JsonArray{2, 1}));
  EXPECT_NE(JsonValue(JsonArray{1}), JsonValue(JsonArray{1, 1}));
  EXPECT_NE(JsonValue(JsonArray{}), JsonValue(JsonObject{}));

  // Large objects (compared through an index) follow the same rule.
  JsonObject forward;
  JsonObject backward;
  for (int i = 0; i < 100; ++i) {
    forward.set("k" + std::to_string(i), i);
    backward.set("k" + std::to_string(99 - i), 99 - i);
  }
  EXPECT_EQ(forward, backward);
  backward.set("k42", *Decimal::fromString("42.0"));
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
