// JsonValue to JSON text, compact or indented. Strings are copied in runs between the bytes
// that need attention, so plain ASCII text costs one append per run.

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>

#include "json/json_detail.hpp"
#include "korvani/json.hpp"

namespace korvani {
namespace {

// Per byte: 0 copied as is, 1 escaped, 2 lead of a multi-byte sequence (validated).
constexpr std::array<unsigned char, 256> makeByteClasses() {
  std::array<unsigned char, 256> classes{};
  for (int c = 0; c < 0x20; ++c)
    classes[static_cast<std::size_t>(c)] = 1;
  classes['"'] = 1;
  classes['\\'] = 1;
  for (int c = 0x80; c < 0x100; ++c)
    classes[static_cast<std::size_t>(c)] = 2;
  return classes;
}
constexpr std::array<unsigned char, 256> kByteClasses = makeByteClasses();

void appendEscape(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (c) {
    case '"':
      out.append("\\\"", 2);
      return;
    case '\\':
      out.append("\\\\", 2);
      return;
    case '\b':
      out.append("\\b", 2);
      return;
    case '\f':
      out.append("\\f", 2);
      return;
    case '\n':
      out.append("\\n", 2);
      return;
    case '\r':
      out.append("\\r", 2);
      return;
    case '\t':
      out.append("\\t", 2);
      return;
    default: {
      const char escaped[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(escaped, sizeof escaped);
    }
  }
}

// Whether any of the 8 bytes in `word` needs attention: a control character, '"', '\\' or a
// byte of a multi-byte sequence. Lets plain ASCII pass eight bytes at a time.
constexpr bool needsAttention(std::uint64_t word) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  const auto hasZeroByte = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  const std::uint64_t below0x20 = (word - kOnes * 0x20) & ~word & kHighs;
  return ((below0x20 | hasZeroByte(word ^ (kOnes * '"')) | hasZeroByte(word ^ (kOnes * '\\')) |
           (word & kHighs)) != 0);
}

// Appends `text` quoted and escaped; false when it is not valid UTF-8.
bool appendString(std::string& out, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  const auto* run = p;
  out.push_back('"');
  while (p != end) {
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if (!needsAttention(word)) {
        p += 8;
        continue;
      }
    }
    const unsigned char cls = kByteClasses[*p];
    if (cls == 0) {
      ++p;
    } else if (cls == 2) {
      const std::size_t length = detail::utf8SequenceLength(p, end);
      if (length == 0) return false;
      p += length;
    } else {
      out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
      appendEscape(out, *p);
      run = ++p;
    }
  }
  out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
  out.push_back('"');
  return true;
}

template <class Integer>
void appendInteger(std::string& out, Integer value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

class Writer {
 public:
  // indent < 0: compact.
  Writer(std::string& out, int indent) : out_(out), indent_(indent) {}

  bool write(const JsonValue& value) { return writeValue(value, 0); }
  bool write(const JsonObject& object) { return writeObject(object, 0); }
  const char* failure() const noexcept { return failure_; }

 private:
  void newline(std::size_t level) {
    out_.push_back('\n');
    out_.append(level * static_cast<std::size_t>(indent_), ' ');
  }

  bool writeValue(const JsonValue& value, std::size_t level) {
    switch (value.type()) {
      case JsonType::null:
        out_.append("null", 4);
        return true;
      case JsonType::boolean:
        if (*value.asBool()) {
          out_.append("true", 4);
        } else {
          out_.append("false", 5);
        }
        return true;
      case JsonType::int64:
        appendInteger(out_, *value.asInt64());
        return true;
      case JsonType::uint64:
        appendInteger(out_, *value.asUInt64());
        return true;
      case JsonType::numberText:
        out_.append(*value.asNumberText());
        return true;
      case JsonType::string:
        if (!appendString(out_, *value.asString())) {
          failure_ = "invalid UTF-8 in a string";
          return false;
        }
        return true;
      case JsonType::array:
        return writeArray(*value.asArray(), level);
      case JsonType::object:
        return writeObject(*value.asObject(), level);
    }
    return false;
  }

  bool writeArray(const JsonArray& array, std::size_t level) {
    out_.push_back('[');
    bool first = true;
    for (const auto& element : array) {
      if (!first) out_.push_back(',');
      first = false;
      if (indent_ >= 0) newline(level + 1);
      if (!writeValue(element, level + 1)) return false;
    }
    if (indent_ >= 0 && !array.empty()) newline(level);
    out_.push_back(']');
    return true;
  }

  bool writeObject(const JsonObject& object, std::size_t level) {
    out_.push_back('{');
    bool first = true;
    for (const auto& [key, element] : object) {
      if (!first) out_.push_back(',');
      first = false;
      if (indent_ >= 0) newline(level + 1);
      if (!appendString(out_, key)) {
        failure_ = "invalid UTF-8 in a key";
        return false;
      }
      if (indent_ >= 0) {
        out_.append(": ", 2);
      } else {
        out_.push_back(':');
      }
      if (!writeValue(element, level + 1)) return false;
    }
    if (indent_ >= 0 && !object.empty()) newline(level);
    out_.push_back('}');
    return true;
  }

  std::string& out_;
  int indent_;
  const char* failure_ = nullptr;
};

template <class Value>
bool appendWithIndent(std::string& out, const Value& value, int indent, JsonError* error) {
  const std::size_t original = out.size();
  const char* failure = nullptr;
  try {
    Writer writer(out, indent);
    if (writer.write(value)) return true;
    failure = writer.failure();
  } catch (const std::bad_alloc&) {
    failure = "out of memory";
  }
  out.resize(original);
  if (error) {
    error->offset = 0;
    error->reason = failure ? failure : "unserializable value";
  }
  return false;
}

}  // namespace

bool appendJson(std::string& out, const JsonValue& value, JsonError* error) {
  return appendWithIndent(out, value, -1, error);
}

bool appendJson(std::string& out, const JsonObject& object, JsonError* error) {
  return appendWithIndent(out, object, -1, error);
}

std::optional<std::string> serializeJson(const JsonValue& value, JsonError* error) {
  std::string out;
  out.reserve(256);
  if (!appendWithIndent(out, value, -1, error)) return std::nullopt;
  return out;
}

std::optional<std::string> serializeJsonPretty(const JsonValue& value, int indent) {
  std::string out;
  out.reserve(256);
  if (!appendWithIndent(out, value, indent < 0 ? 0 : indent, nullptr)) return std::nullopt;
  return out;
}

}  // namespace korvani
