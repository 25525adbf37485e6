#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "checks/violation.hpp"

namespace korvani::fuzz {

// One query item as read back: its name and its value, absent when the item has no "=".
using QueryItem = std::pair<std::string, std::optional<std::string>>;

// Reads a query ("?a=1&b") back into its items, undoing the percent-encoding. Nothing when the
// text is not "" or "?..." or holds a byte a query item may not carry unencoded: only the
// RFC 3986 query characters are allowed, less "&", "=", "+" and "#", which a server would read
// as structure or as a space, and "%" only as the start of a %HH escape.
std::optional<std::vector<QueryItem>> decodeQuery(std::string_view query);

// The "query" target. The first input byte separates the items, the second separates a name
// from its value, the rest is the items: "&=access_token=abc&q=a b&flag". An item without the
// name separator is a name whose value is not text (in the JSON object) or empty (in the text
// dictionary). queryParamString() of both dictionaries must read back to exactly their
// entries, in their iteration order, and use only the allowed characters.
Violation checkQueryParams(std::string_view input);

}  // namespace korvani::fuzz
