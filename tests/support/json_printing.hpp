#pragma once

#include <ostream>

#include "korvani/json.hpp"

namespace korvani {

// Lets test failures show JSON text instead of object bytes.
inline void PrintTo(const JsonValue& value, std::ostream* os) {
  *os << serializeJson(value).value_or("<not serializable>");
}
inline void PrintTo(const JsonObject& value, std::ostream* os) {
  PrintTo(JsonValue(value), os);
}
inline void PrintTo(const Decimal& value, std::ostream* os) {
  *os << value.toString();
}

}  // namespace korvani
