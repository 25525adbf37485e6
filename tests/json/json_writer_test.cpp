#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "json_printing.hpp"
#include "korvani/json.hpp"

namespace korvani {
namespace {

std::string compact(const JsonValue& value) {
  JsonError error;
  auto text = serializeJson(value, &error);
  EXPECT_TRUE(text) << error.reason;
  return text.value_or("<failed>");
}

TEST(JsonWriter, WritesCompactTextInInsertionOrder) {
  EXPECT_EQ(compact(JsonObject{}), "{}");
  EXPECT_EQ(compact(JsonArray{}), "[]");
  EXPECT_EQ(compact(JsonObject{{"k", "v"}}), R"({"k":"v"})");

  JsonObject body{{"z", 1}, {"a", JsonArray{true, false, nullptr}}, {"m", JsonObject{}}};
  body.set("collector", JsonObject{{"id", nullptr}});
  body["amount"] = *Decimal::fromString("10.50");
  body["neg"] = std::int64_t{-9223372036854775807 - 1};
  body["big"] = std::numeric_limits<std::uint64_t>::max();
  body["exp"] = *Decimal::fromString("-2.5e-3");
  body["huge"] = *Decimal::fromString("1e40");
  EXPECT_EQ(compact(body),
            R"({"z":1,"a":[true,false,null],"m":{},"collector":{"id":null},"amount":10.5,)"
            R"("neg":-9223372036854775808,"big":18446744073709551615,"exp":-0.0025,)"
            R"("huge":10000000000000000000000000000000000000000})");

  // Scalars are written too (the parser reads them back only when allowed).
  EXPECT_EQ(compact(JsonValue()), "null");
  EXPECT_EQ(compact(JsonValue("x")), R"("x")");
  EXPECT_EQ(compact(JsonValue(Decimal())), "0");
}

TEST(JsonWriter, EscapesQuotesBackslashesAndControlCharacters) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"", R"("")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"C:\\dir", R"("C:\\dir")"},
      {"a/b", R"("a/b")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x7f", "\"\x7f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"end\\", R"("end\\")"},
      {"\"\"", R"("\"\"")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(compact(JsonValue(c.in)), c.out) << c.in;
    // Keys are escaped the same way.
    EXPECT_EQ(compact(JsonObject{{c.in, 1}}), "{" + c.out + ":1}") << c.in;
  }
}

TEST(JsonWriter, RefusesInvalidUtf8AndLeavesOutputUntouched) {
  const std::string invalid[] = {
      "\xff",         "ab\xc3",       "\xe2\x82",         "\xc0\xaf",
      "\xe0\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80",
      "\x80",         "ok\xc3\x28"};
  for (const auto& bad : invalid) {
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
                                 "\xee\x80\x80", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_EQ(compact(JsonValue(good)), "\"" + good + "\"");
  }
}

TEST(JsonWriter, AppendsToExistingText) {
  std::string out = "body=";
  EXPECT_TRUE(appendJson(out, JsonObject{{"a", 1}}));
  EXPECT_TRUE(appendJson(out, JsonArray{2}));
  EXPECT_EQ(out, R"(body={"a":1}[2])");
}

TEST(JsonWriter, IndentsForPeople) {
  const JsonObject value{{"a", 1},
                         {"b", JsonArray{true, JsonObject{{"c", "d"}}}},
                         {"e", JsonObject{}},
                         {"f", JsonArray{}}};
  EXPECT_EQ(*serializeJsonPretty(value),
            "{\n"
            "  \"a\": 1,\n"
            "  \"b\": [\n"
            "    true,\n"
            "    {\n"
            "      \"c\": \"d\"\n"
            "    }\n"
            "  ],\n"
            "  \"e\": {},\n"
            "  \"f\": []\n"
            "}");
  EXPECT_EQ(*serializeJsonPretty(JsonArray{1, 2}, 4), "[\n    1,\n    2\n]");
  // Pretty text reads back as the same value.
  EXPECT_EQ(*parseJson(*serializeJsonPretty(value)), JsonValue(value));
}

TEST(JsonWriter, RoundTripsPreserveNumbersAndStringsExactly) {
  // Compact input comes back byte for byte (numbers in plain notation, keys in order).
  const std::string canonical[] = {
      R"({"amount":0.1,"fee":10.25,"total":123456789012345678901234567.89,"zero":0})",
      R"({"id":18446744073709551615,"min":-9223372036854775808,"wide":18446744073709551616})",
      R"([-0.000000000000000000000000000000000000012345678901234567890123456789012345678])",
      R"({"s":"tab\tquote\"slash\\nul\u0000 é 😀","nested":{"a":[{"b":[]}]},"n":null})",
  };
  for (const auto& text : canonical) {
    const auto value = parseJson(text);
    ASSERT_TRUE(value) << text;
    EXPECT_EQ(compact(*value), text);
  }

  // Other notations come back in plain notation with the same value.
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {R"({"amount": 1e2})", R"({"amount":100})"},
      {R"({"amount": -0.00})", R"({"amount":0})"},
      {R"({"amount": 2.50E+1})", R"({"amount":25})"},
      {R"([ -0 , 1.0, "\u00e9\/" ])", R"([0,1,"é/"])"},
      {R"({"a":1,"a":2})", R"({"a":2})"},
  };
  for (const auto& c : cases) {
    const auto value = parseJson(c.in);
    ASSERT_TRUE(value) << c.in;
    const std::string once = compact(*value);
    EXPECT_EQ(once, c.out) << c.in;
    EXPECT_EQ(*parseJson(once), *value) << c.in;
  }

  // A large generated document survives parse, write, parse.
  std::string big = "[";
  for (int i = 0; i < 2000; ++i) {
    if (i) big += ",";
    big += R"({"id":)" + std::to_string(1000000007LL * i) + R"(,"amount":)" + std::to_string(i) +
           "." + std::to_string(i % 97 * 10 + 1) + R"(,"text":"line\n)" + std::to_string(i) +
           R"("})";
  }
  big += "]";
  const auto first = parseJson(big);
  ASSERT_TRUE(first);
  const std::string written = compact(*first);
  EXPECT_EQ(written, big);
  EXPECT_EQ(*parseJson(written), *first);
}

}  // namespace
}  // namespace korvani
