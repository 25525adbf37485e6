#pragma once

#include <span>
#include <string_view>

#include "checks/violation.hpp"

namespace korvani::fuzz {

// One fuzz target: the name of its executable suffix and corpus folder, and the check that
// its fuzzer and the corpus replay test both run on every input.
struct FuzzTarget {
  std::string_view name;
  Violation (*check)(std::string_view input);
};

std::span<const FuzzTarget> fuzzTargets();

}  // namespace korvani::fuzz
