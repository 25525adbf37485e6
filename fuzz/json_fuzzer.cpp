// JSON parser and writer: parse, write, parse again; numbers keep the value of their text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "checks/json_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  korvani::fuzz::trapOnViolation(korvani::fuzz::checkJsonText(input), "json");
  return 0;
}
