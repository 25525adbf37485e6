#pragma once

#include <ifaddrs.h>

#include "korvani/host/reachability.hpp"

namespace korvani::host {

// The status the default reachability object reports for a getifaddrs() list: reachable when
// an interface other than loopback is up and has an IPv4 or IPv6 address.
ZRNetworkStatus statusForInterfaces(const ifaddrs* interfaces) noexcept;

}  // namespace korvani::host
