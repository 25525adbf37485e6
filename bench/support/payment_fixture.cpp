#include "payment_fixture.hpp"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>

#include "card_payment_texts.h"
#include "korvani/json.hpp"
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
  configuration->accessToken = KORVANI_BENCH_ACCESS_TOKEN;
  configuration->appVersion = KORVANI_BENCH_APP_VERSION;
  configuration->brixSessionId = KORVANI_BENCH_SESSION_ID;
  configuration->platform = KORVANI_BENCH_PLATFORM;
  configuration->siteId = KORVANI_BENCH_SITE_ID;
  configuration->source = KORVANI_BENCH_SOURCE;
  configuration->userAgent = KORVANI_BENCH_USER_AGENT;
  configuration->checkoutPreference =
      required(PaymentPluginPreference::fromJsonText(KORVANI_BENCH_PREFERENCE), "preference");
  configuration->merchantOrder = required(
      PaymentPluginMerchantOrder::fromJsonText(KORVANI_BENCH_MERCHANT_ORDER), "merchant order");
  configuration->discount =
      required(PaymentDiscount::fromJsonText(KORVANI_BENCH_DISCOUNT), "discount");
  const auto metadata = parseJson(KORVANI_BENCH_INTERNAL_METADATA);
  configuration->internalMetadata =
      *required(metadata ? metadata->asObject() : nullptr, "internal metadata");
  configuration->sha256 = korvani::sha256Hex;

  auto paymentData = host::makePaymentData({.paymentMethodId = KORVANI_BENCH_PAYMENT_METHOD_ID,
                                            .paymentTypeId = KORVANI_BENCH_PAYMENT_TYPE_ID,
                                            .issuerId = KORVANI_BENCH_ISSUER_ID,
                                            .tokenId = KORVANI_BENCH_TOKEN_ID,
                                            .installments = KORVANI_BENCH_INSTALLMENTS});
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
