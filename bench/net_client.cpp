// The client processes of the network benchmark: each pays as a host would, through the
// plug-in's component or through a bare libcurl handle, and prints what it measured.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef KORVANI_BENCH_CALLGRIND
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include "allocation_counter.hpp"
#include "bare_client.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/payment_service.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_session.hpp"
#include "net_bench.hpp"
#include "payment_fixture.hpp"

namespace korvani::bench {

namespace {

using Clock = std::chrono::steady_clock;
using platform::MainQueue;

constexpr auto kReportDeadline = std::chrono::seconds(60);
// Before the idle window: long enough for a connection warmed at the hand-over to be ready.
constexpr auto kIdleSettle = std::chrono::seconds(1);

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "net bench client: %s\n", message.c_str());
  std::exit(1);
}

double millis(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

// One thread's context switches and processor time so far.
struct ThreadUsage {
  long voluntary = 0;    // it went to sleep
  long involuntary = 0;  // it was preempted
  double cpuMicros = 0;
};

// Every thread of this process now, by id (/proc/self/task).
std::map<long, ThreadUsage> threadUsages() {
  std::map<long, ThreadUsage> usages;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return usages;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string folder = std::string("/proc/self/task/") + entry->d_name;
    ThreadUsage usage;
    std::ifstream status(folder + "/status");
    for (std::string line; std::getline(status, line);) {
      std::istringstream words(line);
      std::string key;
      words >> key;
      if (key == "voluntary_ctxt_switches:") words >> usage.voluntary;
      if (key == "nonvoluntary_ctxt_switches:") words >> usage.involuntary;
    }
    double nanoseconds = 0;
    std::ifstream(folder + "/schedstat") >> nanoseconds;
    usage.cpuMicros = nanoseconds / 1000;
    usages[std::stol(entry->d_name)] = usage;
  }
  closedir(tasks);
  return usages;
}

// The process's totals so far, all threads together, and each thread's.
struct Usage {
  double cpuMicros = 0;  // user + system
  long voluntarySwitches = 0;
  long involuntarySwitches = 0;
  std::uint64_t allocations = 0;
  std::map<long, ThreadUsage> threads;

  // At the start of a measured stretch, and at its end: the totals are read on the stretch's side
  // of the threads' figures, so that reading those does not count in the totals. Under callgrind
  // (started with --instr-atstart=no), only the stretch's instructions are counted.
  static Usage start() {
    auto threads = threadUsages();
    Usage usage = totals();
    usage.threads = std::move(threads);
    CALLGRIND_START_INSTRUMENTATION;
    return usage;
  }
  static Usage end() {
    CALLGRIND_STOP_INSTRUMENTATION;
    Usage usage = totals();
    usage.threads = threadUsages();
    return usage;
  }

 private:
  static Usage totals() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval& t) { return t.tv_sec * 1e6 + t.tv_usec; };
    return {micros(usage.ru_utime) + micros(usage.ru_stime),
            usage.ru_nvcsw,
            usage.ru_nivcsw,
            allocationCount(),
            {}};
  }
};

// A host's navigation handler reduced to what the bench reads: when the report came. Called on
// the host's main thread.
class ReportClock final : public host::VQPluginNavigationHandler {
 public:
  using VQPluginNavigationHandler::didFinishPayment;

  std::size_t reports = 0;
  Clock::time_point lastReport;
  std::function<void()> onReport;  // runs after each report

  void beginPluginWork() override {}
  void endPluginWork() override {}
  void didFinishPayment(const std::string& statusText, const std::string& /*statusDetails*/,
                        const std::optional<std::string>& /*receiptId*/) override {
    lastReport = Clock::now();
    if (statusText != "approved") fail("a payment ended " + statusText);
    ++reports;
    if (onReport) onReport();
  }
  void didFinishPayment(RemotePaymentStatus /*paymentStatus*/, const std::string& /*statusDetails*/,
                        const std::optional<std::string>& /*receiptId*/) override {
    fail("a payment ended without a payment result");
  }
};

// One checkout as a host opens it: the component made from the configuration, handed the store
// and the navigation handler.
struct PluginCheckout {
  std::shared_ptr<ReportClock> handler = std::make_shared<ReportClock>();
  std::shared_ptr<PaymentPluginComponent> component;

  explicit PluginCheckout(const CardPayment& payment)
      : component(PaymentPluginComponent::create(payment.configuration)) {
    component->didReceive(payment.store);
    component->navigationHandlerForPlugin(handler);
  }

  // One payment with the main thread draining the queue; milliseconds from `start` to the
  // report.
  double pay(Clock::time_point start = Clock::now()) {
    const std::size_t before = handler->reports;
    component->renderDidFinish();
    if (!MainQueue::runUntil([&] { return handler->reports != before; },
                             Clock::now() + kReportDeadline)) {
      fail("no report within a minute");
    }
    return millis(handler->lastReport - start);
  }
};

// The host's main thread with nothing to do, waiting in the queue as it would for the payer.
void idleInMainQueue(Clock::duration duration) {
  MainQueue::runUntil([] { return false; }, Clock::now() + duration);
}

// A host's own main loop: one thread running posted work in order, asleep on a condition
// variable while there is none.
class HostLoop {
 public:
  HostLoop() : thread_([this] { run(); }) {}
  // The loop thread's id (as /proc/self/task names it).
  long threadId() const { return threadId_.get(); }
  ~HostLoop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void post(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      work_.push_back(std::move(work));
    }
    wake_.notify_one();
  }

 private:
  // Runs what was posted, and what is still queued once stopping.
  void run() {
    threadIdPromise_.set_value(gettid());
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !work_.empty(); });
      if (work_.empty()) return;
      auto work = std::move(work_.front());
      work_.pop_front();
      lock.unlock();
      work();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> work_;
  bool stopping_ = false;
  std::promise<long> threadIdPromise_;
  std::shared_future<long> threadId_ = threadIdPromise_.get_future().share();
  std::thread thread_;  // last: starts once the rest is ready
};

struct Figures {
  std::vector<double> ms;
  Usage before;  // around the measured payments (back to back)
  Usage after;
  long hostLoopThread = 0;  // the host loop's thread, when there is one
};

// Back-to-back payments with the main queue drained by the host's own loop (a dispatcher):
// every payment starts on the loop's thread once the previous one was reported there.
Figures backToBackOnHostLoop(const CardPayment& payment, std::size_t count) {
  Figures figures;
  figures.ms.reserve(count);
  // Made, used and dropped on the loop's thread, which ends before these do.
  std::unique_ptr<PluginCheckout> checkout;
  Clock::time_point start;
  std::promise<void> done;
  auto finished = done.get_future();
  HostLoop loop;
  figures.hostLoopThread = loop.threadId();
  MainQueue::setDispatcher([&loop](MainQueue::Work work) { loop.post(std::move(work)); });
  const auto payNext = [&] {
    start = Clock::now();
    checkout->component->renderDidFinish();
  };
  loop.post([&] {
    checkout = std::make_unique<PluginCheckout>(payment);
    checkout->handler->onReport = [&] {
      if (checkout->handler->reports == 1) {  // the warming payment
        figures.before = Usage::start();
      } else {
        figures.ms.push_back(millis(checkout->handler->lastReport - start));
      }
      if (figures.ms.size() == count) {
        figures.after = Usage::end();
        done.set_value();
      } else {
        loop.post(payNext);
      }
    };
    payNext();
  });
  if (finished.wait_for(kReportDeadline * count) != std::future_status::ready) {
    fail("the back-to-back payments on the host loop did not finish");
  }
  loop.post([&] { checkout.reset(); });
  MainQueue::setDispatcher({});
  return figures;
}

Figures runPlugin(const ClientTask& task, const CardPayment& payment) {
  const NetOptions& options = task.options;
  const auto pause = std::chrono::milliseconds(options.pauseMs);
  Figures figures;
  switch (task.pattern) {
    case Pattern::first: {
      const auto start = Clock::now();
      PluginCheckout checkout(payment);
      figures.ms.push_back(checkout.pay(start));
      break;
    }
    case Pattern::opened: {
      PluginCheckout checkout(payment);
      idleInMainQueue(pause);
      figures.ms.push_back(checkout.pay());
      break;
    }
    case Pattern::afterPrevious: {
      PluginCheckout checkout(payment);
      checkout.pay();
      for (std::size_t i = 0; i < options.samples; ++i) {
        idleInMainQueue(pause);
        figures.ms.push_back(checkout.pay());
      }
      break;
    }
    case Pattern::backToBack: {
      if (task.side == Side::pluginHostLoop)
        return backToBackOnHostLoop(payment, options.backToBack);
      figures.ms.reserve(options.backToBack);
      PluginCheckout checkout(payment);
      checkout.pay();
      figures.before = Usage::start();
      for (std::size_t i = 0; i < options.backToBack; ++i)
        figures.ms.push_back(checkout.pay());
      figures.after = Usage::end();
      break;
    }
    case Pattern::idle: {
      PluginCheckout checkout(payment);
      idleInMainQueue(kIdleSettle);
      figures.before = Usage::start();
      idleInMainQueue(std::chrono::milliseconds(options.idleMs));
      figures.after = Usage::end();
      break;
    }
    case Pattern::handOverFloor:
      fail("no payment in the hand-over floor");
  }
  return figures;
}

double timedPerform(BareClient& bare) {
  const auto start = Clock::now();
  if (!bare.perform()) fail("the bare handle's request failed: " + bare.error());
  if (bare.status() != 201) fail("the bare handle was answered " + std::to_string(bare.status()));
  return millis(Clock::now() - start);
}

// The bare handle cannot prepare anything before it is asked to pay, and its thread simply
// sleeps in between.
Figures runBare(const ClientTask& task, const CardPayment& payment, const std::string& caPem) {
  const NetOptions& options = task.options;
  const auto pause = std::chrono::milliseconds(options.pauseMs);
  const auto request =
      requestFor(PaymentService::create(payment.manager->currentConfiguration())->config);
  Figures figures;
  if (task.pattern == Pattern::first) {
    const auto start = Clock::now();
    BareClient bare(request, caPem);
    timedPerform(bare);
    figures.ms.push_back(millis(Clock::now() - start));
    return figures;
  }
  BareClient bare(request, caPem);
  switch (task.pattern) {
    case Pattern::opened:
      std::this_thread::sleep_for(pause);
      figures.ms.push_back(timedPerform(bare));
      break;
    case Pattern::afterPrevious:
      timedPerform(bare);
      for (std::size_t i = 0; i < options.samples; ++i) {
        std::this_thread::sleep_for(pause);
        figures.ms.push_back(timedPerform(bare));
      }
      break;
    case Pattern::backToBack:
      figures.ms.reserve(options.backToBack);
      timedPerform(bare);
      figures.before = Usage::start();
      for (std::size_t i = 0; i < options.backToBack; ++i)
        figures.ms.push_back(timedPerform(bare));
      figures.after = Usage::end();
      break;
    case Pattern::first:
    case Pattern::idle:
    case Pattern::handOverFloor:
      fail("no such run for the bare handle");
  }
  return figures;
}

// Stands in for the network in the hand-over floor: readable one round trip after arm().
class AnswerTimer {
 public:
  explicit AnswerTimer(std::chrono::milliseconds rtt)
      : fd_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)), rtt_(rtt) {
    if (fd_ < 0) fail("timerfd_create failed");
  }
  ~AnswerTimer() { close(fd_); }
  AnswerTimer(const AnswerTimer&) = delete;
  AnswerTimer& operator=(const AnswerTimer&) = delete;

  int fd() const { return fd_; }
  void arm() {
    itimerspec when{};
    when.it_value.tv_sec = rtt_.count() / 1000;
    when.it_value.tv_nsec = rtt_.count() % 1000 * 1'000'000;
    timerfd_settime(fd_, 0, &when, nullptr);
  }
  // Whether it had fired (and takes the expiry).
  bool take() {
    std::uint64_t expirations = 0;
    return read(fd_, &expirations, sizeof expirations) == sizeof expirations;
  }

 private:
  int fd_;
  std::chrono::milliseconds rtt_;
};

// The waits and hand-overs of `count` back-to-back payments without their work: what the
// threads' shape costs by itself. One thread (the bare handle's shape) arms the timer and sleeps
// in poll until it fires. Two threads (the plug-in's): a network thread sleeps in poll on the
// timer and a wake-up pipe and hands each answer to the main thread through MainQueue; the main
// thread drains with runUntil and hands the next request back, writing the pipe only to a
// sleeping network thread, as the session's worker does.
Figures handOverFloor(const ClientTask& task) {
  AnswerTimer timer{std::chrono::milliseconds(task.options.rttMs)};
  const std::size_t count = task.options.backToBack;
  Figures figures;
  if (task.side == Side::bare) {
    for (std::size_t i = 0; i <= count; ++i) {  // the first one warms up
      if (i == 1) figures.before = Usage::start();
      timer.arm();
      pollfd answer{timer.fd(), POLLIN, 0};
      while (!timer.take())
        poll(&answer, 1, -1);
    }
    figures.after = Usage::end();
    return figures;
  }
  std::mutex mutex;
  bool requested = false, sleeping = false, woken = false, stopping = false;  // under mutex
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe2 failed");
  std::size_t answers = 0;  // main thread only
  std::thread network([&] {
    for (;;) {
      bool send = false;
      {
        std::lock_guard lock(mutex);
        if (stopping) return;
        send = std::exchange(requested, false);
      }
      if (send) timer.arm();
      {
        std::lock_guard lock(mutex);
        if (requested || stopping) continue;
        sleeping = true;
      }
      pollfd fds[2] = {{timer.fd(), POLLIN, 0}, {wake[0], POLLIN, 0}};
      poll(fds, 2, -1);
      char bytes[16];
      if (fds[1].revents != 0) {
        while (read(wake[0], bytes, sizeof bytes) == sizeof bytes) {
        }
      }
      {
        std::lock_guard lock(mutex);
        sleeping = woken = false;
      }
      if (fds[0].revents != 0 && timer.take()) MainQueue::async([&answers] { ++answers; });
    }
  });
  const auto hand = [&](bool stop) {
    bool wakeIt = false;
    {
      std::lock_guard lock(mutex);
      (stop ? stopping : requested) = true;
      wakeIt = sleeping && !std::exchange(woken, true);
    }
    if (wakeIt && write(wake[1], "", 1) != 1) fail("cannot wake the network thread");
  };
  for (std::size_t i = 0; i <= count; ++i) {
    if (i == 1) figures.before = Usage::start();
    hand(false);
    if (!MainQueue::runUntil([&] { return answers == i + 1; }, Clock::now() + kReportDeadline)) {
      fail("the hand-over floor's answer did not come");
    }
  }
  figures.after = Usage::end();
  hand(true);
  network.join();
  close(wake[0]);
  close(wake[1]);
  return figures;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  if (!file) fail("cannot read " + path);
  return text.str();
}

// The back-to-back figures per payment: the process's, then each thread's (the main thread, the
// host loop's, and the rest together: the network thread).
void printPerPayment(const Figures& figures, std::size_t payments) {
  const double count = static_cast<double>(payments);
  const Usage& before = figures.before;
  const Usage& after = figures.after;
  std::printf("cpu_us %.1f\n", (after.cpuMicros - before.cpuMicros) / count);
  std::printf("allocations %.1f\n",
              static_cast<double>(after.allocations - before.allocations) / count);
  std::printf("switches %.2f %.2f\n",
              static_cast<double>(after.voluntarySwitches - before.voluntarySwitches) / count,
              static_cast<double>(after.involuntarySwitches - before.involuntarySwitches) / count);
  std::map<std::string, ThreadUsage> roles;
  for (const auto& [id, usage] : after.threads) {
    const auto earlier = before.threads.find(id);
    const ThreadUsage start = earlier != before.threads.end() ? earlier->second : ThreadUsage{};
    const std::string role = id == getpid()                 ? "main"
                             : id == figures.hostLoopThread ? "host-loop"
                                                            : "network";
    ThreadUsage& sum = roles[role];
    sum.voluntary += usage.voluntary - start.voluntary;
    sum.involuntary += usage.involuntary - start.involuntary;
    sum.cpuMicros += usage.cpuMicros - start.cpuMicros;
  }
  for (const auto& [role, usage] : roles) {
    std::printf("thread %s %.2f %.2f %.1f\n", role.c_str(),
                static_cast<double>(usage.voluntary) / count,
                static_cast<double>(usage.involuntary) / count, usage.cpuMicros / count);
  }
}

}  // namespace

void runClient(const ClientTask& task) {
  if (task.pattern == Pattern::handOverFloor) {
    printPerPayment(handOverFloor(task), task.options.backToBack);
    return;
  }
  const std::string caPem = readFile(task.caFile);
  const auto payment =
      makeCardPayment("https://127.0.0.1:" + std::to_string(task.relayPort), "/v1/payments");
  Figures figures;
  if (task.side == Side::bare) {
    figures = runBare(task, payment, caPem);
  } else {
    platform::URLSession::sharedSession()->addTrustedCertificatesPem(caPem);
    // A host's own reachability service: a status it keeps up to date by itself, read for free.
    static const auto reachability =
        std::make_shared<host::FixedReachability>(host::ZRNetworkStatus::ReachableViaWiFi);
    host::ZRReachability::setProvider([] { return reachability; });
    figures = runPlugin(task, payment);
  }

  if (!figures.ms.empty()) {
    std::printf("ms");
    for (const double ms : figures.ms)
      std::printf(" %.3f", ms);
    std::printf("\n");
  }
  if (task.pattern == Pattern::backToBack) printPerPayment(figures, task.options.backToBack);
  if (task.pattern == Pattern::idle) {
    std::printf("wakeups %.2f\n", static_cast<double>(figures.after.voluntarySwitches -
                                                      figures.before.voluntarySwitches) /
                                      (task.options.idleMs / 1000.0));
  }
  std::fflush(stdout);
}

}  // namespace korvani::bench
