#include "transport/worker.hpp"

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
  // Only a sleeping thread is woken (a write to libcurl's wake-up pipe); a busy one looks at the
  // queue before it sleeps.
  if (sleeping_ && wakeTarget_ != nullptr) curl_multi_wakeup(wakeTarget_);
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
      wakeTarget_ = engine.valid() ? engine.multi() : nullptr;
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
      curl_multi_poll(engine.multi(), nullptr, 0, engine.sleepMs(), nullptr);
      std::lock_guard lock(mutex_);
      sleeping_ = false;
    }
    std::lock_guard lock(mutex_);
    wakeTarget_ = nullptr;
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
    if (sleeping_ && wakeTarget_ != nullptr) curl_multi_wakeup(wakeTarget_);
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
