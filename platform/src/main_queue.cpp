#include "korvani/platform/main_queue.hpp"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

namespace korvani::platform {

namespace {

struct QueueState {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<MainQueue::Work> pending;
  std::shared_ptr<const MainQueue::Dispatcher> dispatcher;
};

QueueState& state() {
  // Never destroyed: network completions that run during process exit may still submit work.
  static QueueState* const instance = new QueueState;
  return *instance;
}

// Takes the oldest item, if any.
MainQueue::Work takeNext(QueueState& s) {
  std::lock_guard lock(s.mutex);
  if (s.pending.empty()) return {};
  MainQueue::Work work = std::move(s.pending.front());
  s.pending.pop_front();
  return work;
}

}  // namespace

void MainQueue::async(Work work) {
  if (!work) return;
  QueueState& s = state();
  std::shared_ptr<const Dispatcher> dispatcher;
  {
    std::lock_guard lock(s.mutex);
    dispatcher = s.dispatcher;
    if (!dispatcher) {
      s.pending.push_back(std::move(work));
    }
  }
  if (dispatcher) {
    // Outside the lock: the host's dispatcher may take its own locks or submit more work.
    (*dispatcher)(std::move(work));
  } else {
    s.arrived.notify_all();
  }
}

void MainQueue::setDispatcher(Dispatcher dispatcher) {
  QueueState& s = state();
  std::lock_guard lock(s.mutex);
  if (dispatcher) {
    s.dispatcher = std::make_shared<const Dispatcher>(std::move(dispatcher));
  } else {
    s.dispatcher.reset();
  }
}

bool MainQueue::runOnce() {
  Work work = takeNext(state());
  if (!work) return false;
  work();
  return true;
}

std::size_t MainQueue::runUntilIdle() {
  std::size_t count = 0;
  while (runOnce())
    ++count;
  return count;
}

bool MainQueue::runUntil(const std::function<bool()>& condition,
                         std::chrono::steady_clock::time_point deadline) {
  QueueState& s = state();
  for (;;) {
    if (condition()) return true;
    if (runOnce()) continue;
    // Asleep until work arrives or the deadline passes: an idle host is never woken by us.
    std::unique_lock lock(s.mutex);
    if (!s.arrived.wait_until(lock, deadline, [&] { return !s.pending.empty(); })) break;
  }
  return condition();
}

std::size_t MainQueue::pendingCount() {
  QueueState& s = state();
  std::lock_guard lock(s.mutex);
  return s.pending.size();
}

}  // namespace korvani::platform
