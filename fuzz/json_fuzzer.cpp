// JSON parser and writer: round trip, refusals, numbers keep the value of their text.
#include "checks/checks.hpp"

KORVANI_FUZZ_TARGET(korvani::fuzz::checkJsonText)
