#include <algorithm>
#include <charconv>
#include <utility>
#include <vector>

#include "checks/checks.hpp"
#include "korvani/dictionary_encoding.hpp"

namespace korvani::fuzz {
namespace {

// One query item as read back: its name and its value, absent when the item has no "=".
using QueryItem = std::pair<std::string, std::optional<std::string>>;

// Undoes %HH escapes. Nothing when a byte stands unencoded that a query item may not carry:
// only the RFC 3986 query characters are allowed, less "&", "=", "+" and "#", which a server
// would read as structure or as a space.
std::optional<std::string> percentDecode(std::string_view text) {
  static constexpr std::string_view kAllowed =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$'()*,;:@/?";
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      if (kAllowed.find(text[i]) == std::string_view::npos) return std::nullopt;
      decoded.push_back(text[i]);
      continue;
    }
    unsigned char byte = 0;
    const char* end = text.data() + std::min(i + 3, text.size());
    if (i + 3 > text.size() || std::from_chars(text.data() + i + 1, end, byte, 16).ptr != end) {
      return std::nullopt;
    }
    decoded.push_back(static_cast<char>(byte));
    i += 2;
  }
  return decoded;
}

// Reads "" or "?a=1&b" back into its items.
std::optional<std::vector<QueryItem>> decodeQuery(std::string_view query) {
  std::vector<QueryItem> items;
  if (query.empty()) return items;
  if (query.front() != '?') return std::nullopt;
  for (query.remove_prefix(1);;) {
    const std::string_view item = query.substr(0, query.find('&'));
    const std::size_t equals = item.find('=');
    auto name = percentDecode(item.substr(0, equals));
    auto value = equals == std::string_view::npos ? std::optional<std::string>()
                                                  : percentDecode(item.substr(equals + 1));
    if (!name || (equals != std::string_view::npos && !value)) return std::nullopt;
    items.emplace_back(std::move(*name), std::move(value));
    if (item.size() == query.size()) return items;
    query.remove_prefix(item.size() + 1);
  }
}

// An item's value as read back: a JSON value other than a string has none.
std::optional<std::string> itemValue(const std::string& value) {
  return value;
}
std::optional<std::string> itemValue(const JsonValue& value) {
  return value.asString() ? std::optional(*value.asString()) : std::nullopt;
}

template <class Dictionary>
Violation checkEncoding(const Dictionary& dictionary) {
  std::vector<QueryItem> expected;
  for (const auto& [name, value] : dictionary)
    expected.emplace_back(name, itemValue(value));
  const std::optional<std::string> query = queryParamString(dictionary);
  KORVANI_FUZZ_REQUIRE(query && query->empty() == expected.empty());
  KORVANI_FUZZ_REQUIRE(decodeQuery(*query) == expected);
  return std::nullopt;
}

}  // namespace

Violation checkQueryParams(std::string_view input) {
  if (input.size() < 2) return std::nullopt;
  const char itemSeparator = input[0];
  const char nameSeparator = input[1];
  StringDictionary texts;
  JsonObject object;
  for (input.remove_prefix(2); !input.empty();) {
    const std::string_view item = input.substr(0, input.find(itemSeparator));
    const std::size_t split = item.find(nameSeparator);
    const std::string name(item.substr(0, split));
    const std::string value =
        split == std::string_view::npos ? "" : std::string(item.substr(split + 1));
    texts[name] = value;
    object.set(name, split == std::string_view::npos ? JsonValue(nullptr) : JsonValue(value));
    if (item.size() == input.size()) break;
    input.remove_prefix(item.size() + 1);
  }
  KORVANI_FUZZ_PROPAGATE(checkEncoding(texts));
  return checkEncoding(object);
}

}  // namespace korvani::fuzz
