#include "checks/targets.hpp"

#include <array>

#include "checks/json_checks.hpp"
#include "checks/query_checks.hpp"
#include "checks/record_checks.hpp"
#include "checks/response_checks.hpp"

namespace korvani::fuzz {

std::span<const FuzzTarget> fuzzTargets() {
  static constexpr std::array kTargets = {
      FuzzTarget{"json", &checkJsonText},
      FuzzTarget{"records", &checkRecordsText},
      FuzzTarget{"response", &checkResponseBytes},
      FuzzTarget{"query", &checkQueryParams},
  };
  return kTargets;
}

}  // namespace korvani::fuzz
