// Response: classification, kept body and responseJSON() on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "checks/response_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  korvani::fuzz::trapOnViolation(korvani::fuzz::checkResponseBytes(input), "response");
  return 0;
}
