#pragma once

#include <memory>
#include <optional>
#include <string>

#include "korvani/export.hpp"
#include "korvani/host/checkout.hpp"
#include "korvani/platform/view.hpp"

// The protocol the host checkout drives a payment plug-in through. Operations marked optional
// have defaults that mean "not provided": nothing happens, and a query answers nullopt, so
// the host falls back to its own behaviour. The host holds the plug-in by std::shared_ptr and
// calls every operation on its main thread.
namespace korvani::host {

// Something the checkout can show.
class KORVANI_EXPORT VQCustomComponentizable {
 public:
  virtual ~VQCustomComponentizable() = default;
  // The view to show inside the checkout, or null for none.
  virtual std::shared_ptr<platform::View> render(std::shared_ptr<VQCheckoutStore> store,
                                                 std::shared_ptr<VQTheme> theme) = 0;
};

// A plug-in screen of the checkout and its life cycle.
class KORVANI_EXPORT VQPluginComponent : public VQCustomComponentizable {
 public:
  // Optional operations. The host hands over its store and its navigation handler, asks
  // render() for a view, then calls renderDidFinish(); the appearance calls follow the view's
  // life. The navigation bar queries answer nullopt for the host's own title, colour and
  // visibility.
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

// A plug-in that makes the payment itself.
class KORVANI_EXPORT VQPaymentPluginComponent : public VQPluginComponent {
 public:
  // Optional: whether the plug-in can pay the checkout in `pluginStore`.
  virtual std::optional<bool> support(std::shared_ptr<VQCheckoutStore> /*pluginStore*/) {
    return std::nullopt;
  }
};

}  // namespace korvani::host
