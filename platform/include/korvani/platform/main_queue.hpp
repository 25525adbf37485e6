#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "korvani/export.hpp"

namespace korvani::platform {

// The hand-over to the host's main thread. Work submitted with async() runs later, on the main
// thread, one item at a time, in submission order; async() never runs work inline.
//
// By default the queue is a FIFO that the host's main thread drains with the run* calls (the
// thread that drains is the main thread). A host with its own UI loop installs a dispatcher
// instead, and every submission is handed to it. Every callback of the plug-in reaches the host
// through this queue. Process-wide; nothing to create.
class KORVANI_EXPORT MainQueue {
 public:
  // One item of work; the queue owns it until it has run.
  using Work = std::function<void()>;
  // Receives each submitted item; must run it later on the host's main thread, in order.
  using Dispatcher = std::function<void(Work)>;

  // Queues `work` (or hands it to the dispatcher, outside any lock); an empty function is
  // ignored. Any thread; never runs work inline.
  static void async(Work work);

  // Installs (or, with an empty function, removes) the host's dispatcher. Items already in the
  // default FIFO stay there until drained. Any thread.
  static void setDispatcher(Dispatcher dispatcher);

  // Default FIFO, drained by the host's main thread (call the run* functions from it only):
  // runs the oldest pending item, if any; returns whether one ran. An exception thrown by the
  // work propagates to the caller (the item is gone).
  static bool runOnce();
  // Runs items until none is pending (including ones submitted meanwhile); returns the count.
  static std::size_t runUntilIdle();
  // Runs items as they arrive until `condition()` is true or `deadline` passes; returns the
  // final value of `condition()`. The condition is checked on entry and after each item; in
  // between the thread sleeps until work arrives or the deadline passes, so a condition made true
  // by another thread without submitting work is seen only at the deadline (make it true from
  // submitted work, as the plug-in's callbacks do).
  static bool runUntil(const std::function<bool()>& condition,
                       std::chrono::steady_clock::time_point deadline);
  // runUntil with a deadline `timeout` from now.
  static bool runFor(const std::function<bool()>& condition,
                     std::chrono::steady_clock::duration timeout) {
    return runUntil(condition, std::chrono::steady_clock::now() + timeout);
  }
  // Number of items waiting in the default FIFO. Any thread.
  static std::size_t pendingCount();
};

}  // namespace korvani::platform
