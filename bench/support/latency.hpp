#pragma once

#include <cstddef>
#include <vector>

namespace korvani::bench {

// Order statistics of a set of latencies (any unit; the caller's).
struct LatencySummary {
  std::size_t count = 0;
  double min = 0;
  double p50 = 0;
  double p90 = 0;
  double p99 = 0;
  double max = 0;
  double mean = 0;
};

// Nearest-rank percentile (q in [0, 1]) of samples sorted ascending: the smallest sample with
// at least q of all samples at or below it. 0 for no samples.
double percentile(const std::vector<double>& sorted, double q);

// Summary of `samples` (taken by value: they are sorted). All zero for no samples.
LatencySummary summarize(std::vector<double> samples);

}  // namespace korvani::bench
