// Response: classification, kept body and responseJSON() on arbitrary bytes.
#include "checks/checks.hpp"

KORVANI_FUZZ_TARGET(korvani::fuzz::checkResponseBytes)
