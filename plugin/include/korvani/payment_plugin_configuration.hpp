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
// what is paid for and how to digest. The host creates it with std::make_shared, fills it in and
// hands it to the plug-in, which keeps a reference and reads it afresh for every request, so
// later changes are seen. Not validated, not synchronised: write it on the host's main thread,
// which drives the plug-in.
class KORVANI_EXPORT PaymentPluginConfiguration {
 public:
  // Takes a text, answers its SHA-256 digest as text (or nothing). Called on the host's main
  // thread. A hook that throws counts as one that answered nothing: the exception is caught
  // and never reaches the host.
  using Sha256Hook = std::function<std::optional<std::string>(const std::string&)>;

  // Start of the payment URL; absent: KorvaniBaseService::defaultBaseUrl.
  std::optional<std::string> baseUrl;
  // Appended to baseUrl as is; absent: the payment fails with -1000 and nothing is sent.
  std::optional<std::string> path;
  // The merchant's token, sent as the query parameter "access_token"; absent: none sent.
  std::optional<std::string> accessToken;
  // Sent as "X-App-Version" (unless userAgent is set) and inside xTrackingId().
  std::optional<std::string> appVersion;
  // Sent as "X-Brix-Session-Id" when present.
  std::optional<std::string> brixSessionId;
  // Sent as "X-Platform" (unless userAgent is set) and inside xTrackingId().
  std::string platform = "ios";
  std::optional<std::string> siteId;  // kept for the host; no request uses it
  // Sent inside xTrackingId() only.
  std::optional<std::string> source;
  // Sent as "User-Agent"; when set, "X-App-Version" and "X-Platform" are left out.
  std::optional<std::string> userAgent;

  // "platform:APP, so:<platform>, version:<appVersion>, source:<source>", absent parts empty.
  // Computed at every call; sent as "X-Tracking-Id".
  std::string xTrackingId() const;

  // Shared with the host and read at every request, so the host's changes are seen. A null record
  // leaves its part out of the body (the discount also needs a payment method to be sent).
  std::shared_ptr<PaymentPluginPreference> checkoutPreference;
  std::shared_ptr<PaymentPluginMerchantOrder> merchantOrder;
  std::shared_ptr<PaymentDiscount> discount;

  // Present and empty until the host says otherwise; sent as is as "internal_metadata" with
  // every payment. nullopt leaves the key out.
  std::optional<JsonObject> internalMetadata = JsonObject{};

  // Called once per request, with the payment's identifying fragment, to make the hash part
  // of the idempotency key ("<digest>-<creation seconds>"). Empty, answering nothing or
  // throwing: no hash part, the key is "-<creation seconds>", which two payers who start in
  // the same second share. korvani::sha256Hex fits as is: `configuration->sha256 = sha256Hex;`.
  Sha256Hook sha256;
};

// The SHA-256 digest of `text` as 64 lower-case hexadecimal digits; nothing when the digest
// cannot be made. A ready hook for PaymentPluginConfiguration::sha256. Any thread.
KORVANI_EXPORT std::optional<std::string> sha256Hex(const std::string& text);

}  // namespace korvani
