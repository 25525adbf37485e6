#include "korvani/dictionary_encoding.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvani {
namespace {

// Every JSON type's text, member order and UTF-8 refusal are the writer's; the fuzz replay
// checks that JSONString() of each object seed equals the writer's text.
TEST(JSONString, CompactObjectInMemberOrderOrNothingForBadText) {
  EXPECT_EQ(JSONString(JsonObject{}), "{}");
  EXPECT_EQ(JSONString(StringDictionary{}), "{}");
  EXPECT_EQ(JSONString(JsonObject{{"z", 1}, {"quote\"key", "line\nbreak"}}),
            R"({"z":1,"quote\"key":"line\nbreak"})");
  EXPECT_EQ(JSONString(StringDictionary{{"b", "2"}, {"a", "1"}}), R"({"a":"1","b":"2"})");
  EXPECT_EQ(JSONString(JsonObject{{"ok", 1}, {"deep", JsonArray{std::string("\x80")}}}),
            std::nullopt);
  EXPECT_EQ(JSONString(StringDictionary{{"k", std::string("\xE2\x82")}}), std::nullopt);
}

// The query fuzz target reads every seed's query back to its items; here what is encoded.
TEST(QueryParamString, ItemsInIterationOrderEverythingOutsideTheUnreservedSetEncoded) {
  EXPECT_EQ(queryParamString(StringDictionary{}), "");
  EXPECT_EQ(queryParamString(JsonObject{}), "");
  const StringDictionary params{{"b", "2"}, {"a", "1"}, {"c d", "3 3"}};
  EXPECT_EQ(queryParamString(params), "?a=1&b=2&c%20d=3%203");  // names encoded like values
  // Values that are not text give bare names.
  const JsonObject mixed{{"z", "last?"}, {"flag", true}, {"n", 5}, {"nil", nullptr}, {"a", "x"}};
  EXPECT_EQ(queryParamString(mixed), "?z=last%3F&flag&n&nil&a=x");
  constexpr char kValue[] = "a b+=&/?#[]@!$'()*,;:%\r\n\t\0\xC3\xA9\xFF AZaz09-._~";
  EXPECT_EQ(queryParamString(StringDictionary{{"v", std::string(kValue, sizeof kValue - 1)}}),
            "?v=a%20b%2B%3D%26%2F%3F%23%5B%5D%40%21%24%27%28%29%2A%2C%3B%3A%25%0D%0A%09%00%C3%A9%FF"
            "%20AZaz09-._~");
}

}  // namespace
}  // namespace korvani
