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

// The console table, plus the per-iteration CPU time of every benchmark in seconds (the median
// when a benchmark ran repeatedly). CPU time, because the machine is shared: the wall time of a
// single-threaded benchmark also counts the time other processes held the core.
class GoalReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal; a custom reporter does not follow --benchmark_color.
  GoalReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      seconds_[run.run_name.function_name] =
          run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
  }

  std::optional<double> seconds(const std::string& name) const {
    const auto found = seconds_.find(name);
    if (found == seconds_.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::map<std::string, double> seconds_;
};

const char* verdict(bool met) {
  return met ? "met" : "NOT MET";
}

void printGoals(const GoalReporter& reporter) {
  std::printf("\nGoals (CPU time per operation)\n");
  if (const auto assembly = reporter.seconds("BM_AssembleAndSerialize")) {
    const double micros = *assembly * 1e6;
    std::printf("  request assembly + serialization: %.2f us (goal < 5 us): %s\n", micros,
                verdict(micros < 5.0));
  }
  const auto ours = reporter.seconds("BM_ParseJson_Korvani");
  const auto boost = reporter.seconds("BM_ParseJson_Boost");
  if (ours && boost) {
    std::printf(
        "  parseJson on 1 MiB: %.3f ms, boost::json::parse %.3f ms, ours/boost %.3f "
        "(goal <= 1.000): %s\n",
        *ours * 1e3, *boost * 1e3, *ours / *boost, verdict(*ours <= *boost));
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
