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

TEST(QueryParamString, EncodesEverythingOutsideTheUnreservedSet) {
  EXPECT_EQ(queryParamString(StringDictionary{}), "");
  EXPECT_EQ(queryParamString(JsonObject{}), "");
  EXPECT_EQ(queryParamString(StringDictionary{{"access_token", "APP_USR-1.2~x"}}),
            "?access_token=APP_USR-1.2~x");

  const struct {
    std::string value;
    std::string encoded;
  } cases[] = {
      {"a b", "a%20b"},
      {"", ""},
      {"a+b=c&d", "a%2Bb%3Dc%26d"},
      {"/?#[]@", "%2F%3F%23%5B%5D%40"},
      {"!$'()*,;:", "%21%24%27%28%29%2A%2C%3B%3A"},
      {"100%", "100%25"},
      {"\r\n\t", "%0D%0A%09"},
      {std::string("nul\0x", 5), "nul%00x"},
      {"caf\xC3\xA9", "caf%C3%A9"},
      {"\xFF", "%FF"},
      {"AZaz09-._~", "AZaz09-._~"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(queryParamString(StringDictionary{{"v", c.value}}), "?v=" + c.encoded) << c.value;
}

TEST(QueryParamString, ItemsInIterationOrderAndNonTextValuesAsBareNames) {
  const StringDictionary params{{"b", "2"}, {"a", "1"}, {"c d", "3 3"}};
  EXPECT_EQ(queryParamString(params), "?a=1&b=2&c%20d=3%203");  // names encoded like values

  const JsonObject mixed{{"z", "last?"}, {"flag", true}, {"n", 5}, {"nil", nullptr}, {"a", "x"}};
  EXPECT_EQ(queryParamString(mixed), "?z=last%3F&flag&n&nil&a=x");
}

}  // namespace
}  // namespace korvani
