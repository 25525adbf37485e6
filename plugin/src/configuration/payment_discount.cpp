#include "korvani/payment_discount.hpp"

#include "records/json_text.hpp"

namespace korvani {

std::shared_ptr<PaymentDiscount> PaymentDiscount::fromJson(const JsonObject& json) {
  std::shared_ptr<PaymentDiscount> discount(new PaymentDiscount());
  discount->campaignId = json.getInt64("campaign_id");
  discount->couponAmount = json.getNumber("coupon_amount");
  return discount;
}

std::shared_ptr<PaymentDiscount> PaymentDiscount::fromJson(const std::optional<JsonObject>& json) {
  return detail::recordFromJson<PaymentDiscount>(json);
}

std::shared_ptr<PaymentDiscount> PaymentDiscount::fromJsonText(std::string_view text,
                                                               JsonError* error) {
  return detail::recordFromJsonText<PaymentDiscount>(text, error);
}

}  // namespace korvani
