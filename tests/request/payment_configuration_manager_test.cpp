#include "korvani/payment_configuration_manager.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "korvani/auth_code.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/json.hpp"
#include "korvani/platform/clock.hpp"
#include "support/fakes.hpp"

namespace korvani {

// Readable failure messages for bodies.
void PrintTo(const JsonObject& object, std::ostream* out) {
  *out << serializeJson(JsonValue(object)).value_or("<not serializable>");
}

namespace {

using host::InMemoryCheckoutStore;
using host::makePaymentData;
using host::PaymentChoice;

JsonObject object(std::string_view text) {
  return test_support::jsonObject(text);
}

// Merges the members of `more` into `base`.
JsonObject merged(JsonObject base, const JsonObject& more) {
  for (const auto& [key, value] : more)
    base.set(key, value);
  return base;
}

std::string text(const JsonObject& body) {
  return serializeJson(JsonValue(body)).value_or("?");
}

// Wraps a store to count how often the plug-in asks it for a key.
class CountingStore final : public host::VQCheckoutStore {
 public:
  std::shared_ptr<host::PaymentData> currentPaymentData() const override {
    return inner.currentPaymentData();
  }
  std::optional<JsonValue> getData(std::string_view forKey) const override {
    ++lookups;
    return inner.getData(forKey);
  }
  InMemoryCheckoutStore inner;
  mutable int lookups = 0;
};

class ManagerTest : public ::testing::Test {
 protected:
  static constexpr double kCreation = 1700000000.2;

  void SetUp() override { setClock(kCreation); }
  void TearDown() override { platform::WallClock::setSource({}); }

  static void setClock(double seconds) {
    platform::WallClock::setSource([seconds] { return seconds; });
  }

  PaymentConfigurationManager makeManager() { return PaymentConfigurationManager(config); }

  // Stores a second-factor code in the stored form the checkout keeps.
  void storeCode(const AuthCode& code) { store->setData("auth_code", code.toDictionary()); }

  void useFullPurchase() {
    config->checkoutPreference = PaymentPluginPreference::fromJson(object(R"({
      "id": "pref", "title": "not the item's", "amount": 10.25, "shipping_cost": 4, "marketplace": "NONE",
      "marketplace_fee": 0.5, "operation_type": "regular_payment", "collector_id": 991,
      "differential_pricing_id": 5, "concept_amount": 1.50, "concept_id": "c1",
      "external_reference": "pref-ext", "expires": true,
      "items": [{"title": "Shoes", "quantity": 2, "currency_id": "ARS"}]})"));
    config->merchantOrder = PaymentPluginMerchantOrder::fromJson(object(R"({
      "id": 18446744073709551615, "preference_id": "p", "notification_url": "https://n",
      "external_reference": "order-ext", "sponsor_id": "sp"})"));
    config->discount = PaymentDiscount::fromJson(object(R"({"campaign_id": 7,
                                                            "coupon_amount": 12.5})"));
  }

  std::shared_ptr<PaymentPluginConfiguration> config =
      std::make_shared<PaymentPluginConfiguration>();
  std::shared_ptr<InMemoryCheckoutStore> store = std::make_shared<InMemoryCheckoutStore>();
};

TEST_F(ManagerTest, DefaultConfiguration) {
  PaymentConfigurationManager manager = makeManager();
  EXPECT_EQ(manager.timeStamp(), kCreation);
  PaymentConfiguration result = manager.currentConfiguration();
  EXPECT_FALSE(result.baseUrl || result.path || result.accessToken);
  ASSERT_TRUE(result.headers);
  EXPECT_EQ(*result.headers, (StringDictionary{
                                 {"X-Tracking-Id", "platform:APP, so:ios, version:, source:"},
                                 {"X-Idempotency-Key", "-1700000000"},
                                 {"X-Caller-Scopes", "payments"},
                                 {"X-Platform", "ios"},
                             }));
  ASSERT_TRUE(result.body);
  EXPECT_EQ(text(*result.body), R"({"internal_metadata":{}})");

  config->internalMetadata.reset();
  EXPECT_EQ(text(*manager.currentConfiguration().body), "{}");
  config->internalMetadata = object(R"({"a": [1, {"b": null}], "c": 1.10})");
  EXPECT_EQ(*manager.currentConfiguration().body->getObject("internal_metadata"),
            object(R"({"a": [1, {"b": null}], "c": 1.1})"));

  PaymentConfigurationManager withoutConfiguration(nullptr);
  EXPECT_EQ(withoutConfiguration.currentConfiguration().headers->at("X-Platform"), "ios");
}

TEST_F(ManagerTest, UrlPartsAreReadAtEveryCall) {
  PaymentConfigurationManager manager = makeManager();
  config->baseUrl = "https://api.example";
  config->path = "";
  config->accessToken = "APP_USR-1";
  PaymentConfiguration first = manager.currentConfiguration();
  EXPECT_EQ(first.baseUrl, "https://api.example");
  EXPECT_EQ(first.path, "");
  EXPECT_EQ(first.accessToken, "APP_USR-1");

  config->baseUrl.reset();
  config->path = "/v1/payments";
  config->siteId = "MLA";  // held for the host only
  PaymentConfiguration second = manager.currentConfiguration();
  EXPECT_FALSE(second.baseUrl);
  EXPECT_EQ(second.path, "/v1/payments");
  EXPECT_EQ(second.headers, first.headers);
  EXPECT_EQ(second.body, first.body);
}

TEST_F(ManagerTest, HeaderSetDependsOnUserAgent) {
  struct Case {
    std::optional<std::string> userAgent;
    std::optional<std::string> appVersion;
    std::optional<std::string> brixSessionId;
    StringDictionary expectedExtra;
  };
  const Case cases[] = {
      {"Agent/1", "7.4", std::nullopt, {{"User-Agent", "Agent/1"}}},
      {"Agent/1", std::nullopt, "brix", {{"User-Agent", "Agent/1"}, {"X-Brix-Session-Id", "brix"}}},
      {std::nullopt, "7.4", std::nullopt, {{"X-App-Version", "7.4"}, {"X-Platform", "ios"}}},
      {std::nullopt, std::nullopt, "", {{"X-Platform", "ios"}, {"X-Brix-Session-Id", ""}}},
  };
  for (const Case& c : cases) {
    config->userAgent = c.userAgent;
    config->appVersion = c.appVersion;
    config->brixSessionId = c.brixSessionId;
    StringDictionary expected = c.expectedExtra;
    expected["X-Tracking-Id"] = config->xTrackingId();
    expected["X-Idempotency-Key"] = "-1700000000";
    expected["X-Caller-Scopes"] = "payments";
    EXPECT_EQ(makeManager().currentConfiguration().headers, expected)
        << c.userAgent.value_or("no agent") << " / " << c.appVersion.value_or("no version");
  }
}

TEST_F(ManagerTest, IdempotencyKeyTimePartRoundsLikePrintf) {
  struct Case {
    double seconds;
    const char* key;
  };
  const Case cases[] = {
      {1700000000.2, "-1700000000"},
      {1700000000.6, "-1700000001"},
      {1700000000.5, "-1700000000"},
      {1700000001.5, "-1700000002"},
      {0.5, "-0"},
      {2.5, "-2"},
      {3.5, "-4"},
      {1699999999.9999, "-1700000000"},
  };
  for (const Case& c : cases) {
    setClock(c.seconds);
    PaymentConfigurationManager manager = makeManager();
    setClock(c.seconds + 100);  // fixed at creation, whatever the clock says later
    EXPECT_EQ(manager.currentConfiguration().headers->at("X-Idempotency-Key"), c.key) << c.seconds;
  }
}

TEST_F(ManagerTest, HookDigestsTheFragment) {
  std::vector<std::string> fragments;
  std::optional<std::string> answer = "digest";
  config->sha256 = [&](const std::string& fragment) {
    fragments.push_back(fragment);
    return answer;
  };
  config->checkoutPreference = PaymentPluginPreference::fromJson(
      object(R"({"amount": 100.5, "marketplace": "M", "operation_type": "O",
                 "collector_id": 42})"));
  PaymentConfigurationManager manager = makeManager();
  manager.update(makePaymentData(PaymentChoice{"P", "credit_card", "I", "T", 3}));
  manager.update(store);

  EXPECT_EQ(manager.currentConfiguration().headers->at("X-Idempotency-Key"), "digest-1700000000");
  EXPECT_EQ(fragments, std::vector<std::string>{"PIT100.5MO423"});

  answer.reset();  // no answer counts as the empty hash part
  EXPECT_EQ(manager.currentConfiguration().headers->at("X-Idempotency-Key"), "-1700000000");
  EXPECT_EQ(fragments.size(), 2u) << "one call per request";

  // A failing host hook must not take the checkout down with it.
  config->sha256 = [](const std::string&) -> std::optional<std::string> {
    throw std::runtime_error("digest unavailable");
  };
  std::optional<PaymentConfiguration> built;
  EXPECT_NO_THROW(built = manager.currentConfiguration());
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(built->headers->at("X-Idempotency-Key"), "-1700000000");
}

TEST_F(ManagerTest, FragmentPieces) {
  std::string fragment;
  config->sha256 = [&](const std::string& f) -> std::optional<std::string> {
    fragment = f;
    return "h";
  };
  struct Case {
    const char* name;
    std::optional<PaymentChoice> choice;
    std::optional<AuthCode> storedCode;
    const char* preference;  // JSON or nullptr
    const char* expected;
  };
  const Case cases[] = {
      {"nothing", std::nullopt, std::nullopt, nullptr, ""},
      {"stored code for a card without token", PaymentChoice{"visa", "credit_card"},
       AuthCode("C0DE", true), nullptr, "visaC0DE"},
      {"token wins over stored code", PaymentChoice{"visa", "credit_card", std::nullopt, "T"},
       AuthCode("C0DE", false), nullptr, "visaT"},
      {"stored code without payment data", std::nullopt, AuthCode("C0DE", false), nullptr, "C0DE"},
      {"preference without marketplace and operation type",
       PaymentChoice{"P", "credit_card", "I", "T", 6}, std::nullopt,
       R"({"amount": 10, "collector_id": -5})", "PIT10-56"},
      {"preference with nothing set", std::nullopt, std::nullopt, "{}", ""},
      {"no default installments", PaymentChoice{"P", "debit_card"}, std::nullopt,
       R"({"amount": 2.50})", "P2.5"},
  };
  for (const Case& c : cases) {
    auto caseStore = std::make_shared<InMemoryCheckoutStore>();
    if (c.storedCode) caseStore->setData("auth_code", c.storedCode->toDictionary());
    config->checkoutPreference =
        c.preference ? PaymentPluginPreference::fromJson(object(c.preference)) : nullptr;
    PaymentConfigurationManager manager = makeManager();
    if (c.choice) manager.update(makePaymentData(*c.choice));
    manager.update(caseStore);
    fragment = "not called";
    manager.currentConfiguration();
    EXPECT_EQ(fragment, c.expected) << c.name;
  }

  // Parts the host handed over without identifier count as empty text.
  PaymentConfigurationManager manager = makeManager();
  config->checkoutPreference.reset();
  manager.update(std::make_shared<host::PlainPaymentData>(host::PlainPaymentData::Parts{
      std::make_shared<host::PlainPaymentMethod>(std::nullopt, "credit_card"),
      std::make_shared<host::PlainIssuer>(std::nullopt),
      std::make_shared<host::PlainToken>(std::nullopt),
      std::make_shared<host::PlainPayerCost>(1)}));
  manager.currentConfiguration();
  EXPECT_EQ(fragment, "1");
}

TEST_F(ManagerTest, KeyIsStableAndFollowsEveryFragmentPiece) {
  config->sha256 = [](const std::string& fragment) -> std::optional<std::string> {
    return std::to_string(std::hash<std::string>{}(fragment));
  };
  const char* basePreference =
      R"({"amount": 100.5, "marketplace": "M", "operation_type": "O", "collector_id": 42})";
  const PaymentChoice baseChoice{"P", "credit_card", "I", "T", 3};

  auto keyFor = [&](const PaymentChoice& choice, const char* preference,
                    std::optional<std::string> storedCode) {
    config->checkoutPreference = PaymentPluginPreference::fromJson(object(preference));
    auto caseStore = std::make_shared<InMemoryCheckoutStore>();
    if (storedCode) caseStore->setData("auth_code", AuthCode(*storedCode, true).toDictionary());
    PaymentConfigurationManager manager = makeManager();
    manager.update(makePaymentData(choice));
    manager.update(caseStore);
    PaymentConfiguration first = manager.currentConfiguration();
    PaymentConfiguration second = manager.currentConfiguration();
    EXPECT_EQ(first.headers, second.headers);
    EXPECT_EQ(first.body, second.body);
    return first.headers->at("X-Idempotency-Key");
  };

  const std::string base = keyFor(baseChoice, basePreference, std::nullopt);
  EXPECT_EQ(keyFor(baseChoice, basePreference, std::nullopt), base) << "a new manager, same second";

  PaymentChoice noToken = baseChoice;
  noToken.tokenId.reset();
  EXPECT_NE(keyFor(noToken, basePreference, "code-1"), keyFor(noToken, basePreference, "code-2"));

  struct Variation {
    const char* name;
    std::function<void(PaymentChoice&)> change;
    const char* preference;
  };
  const Variation variations[] = {
      {"payment method", [](PaymentChoice& c) { c.paymentMethodId = "Q"; }, basePreference},
      {"issuer", [](PaymentChoice& c) { c.issuerId = "J"; }, basePreference},
      {"token", [](PaymentChoice& c) { c.tokenId = "U"; }, basePreference},
      {"installments", [](PaymentChoice& c) { c.installments = 6; }, basePreference},
      {"amount", [](PaymentChoice&) {},
       R"({"amount": 100.51, "marketplace": "M", "operation_type": "O", "collector_id": 42})"},
      {"marketplace", [](PaymentChoice&) {},
       R"({"amount": 100.5, "marketplace": "N", "operation_type": "O", "collector_id": 42})"},
      {"operation type", [](PaymentChoice&) {},
       R"({"amount": 100.5, "marketplace": "M", "operation_type": "X", "collector_id": 42})"},
      {"collector", [](PaymentChoice&) {},
       R"({"amount": 100.5, "marketplace": "M", "operation_type": "O", "collector_id": 43})"},
  };
  for (const Variation& v : variations) {
    PaymentChoice choice = baseChoice;
    v.change(choice);
    EXPECT_NE(keyFor(choice, v.preference, std::nullopt), base) << v.name;
  }
}

TEST_F(ManagerTest, FragmentIsOnlyBuiltForAHook) {
  auto counting = std::make_shared<CountingStore>();
  counting->inner.setData("auth_code", AuthCode("c", true).toDictionary());
  PaymentConfigurationManager manager = makeManager();
  manager.update(makePaymentData(PaymentChoice{"visa", "credit_card"}));
  manager.update(counting);

  manager.currentConfiguration();
  EXPECT_EQ(counting->lookups, 0) << "a card body never reads the store; nor may the key";

  int hookCalls = 0;
  config->sha256 = [&](const std::string&) -> std::optional<std::string> {
    ++hookCalls;
    return "h";
  };
  EXPECT_EQ(manager.currentConfiguration().headers->at("X-Idempotency-Key"), "h-1700000000");
  EXPECT_EQ(counting->lookups, 1);
  EXPECT_EQ(hookCalls, 1);
}

TEST_F(ManagerTest, BodyForEachKindOfPayment) {
  useFullPurchase();
  const JsonObject purchase = object(R"({
    "internal_metadata": {}, "description": "Shoes", "transaction_amount": 10.25,
    "marketplace": "NONE", "application_fee": 0.5, "operation_type": "regular_payment",
    "collector": {"id": 991}, "differential_pricing_id": 5, "concept_amount": 1.5,
    "concept_id": "c1", "order": {"id": 18446744073709551615, "type": "korvani"},
    "notification_url": "https://n", "external_reference": "order-ext", "sponsor_id": "sp"})");
  const JsonObject discount = object(R"({"campaign_id": 7, "coupon_amount": 12.5})");

  struct Case {
    const char* name;
    PaymentChoice choice;
    std::optional<JsonValue> stored;
    const char* payment;  // expected members beside the purchase; discount added unless null
    bool withDiscount = true;
  };
  const JsonValue goodCode = AuthCode("AC-1", false).toDictionary();
  const Case cases[] = {
      {"credit card",
       {"visa", "credit_card", "123", "tok", 6},
       std::nullopt,
       R"({"payment_method_id": "visa", "installments": 6, "token": "tok", "issuer_id": "123"})"},
      {"debit card without payer cost",
       {"maestro", "debit_card", "9", "t2"},
       std::nullopt,
       R"({"payment_method_id": "maestro", "installments": 1, "token": "t2", "issuer_id": "9"})"},
      {"bare credit card",
       {"visa", "credit_card"},
       goodCode,
       R"({"payment_method_id": "visa", "installments": 1})"},
      {"account money with a stored code",
       {"account_money", "credit_card", "1", "tok", 3},
       goodCode,
       R"({"payment_method_id": "account_money", "token": "AC-1"})"},
      {"account money without a code",
       {"account_money", "account_money"},
       std::nullopt,
       R"({"payment_method_id": "account_money"})"},
      {"account money with an unusable code",
       {"account_money"},
       object(R"({"code": "AC-1", "validated": "false"})"),
       R"({"payment_method_id": "account_money"})"},
      {"account money with a code that is not an object",
       {"account_money"},
       JsonValue("AC-1"),
       R"({"payment_method_id": "account_money"})"},
      {"another payment type",
       {"rapipago", "ticket", "1", "tok", 3},
       goodCode,
       R"({"payment_method_id": "rapipago"})"},
      {"payment method without identifier",
       {std::nullopt, "debit_card", "1", "t", 2},
       goodCode,
       R"({"installments": 2, "token": "t", "issuer_id": "1"})"},
      {"no payment method", {std::nullopt, std::nullopt, "1", "t", 2}, goodCode, "{}", false},
  };
  for (const Case& c : cases) {
    auto caseStore = std::make_shared<InMemoryCheckoutStore>();
    if (c.stored) caseStore->setData("auth_code", *c.stored);
    PaymentConfigurationManager manager = makeManager();
    manager.update(makePaymentData(c.choice));
    manager.update(caseStore);
    JsonObject expected = merged(purchase, object(c.payment));
    if (c.withDiscount) expected = merged(expected, discount);
    JsonObject body = *manager.currentConfiguration().body;
    EXPECT_EQ(body, expected) << c.name;
  }

  // Without a store the account-money body goes without a code.
  PaymentConfigurationManager manager = makeManager();
  manager.update(makePaymentData(PaymentChoice{"account_money"}));
  EXPECT_EQ(
      *manager.currentConfiguration().body,
      merged(merged(purchase, object(R"({"payment_method_id": "account_money"})")), discount));
}

TEST_F(ManagerTest, BodyTextKeepsNumbersExactAndIdentifiersAsText) {
  useFullPurchase();
  PaymentConfigurationManager manager = makeManager();
  manager.update(makePaymentData(PaymentChoice{"123", "credit_card", "0042", "999", 12}));
  const std::string body = text(*manager.currentConfiguration().body);
  for (const char* member : {
           R"("transaction_amount":10.25)",
           R"("application_fee":0.5)",
           R"("concept_amount":1.5)",
           R"("coupon_amount":12.5)",
           R"("collector":{"id":991})",
           R"("order":{"id":18446744073709551615,"type":"korvani"})",
           R"("payment_method_id":"123")",
           R"("issuer_id":"0042")",
           R"("token":"999")",
           R"("installments":12)",
       }) {
    EXPECT_NE(body.find(member), std::string::npos) << member << " missing in " << body;
  }
}

TEST_F(ManagerTest, BodyPresenceRulesOfThePurchase) {
  PaymentConfigurationManager manager = makeManager();
  config->internalMetadata.reset();

  config->checkoutPreference = PaymentPluginPreference::fromJson(object(R"({"amount": 10.25})"));
  EXPECT_EQ(text(*manager.currentConfiguration().body),
            R"({"transaction_amount":10.25,"collector":{"id":null}})");

  struct FeeCase {
    const char* fee;
    bool sent;
  };
  for (const FeeCase& c : {FeeCase{"0", false}, FeeCase{"-1", false}, FeeCase{"0.01", true},
                           FeeCase{"0.0", false}, FeeCase{"\"5\"", false}}) {
    config->checkoutPreference = PaymentPluginPreference::fromJson(
        object(std::string(R"({"marketplace_fee": )") + c.fee + "}"));
    const JsonObject body = *manager.currentConfiguration().body;
    EXPECT_EQ(body.contains("application_fee"), c.sent) << c.fee;
    if (c.sent) {
      EXPECT_EQ(text(body), R"({"application_fee":0.01,"collector":{"id":null}})");
    }
  }

  config->checkoutPreference.reset();
  config->merchantOrder = PaymentPluginMerchantOrder::fromJson(object(R"({"id": 0})"));
  config->discount = PaymentDiscount::fromJson(object(R"({"campaign_id": 1})"));
  EXPECT_EQ(text(*manager.currentConfiguration().body), R"({"order":{"id":0,"type":"korvani"}})")
      << "no payment method: the discount stays home";
}

}  // namespace
}  // namespace korvani
