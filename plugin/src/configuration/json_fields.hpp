#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "korvani/json.hpp"

namespace korvani::detail {

// The text rule of the JSON-built records: a JSON string, copied; anything else is absent.
inline std::optional<std::string> readText(const JsonObject& json, std::string_view key) {
  if (const std::string* text = json.getString(key)) return *text;
  return std::nullopt;
}

}  // namespace korvani::detail
