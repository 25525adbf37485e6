#pragma once

#include <string_view>

#include "checks/violation.hpp"
#include "korvani/json.hpp"

namespace korvani::fuzz {

// Builds every JSON-built record from `json` (preference, merchant order, discount, payment,
// both authorisation-code forms) and compares each field with what the reading rules give for
// the raw JSON value under its key: texts only from strings, integers only from integral
// numbers in range, decimals from any number exactly, booleans only from true or false.
// Also checks idString() and the authorisation code's stored-form round trip, in memory and
// through JSON text.
Violation checkRecordsOn(const JsonObject& json);

// The "records" target: the records built from text agree with the records built from the
// parsed object, text that is not an object builds none, and every object directly inside the
// input (a "raw" answer, an array of records) is read as a record source as well.
Violation checkRecordsText(std::string_view input);

}  // namespace korvani::fuzz
