#include "checks/targets.hpp"

#include <array>

#include "checks/json_checks.hpp"
#include "checks/record_checks.hpp"

namespace korvani::fuzz {

std::span<const FuzzTarget> fuzzTargets() {
  static constexpr std::array kTargets = {
      FuzzTarget{"json", &checkJsonText},
      FuzzTarget{"records", &checkRecordsText},
  };
  return kTargets;
}

}  // namespace korvani::fuzz
