#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "checks/checks.hpp"
#include "korvani/auth_code.hpp"
#include "korvani/decimal.hpp"
#include "korvani/payment.hpp"
#include "korvani/payment_discount.hpp"
#include "korvani/payment_plugin_merchant_order.hpp"
#include "korvani/payment_plugin_preference.hpp"

namespace korvani::fuzz {
namespace {

// The reading rules, from the raw value under the key.
std::optional<std::string> text(const JsonObject& json, std::string_view key) {
  const JsonValue* value = json.find(key);
  if (value == nullptr || value->type() != JsonType::string) return std::nullopt;
  return *value->asString();
}

std::optional<Decimal> number(const JsonObject& json, std::string_view key) {
  const JsonValue* value = json.find(key);
  return value && value->isNumber() ? value->asDecimal() : std::nullopt;
}

std::optional<std::int64_t> integer(const JsonObject& json, std::string_view key) {
  const auto value = number(json, key);
  return value ? value->toInt64() : std::nullopt;
}

std::optional<std::uint64_t> unsignedInteger(const JsonObject& json, std::string_view key) {
  const auto value = number(json, key);
  return value ? value->toUInt64() : std::nullopt;
}

std::optional<bool> boolean(const JsonObject& json, std::string_view key) {
  const JsonValue* value = json.find(key);
  return value && value->type() == JsonType::boolean ? value->asBool() : std::nullopt;
}

const JsonObject* object(const JsonObject& json, std::string_view key) {
  const JsonValue* value = json.find(key);
  return value ? value->asObject() : nullptr;
}

// The first element of "items" when it is a non-empty array of objects only.
const JsonObject* firstItem(const JsonObject& json) {
  const JsonValue* items = json.find("items");
  const JsonArray* array = items ? items->asArray() : nullptr;
  if (array == nullptr || array->empty() ||
      !std::all_of(array->begin(), array->end(), [](auto& e) { return e.isObject(); })) {
    return nullptr;
  }
  return array->front().asObject();
}

Violation checkPreference(const JsonObject& json, const PaymentPluginPreference* p) {
  KORVANI_FUZZ_REQUIRE(p != nullptr);
  static const JsonObject kNoItem;
  const JsonObject* found = firstItem(json);
  const JsonObject& item = found ? *found : kNoItem;
  KORVANI_FUZZ_REQUIRE(p->id == text(json, "id"));
  KORVANI_FUZZ_REQUIRE(p->pictureUrl == text(item, "picture_url"));
  KORVANI_FUZZ_REQUIRE(p->title == text(item, "title"));
  KORVANI_FUZZ_REQUIRE(p->quantity == integer(item, "quantity"));
  KORVANI_FUZZ_REQUIRE(p->currencyId == text(item, "currency_id"));
  KORVANI_FUZZ_REQUIRE(p->amount == number(json, "amount"));
  KORVANI_FUZZ_REQUIRE(p->shippingCost == number(json, "shipping_cost"));
  KORVANI_FUZZ_REQUIRE(p->collectorId == integer(json, "collector_id"));
  KORVANI_FUZZ_REQUIRE(p->marketplaceFee == number(json, "marketplace_fee"));
  KORVANI_FUZZ_REQUIRE(p->operationType == text(json, "operation_type"));
  KORVANI_FUZZ_REQUIRE(p->externalReference == text(json, "external_reference"));
  KORVANI_FUZZ_REQUIRE(p->orderId == text(json, "order_id"));
  KORVANI_FUZZ_REQUIRE(p->marketplace == text(json, "marketplace"));
  KORVANI_FUZZ_REQUIRE(p->expirationDateFrom == text(json, "expiration_date_from"));
  KORVANI_FUZZ_REQUIRE(p->expirationDateTo == text(json, "expiration_date_to"));
  KORVANI_FUZZ_REQUIRE(p->expires == boolean(json, "expires"));
  KORVANI_FUZZ_REQUIRE(p->differentialPricingId == integer(json, "differential_pricing_id"));
  KORVANI_FUZZ_REQUIRE(p->conceptAmount == number(json, "concept_amount"));
  KORVANI_FUZZ_REQUIRE(p->conceptId == text(json, "concept_id"));
  return std::nullopt;
}

Violation checkMerchantOrder(const JsonObject& json, const PaymentPluginMerchantOrder* order) {
  const std::optional<std::uint64_t> id = unsignedInteger(json, "id");
  KORVANI_FUZZ_REQUIRE((order != nullptr) == id.has_value());
  if (!order) return std::nullopt;
  KORVANI_FUZZ_REQUIRE(order->id() == *id);
  KORVANI_FUZZ_REQUIRE(order->preferenceId() == text(json, "preference_id"));
  KORVANI_FUZZ_REQUIRE(order->notificationUrl() == text(json, "notification_url"));
  KORVANI_FUZZ_REQUIRE(order->externalReference() == text(json, "external_reference"));
  KORVANI_FUZZ_REQUIRE(order->sponsorId() == text(json, "sponsor_id"));
  return std::nullopt;
}

Violation checkDiscount(const JsonObject& json, const PaymentDiscount* discount) {
  KORVANI_FUZZ_REQUIRE(discount != nullptr);
  KORVANI_FUZZ_REQUIRE(discount->campaignId == integer(json, "campaign_id"));
  KORVANI_FUZZ_REQUIRE(discount->couponAmount == number(json, "coupon_amount"));
  return std::nullopt;
}

Violation checkPayment(const JsonObject& json, const std::optional<Payment>& payment) {
  const JsonObject* raw = object(json, "raw");
  KORVANI_FUZZ_REQUIRE(payment.has_value() ==
                       (raw && text(*raw, "status") && text(*raw, "status_detail")));
  if (!payment) return std::nullopt;
  KORVANI_FUZZ_REQUIRE(payment->status() == text(*raw, "status"));
  KORVANI_FUZZ_REQUIRE(payment->statusDetail() == text(*raw, "status_detail"));
  KORVANI_FUZZ_REQUIRE(payment->raw() == *raw);
  const JsonObject* formatted = object(json, "formatted");
  KORVANI_FUZZ_REQUIRE(formatted ? payment->formatted() == *formatted : !payment->formatted());
  const std::optional<std::uint64_t> id = unsignedInteger(*raw, "id");
  KORVANI_FUZZ_REQUIRE(payment->id() == id);
  // The receipt: the identifier in plain digits.
  KORVANI_FUZZ_REQUIRE(payment->idString() ==
                       (id ? std::optional(Decimal(*id).toString()) : std::nullopt));
  return std::nullopt;
}

Violation checkAuthCodes(const JsonObject& json) {
  const auto code = text(json, "auth_code");
  const auto factor = text(json, "second_auth_factor");
  const auto storedCode = text(json, "code");
  const auto validated = boolean(json, "validated");
  const std::optional<AuthCode> source =
      code && factor ? std::optional(AuthCode(*code, *factor != "required")) : std::nullopt;
  const std::optional<AuthCode> stored =
      storedCode && validated ? std::optional(AuthCode(*storedCode, *validated)) : std::nullopt;
  KORVANI_FUZZ_REQUIRE(AuthCode::fromDictionary(json) == source);
  KORVANI_FUZZ_REQUIRE(AuthCode::fromAuthCode(json) == stored);
  // The stored form gives back the same code.
  for (const std::optional<AuthCode>& read : {source, stored}) {
    KORVANI_FUZZ_REQUIRE(!read || (read->toDictionary().size() == 2 &&
                                   AuthCode::fromAuthCode(read->toDictionary()) == read));
  }
  return std::nullopt;
}

template <class Record>
auto build(const JsonObject& json, std::optional<std::string_view> input, JsonError& error) {
  return input ? Record::fromJsonText(*input, &error) : Record::fromJson(json);
}

// The records built from `json`, or from `input` when given (`json` being its parsed form).
Violation checkRecords(const JsonObject& json, std::optional<std::string_view> input) {
  JsonError error;  // stays empty: an object is no parse error, whether or not it holds a record
  KORVANI_FUZZ_PROPAGATE(
      checkPreference(json, build<PaymentPluginPreference>(json, input, error).get()));
  KORVANI_FUZZ_PROPAGATE(
      checkMerchantOrder(json, build<PaymentPluginMerchantOrder>(json, input, error).get()));
  KORVANI_FUZZ_PROPAGATE(checkDiscount(json, build<PaymentDiscount>(json, input, error).get()));
  KORVANI_FUZZ_PROPAGATE(checkPayment(json, build<Payment>(json, input, error)));
  KORVANI_FUZZ_REQUIRE(error.reason.empty());
  KORVANI_FUZZ_PROPAGATE(checkAuthCodes(json));
  // The records of every object inside, such as a "raw" answer.
  for (const auto& member : json) {
    if (const JsonObject* inner = member.second.asObject())
      KORVANI_FUZZ_PROPAGATE(checkRecords(*inner, {}));
  }
  return std::nullopt;
}

}  // namespace

Violation checkRecordsOn(const JsonObject& json) {
  return checkRecords(json, {});
}

Violation checkRecordsText(std::string_view input) {
  const std::optional<JsonValue> value = parseJson(input);
  if (const JsonObject* json = value ? value->asObject() : nullptr)
    return checkRecords(*json, input);
  // Nothing to read from: no record, and every refusal says why.
  JsonError errors[4];
  KORVANI_FUZZ_REQUIRE(!PaymentPluginPreference::fromJsonText(input, &errors[0]) &&
                       !PaymentPluginMerchantOrder::fromJsonText(input, &errors[1]) &&
                       !PaymentDiscount::fromJsonText(input, &errors[2]) &&
                       !Payment::fromJsonText(input, &errors[3]));
  for (const JsonError& error : errors)
    KORVANI_FUZZ_REQUIRE(!error.reason.empty());
  // The records of an array of records.
  for (const JsonValue& element : value && value->isArray() ? *value->asArray() : JsonArray()) {
    if (const JsonObject* inner = element.asObject())
      KORVANI_FUZZ_PROPAGATE(checkRecords(*inner, {}));
  }
  return std::nullopt;
}

}  // namespace korvani::fuzz
