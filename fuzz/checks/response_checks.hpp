#pragma once

#include <string_view>

#include "checks/violation.hpp"

namespace korvani::fuzz {

// The "response" target. The first input byte picks the HTTP answer (none, or a status code
// from a list around the 2xx edges), the second the transport error (none, cancelled, time-out,
// no network, ...); the rest is the answer body. The classification must follow the status
// code and the cancellation rule, the body must be kept as given, and responseJSON() must give
// exactly the object or array the body holds (the same on every call), nothing for anything
// else. An object answer is then read as a payment, as the view model does.
Violation checkResponseBytes(std::string_view input);

}  // namespace korvani::fuzz
