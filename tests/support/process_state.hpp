#pragma once

#include "korvani/host/reachability.hpp"
#include "korvani/host/tracker.hpp"
#include "support/platform_state.hpp"

namespace korvani::test_support {

// Restores, when it goes out of scope (after a failed assertion too), the process-wide state
// tests change: the platform's (see PlatformState), default reachability, no tracker listener.
struct ProcessState : PlatformState {
  ~ProcessState() {
    host::ZRReachability::setProvider({});
    host::KVQTracker::setTrackListener(nullptr);
  }
};

}  // namespace korvani::test_support
