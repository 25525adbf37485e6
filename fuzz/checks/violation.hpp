#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvani::fuzz {

// The first invariant an input broke, in words; nothing when every invariant held. Checks
// return it instead of stopping, so that the fuzz targets can trap on it and the replay test
// can report it next to the input's file name.
using Violation = std::optional<std::string>;

// "<file>:<line>: <condition>" followed by ": <detail>" when a detail is given.
std::string describeViolation(std::string_view condition, std::string_view file, int line,
                              std::string_view detail = {});

// Prints the violation and stops the process with a trap, which libFuzzer records as a crash
// and keeps the input of. Does nothing without a violation.
void trapOnViolation(const Violation& violation, std::string_view target);

// Shows bytes printable: ASCII as is, everything else as \xHH; longer input is cut at `limit`.
std::string printable(std::string_view bytes, std::size_t limit = 120);

}  // namespace korvani::fuzz

// Leaves the enclosing check with a violation unless `condition` holds.
#define KORVANI_FUZZ_REQUIRE(condition)                                                          \
  do {                                                                                           \
    if (!(condition)) return ::korvani::fuzz::describeViolation(#condition, __FILE__, __LINE__); \
  } while (false)

// Same, with a detail text (only built when the condition fails).
#define KORVANI_FUZZ_REQUIRE_THAT(condition, detail)                                       \
  do {                                                                                     \
    if (!(condition))                                                                      \
      return ::korvani::fuzz::describeViolation(#condition, __FILE__, __LINE__, (detail)); \
  } while (false)

// Passes on the violation of a nested check.
#define KORVANI_FUZZ_PROPAGATE(check)                                 \
  do {                                                                \
    if (::korvani::fuzz::Violation nested_ = (check)) return nested_; \
  } while (false)
