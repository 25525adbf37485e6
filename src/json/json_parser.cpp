// JSON text to JsonValue. Boost.JSON's push parser does the grammar, UTF-8 and escape checks
// and hands every number over with its exact text; the handler below builds our own values so
// that money never passes through a double.

#include <algorithm>
#include <boost/json/basic_parser_impl.hpp>
#include <iterator>
#include <new>
#include <string>
#include <unordered_map>

#include "json/json_detail.hpp"
#include "korvani/json.hpp"

namespace korvani {
namespace {

using boost::json::error_code;

// Objects with more members than this check duplicates through an index instead of a scan.
constexpr std::size_t kLinearDuplicateLimit = 16;

class ValueBuilder {
 public:
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  ValueBuilder() { values_.reserve(32); }

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }

  bool on_array_begin(error_code&) { return true; }
  bool on_array_end(std::size_t n, error_code&) {
    const auto first = values_.end() - static_cast<std::ptrdiff_t>(n);
    JsonArray array(std::make_move_iterator(first), std::make_move_iterator(values_.end()));
    values_.erase(first, values_.end());
    values_.emplace_back(std::move(array));
    return true;
  }

  bool on_object_begin(error_code&) { return true; }
  bool on_object_end(std::size_t n, error_code&) {
    const auto firstValue = values_.end() - static_cast<std::ptrdiff_t>(n);
    const auto firstKey = keys_.end() - static_cast<std::ptrdiff_t>(n);
    JsonObject object;
    auto& members = detail::JsonObjectAccess::members(object);
    members.reserve(n);
    auto value = firstValue;
    if (n <= kLinearDuplicateLimit) {
      for (auto key = firstKey; key != keys_.end(); ++key, ++value) {
        addMember(members, *key, *value);
      }
    } else {
      // Views into keys already moved into `members`; reserve() above keeps them in place.
      std::unordered_map<std::string_view, std::size_t> index;
      index.reserve(n);
      for (auto key = firstKey; key != keys_.end(); ++key, ++value) {
        const auto found = index.find(*key);
        if (found != index.end()) {
          members[found->second].second = std::move(*value);
        } else {
          members.emplace_back(std::move(*key), std::move(*value));
          index.emplace(members.back().first, members.size() - 1);
        }
      }
    }
    keys_.erase(firstKey, keys_.end());
    values_.erase(firstValue, values_.end());
    values_.emplace_back(std::move(object));
    return true;
  }

  bool on_string_part(std::string_view s, std::size_t, error_code&) {
    pending_.append(s);
    return true;
  }
  bool on_string(std::string_view s, std::size_t, error_code&) {
    values_.emplace_back(takeText(s));
    return true;
  }
  bool on_key_part(std::string_view s, std::size_t, error_code&) {
    pending_.append(s);
    return true;
  }
  bool on_key(std::string_view s, std::size_t, error_code&) {
    keys_.push_back(takeText(s));
    return true;
  }

  bool on_number_part(std::string_view s, error_code&) {
    pending_.append(s);
    return true;
  }
  bool on_int64(std::int64_t value, std::string_view, error_code&) {
    pending_.clear();
    values_.emplace_back(value);
    return true;
  }
  bool on_uint64(std::uint64_t value, std::string_view, error_code&) {
    pending_.clear();
    values_.emplace_back(value);
    return true;
  }
  // A fraction, an exponent or more than 64 bits: the exact text becomes a Decimal.
  bool on_double(double, std::string_view s, error_code& ec) {
    std::optional<Decimal> number;
    if (pending_.empty()) {
      number = Decimal::fromString(s);
    } else {
      pending_.append(s);
      number = Decimal::fromString(pending_);
      pending_.clear();
    }
    if (!number) {
      reason_ = "number out of range";
      reasonAt_ = s.data();
      ec = boost::json::error::exponent_overflow;
      return false;
    }
    values_.emplace_back(*number);
    return true;
  }

  bool on_bool(bool value, error_code&) {
    values_.emplace_back(value);
    return true;
  }
  bool on_null(error_code&) {
    values_.emplace_back(nullptr);
    return true;
  }
  bool on_comment_part(std::string_view, error_code&) { return true; }
  bool on_comment(std::string_view, error_code&) { return true; }

  std::vector<JsonValue>& values() noexcept { return values_; }
  const std::string& reason() const noexcept { return reason_; }
  const char* reasonAt() const noexcept { return reasonAt_; }

 private:
  static void addMember(std::vector<JsonObject::Member>& members, std::string& key,
                        JsonValue& value) {
    for (auto& member : members) {
      if (member.first == key) {
        member.second = std::move(value);  // the last duplicate wins
        return;
      }
    }
    members.emplace_back(std::move(key), std::move(value));
  }

  std::string takeText(std::string_view last) {
    if (pending_.empty()) return std::string(last);
    pending_.append(last);
    std::string text = std::move(pending_);
    pending_.clear();
    return text;
  }

  std::vector<JsonValue> values_;  // finished values not yet placed in their container
  std::vector<std::string> keys_;  // keys of the objects being built
  std::string pending_;            // text of a string, key or number that came in parts
  std::string reason_;             // set when the handler itself refuses
  const char* reasonAt_ = nullptr;
};

bool isWhitespace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// True when no well-formed UTF-8 sequence covers the byte at `offset`; tells a bad encoding
// apart from plain bad syntax at the position the parser stopped.
bool encodingBrokenAt(std::string_view text, std::size_t offset) noexcept {
  if (offset >= text.size()) return false;
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  if (begin[offset] < 0x80) return false;
  // Find the lead byte of the sequence that should hold `offset` (at most 3 bytes back).
  std::size_t lead = offset;
  while (lead > 0 && offset - lead < 3 && (begin[lead] & 0xC0) == 0x80)
    --lead;
  const std::size_t length = detail::utf8SequenceLength(begin + lead, end);
  return length == 0 || lead + length <= offset;
}

// The byte at `offset` follows an unescaped backslash.
bool oddBackslashesBefore(std::string_view text, std::size_t offset) noexcept {
  std::size_t count = 0;
  while (offset > count && text[offset - 1 - count] == '\\')
    ++count;
  return count % 2 == 1;
}

bool isHexDigit(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The text before `offset` ends with a \uD800-\uDBFF escape, which needs a low surrogate next.
bool highSurrogateEscapeBefore(std::string_view text, std::size_t offset) noexcept {
  if (offset < 6 || offset > text.size()) return false;
  const std::string_view escape = text.substr(offset - 6, 6);
  return escape[0] == '\\' && escape[1] == 'u' && (escape[2] == 'd' || escape[2] == 'D') &&
         std::string_view("89abAB").find(escape[3]) != std::string_view::npos &&
         isHexDigit(escape[4]) && isHexDigit(escape[5]) && oddBackslashesBefore(text, offset - 5);
}

std::string reasonFor(const error_code& ec, std::string_view text, std::size_t offset,
                      const JsonParseOptions& options) {
  namespace bj = boost::json;
  if (ec == bj::error::syntax) {
    if (encodingBrokenAt(text, offset)) return "invalid UTF-8";
    // Whitespace between tokens is skipped, so a control byte at the failure is in a string.
    if (offset < text.size() && static_cast<unsigned char>(text[offset]) < 0x20) {
      return "unescaped control character in a string";
    }
    if (oddBackslashesBefore(text, offset)) return "invalid escape";
    if (highSurrogateEscapeBefore(text, offset)) return "invalid surrogate escape";
    return "unexpected character";
  }
  if (ec == bj::error::incomplete) return "unexpected end of input";
  if (ec == bj::error::exponent_overflow) return "number out of range";
  if (ec == bj::error::too_deep) {
    return "nesting deeper than " +
           std::to_string(std::min(options.maxDepth, JsonParseOptions::kDepthCeiling)) + " levels";
  }
  if (ec == bj::error::illegal_leading_surrogate || ec == bj::error::illegal_trailing_surrogate ||
      ec == bj::error::expected_utf16_escape) {
    return "invalid surrogate escape";
  }
  if (ec == bj::error::expected_hex_digit) return "invalid \\u escape";
  if (ec == bj::error::object_too_large || ec == bj::error::array_too_large ||
      ec == bj::error::key_too_large || ec == bj::error::string_too_large) {
    return "value too large";
  }
  return "malformed JSON";
}

std::optional<JsonValue> refuse(JsonError* error, std::size_t offset, std::string reason) {
  if (error) {
    error->offset = offset;
    error->reason = std::move(reason);
  }
  return std::nullopt;
}

std::optional<JsonValue> parse(std::string_view text, JsonError* error,
                               const JsonParseOptions& options) {
  std::size_t start = 0;
  while (start < text.size() && isWhitespace(text[start]))
    ++start;
  if (start == text.size()) return refuse(error, start, "empty input");
  if (!options.allowScalarTopLevel) {
    const char first = text[start];
    const bool container = first == '{' || first == '[';
    const bool scalar = first == '"' || first == '-' || (first >= '0' && first <= '9') ||
                        first == 't' || first == 'f' || first == 'n';
    if (!container && scalar) {
      return refuse(error, start, "top-level value is not an object or array");
    }
  }

  boost::json::parse_options parseOptions;
  parseOptions.max_depth = std::min(options.maxDepth, JsonParseOptions::kDepthCeiling);
  boost::json::basic_parser<ValueBuilder> parser(parseOptions);
  error_code ec;
  const std::size_t consumed = parser.write_some(false, text.data(), text.size(), ec);
  ValueBuilder& builder = parser.handler();
  if (ec) {
    if (!builder.reason().empty()) {
      const char* at = builder.reasonAt();
      const bool inside = at >= text.data() && at <= text.data() + text.size();
      return refuse(error, inside ? static_cast<std::size_t>(at - text.data()) : consumed,
                    builder.reason());
    }
    return refuse(error, consumed, reasonFor(ec, text, consumed, options));
  }
  if (consumed != text.size()) {
    return refuse(error, consumed, "unexpected data after the JSON value");
  }
  if (builder.values().size() != 1) return refuse(error, consumed, "malformed JSON");
  return std::move(builder.values().front());
}

}  // namespace

std::optional<JsonValue> parseJson(std::string_view text, JsonError* error,
                                   const JsonParseOptions& options) {
  try {
    return parse(text, error, options);
  } catch (const std::bad_alloc&) {
    return refuse(error, 0, "out of memory");
  } catch (...) {
    return refuse(error, 0, "malformed JSON");
  }
}

}  // namespace korvani
