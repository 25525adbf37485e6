#pragma once
// Header only: tests that include it link the sandbox library themselves.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "korvani/auth_code.hpp"
#include "korvani/constants.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/payment_plugin_configuration.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_session.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "support/fakes.hpp"
#include "support/process_state.hpp"

namespace korvani::test_support {

// A quiet in-process sandbox that the shared session trusts, with the network reported up and
// tracking recorded by `listener` (a ProcessState undoes these); null (and `error` set) when the
// server did not start.
inline std::unique_ptr<sandbox::SandboxServer> startCheckoutSandbox(
    sandbox::SandboxOptions options, std::shared_ptr<host::KVTrackListener> listener,
    std::string& error) {
  options.quiet = true;
  auto server = std::make_unique<sandbox::SandboxServer>(options);
  if (!server->start(&error)) return nullptr;
  platform::URLSession::sharedSession()->addTrustedCertificatesPem(server->caCertificatePem());
  setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);
  host::KVQTracker::setTrackListener(std::move(listener));
  return server;
}

// A lamp bought at the sandbox for `amount`, with a merchant order ("order-checkout") and the
// idempotency hook; `salt` gives each checkout digests of its own.
inline std::shared_ptr<PaymentPluginConfiguration> sandboxCheckout(
    const sandbox::SandboxServer& server, const std::string& amount = "150.75",
    const std::string& salt = "") {
  auto configuration = std::make_shared<PaymentPluginConfiguration>();
  configuration->baseUrl = server.baseUrl();
  configuration->path = "/v1/payments";
  configuration->accessToken = "TEST-checkout-token";
  configuration->checkoutPreference = PaymentPluginPreference::fromJsonText(
      R"({"id": "pref-checkout", "items": [{"title": "Lamp", "quantity": 1, "currency_id": "EUR"}],
          "collector_id": 5544, "marketplace": "NONE", "operation_type": "regular_payment",
          "amount": )" +
      amount + "}");
  configuration->merchantOrder = PaymentPluginMerchantOrder::fromJsonText(
      R"({"id": 4242, "external_reference": "order-checkout"})");
  configuration->sha256 = [salt](const std::string& fragment) {
    return sha256Hex(salt + fragment);
  };
  return configuration;
}

// The payer's card, whose token selects the sandbox scenario.
inline std::shared_ptr<host::PaymentData> sandboxCard(const std::string& scenario,
                                                      std::int64_t installments = 3) {
  return host::makePaymentData({.paymentMethodId = "visa",
                                .paymentTypeId = "credit_card",
                                .issuerId = "310",
                                .tokenId = sandbox::sandboxTokenForScenario(scenario),
                                .installments = installments});
}

// A store holding `payment` and a validated second-factor code.
inline std::shared_ptr<host::InMemoryCheckoutStore> sandboxStore(
    std::shared_ptr<host::PaymentData> payment) {
  auto store = std::make_shared<host::InMemoryCheckoutStore>(std::move(payment));
  store->setData(Constants::AuthCode, AuthCode("482913", true).toDictionary());
  return store;
}

// Renders `component` and drains the main queue until `handler` heard the two calls a payment
// ends with (the work's end, then the report), or `timeout` passed; whether they came.
inline bool renderUntilReported(PaymentPluginComponent& component,
                                const host::RecordingNavigationHandler& handler,
                                std::chrono::seconds timeout) {
  const std::size_t before = handler.calls().size();
  component.renderDidFinish();
  const bool reported =
      platform::MainQueue::runFor([&] { return handler.calls().size() >= before + 2; }, timeout);
  platform::MainQueue::runUntilIdle();
  return reported;
}

// Runs what the main queue still holds, then stops the server.
inline void stopCheckoutSandbox(sandbox::SandboxServer* server) {
  platform::MainQueue::runUntilIdle();
  if (server) server->stop();
}

}  // namespace korvani::test_support
