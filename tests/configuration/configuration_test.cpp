#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "korvani/decimal.hpp"
#include "korvani/json.hpp"
#include "korvani/payment_discount.hpp"
#include "korvani/payment_plugin_configuration.hpp"
#include "korvani/payment_plugin_merchant_order.hpp"
#include "korvani/payment_plugin_preference.hpp"
#include "support/fakes.hpp"

namespace korvani {
namespace {

using test_support::jsonObject;

Decimal dec(std::string_view text) {
  return Decimal::fromString(text).value();
}

TEST(PaymentPluginConfiguration, TrackingIdFollowsTheCurrentMembers) {
  const struct {
    std::string platform;
    std::optional<std::string> appVersion;
    std::optional<std::string> source;
    std::string expected;
  } cases[] = {
      {"ios", {}, {}, "platform:APP, so:ios, version:, source:"},
      {"ios", "7.4", "home", "platform:APP, so:ios, version:7.4, source:home"},
      {"", {}, {}, "platform:APP, so:, version:, source:"},
      {"android", " 1.0 ", "a, b", "platform:APP, so:android, version: 1.0 , source:a, b"},
  };
  PaymentPluginConfiguration config;
  for (const auto& c : cases) {
    config.platform = c.platform;
    config.appVersion = c.appVersion;
    config.source = c.source;
    EXPECT_EQ(config.xTrackingId(), c.expected);
  }
}

TEST(PaymentPluginPreference, ReadsEveryMemberFromItsKey) {
  auto p = PaymentPluginPreference::fromJson(jsonObject(R"({
    "id": "pref-1", "amount": 10.25, "shipping_cost": 3, "collector_id": 991,
    "marketplace_fee": 0.5, "operation_type": "regular_payment", "external_reference": "ext",
    "order_id": "o-7", "marketplace": "NONE", "expiration_date_from": "2024-01-01T00:00:00Z",
    "expiration_date_to": "2024-02-01", "expires": true, "differential_pricing_id": -12,
    "concept_amount": 99.99, "concept_id": "c-1", "unknown": [1, 2],
    "items": [{"picture_url": "https://pic", "title": " Shoes ", "quantity": 3,
               "currency_id": "ARS", "amount": 777}, {"title": "second item"}]})"));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->id, "pref-1");
  EXPECT_EQ(p->pictureUrl, "https://pic");
  EXPECT_EQ(p->title, " Shoes ");
  EXPECT_EQ(p->quantity, 3);
  EXPECT_EQ(p->currencyId, "ARS");
  EXPECT_EQ(p->amount, dec("10.25"));  // the top-level amount, not the item's
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

// One JSON value under every key: each member takes it only when it fits the member's type
// (texts from strings, integers from integral numbers in range, decimals from any number).
TEST(PaymentPluginPreference, EachMemberTakesOnlyValuesOfItsType) {
  const struct {
    const char* value;
    bool text, integer, decimal, boolean;
  } cases[] = {
      {R"("")", true, false, false, false},
      {R"("42")", true, false, false, false},
      {"0", false, true, true, false},
      {"3.0", false, true, true, false},
      {"1e3", false, true, true, false},
      {"-9223372036854775808", false, true, true, false},
      {"9223372036854775808", false, false, true, false},
      {"-0.5", false, false, true, false},
      {"123456789012345678901234567890", false, false, true, false},
      {"true", false, false, false, true},
      {"false", false, false, false, true},
      {"null", false, false, false, false},
      {"[]", false, false, false, false},
      {"{}", false, false, false, false},
  };
  for (const auto& c : cases) {
    std::string json = "{";
    for (const char* key : {"id", "marketplace", "concept_id", "collector_id",
                            "differential_pricing_id", "amount", "concept_amount", "expires"})
      json += std::string("\"") + key + "\": " + c.value + ",";
    json.back() = '}';
    auto p = PaymentPluginPreference::fromJson(jsonObject(json));
    ASSERT_NE(p, nullptr);
    SCOPED_TRACE(c.value);
    EXPECT_EQ(p->id.has_value(), c.text);
    EXPECT_EQ(p->marketplace.has_value(), c.text);
    EXPECT_EQ(p->conceptId.has_value(), c.text);
    EXPECT_EQ(p->collectorId.has_value(), c.integer);
    EXPECT_EQ(p->differentialPricingId.has_value(), c.integer);
    EXPECT_EQ(p->amount.has_value(), c.decimal);
    EXPECT_EQ(p->conceptAmount.has_value(), c.decimal);
    EXPECT_EQ(p->expires.has_value(), c.boolean);
    if (c.decimal) {
      EXPECT_EQ(p->amount, dec(c.value));
    }
  }
}

TEST(PaymentPluginPreference, OnlyTheFirstOfAnArrayOfObjectsIsRead) {
  const struct {
    const char* items;
    std::optional<std::string> title;
  } cases[] = {
      {R"([{"title": "a"}, {"title": "b"}])", "a"},
      {R"([{"quantity": 2}, {"title": "b"}])", {}},
      {R"([])", {}},
      {R"([{"title": "a"}, "b"])", {}},  // one element is not an object
      {R"({"title": "a"})", {}},
      {R"(null)", {}},
  };
  for (const auto& c : cases) {
    auto p = PaymentPluginPreference::fromJson(
        jsonObject(std::string(R"({"marketplace": "M", "items": )") + c.items + "}"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->title, c.title) << c.items;
    EXPECT_EQ(p->marketplace, "M") << "a bad items value spoils nothing else: " << c.items;
  }
}

TEST(PaymentPluginMerchantOrder, ExistsOnlyWithAnUnsignedIntegerId) {
  const struct {
    const char* json;
    std::optional<std::uint64_t> id;
  } cases[] = {
      {R"({"id": 0})", 0},     {R"({"id": 18446744073709551615})", UINT64_MAX},
      {R"({"id": 42.0})", 42}, {R"({"id": 18446744073709551616})", {}},
      {R"({"id": -1})", {}},   {R"({"id": 1.5})", {}},
      {R"({"id": "42"})", {}}, {R"({"preference_id": "p"})", {}},
  };
  for (const auto& c : cases) {
    auto order = PaymentPluginMerchantOrder::fromJson(jsonObject(c.json));
    EXPECT_EQ(order ? std::optional(order->id()) : std::nullopt, c.id) << c.json;
  }
  auto order = PaymentPluginMerchantOrder::fromJson(
      jsonObject(R"({"id": 7, "preference_id": "p", "notification_url": "https://n",
                     "external_reference": "", "sponsor_id": 123})"));
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(order->preferenceId(), "p");
  EXPECT_EQ(order->notificationUrl(), "https://n");
  EXPECT_EQ(order->externalReference(), "");
  EXPECT_FALSE(order->sponsorId());  // a number is not text
}

TEST(PaymentDiscount, ReadsCampaignAndCoupon) {
  const struct {
    const char* json;
    std::optional<std::int64_t> campaignId;
    std::optional<std::string> couponAmount;
  } cases[] = {
      {R"({})", {}, {}},
      {R"({"campaign_id": 7, "coupon_amount": 15})", 7, "15"},
      {R"({"campaign_id": 7.5, "coupon_amount": 12.5})", {}, "12.5"},
      {R"({"campaign_id": "7", "coupon_amount": "15"})", {}, {}},
      {R"({"campaign_id": -3, "coupon_amount": 0.10})", -3, "0.1"},
  };
  for (const auto& c : cases) {
    auto discount = PaymentDiscount::fromJson(jsonObject(c.json));
    ASSERT_NE(discount, nullptr) << c.json;
    EXPECT_EQ(discount->campaignId, c.campaignId) << c.json;
    EXPECT_EQ(
        discount->couponAmount ? std::optional(discount->couponAmount->toString()) : std::nullopt,
        c.couponAmount)
        << c.json;
  }
}

}  // namespace
}  // namespace korvani
