#include "korvani/platform/clock.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <utility>

namespace korvani::platform {

namespace {

struct ClockState {
  std::mutex mutex;
  std::shared_ptr<const WallClock::Source> source;
  // Lets now() skip the lock in the usual case of no installed source.
  std::atomic<bool> overridden{false};
};

ClockState& state() {
  // Never destroyed: now() stays usable from other objects' destructors at exit.
  static ClockState* const instance = new ClockState;
  return *instance;
}

}  // namespace

double WallClock::now() {
  ClockState& s = state();
  if (s.overridden.load(std::memory_order_acquire)) {
    std::shared_ptr<const Source> source;
    {
      std::lock_guard lock(s.mutex);
      source = s.source;
    }
    if (source) return (*source)();
  }
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since).count();
}

void WallClock::setSource(Source source) {
  ClockState& s = state();
  std::lock_guard lock(s.mutex);
  if (source) {
    s.source = std::make_shared<const Source>(std::move(source));
  } else {
    s.source.reset();
  }
  s.overridden.store(s.source != nullptr, std::memory_order_release);
}

}  // namespace korvani::platform
