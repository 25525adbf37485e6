#pragma once

#include <memory>
#include <optional>

#include "korvani/export.hpp"
#include "korvani/host/checkout.hpp"
#include "korvani/host/plugin.hpp"
#include "korvani/payment_plugin_configuration.hpp"
#include "korvani/platform/view.hpp"

namespace korvani {

// The component's parts, each in its own header; a host needs neither.
class PaymentConfigurationManager;
class PaymentViewModel;

// The object the host checkout talks to. It shows no screen: it keeps the store and the
// navigation handler the host hands over and, once rendering has finished, pays with what the
// store holds and reports the outcome to the navigation handler. It holds the configuration
// (shared with the host), one request assembler and one view model for its whole life.
//
// Made only by create(): the payment's completion holds the component only weakly, so a
// component destroyed mid-payment reports nothing, and one that no shared_ptr owned would never
// report. All operations belong to the host's main thread.
class KORVANI_EXPORT PaymentPluginComponent final
    : public host::VQPaymentPluginComponent,
      public std::enable_shared_from_this<PaymentPluginComponent> {
  // Proof that the constructor runs inside create(). Explicit, so `{}` cannot make one.
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  // A shared component; a null configuration stands for a default one. Validates nothing: a
  // missing value shows when the request is sent. No network or host activity happens here.
  static std::shared_ptr<PaymentPluginComponent> create(
      std::shared_ptr<PaymentPluginConfiguration> configuration);
  // Public for std::make_shared only; the key is private.
  PaymentPluginComponent(Passkey, std::shared_ptr<PaymentPluginConfiguration> configuration);
  // Not copyable: the payment completion refers to this very object.
  PaymentPluginComponent(const PaymentPluginComponent&) = delete;
  PaymentPluginComponent& operator=(const PaymentPluginComponent&) = delete;
  ~PaymentPluginComponent() override;

  // The store and the handler last handed over, held strongly; null until then. Assigning them
  // directly has no other effect. Without a handler the outcome is reported to no one.
  std::shared_ptr<host::VQCheckoutStore> store;
  std::shared_ptr<host::VQPluginNavigationHandler> navigationHandler;

  // No view, ever; keeps nothing.
  std::shared_ptr<platform::View> render(std::shared_ptr<host::VQCheckoutStore> checkoutStore,
                                         std::shared_ptr<host::VQTheme> theme) override;
  // Keeps the store, replacing the earlier one; it is read when rendering has finished. Like the
  // hand-over of the handler, it has a connection to the configured base URL opened in the
  // background (when one is set and the device is online), so that the payment finds it ready.
  void didReceive(std::shared_ptr<host::VQCheckoutStore> pluginStore) override;
  // Reads the store's current payment data (a null store leaves the data handed over before),
  // starts one payment and returns. On the outcome the handler then held gets endPluginWork(),
  // then didFinishPayment(status, status detail, payment id) or, without a payment, the status
  // Rejected. Each call starts another payment and drops the earlier one, whose answer is then
  // not reported unless it was already on its way to the main thread.
  void renderDidFinish() override;
  // Tells `handler` that the plug-in's work begins, then keeps it (null: keeps none).
  void navigationHandlerForPlugin(
      std::shared_ptr<host::VQPluginNavigationHandler> handler) override;
  // Always false: there is no screen to put a bar on.
  std::optional<bool> shouldShowNavigationBar() override { return false; }
  // Always true: any checkout can be paid; the store is not looked at.
  std::optional<bool> support(std::shared_ptr<host::VQCheckoutStore> /*pluginStore*/) override {
    return true;
  }

  // The request assembler and the payment runner, for inspection (include their headers); both
  // live as long as the component.
  const PaymentConfigurationManager& manager() const noexcept { return *manager_; }
  const std::shared_ptr<PaymentViewModel>& paymentViewModel() const noexcept {
    return paymentViewModel_;
  }

 private:
  void warmUpConnection() const;

  const std::unique_ptr<PaymentConfigurationManager> manager_;
  std::shared_ptr<PaymentViewModel> paymentViewModel_;
};

}  // namespace korvani
