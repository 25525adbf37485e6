#pragma once

// Small stand-ins shared by the test executables.

#include <string>
#include <string_view>

#include "korvani/host/reachability.hpp"
#include "korvani/json.hpp"

namespace korvani::test_support {

// Installs a provider that answers one host::FixedReachability with `status` for the whole process
// (until the next call, or ZRReachability::setProvider({})).
void setNetworkStatus(host::ZRNetworkStatus status);

// The JSON object written in `text`; a test input that is not one fails the current test and
// gives an empty object.
JsonObject jsonObject(std::string_view text);

}  // namespace korvani::test_support
