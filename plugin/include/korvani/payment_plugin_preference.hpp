#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "korvani/decimal.hpp"
#include "korvani/export.hpp"
#include "korvani/json.hpp"

namespace korvani {

// The checkout preference being paid, as the host holds it in JSON. Every member is optional
// and writable; the plug-in only reads them, on the host's main thread at every request, so
// write them on that thread too. Held by std::shared_ptr and shared with the host through
// PaymentPluginConfiguration::checkoutPreference.
//
// Reading rules, shared by the merchant order and the discount: a text member takes only a
// JSON string; an integer member only an integral number that fits its type; a decimal member
// any number, exactly; a boolean only true or false. Anything else, null included, leaves the
// member absent without failing the construction.
//
// Each member comes from the JSON key of the same name in snake case; the comments name what
// the payment body makes of it. Absent members are left out of the body.
class KORVANI_EXPORT PaymentPluginPreference {
 public:
  // Null only when there is no object; a missing or ill-typed key leaves its member absent.
  static std::shared_ptr<PaymentPluginPreference> fromJson(const JsonObject& json);
  static std::shared_ptr<PaymentPluginPreference> fromJson(const std::optional<JsonObject>& json);
  // Parses `text` first. Text that is not a JSON object gives null and, when `error` is
  // given, the reason (otherwise `error` is left alone).
  static std::shared_ptr<PaymentPluginPreference> fromJsonText(std::string_view text,
                                                               JsonError* error = nullptr);

  std::optional<std::string> id;  // not sent
  // "first item": from the first element of "items", when that is a non-empty array of objects.
  std::optional<std::string> pictureUrl;              // first item; not sent
  std::optional<std::string> title;                   // first item; "description"
  std::optional<Decimal> amount;                      // "transaction_amount"
  std::optional<Decimal> shippingCost;                // not sent
  std::optional<std::int64_t> quantity;               // first item; not sent
  std::optional<std::string> currencyId;              // first item; not sent
  std::optional<std::int64_t> collectorId;            // "collector": {"id": ...}, null when absent
  std::optional<Decimal> marketplaceFee;              // "application_fee", only when above zero
  std::optional<std::string> operationType;           // "operation_type"
  std::optional<std::string> externalReference;       // not sent (the merchant order's is)
  std::optional<std::string> orderId;                 // not sent
  std::optional<std::string> marketplace;             // "marketplace"
  std::optional<std::string> expirationDateFrom;      // not sent
  std::optional<std::string> expirationDateTo;        // not sent
  std::optional<bool> expires;                        // not sent
  std::optional<std::int64_t> differentialPricingId;  // "differential_pricing_id"
  std::optional<Decimal> conceptAmount;               // "concept_amount"
  std::optional<std::string> conceptId;               // "concept_id"

 private:
  PaymentPluginPreference() = default;
};

}  // namespace korvani
