#include "korvani/payment_plugin_merchant_order.hpp"

#include "configuration/json_fields.hpp"
#include "records/json_text.hpp"

namespace korvani {

std::shared_ptr<PaymentPluginMerchantOrder> PaymentPluginMerchantOrder::fromJson(
    const JsonObject& json) {
  using detail::readText;
  std::optional<std::uint64_t> id = json.getUInt64("id");
  if (!id) return nullptr;
  std::shared_ptr<PaymentPluginMerchantOrder> order(new PaymentPluginMerchantOrder(*id));
  order->preferenceId_ = readText(json, "preference_id");
  order->notificationUrl_ = readText(json, "notification_url");
  order->externalReference_ = readText(json, "external_reference");
  order->sponsorId_ = readText(json, "sponsor_id");
  return order;
}

std::shared_ptr<PaymentPluginMerchantOrder> PaymentPluginMerchantOrder::fromJson(
    const std::optional<JsonObject>& json) {
  return detail::recordFromJson<PaymentPluginMerchantOrder>(json);
}

std::shared_ptr<PaymentPluginMerchantOrder> PaymentPluginMerchantOrder::fromJsonText(
    std::string_view text, JsonError* error) {
  return detail::recordFromJsonText<PaymentPluginMerchantOrder>(text, error);
}

}  // namespace korvani
