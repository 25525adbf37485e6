#include "korvani/host/tracker.hpp"

#include <mutex>
#include <utility>

namespace korvani::host {

namespace {

// The process listener. Installed by the host (usually once, at start-up) and read by every
// tracker from whatever thread tracks; a mutex keeps the two apart.
struct ListenerSlot {
  std::mutex mutex;
  std::shared_ptr<KVTrackListener> listener;
};

ListenerSlot& listenerSlot() {
  static ListenerSlot slot;
  return slot;
}

}  // namespace

std::shared_ptr<KVTrackListener> KVQTracker::getTrackListener() const {
  ListenerSlot& slot = listenerSlot();
  std::lock_guard lock(slot.mutex);
  return slot.listener;
}

void KVQTracker::setTrackListener(std::shared_ptr<KVTrackListener> listener) {
  ListenerSlot& slot = listenerSlot();
  std::shared_ptr<KVTrackListener> previous;
  {
    std::lock_guard lock(slot.mutex);
    previous = std::exchange(slot.listener, std::move(listener));
  }
  // `previous` is released outside the lock, in case its destructor tracks.
}

}  // namespace korvani::host
