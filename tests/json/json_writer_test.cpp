#include <gtest/gtest.h>

#include <string>

#include "korvani/json.hpp"
#include "support/json_printing.hpp"

namespace korvani {
namespace {

std::string compact(const JsonValue& value) {
  JsonError error;
  auto text = serializeJson(value, &error);
  EXPECT_TRUE(text) << error.reason;
  return text.value_or("<failed>");
}

TEST(JsonWriter, WritesCompactAndIndentedTextInInsertionOrder) {
  const JsonObject value{{"z", 1},
                         {"b", JsonArray{true, JsonObject{{"c", nullptr}}, false}},
                         {"e", JsonObject{}},
                         {"f", JsonArray{}}};
  EXPECT_EQ(compact(value), R"({"z":1,"b":[true,{"c":null},false],"e":{},"f":[]})");
  EXPECT_EQ(
      *serializeJsonPretty(value),
      "{\n  \"z\": 1,\n  \"b\": [\n    true,\n    {\n      \"c\": null\n    },\n    false\n  ],\n"
      "  \"e\": {},\n  \"f\": []\n}");
  EXPECT_EQ(*serializeJsonPretty(JsonArray{1, 2}, 4), "[\n    1,\n    2\n]");
  EXPECT_EQ(*serializeJsonPretty(JsonArray{1}, -3), "[\n1\n]");
  // A Decimal in plain notation. (Parsed numbers are written as their text: the json fuzz
  // target's checks on its seeds.)
  EXPECT_EQ(compact(JsonArray{*Decimal::fromString("-12.50e1"), Decimal()}), "[-125,0]");
}

TEST(JsonWriter, EscapesQuotesBackslashesAndControlCharacters) {
  // Escapes at the start, in the middle and at the end of a run of plain text.
  constexpr char kMixed[] =
      "say \"hi\" C:\\dir a/b \b\f\n\r\t \0\x01\x1f \x7f caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 "
      "end\\";
  const std::string cases[][2] = {
      {"", R"("")"},
      {"\"\"", R"("\"\"")"},
      {std::string(kMixed, sizeof kMixed - 1),
       "\"say \\\"hi\\\" C:\\\\dir a/b \\b\\f\\n\\r\\t \\u0000\\u0001\\u001f \x7f caf\xc3\xa9 "
       "\xe2\x82\xac \xf0\x9f\x98\x80 end\\\\\""}};
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(compact(JsonValue(in)), out) << in;
    EXPECT_EQ(compact(JsonObject{{in, 1}}), "{" + out + ":1}") << in;  // keys alike
  }
}

TEST(JsonWriter, RefusesInvalidUtf8AndLeavesOutputUntouched) {
  for (const std::string bad :
       {"\xff", "ab\xc3", "\xe2\x82", "\xc0\xaf", "\xe0\x80\x80", "\xed\xa0\x80",
        "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80", "\x80", "ok\xc3\x28"}) {
    JsonError error;
    EXPECT_FALSE(serializeJson(JsonArray{"fine", JsonObject{{"k", bad}}}, &error)) << bad;
    EXPECT_EQ(error.reason, "invalid UTF-8 in a string");
    EXPECT_FALSE(serializeJson(JsonObject{{"fine", 1}, {bad, 2}}, &error)) << bad;
    EXPECT_EQ(error.reason, "invalid UTF-8 in a key");
    EXPECT_FALSE(serializeJsonPretty(JsonArray{bad}));
    std::string out = "prefix";
    EXPECT_FALSE(appendJson(out, JsonObject{{"a", "long enough to grow the buffer"}, {"b", bad}}));
    EXPECT_EQ(out, "prefix");
  }
  // The boundaries of the valid ranges are accepted.
  for (const std::string good : {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf",
                                 "\xee\x80\x80", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"})
    EXPECT_EQ(compact(JsonValue(good)), "\"" + good + "\"");
}

}  // namespace
}  // namespace korvani
