#pragma once

#include <string>
#include <vector>

namespace korvani::bench {

// The processors this process may use, in order (empty where that cannot be told).
std::vector<int> allowedCpus();

// Restricts the calling thread, and the threads it starts afterwards, to `cpus`; false when the
// system refused.
bool runCallingThreadOn(const std::vector<int>& cpus);

// Benchmarks run on one processor by default: on a shared host one virtual processor can run
// the same code 1.5-3x slower than another for minutes, and a benchmark whose threads spread
// over both then measures where they landed. `--processors one|all` picks.
struct ProcessorChoice {
  bool one = true;  // false: as the kernel places them
};

// Removes "--processors one|all" from argv (so other option parsers do not see it) and returns
// the choice; an unknown value ends the program with a message.
ProcessorChoice takeProcessorOption(int& argc, char** argv);

// With `choice.one`, times the same arithmetic on each allowed processor, keeps the calling
// thread (and what it starts later) on the fastest and returns a line saying so with the
// times; otherwise, or with a single processor, returns a line saying nothing was restricted.
std::string applyProcessorChoice(const ProcessorChoice& choice);

}  // namespace korvani::bench
