// The JSON layer on a large document: our parser and writer beside Boost.JSON's on the same
// text, so that "at least as fast as boost::json::parse" is measured, not assumed; and our
// parser on what it mostly reads, one payment answer of a few KiB.

#include <benchmark/benchmark.h>

#include <boost/json.hpp>
#include <optional>
#include <string>

#include "json_document.hpp"
#include "korvani/json.hpp"
#include "repetitions.hpp"

namespace {

const std::string& document() {
  static const std::string text = korvani::bench::paymentRecordsDocument(std::size_t{1} << 20);
  return text;
}

// Both parsers free the previous document only after building the next, as a host that holds
// on to an answer does. Freeing it first would leave megabytes free at the top of the heap,
// which the C library then hands back to the system, and each iteration would mostly measure
// faulting those pages in again (on this virtual machine 4x the parse itself).
void BM_ParseJson_Korvani(benchmark::State& state) {
  const std::string& text = document();
  std::optional<korvani::JsonValue> previous = korvani::parseJson(text);
  if (!previous) state.SkipWithError("the document does not parse");
  for (auto _ : state) {
    auto value = korvani::parseJson(text);
    benchmark::DoNotOptimize(value);
    previous = std::move(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// A created card payment as the platform answers it: 3.1 KiB, the size of a real answer.
const std::string& paymentAnswer() {
  static const std::string text =
      R"({"raw":{"id":1000000187,"date_created":"2024-06-11T10:02:31.118-03:00",)"
      R"("date_approved":"2024-06-11T10:02:31.520-03:00","date_last_updated":)"
      R"("2024-06-11T10:02:31.520-03:00","money_release_date":"2024-06-25T10:02:31.520-03:00",)"
      R"("operation_type":"regular_payment","issuer_id":"310","payment_method_id":"visa",)"
      R"("payment_type_id":"credit_card","status":"approved","status_detail":"accredited",)"
      R"("currency_id":"KVD","description":"Pedido n\u00ba 187 \"express\"","live_mode":true,)"
      R"("sponsor_id":null,"authorization_code":"301299","collector_id":448876123,)"
      R"("payer":{"type":"guest","id":null,"email":"payer187@example.test","identification":)"
      R"({"type":"DNI","number":"30111222"},"phone":{"area_code":"11","number":"44445555",)"
      R"("extension":""},"first_name":"Ana","last_name":"Pérez","entity_type":null},)"
      R"("metadata":{"checkout":"plugin","session_id":"3f2a9c0e-6f1b-4c55-9d1e-0a7b3c2d1e4f"},)"
      R"("additional_info":{"items":[{"id":"SKU-1042","title":"Auriculares inalámbricos",)"
      R"("description":"Bluetooth 5.3, estuche de carga","category_id":"electronics",)"
      R"("quantity":"1","unit_price":"120.5"},{"id":"SKU-2210","title":"Funda de silicona",)"
      R"("description":"Color negro","category_id":"accessories","quantity":"2",)"
      R"("unit_price":"15.125"}],"ip_address":"203.0.113.54"},"order":{"type":"korvani",)"
      R"("id":9876543210},"external_reference":"order-2024-000187","transaction_amount":150.75,)"
      R"("transaction_amount_refunded":0,"coupon_amount":15.07,"differential_pricing_id":null,)"
      R"("deduction_schema":null,"installments":3,"transaction_details":{"payment_method_)"
      R"(reference_id":null,"net_received_amount":142.18,"total_paid_amount":158.9,)"
      R"("overpaid_amount":0,"external_resource_url":null,"installment_amount":52.97,)"
      R"("financial_institution":null,"payable_deferral_period":null,"acquirer_reference":)"
      R"(null},"fee_details":[{"type":"application_fee","amount":3.25,"fee_payer":)"
      R"("collector"},{"type":"financing_fee","amount":8.15,"fee_payer":"payer"}],)"
      R"("charges_details":[],"captured":true,"binary_mode":false,"call_for_authorize_id":)"
      R"(null,"statement_descriptor":"KORVANI*SHOP","card":{"id":null,"first_six_digits":)"
      R"("450995","last_four_digits":"3704","expiration_month":11,"expiration_year":2030,)"
      R"("date_created":"2024-06-11T10:02:31.000-03:00","date_last_updated":)"
      R"("2024-06-11T10:02:31.000-03:00","cardholder":{"name":"APRO","identification":)"
      R"({"number":"30111222","type":"DNI"}}},"notification_url":)"
      R"("https://shop.example.test/hooks/payments","refunds":[],"processing_mode":)"
      R"("aggregator","merchant_account_id":null,"merchant_number":null,)"
      R"("acquirer_reconciliation":[],"point_of_interaction":{"type":"UNSPECIFIED",)"
      R"("business_info":{"unit":"online_payments",)"
      R"("sub_unit":"checkout_plugin"}},"counter_currency":null,"net_amount":142.18,"taxes":)"
      R"([{"value":1.2,"type":"IVA"}],"shipping_amount":0,"pos_id":null,"store_id":null,)"
      R"("integrator_id":null,"platform_id":null,"corporation_id":null,"marketplace_owner":null,)"
      R"("three_ds_info":null,"build_version":"3.21.0","risk_score":0.137},)"
      R"("formatted":{"title":"¡Listo! Se acreditó tu pago","amount":"$ 150,75",)"
      R"("payment_method":"Visa terminada en 3704","installments":"3 cuotas de $ 52,97",)"
      R"("status":"Aprobado","status_detail":"El pago fue aprobado.","receipt":"Operación )"
      R"(#1000000187","date":"11 de junio de 2024, 10:02"}})";
  return text;
}

void BM_ParseJson_PaymentAnswer(benchmark::State& state) {
  const std::string& text = paymentAnswer();
  if (!korvani::parseJson(text)) state.SkipWithError("the answer does not parse");
  for (auto _ : state) {
    auto value = korvani::parseJson(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_ParseJson_Boost(benchmark::State& state) {
  const std::string& text = document();
  boost::json::value previous = boost::json::parse(text);
  for (auto _ : state) {
    auto value = boost::json::parse(text);
    benchmark::DoNotOptimize(value);
    previous = std::move(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_SerializeJson_Korvani(benchmark::State& state) {
  const auto value = korvani::parseJson(document());
  if (!value) state.SkipWithError("the document does not parse");
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto text = korvani::serializeJson(*value);
    bytes = text ? text->size() : 0;
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_SerializeJson_Boost(benchmark::State& state) {
  const auto value = boost::json::parse(document());
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto text = boost::json::serialize(value);
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// Medians of a few repetitions: the machine is shared, and the goal compares two of these.
BENCHMARK(BM_ParseJson_Korvani)->Unit(benchmark::kMillisecond)->Apply(korvani::bench::judged);
BENCHMARK(BM_ParseJson_Boost)->Unit(benchmark::kMillisecond)->Apply(korvani::bench::judged);
BENCHMARK(BM_ParseJson_PaymentAnswer)->Unit(benchmark::kMicrosecond)->Apply(korvani::bench::judged);
BENCHMARK(BM_SerializeJson_Korvani)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SerializeJson_Boost)->Unit(benchmark::kMillisecond);

}  // namespace
