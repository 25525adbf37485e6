#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "korvani/decimal.hpp"
#include "korvani/export.hpp"
#include "korvani/json.hpp"

namespace korvani {

// The discount applied to a payment. Held by std::shared_ptr and shared with the host through
// PaymentPluginConfiguration::discount. Members are writable; the plug-in only reads them, on
// the host's main thread at every request, so write them on that thread too.
class KORVANI_EXPORT PaymentDiscount {
 public:
  // Null only when there is no object; "campaign_id" takes an integral number that fits a
  // signed 64-bit integer, "coupon_amount" any number, exactly.
  static std::shared_ptr<PaymentDiscount> fromJson(const JsonObject& json);
  static std::shared_ptr<PaymentDiscount> fromJson(const std::optional<JsonObject>& json);
  // Parses `text` first. Text that is not a JSON object gives null and, when `error` is
  // given, the reason (otherwise `error` is left alone).
  static std::shared_ptr<PaymentDiscount> fromJsonText(std::string_view text,
                                                       JsonError* error = nullptr);

  // Sent as "campaign_id" and "coupon_amount" when present, and only in a payment that has a
  // payment method.
  std::optional<std::int64_t> campaignId;
  std::optional<Decimal> couponAmount;

 private:
  PaymentDiscount() = default;
};

}  // namespace korvani
