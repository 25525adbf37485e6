#include "korvani/payment_plugin_configuration.hpp"

namespace korvani {

std::string PaymentPluginConfiguration::xTrackingId() const {
  std::string id = "platform:APP, so:";
  id += platform;
  id += ", version:";
  if (appVersion) id += *appVersion;
  id += ", source:";
  if (source) id += *source;
  return id;
}

}  // namespace korvani
