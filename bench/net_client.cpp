// The client processes of the network benchmark: each pays as a host would, through the
// plug-in's component or through a bare libcurl handle, and prints what it measured.

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// The process's totals so far, all threads together.
struct Usage {
  double cpuMicros = 0;  // user + system
  long voluntarySwitches = 0;
  std::uint64_t allocations = 0;

  static Usage now() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval& t) { return t.tv_sec * 1e6 + t.tv_usec; };
    return {micros(usage.ru_utime) + micros(usage.ru_stime), usage.ru_nvcsw, allocationCount()};
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
  std::thread thread_;  // last: starts once the rest is ready
};

struct Figures {
  std::vector<double> ms;
  Usage before;  // around the measured payments (back to back)
  Usage after;
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
  MainQueue::setDispatcher([&loop](MainQueue::Work work) { loop.post(std::move(work)); });
  const auto payNext = [&] {
    start = Clock::now();
    checkout->component->renderDidFinish();
  };
  loop.post([&] {
    checkout = std::make_unique<PluginCheckout>(payment);
    checkout->handler->onReport = [&] {
      if (checkout->handler->reports == 1) {  // the warming payment
        figures.before = Usage::now();
      } else {
        figures.ms.push_back(millis(checkout->handler->lastReport - start));
      }
      if (figures.ms.size() == count) {
        figures.after = Usage::now();
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
      figures.before = Usage::now();
      for (std::size_t i = 0; i < options.backToBack; ++i)
        figures.ms.push_back(checkout.pay());
      figures.after = Usage::now();
      break;
    }
    case Pattern::idle: {
      PluginCheckout checkout(payment);
      idleInMainQueue(kIdleSettle);
      figures.before = Usage::now();
      idleInMainQueue(std::chrono::milliseconds(options.idleMs));
      figures.after = Usage::now();
      break;
    }
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
      figures.before = Usage::now();
      for (std::size_t i = 0; i < options.backToBack; ++i)
        figures.ms.push_back(timedPerform(bare));
      figures.after = Usage::now();
      break;
    case Pattern::first:
    case Pattern::idle:
      fail("no such run for the bare handle");
  }
  return figures;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  if (!file) fail("cannot read " + path);
  return text.str();
}

}  // namespace

void runClient(const ClientTask& task) {
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
  if (task.pattern == Pattern::backToBack) {
    const double count = static_cast<double>(task.options.backToBack);
    std::printf("cpu_us %.1f\n", (figures.after.cpuMicros - figures.before.cpuMicros) / count);
    std::printf(
        "allocations %.1f\n",
        static_cast<double>(figures.after.allocations - figures.before.allocations) / count);
  }
  if (task.pattern == Pattern::idle) {
    std::printf("wakeups %.2f\n", static_cast<double>(figures.after.voluntarySwitches -
                                                      figures.before.voluntarySwitches) /
                                      (task.options.idleMs / 1000.0));
  }
  std::fflush(stdout);
}

}  // namespace korvani::bench
