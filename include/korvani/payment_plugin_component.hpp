#pragma once

#include <memory>
#include <optional>

#include "korvani/export.hpp"
#include "korvani/host/checkout.hpp"
#include "korvani/host/plugin.hpp"
#include "korvani/payment_configuration_manager.hpp"
#include "korvani/payment_plugin_configuration.hpp"
#include "korvani/payment_view_model.hpp"
#include "korvani/platform/view.hpp"

namespace korvani {

// The object the host checkout talks to. It shows no screen: it keeps the store and the
// navigation handler the host hands over and, once rendering has finished, pays with what the
// store holds and reports the outcome to the navigation handler.
//
// Create it with create() or std::make_shared: the payment's completion holds the component
// only weakly, so a component destroyed mid-payment reports nothing. All operations belong to
// the host's main thread.
class KORVANI_EXPORT PaymentPluginComponent final
    : public host::VQPaymentPluginComponent,
      public std::enable_shared_from_this<PaymentPluginComponent> {
 public:
  static std::shared_ptr<PaymentPluginComponent> create(
      std::shared_ptr<PaymentPluginConfiguration> configuration);
  // Validates nothing; a missing value shows when the request is sent. No network or host
  // activity happens here.
  explicit PaymentPluginComponent(std::shared_ptr<PaymentPluginConfiguration> configuration);
  PaymentPluginComponent(const PaymentPluginComponent&) = delete;
  PaymentPluginComponent& operator=(const PaymentPluginComponent&) = delete;

  // The store and the handler last handed over. Assigning them directly has no other effect.
  std::shared_ptr<host::VQCheckoutStore> store;
  std::shared_ptr<host::VQPluginNavigationHandler> navigationHandler;

  // No view, ever; keeps nothing.
  std::shared_ptr<platform::View> render(std::shared_ptr<host::VQCheckoutStore> checkoutStore,
                                         std::shared_ptr<host::VQTheme> theme) override;
  void didReceive(std::shared_ptr<host::VQCheckoutStore> pluginStore) override;
  // Starts one payment and returns. Each call starts another; the latest one replaces the
  // earlier, whose answer is then never reported.
  void renderDidFinish() override;
  // Tells `handler` that the plug-in's work begins, then keeps it.
  void navigationHandlerForPlugin(
      std::shared_ptr<host::VQPluginNavigationHandler> handler) override;
  std::optional<bool> shouldShowNavigationBar() override { return false; }
  std::optional<bool> support(std::shared_ptr<host::VQCheckoutStore> /*pluginStore*/) override {
    return true;
  }

  const PaymentConfigurationManager& manager() const noexcept { return manager_; }
  const std::shared_ptr<PaymentViewModel>& paymentViewModel() const noexcept {
    return paymentViewModel_;
  }

 private:
  PaymentConfigurationManager manager_;
  std::shared_ptr<PaymentViewModel> paymentViewModel_;
};

}  // namespace korvani
