#include "korvani/payment.hpp"

#include <string>
#include <utility>

#include "records/json_text.hpp"

namespace korvani {

template <typename Object>
std::optional<Payment> Payment::build(Object& json) {
  auto* rawValue = json.find("raw");
  auto* raw = rawValue ? rawValue->asObject() : nullptr;
  if (!raw) return std::nullopt;
  const std::string* status = raw->getString("status");
  if (!status) return std::nullopt;
  const std::string* statusDetail = raw->getString("status_detail");
  if (!statusDetail) return std::nullopt;

  Payment payment;
  payment.id_ = raw->getUInt64("id");
  payment.status_ = *status;
  payment.statusDetail_ = *statusDetail;
  if (auto* formatted = json.find("formatted")) {
    if (auto* object = formatted->asObject()) payment.formatted_ = std::move(*object);
  }
  payment.raw_ = std::move(*raw);
  return payment;
}

std::optional<Payment> Payment::fromJson(const JsonObject& json) {
  return build(json);
}

std::optional<Payment> Payment::fromJson(JsonObject&& json) {
  return build(json);
}

std::optional<Payment> Payment::fromJson(const std::optional<JsonObject>& json) {
  return detail::recordFromJson<Payment>(json);
}

std::optional<Payment> Payment::fromJsonText(std::string_view text, JsonError* error) {
  return detail::recordFromJsonText<Payment>(text, error);
}

std::optional<std::string> Payment::idString() const {
  if (!id_) return std::nullopt;
  return std::to_string(*id_);
}

}  // namespace korvani
