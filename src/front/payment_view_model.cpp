#include "korvani/payment_view_model.hpp"

#include <utility>

#include "korvani/host/tracker.hpp"
#include "korvani/payment_service.hpp"
#include "korvani/response.hpp"

namespace korvani {
namespace {

constexpr const char* kScreenName = "/myzr/account_balance";
constexpr const char* kAction = "post_payment";

// The payment the answer describes, if it is a JSON object holding a valid one.
std::optional<Payment> paymentFrom(const Response* response) {
  if (!response) return std::nullopt;
  std::optional<JsonValue> json = response->responseJSON();
  JsonObject* object = json ? json->asObject() : nullptr;
  if (!object) return std::nullopt;
  return Payment::fromJson(std::move(*object));
}

}  // namespace

std::shared_ptr<PaymentViewModel> PaymentViewModel::create() {
  return std::make_shared<PaymentViewModel>(Passkey{});
}

void PaymentViewModel::performPayment(PaymentConfiguration configuration, Completion completion) {
  auto service = PaymentService::create(std::move(configuration));
  // Both handlers share the caller's completion; neither keeps the view model alive.
  auto shared = std::make_shared<const Completion>(std::move(completion));
  const std::weak_ptr<PaymentViewModel> weakSelf = weak_from_this();

  service->success = [weakSelf, shared](std::shared_ptr<Response> response) {
    const auto self = weakSelf.lock();
    if (!self) return;
    std::optional<Payment> payment = paymentFrom(response.get());
    if (!payment) {
      // The answer's content is not kept and not tracked; the caller only learns it failed.
      if (*shared) (*shared)(std::nullopt, std::make_shared<const platform::Error>());
      return;
    }
    // The event is built before the payment is handed over, and sent after the completion.
    JsonObject extraParams;
    extraParams.set("raw", JsonValue(JsonObject(payment->raw())));
    if (*shared) (*shared)(std::move(payment), nullptr);
    self->trackPaymentEvent("success", extraParams);
  };

  // One handler for both outcomes: an error answer and a transport failure mean the same here.
  auto failed = [weakSelf, shared](const std::shared_ptr<Response>& /*response*/,
                                   platform::ErrorPtr error) {
    const auto self = weakSelf.lock();
    if (!self) return;
    const std::string message = error ? error->localizedDescription() : std::string();
    self->trackPaymentEvent("fail", JsonObject{{"error", message}});
    if (*shared) (*shared)(std::nullopt, std::move(error));
  };
  service->error = failed;
  service->failure = failed;

  // Releases the previous service, if any, without cancelling it.
  paymentService = service;
  service->execute();
}

void PaymentViewModel::trackPaymentEvent(const std::string& result,
                                         const JsonObject& extraParams) const {
  const host::KVQTracker tracker;
  const std::shared_ptr<host::KVTrackListener> listener = tracker.getTrackListener();
  if (!listener) return;
  listener->trackEvent(kScreenName, kAction, result, extraParams);
}

}  // namespace korvani
