#pragma once

#include <memory>
#include <optional>
#include <string>

#include "korvani/export.hpp"
#include "korvani/host/checkout.hpp"
#include "korvani/platform/view.hpp"

// The protocol the host checkout drives a payment plug-in through. Operations marked optional
// have defaults that mean "not provided": nothing happens, and a query answers nullopt, so
// the host falls back to its own behaviour.
namespace korvani::host {

class KORVANI_EXPORT VQCustomComponentizable {
 public:
  virtual ~VQCustomComponentizable() = default;
  // The view to show inside the checkout, or null for none.
  virtual std::shared_ptr<platform::View> render(std::shared_ptr<VQCheckoutStore> store,
                                                 std::shared_ptr<VQTheme> theme) = 0;
};

class KORVANI_EXPORT VQPluginComponent : public VQCustomComponentizable {
 public:
  // Optional operations.
  virtual void didReceive(std::shared_ptr<VQCheckoutStore> /*pluginStore*/) {}
  virtual void renderDidFinish() {}
  virtual void viewWillAppear() {}
  virtual void viewWillDisappear() {}
  virtual void navigationHandlerForPlugin(
      std::shared_ptr<VQPluginNavigationHandler> /*navigationHandler*/) {}
  virtual std::optional<std::string> titleForNavigationBar() { return std::nullopt; }
  virtual std::optional<platform::Color> colorForNavigationBar() { return std::nullopt; }
  virtual std::optional<bool> shouldShowNavigationBar() { return std::nullopt; }
};

class KORVANI_EXPORT VQPaymentPluginComponent : public VQPluginComponent {
 public:
  // Optional: whether the plug-in can pay the checkout in `pluginStore`.
  virtual std::optional<bool> support(std::shared_ptr<VQCheckoutStore> /*pluginStore*/) {
    return std::nullopt;
  }
};

}  // namespace korvani::host
