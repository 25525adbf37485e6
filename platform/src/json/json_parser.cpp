// JSON text to JsonValue, in two passes of Boost.JSON's push parser, which does the grammar,
// UTF-8 and escape checks and hands every number over with its exact text. The first pass
// counts the members of every array and object and adds up the memory that their values will
// take, so that text past the memory bound is refused before anything is built; the second
// builds every container at its final size, in place.

#include <algorithm>
#include <array>
#include <bit>
#include <boost/json/basic_parser_impl.hpp>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "json/json_detail.hpp"
#include "korvani/json.hpp"

namespace korvani {
namespace {

using boost::json::error_code;
using Member = JsonObject::Member;

// Objects with more members than this find repeated keys through an index instead of a scan.
constexpr std::size_t kLinearDuplicateLimit = 16;

constexpr char kOverBudget[] = "values need more memory than allowed";

// What a heap block of `bytes` costs: rounded up to 16, plus the allocator's header.
constexpr std::size_t blockCost(std::size_t bytes) noexcept {
  return bytes == 0 ? 0 : (bytes + 31) & ~std::size_t{15};
}

// The heap bytes of a string of `length` characters; none while it fits inside the string.
std::size_t textCost(std::size_t length) noexcept {
  static const std::size_t inlineCapacity = std::string().capacity();
  return length > inlineCapacity ? blockCost(length + 1) : 0;
}

// Slots of the index that makes the keys of a large object unique: at most half of them used.
std::size_t indexSlots(std::size_t members) noexcept {
  return std::bit_ceil(2 * members);
}

// An open array or object of the second pass.
struct Frame {
  JsonArray* array;  // or
  std::vector<Member>* members;
};

// The open containers of the second pass, innermost last: inline for a shallow document.
class Frames {
 public:
  explicit Frames(std::size_t depth) {
    if (depth > kInline) heap_.resize(depth);
  }
  void push(Frame frame) noexcept { data()[size_++] = frame; }
  void pop() noexcept { --size_; }
  bool empty() const noexcept { return size_ == 0; }
  const Frame& back() noexcept { return data()[size_ - 1]; }

 private:
  static constexpr std::size_t kInline = 16;
  Frame* data() noexcept { return heap_.empty() ? inline_.data() : heap_.data(); }

  std::array<Frame, kInline> inline_;
  std::vector<Frame> heap_;
  std::size_t size_ = 0;
};

// Elements or members of every container, in opening order. The first ones inline (enough for a
// payment answer, so that parsing one allocates nothing here), the rest in blocks, so that
// growing never copies and leaves no abandoned buffers behind.
class Sizes {
 public:
  std::size_t push() {
    if (count_ >= kFirst && (count_ - kFirst) % kBlock == 0) blocks_.emplace_back(kBlock);
    return count_++;
  }
  void set(std::size_t i, std::uint32_t size) noexcept { slot(i) = size; }
  std::uint32_t operator[](std::size_t i) const noexcept {
    return const_cast<Sizes*>(this)->slot(i);
  }
  std::size_t bytes() const noexcept {
    if (blocks_.empty()) return 0;
    return blocks_.size() * blockCost(kBlock * sizeof(std::uint32_t)) +
           blockCost(blocks_.capacity() * sizeof(blocks_[0]));
  }

 private:
  static constexpr std::size_t kFirst = 64;
  static constexpr std::size_t kBlock = 1024;
  std::uint32_t& slot(std::size_t i) noexcept {
    if (i < kFirst) return first_[i];
    return blocks_[(i - kFirst) / kBlock][(i - kFirst) % kBlock];
  }

  std::array<std::uint32_t, kFirst> first_{};
  std::vector<std::vector<std::uint32_t>> blocks_;
  std::size_t count_ = 0;
};

// What the first pass learns for the second, and the memory that the second will hold.
struct Plan {
  Sizes sizes;
  std::size_t depth = 0;          // deepest nesting
  std::size_t longestPieced = 0;  // longest text that came in parts (one with escapes), held
                                  // aside for strings and for keys
  std::size_t slots = 0;          // largest index for unique keys
  std::size_t values = 0;         // heap bytes of the values (and of a copy of the text)

  std::size_t need() const noexcept {
    return values + sizes.bytes() + blockCost(depth * sizeof(Frame)) + 2 * textCost(longestPieced) +
           blockCost(slots * sizeof(std::uint32_t));
  }
};

// `part` lies within `text`.
bool inText(std::string_view text, std::string_view part) noexcept {
  const std::less_equal<const char*> notAfter;
  return notAfter(text.data(), part.data()) &&
         notAfter(part.data() + part.size(), text.data() + text.size());
}

// What both passes do alike. The whole text is given at once, so numbers never come in parts.
struct Handler {
  static constexpr std::size_t max_array_size = std::numeric_limits<std::uint32_t>::max() - 1;
  static constexpr std::size_t max_object_size = max_array_size;
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_number_part(std::string_view, error_code&) { return true; }
  bool on_comment_part(std::string_view, error_code&) { return true; }
  bool on_comment(std::string_view, error_code&) { return true; }
};

// First pass: sizes and memory; stops as soon as the memory exceeds `budget`.
class Measure : public Handler {
 public:
  Measure(Plan& plan, std::size_t budget, std::string_view text) noexcept
      : plan_(plan), budget_(budget), text_(text) {}

  bool on_array_begin(error_code&) { return open(); }
  bool on_array_end(std::size_t n, error_code& ec) { return close(n, sizeof(JsonValue), ec); }
  bool on_object_begin(error_code&) { return open(); }
  bool on_object_end(std::size_t n, error_code& ec) {
    if (n > kLinearDuplicateLimit) plan_.slots = std::max(plan_.slots, indexSlots(n));
    return close(n, sizeof(Member), ec);
  }

  bool on_string_part(std::string_view, std::size_t, error_code&) { return pieced_ = true; }
  bool on_string(std::string_view, std::size_t total, error_code& ec) { return text(total, ec); }
  bool on_key_part(std::string_view, std::size_t, error_code&) { return pieced_ = true; }
  bool on_key(std::string_view s, std::size_t total, error_code& ec) {
    pieced_ = pieced_ || !inText(text_, s);  // kept aside by the second pass all the same
    return text(total, ec);
  }

  bool on_int64(std::int64_t, std::string_view, error_code&) { return true; }
  bool on_uint64(std::uint64_t, std::string_view, error_code&) { return true; }
  // A fraction, an exponent or more than 64 bits: kept as text.
  bool on_double(double, std::string_view s, error_code& ec) { return add(textCost(s.size()), ec); }
  bool on_bool(bool, error_code&) { return true; }
  bool on_null(error_code&) { return true; }

  bool overBudget() const noexcept { return overBudget_; }

 private:
  bool open() {
    open_[depth_++] = plan_.sizes.push();
    plan_.depth = std::max(plan_.depth, depth_);
    return true;
  }
  bool close(std::size_t n, std::size_t elementBytes, error_code& ec) {
    plan_.sizes.set(open_[--depth_], static_cast<std::uint32_t>(n));
    return add(blockCost(n * elementBytes), ec);
  }
  bool text(std::size_t length, error_code& ec) {
    if (pieced_) plan_.longestPieced = std::max(plan_.longestPieced, length);
    pieced_ = false;
    return add(textCost(length), ec);
  }
  bool add(std::size_t bytes, error_code& ec) {
    plan_.values += bytes;
    if (plan_.need() <= budget_) return true;
    overBudget_ = true;
    ec = boost::json::error::exception;
    return false;
  }

  Plan& plan_;
  std::size_t budget_;
  std::string_view text_;
  std::size_t depth_ = 0;
  std::array<std::size_t, JsonParseOptions::kDepthCeiling + 1> open_;  // their sizes' places
  bool pieced_ = false;
  bool overBudget_ = false;
};

// Second pass: every value straight into its place. Containers have room for all their
// elements, so a place stays put while its container fills.
class Build : public Handler {
 public:
  // `text` is what is parsed, `original` what the numbers' text is taken from (same offsets).
  Build(const Plan& plan, std::string_view text, std::string_view original)
      : sizes_(plan.sizes), text_(text), original_(original), frames_(plan.depth) {
    pending_.reserve(plan.longestPieced);
    pendingKey_.reserve(plan.longestPieced);
    index_.reserve(plan.slots);
  }

  bool on_array_begin(error_code&) {
    JsonArray& array = *place(JsonArray()).asArray();
    array.reserve(sizes_[next_++]);
    frames_.push({&array, nullptr});
    return true;
  }
  bool on_array_end(std::size_t, error_code&) {
    frames_.pop();
    return true;
  }
  bool on_object_begin(error_code&) {
    auto& members = detail::JsonAccess::members(*place(JsonObject()).asObject());
    members.reserve(sizes_[next_++]);
    frames_.push({nullptr, &members});
    return true;
  }
  bool on_object_end(std::size_t, error_code&) {
    makeKeysUnique(*frames_.back().members);
    frames_.pop();
    return true;
  }

  bool on_string_part(std::string_view s, std::size_t, error_code&) {
    pending_.append(s);
    return true;
  }
  bool on_string(std::string_view s, std::size_t, error_code&) {
    place(whole(s));
    pending_.clear();
    return true;
  }
  // The member is made with its value.
  bool on_key_part(std::string_view s, std::size_t, error_code&) {
    if (!keyInParts_) pendingKey_.clear();
    keyInParts_ = true;
    pendingKey_.append(s);
    return true;
  }
  bool on_key(std::string_view s, std::size_t, error_code&) {
    // Unescaped keys arrive as a view into the text; an escaped one may come whole in the
    // parser's own buffer, which the next text overwrites.
    if (!keyInParts_ && inText(text_, s)) {
      key_ = s;
      return true;
    }
    if (!keyInParts_) pendingKey_.clear();
    keyInParts_ = false;
    key_ = pendingKey_.append(s);
    return true;
  }

  bool on_int64(std::int64_t value, std::string_view, error_code&) {
    place(value);
    return true;
  }
  bool on_uint64(std::uint64_t value, std::string_view, error_code&) {
    place(value);
    return true;
  }
  bool on_double(double, std::string_view s, error_code&) {
    const auto offset = static_cast<std::size_t>(s.data() - text_.data());
    place(detail::JsonAccess::numberText(original_.substr(offset, s.size())));
    return true;
  }
  bool on_bool(bool value, error_code&) {
    place(value);
    return true;
  }
  bool on_null(error_code&) {
    place(nullptr);
    return true;
  }

  JsonValue take() noexcept { return std::move(result_); }

 private:
  // The text whose last part is `last`.
  std::string_view whole(std::string_view last) {
    if (pending_.empty()) return last;
    pending_.append(last);
    return pending_;
  }

  // Puts the next value into the open container (an object's newest member), or makes it the
  // document.
  template <class Value>
  JsonValue& place(Value&& value) {
    if (frames_.empty()) return result_ = JsonValue(std::forward<Value>(value));
    const Frame& frame = frames_.back();
    if (frame.array) return frame.array->emplace_back(std::forward<Value>(value));
    return frame.members
        ->emplace_back(std::piecewise_construct, std::forward_as_tuple(key_),
                       std::forward_as_tuple(std::forward<Value>(value)))
        .second;
  }

  // A repeated key keeps its first position and takes the last value.
  void makeKeysUnique(std::vector<Member>& members) {
    const std::size_t n = members.size();
    const bool indexed = n > kLinearDuplicateLimit;
    if (indexed) index_.assign(indexSlots(n), 0);
    const std::size_t mask = indexed ? index_.size() - 1 : 0;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view key = members[i].first;
      Member* earlier = nullptr;
      std::uint32_t* slot = nullptr;
      if (!indexed) {
        for (std::size_t j = 0; j < kept && !earlier; ++j)
          earlier = members[j].first == key ? &members[j] : nullptr;
      } else {
        // Open addressing; a slot holds a kept member's position plus one.
        for (slot = &index_[std::hash<std::string_view>()(key) & mask]; *slot != 0 && !earlier;
             slot = &index_[(static_cast<std::size_t>(slot - index_.data()) + 1) & mask]) {
          earlier = members[*slot - 1].first == key ? &members[*slot - 1] : nullptr;
        }
      }
      if (earlier) {
        earlier->second = std::move(members[i].second);
        continue;
      }
      if (slot) *slot = static_cast<std::uint32_t>(kept + 1);
      if (kept != i) members[kept] = std::move(members[i]);
      ++kept;
    }
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(kept), members.end());
  }

  const Sizes& sizes_;
  std::size_t next_ = 0;  // the container to open next
  std::string_view text_;
  std::string_view original_;
  Frames frames_;
  std::string pending_;     // parts of a text with escapes
  std::string pendingKey_;  // and of a key
  bool keyInParts_ = false;
  std::string_view key_;  // of the member whose value comes next
  std::vector<std::uint32_t> index_;
  JsonValue result_;
};

// `text` with the digits of every exponent made zeros. Boost.JSON refuses an exponent beyond
// 32 bits before it hands the number over; this copy parses alike in every other respect, and
// the numbers' text is taken from the original at the same offsets.
std::string withZeroExponents(std::string_view text) {
  std::string copy(text);
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t i = 0; i < copy.size(); ++i) {
    if (copy[i] == '"') {
      for (++i; i < copy.size() && copy[i] != '"'; ++i)
        i += copy[i] == '\\';
    } else if (copy[i] == 'e' || copy[i] == 'E') {
      std::size_t j = i + 1;
      if (j < copy.size() && (copy[j] == '+' || copy[j] == '-')) ++j;
      for (; j < copy.size() && isDigit(copy[j]); ++j)
        copy[j] = '0';
    }
  }
  return copy;
}

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
  const std::size_t budget =
      text.size() * detail::kJsonMemoryPerByte + detail::kJsonMemoryAllowance;
  std::string copy;
  std::string_view input = text;
  Plan plan;
  error_code ec;
  auto measure = [&] {
    boost::json::basic_parser<Measure> parser(parseOptions, plan, budget, input);
    const std::size_t consumed = parser.write_some(false, input.data(), input.size(), ec);
    return std::pair(consumed, parser.handler().overBudget());
  };
  auto [consumed, overBudget] = measure();
  if (ec == boost::json::error::exponent_overflow) {
    copy = withZeroExponents(text);
    input = copy;
    plan = Plan();
    plan.values = blockCost(copy.size() + 1);
    ec = {};
    std::tie(consumed, overBudget) = measure();
  }
  if (overBudget) return refuse(error, consumed, kOverBudget);
  if (ec) return refuse(error, consumed, reasonFor(ec, text, consumed, options));
  if (consumed != text.size()) {
    return refuse(error, consumed, "unexpected data after the JSON value");
  }

  parseOptions.allow_invalid_utf8 = true;  // checked by the first pass
  boost::json::basic_parser<Build> parser(parseOptions, plan, input, text);
  parser.write_some(false, input.data(), input.size(), ec);
  if (ec) return refuse(error, 0, "malformed JSON");  // the first pass accepted the same text
  return parser.handler().take();
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
