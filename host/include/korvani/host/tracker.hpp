#pragma once

#include <memory>
#include <optional>
#include <string>

#include "korvani/export.hpp"
#include "korvani/json.hpp"

namespace korvani::host {

// Receives tracking events; fire and forget. The plug-in calls it on the host's main thread,
// but other users of the tracker may call from any thread, so implementations that keep state
// must lock.
class KORVANI_EXPORT KVTrackListener {
 public:
  virtual ~KVTrackListener() = default;
  // One event: where, what, how it ended and event-specific details (each optional part may be
  // absent).
  virtual void trackEvent(const std::string& screenName, const std::string& action,
                          const std::optional<std::string>& result,
                          const std::optional<JsonObject>& extraParams) = 0;
};

// The host's tracker. Every tracker reads the one listener that the host installs for the
// whole process; without one, events have nowhere to go and are dropped. Cheap to make: the
// plug-in makes a fresh one per event.
class KORVANI_EXPORT KVQTracker {
 public:
  KVQTracker() = default;

  // The process listener, or null. Any thread.
  std::shared_ptr<KVTrackListener> getTrackListener() const;

  // Installs (null: removes) the process listener, held strongly until replaced. Thread-safe.
  static void setTrackListener(std::shared_ptr<KVTrackListener> listener);
};

}  // namespace korvani::host
