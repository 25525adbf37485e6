#include "korvani/payment_plugin_component.hpp"

#include <utility>

#include "korvani/base_service.hpp"
#include "korvani/payment_configuration_manager.hpp"
#include "korvani/payment_view_model.hpp"

namespace korvani {

std::shared_ptr<PaymentPluginComponent> PaymentPluginComponent::create(
    std::shared_ptr<PaymentPluginConfiguration> configuration) {
  return std::make_shared<PaymentPluginComponent>(Passkey{}, std::move(configuration));
}

PaymentPluginComponent::PaymentPluginComponent(
    Passkey, std::shared_ptr<PaymentPluginConfiguration> configuration)
    : manager_(std::make_unique<PaymentConfigurationManager>(std::move(configuration))),
      paymentViewModel_(PaymentViewModel::create()) {}

PaymentPluginComponent::~PaymentPluginComponent() = default;

std::shared_ptr<platform::View> PaymentPluginComponent::render(
    std::shared_ptr<host::VQCheckoutStore> /*checkoutStore*/,
    std::shared_ptr<host::VQTheme> /*theme*/) {
  return nullptr;
}

void PaymentPluginComponent::didReceive(std::shared_ptr<host::VQCheckoutStore> pluginStore) {
  store = std::move(pluginStore);
  warmUpConnection();
}

void PaymentPluginComponent::navigationHandlerForPlugin(
    std::shared_ptr<host::VQPluginNavigationHandler> handler) {
  if (handler) handler->beginPluginWork();
  navigationHandler = std::move(handler);
  warmUpConnection();
}

// The host hands over store and handler when the checkout opens, seconds before the payer pays:
// time enough to have TCP and TLS done before the payment goes out.
void PaymentPluginComponent::warmUpConnection() const {
  BaseService::warmUp(manager_->pluginConfiguration()->baseUrl);
}

void PaymentPluginComponent::renderDidFinish() {
  if (store) {
    manager_->update(store->currentPaymentData());
    manager_->update(store);
  }
  PaymentConfiguration configuration = manager_->currentConfiguration();

  paymentViewModel_->performPayment(
      std::move(configuration), [weakSelf = weak_from_this()](const std::optional<Payment>& payment,
                                                              const platform::ErrorPtr& /*error*/) {
        const auto self = weakSelf.lock();
        if (!self) return;
        if (const auto current = self->navigationHandler) current->endPluginWork();
        // Read again: ending the work may have handed the component another handler.
        const auto handler = self->navigationHandler;
        if (!handler) return;
        if (payment) {
          handler->didFinishPayment(payment->status(), payment->statusDetail(),
                                    payment->idString());
        } else {
          // Whatever kept the payment from coming back.
          handler->didFinishPayment(host::VQPaymentMethodPlugin::RemotePaymentStatus::Rejected);
        }
      });
}

}  // namespace korvani
