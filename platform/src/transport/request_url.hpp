#pragma once

// A request's URL as libcurl holds it, checked once for what the session refuses to send.

#include <memory>
#include <string>

#include "korvani/platform/error.hpp"
#include "transport/curl_handles.hpp"

namespace korvani::platform::transport {

// A request URL as libcurl holds it, with its origin ("scheme://host:port", default port filled
// in). Immutable once made; shared by the requests to that URL.
struct ParsedUrl {
  std::string text;
  CurlUrl handle;
  std::string origin;
};

// Parses `url` for libcurl, or says why it cannot be sent (`refusal`, then null): not https,
// not parseable, or holding user information.
std::shared_ptr<const ParsedUrl> parseRequestUrl(const std::string& url, ErrorPtr& refusal);

}  // namespace korvani::platform::transport
