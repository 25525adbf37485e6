#pragma once

#include <memory>
#include <string>

#include "korvani/export.hpp"
#include "korvani/host/checkout.hpp"
#include "korvani/json.hpp"
#include "korvani/payment_configuration.hpp"
#include "korvani/payment_plugin_configuration.hpp"

namespace korvani {

// Assembles payment requests from the host's configuration and the checkout's current state.
// Nothing is cached: every currentConfiguration() reads everything again. The creation time is
// part of every idempotency key, so the requests of one manager share it. Not thread-safe:
// use it on the host's main thread, which drives the plug-in.
class KORVANI_EXPORT PaymentConfigurationManager {
 public:
  // Reads the wall clock once. Shares the configuration with the host (a null one is replaced
  // by a default one of its own).
  explicit PaymentConfigurationManager(std::shared_ptr<PaymentPluginConfiguration> configuration);

  // The checkout's payment data and store as last handed over, held strongly. Null until then:
  // no payment data means no payment method in the body, no store means no stored code.
  std::shared_ptr<host::PaymentData> paymentData;
  std::shared_ptr<host::VQCheckoutStore> store;

  // Replace paymentData or store (null clears it); nothing is read until the next request.
  void update(std::shared_ptr<host::PaymentData> newPaymentData);
  void update(std::shared_ptr<host::VQCheckoutStore> newStore);

  // URL parts and access token copied from the configuration, plus freshly computed headers
  // and body (both always present). Calls the configuration's sha256 hook once when it is set.
  PaymentConfiguration currentConfiguration() const;

  // The configuration every request reads; never null.
  const std::shared_ptr<PaymentPluginConfiguration>& pluginConfiguration() const noexcept {
    return pluginConfiguration_;
  }
  // Seconds since 1970-01-01 00:00:00 UTC at construction.
  double timeStamp() const noexcept { return timeStamp_; }

 private:
  StringDictionary headers() const;
  std::string generateIdempotencyKey() const;
  JsonObject body() const;
  std::string paymentFragment() const;
  // The second-factor code kept by the store, if it is usable.
  std::optional<std::string> storedAuthCode() const;

  std::shared_ptr<PaymentPluginConfiguration> pluginConfiguration_;
  double timeStamp_;
};

}  // namespace korvani
