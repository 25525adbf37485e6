#pragma once

#include "korvani/platform/clock.hpp"
#include "korvani/platform/url_session.hpp"

namespace korvani::test_support {

// Restores, when it goes out of scope (after a failed assertion too), the platform's
// process-wide state that tests change: system trust alone, system clock.
struct PlatformState {
  ~PlatformState() {
    platform::URLSession::sharedSession()->resetTrustedCertificates();
    platform::WallClock::setSource({});
  }
};

}  // namespace korvani::test_support
