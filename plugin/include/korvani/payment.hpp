#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "korvani/export.hpp"
#include "korvani/json.hpp"

namespace korvani {

// The payment platform's answer to a payment request:
// {"raw": {"id": number, "status": text, "status_detail": text, ...}, "formatted": {...}}.
// A value record, fixed once parsed; copied on assignment, usable on any thread.
class KORVANI_EXPORT Payment {
 public:
  // Nothing without an object, or unless its "raw" is an object holding "status" and
  // "status_detail" as strings. An unusable "id" (missing, negative, fractional, too large, not
  // a number) or "formatted" (not an object) leaves that field empty instead.
  static std::optional<Payment> fromJson(const JsonObject& json);
  // The same, taking "raw" and "formatted" over from `json` instead of copying them.
  static std::optional<Payment> fromJson(JsonObject&& json);
  static std::optional<Payment> fromJson(const std::optional<JsonObject>& json);
  // Parses `text` first. Text that is not a JSON object gives nothing and, when `error` is
  // given, the reason (otherwise `error` is left alone).
  static std::optional<Payment> fromJsonText(std::string_view text, JsonError* error = nullptr);

  // "raw"."id"; nullopt when unusable, and the host then gets no receipt identifier.
  const std::optional<std::uint64_t>& id() const noexcept { return id_; }
  // "raw"."status" and "raw"."status_detail", reported to the host as they are.
  const std::string& status() const noexcept { return status_; }
  const std::string& statusDetail() const noexcept { return statusDetail_; }
  // The whole "raw" object, unknown keys included; sent with the "success" tracking event.
  const JsonObject& raw() const& noexcept { return raw_; }
  // The same, taken over from a payment that is no longer needed.
  JsonObject raw() && noexcept { return std::move(raw_); }
  // "formatted" when it is an object, else nullopt.
  const std::optional<JsonObject>& formatted() const noexcept { return formatted_; }

  // `id` in plain decimal digits, or nothing without an id.
  std::optional<std::string> idString() const;

 private:
  Payment() = default;
  // Copies "raw" and "formatted" from a const object, takes them over from a mutable one.
  template <typename Object>
  static std::optional<Payment> build(Object& json);

  std::optional<std::uint64_t> id_;
  std::string status_;
  std::string statusDetail_;
  JsonObject raw_;
  std::optional<JsonObject> formatted_;
};

}  // namespace korvani
