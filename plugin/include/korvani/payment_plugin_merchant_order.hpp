#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "korvani/export.hpp"
#include "korvani/json.hpp"

namespace korvani {

// The merchant order a payment belongs to. Fixed once built; held by std::shared_ptr and shared
// with the host through PaymentPluginConfiguration::merchantOrder, so any thread may read it.
class KORVANI_EXPORT PaymentPluginMerchantOrder {
 public:
  // Null when there is no object or its "id" is not an integral number in the unsigned
  // 64-bit range. Texts follow the preference's rule (JSON strings only, else absent).
  static std::shared_ptr<PaymentPluginMerchantOrder> fromJson(const JsonObject& json);
  static std::shared_ptr<PaymentPluginMerchantOrder> fromJson(
      const std::optional<JsonObject>& json);
  // Parses `text` first. Text that is not a JSON object gives null and, when `error` is
  // given, the reason (otherwise `error` is left alone).
  static std::shared_ptr<PaymentPluginMerchantOrder> fromJsonText(std::string_view text,
                                                                  JsonError* error = nullptr);

  // Sent as "order": {"id": id, "type": "korvani"}.
  std::uint64_t id() const noexcept { return id_; }
  // Kept for the host; no request uses it.
  const std::optional<std::string>& preferenceId() const noexcept { return preferenceId_; }
  // Sent as "notification_url", "external_reference" and "sponsor_id" when present.
  const std::optional<std::string>& notificationUrl() const noexcept { return notificationUrl_; }
  const std::optional<std::string>& externalReference() const noexcept {
    return externalReference_;
  }
  const std::optional<std::string>& sponsorId() const noexcept { return sponsorId_; }

 private:
  explicit PaymentPluginMerchantOrder(std::uint64_t id) : id_(id) {}

  std::uint64_t id_;
  std::optional<std::string> preferenceId_;
  std::optional<std::string> notificationUrl_;
  std::optional<std::string> externalReference_;
  std::optional<std::string> sponsorId_;
};

}  // namespace korvani
