#pragma once

// The network thread and the hand-over to it: other threads queue commands, the thread takes
// them, drives libcurl and sleeps in curl_multi_poll whenever it has nothing to do.

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "transport/engine.hpp"

namespace korvani::platform::transport {

class Worker {
 public:
  // The process-wide network thread's front (never destroyed: tasks may be poked during exit).
  static Worker& instance();

  // A task was resumed or cancelled: the network thread starts or cancels it. Any thread; starts
  // the network thread when needed. Once the process is exiting, completes the task at once, on
  // the calling thread, as cancelled; when the thread cannot start, with kURLErrorUnknown.
  void resumeOrCancel(HeldTask held);
  // Any thread.
  void warmUp(WarmUpRequest request);
  // Starts the network thread ahead of the first request (it sleeps until there is work) and
  // returns once it has set libcurl up, so that the first request does not wait for that and
  // for the thread's start. Any thread but the network thread.
  void start();
  // See URLSession::shutdown.
  bool shutdown(std::chrono::milliseconds timeout);
  // Makes every later start of the network thread fail as it does when the system refuses a
  // thread (for tests). Any thread.
  static void refuseThreadStartsForTesting(bool refuse);

 private:
  using Command = std::variant<HeldTask, WarmUpRequest>;
  enum class Phase { idle, running, stopping, stopped };

  Worker() = default;
  void submit(Command command);
  // Starts the thread unless it runs. Call with mutex_ held.
  enum class Availability { running, exiting, unavailable };
  Availability runningLocked();
  // Whether the thread sleeps and nobody has woken it yet; if so, the caller wakes it with
  // wake() once it has let go of mutex_. Call with mutex_ held.
  bool takeWakeLocked();
  void wake() const;
  // Sleeps in curl_multi_poll until a socket of the engine, the wake-up pipe or `timeoutMs`.
  void sleep(CURLM* multi, int timeoutMs);
  void run();
  // Completes a task command at once, with `code`; a warm-up is dropped.
  static void completeNow(Command& command, std::int64_t code);
  static void atExit();

  std::mutex mutex_;
  std::condition_variable phaseChanged_;
  std::vector<Command> queue_;  // guarded by mutex_
  Phase phase_ = Phase::idle;   // guarded by mutex_
  bool sleeping_ = false;       // guarded by mutex_: the thread is in curl_multi_poll
  bool woken_ = false;          // guarded by mutex_: a wake-up was written since it fell asleep
  // The wake-up pipe, made with the first thread and never closed (the worker outlives every
  // caller); written outside mutex_, so the woken thread does not wait for the waker's lock.
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  bool ready_ = false;          // guarded by mutex_: the thread has set libcurl up
  bool exiting_ = false;        // guarded by mutex_: nothing starts any more
  std::thread thread_;          // started and joined under mutex_
  std::thread::id threadId_;    // guarded by mutex_
  std::vector<Command> batch_;  // network thread only; swapped with queue_, so it stays warm
};

}  // namespace korvani::platform::transport
