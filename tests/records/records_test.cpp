// Every JSON-built record, Payment and both authorisation-code forms are checked field by field
// against their reading rules by the records fuzz target, on every seed of its corpus
// (tests/fuzz_regressions); here are the cases the seeds do not hold.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "korvani/auth_code.hpp"
#include "korvani/json.hpp"
#include "korvani/payment.hpp"
#include "korvani/payment_plugin_merchant_order.hpp"
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

// An object that builds no record is not a parse error (text that is not an object builds none
// and says why: the records fuzz target's seeds).
TEST(JsonBuiltRecords, AnObjectWithoutARecordIsNoParseError) {
  JsonError error;
  EXPECT_FALSE(Payment::fromJsonText(R"({"id": "1"})", &error));
  EXPECT_EQ(error.reason, "");
  EXPECT_FALSE(PaymentPluginMerchantOrder::fromJsonText(R"({"id": "1"})", &error));
  EXPECT_EQ(error.reason, "");
}

}  // namespace
}  // namespace korvani
