#include "payment_fixture.hpp"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>

#include "korvani/payment_discount.hpp"
#include "korvani/payment_plugin_merchant_order.hpp"
#include "korvani/payment_plugin_preference.hpp"

namespace korvani::bench {

namespace {

// Records that cannot be built are a broken fixture, not something to measure around.
template <typename T>
T required(T record, const char* what) {
  if (!record) throw std::logic_error(std::string("benchmark fixture: bad ") + what);
  return record;
}

}  // namespace

CardPayment makeCardPayment(std::string baseUrl, std::string path) {
  auto configuration = std::make_shared<PaymentPluginConfiguration>();
  configuration->baseUrl = std::move(baseUrl);
  configuration->path = std::move(path);
  configuration->accessToken = "TEST-4417-0123456789abcdef-merchant";
  configuration->appVersion = "4.12.0";
  configuration->brixSessionId = "9d3f7a52-5c2e-4e0b-8a1f-0f6c1b7d2e44";
  configuration->platform = "ios";
  configuration->siteId = "KVA";
  configuration->source = "checkout";
  configuration->userAgent = "KorvaniCheckout/4.12.0 (iPhone; iOS 17.4)";
  configuration->checkoutPreference = required(PaymentPluginPreference::fromJsonText(R"({
      "id": "pref-20240611-000187",
      "items": [{"title": "Noise-cancelling headphones", "picture_url":
                 "https://img.example.test/p/187.png", "quantity": 1, "currency_id": "KVD"}],
      "amount": 150.75, "shipping_cost": 12.5, "collector_id": 448812,
      "marketplace_fee": 3.25, "operation_type": "regular_payment",
      "external_reference": "order-2024-000187", "order_id": "77001",
      "marketplace": "KORVANI", "expiration_date_from": "2024-06-11T10:00:00.000-03:00",
      "expiration_date_to": "2024-06-18T10:00:00.000-03:00", "expires": true,
      "differential_pricing_id": 31, "concept_amount": 4.99, "concept_id": "PHONE_RECHARGE"})"),
                                               "preference");
  configuration->merchantOrder = required(PaymentPluginMerchantOrder::fromJsonText(R"({
      "id": 5900112233, "preference_id": "pref-20240611-000187",
      "notification_url": "https://merchant.example.test/hooks/payments?store=12",
      "external_reference": "order-2024-000187", "sponsor_id": "sponsor-88"})"),
                                          "merchant order");
  configuration->discount =
      required(PaymentDiscount::fromJsonText(R"({"campaign_id": 123456, "coupon_amount": 15.07})"),
               "discount");
  configuration->internalMetadata = JsonObject{
      {"checkout_flow", "one_tap"},
      {"device", JsonObject{{"model", "iPhone15,2"}, {"os", "17.4"}, {"jailbroken", false}}},
      {"experiments", JsonArray{"fast-checkout", "new-installments"}},
      {"risk_score", Decimal::fromString("0.137").value()},
      {"attempt", 1}};
  configuration->sha256 = korvani::sha256Hex;

  auto paymentData = host::makePaymentData({.paymentMethodId = "visa",
                                            .paymentTypeId = "credit_card",
                                            .issuerId = "310",
                                            .tokenId = "sbx-approved",
                                            .installments = 3});
  auto store = std::make_shared<host::InMemoryCheckoutStore>(paymentData);
  auto manager = std::make_shared<PaymentConfigurationManager>(configuration);
  manager->update(std::shared_ptr<host::PaymentData>(paymentData));
  manager->update(std::shared_ptr<host::VQCheckoutStore>(store));
  return {std::move(configuration), std::move(store), std::move(manager)};
}

std::string typicalPaymentAnswer() {
  return R"({"raw":{"id":1000000187,"status":"approved","status_detail":"accredited",)"
         R"("transaction_amount":150.75,"payment_method_id":"visa","installments":3,)"
         R"("external_reference":"order-2024-000187","currency_id":"KVD",)"
         R"("date_created":"2024-06-11T10:02:31.118-03:00","captured":true,)"
         R"("fee_details":[{"type":"application_fee","amount":3.25,"fee_payer":"collector"}],)"
         R"("card":{"first_six_digits":"450995","last_four_digits":"3704",)"
         R"("cardholder":{"name":"APRO"}},"coupon_amount":15.07,"issuer_id":"310"},)"
         R"("formatted":{"amount":"150.75","payment_method":"visa",)"
         R"("installments":"3 installments","status":"Approved",)"
         R"("status_detail":"The payment was approved."}})";
}

}  // namespace korvani::bench
