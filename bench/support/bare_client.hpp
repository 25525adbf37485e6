#pragma once

#include <memory>
#include <string>

#include "korvani/platform/url_request.hpp"
#include "korvani/service_config.hpp"

namespace korvani::bench {

// The request that BaseService::execute() builds for `config`: URL = base + path + query,
// method, the configured header fields plus "Content-Type" (in the dictionary's order), the
// body's compact JSON text and the time-out. Lets the floor send exactly the plug-in's bytes.
platform::URLRequest requestFor(const ServiceConfig& config);

// The floor of the end-to-end benchmark: one libcurl easy handle set up once and performed on
// the calling thread for every request, so its connection and TLS session are reused, with
// the URL session's TLS settings (verification on, HTTP/2 offered, the given authority
// trusted beside the system store) and its header handling (exactly the given fields).
class BareClient {
 public:
  BareClient(const platform::URLRequest& request, const std::string& trustedPem);
  ~BareClient();
  BareClient(const BareClient&) = delete;
  BareClient& operator=(const BareClient&) = delete;

  // Sends the request once; false (with error() set) on a transport failure.
  bool perform();

  long status() const noexcept { return status_; }
  const std::string& body() const noexcept { return body_; }
  const std::string& error() const noexcept { return error_; }

 private:
  struct Handles;
  std::unique_ptr<Handles> handles_;
  platform::URLRequest request_;  // the handle points into it
  std::string trustedPem_;        // likewise
  std::string body_;
  std::string error_;
  long status_ = 0;
};

}  // namespace korvani::bench
