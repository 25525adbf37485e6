#include "korvani/payment_configuration_manager.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "korvani/auth_code.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/json.hpp"
#include "support/fakes.hpp"
#include "support/json_printing.hpp"
#include "support/process_state.hpp"

namespace korvani {
namespace {

using host::InMemoryCheckoutStore;
using host::makePaymentData;
using host::PaymentChoice;
using test_support::jsonObject;

std::string text(const JsonObject& body) {
  return serializeJson(JsonValue(body)).value_or("?");
}

// Merges the members of `more` into `base`.
JsonObject merged(JsonObject base, const JsonObject& more) {
  for (const auto& [key, value] : more)
    base.set(key, value);
  return base;
}

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { setClock(1700000000.2); }

  static void setClock(double seconds) {
    platform::WallClock::setSource([seconds] { return seconds; });
  }

  // A manager handed `choice` and a store holding `storedCode` under "auth_code", as the
  // component does before every payment.
  PaymentConfigurationManager manager(std::optional<PaymentChoice> choice = {},
                                      std::optional<JsonValue> storedCode = {}) {
    PaymentConfigurationManager made(config);
    auto store = std::make_shared<InMemoryCheckoutStore>();
    if (storedCode) store->setData("auth_code", *storedCode);
    if (choice) made.update(makePaymentData(*choice));
    made.update(store);
    return made;
  }

  std::string key(const PaymentConfigurationManager& made) {
    return made.currentConfiguration().headers->at("X-Idempotency-Key");
  }

  void useFullPurchase() {
    config->checkoutPreference = PaymentPluginPreference::fromJson(jsonObject(R"({
      "id": "pref", "title": "not the item's", "amount": 10.25, "shipping_cost": 4, "marketplace": "NONE",
      "marketplace_fee": 0.5, "operation_type": "regular_payment", "collector_id": 991,
      "differential_pricing_id": 5, "concept_amount": 1.50, "concept_id": "c1",
      "external_reference": "pref-ext", "expires": true, "items": [{"title": "Shoes"}]})"));
    config->merchantOrder = PaymentPluginMerchantOrder::fromJson(jsonObject(R"({
      "id": 18446744073709551615, "preference_id": "p", "notification_url": "https://n",
      "external_reference": "order-ext", "sponsor_id": "sp"})"));
    config->discount =
        PaymentDiscount::fromJson(jsonObject(R"({"campaign_id": 7, "coupon_amount": 12.5})"));
  }

  test_support::ProcessState state;
  std::shared_ptr<PaymentPluginConfiguration> config =
      std::make_shared<PaymentPluginConfiguration>();
};

TEST_F(ManagerTest, HeadersFollowTheConfigurationAtEveryCall) {
  const struct {
    std::optional<std::string> userAgent, appVersion, brixSessionId;
    StringDictionary expectedExtra;
  } cases[] = {
      {{}, {}, {}, {{"X-Platform", "ios"}}},
      {"Agent/1", "7.4", {}, {{"User-Agent", "Agent/1"}}},
      {"Agent/1", {}, "brix", {{"User-Agent", "Agent/1"}, {"X-Brix-Session-Id", "brix"}}},
      {{}, "7.4", {}, {{"X-App-Version", "7.4"}, {"X-Platform", "ios"}}},
      {{}, {}, "", {{"X-Platform", "ios"}, {"X-Brix-Session-Id", ""}}},
  };
  const PaymentConfigurationManager made = manager();
  config->source = "home";
  for (const auto& c : cases) {
    config->userAgent = c.userAgent;
    config->appVersion = c.appVersion;
    config->brixSessionId = c.brixSessionId;
    StringDictionary expected = c.expectedExtra;
    expected["X-Tracking-Id"] =
        "platform:APP, so:ios, version:" + c.appVersion.value_or("") + ", source:home";
    expected["X-Idempotency-Key"] = "-1700000000";
    expected["X-Caller-Scopes"] = "payments";
    EXPECT_EQ(made.currentConfiguration().headers, expected) << c.userAgent.value_or("no agent");
  }
  config->platform = "android";  // members are written as they are
  config->source = "a, b";
  EXPECT_EQ(made.currentConfiguration().headers->at("X-Tracking-Id"),
            "platform:APP, so:android, version:, source:a, b");
  EXPECT_EQ(PaymentConfigurationManager(nullptr).currentConfiguration().headers->at("X-Platform"),
            "ios");
}

TEST_F(ManagerTest, IdempotencyKeyTimePartIsTheCreationTimeRoundedLikePrintf) {
  const struct {
    double seconds;
    const char* key;
  } cases[] = {
      {1700000000.6, "-1700000001"},      {1700000000.5, "-1700000000"},
      {1700000001.5, "-1700000002"},      {1699999999.9999, "-1700000000"},
      {1e22, "-10000000000000000000000"},
  };
  for (const auto& c : cases) {
    setClock(c.seconds);
    const PaymentConfigurationManager made = manager();
    setClock(c.seconds + 100);
    EXPECT_EQ(key(made), c.key) << c.seconds;
  }
}

// The hook digests the pieces of the payment attempt, joined: payment method, issuer, token
// (or else the stored code), amount, marketplace, operation type, collector, installments.
TEST_F(ManagerTest, IdempotencyKeyDigestsThePaymentAttempt) {
  std::string fragment;
  int hookCalls = 0;
  config->sha256 = [&](const std::string& f) -> std::optional<std::string> {
    fragment = f;
    ++hookCalls;
    return "h";
  };
  const JsonValue code = AuthCode("C0DE", true).toDictionary();
  const struct {
    std::optional<PaymentChoice> choice;
    std::optional<JsonValue> storedCode;
    const char* preference;  // JSON or nullptr
    const char* expected;
  } cases[] = {
      {{}, {}, nullptr, ""},
      {PaymentChoice{"P", "credit_card", "I", "T", 3},
       {},
       R"({"amount": 100.5, "marketplace": "M", "operation_type": "O", "collector_id": 42})",
       "PIT100.5MO423"},
      {PaymentChoice{"visa", "credit_card"}, code, nullptr, "visaC0DE"},
      {PaymentChoice{"visa", "credit_card", {}, "T"}, code, nullptr, "visaT"},
      {{}, JsonValue("C0DE"), nullptr, ""},
  };
  for (const auto& c : cases) {
    config->checkoutPreference =
        c.preference ? PaymentPluginPreference::fromJson(jsonObject(c.preference)) : nullptr;
    const PaymentConfigurationManager made = manager(c.choice, c.storedCode);
    hookCalls = 0;
    fragment = "not called";
    const PaymentConfiguration first = made.currentConfiguration();
    EXPECT_EQ(fragment, c.expected);
    EXPECT_EQ(hookCalls, 1) << "one call per request";
    EXPECT_EQ(first.headers->at("X-Idempotency-Key"), "h-1700000000");
    EXPECT_EQ(made.currentConfiguration().body, first.body);
  }

  // Parts the host handed over without identifier count as empty text.
  PaymentConfigurationManager bare(config);
  config->checkoutPreference.reset();
  bare.update(std::make_shared<host::PlainPaymentData>(host::PlainPaymentData::Parts{
      std::make_shared<host::PlainPaymentMethod>(std::nullopt, "credit_card"),
      std::make_shared<host::PlainIssuer>(std::nullopt),
      std::make_shared<host::PlainToken>(std::nullopt),
      std::make_shared<host::PlainPayerCost>(1)}));
  bare.currentConfiguration();
  EXPECT_EQ(fragment, "1");

  // No answer, or a hook that throws, leaves the time part alone; nothing reaches the host.
  config->sha256 = [](const std::string&) -> std::optional<std::string> { return {}; };
  EXPECT_EQ(key(bare), "-1700000000");
  config->sha256 = [](const std::string&) -> std::optional<std::string> {
    throw std::runtime_error("digest unavailable");
  };
  EXPECT_EQ(key(bare), "-1700000000");
}

// The ready hook is the standard digest (two published test vectors) and makes the key's hash
// part from the same fragment a host's own hook would get.
TEST_F(ManagerTest, ReadySha256HookMakesTheHashPart) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  config->sha256 = sha256Hex;
  const PaymentConfigurationManager made =
      manager(PaymentChoice{"visa", "credit_card", "I", "T", 3});
  EXPECT_EQ(key(made), *sha256Hex("visaIT3") + "-1700000000");
}

TEST_F(ManagerTest, BodyForEachKindOfPayment) {
  EXPECT_EQ(text(*manager().currentConfiguration().body), R"({"internal_metadata":{}})");
  config->internalMetadata = jsonObject(R"({"a": [1, {"b": null}], "c": 1.10})");
  useFullPurchase();
  // Numbers exact, identifiers as given, every member in its place.
  EXPECT_EQ(
      text(*manager(PaymentChoice{"123", "credit_card", "0042", "999", 12})
                .currentConfiguration()
                .body),
      R"({"internal_metadata":{"a":[1,{"b":null}],"c":1.10},"description":"Shoes",)"
      R"("transaction_amount":10.25,"marketplace":"NONE","application_fee":0.5,)"
      R"("operation_type":"regular_payment","collector":{"id":991},"differential_pricing_id":5,)"
      R"("concept_amount":1.5,"concept_id":"c1","order":{"id":18446744073709551615,)"
      R"("type":"korvani"},"notification_url":"https://n","external_reference":"order-ext",)"
      R"("sponsor_id":"sp","payment_method_id":"123","installments":12,"token":"999",)"
      R"("issuer_id":"0042","campaign_id":7,"coupon_amount":12.5})");

  const JsonObject purchase = *manager().currentConfiguration().body;
  const JsonObject discount = jsonObject(R"({"campaign_id": 7, "coupon_amount": 12.5})");
  const JsonValue code = AuthCode("AC-1", false).toDictionary();
  const struct {
    const char* name;
    PaymentChoice choice;
    std::optional<JsonValue> stored;
    const char* payment;  // members beside the purchase and the discount
  } cases[] = {
      {"debit card without payer cost",
       {"maestro", "debit_card", "9", "t2"},
       {},
       R"({"payment_method_id": "maestro", "installments": 1, "token": "t2", "issuer_id": "9"})"},
      {"bare credit card",
       {"visa", "credit_card"},
       code,
       R"({"payment_method_id": "visa", "installments": 1})"},
      {"account money with a stored code",
       {"account_money", "credit_card", "1", "tok", 3},
       code,
       R"({"payment_method_id": "account_money", "token": "AC-1"})"},
      {"account money without a code",
       {"account_money", "account_money"},
       {},
       R"({"payment_method_id": "account_money"})"},
      {"another payment type",
       {"rapipago", "ticket", "1", "tok", 3},
       code,
       R"({"payment_method_id": "rapipago"})"},
      {"payment method without identifier",
       {std::nullopt, "debit_card", "1", "t", 2},
       code,
       R"({"installments": 2, "token": "t", "issuer_id": "1"})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(*manager(c.choice, c.stored).currentConfiguration().body,
              merged(merged(purchase, jsonObject(c.payment)), discount))
        << c.name;
  }
  // Without a payment method the discount has nothing to apply to.
  EXPECT_EQ(*manager(PaymentChoice{{}, {}, "1", "t", 2}, code).currentConfiguration().body,
            purchase);
}

TEST_F(ManagerTest, BodyPresenceRulesOfThePurchase) {
  config->internalMetadata.reset();
  const PaymentConfigurationManager made = manager();
  EXPECT_EQ(text(*made.currentConfiguration().body), "{}");
  // The collector is always named; the fee only when it is more than zero.
  for (const auto& [fee, sent] :
       {std::pair{"0", false}, {"-1", false}, {"0.0", false}, {"\"5\"", false}, {"0.01", true}}) {
    config->checkoutPreference = PaymentPluginPreference::fromJson(
        jsonObject(std::string(R"({"marketplace_fee": )") + fee + "}"));
    EXPECT_EQ(text(*made.currentConfiguration().body),
              sent ? R"({"application_fee":0.01,"collector":{"id":null}})"
                   : R"({"collector":{"id":null}})")
        << fee;
  }
}

}  // namespace
}  // namespace korvani
