#pragma once

#include <optional>
#include <string>

#include "korvani/json.hpp"

namespace korvani {

// The assembled parts of one payment request. A value record: every field optional and
// writable; the default holds nothing.
struct PaymentConfiguration {
  std::optional<std::string> baseUrl;
  std::optional<std::string> path;
  std::optional<std::string> accessToken;  // sent as the query parameter "access_token"
  std::optional<StringDictionary> headers;
  std::optional<JsonObject> body;
};

}  // namespace korvani
