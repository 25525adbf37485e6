#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "korvani/json.hpp"

namespace korvani {
namespace detail {

// The memory bound of parseJson(), fixed: bytes of memory per byte of text, and a flat allowance
// on top, for small texts (where fixed costs dominate) and for nesting as deep as
// JsonParseOptions::kDepthCeiling, which takes up to 120 KB.
inline constexpr std::size_t kJsonMemoryPerByte = 8;
inline constexpr std::size_t kJsonMemoryAllowance = std::size_t{128} << 10;

// The parser fills objects member by member and makes their keys unique once they are
// complete; it makes numbers from text that it has checked against the JSON grammar.
struct JsonAccess {
  static std::vector<JsonObject::Member>& members(JsonObject& object) noexcept {
    return object.members_;
  }
  static JsonValue numberText(std::string_view text) {
    JsonValue value;
    value.value_ = JsonValue::NumberText{std::string(text)};
    return value;
  }
};

// Length of the well-formed UTF-8 sequence (RFC 3629: no overlongs, no surrogates, nothing
// above U+10FFFF) that starts at `p`, or 0 when the bytes there are not one.
inline std::size_t utf8SequenceLength(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char lead = *p;
  if (lead < 0x80) return 1;
  const auto available = static_cast<std::size_t>(end - p);
  auto continuation = [](unsigned char c) { return (c & 0xC0) == 0x80; };
  if (lead >= 0xC2 && lead <= 0xDF) {
    return available >= 2 && continuation(p[1]) ? 2 : 0;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (available < 3 || !continuation(p[2])) return 0;
    const unsigned char second = p[1];
    const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
    return second >= low && second <= high ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (available < 4 || !continuation(p[2]) || !continuation(p[3])) return 0;
    const unsigned char second = p[1];
    const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
    return second >= low && second <= high ? 4 : 0;
  }
  return 0;
}

}  // namespace detail
}  // namespace korvani
