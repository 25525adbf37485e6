#include "korvani/payment_service.hpp"

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

PaymentService::PaymentService(const PaymentConfiguration& configuration)
    : KorvaniBaseService(paymentConfig(configuration)) {
  if (configuration.accessToken) setAccessToken(*configuration.accessToken);
}

}  // namespace korvani
