#pragma once

#include <functional>

#include "korvani/export.hpp"

namespace korvani::platform {

// Wall clock: seconds since 1970-01-01 00:00:00 UTC, with fraction.
class KORVANI_EXPORT WallClock {
 public:
  using Source = std::function<double()>;
  static double now();
  // Replaces the clock (tests pin the time); an empty function restores the system clock.
  static void setSource(Source source);
};

}  // namespace korvani::platform
