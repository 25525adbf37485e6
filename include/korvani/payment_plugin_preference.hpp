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
// and writable; the plug-in only reads them.
//
// Reading rules, shared by the merchant order and the discount: a text member takes only a
// JSON string; an integer member only an integral number that fits its type; a decimal member
// any number, exactly; a boolean only true or false. Anything else, null included, leaves the
// member absent without failing the construction.
class KORVANI_EXPORT PaymentPluginPreference {
 public:
  // Null only when there is no object; a missing or ill-typed key leaves its member absent.
  static std::shared_ptr<PaymentPluginPreference> fromJson(const JsonObject& json);
  static std::shared_ptr<PaymentPluginPreference> fromJson(const std::optional<JsonObject>& json);
  // Parses `text` first. Text that is not a JSON object gives null and, when `error` is
  // given, the reason (otherwise `error` is left alone).
  static std::shared_ptr<PaymentPluginPreference> fromJsonText(std::string_view text,
                                                               JsonError* error = nullptr);

  std::optional<std::string> id;
  // From the first element of "items", when "items" is a non-empty array of objects.
  std::optional<std::string> pictureUrl;
  std::optional<std::string> title;
  std::optional<Decimal> amount;
  std::optional<Decimal> shippingCost;
  std::optional<std::int64_t> quantity;   // first item
  std::optional<std::string> currencyId;  // first item
  std::optional<std::int64_t> collectorId;
  std::optional<Decimal> marketplaceFee;
  std::optional<std::string> operationType;
  std::optional<std::string> externalReference;
  std::optional<std::string> orderId;
  std::optional<std::string> marketplace;
  std::optional<std::string> expirationDateFrom;
  std::optional<std::string> expirationDateTo;
  std::optional<bool> expires;
  std::optional<std::int64_t> differentialPricingId;
  std::optional<Decimal> conceptAmount;
  std::optional<std::string> conceptId;

 private:
  PaymentPluginPreference() = default;
};

}  // namespace korvani
