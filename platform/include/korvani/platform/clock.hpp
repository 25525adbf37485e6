#pragma once

#include <functional>

#include "korvani/export.hpp"

namespace korvani::platform {

// Wall clock: seconds since 1970-01-01 00:00:00 UTC, with fraction. Process-wide; the plug-in
// reads it once per component, for the time part of its idempotency keys.
class KORVANI_EXPORT WallClock {
 public:
  // Returns seconds since the epoch; called on whatever thread calls now().
  using Source = std::function<double()>;
  // The installed source's value, else the system clock's. Any thread.
  static double now();
  // Replaces the clock (tests pin the time); an empty function restores the system clock.
  // Any thread.
  static void setSource(Source source);
};

}  // namespace korvani::platform
