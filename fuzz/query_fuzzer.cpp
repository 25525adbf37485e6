// Query encoder: the query reads back to the same items and uses only allowed characters.
#include "checks/checks.hpp"

KORVANI_FUZZ_TARGET(korvani::fuzz::checkQueryParams)
