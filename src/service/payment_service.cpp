#include "korvani/payment_service.hpp"

#include <memory>

namespace korvani {
namespace {

ServiceConfig paymentConfig(const PaymentConfiguration& configuration) {
  ServiceConfig config;
  config.base = configuration.baseUrl;
  config.path = configuration.path;
  config.body = configuration.body;
  config.method = RequestMethod::post;
  if (configuration.headers) config.headers = *configuration.headers;
  return config;
}

}  // namespace

std::shared_ptr<PaymentService> PaymentService::create(const PaymentConfiguration& configuration) {
  return std::make_shared<PaymentService>(Passkey{}, configuration);
}

PaymentService::PaymentService(Passkey key, const PaymentConfiguration& configuration)
    : KorvaniBaseService(key, paymentConfig(configuration)) {
  if (configuration.accessToken) setAccessToken(*configuration.accessToken);
}

}  // namespace korvani
