// Runs the micro benchmarks with Google Benchmark's console table, then states each goal with
// the measured figure, so that a run can be read without doing arithmetic.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

// The console table, plus the per-iteration CPU time of every benchmark in seconds: of its
// single run, or, for a repeated one, the median and the fastest repetition. CPU time, because
// the machine is shared: the wall time of a single-threaded benchmark also counts the time
// other processes held the core.
class GoalReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal; a custom reporter does not follow --benchmark_color.
  GoalReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      std::string statistic;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name != "median" && run.aggregate_name != "min") continue;
        statistic = run.aggregate_name;
      }
      const double seconds =
          run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      if (statistic.empty()) {
        single_[run.run_name.function_name] = seconds;
      } else {
        (statistic == "min" ? fastest_ : median_)[run.run_name.function_name] = seconds;
      }
    }
  }

  struct Figure {
    double judged;  // the fastest repetition, or the single run
    double median;  // the median repetition, or the single run
  };
  std::optional<Figure> figure(const std::string& name) const {
    if (const auto it = fastest_.find(name); it != fastest_.end()) {
      const auto median = median_.find(name);
      return Figure{it->second, median != median_.end() ? median->second : it->second};
    }
    if (const auto it = single_.find(name); it != single_.end()) {
      return Figure{it->second, it->second};
    }
    return std::nullopt;
  }

 private:
  std::map<std::string, double> single_;
  std::map<std::string, double> median_;
  std::map<std::string, double> fastest_;
};

const char* verdict(bool met) {
  return met ? "met" : "NOT MET";
}

void printGoals(const GoalReporter& reporter) {
  std::printf("\nGoals (CPU time; fastest of 5 repetitions, median in brackets)\n");
  if (const auto assembly = reporter.figure("BM_AssembleAndSerialize")) {
    const double micros = assembly->judged * 1e6;
    std::printf("  request assembly + serialization: %.2f us (%.2f) (goal < 5 us): %s\n", micros,
                assembly->median * 1e6, verdict(micros < 5.0));
  }
  const auto ours = reporter.figure("BM_ParseJson_Korvani");
  const auto boost = reporter.figure("BM_ParseJson_Boost");
  if (ours && boost) {
    const double ratio = ours->judged / boost->judged;
    std::printf(
        "  parseJson on 1 MiB: %.3f ms (%.3f), boost::json::parse %.3f ms (%.3f), ours/boost "
        "%.3f (goal <= 1.000): %s\n",
        ours->judged * 1e3, ours->median * 1e3, boost->judged * 1e3, boost->median * 1e3, ratio,
        verdict(ratio <= 1.0));
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  GoalReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  printGoals(reporter);
  return 0;
}
