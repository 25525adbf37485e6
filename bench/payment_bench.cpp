// One payment's work on the host's main thread, outside the network: assembling the request,
// serializing its body, and reading the answer into a Payment.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "korvani/dictionary_encoding.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/payment.hpp"
#include "korvani/payment_service.hpp"
#include "korvani/platform/url_request.hpp"
#include "korvani/response.hpp"
#include "payment_fixture.hpp"
#include "repetitions.hpp"

namespace {

using korvani::bench::makeCardPayment;

void BM_CurrentConfiguration(benchmark::State& state) {
  const auto payment = makeCardPayment();
  for (auto _ : state) {
    auto configuration = payment.manager->currentConfiguration();
    benchmark::DoNotOptimize(configuration);
  }
}

void BM_SerializeBody(benchmark::State& state) {
  const auto payment = makeCardPayment();
  const auto configuration = payment.manager->currentConfiguration();
  if (!configuration.body || !korvani::JSONString(*configuration.body)) {
    state.SkipWithError("the body does not serialize");
  }
  for (auto _ : state) {
    auto text = korvani::JSONString(*configuration.body);
    benchmark::DoNotOptimize(text);
  }
}

// The goal: everything the main thread does to a payment before the request is handed over.
void BM_AssembleAndSerialize(benchmark::State& state) {
  const auto payment = makeCardPayment();
  for (auto _ : state) {
    auto configuration = payment.manager->currentConfiguration();
    auto text = korvani::JSONString(*configuration.body);
    benchmark::DoNotOptimize(text);
  }
}

// Part of the assembly above: the host's digest of the payment fragment.
void BM_Sha256Hook(benchmark::State& state) {
  const std::string fragment = "visa310sbx-approved150.75KORVANIregular_payment4488123";
  for (auto _ : state) {
    auto digest = korvani::sha256Hex(fragment);
    benchmark::DoNotOptimize(digest);
  }
}

// What execute() adds before the request leaves: the service copies the configuration.
void BM_PaymentServiceConstruction(benchmark::State& state) {
  const auto configuration = makeCardPayment().manager->currentConfiguration();
  for (auto _ : state) {
    auto service = korvani::PaymentService::create(configuration);
    benchmark::DoNotOptimize(service);
  }
}

// The default reachability gate that execute() consults first (it lists the interfaces).
void BM_ReachabilityGate(benchmark::State& state) {
  for (auto _ : state) {
    auto reachability = korvani::host::ZRReachability::reachabilityForInternetConnection();
    auto status = reachability ? reachability->currentReachabilityStatus()
                               : korvani::host::ZRNetworkStatus::NotReachable;
    benchmark::DoNotOptimize(status);
  }
}

void BM_ParseAnswer(benchmark::State& state) {
  korvani::platform::HTTPURLResponse http;
  http.statusCode = 201;
  const korvani::Response response(korvani::bench::typicalPaymentAnswer(), &http, nullptr);
  const auto check = response.responseJSON();
  if (!check || !check->asObject() || !korvani::Payment::fromJson(*check->asObject())) {
    state.SkipWithError("the answer does not make a payment");
  }
  for (auto _ : state) {
    auto json = response.responseJSON();
    auto payment = korvani::Payment::fromJson(*json->asObject());
    benchmark::DoNotOptimize(payment);
  }
}

BENCHMARK(BM_CurrentConfiguration)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SerializeBody)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AssembleAndSerialize)->Unit(benchmark::kMicrosecond)->Apply(korvani::bench::judged);
BENCHMARK(BM_Sha256Hook)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PaymentServiceConstruction)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReachabilityGate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseAnswer)->Unit(benchmark::kMicrosecond);

}  // namespace
