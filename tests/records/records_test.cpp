// Every JSON-built record, Payment and both authorisation-code forms are checked field by field
// against their reading rules by the records fuzz target, on every seed of its corpus
// (tests/fuzz_regressions); here are the cases the seeds do not hold.

#include <gtest/gtest.h>

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
      {R"({"auth_code": "123", "second_auth_factor": "required "})", AuthCode("123", true), {}},
      {R"({"auth_code": "123", "second_auth_factor": false})", {}, {}},
      {R"({"code": "", "validated": false, "other": null})", {}, AuthCode("", false)},
      {R"({"code": "abc", "validated": 1})", {}, {}},
      {R"({"auth_code": "a", "second_auth_factor": "x", "code": "b", "validated": true})",
       AuthCode("a", true), AuthCode("b", true)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AuthCode::fromDictionary(jsonObject(c.json)), c.fromSource) << c.json;
    EXPECT_EQ(AuthCode::fromAuthCode(jsonObject(c.json)), c.fromStore) << c.json;
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
