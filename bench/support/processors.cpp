#include "processors.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace korvani::bench {

std::vector<int> allowedCpus() {
  std::vector<int> cpus;
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  }
  return cpus;
}

bool runCallingThreadOn(const std::vector<int>& cpus) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (const int cpu : cpus)
    CPU_SET(cpu, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

ProcessorChoice takeProcessorOption(int& argc, char** argv) {
  ProcessorChoice choice;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--processors") != 0) {
      argv[kept++] = argv[i];
      continue;
    }
    const char* value = i + 1 < argc ? argv[++i] : "";
    if (std::strcmp(value, "one") != 0 && std::strcmp(value, "all") != 0) {
      std::fprintf(stderr, "bad value for --processors: '%s' (one or all)\n", value);
      std::exit(2);
    }
    choice.one = std::strcmp(value, "one") == 0;
  }
  argc = kept;
  argv[argc] = nullptr;
  return choice;
}

std::string applyProcessorChoice(const ProcessorChoice& choice) {
  const std::vector<int> cpus = allowedCpus();
  if (!choice.one || cpus.size() < 2) return "processors: as the kernel places the threads";
  std::string line = "processor check (same arithmetic on each):";
  std::vector<double> millis;
  for (const int cpu : cpus) {
    if (!runCallingThreadOn({cpu})) return "processors: cannot choose, as the kernel places them";
    const auto start = std::chrono::steady_clock::now();
    volatile std::uint64_t sink = 0;
    for (std::uint64_t i = 0; i < 50'000'000; ++i)
      sink = sink + i;
    millis.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    char figure[64];
    std::snprintf(figure, sizeof figure, " cpu%d %.1f ms", cpu, millis.back());
    line += figure;
  }
  const auto fastest =
      static_cast<std::size_t>(std::min_element(millis.begin(), millis.end()) - millis.begin());
  runCallingThreadOn({cpus[fastest]});
  return line + "; every thread on cpu" + std::to_string(cpus[fastest]) +
         " (--processors all lifts this)";
}

}  // namespace korvani::bench
