#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "korvani/auth_code.hpp"
#include "korvani/json.hpp"
#include "korvani/payment.hpp"
#include "korvani/payment_discount.hpp"
#include "korvani/payment_plugin_merchant_order.hpp"
#include "korvani/payment_plugin_preference.hpp"
#include "support/fakes.hpp"

namespace korvani {
namespace {

using test_support::jsonObject;

// Each object is read in both forms; each form must ignore the other's keys.
TEST(AuthCode, SourceAndStoredForms) {
  const struct {
    const char* json;
    std::optional<AuthCode> fromSource;
    std::optional<AuthCode> fromStore;
  } cases[] = {
      {R"({"auth_code": "123", "second_auth_factor": "required"})", AuthCode("123", false), {}},
      {R"({"auth_code": "123", "second_auth_factor": "REQUIRED"})", AuthCode("123", true), {}},
      {R"({"auth_code": "123", "second_auth_factor": "required "})", AuthCode("123", true), {}},
      {R"({"auth_code": "", "second_auth_factor": "", "x": 1})", AuthCode("", true), {}},
      {R"({"auth_code": "123"})", {}, {}},
      {R"({"auth_code": "123", "second_auth_factor": false})", {}, {}},
      {R"({"auth_code": 123, "second_auth_factor": "required"})", {}, {}},
      {R"({"code": "abc", "validated": true})", {}, AuthCode("abc", true)},
      {R"({"code": "", "validated": false, "other": null})", {}, AuthCode("", false)},
      {R"({"code": "abc", "validated": "true"})", {}, {}},
      {R"({"code": "abc", "validated": 1})", {}, {}},
      {R"({"code": null, "validated": true})", {}, {}},
      {R"({"auth_code": "a", "second_auth_factor": "x", "code": "b", "validated": false})",
       AuthCode("a", true), AuthCode("b", false)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AuthCode::fromDictionary(jsonObject(c.json)), c.fromSource) << c.json;
    EXPECT_EQ(AuthCode::fromAuthCode(jsonObject(c.json)), c.fromStore) << c.json;
  }
  for (const AuthCode& code : {AuthCode("9876", true), AuthCode("ä\"", false)}) {
    const JsonObject stored = code.toDictionary();
    EXPECT_EQ(stored.size(), 2u);
    EXPECT_EQ(AuthCode::fromAuthCode(stored), code);
  }
}

TEST(Payment, NeedsATextStatusAndDetailInsideRawAndKeepsWhatWasSent) {
  for (const char* json : {
           R"({"status": "approved", "status_detail": "ok", "id": 1})",  // not inside raw
           R"({"raw": "x", "status": "approved", "status_detail": "ok"})",
           R"({"raw": [], "status": "approved", "status_detail": "ok"})",
           R"({"raw": {}})",
           R"({"raw": {"status": 1, "status_detail": "ok"}})",
           R"({"raw": {"status": "approved", "status_detail": null}})",
           R"({"raw": {"status": "approved"}, "status_detail": "ok"})",
       }) {
    EXPECT_FALSE(Payment::fromJson(jsonObject(json))) << json;
  }
  const char* raw = R"({"id": 123, "status": " Approved", "status_detail": "", "extra": [1]})";
  auto payment = Payment::fromJson(jsonObject(std::string(R"({"raw": )") + raw +
                                              R"(, "formatted": {"a": "$ 10"}, "status": "x"})"));
  ASSERT_TRUE(payment);
  EXPECT_EQ(payment->status(), " Approved");
  EXPECT_EQ(payment->statusDetail(), "");
  EXPECT_EQ(payment->raw(), jsonObject(raw));
  EXPECT_EQ(payment->formatted(), jsonObject(R"({"a": "$ 10"})"));

  // Only a top-level object counts as "formatted".
  for (const char* formatted : {"null", "[]", "3"}) {
    auto p = Payment::fromJson(
        jsonObject(std::string(R"({"raw": {"status": "s", "status_detail": "d"}, "formatted": )") +
                   formatted + "}"));
    ASSERT_TRUE(p) << formatted;
    EXPECT_FALSE(p->formatted()) << formatted;
  }
  auto nested = Payment::fromJson(
      jsonObject(R"({"raw": {"status": "s", "status_detail": "d", "formatted": {"a": 1}}})"));
  ASSERT_TRUE(nested);
  EXPECT_FALSE(nested->formatted());
}

TEST(Payment, IdAndItsText) {
  const struct {
    const char* id;
    std::optional<std::uint64_t> value;
    std::optional<std::string> text;
  } cases[] = {
      {"0", 0, "0"},         {"18446744073709551615", UINT64_MAX, "18446744073709551615"},
      {"1e3", 1000, "1000"}, {"18446744073709551616", {}, {}},
      {"-1", {}, {}},        {"1.5", {}, {}},
      {R"("42")", {}, {}},   {"null", {}, {}},
  };
  for (const auto& c : cases) {
    auto payment = Payment::fromJson(jsonObject(
        std::string(R"({"raw": {"status": "s", "status_detail": "d", "id": )") + c.id + "}}"));
    ASSERT_TRUE(payment) << c.id;
    EXPECT_EQ(payment->id(), c.value) << c.id;
    EXPECT_EQ(payment->idString(), c.text) << c.id;
  }
}

// Text that is not a JSON object builds no record and says why; an object that builds no
// record is not a parse error.
TEST(JsonBuiltRecords, FromTextBuildsOnlyFromAnObject) {
  using Build = std::function<bool(const char*, JsonError*)>;
  const Build builders[] = {
      [](const char* t, JsonError* e) { return Payment::fromJsonText(t, e).has_value(); },
      [](const char* t, JsonError* e) { return !!PaymentPluginPreference::fromJsonText(t, e); },
      [](const char* t, JsonError* e) { return !!PaymentPluginMerchantOrder::fromJsonText(t, e); },
      [](const char* t, JsonError* e) { return !!PaymentDiscount::fromJsonText(t, e); },
  };
  for (const Build& build : builders) {
    for (const char* text : {R"({"amount": })", "[1, 2]", "7", "{\"id\":1"}) {
      JsonError error;
      EXPECT_FALSE(build(text, &error)) << text;
      EXPECT_FALSE(error.reason.empty()) << text;
    }
    JsonError error;
    build(R"({"id": "1"})", &error);
    EXPECT_TRUE(error.reason.empty());
    EXPECT_TRUE(build(R"({"id": 5, "raw": {"status": "s", "status_detail": "d"}})", nullptr));
  }
}

}  // namespace
}  // namespace korvani
