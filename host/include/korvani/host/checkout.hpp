#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "korvani/export.hpp"
#include "korvani/json.hpp"

// What the host checkout offers the plug-in. The host implements these and hands them over as
// std::shared_ptr; ready-made stand-ins are in stand_ins.hpp. The plug-in calls them only on the
// host's main thread.
namespace korvani::host {

// The payment method the payer chose. The identifier is compared with "account_money", the
// type identifier with "credit_card" and "debit_card".
class KORVANI_EXPORT PaymentMethod {
 public:
  virtual ~PaymentMethod() = default;
  // Sent as "payment_method_id"; nullopt leaves it out.
  virtual std::optional<std::string> id() const = 0;
  // "credit_card" or "debit_card" makes a payment other than account money a card payment,
  // which sends token, issuer and instalments; nullopt: not a card.
  virtual std::optional<std::string> paymentTypeId() const = 0;
};

// The card issuer the payer chose.
class KORVANI_EXPORT Issuer {
 public:
  virtual ~Issuer() = default;
  // Sent as "issuer_id" with a card payment; nullopt leaves it out.
  virtual std::optional<std::string> id() const = 0;
};

// The card token the checkout obtained for the payer's card.
class KORVANI_EXPORT Token {
 public:
  virtual ~Token() = default;
  // Sent as "token" with a card payment; nullopt leaves it out.
  virtual std::optional<std::string> id() const = 0;
};

// The instalment plan the payer chose.
class KORVANI_EXPORT PayerCost {
 public:
  virtual ~PayerCost() = default;
  // Sent as "installments" with a card payment; without a payer cost the plug-in sends 1.
  virtual std::int64_t installments() const = 0;
};

// The payer's choices so far; each part is absent until chosen (null pointer). The plug-in
// holds the object last read from the store until the next payment.
class KORVANI_EXPORT PaymentData {
 public:
  virtual ~PaymentData() = default;
  // Null: no payment method, so the body carries no payment method, card data or discount.
  virtual std::shared_ptr<PaymentMethod> paymentMethod() const = 0;
  virtual std::shared_ptr<Issuer> issuer() const = 0;
  virtual std::shared_ptr<Token> token() const = 0;
  virtual std::shared_ptr<PayerCost> payerCost() const = 0;
};

// The checkout's state as the plug-in sees it; the component holds it strongly once handed over.
class KORVANI_EXPORT VQCheckoutStore {
 public:
  virtual ~VQCheckoutStore() = default;
  // Expected never to be null; the plug-in reads null as data with nothing chosen.
  virtual std::shared_ptr<PaymentData> currentPaymentData() const = 0;
  // The value kept under `forKey`, if any. Under "auth_code" the host keeps a second-factor
  // code as {"code": text, "validated": boolean}; any other shape counts as no code.
  virtual std::optional<JsonValue> getData(std::string_view forKey) const = 0;
};

// Look of the checkout; handed to the plug-in, which draws nothing with it.
class KORVANI_EXPORT VQTheme {
 public:
  virtual ~VQTheme() = default;
};

// Outcome codes the host understands for a payment made by a plug-in.
struct KORVANI_EXPORT VQPaymentMethodPlugin {
  VQPaymentMethodPlugin() = delete;  // a namespace for the enumeration, never an object

  // Reported when no payment result exists (no answer, an error answer, or an answer that is
  // not a payment); the plug-in sends Rejected.
  enum class RemotePaymentStatus : int { Approved = 0, Rejected = 1 };
};

// How the plug-in tells the checkout about its work and the payment's end. The component holds
// the handler strongly and calls it on the host's main thread.
class KORVANI_EXPORT VQPluginNavigationHandler {
 public:
  using RemotePaymentStatus = VQPaymentMethodPlugin::RemotePaymentStatus;

  // What the host assumes when a report without a payment leaves them out.
  static constexpr const char kDefaultStatusDetails[] = "";

  virtual ~VQPluginNavigationHandler() = default;

  // Called when the handler is handed over to the plug-in.
  virtual void beginPluginWork() = 0;
  // Called when a payment's outcome arrives, just before the report.
  virtual void endPluginWork() = 0;
  // Report of a payment that the payment platform answered: its status, status detail and
  // identifier as the receipt (nullopt when the answer had no usable id).
  virtual void didFinishPayment(const std::string& statusText, const std::string& statusDetails,
                                const std::optional<std::string>& receiptId) = 0;
  // Report without a payment.
  virtual void didFinishPayment(RemotePaymentStatus paymentStatus, const std::string& statusDetails,
                                const std::optional<std::string>& receiptId) = 0;
  // Same, with the host's default detail (empty) and no receipt; what the plug-in calls.
  void didFinishPayment(RemotePaymentStatus paymentStatus) {
    didFinishPayment(paymentStatus, kDefaultStatusDetails, std::nullopt);
  }
};

}  // namespace korvani::host
