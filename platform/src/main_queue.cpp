#include "korvani/platform/main_queue.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "spin_wait.hpp"

namespace korvani::platform {

namespace {

struct QueueState {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<MainQueue::Work> pending;
  // pending.size(), written under the mutex, for looking without taking it.
  std::atomic<std::size_t> pendingSize{0};
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
  s.pendingSize.store(s.pending.size(), std::memory_order_relaxed);
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
      s.pendingSize.store(s.pending.size(), std::memory_order_relaxed);
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
  // A condition may also turn true without any main-queue work (for instance a flag set by a
  // network thread), so sleeping is done in short slices that re-check it.
  constexpr auto kRecheck = std::chrono::milliseconds(5);
  // Work tends to follow soon after the wait begins (an answer from a nearby server takes about
  // a tenth of a millisecond), and putting the thread to sleep and waking it costs tens of
  // microseconds on a virtual machine. So after entry and after each item the thread first
  // waits this long while yielding the processor, and only then sleeps.
  constexpr auto kYieldingWait = std::chrono::milliseconds(1);
  QueueState& s = state();
  bool workLikely = true;
  for (;;) {
    if (condition()) return true;
    if (runOnce()) {
      workLikely = true;
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return condition();
    if (workLikely) {
      workLikely = false;
      const auto ready = [&] {
        return s.pendingSize.load(std::memory_order_relaxed) != 0 || condition();
      };
      if (detail::spinUntil(ready, std::min(deadline, now + kYieldingWait))) continue;
    }
    std::unique_lock lock(s.mutex);
    s.arrived.wait_until(lock, std::min(deadline, now + kRecheck),
                         [&] { return !s.pending.empty(); });
  }
}

std::size_t MainQueue::pendingCount() {
  QueueState& s = state();
  std::lock_guard lock(s.mutex);
  return s.pending.size();
}

}  // namespace korvani::platform
