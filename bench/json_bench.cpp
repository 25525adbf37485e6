// The JSON layer on a large document: our parser and writer beside Boost.JSON's on the same
// text, so that "at least as fast as boost::json::parse" is measured, not assumed.

#include <benchmark/benchmark.h>

#include <boost/json.hpp>
#include <string>

#include "json_document.hpp"
#include "korvani/json.hpp"
#include "repetitions.hpp"

namespace {

const std::string& document() {
  static const std::string text = korvani::bench::paymentRecordsDocument(std::size_t{1} << 20);
  return text;
}

void BM_ParseJson_Korvani(benchmark::State& state) {
  const std::string& text = document();
  if (!korvani::parseJson(text)) state.SkipWithError("the document does not parse");
  for (auto _ : state) {
    auto value = korvani::parseJson(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_ParseJson_Boost(benchmark::State& state) {
  const std::string& text = document();
  for (auto _ : state) {
    auto value = boost::json::parse(text);
    benchmark::DoNotOptimize(value);
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
BENCHMARK(BM_SerializeJson_Korvani)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SerializeJson_Boost)->Unit(benchmark::kMillisecond);

}  // namespace
