#pragma once

#include <optional>
#include <string_view>

#include "korvani/json.hpp"

namespace korvani::detail {

// Parses text that must hold a JSON object. On failure fills `error` (when given) with the
// parser's reason, or with "not a JSON object" for well-formed text of another kind.
std::optional<JsonObject> parseJsonObjectText(std::string_view text, JsonError* error);

// The optional-object and text forms that every JSON-built record (preference, merchant order,
// discount, payment) offers beside Record::fromJson(const JsonObject&): no object, nothing.
template <typename Record>
auto recordFromJson(const std::optional<JsonObject>& json) -> decltype(Record::fromJson(*json)) {
  if (!json) return {};
  return Record::fromJson(*json);
}

template <typename Record>
auto recordFromJsonText(std::string_view text, JsonError* error) {
  return recordFromJson<Record>(parseJsonObjectText(text, error));
}

}  // namespace korvani::detail
