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
  // What the handlers share: the caller's completion and the view model, held weakly.
  struct Handling {
    std::weak_ptr<PaymentViewModel> owner;
    Completion completion;
  };
  auto handling =
      std::make_shared<const Handling>(Handling{weak_from_this(), std::move(completion)});

  service->success = [handling](std::shared_ptr<Response> response) {
    const auto self = handling->owner.lock();
    if (!self) return;
    const Completion& done = handling->completion;
    std::optional<Payment> payment = paymentFrom(response.get());
    if (!payment) {
      // The answer's content is not kept and not tracked; the caller only learns it failed.
      if (done) done(std::nullopt, std::make_shared<const platform::Error>());
      return;
    }
    if (done) done(payment, nullptr);
    // The completion only borrowed the payment: its raw object goes on to the event.
    JsonObject extraParams;
    extraParams.reserve(1);
    extraParams.set("raw", JsonValue(std::move(*payment).raw()));
    self->trackPaymentEvent("success", std::move(extraParams));
  };

  // One handler for both outcomes: an error answer and a transport failure mean the same here.
  auto failed = [handling](const std::shared_ptr<Response>& /*response*/,
                           platform::ErrorPtr error) {
    const auto self = handling->owner.lock();
    if (!self) return;
    const std::string message = error ? error->localizedDescription() : std::string();
    self->trackPaymentEvent("fail", JsonObject{{"error", message}});
    if (handling->completion) handling->completion(std::nullopt, error);
  };
  service->error = failed;
  service->failure = std::move(failed);

  // Releases the previous service, if any, without cancelling it.
  paymentService = service;
  service->execute();
}

void PaymentViewModel::trackPaymentEvent(const std::string& result, JsonObject extraParams) const {
  const host::KVQTracker tracker;
  const std::shared_ptr<host::KVTrackListener> listener = tracker.getTrackListener();
  if (!listener) return;
  static const std::string screenName = kScreenName;
  static const std::string action = kAction;
  listener->trackEvent(screenName, action, result,
                       std::optional<JsonObject>(std::move(extraParams)));
}

}  // namespace korvani
