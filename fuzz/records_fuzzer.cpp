// JSON-built records: each field against the reading rules, from text and from parsed objects.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "checks/record_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  korvani::fuzz::trapOnViolation(korvani::fuzz::checkRecordsText(input), "records");
  return 0;
}
