#pragma once
// Requests to a sandbox for its tests: posted with the shared session, as the plug-in posts.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "korvani/platform/url_request.hpp"
#include "korvani/platform/url_session.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "support/test_server.hpp"

namespace korvani::sandbox {

inline constexpr const char* kPaymentTarget = "/v1/payments?access_token=TEST-8471-secret";

// An answer's status and body; 0 and nothing when none came.
struct Answer {
  long status = 0;
  std::string body;
  std::string contentType;
};

// Posts `body` to `target` with the shared session, as the plug-in does, and the idempotency key
// when given; `port` overrides the server's own (to knock on a port it has left).
inline Answer post(const SandboxServer& server, const std::string& body,
                   const std::optional<std::string>& key = {},
                   const std::string& target = kPaymentTarget, int port = 0) {
  platform::URLSession::sharedSession()->addTrustedCertificatesPem(server.caCertificatePem());
  platform::HeaderList headers{{"Content-Type", "application/json"}};
  if (key) headers.emplace_back("X-Idempotency-Key", *key);
  const std::string origin = "https://127.0.0.1:" + std::to_string(port ? port : server.port());
  const auto outcome =
      test_support::fetch(test_support::request(origin + target, "POST", std::move(headers), body));
  if (!outcome || !outcome->response) return {};
  return {outcome->response->statusCode, outcome->data.value_or(""),
          outcome->response->valueForHTTPHeaderField("Content-Type").value_or("")};
}

// Small options for tests: no log, short delays.
inline SandboxOptions quietOptions() {
  SandboxOptions options;
  options.quiet = true;
  options.slowDelay = std::chrono::milliseconds(300);
  options.workerThreads = 4;
  return options;
}

inline constexpr const char* kCardBody =
    R"({"payment_method_id":"visa","token":"card-123","transaction_amount":10.25,)"
    R"("installments":3,"external_reference":"order-77","description":"Two lamps"})";

inline std::string cardBody(std::string_view scenario) {
  return R"({"payment_method_id":"visa","token":")" + *sandboxTokenForScenario(scenario) + "\"}";
}

}  // namespace korvani::sandbox
