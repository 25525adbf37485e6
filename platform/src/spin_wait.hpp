#pragma once

#include <chrono>
#include <thread>

namespace korvani::platform::detail {

// Waits without sleeping until `ready()` or `until`; returns whether it became ready. Each look
// gives the processor away: spinning without yielding was measured to slow hand-overs down
// (on a virtual machine the spinning thread holds the processor the other side needs), while
// waking a sleeping thread costs tens of microseconds.
template <class Ready>
bool spinUntil(const Ready& ready, std::chrono::steady_clock::time_point until) {
  do {
    if (ready()) return true;
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < until);
  return ready();
}

}  // namespace korvani::platform::detail
