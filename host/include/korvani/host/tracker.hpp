#pragma once

#include <memory>
#include <optional>
#include <string>

#include "korvani/export.hpp"
#include "korvani/json.hpp"

namespace korvani::host {

// Receives tracking events; fire and forget. May be called from any thread the tracker's
// users run on, so implementations that keep state must lock.
class KORVANI_EXPORT KVTrackListener {
 public:
  virtual ~KVTrackListener() = default;
  virtual void trackEvent(const std::string& screenName, const std::string& action,
                          const std::optional<std::string>& result,
                          const std::optional<JsonObject>& extraParams) = 0;
};

// The host's tracker. Every tracker reads the one listener that the host installs for the
// whole process; without one, events have nowhere to go.
class KORVANI_EXPORT KVQTracker {
 public:
  KVQTracker() = default;

  // The process listener, or null.
  std::shared_ptr<KVTrackListener> getTrackListener() const;

  // Installs (null: removes) the process listener. Thread-safe.
  static void setTrackListener(std::shared_ptr<KVTrackListener> listener);
};

}  // namespace korvani::host
