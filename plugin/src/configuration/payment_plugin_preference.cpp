#include "korvani/payment_plugin_preference.hpp"

#include "configuration/json_fields.hpp"
#include "records/json_text.hpp"

namespace korvani {

std::shared_ptr<PaymentPluginPreference> PaymentPluginPreference::fromJson(const JsonObject& json) {
  using detail::readText;
  std::shared_ptr<PaymentPluginPreference> preference(new PaymentPluginPreference());
  PaymentPluginPreference& p = *preference;

  p.id = readText(json, "id");
  // Only the first item describes the purchase; an "items" value that is not a non-empty
  // array of objects is ignored as a whole.
  if (const JsonArray* items = json.getArrayOfObjects("items"); items && !items->empty()) {
    const JsonObject& item = *items->front().asObject();
    p.pictureUrl = readText(item, "picture_url");
    p.title = readText(item, "title");
    p.quantity = item.getInt64("quantity");
    p.currencyId = readText(item, "currency_id");
  }
  p.amount = json.getNumber("amount");
  p.collectorId = json.getInt64("collector_id");
  p.marketplaceFee = json.getNumber("marketplace_fee");
  p.shippingCost = json.getNumber("shipping_cost");
  p.operationType = readText(json, "operation_type");
  p.externalReference = readText(json, "external_reference");
  p.orderId = readText(json, "order_id");
  p.marketplace = readText(json, "marketplace");
  p.expirationDateFrom = readText(json, "expiration_date_from");
  p.expirationDateTo = readText(json, "expiration_date_to");
  p.expires = json.getBool("expires");
  p.differentialPricingId = json.getInt64("differential_pricing_id");
  p.conceptAmount = json.getNumber("concept_amount");
  p.conceptId = readText(json, "concept_id");
  return preference;
}

std::shared_ptr<PaymentPluginPreference> PaymentPluginPreference::fromJson(
    const std::optional<JsonObject>& json) {
  return detail::recordFromJson<PaymentPluginPreference>(json);
}

std::shared_ptr<PaymentPluginPreference> PaymentPluginPreference::fromJsonText(
    std::string_view text, JsonError* error) {
  return detail::recordFromJsonText<PaymentPluginPreference>(text, error);
}

}  // namespace korvani
