#pragma once

#include <cstddef>
#include <string>

namespace korvani::bench {

// A JSON document of at least `bytes` bytes that looks like a page of payment records:
// nested objects and arrays, texts with escapes and non-ASCII, integers, decimals, booleans
// and nulls. The same size always gives the same text.
std::string paymentRecordsDocument(std::size_t bytes);

}  // namespace korvani::bench
