// JSON-built records and Payment: each field against the reading rules.
#include "checks/checks.hpp"

KORVANI_FUZZ_TARGET(korvani::fuzz::checkRecordsText)
