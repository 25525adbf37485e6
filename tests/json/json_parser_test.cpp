#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "korvani/json.hpp"
#include "support/json_printing.hpp"

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
            "o": {"k": "v"}, "e": "", "\u00e9\n": ["\ud83d\ude00", "😀", "a\u0000b"] } )");
  EXPECT_EQ(serializeJson(value),
            R"({"s":"téxt \"q\" \\ / \n\t","t":true,"f":false,"n":null,"i":-42,)"
            R"("u":18446744073709551615,"d":10.25,"a":[1,"x",[],{}],"o":{"k":"v"},"e":"",)"
            R"("é\n":["😀","😀","a\u0000b"]})");
}

// Each number's value, type and written text against its own text: the json fuzz target's
// checks on the replayed seeds; typed lookups of integral numbers: the records seeds.

TEST(JsonParser, LastDuplicateKeyWins) {
  // First position, last value; an escaped spelling is the same key.
  EXPECT_EQ(serializeJson(parseOk(R"({"a": 1, "b": 2, "a": 3, "\u0062": [4]})")),
            R"({"a":3,"b":[4]})");
  // Large objects find duplicates through an index; same rule.
  std::string text = "{";
  for (int i = 0; i < 100; ++i)
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  text += R"("k7": "again", "\u006b99": null})";
  const JsonValue large = parseOk(text);
  ASSERT_EQ(large.asObject()->size(), 100u);
  EXPECT_EQ(*large.asObject()->getString("k7"), "again");
  EXPECT_TRUE(large.asObject()->find("k99")->isNull());
  EXPECT_EQ(large.asObject()->getInt64("k98"), 98);
  EXPECT_EQ((large.asObject()->begin() + 7)->first, "k7");
}

// Each text marks the offset of the refusal with '^' (removed before parsing).
void expectRefusals(const std::string& reason, const std::vector<std::string>& marked,
                    const JsonParseOptions& options = {}) {
  for (const auto& m : marked) {
    const std::size_t offset = m.find('^');
    ASSERT_NE(offset, std::string::npos) << m;
    const std::string text = m.substr(0, offset) + m.substr(offset + 1);
    JsonError error;
    EXPECT_FALSE(parseJson(text, &error, options)) << "accepted: " << text;
    EXPECT_EQ(error.message(), reason + " at byte " + std::to_string(offset)) << text;
    EXPECT_FALSE(parseJson(text, nullptr, options)) << text;  // same without an error record
  }
}

TEST(JsonParser, RefusesMalformedTruncatedAndBadlyEncodedText) {
  expectRefusals("empty input", {"^", " \n\t ^"});
  expectRefusals("unexpected end of input", {"{^", "[1,2^", R"({"a":"abc^)", R"({"a":tru^)"});
  expectRefusals("unexpected character",
                 {R"({"a":^})", "[1,^]", "[0^1]", "[^.5]", "[^+1]", "[1.^]", "[^nul]", "[^NaN]",
                  "{^'a':1}", "{\"a\" ^1}", "^/* c */ []"});
  expectRefusals("unexpected data after the JSON value",
                 {"[1] ^x", "{}^{}", std::string("[1]^\0", 5)});
  expectRefusals("unescaped control character in a string", {"[\"a^\nb\"]", "[\"a^\x01\"]"});
  expectRefusals("invalid escape", {R"(["\^x"])"});
  expectRefusals("invalid \\u escape", {R"(["\u12^g4"])"});
  expectRefusals("invalid surrogate escape",
                 {R"(["\ud800^"])", R"(["\udc00^"])", R"(["\ud800\u^0041"])"});
  // Truncated, overlong, surrogate and out-of-range sequences, in strings, keys and outside.
  expectRefusals("invalid UTF-8",
                 {"[\"a^\xff\"]", "[\"ab^\xc3\"]", "[\"ab^\xe2\x82\"]", "[\"^\xc0\xaf\"]",
                  "[\"^\xed\xa0\x80\"]", "[\"^\xf4\x90\x80\x80\"]", "{\"k^\x80\":1}", "[^\xe9]"});
}

TEST(JsonParser, RefusesScalarTopLevelUnlessAllowed) {
  expectRefusals("top-level value is not an object or array",
                 {"^42", "  ^\"x\"", "^true", "^null", "^-1"});
  const JsonParseOptions scalars{.allowScalarTopLevel = true};
  EXPECT_EQ(parseOk(" \"x\\n\" ", scalars), JsonValue("x\n"));
  EXPECT_EQ(parseOk("null", scalars), JsonValue());
  expectRefusals("unexpected data after the JSON value", {"42 ^43"}, scalars);
  expectRefusals("empty input", {"^"}, scalars);
}

std::string nested(std::size_t depth, bool objects = false) {
  std::string text = "0";
  for (std::size_t i = 0; i < depth; ++i)
    text = (objects ? "{\"k\":" : "[") + text + (objects ? "}" : "]");
  return text;
}

std::string markAt(std::string text, std::size_t offset) {
  return text.insert(offset, 1, '^');
}

TEST(JsonParser, LimitsNestingDepth) {
  EXPECT_TRUE(parseJson(nested(512)) && parseJson(nested(512, true)));
  expectRefusals("nesting deeper than 512 levels",
                 {markAt(nested(513), 512), markAt(nested(513, true), 512 * 5),
                  markAt(std::string(100000, '['), 512)});
  const JsonParseOptions shallow{.maxDepth = 3};
  EXPECT_TRUE(parseJson("[[{\"a\":1}]]", nullptr, shallow));
  expectRefusals("nesting deeper than 3 levels", {"[[[^[]]]]"}, shallow);
  // Limits past the ceiling are held to it, so a hostile answer cannot exhaust the stack.
  const JsonParseOptions huge{.maxDepth = 1'000'000};
  const std::size_t ceiling = JsonParseOptions::kDepthCeiling;
  EXPECT_TRUE(parseJson(nested(ceiling), nullptr, huge));
  expectRefusals("nesting deeper than " + std::to_string(ceiling) + " levels",
                 {markAt(nested(ceiling + 1), ceiling)}, huge);
}

TEST(JsonParser, RefusesEveryTruncation) {
  const std::string text =
      R"({"a": [1, -2.5e3, "x\u00e9\"", true, false, null, {"b": 18446744073709551616}], "é": {}})";
  parseOk(text);
  for (std::size_t length = 0; length < text.size(); ++length) {
    JsonError error;
    EXPECT_FALSE(parseJson(text.substr(0, length), &error)) << length;
    EXPECT_LE(error.offset, length);
    EXPECT_FALSE(error.reason.empty());
  }
}

}  // namespace
}  // namespace korvani
