#include "korvani/korvani_base_service.hpp"

#include <utility>

namespace korvani {
namespace {

ServiceConfig withDefaultBase(ServiceConfig config) {
  if (!config.base) config.base = std::string(KorvaniBaseService::defaultBaseUrl);
  return config;
}

}  // namespace

std::shared_ptr<KorvaniBaseService> KorvaniBaseService::create(ServiceConfig config) {
  return std::make_shared<KorvaniBaseService>(Passkey{}, std::move(config));
}

KorvaniBaseService::KorvaniBaseService(Passkey key, ServiceConfig serviceConfig)
    : BaseService(key, withDefaultBase(std::move(serviceConfig))) {}

void KorvaniBaseService::setAccessToken(std::string token) {
  config.params.insert_or_assign("access_token", std::move(token));
}

}  // namespace korvani
