#include "transport/request_checks.hpp"

#include <algorithm>

#include "transport/url_errors.hpp"

namespace korvani::platform::transport {

bool isValidHeaderName(std::string_view name) noexcept {
  if (name.empty()) return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '\r' || c == '\n' || c == '\0' || c == ':' || c == ' ' || c == '\t';
  });
}

bool isValidHeaderValue(std::string_view value) noexcept {
  return std::none_of(value.begin(), value.end(),
                      [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

bool isValidMethod(std::string_view method) noexcept {
  if (method.empty()) return false;
  constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return std::all_of(method.begin(), method.end(), [&](char c) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return alnum || kSymbols.find(c) != std::string_view::npos;
  });
}

bool carriesIdempotencyKey(const HeaderList& fields) noexcept {
  return std::any_of(fields.begin(), fields.end(), [](const auto& field) {
    return !field.second.empty() && (HeaderList::sameName(field.first, "X-Idempotency-Key") ||
                                     HeaderList::sameName(field.first, "Idempotency-Key"));
  });
}

ErrorPtr refusalOf(const URLRequest& request) {
  for (const auto& [name, value] : request.allHTTPHeaderFields) {
    if (!isValidHeaderName(name) || !isValidHeaderValue(value)) {
      return urlError(kURLErrorRequestHeaderInvalid, request.url);
    }
  }
  if (!isValidMethod(request.httpMethod)) {
    return urlError(kURLErrorBadURL, request.url, JsonObject{{"httpMethod", request.httpMethod}});
  }
  return nullptr;
}

}  // namespace korvani::platform::transport
