#pragma once

// What the session checks in a request before anything is sent, and how header fields are
// written for libcurl. Pure functions, tested without a network.

#include <string>
#include <string_view>

#include "korvani/platform/error.hpp"
#include "korvani/platform/url_request.hpp"

namespace korvani::platform::transport {

// A header name the session sends: not empty; no CR, LF, NUL, ':', space or tab.
bool isValidHeaderName(std::string_view name) noexcept;
// A header value the session sends: no CR, LF or NUL.
bool isValidHeaderValue(std::string_view value) noexcept;
// An HTTP method the session sends: a non-empty token (letters, digits, !#$%&'*+-.^_`|~).
bool isValidMethod(std::string_view method) noexcept;
// Whether the request carries a non-empty idempotency key ("X-Idempotency-Key" or
// "Idempotency-Key", any letter case): the server then answers a second copy with the outcome of
// the first.
bool carriesIdempotencyKey(const HeaderList& fields) noexcept;

// Why the session refuses to send `request` as it stands (a header field or the method), or null.
ErrorPtr refusalOf(const URLRequest& request);

}  // namespace korvani::platform::transport
