#pragma once

#include <optional>
#include <string_view>

#include "korvani/json.hpp"

namespace korvani::detail {

// Parses text that must hold a JSON object. On failure fills `error` (when given) with the
// parser's reason, or with "not a JSON object" for well-formed text of another kind.
std::optional<JsonObject> parseJsonObjectText(std::string_view text, JsonError* error);

}  // namespace korvani::detail
