#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "json_printing.hpp"
#include "korvani/json.hpp"

namespace korvani {
namespace {

JsonValue parseOk(std::string_view text, const JsonParseOptions& options = {}) {
  JsonError error;
  auto value = parseJson(text, &error, options);
  EXPECT_TRUE(value) << "refused: " << text << ": " << error.message();
  return value ? std::move(*value) : JsonValue();
}

TEST(JsonParser, BuildsValuesOfEveryType) {
  const JsonValue value = parseOk(
      R"( { "s": "t\u00e9xt \"q\" \\ \/ \n\t", "t": true, "f": false, "n": null,
            "i": -42, "u": 18446744073709551615, "d": 10.25, "a": [1, "x", [], {}],
            "o": {"k": "v"}, "e": "" } )");
  const JsonObject* object = value.asObject();
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->size(), 10u);
  EXPECT_EQ(*object->getString("s"), "t\xc3\xa9xt \"q\" \\ / \n\t");
  EXPECT_EQ(object->getBool("t"), true);
  EXPECT_EQ(object->getBool("f"), false);
  EXPECT_TRUE(object->find("n")->isNull());
  EXPECT_EQ(object->find("i")->type(), JsonType::int64);
  EXPECT_EQ(object->getInt64("i"), -42);
  EXPECT_EQ(object->find("u")->type(), JsonType::uint64);
  EXPECT_EQ(object->getUInt64("u"), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(object->find("d")->type(), JsonType::decimal);
  EXPECT_EQ(object->getNumber("d")->toString(), "10.25");
  const JsonArray* array = object->getArray("a");
  ASSERT_NE(array, nullptr);
  ASSERT_EQ(array->size(), 4u);
  EXPECT_EQ((*array)[0], JsonValue(1));
  EXPECT_EQ((*array)[1], JsonValue("x"));
  EXPECT_TRUE((*array)[2].asArray()->empty());
  EXPECT_TRUE((*array)[3].asObject()->empty());
  EXPECT_EQ(*object->getObject("o")->getString("k"), "v");
  EXPECT_EQ(*object->getString("e"), "");

  // Keys keep the order in which they were written.
  std::string order;
  for (const auto& [key, member] : *object)
    order += key;
  EXPECT_EQ(order, "stfniudaoe");

  // Surrogate pairs and raw UTF-8 become the same bytes.
  EXPECT_EQ(*parseOk(R"(["\ud83d\ude00", "😀"])").asArray()->at(0).asString(), "\xf0\x9f\x98\x80");
  EXPECT_EQ(parseOk(R"(["\ud83d\ude00", "😀"])").asArray()->at(0),
            parseOk(R"(["\ud83d\ude00", "😀"])").asArray()->at(1));
  // An escaped NUL is kept inside the string.
  EXPECT_EQ(*parseOk(R"(["a\u0000b"])").asArray()->at(0).asString(), std::string("a\0b", 3));
}

TEST(JsonParser, KeepsEveryNumberExactly) {
  struct Case {
    const char* text;
    JsonType type;
    const char* rendered;  // Decimal rendering, or the integer's digits
  };
  const Case cases[] = {
      {"0", JsonType::int64, "0"},
      {"-0", JsonType::int64, "0"},
      {"-0.0", JsonType::decimal, "0"},
      {"9223372036854775807", JsonType::int64, "9223372036854775807"},
      {"-9223372036854775808", JsonType::int64, "-9223372036854775808"},
      {"9223372036854775808", JsonType::uint64, "9223372036854775808"},
      {"18446744073709551615", JsonType::uint64, "18446744073709551615"},
      // Beyond 64 bits: exact Decimal, not a rounded double.
      {"18446744073709551616", JsonType::decimal, "18446744073709551616"},
      {"-9223372036854775809", JsonType::decimal, "-9223372036854775809"},
      {"123456789012345678901234567890", JsonType::decimal, "123456789012345678901234567890"},
      {"0.1", JsonType::decimal, "0.1"},
      {"10.25", JsonType::decimal, "10.25"},
      {"1e2", JsonType::decimal, "100"},
      {"3.0", JsonType::decimal, "3"},
      {"123456789012345678901234567.89", JsonType::decimal, "123456789012345678901234567.89"},
      {"-0.00", JsonType::decimal, "0"},
      {"1E400", JsonType::decimal, nullptr},
      {"2.5e-3", JsonType::decimal, "0.0025"},
  };
  for (const auto& c : cases) {
    const std::string text = std::string("[") + c.text + "]";
    const JsonValue value = parseOk(text);
    ASSERT_TRUE(value.isArray()) << text;
    const JsonValue& number = value.asArray()->front();
    EXPECT_EQ(number.type(), c.type) << c.text;
    const std::string expected = c.rendered ? c.rendered : "1" + std::string(400, '0');
    EXPECT_EQ(number.asDecimal()->toString(), expected) << c.text;
  }
  // Integral values of any notation read as integers where they fit.
  const JsonValue object = parseOk(R"({"a": 3, "b": 3.0, "c": 3e0, "d": 2.5, "e": "3"})");
  for (const char* key : {"a", "b", "c"}) {
    EXPECT_EQ(object.asObject()->getInt64(key), 3) << key;
  }
  EXPECT_FALSE(object.asObject()->getInt64("d"));
  EXPECT_FALSE(object.asObject()->getInt64("e"));
  EXPECT_FALSE(object.asObject()->getNumber("e"));
}

TEST(JsonParser, LastDuplicateKeyWins) {
  const JsonValue value = parseOk(R"({"a": 1, "b": 2, "a": 3})");
  const JsonObject& object = *value.asObject();
  ASSERT_EQ(object.size(), 2u);
  EXPECT_EQ(object.begin()->first, "a");  // first position, last value
  EXPECT_EQ(object.getInt64("a"), 3);

  // Large objects take another path to find duplicates; same result.
  std::string text = "{";
  for (int i = 0; i < 100; ++i)
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  text += R"("k7": "again", "k99": null})";
  const JsonValue large = parseOk(text);
  ASSERT_EQ(large.asObject()->size(), 100u);
  EXPECT_EQ(*large.asObject()->getString("k7"), "again");
  EXPECT_TRUE(large.asObject()->find("k99")->isNull());
  EXPECT_EQ(large.asObject()->getInt64("k98"), 98);
  EXPECT_EQ((large.asObject()->begin() + 7)->first, "k7");
}

struct Refusal {
  std::string text;
  std::size_t offset;
  std::string reason;
};

void expectRefusals(const std::vector<Refusal>& refusals, const JsonParseOptions& options = {}) {
  for (const auto& r : refusals) {
    JsonError error;
    EXPECT_FALSE(parseJson(r.text, &error, options)) << "accepted: " << r.text;
    EXPECT_EQ(error.reason, r.reason) << r.text;
    EXPECT_EQ(error.offset, r.offset) << r.text;
    EXPECT_EQ(error.message(), r.reason + " at byte " + std::to_string(r.offset));
    // Without an error record the outcome is the same.
    EXPECT_FALSE(parseJson(r.text, nullptr, options)) << r.text;
  }
}

TEST(JsonParser, RefusesMalformedAndTruncatedText) {
  expectRefusals({
      {"", 0, "empty input"},
      {" \n\t ", 4, "empty input"},
      {"{", 1, "unexpected end of input"},
      {"[1,2", 4, "unexpected end of input"},
      {R"({"a":"abc)", 9, "unexpected end of input"},
      {R"({"a":tru)", 8, "unexpected end of input"},
      {R"({"a":})", 5, "unexpected character"},
      {"[1,]", 3, "unexpected character"},
      {"[01]", 2, "unexpected character"},
      {"[.5]", 1, "unexpected character"},
      {"[+1]", 1, "unexpected character"},
      {"[1.]", 3, "unexpected character"},
      {"[nul]", 1, "unexpected character"},
      {"[NaN]", 1, "unexpected character"},
      {"{'a':1}", 1, "unexpected character"},
      {"{\"a\" 1}", 5, "unexpected character"},
      {"[1] x", 4, "unexpected data after the JSON value"},
      {"{}{}", 2, "unexpected data after the JSON value"},
      {std::string("[1]\0", 4), 3, "unexpected data after the JSON value"},
      {"[\"a\nb\"]", 3, "unescaped control character in a string"},
      {"[\"a\x01\"]", 3, "unescaped control character in a string"},
      {R"(["\x"])", 3, "invalid escape"},
      {R"(["\u12g4"])", 6, "invalid \\u escape"},
      {R"(["\ud800"])", 8, "invalid surrogate escape"},
      {R"(["\udc00"])", 8, "invalid surrogate escape"},
      {R"(["\ud800\u0041"])", 10, "invalid surrogate escape"},
      {"[1e1001]", 1, "number out of range"},
      {"[1, -1e-1001]", 4, "number out of range"},
      {"/* c */ []", 0, "unexpected character"},
  });
}

TEST(JsonParser, RefusesInvalidUtf8) {
  expectRefusals({
      {"[\"a\xff\"]", 3, "invalid UTF-8"},
      {"[\"ab\xc3\"]", 4, "invalid UTF-8"},            // truncated 2-byte sequence
      {"[\"ab\xe2\x82\"]", 4, "invalid UTF-8"},        // truncated 3-byte sequence
      {"[\"\xc0\xaf\"]", 2, "invalid UTF-8"},          // overlong
      {"[\"\xed\xa0\x80\"]", 2, "invalid UTF-8"},      // encoded surrogate
      {"[\"\xf4\x90\x80\x80\"]", 2, "invalid UTF-8"},  // above U+10FFFF
      {"{\"k\x80\":1}", 3, "invalid UTF-8"},           // in a key
      {"[\xe9]", 1, "invalid UTF-8"},                  // stray byte outside a string
  });
}

TEST(JsonParser, RefusesScalarTopLevelUnlessAllowed) {
  expectRefusals({
      {"42", 0, "top-level value is not an object or array"},
      {"  \"x\"", 2, "top-level value is not an object or array"},
      {"true", 0, "top-level value is not an object or array"},
      {"null", 0, "top-level value is not an object or array"},
      {"-1", 0, "top-level value is not an object or array"},
  });
  JsonParseOptions scalars;
  scalars.allowScalarTopLevel = true;
  EXPECT_EQ(parseOk("42", scalars), JsonValue(42));
  EXPECT_EQ(parseOk(" \"x\" ", scalars), JsonValue("x"));
  EXPECT_EQ(parseOk("null", scalars), JsonValue());
  EXPECT_EQ(parseOk("1E400", scalars).type(), JsonType::decimal);
  expectRefusals({{"42 43", 3, "unexpected data after the JSON value"}, {"", 0, "empty input"}},
                 scalars);
}

std::string nested(std::size_t depth, bool objects = false) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i)
    text += objects ? "{\"k\":" : "[";
  text += "0";
  for (std::size_t i = 0; i < depth; ++i)
    text += objects ? "}" : "]";
  return text;
}

TEST(JsonParser, LimitsNestingDepth) {
  EXPECT_TRUE(parseJson(nested(512)));
  EXPECT_TRUE(parseJson(nested(512, true)));
  expectRefusals({
      {nested(513), 512, "nesting deeper than 512 levels"},
      {nested(513, true), 512 * 5, "nesting deeper than 512 levels"},
      {std::string(100000, '['), 512, "nesting deeper than 512 levels"},
  });

  JsonParseOptions shallow;
  shallow.maxDepth = 3;
  EXPECT_TRUE(parseJson("[[{\"a\":1}]]", nullptr, shallow));
  expectRefusals({{"[[[[]]]]", 3, "nesting deeper than 3 levels"}}, shallow);

  // Limits past the ceiling are held to it, so a hostile answer cannot exhaust the stack.
  JsonParseOptions huge;
  huge.maxDepth = 1'000'000;
  const std::size_t ceiling = JsonParseOptions::kDepthCeiling;
  EXPECT_TRUE(parseJson(nested(ceiling), nullptr, huge));
  expectRefusals({{nested(ceiling + 1), ceiling,
                   "nesting deeper than " + std::to_string(ceiling) + " levels"}},
                 huge);
}

TEST(JsonParser, NeverCrashesOnTruncationsOfAValidDocument) {
  const std::string text =
      R"({"a": [1, -2.5e3, "x\u00e9\"", true, false, null, {"b": 18446744073709551616}], "é": {}})";
  ASSERT_TRUE(parseJson(text));
  for (std::size_t length = 0; length < text.size(); ++length) {
    JsonError error;
    EXPECT_FALSE(parseJson(text.substr(0, length), &error)) << length;
    EXPECT_LE(error.offset, length);
    EXPECT_FALSE(error.reason.empty());
  }
}

// Parsing and writing keep no shared state: network completions parse on a background thread
// while the main thread writes request bodies.
TEST(JsonParser, ParsesAndWritesOnSeveralThreadsAtOnce) {
  const std::string text =
      R"({"raw":{"id":123,"status":"approved","amount":10.25,"big":1000000000000000000000000000000},"formatted":{"s":"é"}})";
  const JsonValue expected = parseOk(text);
  std::vector<std::thread> threads;
  std::vector<int> matches(4, 0);
  for (std::size_t t = 0; t < matches.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const auto value = parseJson(text);
        if (value && *value == expected && serializeJson(*value) == text) ++matches[t];
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  for (const int count : matches)
    EXPECT_EQ(count, 50);
}

}  // namespace
}  // namespace korvani
