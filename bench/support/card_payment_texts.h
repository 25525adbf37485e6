#ifndef KORVANI_BENCH_CARD_PAYMENT_TEXTS_H
#define KORVANI_BENCH_CARD_PAYMENT_TEXTS_H

// The benchmarks' card payment as the texts a host hands over: the C++ fixture and the clients
// through the C API and Python build the same payment from them. C and C++.

#define KORVANI_BENCH_PATH "/v1/payments"
#define KORVANI_BENCH_ACCESS_TOKEN "TEST-4417-0123456789abcdef-merchant"
#define KORVANI_BENCH_APP_VERSION "4.12.0"
#define KORVANI_BENCH_SESSION_ID "9d3f7a52-5c2e-4e0b-8a1f-0f6c1b7d2e44"
#define KORVANI_BENCH_PLATFORM "ios"
#define KORVANI_BENCH_SITE_ID "KVA"
#define KORVANI_BENCH_SOURCE "checkout"
#define KORVANI_BENCH_USER_AGENT "KorvaniCheckout/4.12.0 (iPhone; iOS 17.4)"

// The records, JSON objects.
#define KORVANI_BENCH_PREFERENCE                                                                 \
  "{\"id\": \"pref-20240611-000187\", \"items\": [{\"title\": \"Noise-cancelling headphones\", " \
  "\"picture_url\": \"https://img.example.test/p/187.png\", \"quantity\": 1, \"currency_id\": "  \
  "\"KVD\"}], \"amount\": 150.75, \"shipping_cost\": 12.5, \"collector_id\": 448812, "           \
  "\"marketplace_fee\": 3.25, \"operation_type\": \"regular_payment\", \"external_reference\": " \
  "\"order-2024-000187\", \"order_id\": \"77001\", \"marketplace\": \"KORVANI\", "               \
  "\"expiration_date_from\": \"2024-06-11T10:00:00.000-03:00\", \"expiration_date_to\": "        \
  "\"2024-06-18T10:00:00.000-03:00\", \"expires\": true, \"differential_pricing_id\": 31, "      \
  "\"concept_amount\": 4.99, \"concept_id\": \"PHONE_RECHARGE\"}"
#define KORVANI_BENCH_MERCHANT_ORDER                                                         \
  "{\"id\": 5900112233, \"preference_id\": \"pref-20240611-000187\", \"notification_url\": " \
  "\"https://merchant.example.test/hooks/payments?store=12\", \"external_reference\": "      \
  "\"order-2024-000187\", \"sponsor_id\": \"sponsor-88\"}"
#define KORVANI_BENCH_DISCOUNT "{\"campaign_id\": 123456, \"coupon_amount\": 15.07}"
#define KORVANI_BENCH_INTERNAL_METADATA                                                         \
  "{\"checkout_flow\": \"one_tap\", \"device\": {\"model\": \"iPhone15,2\", \"os\": \"17.4\", " \
  "\"jailbroken\": false}, \"experiments\": [\"fast-checkout\", \"new-installments\"], "        \
  "\"risk_score\": 0.137, \"attempt\": 1}"

// The payer's choices in the store.
#define KORVANI_BENCH_PAYMENT_METHOD_ID "visa"
#define KORVANI_BENCH_PAYMENT_TYPE_ID "credit_card"
#define KORVANI_BENCH_ISSUER_ID "310"
#define KORVANI_BENCH_TOKEN_ID "sbx-approved"
#define KORVANI_BENCH_INSTALLMENTS 3

#endif
