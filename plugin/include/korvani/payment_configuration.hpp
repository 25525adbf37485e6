#pragma once

#include <optional>
#include <string>

#include "korvani/json.hpp"

namespace korvani {

// The assembled parts of one payment request. A value record: every field optional and
// writable; the default holds nothing. Made afresh for every request; the comments say how
// PaymentService sends each part.
struct PaymentConfiguration {
  std::optional<std::string> baseUrl;       // absent: KorvaniBaseService::defaultBaseUrl
  std::optional<std::string> path;          // appended to baseUrl; absent: not sent (-1000)
  std::optional<std::string> accessToken;   // query parameter "access_token"; absent: none
  std::optional<StringDictionary> headers;  // header fields; absent: none but Content-Type
  std::optional<JsonObject> body;           // sent as compact JSON text; absent: no body
};

}  // namespace korvani
