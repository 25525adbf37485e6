#pragma once

#include <optional>
#include <string>

#include "korvani/export.hpp"
#include "korvani/json.hpp"

// Encoders of the request's parts. Pure functions of their argument; any thread.
namespace korvani {

// Compact JSON text of the dictionary as an object (members in the dictionary's own order),
// or nullopt when it cannot be serialized (a text that is not valid UTF-8). A text-to-text
// dictionary is written in key order.
KORVANI_EXPORT std::optional<std::string> JSONString(const JsonObject& dictionary);
KORVANI_EXPORT std::optional<std::string> JSONString(const StringDictionary& dictionary);

// URL query of the dictionary: "" when it is empty, otherwise "?" followed by name=value
// items joined by "&", in the dictionary's iteration order. Names and values are
// percent-encoded except for the RFC 3986 unreserved characters (A-Z a-z 0-9 - . _ ~), so a
// space is "%20". An entry whose value is not text is written as its name alone.
// Always returns a text; the optional keeps room for an encoder that can refuse.
KORVANI_EXPORT std::optional<std::string> queryParamString(const StringDictionary& dictionary);
KORVANI_EXPORT std::optional<std::string> queryParamString(const JsonObject& dictionary);

}  // namespace korvani
