#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvani::platform {

// Header fields in order, as (name, value) pairs; names may repeat. The text of every field
// sits in one buffer and the first fields' bounds inside the list itself, so a list costs one
// allocation however long its fields are: a request's list is copied into its task, an
// answer's built field by field. Reading yields views into the list, valid until it changes.
// A value, copied on assignment; not locked.
class HeaderList {
 public:
  using value_type = std::pair<std::string_view, std::string_view>;

  // Yields (name, value) views, by value.
  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using iterator_concept = std::forward_iterator_tag;
    using value_type = HeaderList::value_type;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = value_type;

    const_iterator() = default;
    value_type operator*() const { return (*list_)[index_]; }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++index_;
      return before;
    }
    friend bool operator==(const const_iterator&, const const_iterator&) = default;

   private:
    friend class HeaderList;
    const_iterator(const HeaderList* list, std::size_t index) : list_(list), index_(index) {}
    const HeaderList* list_ = nullptr;
    std::size_t index_ = 0;
  };
  using iterator = const_iterator;

  HeaderList() = default;
  HeaderList(std::initializer_list<value_type> fields) {
    for (const auto& [name, value] : fields)
      emplace_back(name, value);
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const_iterator begin() const noexcept { return {this, 0}; }
  const_iterator end() const noexcept { return {this, size_}; }
  // The field at `index` (< size()).
  value_type operator[](std::size_t index) const {
    const std::size_t nameStart = index == 0 ? 0 : field(index - 1).valueEnd;
    const Field& at = field(index);
    const std::string_view text(text_);
    return {text.substr(nameStart, at.nameEnd - nameStart),
            text.substr(at.nameEnd, at.valueEnd - at.nameEnd)};
  }
  // The first value of the field named `name`, and how many fields have that name; names are
  // compared without regard to ASCII letter case, as HTTP compares them.
  std::optional<std::string_view> value(std::string_view name) const noexcept {
    for (const auto& [field, fieldValue] : *this) {
      if (sameName(field, name)) return fieldValue;
    }
    return std::nullopt;
  }
  std::size_t count(std::string_view name) const noexcept {
    std::size_t found = 0;
    for (const auto& field : *this)
      found += sameName(field.first, name) ? 1 : 0;
    return found;
  }
  // Whether two field names are the same, as HTTP compares them: without regard to ASCII letter
  // case. The one such compare of the library.
  static bool sameName(std::string_view a, std::string_view b) noexcept {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char x, char y) { return lower(x) == lower(y); });
  }
  // The bytes of every name and value together.
  std::size_t textSize() const noexcept { return text_.size(); }

  // Room for `fields` fields holding `textBytes` bytes of names and values, to avoid regrowth.
  void reserve(std::size_t fields, std::size_t textBytes) {
    if (fields > kInlineFields) more_.reserve(fields - kInlineFields);
    text_.reserve(textBytes);
  }
  void emplace_back(std::string_view name, std::string_view value) {
    text_.append(name);
    const std::size_t nameEnd = text_.size();
    text_.append(value);
    const Field added{nameEnd, text_.size()};
    if (size_ < kInlineFields) {
      first_[size_] = added;
    } else {
      more_.push_back(added);
    }
    ++size_;
  }
  // Appends to the last field's value (which must exist).
  void appendToLastValue(std::string_view more) {
    text_.append(more);
    field(size_ - 1).valueEnd = text_.size();
  }
  // Removes every field, keeping the room.
  void clear() noexcept {
    text_.clear();
    more_.clear();
    size_ = 0;
  }

  friend bool operator==(const HeaderList& a, const HeaderList& b) {
    return a.size_ == b.size_ && a.text_ == b.text_ && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  // Bounds of one field in text_: its name starts where the previous field's value ends.
  struct Field {
    std::size_t nameEnd = 0;
    std::size_t valueEnd = 0;
  };
  // A request's fields, and most answers', fit without an allocation of their own.
  static constexpr std::size_t kInlineFields = 8;

  const Field& field(std::size_t index) const {
    return index < kInlineFields ? first_[index] : more_[index - kInlineFields];
  }
  Field& field(std::size_t index) {
    return index < kInlineFields ? first_[index] : more_[index - kInlineFields];
  }

  std::string text_;
  std::size_t size_ = 0;
  std::array<Field, kInlineFields> first_{};
  std::vector<Field> more_;
};

}  // namespace korvani::platform
