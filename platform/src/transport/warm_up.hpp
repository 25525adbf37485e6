#pragma once

// A connection opened ahead of the first request to an origin, so that the request finds TCP
// and TLS already done.

#include <curl/curl.h>

#include <memory>
#include <string>

#include "transport/easy_handle.hpp"
#include "transport/request_url.hpp"
#include "transport/trust_store.hpp"

namespace korvani::platform::transport {

// libcurl has no call that opens a connection for later requests: its connect-only connections
// are never reused. A warm-up therefore asks for an upload resumed at byte 1 of a one-byte
// file. libcurl connects and handshakes as for any request, then finds nothing left to upload
// and ends the transfer with CURLE_PARTIAL_FILE before it writes a single request byte; since
// the transfer failed before the request, the connection is not suspect and stays in the pool,
// where the next request to the origin picks it up. That is one libcurl's handling of an odd
// upload, not a promise: another version could send a real PUT. So warm-ups run only on the
// libcurl versions whose behaviour the warm-up tests prove (the server's request handler never
// sees one, over HTTP/1.1 and HTTP/2); elsewhere the session opens no connection ahead. Anything
// that arrives for a warm-up is discarded, never written to the host's standard output.
class WarmUp {
 public:
  // `url`'s path is never sent; `handle` is a fresh one from makeEasyHandle.
  WarmUp(std::shared_ptr<const ParsedUrl> url, EasyHandle handle,
         std::shared_ptr<const TrustSettings> trust, std::shared_ptr<const std::string> proxy,
         long maxIdleSeconds);
  WarmUp(const WarmUp&) = delete;
  WarmUp& operator=(const WarmUp&) = delete;

  // libcurl versions (CURLVERSION_NOW's version_num) whose warm-up the tests prove, from the
  // first up to the last, excluded: 7.88.
  static constexpr unsigned int kFirstProvenCurl = 0x075800;
  static constexpr unsigned int kLastProvenCurl = 0x075900;
  static bool provenOn(unsigned int curlVersion) noexcept;
  // Whether the libcurl the process runs with is one of them.
  static bool available() noexcept;

  // Null when libcurl could not make a handle.
  CURL* easy() const noexcept { return handle_.easy.get(); }
  const std::string& origin() const noexcept { return url_->origin; }

  // Whether the warm-up ended as planned, with a handshaken connection left in the pool (any
  // other result is a failure, which is ignored).
  static bool leftConnectionOpen(CURLcode result) noexcept { return result == CURLE_PARTIAL_FILE; }

 private:
  std::shared_ptr<const ParsedUrl> url_;
  EasyHandle handle_;  // keeps the trust it was given alive
};

}  // namespace korvani::platform::transport
