#include "korvani/host/stand_ins.hpp"

namespace korvani::host {

std::shared_ptr<PlainPaymentData> makePaymentData(const PaymentChoice& choice) {
  PlainPaymentData::Parts parts;
  if (choice.paymentMethodId || choice.paymentTypeId) {
    parts.paymentMethod =
        std::make_shared<PlainPaymentMethod>(choice.paymentMethodId, choice.paymentTypeId);
  }
  if (choice.issuerId) parts.issuer = std::make_shared<PlainIssuer>(choice.issuerId);
  if (choice.tokenId) parts.token = std::make_shared<PlainToken>(choice.tokenId);
  if (choice.installments) parts.payerCost = std::make_shared<PlainPayerCost>(*choice.installments);
  return std::make_shared<PlainPaymentData>(std::move(parts));
}

InMemoryCheckoutStore::InMemoryCheckoutStore()
    : paymentData_(std::make_shared<PlainPaymentData>()) {}

InMemoryCheckoutStore::InMemoryCheckoutStore(std::shared_ptr<PaymentData> paymentData) {
  setPaymentData(std::move(paymentData));
}

std::optional<JsonValue> InMemoryCheckoutStore::getData(std::string_view forKey) const {
  auto found = data_.find(forKey);
  if (found == data_.end()) return std::nullopt;
  return found->second;
}

void InMemoryCheckoutStore::setPaymentData(std::shared_ptr<PaymentData> paymentData) {
  paymentData_ = paymentData ? std::move(paymentData) : std::make_shared<PlainPaymentData>();
}

void InMemoryCheckoutStore::setData(std::string key, JsonValue value) {
  data_.insert_or_assign(std::move(key), std::move(value));
}

void InMemoryCheckoutStore::removeData(std::string_view key) {
  if (auto found = data_.find(key); found != data_.end()) data_.erase(found);
}

void RecordingNavigationHandler::beginPluginWork() {
  record(Call{CallKind::beginPluginWork, {}, std::nullopt, {}, std::nullopt});
}

void RecordingNavigationHandler::endPluginWork() {
  record(Call{CallKind::endPluginWork, {}, std::nullopt, {}, std::nullopt});
}

void RecordingNavigationHandler::didFinishPayment(const std::string& statusText,
                                                  const std::string& statusDetails,
                                                  const std::optional<std::string>& receiptId) {
  record(Call{CallKind::finishWithStatusText, statusText, std::nullopt, statusDetails, receiptId});
}

void RecordingNavigationHandler::didFinishPayment(RemotePaymentStatus paymentStatus,
                                                  const std::string& statusDetails,
                                                  const std::optional<std::string>& receiptId) {
  record(Call{CallKind::finishWithStatus, {}, paymentStatus, statusDetails, receiptId});
}

std::vector<RecordingNavigationHandler::Call> RecordingNavigationHandler::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<RecordingNavigationHandler::CallKind> RecordingNavigationHandler::callKinds() const {
  std::lock_guard lock(mutex_);
  std::vector<CallKind> kinds;
  kinds.reserve(calls_.size());
  for (const Call& call : calls_)
    kinds.push_back(call.kind);
  return kinds;
}

void RecordingNavigationHandler::clear() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void RecordingNavigationHandler::record(Call call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

void RecordingTrackListener::trackEvent(const std::string& screenName, const std::string& action,
                                        const std::optional<std::string>& result,
                                        const std::optional<JsonObject>& extraParams) {
  std::lock_guard lock(mutex_);
  events_.push_back(Event{screenName, action, result, extraParams});
}

std::vector<RecordingTrackListener::Event> RecordingTrackListener::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void RecordingTrackListener::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

}  // namespace korvani::host
