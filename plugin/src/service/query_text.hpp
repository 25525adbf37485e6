#pragma once

#include <cstddef>
#include <string>

#include "korvani/string_dictionary.hpp"

// The text of queryParamString(), for a caller that appends it to a URL it is building, so the
// URL takes one allocation.
namespace korvani::detail {

// The most bytes appendQueryText() adds for `dictionary` (every byte percent-encoded).
std::size_t queryTextBound(const StringDictionary& dictionary) noexcept;
// Appends the dictionary's query: nothing when it is empty, else "?" and the items.
void appendQueryText(std::string& out, const StringDictionary& dictionary);

}  // namespace korvani::detail
