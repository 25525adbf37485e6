// Query encoder: the query reads back to the same items and uses only allowed characters.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "checks/query_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  korvani::fuzz::trapOnViolation(korvani::fuzz::checkQueryParams(input), "query");
  return 0;
}
