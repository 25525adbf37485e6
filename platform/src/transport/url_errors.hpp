#pragma once

// How libcurl's results become URL-loading error codes. The table is documented beside the codes
// in korvani/platform/error.hpp.

#include <cstdint>
#include <string>

#include "korvani/platform/error.hpp"

namespace korvani::platform::transport {

// The URL-loading code for a transfer that libcurl ended with `curlCode` (a CURLcode other than
// CURLE_OK).
std::int64_t urlErrorCodeForCurl(int curlCode) noexcept;

// An error in the URL-loading domain for the request to `url`; `extra` joins the user info.
ErrorPtr urlError(std::int64_t code, const std::string& url, JsonObject extra = {});

}  // namespace korvani::platform::transport
