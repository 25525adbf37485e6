#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvani {

// A dictionary from text to text (header fields, query parameters): unique keys, kept in byte
// order, which is the order of iteration. A value, copied on assignment; its entries are stored
// side by side. Not locked.
class StringDictionary {
 public:
  using value_type = std::pair<std::string, std::string>;
  using iterator = std::vector<value_type>::iterator;
  using const_iterator = std::vector<value_type>::const_iterator;

  StringDictionary() = default;
  // A later duplicate key replaces an earlier one.
  StringDictionary(std::initializer_list<value_type> entries) {
    entries_.reserve(entries.size());
    for (const value_type& entry : entries)
      insert_or_assign(entry.first, entry.second);
  }

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  iterator begin() noexcept { return entries_.begin(); }
  iterator end() noexcept { return entries_.end(); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  // Room for `count` entries without regrowth.
  void reserve(std::size_t count) { entries_.reserve(count); }

  // The entry of `key`, or end().
  const_iterator find(std::string_view key) const noexcept {
    const auto place = lowerBound(key);
    return place != entries_.end() && place->first == key ? place : entries_.end();
  }
  iterator find(std::string_view key) noexcept {
    const auto place = lowerBound(key);
    return place != entries_.end() && place->first == key ? place : end();
  }
  bool contains(std::string_view key) const noexcept { return find(key) != end(); }
  std::size_t count(std::string_view key) const noexcept { return contains(key) ? 1 : 0; }
  // The value of `key`; throws std::out_of_range when there is none.
  const std::string& at(std::string_view key) const {
    const auto found = find(key);
    if (found == end()) throw std::out_of_range("StringDictionary::at: no such key");
    return found->second;
  }

  // The value of `key`, inserting an empty one when absent.
  std::string& operator[](std::string_view key) {
    const auto place = lowerBound(key);
    if (place != entries_.end() && place->first == key) return place->second;
    return entries_.emplace(place, std::string(key), std::string())->second;
  }
  // Sets `key` to `value`, inserting it when absent.
  void insert_or_assign(std::string key, std::string value) {
    const auto place = lowerBound(key);
    if (place != entries_.end() && place->first == key) {
      place->second = std::move(value);
    } else {
      entries_.emplace(place, std::move(key), std::move(value));
    }
  }
  // Removes `key`; false when it was absent.
  bool erase(std::string_view key) {
    const auto found = find(key);
    if (found == end()) return false;
    entries_.erase(found);
    return true;
  }

  friend bool operator==(const StringDictionary&, const StringDictionary&) = default;

 private:
  static bool keyBefore(const value_type& entry, std::string_view key) noexcept {
    return entry.first < key;
  }
  const_iterator lowerBound(std::string_view key) const noexcept {
    return std::lower_bound(entries_.begin(), entries_.end(), key, &keyBefore);
  }
  iterator lowerBound(std::string_view key) noexcept {
    return std::lower_bound(entries_.begin(), entries_.end(), key, &keyBefore);
  }

  std::vector<value_type> entries_;
};

}  // namespace korvani
