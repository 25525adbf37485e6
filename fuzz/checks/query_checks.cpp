#include "checks/query_checks.hpp"

#include <type_traits>

#include "korvani/dictionary_encoding.hpp"
#include "korvani/json.hpp"

namespace korvani::fuzz {
namespace {

bool allowedUnencoded(char c) noexcept {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$'()*,;:@/?").find(c) != std::string_view::npos;
}

int hexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      decoded.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else if (allowedUnencoded(text[i])) {
      decoded.push_back(text[i]);
    } else {
      return std::nullopt;
    }
  }
  return decoded;
}

template <class Dictionary>
std::vector<QueryItem> itemsOf(const Dictionary& dictionary) {
  std::vector<QueryItem> items;
  for (const auto& [name, value] : dictionary) {
    if constexpr (std::is_same_v<Dictionary, JsonObject>) {
      const std::string* text = value.asString();
      items.emplace_back(name, text ? std::optional<std::string>(*text) : std::nullopt);
    } else {
      items.emplace_back(name, value);
    }
  }
  return items;
}

std::string describe(const std::vector<QueryItem>& items) {
  std::string text;
  for (const auto& [name, value] : items) {
    text.append(" [").append(printable(name));
    if (value) text.append("=").append(printable(*value));
    text.append("]");
  }
  return text;
}

template <class Dictionary>
Violation checkEncoding(const Dictionary& dictionary) {
  const std::optional<std::string> query = queryParamString(dictionary);
  KORVANI_FUZZ_REQUIRE(query.has_value());
  KORVANI_FUZZ_REQUIRE(query->empty() == (dictionary.size() == 0));
  const auto decoded = decodeQuery(*query);
  KORVANI_FUZZ_REQUIRE_THAT(decoded.has_value(), printable(*query));
  const std::vector<QueryItem> expected = itemsOf(dictionary);
  KORVANI_FUZZ_REQUIRE_THAT(
      *decoded == expected,
      printable(*query) + " read back as" + describe(*decoded) + ", not" + describe(expected));
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<QueryItem>> decodeQuery(std::string_view query) {
  std::vector<QueryItem> items;
  if (query.empty()) return items;
  if (query.front() != '?') return std::nullopt;
  query.remove_prefix(1);
  while (true) {
    const std::size_t end = query.find('&');
    const std::string_view item = query.substr(0, end);
    const std::size_t equals = item.find('=');
    auto name = percentDecode(item.substr(0, equals));
    if (!name) return std::nullopt;
    std::optional<std::string> value;
    if (equals != std::string_view::npos) {
      value = percentDecode(item.substr(equals + 1));
      if (!value) return std::nullopt;
    }
    items.emplace_back(std::move(*name), std::move(value));
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  return items;
}

Violation checkQueryParams(std::string_view input) {
  if (input.size() < 2) return std::nullopt;
  const char itemSeparator = input[0];
  const char nameSeparator = input[1];
  input.remove_prefix(2);

  StringDictionary texts;
  JsonObject object;
  while (!input.empty()) {
    const std::size_t end = input.find(itemSeparator);
    const std::string_view item = input.substr(0, end);
    const std::size_t split = item.find(nameSeparator);
    const std::string name(item.substr(0, split));
    if (split == std::string_view::npos) {
      texts[name] = "";
      object.set(name, JsonValue(nullptr));
    } else {
      const std::string value(item.substr(split + 1));
      texts[name] = value;
      object.set(name, JsonValue(value));
    }
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  KORVANI_FUZZ_PROPAGATE(checkEncoding(texts));
  KORVANI_FUZZ_PROPAGATE(checkEncoding(object));
  return std::nullopt;
}

}  // namespace korvani::fuzz
