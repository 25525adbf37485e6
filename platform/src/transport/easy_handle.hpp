#pragma once

// An easy handle with the options every handle of the session carries, requests and warm-ups
// alike, so that a warm-up's connection matches the requests that reuse it.

#include <curl/curl.h>

#include <memory>
#include <string>

#include "transport/curl_handles.hpp"
#include "transport/trust_store.hpp"

namespace korvani::platform::transport {

// HTTPS only, verification always on (a server certificate must name its host in
// subjectAltName), no redirects, no environment, the shared TLS session cache; and the
// connection settings the handle was last given.
struct EasyHandle {
  CurlEasy easy;  // null when libcurl could not make one
  std::shared_ptr<const TrustSettings> trust;
  std::shared_ptr<const std::string> proxy;
};
EasyHandle makeEasyHandle(CURLSH* share);
// Gives the handle `trust` as its certificate authorities and `proxy` (null: none), unless it
// has them already.
void applyConnectionSettings(EasyHandle& handle, std::shared_ptr<const TrustSettings> trust,
                             std::shared_ptr<const std::string> proxy);

}  // namespace korvani::platform::transport
