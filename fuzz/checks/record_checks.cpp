#include "checks/record_checks.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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
  if (value == nullptr || !value->isNumber()) return std::nullopt;
  return value->asDecimal();
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
  if (value == nullptr || value->type() != JsonType::boolean) return std::nullopt;
  return value->asBool();
}

const JsonObject* object(const JsonObject& json, std::string_view key) {
  const JsonValue* value = json.find(key);
  return value ? value->asObject() : nullptr;
}

// The first element of "items" when it is a non-empty array of objects only.
const JsonObject* firstItem(const JsonObject& json) {
  const JsonValue* items = json.find("items");
  const JsonArray* array = items ? items->asArray() : nullptr;
  if (array == nullptr || array->empty()) return nullptr;
  for (const JsonValue& element : *array) {
    if (!element.isObject()) return nullptr;
  }
  return array->front().asObject();
}

Violation checkPreference(const JsonObject& json,
                          const std::shared_ptr<PaymentPluginPreference>& preference) {
  KORVANI_FUZZ_REQUIRE(preference != nullptr);
  const PaymentPluginPreference& p = *preference;
  static const JsonObject kNoItem;
  const JsonObject* found = firstItem(json);
  const JsonObject& item = found ? *found : kNoItem;
  KORVANI_FUZZ_REQUIRE(p.id == text(json, "id"));
  KORVANI_FUZZ_REQUIRE(p.pictureUrl == text(item, "picture_url"));
  KORVANI_FUZZ_REQUIRE(p.title == text(item, "title"));
  KORVANI_FUZZ_REQUIRE(p.amount == number(json, "amount"));
  KORVANI_FUZZ_REQUIRE(p.shippingCost == number(json, "shipping_cost"));
  KORVANI_FUZZ_REQUIRE(p.quantity == integer(item, "quantity"));
  KORVANI_FUZZ_REQUIRE(p.currencyId == text(item, "currency_id"));
  KORVANI_FUZZ_REQUIRE(p.collectorId == integer(json, "collector_id"));
  KORVANI_FUZZ_REQUIRE(p.marketplaceFee == number(json, "marketplace_fee"));
  KORVANI_FUZZ_REQUIRE(p.operationType == text(json, "operation_type"));
  KORVANI_FUZZ_REQUIRE(p.externalReference == text(json, "external_reference"));
  KORVANI_FUZZ_REQUIRE(p.orderId == text(json, "order_id"));
  KORVANI_FUZZ_REQUIRE(p.marketplace == text(json, "marketplace"));
  KORVANI_FUZZ_REQUIRE(p.expirationDateFrom == text(json, "expiration_date_from"));
  KORVANI_FUZZ_REQUIRE(p.expirationDateTo == text(json, "expiration_date_to"));
  KORVANI_FUZZ_REQUIRE(p.expires == boolean(json, "expires"));
  KORVANI_FUZZ_REQUIRE(p.differentialPricingId == integer(json, "differential_pricing_id"));
  KORVANI_FUZZ_REQUIRE(p.conceptAmount == number(json, "concept_amount"));
  KORVANI_FUZZ_REQUIRE(p.conceptId == text(json, "concept_id"));
  return std::nullopt;
}

Violation checkMerchantOrder(const JsonObject& json,
                             const std::shared_ptr<PaymentPluginMerchantOrder>& order) {
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

Violation checkDiscount(const JsonObject& json, const std::shared_ptr<PaymentDiscount>& discount) {
  KORVANI_FUZZ_REQUIRE(discount != nullptr);
  KORVANI_FUZZ_REQUIRE(discount->campaignId == integer(json, "campaign_id"));
  KORVANI_FUZZ_REQUIRE(discount->couponAmount == number(json, "coupon_amount"));
  return std::nullopt;
}

Violation checkPayment(const JsonObject& json, const std::optional<Payment>& payment) {
  const JsonObject* raw = object(json, "raw");
  const bool complete = raw != nullptr && text(*raw, "status") && text(*raw, "status_detail");
  KORVANI_FUZZ_REQUIRE(payment.has_value() == complete);
  if (!payment) return std::nullopt;
  KORVANI_FUZZ_REQUIRE(payment->status() == text(*raw, "status"));
  KORVANI_FUZZ_REQUIRE(payment->statusDetail() == text(*raw, "status_detail"));
  KORVANI_FUZZ_REQUIRE(payment->raw() == *raw);
  const JsonObject* formatted = object(json, "formatted");
  KORVANI_FUZZ_REQUIRE(payment->formatted().has_value() == (formatted != nullptr));
  if (formatted) KORVANI_FUZZ_REQUIRE(*payment->formatted() == *formatted);

  const std::optional<std::uint64_t> id = unsignedInteger(*raw, "id");
  KORVANI_FUZZ_REQUIRE(payment->id() == id);
  const std::optional<std::string> idString = payment->idString();
  KORVANI_FUZZ_REQUIRE(idString.has_value() == id.has_value());
  if (idString) {
    // Plain digits, no sign or leading zero, reading back to the identifier.
    KORVANI_FUZZ_REQUIRE(!idString->empty());
    KORVANI_FUZZ_REQUIRE(idString->find_first_not_of("0123456789") == std::string::npos);
    KORVANI_FUZZ_REQUIRE(*idString == "0" || idString->front() != '0');
    KORVANI_FUZZ_REQUIRE(Decimal::fromString(*idString) == Decimal(*id));
  }

  const Payment copy = *payment;
  KORVANI_FUZZ_REQUIRE(copy.raw() == payment->raw() && copy.id() == payment->id());
  return std::nullopt;
}

// The stored form must give back the same record, in memory and through JSON text the way a
// checkout store may keep it.
Violation checkStoredForm(const AuthCode& code) {
  const JsonObject stored = code.toDictionary();
  KORVANI_FUZZ_REQUIRE(stored.size() == 2);
  KORVANI_FUZZ_REQUIRE(text(stored, "code") == code.code());
  KORVANI_FUZZ_REQUIRE(boolean(stored, "validated") == code.validated());
  KORVANI_FUZZ_REQUIRE(AuthCode::fromAuthCode(stored) == code);
  const std::optional<std::string> written = serializeJson(JsonValue(stored));
  KORVANI_FUZZ_REQUIRE(written.has_value());
  const std::optional<JsonValue> read = parseJson(*written);
  KORVANI_FUZZ_REQUIRE(read.has_value() && read->isObject());
  KORVANI_FUZZ_REQUIRE(AuthCode::fromAuthCode(*read->asObject()) == code);
  return std::nullopt;
}

Violation checkAuthCodes(const JsonObject& json) {
  const auto code = text(json, "auth_code");
  const auto secondFactor = text(json, "second_auth_factor");
  const std::optional<AuthCode> fromSource = AuthCode::fromDictionary(json);
  KORVANI_FUZZ_REQUIRE(fromSource.has_value() == (code && secondFactor));
  if (fromSource) {
    KORVANI_FUZZ_REQUIRE(fromSource->code() == *code);
    KORVANI_FUZZ_REQUIRE(fromSource->validated() == (*secondFactor != "required"));
    KORVANI_FUZZ_PROPAGATE(checkStoredForm(*fromSource));
  }

  const auto storedCode = text(json, "code");
  const auto validated = boolean(json, "validated");
  const std::optional<AuthCode> fromStore = AuthCode::fromAuthCode(json);
  KORVANI_FUZZ_REQUIRE(fromStore.has_value() == (storedCode && validated));
  if (fromStore) {
    KORVANI_FUZZ_REQUIRE(fromStore->code() == *storedCode);
    KORVANI_FUZZ_REQUIRE(fromStore->validated() == *validated);
    KORVANI_FUZZ_PROPAGATE(checkStoredForm(*fromStore));
  }
  return std::nullopt;
}

}  // namespace

Violation checkRecordsOn(const JsonObject& json) {
  KORVANI_FUZZ_PROPAGATE(checkPreference(json, PaymentPluginPreference::fromJson(json)));
  KORVANI_FUZZ_PROPAGATE(checkMerchantOrder(json, PaymentPluginMerchantOrder::fromJson(json)));
  KORVANI_FUZZ_PROPAGATE(checkDiscount(json, PaymentDiscount::fromJson(json)));
  KORVANI_FUZZ_PROPAGATE(checkPayment(json, Payment::fromJson(json)));
  KORVANI_FUZZ_PROPAGATE(checkAuthCodes(json));
  return std::nullopt;
}

Violation checkRecordsText(std::string_view input) {
  const std::optional<JsonValue> value = parseJson(input);
  const JsonObject* json = value ? value->asObject() : nullptr;

  JsonError preferenceError;
  JsonError orderError;
  JsonError discountError;
  JsonError paymentError;
  const auto preference = PaymentPluginPreference::fromJsonText(input, &preferenceError);
  const auto order = PaymentPluginMerchantOrder::fromJsonText(input, &orderError);
  const auto discount = PaymentDiscount::fromJsonText(input, &discountError);
  const auto payment = Payment::fromJsonText(input, &paymentError);

  if (json == nullptr) {
    // Nothing to read from: no record, and every refusal says why.
    KORVANI_FUZZ_REQUIRE(!preference && !order && !discount && !payment);
    KORVANI_FUZZ_REQUIRE(!preferenceError.reason.empty() && !orderError.reason.empty());
    KORVANI_FUZZ_REQUIRE(!discountError.reason.empty() && !paymentError.reason.empty());
    KORVANI_FUZZ_REQUIRE(PaymentPluginPreference::fromJson(std::optional<JsonObject>()) == nullptr);
    KORVANI_FUZZ_REQUIRE(PaymentPluginMerchantOrder::fromJson(std::optional<JsonObject>()) ==
                         nullptr);
    KORVANI_FUZZ_REQUIRE(PaymentDiscount::fromJson(std::optional<JsonObject>()) == nullptr);
    KORVANI_FUZZ_REQUIRE(!Payment::fromJson(std::optional<JsonObject>()));
  } else {
    KORVANI_FUZZ_PROPAGATE(checkPreference(*json, preference));
    KORVANI_FUZZ_PROPAGATE(checkMerchantOrder(*json, order));
    KORVANI_FUZZ_PROPAGATE(checkDiscount(*json, discount));
    KORVANI_FUZZ_PROPAGATE(checkPayment(*json, payment));
    KORVANI_FUZZ_PROPAGATE(checkRecordsOn(*json));
    // The optional-object entry points are the ones the host's dynamic interface calls.
    const std::optional<JsonObject> held = *json;
    KORVANI_FUZZ_PROPAGATE(checkPreference(*json, PaymentPluginPreference::fromJson(held)));
    KORVANI_FUZZ_PROPAGATE(checkMerchantOrder(*json, PaymentPluginMerchantOrder::fromJson(held)));
    KORVANI_FUZZ_PROPAGATE(checkPayment(*json, Payment::fromJson(held)));
  }

  if (!value) return std::nullopt;
  const auto checkInner = [](const JsonValue& inner) -> Violation {
    if (const JsonObject* innerObject = inner.asObject()) return checkRecordsOn(*innerObject);
    return std::nullopt;
  };
  if (json != nullptr) {
    for (const auto& member : *json)
      KORVANI_FUZZ_PROPAGATE(checkInner(member.second));
  } else if (const JsonArray* array = value->asArray()) {
    for (const JsonValue& element : *array)
      KORVANI_FUZZ_PROPAGATE(checkInner(element));
  }
  return std::nullopt;
}

}  // namespace korvani::fuzz
