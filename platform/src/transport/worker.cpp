#include "transport/worker.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <utility>

#include "transport/url_errors.hpp"

namespace korvani::platform::transport {
namespace {

// At process exit the network thread is stopped before libcurl's and OpenSSL's own exit
// clean-up runs; a completion stuck in host code is not waited for longer than this.
constexpr std::chrono::seconds kExitWait{1};

std::atomic<bool> refuseThreadStarts{false};

}  // namespace

Worker& Worker::instance() {
  static Worker* const worker = new Worker;
  return *worker;
}

void Worker::atExit() {
  Worker& worker = instance();
  {
    std::lock_guard lock(worker.mutex_);
    worker.exiting_ = true;
  }
  worker.shutdown(kExitWait);
}

void Worker::resumeOrCancel(HeldTask held) {
  submit(std::move(held));
}

void Worker::warmUp(WarmUpRequest request) {
  submit(std::move(request));
}

void Worker::start() {
  std::unique_lock lock(mutex_);
  if (runningLocked() != Availability::running) return;
  // Returns once the thread has set libcurl up: the first request does not wait for that.
  phaseChanged_.wait(lock, [&] { return ready_ || phase_ != Phase::running; });
}

void Worker::submit(Command command) {
  std::unique_lock lock(mutex_);
  if (const Availability availability = runningLocked(); availability != Availability::running) {
    lock.unlock();
    // A task that can never be sent fails; only one left at exit counts as cancelled.
    completeNow(command,
                availability == Availability::exiting ? kURLErrorCancelled : kURLErrorUnknown);
    return;
  }
  queue_.push_back(std::move(command));
  // Only a sleeping thread is woken, once; a busy one looks at the queue before it sleeps.
  const bool wakeIt = takeWakeLocked();
  lock.unlock();
  if (wakeIt) wake();
}

bool Worker::takeWakeLocked() {
  if (!sleeping_ || woken_) return false;
  woken_ = true;
  return true;
}

// Our own pipe rather than curl_multi_wakeup: libcurl's is a socket pair (a heavier write, two
// reads to drain it) that ends with the thread's multi handle, so it had to be written under
// mutex_, where the woken thread then waited for the waker's lock (see bench/README.md).
void Worker::wake() const {
  const char byte = 1;
  while (write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
  }
}

void Worker::sleep(CURLM* multi, int timeoutMs) {
  curl_waitfd woken{wakeRead_, CURL_WAIT_POLLIN, 0};
  curl_multi_poll(multi, &woken, 1, timeoutMs, nullptr);
  if (woken.revents == 0) return;
  char bytes[16];
  while (read(wakeRead_, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes)) {
  }
}

Worker::Availability Worker::runningLocked() {
  static std::once_flag initialized;
  std::call_once(initialized, [] {
    // libcurl's global set-up registers OpenSSL's exit clean-up; ours is registered after it, so
    // it runs before it.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::atexit(&Worker::atExit);
  });
  if (exiting_) return Availability::exiting;
  if (phase_ == Phase::stopped) {
    // Left by a shutdown that did not wait for it; it has ended its work.
    thread_.join();
    phase_ = Phase::idle;
  }
  if (phase_ == Phase::idle) {
    if (wakeRead_ < 0) {
      int ends[2];
      // Out of descriptors: nothing can be sent either, and the next call tries again.
      if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return Availability::unavailable;
      wakeRead_ = ends[0];
      wakeWrite_ = ends[1];
    }
    try {
      if (refuseThreadStarts.load()) throw std::system_error(EAGAIN, std::generic_category());
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      // Out of threads: what would have been sent fails, and the next call tries again.
      return Availability::unavailable;
    }
    threadId_ = thread_.get_id();
    phase_ = Phase::running;
  }
  return Availability::running;
}

void Worker::refuseThreadStartsForTesting(bool refuse) {
  refuseThreadStarts.store(refuse);
}

void Worker::completeNow(Command& command, std::int64_t code) {
  if (auto* held = std::get_if<HeldTask>(&command)) {
    complete(*held->core, std::nullopt, std::nullopt, urlError(code, held->core->request.url));
  }
}

void Worker::run() {
  {
    Engine engine;
    {
      std::lock_guard lock(mutex_);
      ready_ = true;
    }
    phaseChanged_.notify_all();
    for (;;) {
      bool stop = false;
      {
        std::lock_guard lock(mutex_);
        batch_.swap(queue_);
        stop = phase_ == Phase::stopping || !engine.valid();
      }
      if (stop) break;
      for (Command& command : batch_) {
        if (auto* held = std::get_if<HeldTask>(&command)) {
          engine.resumeOrCancel(std::move(*held));
        } else {
          engine.warmUp(std::get<WarmUpRequest>(command));
        }
      }
      batch_.clear();
      engine.perform();
      {
        std::lock_guard lock(mutex_);
        if (!queue_.empty() || phase_ == Phase::stopping) continue;
        sleeping_ = true;
      }
      sleep(engine.multi(), engine.sleepMs());
      std::lock_guard lock(mutex_);
      sleeping_ = false;
      woken_ = false;
    }
    std::lock_guard lock(mutex_);
    ready_ = false;
  }  // the engine cancels what it still holds
  for (;;) {
    for (Command& command : batch_)
      completeNow(command, kURLErrorCancelled);
    batch_.clear();
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
      phase_ = Phase::stopped;
      phaseChanged_.notify_all();
      return;
    }
    batch_.swap(queue_);
  }
}

bool Worker::shutdown(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (phase_ == Phase::idle) return true;
  if (phase_ == Phase::running) {
    phase_ = Phase::stopping;
    if (takeWakeLocked()) wake();
  }
  // A completion cannot wait for its own thread to end.
  if (std::this_thread::get_id() == threadId_) return false;
  if (!phaseChanged_.wait_for(lock, timeout,
                              [&] { return phase_ == Phase::stopped || phase_ == Phase::idle; })) {
    return false;
  }
  if (phase_ == Phase::stopped) {
    thread_.join();
    phase_ = Phase::idle;
  }
  return true;
}

}  // namespace korvani::platform::transport
