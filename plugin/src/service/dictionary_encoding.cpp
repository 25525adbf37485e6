#include "korvani/dictionary_encoding.hpp"

#include <string_view>

#include "service/query_text.hpp"

namespace korvani {
namespace {

bool isUnreserved(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// Percent-encodes every byte outside the unreserved set. Stricter than a query strictly needs
// ("=", "&", "+" and "/" are all encoded), which keeps a token or value from being read back
// as something else by any server's query parser.
void appendPercentEncoded(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (isUnreserved(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
}

void appendItem(std::string& out, bool first, std::string_view name, const std::string* value) {
  out.push_back(first ? '?' : '&');
  appendPercentEncoded(out, name);
  if (value != nullptr) {
    out.push_back('=');
    appendPercentEncoded(out, *value);
  }
}

}  // namespace

std::optional<std::string> JSONString(const JsonObject& dictionary) {
  std::string text;
  // A payment body is a few hundred bytes; one allocation instead of repeated regrowth.
  text.reserve(1024);
  if (!appendJson(text, dictionary)) return std::nullopt;
  return text;
}

std::optional<std::string> JSONString(const StringDictionary& dictionary) {
  JsonObject object;
  object.reserve(dictionary.size());
  for (const auto& [key, value] : dictionary)
    object.set(key, JsonValue(value));
  return JSONString(object);
}

std::size_t detail::queryTextBound(const StringDictionary& dictionary) noexcept {
  std::size_t bound = 0;  // every byte encoded, and the separators
  for (const auto& [name, value] : dictionary)
    bound += 3 * (name.size() + value.size()) + 2;
  return bound;
}

void detail::appendQueryText(std::string& out, const StringDictionary& dictionary) {
  bool first = true;
  for (const auto& [name, value] : dictionary) {
    appendItem(out, first, name, &value);
    first = false;
  }
}

std::optional<std::string> queryParamString(const StringDictionary& dictionary) {
  std::string query;
  query.reserve(detail::queryTextBound(dictionary));
  detail::appendQueryText(query, dictionary);
  return query;
}

std::optional<std::string> queryParamString(const JsonObject& dictionary) {
  std::string query;
  for (const auto& [name, value] : dictionary)
    appendItem(query, query.empty(), name, value.asString());
  return query;
}

}  // namespace korvani
