#include "korvani/auth_code.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

#include "korvani/json.hpp"
#include "support/fakes.hpp"

namespace korvani {
namespace {

JsonObject object(std::string_view text) {
  return test_support::jsonObject(text);
}

TEST(AuthCode, SourceForm) {
  struct Case {
    const char* json;
    std::optional<AuthCode> expected;
  };
  const Case cases[] = {
      {R"({"auth_code": "123", "second_auth_factor": "required"})", AuthCode("123", false)},
      {R"({"auth_code": "123", "second_auth_factor": "REQUIRED"})", AuthCode("123", true)},
      {R"({"auth_code": "123", "second_auth_factor": "required "})", AuthCode("123", true)},
      {R"({"auth_code": "123", "second_auth_factor": "not_required"})", AuthCode("123", true)},
      {R"({"auth_code": "", "second_auth_factor": "", "x": 1})", AuthCode("", true)},
      {R"({"auth_code": "123"})", std::nullopt},
      {R"({"auth_code": "123", "second_auth_factor": false})", std::nullopt},
      {R"({"auth_code": 123, "second_auth_factor": "required"})", std::nullopt},
      {R"({"second_auth_factor": "required"})", std::nullopt},
      {R"({"code": "123", "validated": true})", std::nullopt},  // the stored form
  };
  for (const Case& c : cases)
    EXPECT_EQ(AuthCode::fromDictionary(object(c.json)), c.expected) << c.json;
}

TEST(AuthCode, StoredFormAndRoundTrip) {
  struct Case {
    const char* json;
    std::optional<AuthCode> expected;
  };
  const Case cases[] = {
      {R"({"code": "abc", "validated": true})", AuthCode("abc", true)},
      {R"({"code": "", "validated": false, "other": null})", AuthCode("", false)},
      {R"({"code": "abc", "validated": "true"})", std::nullopt},
      {R"({"code": "abc", "validated": 1})", std::nullopt},
      {R"({"code": "abc"})", std::nullopt},
      {R"({"code": null, "validated": true})", std::nullopt},
      {R"({"auth_code": "abc", "second_auth_factor": "x"})", std::nullopt},  // the source form
  };
  for (const Case& c : cases)
    EXPECT_EQ(AuthCode::fromAuthCode(object(c.json)), c.expected) << c.json;

  for (const AuthCode& code :
       {AuthCode("9876", true), AuthCode("", false), AuthCode("ä\"", true)}) {
    JsonObject stored = code.toDictionary();
    EXPECT_EQ(stored.size(), 2u);
    ASSERT_NE(stored.getString("code"), nullptr);
    EXPECT_EQ(*stored.getString("code"), code.code());
    EXPECT_EQ(stored.getBool("validated"), code.validated());
    EXPECT_EQ(AuthCode::fromAuthCode(stored), code);
  }
}

}  // namespace
}  // namespace korvani
