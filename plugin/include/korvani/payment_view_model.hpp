#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "korvani/export.hpp"
#include "korvani/json.hpp"
#include "korvani/payment.hpp"
#include "korvani/payment_configuration.hpp"
#include "korvani/platform/error.hpp"

namespace korvani {

class PaymentService;

// Runs one payment from an assembled request to a parsed Payment, sends one tracking event
// (screen "/myzr/account_balance", action "post_payment", to the host's process listener) and
// hands the outcome to its caller.
//
// Made only by create(): the service callbacks refer back to the view model only weakly (so a
// pending request never keeps it alive), and a view model that no shared_ptr owned would never
// complete. Main thread only; nothing is locked.
class KORVANI_EXPORT PaymentViewModel : public std::enable_shared_from_this<PaymentViewModel> {
  // Proof that the constructor runs inside create(). Explicit, so `{}` cannot make one.
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  // Called at most once per performPayment(), on the main thread: the payment and no error,
  // or no payment and an error (null after an HTTP error answer, which carries none). Both are
  // lent for the call; copy what you keep.
  using Completion = std::function<void(const std::optional<Payment>&, const platform::ErrorPtr&)>;

  // No payment yet.
  static std::shared_ptr<PaymentViewModel> create();
  explicit PaymentViewModel(Passkey) {}  // public for std::make_shared; the key is private
  // Not copyable: running payments refer to this very object.
  PaymentViewModel(const PaymentViewModel&) = delete;
  PaymentViewModel& operator=(const PaymentViewModel&) = delete;

  // The service of the latest payment and the only strong reference to it (null before the
  // first). Replacing or clearing it makes the running request's answer reach no one unless it
  // was already on its way to the main thread; the request is not cancelled.
  std::shared_ptr<PaymentService> paymentService;

  // Starts the payment and returns at once; the outcome arrives later through `completion`.
  //   parsed payment             completion(payment, null), then event "success" {"raw": raw}
  //   answer without a payment   completion(nullopt, new empty error), no event
  //   error or failure           event "fail" {"error": description or ""}, then
  //                              completion(nullopt, the error as received)
  // Nothing at all happens once the view model is gone. An empty completion is allowed: the
  // event is still sent.
  void performPayment(PaymentConfiguration configuration, Completion completion);

 private:
  // One event on a fresh tracker; dropped when the host has no listener.
  void trackPaymentEvent(const std::string& result, JsonObject extraParams) const;
};

}  // namespace korvani
