#include "korvani/payment_plugin_configuration.hpp"

#include <string_view>

namespace korvani {

std::string PaymentPluginConfiguration::xTrackingId() const {
  constexpr std::string_view kFixed = "platform:APP, so:, version:, source:";
  std::string id;
  id.reserve(kFixed.size() + platform.size() + (appVersion ? appVersion->size() : 0) +
             (source ? source->size() : 0));
  id += "platform:APP, so:";
  id += platform;
  id += ", version:";
  if (appVersion) id += *appVersion;
  id += ", source:";
  if (source) id += *source;
  return id;
}

}  // namespace korvani
