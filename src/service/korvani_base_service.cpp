#include "korvani/korvani_base_service.hpp"

#include <utility>

namespace korvani {
namespace {

ServiceConfig withDefaultBase(ServiceConfig config) {
  if (!config.base) config.base = std::string(KorvaniBaseService::defaultBaseUrl);
  return config;
}

}  // namespace

KorvaniBaseService::KorvaniBaseService(ServiceConfig serviceConfig)
    : BaseService(withDefaultBase(std::move(serviceConfig))) {}

void KorvaniBaseService::setAccessToken(std::string token) {
  config.params.insert_or_assign("access_token", std::move(token));
}

}  // namespace korvani
