#pragma once

#include "korvani/host/reachability.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/platform/clock.hpp"
#include "korvani/platform/url_session.hpp"

namespace korvani::test_support {

// Puts the process-wide state that tests change back to its defaults when it goes out of scope,
// also when a failed assertion ends the test early: the interface-based reachability, no
// tracker listener, the system's trust alone (a TestServer made later trusts itself again) and
// the system clock. Declare it before whatever the test runs against it.
class ProcessState {
 public:
  ProcessState() = default;
  ProcessState(const ProcessState&) = delete;
  ProcessState& operator=(const ProcessState&) = delete;
  ~ProcessState() {
    host::ZRReachability::setProvider({});
    host::KVQTracker::setTrackListener(nullptr);
    platform::URLSession::sharedSession()->resetTrustedCertificates();
    platform::WallClock::setSource({});
  }
};

}  // namespace korvani::test_support
