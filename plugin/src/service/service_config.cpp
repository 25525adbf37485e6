#include "korvani/service_config.hpp"

#include <array>
#include <utility>

namespace korvani {
namespace {

constexpr std::array<std::pair<RequestMethod, std::string_view>, 6> kMethods{{
    {RequestMethod::get, "GET"},
    {RequestMethod::post, "POST"},
    {RequestMethod::put, "PUT"},
    {RequestMethod::head, "HEAD"},
    {RequestMethod::delete_, "DELETE"},
    {RequestMethod::options, "OPTIONS"},
}};

}  // namespace

std::string_view rawValue(RequestMethod method) noexcept {
  for (const auto& [candidate, text] : kMethods) {
    if (candidate == method) return text;
  }
  return {};  // unreachable for a valid enumerator
}

std::optional<RequestMethod> requestMethodFromRawValue(std::string_view text) noexcept {
  for (const auto& [method, candidate] : kMethods) {
    if (candidate == text) return method;
  }
  return std::nullopt;
}

}  // namespace korvani
