#pragma once

// Pieces of the URL session that are pure functions of their input, kept apart so that they can
// be tested without a network. Not part of the public interface.

#include <cstdint>
#include <string>
#include <string_view>

namespace korvani::platform::detail {

// A header name the session sends: not empty; no CR, LF, NUL, ':', space or tab.
bool isValidHeaderName(std::string_view name) noexcept;
// A header value the session sends: no CR, LF or NUL.
bool isValidHeaderValue(std::string_view value) noexcept;
// An HTTP method the session sends: a non-empty token (letters, digits, !#$%&'*+-.^_`|~).
bool isValidMethod(std::string_view method) noexcept;
// Whether sending the request twice has the effect of sending it once (GET, HEAD, OPTIONS,
// TRACE, PUT, DELETE); only such requests may be sent again on a fresh connection.
bool isIdempotentMethod(std::string_view method) noexcept;

// The line libcurl needs to send exactly this field: "Name: value", or "Name;" when the value is
// empty or blank (libcurl would drop "Name:" with nothing after the colon).
std::string curlHeaderLine(std::string_view name, std::string_view value);
// The same, appended to `out`.
void appendCurlHeaderLine(std::string& out, std::string_view name, std::string_view value);

// The URL-loading code for a transfer that libcurl ended with `curlCode` (a CURLcode other than
// CURLE_OK); `bodyTooLarge` tells that the session itself stopped an oversized answer.
std::int64_t urlErrorCodeForCurl(int curlCode, bool bodyTooLarge) noexcept;

// Where the system's CA certificates are: a hashed directory and a bundle file, as libcurl was
// built to use them. Tests point them at their own files. Empty means "none".
struct SystemTrustLocations {
  std::string caPath;
  std::string caFile;
};
SystemTrustLocations systemTrustLocations();
// Applies to data tasks created afterwards. Thread-safe.
void setSystemTrustLocations(SystemTrustLocations locations);

}  // namespace korvani::platform::detail
