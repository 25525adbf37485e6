#include "delivery.hpp"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "edge.hpp"
#include "korvani/platform/main_queue.hpp"

namespace korvani::capi {

namespace {

using Work = platform::MainQueue::Work;

struct Scheduler {
  korvani_scheduler table;
  UserData userData;
};

struct Delivery {
  std::mutex mutex;
  std::condition_variable arrived;  // work queued
  std::condition_variable idle;     // no notify in progress
  std::deque<Work> pending;
  std::shared_ptr<Scheduler> scheduler;
  int notifying = 0;
  bool installed = false;
  bool closed = false;
};

Delivery& delivery() {
  // Never destroyed: the network thread may submit work while the process exits.
  static Delivery* const instance = new Delivery;
  return *instance;
}

// The main queue's dispatcher: queues the work and tells the scheduler, on the submitting
// thread (the network thread, or the host's own).
void enqueue(Work work) {
  Delivery& d = delivery();
  std::shared_ptr<Scheduler> scheduler;
  {
    std::unique_lock lock(d.mutex);
    if (d.closed) {
      lock.unlock();
      return;  // `work` goes unrun, here
    }
    d.pending.push_back(std::move(work));
    scheduler = d.scheduler;
    if (scheduler) ++d.notifying;
  }
  d.arrived.notify_all();
  if (!scheduler) return;
  scheduler->table.notify(scheduler->userData.get());
  std::lock_guard lock(d.mutex);
  if (--d.notifying == 0) d.idle.notify_all();
}

// Takes the scheduler out once no notify is in progress; the caller lets it go unlocked.
std::shared_ptr<Scheduler> takeScheduler(std::unique_lock<std::mutex>& lock, Delivery& d) {
  d.idle.wait(lock, [&] { return d.notifying == 0; });
  return std::exchange(d.scheduler, nullptr);
}

Work takeNext() {
  Delivery& d = delivery();
  std::lock_guard lock(d.mutex);
  if (d.closed || d.pending.empty()) return {};
  Work work = std::move(d.pending.front());
  d.pending.pop_front();
  return work;
}

}  // namespace

void installDelivery() {
  Delivery& d = delivery();
  {
    std::lock_guard lock(d.mutex);
    if (d.installed) return;
    d.installed = true;
  }
  platform::MainQueue::setDispatcher(enqueue);
}

void setScheduler(std::optional<korvani_scheduler> table) {
  std::shared_ptr<Scheduler> next;
  if (table) next.reset(new Scheduler{*table, {table->user_data, table->free_user_data}});
  Delivery& d = delivery();
  std::shared_ptr<Scheduler> previous;
  bool waiting = false;
  {
    std::unique_lock lock(d.mutex);
    previous = takeScheduler(lock, d);
    d.scheduler = next;
    waiting = !d.pending.empty();
  }
  previous.reset();  // its user data is freed here, on the host's thread
  if (next && waiting) next->table.notify(next->userData.get());
}

std::size_t runPending() {
  std::size_t count = 0;
  {
    Delivery& d = delivery();
    std::lock_guard lock(d.mutex);
    count = d.pending.size();
  }
  std::size_t ran = 0;
  while (ran < count && runOnce())
    ++ran;
  return ran;
}

bool runOnce() {
  Work work = takeNext();
  if (!work) return false;
  work();
  return true;
}

std::size_t runUntilIdle() {
  std::size_t ran = 0;
  while (runOnce())
    ++ran;
  return ran;
}

bool runUntil(int (*condition)(void*), void* context,
              std::chrono::steady_clock::time_point deadline) {
  const auto met = [&] {
    if (!condition) return false;
    CallbackScope scope;
    return condition(context) != 0;
  };
  Delivery& d = delivery();
  for (;;) {
    if (met()) return true;
    if (runOnce()) continue;
    // Asleep until work arrives or the deadline passes.
    std::unique_lock lock(d.mutex);
    if (!d.arrived.wait_until(lock, deadline, [&] { return !d.pending.empty() || d.closed; }) ||
        d.closed) {
      break;
    }
  }
  return met();
}

void shutDownDelivery() {
  Delivery& d = delivery();
  std::deque<Work> dropped;
  std::shared_ptr<Scheduler> scheduler;
  {
    std::unique_lock lock(d.mutex);
    d.closed = true;
    dropped.swap(d.pending);
    scheduler = takeScheduler(lock, d);
  }
  d.arrived.notify_all();
  // Unrun; what they held goes here, on the host's thread.
  dropped.clear();
  scheduler.reset();
}

}  // namespace korvani::capi
