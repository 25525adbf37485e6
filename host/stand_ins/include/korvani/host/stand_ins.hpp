#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvani/export.hpp"
#include "korvani/host/checkout.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/json.hpp"

// Simple implementations of the host objects, for hosts without a checkout of their own, the
// demo and the tests. Hand them over as std::shared_ptr, like the host's own objects.
namespace korvani::host {

// The payment parts below are fixed at construction and answer exactly what they were given;
// being immutable, they may be read on any thread.

// A payment method with fixed identifiers.
class KORVANI_EXPORT PlainPaymentMethod final : public PaymentMethod {
 public:
  PlainPaymentMethod(std::optional<std::string> id, std::optional<std::string> paymentTypeId)
      : id_(std::move(id)), paymentTypeId_(std::move(paymentTypeId)) {}
  std::optional<std::string> id() const override { return id_; }
  std::optional<std::string> paymentTypeId() const override { return paymentTypeId_; }

 private:
  std::optional<std::string> id_;
  std::optional<std::string> paymentTypeId_;
};

// An issuer with a fixed identifier.
class KORVANI_EXPORT PlainIssuer final : public Issuer {
 public:
  explicit PlainIssuer(std::optional<std::string> id) : id_(std::move(id)) {}
  std::optional<std::string> id() const override { return id_; }

 private:
  std::optional<std::string> id_;
};

// A card token with a fixed identifier.
class KORVANI_EXPORT PlainToken final : public Token {
 public:
  explicit PlainToken(std::optional<std::string> id) : id_(std::move(id)) {}
  std::optional<std::string> id() const override { return id_; }

 private:
  std::optional<std::string> id_;
};

// An instalment plan with a fixed count.
class KORVANI_EXPORT PlainPayerCost final : public PayerCost {
 public:
  explicit PlainPayerCost(std::int64_t installments) : installments_(installments) {}
  std::int64_t installments() const override { return installments_; }

 private:
  std::int64_t installments_;
};

// Payment data fixed at construction; a checkout makes a new one when the payer changes a
// choice.
class KORVANI_EXPORT PlainPaymentData final : public PaymentData {
 public:
  // The parts to answer; null ones count as not chosen.
  struct Parts {
    std::shared_ptr<PaymentMethod> paymentMethod;
    std::shared_ptr<Issuer> issuer;
    std::shared_ptr<Token> token;
    std::shared_ptr<PayerCost> payerCost;
  };

  PlainPaymentData() = default;  // nothing chosen
  explicit PlainPaymentData(Parts parts) : parts_(std::move(parts)) {}

  std::shared_ptr<PaymentMethod> paymentMethod() const override { return parts_.paymentMethod; }
  std::shared_ptr<Issuer> issuer() const override { return parts_.issuer; }
  std::shared_ptr<Token> token() const override { return parts_.token; }
  std::shared_ptr<PayerCost> payerCost() const override { return parts_.payerCost; }

 private:
  Parts parts_;
};

// Shorthand for payment data built from plain identifiers. The payment method is present when
// either of its texts is given, the issuer and the token when their identifier is given, the
// payer cost when `installments` is given. Parts without identifier: use PlainPaymentData.
struct KORVANI_EXPORT PaymentChoice {
  std::optional<std::string> paymentMethodId = {};
  std::optional<std::string> paymentTypeId = {};
  std::optional<std::string> issuerId = {};
  std::optional<std::string> tokenId = {};
  std::optional<std::int64_t> installments = {};
};
// The payment data `choice` describes; never null.
KORVANI_EXPORT std::shared_ptr<PlainPaymentData> makePaymentData(const PaymentChoice& choice);

// Checkout store kept in memory: the current payment data and a key-value map. Main thread
// only, like the host's own store.
class KORVANI_EXPORT InMemoryCheckoutStore final : public VQCheckoutStore {
 public:
  // Starts with the given payment data (none or null: empty data) and no keys.
  InMemoryCheckoutStore();
  explicit InMemoryCheckoutStore(std::shared_ptr<PaymentData> paymentData);

  // The current payment data, never null, and a copy of the value kept under `forKey`.
  std::shared_ptr<PaymentData> currentPaymentData() const override { return paymentData_; }
  std::optional<JsonValue> getData(std::string_view forKey) const override;

  // Null installs empty payment data: the store never answers without.
  void setPaymentData(std::shared_ptr<PaymentData> paymentData);
  // Sets or removes the value under `key` (e.g. a stored code under "auth_code").
  void setData(std::string key, JsonValue value);
  void removeData(std::string_view key);

 private:
  std::shared_ptr<PaymentData> paymentData_;
  std::map<std::string, JsonValue, std::less<>> data_;
};

// Navigation handler that records every call in order. Thread-safe, so tests can read it
// from any thread.
class KORVANI_EXPORT RecordingNavigationHandler final : public VQPluginNavigationHandler {
 public:
  // Which operation was called; the two didFinishPayment overloads are told apart.
  enum class CallKind { beginPluginWork, endPluginWork, finishWithStatusText, finishWithStatus };
  // One recorded call and its arguments.
  struct Call {
    CallKind kind;
    std::string statusText;                            // finishWithStatusText only
    std::optional<RemotePaymentStatus> paymentStatus;  // finishWithStatus only
    std::string statusDetails;
    std::optional<std::string> receiptId;

    friend bool operator==(const Call&, const Call&) = default;
  };

  using VQPluginNavigationHandler::didFinishPayment;  // keeps the one-argument form visible

  // Each records one Call.
  void beginPluginWork() override;
  void endPluginWork() override;
  void didFinishPayment(const std::string& statusText, const std::string& statusDetails,
                        const std::optional<std::string>& receiptId) override;
  void didFinishPayment(RemotePaymentStatus paymentStatus, const std::string& statusDetails,
                        const std::optional<std::string>& receiptId) override;

  // Copies of the calls so far, oldest first; clear() forgets them.
  std::vector<Call> calls() const;
  std::vector<CallKind> callKinds() const;
  void clear();

 private:
  void record(Call call);

  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

// Reachability with a fixed answer: offline on request, or always online for a server reached
// over loopback whatever the machine's network. Immutable, so it may be asked on any thread.
class KORVANI_EXPORT FixedReachability final : public ZRReachability {
 public:
  explicit FixedReachability(ZRNetworkStatus status) : status_(status) {}
  ZRNetworkStatus currentReachabilityStatus() const override { return status_; }

 private:
  ZRNetworkStatus status_;
};

// Track listener that keeps every event. Thread-safe.
class KORVANI_EXPORT RecordingTrackListener final : public KVTrackListener {
 public:
  // One recorded event and its arguments.
  struct Event {
    std::string screenName;
    std::string action;
    std::optional<std::string> result;
    std::optional<JsonObject> extraParams;

    friend bool operator==(const Event&, const Event&) = default;
  };

  // Records one Event.
  void trackEvent(const std::string& screenName, const std::string& action,
                  const std::optional<std::string>& result,
                  const std::optional<JsonObject>& extraParams) override;

  // Copies of the events so far, oldest first; clear() forgets them.
  std::vector<Event> events() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

}  // namespace korvani::host
