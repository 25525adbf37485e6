#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvani/decimal.hpp"
#include "korvani/json.hpp"
#include "korvani/payment_discount.hpp"
#include "korvani/payment_plugin_merchant_order.hpp"
#include "korvani/payment_plugin_preference.hpp"
#include "support/fakes.hpp"

namespace korvani {
namespace {

JsonObject object(std::string_view text) {
  return test_support::jsonObject(text);
}

Decimal dec(std::string_view text) {
  return Decimal::fromString(text).value();
}

std::shared_ptr<PaymentPluginPreference> preferenceFrom(std::string_view text) {
  auto preference = PaymentPluginPreference::fromJson(object(text));
  EXPECT_NE(preference, nullptr) << text;
  return preference;
}

TEST(PaymentPluginPreference, ReadsEveryMemberFromItsKey) {
  auto p = preferenceFrom(R"({
    "id": "pref-1", "amount": 10.25, "shipping_cost": 3, "collector_id": 991,
    "marketplace_fee": 0.5, "operation_type": "regular_payment", "external_reference": "ext",
    "order_id": "o-7", "marketplace": "NONE", "expiration_date_from": "2024-01-01T00:00:00Z",
    "expiration_date_to": "2024-02-01", "expires": true, "differential_pricing_id": -12,
    "concept_amount": 99.99, "concept_id": "c-1", "unknown": [1, 2],
    "items": [{"picture_url": "https://pic", "title": " Shoes ", "quantity": 3,
               "currency_id": "ARS", "amount": 777},
              {"title": "second item"}]})");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->id, "pref-1");
  EXPECT_EQ(p->pictureUrl, "https://pic");
  EXPECT_EQ(p->title, " Shoes ");  // not trimmed
  EXPECT_EQ(p->quantity, 3);
  EXPECT_EQ(p->currencyId, "ARS");
  EXPECT_EQ(p->amount, dec("10.25"));  // the top-level amount, not the item's
  EXPECT_EQ(p->amount->toString(), "10.25");
  EXPECT_EQ(p->shippingCost, dec("3"));
  EXPECT_EQ(p->collectorId, 991);
  EXPECT_EQ(p->marketplaceFee, dec("0.5"));
  EXPECT_EQ(p->operationType, "regular_payment");
  EXPECT_EQ(p->externalReference, "ext");
  EXPECT_EQ(p->orderId, "o-7");
  EXPECT_EQ(p->marketplace, "NONE");
  EXPECT_EQ(p->expirationDateFrom, "2024-01-01T00:00:00Z");
  EXPECT_EQ(p->expirationDateTo, "2024-02-01");
  EXPECT_EQ(p->expires, true);
  EXPECT_EQ(p->differentialPricingId, -12);
  EXPECT_EQ(p->conceptAmount, dec("99.99"));
  EXPECT_EQ(p->conceptId, "c-1");
}

TEST(PaymentPluginPreference, EmptyOrMissingObject) {
  EXPECT_EQ(PaymentPluginPreference::fromJson(std::optional<JsonObject>()), nullptr);
  auto p = PaymentPluginPreference::fromJson(std::optional<JsonObject>(JsonObject{}));
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(p->id || p->pictureUrl || p->title || p->amount || p->shippingCost || p->quantity ||
               p->currencyId || p->collectorId || p->marketplaceFee || p->operationType ||
               p->externalReference || p->orderId || p->marketplace || p->expirationDateFrom ||
               p->expirationDateTo || p->expires || p->differentialPricingId || p->conceptAmount ||
               p->conceptId);
}

// Each member's rule, tried with the JSON values it must take and those it must refuse.
TEST(PaymentPluginPreference, ConversionRulesPerType) {
  using Probe = std::function<bool(const PaymentPluginPreference&)>;
  struct Case {
    const char* key;
    Probe isSet;
    std::vector<const char*> accepted;
    std::vector<const char*> refused;
  };
  const std::vector<const char*> notText = {"5", "true", "null", "[]", "{}"};
  const std::vector<Case> cases = {
      {"id", [](auto& p) { return p.id.has_value(); }, {R"("")", R"("a")"}, notText},
      {"marketplace", [](auto& p) { return p.marketplace.has_value(); }, {R"("M")"}, notText},
      {"concept_id", [](auto& p) { return p.conceptId.has_value(); }, {R"("c")"}, notText},
      {"collector_id",
       [](auto& p) { return p.collectorId.has_value(); },
       {"0", "-4", "3.0", "9223372036854775807", "-9223372036854775808"},
       {"2.5", R"("42")", "null", "true", "9223372036854775808", "{}"}},
      {"differential_pricing_id",
       [](auto& p) { return p.differentialPricingId.has_value(); },
       {"7", "1e3"},
       {"7.5", R"("7")", "null", "false", "[7]"}},
      {"amount",
       [](auto& p) { return p.amount.has_value(); },
       {"100", "10.25", "-0.5", "1e2", "123456789012345678901234567890"},
       {R"("100")", "null", "true", "[]", "{}"}},
      {"concept_amount", [](auto& p) { return p.conceptAmount.has_value(); }, {"0"}, {R"("1")"}},
      {"expires",
       [](auto& p) { return p.expires.has_value(); },
       {"true", "false"},
       {R"("true")", "1", "null"}},
  };
  for (const Case& c : cases) {
    for (const char* value : c.accepted) {
      auto p = preferenceFrom(std::string("{\"") + c.key + "\":" + value + "}");
      EXPECT_TRUE(p && c.isSet(*p)) << c.key << " should accept " << value;
    }
    for (const char* value : c.refused) {
      auto p = preferenceFrom(std::string("{\"") + c.key + "\":" + value + "}");
      EXPECT_TRUE(p && !c.isSet(*p)) << c.key << " should refuse " << value;
    }
  }
  // Values are exact, including the ones a double would not hold.
  EXPECT_EQ(preferenceFrom(R"({"amount": 0.1})")->amount->toString(), "0.1");
  EXPECT_EQ(preferenceFrom(R"({"amount": 123456789012345678901234567890})")->amount->toString(),
            "123456789012345678901234567890");
  EXPECT_EQ(preferenceFrom(R"({"collector_id": 3.0})")->collectorId, 3);
}

TEST(PaymentPluginPreference, OnlyTheFirstOfAnArrayOfObjectsIsRead) {
  struct Case {
    const char* items;
    std::optional<std::string> title;
  };
  const Case cases[] = {
      {R"([{"title": "a"}, {"title": "b"}])", "a"},
      {R"([{"quantity": 2}, {"title": "b"}])", std::nullopt},
      {R"([])", std::nullopt},
      {R"([{"title": "a"}, "b"])", std::nullopt},  // one element is not an object
      {R"({"title": "a"})", std::nullopt},
      {R"("a")", std::nullopt},
      {R"(null)", std::nullopt},
  };
  for (const Case& c : cases) {
    auto p = preferenceFrom(std::string(R"({"marketplace": "M", "items": )") + c.items + "}");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->title, c.title) << c.items;
    EXPECT_EQ(p->marketplace, "M") << "a bad items value spoils nothing else: " << c.items;
  }
  auto p = preferenceFrom(
      R"({"items": [{"quantity": 2.5, "currency_id": 5, "picture_url": "p", "amount": 9}]})");
  EXPECT_FALSE(p->quantity);
  EXPECT_FALSE(p->currencyId);
  EXPECT_EQ(p->pictureUrl, "p");
  EXPECT_FALSE(p->amount);
}

TEST(PaymentPluginMerchantOrder, IdDecidesWhetherTheOrderExists) {
  struct Case {
    const char* json;
    std::optional<std::uint64_t> id;
  };
  const Case cases[] = {
      {R"({"id": 42})", 42},
      {R"({"id": 0})", 0},
      {R"({"id": 18446744073709551615})", UINT64_MAX},
      {R"({"id": 42.0})", 42},
      {R"({"id": 18446744073709551616})", std::nullopt},
      {R"({"id": -1})", std::nullopt},
      {R"({"id": 1.5})", std::nullopt},
      {R"({"id": "42"})", std::nullopt},
      {R"({"id": null})", std::nullopt},
      {R"({"preference_id": "p"})", std::nullopt},
      {R"({})", std::nullopt},
  };
  for (const Case& c : cases) {
    auto order = PaymentPluginMerchantOrder::fromJson(object(c.json));
    if (c.id) {
      ASSERT_NE(order, nullptr) << c.json;
      EXPECT_EQ(order->id(), *c.id) << c.json;
    } else {
      EXPECT_EQ(order, nullptr) << c.json;
    }
  }
  EXPECT_EQ(PaymentPluginMerchantOrder::fromJson(std::optional<JsonObject>()), nullptr);
}

TEST(PaymentPluginMerchantOrder, TextsFollowTheTextRule) {
  auto bare = PaymentPluginMerchantOrder::fromJson(object(R"({"id": 42})"));
  ASSERT_NE(bare, nullptr);
  EXPECT_FALSE(bare->preferenceId() || bare->notificationUrl() || bare->externalReference() ||
               bare->sponsorId());

  auto order = PaymentPluginMerchantOrder::fromJson(object(
      R"({"id": 7, "preference_id": "p", "notification_url": "https://n",
          "external_reference": "", "sponsor_id": 123})"));
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(order->preferenceId(), "p");
  EXPECT_EQ(order->notificationUrl(), "https://n");
  EXPECT_EQ(order->externalReference(), "");
  EXPECT_FALSE(order->sponsorId());  // a number is not text
}

TEST(PaymentDiscount, ReadsCampaignAndCoupon) {
  struct Case {
    const char* json;
    std::optional<std::int64_t> campaignId;
    std::optional<std::string> couponAmount;
  };
  const Case cases[] = {
      {R"({})", std::nullopt, std::nullopt},
      {R"({"campaign_id": 7, "coupon_amount": 15})", 7, "15"},
      {R"({"campaign_id": 7.5, "coupon_amount": 12.5})", std::nullopt, "12.5"},
      {R"({"campaign_id": "7", "coupon_amount": "15"})", std::nullopt, std::nullopt},
      {R"({"campaign_id": null, "coupon_amount": null})", std::nullopt, std::nullopt},
      {R"({"campaign_id": -3, "coupon_amount": 0.10})", -3, "0.1"},
  };
  for (const Case& c : cases) {
    auto discount = PaymentDiscount::fromJson(object(c.json));
    ASSERT_NE(discount, nullptr) << c.json;
    EXPECT_EQ(discount->campaignId, c.campaignId) << c.json;
    ASSERT_EQ(discount->couponAmount.has_value(), c.couponAmount.has_value()) << c.json;
    if (c.couponAmount) {
      EXPECT_EQ(discount->couponAmount->toString(), *c.couponAmount);
    }
  }
  EXPECT_EQ(PaymentDiscount::fromJson(std::optional<JsonObject>()), nullptr);
}

TEST(JsonBuiltRecords, FromTextReportsWhyTextIsRefused) {
  JsonError error;
  EXPECT_EQ(PaymentPluginPreference::fromJsonText(R"({"amount": })", &error), nullptr);
  EXPECT_FALSE(error.reason.empty());
  EXPECT_GT(error.offset, 0u);

  error = {};
  EXPECT_EQ(PaymentDiscount::fromJsonText("[1, 2]", &error), nullptr);
  EXPECT_FALSE(error.reason.empty());

  error = {};
  EXPECT_EQ(PaymentPluginMerchantOrder::fromJsonText(R"({"id": "1"})", &error), nullptr);
  EXPECT_TRUE(error.reason.empty()) << "a refused record is not a parse error";
  EXPECT_EQ(PaymentPluginMerchantOrder::fromJsonText("{\"id\":1", nullptr), nullptr);

  auto order = PaymentPluginMerchantOrder::fromJsonText(R"({"id": 5, "sponsor_id": "s"})");
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(order->sponsorId(), "s");
  auto discount = PaymentDiscount::fromJsonText(R"({"coupon_amount": 2.50})");
  ASSERT_NE(discount, nullptr);
  EXPECT_EQ(discount->couponAmount, dec("2.5"));
  auto preference = PaymentPluginPreference::fromJsonText(R"({"title": "x"})");
  ASSERT_NE(preference, nullptr);
}

}  // namespace
}  // namespace korvani
