// JSON text to JsonValue. Boost.JSON's push parser does the grammar, UTF-8 and escape checks
// and hands every number over with its exact text; the handler below builds our own values so
// that money never passes through a double.

#include <algorithm>
#include <boost/json/basic_parser_impl.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "json/json_detail.hpp"
#include "korvani/json.hpp"

namespace korvani {
namespace {

using boost::json::error_code;

// Objects with more members than this check duplicates through an index instead of a scan.
constexpr std::size_t kLinearDuplicateLimit = 16;
// Scratch stacks that grew beyond this are given back after the parse instead of being kept.
constexpr std::size_t kScratchKeepBytes = std::size_t{1} << 20;

// Text of a string or key: a view into the input when it is there verbatim, else a run of the
// scratch arena (which may move while it grows, hence the offset).
struct TextRef {
  const char* data;  // nullptr: in the arena at `offset`
  std::size_t offset;
  std::size_t size;
};

// A value not yet placed in its container. Scalars stay plain data here and are built once,
// in place, when their container closes; only finished containers are JsonValues already
// (kept in order on a stack of their own).
struct Slot {
  enum class Kind : unsigned char { null, boolean, int64, uint64, decimal, text, container };
  Kind kind;
  union {
    bool boolean;
    std::int64_t int64;
    std::uint64_t uint64;
    Decimal decimal;
    TextRef text;
  };

  Slot() noexcept : kind(Kind::null), int64(0) {}
  explicit Slot(bool value) noexcept : kind(Kind::boolean), boolean(value) {}
  explicit Slot(std::int64_t value) noexcept : kind(Kind::int64), int64(value) {}
  explicit Slot(std::uint64_t value) noexcept : kind(Kind::uint64), uint64(value) {}
  explicit Slot(const Decimal& value) noexcept : kind(Kind::decimal), decimal(value) {}
  explicit Slot(TextRef value) noexcept : kind(Kind::text), text(value) {}
  static Slot container() noexcept {
    Slot slot;
    slot.kind = Kind::container;
    return slot;
  }
};
static_assert(std::is_trivially_copyable_v<Slot> && std::is_trivially_destructible_v<Slot>);

// The builder's stacks. Kept per thread between parses, so that a stream of answers does not
// grow them from nothing every time.
struct Scratch {
  std::vector<Slot> slots;            // values of the open containers, in order
  std::vector<TextRef> keys;          // keys of the open objects
  std::vector<JsonValue> containers;  // finished containers not yet placed
  std::vector<std::size_t> marks;     // arena size when each open container began
  std::string arena;                  // texts that came in parts
  std::string number;                 // number text that came in parts

  void clear() noexcept {
    slots.clear();
    keys.clear();
    containers.clear();
    marks.clear();
    arena.clear();
    number.clear();
  }
  std::size_t heldBytes() const noexcept {
    return slots.capacity() * sizeof(Slot) + keys.capacity() * sizeof(TextRef) +
           containers.capacity() * sizeof(JsonValue) + marks.capacity() * sizeof(std::size_t) +
           arena.capacity() + number.capacity();
  }
};

// The calling thread's scratch; trivially destructible so it can be checked during thread exit.
struct ScratchState {
  Scratch* scratch;
  bool busy;
  bool gone;
};
constinit thread_local ScratchState tScratch{};

struct ScratchOwner {
  bool armed = false;
  ~ScratchOwner() {
    delete tScratch.scratch;
    tScratch.scratch = nullptr;
    tScratch.gone = true;
  }
};
thread_local ScratchOwner tScratchOwner;

// Lends the thread's scratch for one parse (or a private one when it is unavailable) and
// leaves it empty afterwards, whatever happened.
class ScratchLease {
 public:
  ScratchLease() {
    if (!tScratch.busy && !tScratch.gone) {
      if (!tScratch.scratch) {
        tScratchOwner.armed = true;
        tScratch.scratch = new Scratch;
      }
      tScratch.busy = true;
      scratch_ = tScratch.scratch;
    } else {
      own_ = std::make_unique<Scratch>();
      scratch_ = own_.get();
    }
  }
  ~ScratchLease() {
    if (own_) return;
    scratch_->clear();
    if (scratch_->heldBytes() > kScratchKeepBytes) *scratch_ = Scratch();
    tScratch.busy = false;
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  Scratch& get() noexcept { return *scratch_; }

 private:
  Scratch* scratch_ = nullptr;
  std::unique_ptr<Scratch> own_;
};

class ValueBuilder {
 public:
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  ValueBuilder(Scratch& scratch, std::string_view input) noexcept : s_(scratch), input_(input) {}

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }

  bool on_array_begin(error_code&) {
    s_.marks.push_back(s_.arena.size());
    return true;
  }
  bool on_array_end(std::size_t n, error_code&) {
    const Slot* first = s_.slots.data() + (s_.slots.size() - n);
    JsonValue* const placed = firstContainer(first, n);
    JsonValue* container = placed;
    JsonArray array;
    array.reserve(n);
    for (const Slot* slot = first; slot != first + n; ++slot) {
      build(*slot, container,
            [&array](auto&& value) { array.emplace_back(std::forward<decltype(value)>(value)); });
    }
    closeContainer(n, placed, JsonValue(std::move(array)));
    return true;
  }

  bool on_object_begin(error_code&) {
    s_.marks.push_back(s_.arena.size());
    return true;
  }
  bool on_object_end(std::size_t n, error_code&) {
    const Slot* first = s_.slots.data() + (s_.slots.size() - n);
    const TextRef* firstKey = s_.keys.data() + (s_.keys.size() - n);
    JsonValue* const placed = firstContainer(first, n);
    JsonValue* container = placed;
    JsonObject object;
    auto& members = detail::JsonObjectAccess::members(object);
    members.reserve(n);
    // Where each member went, by key, once the object is too large for a scan.
    std::unordered_map<std::string_view, std::size_t> index;
    if (n > kLinearDuplicateLimit) index.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view key = view(firstKey[i]);
      JsonValue* existing = nullptr;
      if (n <= kLinearDuplicateLimit) {
        for (auto& member : members) {
          if (member.first == key) {
            existing = &member.second;
            break;
          }
        }
      } else if (const auto found = index.find(key); found != index.end()) {
        existing = &members[found->second].second;
      }
      if (existing) {
        // A repeated key keeps its first position and takes the last value.
        build(first[i], container, [existing](auto&& value) {
          *existing = JsonValue(std::forward<decltype(value)>(value));
        });
        continue;
      }
      build(first[i], container, [&members, key](auto&& value) {
        members.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                             std::forward_as_tuple(std::forward<decltype(value)>(value)));
      });
      // The member's own key: reserve() above keeps it in place.
      if (n > kLinearDuplicateLimit) index.emplace(members.back().first, members.size() - 1);
    }
    s_.keys.resize(s_.keys.size() - n);
    closeContainer(n, placed, JsonValue(std::move(object)));
    return true;
  }

  bool on_string_part(std::string_view s, std::size_t, error_code&) {
    startPieces();
    s_.arena.append(s);
    return true;
  }
  bool on_string(std::string_view s, std::size_t, error_code&) {
    s_.slots.emplace_back(takeText(s));
    return true;
  }
  bool on_key_part(std::string_view s, std::size_t, error_code&) {
    startPieces();
    s_.arena.append(s);
    return true;
  }
  bool on_key(std::string_view s, std::size_t, error_code&) {
    s_.keys.push_back(takeText(s));
    return true;
  }

  bool on_number_part(std::string_view s, error_code&) {
    s_.number.append(s);
    return true;
  }
  bool on_int64(std::int64_t value, std::string_view, error_code&) {
    s_.number.clear();
    s_.slots.emplace_back(value);
    return true;
  }
  bool on_uint64(std::uint64_t value, std::string_view, error_code&) {
    s_.number.clear();
    s_.slots.emplace_back(value);
    return true;
  }
  // A fraction, an exponent or more than 64 bits: the exact text becomes a Decimal.
  bool on_double(double, std::string_view s, error_code& ec) {
    std::optional<Decimal> number;
    if (s_.number.empty()) {
      number = Decimal::fromString(s);
    } else {
      s_.number.append(s);
      number = Decimal::fromString(s_.number);
      s_.number.clear();
    }
    if (!number) {
      reason_ = "number out of range";
      reasonAt_ = s.data();
      ec = boost::json::error::exponent_overflow;
      return false;
    }
    s_.slots.emplace_back(*number);
    return true;
  }

  bool on_bool(bool value, error_code&) {
    s_.slots.emplace_back(value);
    return true;
  }
  bool on_null(error_code&) {
    s_.slots.emplace_back();
    return true;
  }
  bool on_comment_part(std::string_view, error_code&) { return true; }
  bool on_comment(std::string_view, error_code&) { return true; }

  // The document's value once the parser has finished without error.
  std::optional<JsonValue> take() {
    if (s_.slots.size() != 1) return std::nullopt;
    JsonValue* container = s_.containers.data();
    std::optional<JsonValue> result;
    build(s_.slots.front(), container,
          [&result](auto&& value) { result.emplace(std::forward<decltype(value)>(value)); });
    return result;
  }
  const std::string& reason() const noexcept { return reason_; }
  const char* reasonAt() const noexcept { return reasonAt_; }

 private:
  std::string_view view(const TextRef& text) const noexcept {
    return {text.data ? text.data : s_.arena.data() + text.offset, text.size};
  }

  void startPieces() noexcept {
    if (pieces_) return;
    pieces_ = true;
    piecesStart_ = s_.arena.size();
  }

  TextRef takeText(std::string_view last) {
    if (!pieces_) {
      // Unescaped text arrives as a view into the input; escaped text may arrive in the
      // parser's own buffer, which the next text overwrites.
      const std::less_equal<const char*> notAfter;
      if (notAfter(input_.data(), last.data()) &&
          notAfter(last.data() + last.size(), input_.data() + input_.size())) {
        return {last.data(), 0, last.size()};
      }
      startPieces();
    }
    pieces_ = false;
    s_.arena.append(last);
    return {nullptr, piecesStart_, s_.arena.size() - piecesStart_};
  }

  // The first of the finished containers among the `n` slots from `first`.
  JsonValue* firstContainer(const Slot* first, std::size_t n) noexcept {
    std::size_t count = 0;
    for (const Slot* slot = first; slot != first + n; ++slot) {
      count += slot->kind == Slot::Kind::container;
    }
    return s_.containers.data() + (s_.containers.size() - count);
  }

  // Builds the value a slot stands for as `place` constructs it; a container is moved from the
  // stack (`container` advances past it).
  template <class Place>
  void build(const Slot& slot, JsonValue*& container, Place&& place) {
    switch (slot.kind) {
      case Slot::Kind::null:
        place(nullptr);
        return;
      case Slot::Kind::boolean:
        place(slot.boolean);
        return;
      case Slot::Kind::int64:
        place(slot.int64);
        return;
      case Slot::Kind::uint64:
        place(slot.uint64);
        return;
      case Slot::Kind::decimal:
        place(slot.decimal);
        return;
      case Slot::Kind::text:
        place(view(slot.text));
        return;
      case Slot::Kind::container:
        place(std::move(*container++));
        return;
    }
  }

  // Pops the `n` slots of the container just built (and the containers among them), then
  // pushes the result as one slot of its parent.
  void closeContainer(std::size_t n, JsonValue* firstPlaced, JsonValue&& result) {
    s_.containers.erase(s_.containers.begin() + (firstPlaced - s_.containers.data()),
                        s_.containers.end());
    s_.slots.resize(s_.slots.size() - n);
    s_.arena.resize(s_.marks.back());
    s_.marks.pop_back();
    s_.containers.push_back(std::move(result));
    s_.slots.push_back(Slot::container());
  }

  Scratch& s_;
  std::string_view input_;
  bool pieces_ = false;          // parts of the current text are in the arena
  std::size_t piecesStart_ = 0;  // where they begin
  std::string reason_;           // set when the handler itself refuses
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
  ScratchLease scratch;
  boost::json::basic_parser<ValueBuilder> parser(parseOptions, scratch.get(), text);
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
  auto value = builder.take();
  if (!value) return refuse(error, consumed, "malformed JSON");
  return value;
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
