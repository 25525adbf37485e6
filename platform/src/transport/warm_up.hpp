#pragma once

// A connection opened ahead of the first request to an origin, so that the request finds TCP
// and TLS already done.

#include <curl/curl.h>

#include <memory>
#include <string>

#include "transport/curl_handles.hpp"
#include "transport/trust_store.hpp"

namespace korvani::platform::transport {

// libcurl has no call that opens a connection for later requests: its connect-only connections
// are never reused. A warm-up therefore asks for an upload resumed at byte 1 of a one-byte
// file. libcurl connects and handshakes as for any request, then finds nothing left to upload
// and ends the transfer with CURLE_PARTIAL_FILE before it writes a single request byte; since
// the transfer failed before the request, the connection is not suspect and stays in the pool,
// where the next request to the origin picks it up. The warm-up tests guard this behaviour.
class WarmUp {
 public:
  // `url` was parsed by parseRequestUrl; its path is never sent.
  WarmUp(CurlUrl url, std::string origin, std::shared_ptr<const TrustSettings> trust, CURLSH* share,
         long maxIdleSeconds);
  WarmUp(const WarmUp&) = delete;
  WarmUp& operator=(const WarmUp&) = delete;

  // Null when libcurl could not make a handle.
  CURL* easy() const noexcept { return easy_.get(); }
  const std::string& origin() const noexcept { return origin_; }

  // Whether the warm-up ended as planned, with a handshaken connection left in the pool (any
  // other result is a failure, which is ignored).
  static bool leftConnectionOpen(CURLcode result) noexcept { return result == CURLE_PARTIAL_FILE; }

 private:
  CurlEasy easy_;
  CurlUrl url_;
  std::string origin_;
  std::shared_ptr<const TrustSettings> trust_;  // read by the handle while it runs
};

}  // namespace korvani::platform::transport
