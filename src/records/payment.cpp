#include "korvani/payment.hpp"

#include <string>

#include "records/json_text.hpp"

namespace korvani {

std::optional<Payment> Payment::fromJson(const JsonObject& json) {
  const JsonObject* raw = json.getObject("raw");
  if (!raw) return std::nullopt;
  const std::string* status = raw->getString("status");
  if (!status) return std::nullopt;
  const std::string* statusDetail = raw->getString("status_detail");
  if (!statusDetail) return std::nullopt;

  Payment payment;
  payment.id_ = raw->getUInt64("id");
  payment.status_ = *status;
  payment.statusDetail_ = *statusDetail;
  payment.raw_ = *raw;
  if (const JsonObject* formatted = json.getObject("formatted")) payment.formatted_ = *formatted;
  return payment;
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
