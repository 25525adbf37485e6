#include "korvani/payment_service.hpp"

#include <memory>
#include <utility>

namespace korvani {
namespace {

// Takes over the parts a request description holds; the access token stays for the caller.
ServiceConfig paymentConfig(PaymentConfiguration& configuration) {
  ServiceConfig config;
  config.base = std::move(configuration.baseUrl);
  config.path = std::move(configuration.path);
  config.body = std::move(configuration.body);
  config.method = RequestMethod::post;
  if (configuration.headers) config.headers = std::move(*configuration.headers);
  return config;
}

}  // namespace

std::shared_ptr<PaymentService> PaymentService::create(PaymentConfiguration configuration) {
  return std::make_shared<PaymentService>(Passkey{}, std::move(configuration));
}

PaymentService::PaymentService(Passkey key, PaymentConfiguration configuration)
    : KorvaniBaseService(key, paymentConfig(configuration)) {
  if (configuration.accessToken) setAccessToken(std::move(*configuration.accessToken));
}

}  // namespace korvani
