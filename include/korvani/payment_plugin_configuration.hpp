#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "korvani/export.hpp"
#include "korvani/json.hpp"
#include "korvani/payment_discount.hpp"
#include "korvani/payment_plugin_merchant_order.hpp"
#include "korvani/payment_plugin_preference.hpp"

namespace korvani {

// Everything the host application tells the plug-in: where the payment API is, who calls,
// what is paid for and how to digest. The host creates it, fills it in and hands it to the
// plug-in, which keeps a reference and reads it afresh for every request, so later changes
// are seen. Not validated, not synchronised: write it on the thread that drives the plug-in.
class KORVANI_EXPORT PaymentPluginConfiguration {
 public:
  // Takes a text, answers its SHA-256 digest as text (or nothing).
  using Sha256Hook = std::function<std::optional<std::string>(const std::string&)>;

  std::optional<std::string> baseUrl;
  std::optional<std::string> path;
  std::optional<std::string> accessToken;
  std::optional<std::string> appVersion;
  std::optional<std::string> brixSessionId;
  std::string platform = "ios";
  std::optional<std::string> siteId;  // kept for the host; no request uses it
  std::optional<std::string> source;
  std::optional<std::string> userAgent;

  // "platform:APP, so:<platform>, version:<appVersion>, source:<source>", absent parts empty.
  // Computed at every call.
  std::string xTrackingId() const;

  // Shared with the host: changes the host makes to these records are seen.
  std::shared_ptr<PaymentPluginPreference> checkoutPreference;
  std::shared_ptr<PaymentPluginMerchantOrder> merchantOrder;
  std::shared_ptr<PaymentDiscount> discount;

  // Present and empty until the host says otherwise; sent as is with every payment.
  std::optional<JsonObject> internalMetadata = JsonObject{};

  // Called once per request, with the payment's identifying fragment, to make the hash part
  // of the idempotency key. Empty: no hash part.
  Sha256Hook sha256;
};

}  // namespace korvani
