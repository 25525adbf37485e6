#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "korvani/export.hpp"
#include "korvani/json.hpp"

namespace korvani {

// The HTTP methods a request may use.
// `delete` is a C++ keyword, hence the trailing underscore.
enum class RequestMethod { get, post, put, head, delete_, options };

// The text placed in the request's method field ("GET", "POST", ...).
KORVANI_EXPORT std::string_view rawValue(RequestMethod method) noexcept;
// The method whose text equals `text` exactly (case-sensitive, whole text), else nullopt.
KORVANI_EXPORT std::optional<RequestMethod> requestMethodFromRawValue(
    std::string_view text) noexcept;

// Description of one HTTP request for BaseService. A plain value record: it validates nothing,
// BaseService::execute() decides what a missing part means (no base or path: -1000, nothing
// sent). Copied on assignment; no shared state.
struct ServiceConfig {
  // Start of the URL (scheme, host, perhaps a leading path).
  std::optional<std::string> base;
  // Appended to `base` exactly as it is; no separator is inserted.
  std::optional<std::string> path;
  RequestMethod method = RequestMethod::get;  // sent as rawValue(method)
  // Query parameters, encoded by queryParamString() and appended to the URL.
  StringDictionary params;
  // Request body, sent as its compact JSON text whatever the method; absent, or holding text
  // that is not valid UTF-8: the request goes without a body.
  std::optional<JsonObject> body;
  // Header fields, sent as given, in name order.
  StringDictionary headers;
  // Sent as "Content-Type"; wins over an entry of exactly that name in `headers`.
  std::string contentType = "application/json";
  // Seconds without progress before the request fails (-1001); longer than the usual 60 s
  // because a payment may be slow to settle.
  double timeoutInterval = 72.0;
};

}  // namespace korvani
