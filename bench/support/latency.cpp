#include "latency.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace korvani::bench {

double percentile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  q = std::clamp(q, 0.0, 1.0);
  // Rank ceil(q * n), 1-based, at least 1.
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

LatencySummary summarize(std::vector<double> samples) {
  LatencySummary summary;
  if (samples.empty()) return summary;
  std::sort(samples.begin(), samples.end());
  summary.count = samples.size();
  summary.min = samples.front();
  summary.max = samples.back();
  summary.p50 = percentile(samples, 0.50);
  summary.p90 = percentile(samples, 0.90);
  summary.p99 = percentile(samples, 0.99);
  summary.mean =
      std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
  return summary;
}

}  // namespace korvani::bench
