#pragma once

#include "korvani/host/reachability.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/platform/clock.hpp"
#include "korvani/platform/url_session.hpp"

namespace korvani::test_support {

// Restores, when it goes out of scope (after a failed assertion too), the process-wide state
// tests change: default reachability, no tracker listener, system trust alone, system clock.
struct ProcessState {
  ~ProcessState() {
    host::ZRReachability::setProvider({});
    host::KVQTracker::setTrackListener(nullptr);
    platform::URLSession::sharedSession()->resetTrustedCertificates();
    platform::WallClock::setSource({});
  }
};

}  // namespace korvani::test_support
