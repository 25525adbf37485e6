#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace korvani::bench {

// The fastest of several repetitions. On a shared machine, noise only ever adds time (even CPU
// time, when the host lends the core elsewhere), so the minimum is the steadiest estimate of
// what the code itself costs.
inline double fastest(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

// For a benchmark that a goal is judged on (->Apply(judged)): repeated, reported as aggregates
// including "min".
inline void judged(benchmark::internal::Benchmark* b) {
  b->Repetitions(5)->ReportAggregatesOnly(true)->ComputeStatistics("min", fastest);
}

}  // namespace korvani::bench
