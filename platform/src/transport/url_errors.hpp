#pragma once

// How libcurl's results become URL-loading error codes (the switch in url_errors.cpp is the
// table), and the user-information keys that carry libcurl's own result beside them.

#include <cstdint>
#include <string>

#include "korvani/platform/error.hpp"

namespace korvani::platform::transport {

// userInfo keys of a failure that libcurl reported, for diagnostics.
inline constexpr const char* kCurlCodeKey = "curlCode";        // number: libcurl's result code
inline constexpr const char* kCurlMessageKey = "curlMessage";  // text: libcurl's own message

// The URL-loading code for a transfer that libcurl ended with `curlCode` (a CURLcode other than
// CURLE_OK).
std::int64_t urlErrorCodeForCurl(int curlCode) noexcept;

// An error in the URL-loading domain for the request to `url`; `extra` joins the user info.
ErrorPtr urlError(std::int64_t code, const std::string& url, JsonObject extra = {});

}  // namespace korvani::platform::transport
