#include "records/json_text.hpp"

#include <utility>

namespace korvani::detail {

std::optional<JsonObject> parseJsonObjectText(std::string_view text, JsonError* error) {
  JsonError parseError;
  std::optional<JsonValue> value = parseJson(text, &parseError);
  if (!value) {
    if (error) *error = std::move(parseError);
    return std::nullopt;
  }
  if (JsonObject* object = value->asObject()) return std::move(*object);
  if (error) *error = JsonError{0, "not a JSON object"};
  return std::nullopt;
}

}  // namespace korvani::detail
