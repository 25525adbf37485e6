#pragma once

// The payment every benchmark works on: a card payment with every part a host can configure,
// so that request assembly, serialization and the network round trip carry a realistic load.

#include <memory>
#include <optional>
#include <string>

#include "korvani/host/stand_ins.hpp"
#include "korvani/payment_configuration_manager.hpp"
#include "korvani/payment_plugin_configuration.hpp"

namespace korvani::bench {

// SHA-256 of `text` as 64 lower-case hex digits (OpenSSL), shaped as the configuration's hook.
std::optional<std::string> sha256Hex(const std::string& text);

struct CardPayment {
  std::shared_ptr<PaymentPluginConfiguration> configuration;
  std::shared_ptr<host::InMemoryCheckoutStore> store;
  // Holds the configuration and the store's payment data and store, as the component hands
  // them over before every payment.
  std::shared_ptr<PaymentConfigurationManager> manager;
};

// A credit-card payment: preference with every field, merchant order, discount, internal
// metadata, session id, user agent and the SHA-256 hook; token, issuer and 3 installments.
CardPayment makeCardPayment(std::string baseUrl = "https://127.0.0.1:8443",
                            std::string path = "/v1/payments");

// A typical answer of the payment platform to that payment (a created, approved payment).
std::string typicalPaymentAnswer();

}  // namespace korvani::bench
