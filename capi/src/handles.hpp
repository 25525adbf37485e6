#pragma once

// The handles a host holds, as every source of the C API sees them: one definition each.

#include <memory>

#include "korvani/payment_plugin_component.hpp"
#include "korvani/payment_plugin_configuration.hpp"

struct korvani_configuration {
  std::shared_ptr<korvani::PaymentPluginConfiguration> value;
};
struct korvani_component {
  std::shared_ptr<korvani::PaymentPluginComponent> value;
};
