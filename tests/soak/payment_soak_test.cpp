// Soak and fault test: thousands of payments through PaymentPluginComponent, driven the way the
// host checkout drives it, against the in-process sandbox. Several checkouts are in flight at
// once; the mix holds every kind of answer, lost connections, time-outs, cancellations,
// components dropped mid-payment and a second render before the first answer is in. Every
// outcome is checked against its scenario, the tracking events against the reports, and
// memory must stay flat from the first fifth of the run to its end.
//
// KORVANI_SOAK_PAYMENTS sets the number of payments (default 10000), KORVANI_SOAK_SEED the mix.

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "korvani/auth_code.hpp"
#include "korvani/constants.hpp"
#include "korvani/host/checkout.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/payment_configuration_manager.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/payment_plugin_configuration.hpp"
#include "korvani/payment_plugin_merchant_order.hpp"
#include "korvani/payment_plugin_preference.hpp"
#include "korvani/payment_service.hpp"
#include "korvani/payment_view_model.hpp"
#include "korvani/platform/error.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_session.hpp"
#include "korvani/response.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "support/fakes.hpp"

#if defined(__SANITIZE_THREAD__)
#define KORVANI_SOAK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORVANI_SOAK_TSAN 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define KORVANI_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVANI_SOAK_ASAN 1
#endif
#endif

#if defined(KORVANI_SOAK_ASAN) || defined(KORVANI_SOAK_TSAN)
// From the sanitizer runtime (the compiler here ships no header for it): bytes the program
// has allocated and not yet freed.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#if defined(KORVANI_SOAK_ASAN)
// A freed block stays in AddressSanitizer's quarantine until 256 MiB of others have followed it
// (plus 1 MiB per thread), so resident memory would climb through the whole run whatever the
// code does. With a smaller quarantine it levels off within reach of live memory, and a
// use-after-free is still caught for the most recent 16 MiB of frees.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "quarantine_size_mb=16:thread_local_quarantine_size_kb=64";
}
#endif

namespace korvani {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using RemotePaymentStatus = host::VQPaymentMethodPlugin::RemotePaymentStatus;

constexpr std::uint64_t kDefaultPayments = 10000;

// How long the sandbox holds a slow answer. Cancellations and destructions happen at most
// kLatestAct after the render, time-out probes give up after kShortTimeout without progress:
// both well before a slow answer can exist.
constexpr auto kSlowDelay = 600ms;
constexpr auto kLatestAct = 200ms;
constexpr double kShortTimeoutSeconds = 0.1;
// After a cancellation or a destruction, how long the host must hear nothing.
constexpr auto kQuietPeriod = kSlowDelay + 1s;
// A checkout that is not reported within this is a failure of its own.
constexpr auto kReportTimeout = 30s;
// Checkouts in flight at once, changing every kStepLength payments.
constexpr std::size_t kConcurrencySteps[] = {8, 16, 32, 24};
constexpr std::size_t kMaxConcurrency = 32;
constexpr std::size_t kStepLength = 250;
// Memory may grow this much from the first fifth of the run to its end. Live heap must stay put
// (at the end nothing is in flight, so it is usually lower; a leak of a few hundred bytes a
// payment exceeds it). Resident memory also holds what allocators keep for reuse: without
// sanitizers it grows 2-3 MiB while threads warm up. The sanitizers' allocators give nothing
// back, and AddressSanitizer's recycles blocks across threads through its quarantine, so its
// footprint keeps spreading at flat live heap until it levels off after some 15000 payments
// (measured: 5-17 MiB growth in this window; 30000 payments: 117 to 136 MiB, live heap 3-5 MiB).
constexpr std::size_t kHeapTolerance = std::size_t{1} << 20;
#if defined(KORVANI_SOAK_ASAN)
constexpr std::size_t kResidentTolerance = std::size_t{24} << 20;
#elif defined(KORVANI_SOAK_TSAN)
constexpr std::size_t kResidentTolerance = std::size_t{16} << 20;
#else
constexpr std::size_t kResidentTolerance = std::size_t{8} << 20;
#endif
// Mismatches described in full; the rest are only counted.
constexpr std::size_t kMismatchesShown = 20;

std::uint64_t environmentNumber(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') {
    ADD_FAILURE() << name << " is not a number: " << text;
    return fallback;
  }
  return value;
}

using test_support::sha256Hex;

struct MemorySample {
  std::size_t resident = 0;
  std::size_t heap = 0;
};

MemorySample sampleMemory() {
  MemorySample sample;
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  std::size_t residentPages = 0;
  statm >> pages >> residentPages;
  sample.resident = residentPages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#if defined(KORVANI_SOAK_ASAN) || defined(KORVANI_SOAK_TSAN)
  sample.heap = __sanitizer_get_current_allocated_bytes();
#else
  sample.heap = mallinfo2().uordblks;
#endif
  return sample;
}

double mebibytes(std::size_t bytes) {
  return static_cast<double>(bytes) / (1 << 20);
}

// ---------------------------------------------------------------------------------------------
// What the sandbox's scenarios must lead to.

struct Scenario {
  const char* name;
  bool paid;  // the answer holds a payment with these texts
  const char* status;
  const char* statusDetail;
  int weight;  // share among the scenarios of ordinary payments
};

constexpr Scenario kScenarios[] = {
    {"approved", true, "approved", "accredited", 30},
    {"rejected", true, "rejected", "cc_rejected_other_reason", 18},
    {"in-process", true, "in_process", "pending_contingency", 10},
    {"slow", true, "approved", "accredited", 6},
    {"server-error", false, "", "", 14},
    {"drop", false, "", "", 10},
    {"invalid-json", false, "", "", 4},
    {"json-array", false, "", "", 4},
    {"missing-status", false, "", "", 4},
};

const Scenario& scenarioNamed(std::string_view name) {
  for (const Scenario& scenario : kScenarios) {
    if (name == scenario.name) return scenario;
  }
  ADD_FAILURE() << "no scenario " << name;
  return kScenarios[0];
}

bool isDrop(const Scenario& scenario) {
  return std::string_view(scenario.name) == "drop";
}

// What a report alone tells of the answer: the payment's status, or "unpaid" (every answer
// without a payment is reported alike). A lost answer on a kept-alive connection is retried by
// the transport, and the sandbox then answers with the payment it had created.
std::vector<std::string_view> reportClasses(const Scenario& scenario) {
  if (isDrop(scenario)) return {"approved", "unpaid"};
  return {scenario.paid ? scenario.status : "unpaid"};
}

bool reportsMayLookAlike(const Scenario& a, const Scenario& b) {
  for (std::string_view one : reportClasses(a)) {
    for (std::string_view other : reportClasses(b)) {
      if (one == other) return true;
    }
  }
  return false;
}

std::string lostConnectionText() {
  return platform::Error(platform::kURLErrorDomain, platform::kURLErrorNetworkConnectionLost)
      .localizedDescription();
}

// The message of the "fail" event that comes with an unpaid report; nullopt when an unpaid
// report comes without any event (answers that hold no payment).
std::optional<std::string> trackedFailure(const Scenario& scenario) {
  const std::string_view name = scenario.name;
  if (name == "server-error") return std::string();  // an HTTP error carries no error object
  if (name == "drop") return lostConnectionText();
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// The mix.

enum class Way { card, accountMoney };  // scenario chosen by card token, or by amount

struct Choice {
  const Scenario* scenario = &kScenarios[0];
  Way way = Way::card;
};

enum class Action {
  pay,          // render once; the report must match the scenario
  renderTwice,  // render, change the payer's choice, render again: the second is reported
                // (the first only if its answer was already queued for the main thread)
  cancel,       // cancel the running service before the slow answer: nothing is reported
  destroy,      // release the component mid-payment: nothing is reported
  timeOut,      // the same request through PaymentService with a short time-out
};

constexpr const char* kActionNames[] = {"pay", "render twice", "cancel", "destroy", "time out"};

struct Plan {
  Action action = Action::pay;
  Choice first;
  Choice second;                          // renderTwice only
  std::chrono::milliseconds actAfter{0};  // cancel and destroy: delay after the render
};

class PlanMaker {
 public:
  explicit PlanMaker(std::uint64_t seed) : random_(seed) {}

  Plan next() {
    Plan plan;
    const int roll = between(0, 99);
    if (roll < 60) {
      plan.action = Action::pay;
      plan.first = anyChoice();
    } else if (roll < 68) {
      plan.action = Action::renderTwice;
      plan.first = anyChoice();
      // The second choice is a card with another instalment plan, so it is always another
      // payment (another idempotency key). The first answer may already be queued for the main
      // thread when the second render starts, and is then reported too; a second scenario whose
      // report cannot look like the first's tells the two apart.
      std::vector<const Scenario*> seconds;
      for (const char* name :
           {"approved", "rejected", "in-process", "server-error", "invalid-json"}) {
        const Scenario& candidate = scenarioNamed(name);
        if (!reportsMayLookAlike(*plan.first.scenario, candidate)) seconds.push_back(&candidate);
      }
      plan.second = {seconds[between(0, static_cast<int>(seconds.size()) - 1)], Way::card};
    } else if (roll < 76) {
      plan.action = Action::cancel;
      plan.first = {&scenarioNamed("slow"), anyWay()};
      plan.actAfter = actDelay(kLatestAct);
    } else if (roll < 90) {
      plan.action = Action::destroy;
      plan.first = anyChoice();
      // Most answers take a few milliseconds: short delays hit them mid-flight more often.
      plan.actAfter = actDelay(between(0, 1) == 0 ? 10ms : kLatestAct);
    } else {
      plan.action = Action::timeOut;
      plan.first = {&scenarioNamed("slow"), anyWay()};
    }
    return plan;
  }

 private:
  int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  Way anyWay() { return between(0, 2) == 0 ? Way::accountMoney : Way::card; }

  Choice anyChoice() {
    int total = 0;
    for (const Scenario& scenario : kScenarios)
      total += scenario.weight;
    int roll = between(0, total - 1);
    for (const Scenario& scenario : kScenarios) {
      if (roll < scenario.weight) return {&scenario, anyWay()};
      roll -= scenario.weight;
    }
    return {&kScenarios[0], Way::card};
  }

  // A third at once (before the main queue runs anything), the rest spread up to `latest`.
  std::chrono::milliseconds actDelay(std::chrono::milliseconds latest) {
    if (between(0, 2) == 0) return 0ms;
    return std::chrono::milliseconds(between(1, static_cast<int>(latest.count())));
  }

  std::mt19937_64 random_;
};

// ---------------------------------------------------------------------------------------------
// The host side.

// Shared by everything the plug-in calls back into.
struct Ledger {
  const std::thread::id mainThread = std::this_thread::get_id();
  // Bumped by every report and probe outcome; wakes the drive loop. Main thread only.
  std::size_t signals = 0;
  // Host calls that arrived on another thread than the main one.
  std::atomic<std::size_t> offMainThread{0};

  bool onMainThread() {
    if (std::this_thread::get_id() == mainThread) return true;
    offMainThread.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
};

// Records what the component tells the host, in order.
class SoakNavigationHandler final : public host::VQPluginNavigationHandler {
 public:
  enum class Kind { begin, end, finishWithText, finishWithStatus };
  struct Call {
    Kind kind = Kind::begin;
    std::string statusText;
    std::optional<RemotePaymentStatus> paymentStatus;
    std::string statusDetails;
    std::optional<std::string> receiptId;
  };

  explicit SoakNavigationHandler(std::shared_ptr<Ledger> ledger) : ledger_(std::move(ledger)) {}

  using VQPluginNavigationHandler::didFinishPayment;

  void beginPluginWork() override { record(Kind::begin); }
  void endPluginWork() override { record(Kind::end); }
  void didFinishPayment(const std::string& statusText, const std::string& statusDetails,
                        const std::optional<std::string>& receiptId) override {
    if (Call* call = record(Kind::finishWithText)) {
      call->statusText = statusText;
      call->statusDetails = statusDetails;
      call->receiptId = receiptId;
    }
  }
  void didFinishPayment(RemotePaymentStatus paymentStatus, const std::string& statusDetails,
                        const std::optional<std::string>& receiptId) override {
    if (Call* call = record(Kind::finishWithStatus)) {
      call->paymentStatus = paymentStatus;
      call->statusDetails = statusDetails;
      call->receiptId = receiptId;
    }
  }

  const std::vector<Call>& calls() const { return calls_; }
  bool onlyBegun() const { return calls_.size() == 1 && calls_[0].kind == Kind::begin; }
  bool reported() const {
    return std::any_of(calls_.begin(), calls_.end(), [](const Call& call) {
      return call.kind == Kind::finishWithText || call.kind == Kind::finishWithStatus;
    });
  }

  std::string describe() const {
    static constexpr const char* kNames[] = {"begin", "end", "finish(text)", "finish(status)"};
    std::string text;
    for (const Call& call : calls_) {
      if (!text.empty()) text += ", ";
      text += kNames[static_cast<int>(call.kind)];
      if (call.kind == Kind::finishWithText) {
        text +=
            " " + call.statusText + "/" + call.statusDetails + " #" + call.receiptId.value_or("-");
      }
    }
    return "[" + text + "]";
  }

 private:
  Call* record(Kind kind) {
    // Off the main thread the record itself would race; the ledger counts the call instead.
    if (!ledger_->onMainThread()) return nullptr;
    calls_.emplace_back().kind = kind;
    ++ledger_->signals;
    return &calls_.back();
  }

  std::shared_ptr<Ledger> ledger_;
  std::vector<Call> calls_;
};

// Counts the tracking events: "success" ones by payment id until a report claims them, "fail"
// ones by message.
class EventTally final : public host::KVTrackListener {
 public:
  explicit EventTally(std::shared_ptr<Ledger> ledger) : ledger_(std::move(ledger)) {}

  void trackEvent(const std::string& screenName, const std::string& action,
                  const std::optional<std::string>& result,
                  const std::optional<JsonObject>& extraParams) override {
    ledger_->onMainThread();
    std::lock_guard lock(mutex_);
    if (screenName != "/myzr/account_balance" || action != "post_payment" || !result ||
        !extraParams || extraParams->size() != 1) {
      ++malformed_;
      return;
    }
    if (*result == "success") {
      const JsonObject* raw = extraParams->getObject("raw");
      const std::optional<std::uint64_t> id = raw ? raw->getUInt64("id") : std::nullopt;
      const std::string* status = raw ? raw->getString("status") : nullptr;
      if (!id || !status) {
        ++malformed_;
        return;
      }
      Paid& paid = paid_[*id];
      ++paid.events;
      paid.status = *status;
      ++successes_;
    } else if (*result == "fail") {
      const std::string* message = extraParams->getString("error");
      if (!message) {
        ++malformed_;
        return;
      }
      ++failures_[*message];
    } else {
      ++malformed_;
    }
  }

  struct Paid {
    std::size_t events = 0;
    std::string status;
  };
  // The events of payment `id` so far, which are then forgotten.
  Paid claim(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    const auto found = paid_.find(id);
    if (found == paid_.end()) return {};
    Paid paid = std::move(found->second);
    paid_.erase(found);
    return paid;
  }

  std::size_t unclaimed() const {
    std::lock_guard lock(mutex_);
    return paid_.size();
  }
  std::size_t successes() const {
    std::lock_guard lock(mutex_);
    return successes_;
  }
  std::map<std::string, std::size_t> failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
  }
  std::size_t malformed() const {
    std::lock_guard lock(mutex_);
    return malformed_;
  }

 private:
  std::shared_ptr<Ledger> ledger_;
  mutable std::mutex mutex_;
  std::unordered_map<std::uint64_t, Paid> paid_;
  std::size_t successes_ = 0;
  std::map<std::string, std::size_t> failures_;
  std::size_t malformed_ = 0;
};

// What the callbacks of a time-out probe saw.
struct ProbeRecord {
  std::size_t successes = 0;
  std::size_t errors = 0;
  std::size_t failures = 0;
  platform::ErrorPtr error;
  std::optional<Response::Status> status;
};

// One checkout session of the host around one component (or, for time-out probes, around
// one PaymentService).
struct Checkout {
  std::size_t serial = 0;
  Plan plan;
  std::shared_ptr<SoakNavigationHandler> handler;
  std::shared_ptr<PaymentPluginComponent> component;
  std::weak_ptr<PaymentPluginComponent> weakComponent;
  std::shared_ptr<PaymentService> service;
  std::shared_ptr<ProbeRecord> probe;
  Clock::time_point renderedAt;
  bool acted = false;
  // Acted so late that the answer may already have been on its way.
  bool late = false;
  Clock::time_point quietUntil;

  Clock::time_point actAt() const { return renderedAt + plan.actAfter; }
  bool awaitsAct() const {
    return !acted && (plan.action == Action::cancel || plan.action == Action::destroy);
  }
};

struct Tally {
  std::size_t paid = 0;
  std::size_t unpaid = 0;
  std::size_t dropsRetried = 0;  // lost answers that the transport's retry still delivered
  std::size_t renderedTwice = 0;
  std::size_t cancelled = 0;
  std::size_t firstAlsoReported = 0;  // rendered twice, the first answer already queued
  std::size_t lateCancels = 0;
  std::size_t destroyedMidPayment = 0;
  std::size_t destroyedAfterReport = 0;
  std::size_t timedOut = 0;
  std::map<std::string, std::size_t> expectedFailures;
  std::size_t mismatches = 0;
  std::vector<std::string> shown;
};

// ---------------------------------------------------------------------------------------------

class PaymentSoakTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox::SandboxOptions options;
    options.quiet = true;
    options.slowDelay = kSlowDelay;
    options.keepAliveTimeout = 1s;
    // The server gives each open connection a worker; one beyond these waits for a free one.
    // Every server thread adds to resident memory as it warms up, so there are no more than
    // checkouts in flight, and idle connections let go of their worker after a second. (Slow
    // answers to cancelled or timed-out requests hold a worker for kSlowDelay; requests queued
    // meanwhile just take longer.)
    options.workerThreads = kMaxConcurrency;
    // Keys are unique per checkout and retries follow within milliseconds; a small memory keeps
    // the in-process server's footprint constant over the run.
    options.idempotencyCapacity = 1024;
    server = std::make_unique<sandbox::SandboxServer>(options);
    std::string error;
    ASSERT_TRUE(server->start(&error)) << error;
    platform::URLSession::sharedSession()->addTrustedCertificatesPem(server->caCertificatePem());
    test_support::setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);
    host::KVQTracker::setTrackListener(events);
    platform::MainQueue::runUntilIdle();
    samples.reserve(kSamples);

    for (const Scenario& scenario : kScenarios) {
      preferences[scenario.name] =
          makePreference(*sandbox::sandboxAmountForScenario(scenario.name));
    }
    cardPreference = makePreference("150.75");
    merchantOrder = PaymentPluginMerchantOrder::fromJsonText(
        R"({"id": 4242, "external_reference": "order-soak"})");
    ASSERT_NE(cardPreference, nullptr);
    ASSERT_NE(merchantOrder, nullptr);
  }

  void TearDown() override {
    platform::MainQueue::runUntilIdle();
    host::KVQTracker::setTrackListener(nullptr);
    host::ZRReachability::setProvider({});
    if (server) server->stop();
    platform::URLSession::sharedSession()->resetTrustedCertificates();
  }

  static std::shared_ptr<PaymentPluginPreference> makePreference(const std::string& amount) {
    return PaymentPluginPreference::fromJsonText(
        R"({"id": "pref-soak", "items": [{"title": "Headphones", "quantity": 1,
            "currency_id": "EUR"}], "amount": )" +
        amount + R"(, "collector_id": 5544, "marketplace": "NONE",
            "operation_type": "regular_payment"})");
  }

  std::shared_ptr<PaymentPluginConfiguration> makeConfiguration(std::size_t serial,
                                                                const Choice& choice) {
    auto configuration = std::make_shared<PaymentPluginConfiguration>();
    configuration->baseUrl = server->baseUrl();
    configuration->path = "/v1/payments";
    configuration->accessToken = "TEST-soak-token";
    configuration->appVersion = "4.2.0";
    configuration->brixSessionId = "session-soak";
    configuration->source = "soak";
    configuration->checkoutPreference =
        choice.way == Way::accountMoney ? preferences.at(choice.scenario->name) : cardPreference;
    configuration->merchantOrder = merchantOrder;
    // The key's time part has whole seconds and many checkouts start within one; salting the
    // digest with the checkout's number keeps each checkout its own payment at the sandbox.
    configuration->sha256 = [salt = std::to_string(serial) + ":"](
                                const std::string& fragment) -> std::optional<std::string> {
      return sha256Hex(salt + fragment);
    };
    return configuration;
  }

  static std::shared_ptr<host::PaymentData> paymentDataFor(const Choice& choice,
                                                           std::int64_t installments) {
    if (choice.way == Way::card) {
      return host::makePaymentData(
          {.paymentMethodId = "visa",
           .paymentTypeId = "credit_card",
           .issuerId = "310",
           .tokenId = sandbox::sandboxTokenForScenario(choice.scenario->name),
           .installments = installments});
    }
    return host::makePaymentData(
        {.paymentMethodId = "account_money", .paymentTypeId = "account_money"});
  }

  static std::size_t concurrencyFor(std::size_t launched) {
    constexpr std::size_t steps = std::size(kConcurrencySteps);
    return kConcurrencySteps[(launched / kStepLength) % steps];
  }

  // --- one checkout --------------------------------------------------------------------------

  std::unique_ptr<Checkout> launch(std::size_t serial) {
    auto checkout = std::make_unique<Checkout>();
    Checkout& c = *checkout;
    c.serial = serial;
    c.plan = plans.next();
    auto configuration = makeConfiguration(serial, c.plan.first);
    auto store = std::make_shared<host::InMemoryCheckoutStore>(paymentDataFor(c.plan.first, 3));
    store->setData(Constants::AuthCode, AuthCode("482913", true).toDictionary());
    c.handler = std::make_shared<SoakNavigationHandler>(ledger);

    if (c.plan.action == Action::timeOut) {
      startProbe(c, configuration, store);
      return checkout;
    }

    c.component = PaymentPluginComponent::create(configuration);
    c.weakComponent = c.component;
    // The host hands over the store and the handler in either order.
    if (serial % 2 == 0) {
      c.component->didReceive(store);
      c.component->navigationHandlerForPlugin(c.handler);
    } else {
      c.component->navigationHandlerForPlugin(c.handler);
      c.component->didReceive(store);
    }
    c.renderedAt = Clock::now();
    c.component->renderDidFinish();
    if (c.plan.action == Action::renderTwice) {
      store->setPaymentData(paymentDataFor(c.plan.second, 12));
      c.component->renderDidFinish();
    }
    return checkout;
  }

  // The request the component would send, through PaymentService with a time-out far below
  // the slow answer's delay (the component's own service always waits 72 s).
  void startProbe(Checkout& c, std::shared_ptr<PaymentPluginConfiguration> configuration,
                  std::shared_ptr<host::InMemoryCheckoutStore> store) {
    PaymentConfigurationManager manager(std::move(configuration));
    manager.update(store->currentPaymentData());
    manager.update(std::shared_ptr<host::VQCheckoutStore>(store));
    c.service = std::make_shared<PaymentService>(manager.currentConfiguration());
    c.service->config.timeoutInterval = kShortTimeoutSeconds;
    c.probe = std::make_shared<ProbeRecord>();
    c.service->success = [probe = c.probe, ledger = ledger](std::shared_ptr<Response>) {
      if (!ledger->onMainThread()) return;
      ++probe->successes;
      ++ledger->signals;
    };
    c.service->error = [probe = c.probe, ledger = ledger](std::shared_ptr<Response>,
                                                          platform::ErrorPtr) {
      if (!ledger->onMainThread()) return;
      ++probe->errors;
      ++ledger->signals;
    };
    c.service->failure = [probe = c.probe, ledger = ledger](std::shared_ptr<Response> response,
                                                            platform::ErrorPtr error) {
      if (!ledger->onMainThread()) return;
      ++probe->failures;
      probe->error = std::move(error);
      if (response) probe->status = response->result().status();
      ++ledger->signals;
    };
    c.renderedAt = Clock::now();
    c.service->execute();
  }

  void mismatch(const Checkout& c, const std::string& what) {
    ++tally.mismatches;
    if (tally.shown.size() < kMismatchesShown) {
      tally.shown.push_back("payment " + std::to_string(c.serial) + " (" +
                            kActionNames[static_cast<int>(c.plan.action)] + ", " +
                            c.plan.first.scenario->name + "): " + what + " " +
                            c.handler->describe());
    }
  }

  // The component is gone as soon as the host lets go of it: nothing else may own it.
  void release(Checkout& c) {
    c.component.reset();
    if (!c.weakComponent.expired()) mismatch(c, "the component outlived its last owner");
  }

  // Whether `call` is a report that `scenario` may lead to.
  static bool fits(const SoakNavigationHandler::Call& call, const Scenario& scenario) {
    using Kind = SoakNavigationHandler::Kind;
    for (std::string_view kind : reportClasses(scenario)) {
      if (call.kind == Kind::finishWithStatus && kind == "unpaid") return true;
      if (call.kind == Kind::finishWithText && kind == call.statusText) return true;
    }
    return false;
  }

  // Exactly one report, after begin and end, matching the scenario of `choice`.
  void checkReport(Checkout& c, const Choice& choice) {
    const auto& calls = c.handler->calls();
    using Kind = SoakNavigationHandler::Kind;
    if (calls.size() != 3 || calls[0].kind != Kind::begin || calls[1].kind != Kind::end) {
      mismatch(c, "expected begin, end and one report");
      return;
    }
    checkFinish(c, calls[2], choice);
  }

  // The second render's report alone (the first was superseded), or the first's answer, queued
  // before the second render, reported before it.
  void checkRenderedTwice(Checkout& c) {
    ++tally.renderedTwice;
    const auto& calls = c.handler->calls();
    using Kind = SoakNavigationHandler::Kind;
    if (calls.size() == 3) {
      checkReport(c, c.plan.second);
    } else if (calls.size() == 5 && calls[0].kind == Kind::begin && calls[1].kind == Kind::end &&
               calls[3].kind == Kind::end) {
      ++tally.firstAlsoReported;
      checkFinish(c, calls[2], c.plan.first);
      checkFinish(c, calls[4], c.plan.second);
    } else {
      mismatch(c, "expected the second render's report, perhaps after the first's");
    }
  }

  // One report against the scenario of `choice`; claims the payment's tracking event.
  void checkFinish(Checkout& c, const SoakNavigationHandler::Call& report, const Choice& choice) {
    using Kind = SoakNavigationHandler::Kind;
    const Scenario& scenario = *choice.scenario;
    if (report.kind == Kind::finishWithText) {
      const bool retriedDrop = isDrop(scenario);
      const char* status = retriedDrop ? "approved" : scenario.status;
      const char* detail = retriedDrop ? "accredited" : scenario.statusDetail;
      if (!scenario.paid && !retriedDrop) {
        mismatch(c, "reported a payment for an answer without one");
        return;
      }
      if (report.statusText != status || report.statusDetails != detail) {
        mismatch(c, std::string("expected ") + status + "/" + detail);
      }
      std::uint64_t id = 0;
      const std::string receipt = report.receiptId.value_or("");
      const auto [rest, error] =
          std::from_chars(receipt.data(), receipt.data() + receipt.size(), id);
      if (receipt.empty() || error != std::errc() || rest != receipt.data() + receipt.size()) {
        mismatch(c, "no usable receipt id");
        return;
      }
      const EventTally::Paid paid = events->claim(id);
      if (paid.events != 1 || paid.status != report.statusText) {
        mismatch(c, std::to_string(paid.events) + " success events for the payment, status '" +
                        paid.status + "'");
      }
      ++tally.paid;
      if (retriedDrop) ++tally.dropsRetried;
      return;
    }
    if (scenario.paid) {
      mismatch(c, "reported no payment for a paid answer");
      return;
    }
    if (report.paymentStatus != RemotePaymentStatus{1} ||
        report.statusDetails != host::VQPluginNavigationHandler::kDefaultStatusDetails ||
        report.receiptId) {
      mismatch(c, "an unpaid report must be status 1 with the host's defaults");
    }
    if (const auto message = trackedFailure(scenario)) ++tally.expectedFailures[*message];
    ++tally.unpaid;
  }

  void checkProbe(Checkout& c) {
    const ProbeRecord& probe = *c.probe;
    if (probe.successes != 0 || probe.errors != 0 || probe.failures != 1) {
      mismatch(c, "time-out probe: " + std::to_string(probe.successes) + " successes, " +
                      std::to_string(probe.errors) + " errors, " + std::to_string(probe.failures) +
                      " failures");
    } else if (!probe.error || probe.error->domain() != platform::kURLErrorDomain ||
               probe.error->code() != platform::kURLErrorTimedOut ||
               probe.status != Response::Status::failed) {
      mismatch(c,
               "time-out probe: expected a failed response with a time-out error, got " +
                   (probe.error ? probe.error->domain() + " " + std::to_string(probe.error->code())
                                : std::string("no error")));
    } else {
      ++tally.timedOut;
    }
  }

  // Cancels or destroys; returns whether the checkout now waits out its quiet period.
  bool act(Checkout& c, Clock::time_point now) {
    c.acted = true;
    if (c.handler->reported()) {
      // The answer was in first: an ordinary payment, released after its report.
      if (c.plan.action == Action::destroy) {
        ++tally.destroyedAfterReport;
      } else {
        ++tally.lateCancels;
      }
      checkReport(c, c.plan.first);
      release(c);
      return false;
    }
    c.late = now - c.renderedAt >= kSlowDelay;
    c.quietUntil = now + kQuietPeriod;
    if (c.plan.action == Action::cancel) {
      const auto& service = c.component->paymentViewModel()->paymentService;
      if (!service) {
        mismatch(c, "no service to cancel");
      } else {
        service->cancel();
      }
    } else {
      release(c);
    }
    return true;
  }

  // After the quiet period: nothing may have been reported (unless the act came late).
  void settleQuiet(Checkout& c) {
    if (c.handler->onlyBegun()) {
      if (c.plan.action == Action::cancel) {
        ++tally.cancelled;
      } else {
        ++tally.destroyedMidPayment;
      }
    } else if (c.late && c.plan.action == Action::cancel) {
      ++tally.lateCancels;
      checkReport(c, c.plan.first);
    } else {
      mismatch(c, c.plan.action == Action::cancel ? "a cancelled payment was reported"
                                                  : "a destroyed component reported");
    }
    if (c.component) release(c);
  }

  // Whether the checkout is done with (and checked).
  bool settleRunning(Checkout& c, Clock::time_point now) {
    if (c.plan.action == Action::timeOut) {
      const ProbeRecord& probe = *c.probe;
      if (probe.successes + probe.errors + probe.failures > 0) {
        checkProbe(c);
        c.service.reset();
        return true;
      }
    } else if (c.plan.action == Action::renderTwice) {
      const auto& calls = c.handler->calls();
      if (std::any_of(calls.begin(), calls.end(),
                      [&](const auto& call) { return fits(call, *c.plan.second.scenario); })) {
        checkRenderedTwice(c);
        release(c);
        return true;
      }
    } else if (c.handler->reported()) {
      checkReport(c, c.plan.first);
      release(c);
      return true;
    }
    if (now - c.renderedAt > kReportTimeout) {
      mismatch(c, "no outcome in time");
      c.service.reset();
      if (c.component) release(c);
      return true;
    }
    return false;
  }

  // --- the run -------------------------------------------------------------------------------

  void drive(std::size_t total, Clock::time_point giveUpAt) {
    std::vector<std::unique_ptr<Checkout>> running;
    std::deque<std::unique_ptr<Checkout>> quiet;
    running.reserve(kMaxConcurrency);
    std::size_t launched = 0;
    std::size_t done = 0;
    while (done < total) {
      if (Clock::now() > giveUpAt) {
        ADD_FAILURE() << "gave up after " << done << " of " << total << " payments";
        break;
      }
      while (launched < total && running.size() < concurrencyFor(launched)) {
        running.push_back(launch(launched++));
      }

      auto wakeAt = Clock::now() + 50ms;
      for (const auto& c : running) {
        if (c->awaitsAct()) wakeAt = std::min(wakeAt, c->actAt());
      }
      if (!quiet.empty()) wakeAt = std::min(wakeAt, quiet.front()->quietUntil);
      const std::size_t seen = ledger->signals;
      platform::MainQueue::runUntil(
          [&] { return ledger->signals != seen || Clock::now() >= wakeAt; }, wakeAt);

      const auto now = Clock::now();
      for (std::size_t i = 0; i < running.size();) {
        Checkout& c = *running[i];
        bool finished = false;
        if (c.awaitsAct()) {
          if (now >= c.actAt() || c.handler->reported()) {
            if (act(c, now)) {
              quiet.push_back(std::move(running[i]));
            } else {
              ++done;
            }
            finished = true;
          }
        } else if (settleRunning(c, now)) {
          ++done;
          finished = true;
        }
        if (finished) {
          running[i] = std::move(running.back());
          running.pop_back();
        } else {
          ++i;
        }
      }
      while (!quiet.empty() && now >= quiet.front()->quietUntil) {
        settleQuiet(*quiet.front());
        quiet.pop_front();
        ++done;
      }
      // Reserved up front, so that sampling itself allocates nothing.
      if (samples.size() < kSamples && done >= total * (samples.size() + 1) / kSamples) {
        samples.push_back(sampleMemory());
      }
    }
    for (auto& c : running) {
      if (c->component) release(*c);
    }
  }

  std::unique_ptr<sandbox::SandboxServer> server;
  std::shared_ptr<Ledger> ledger = std::make_shared<Ledger>();
  std::shared_ptr<EventTally> events = std::make_shared<EventTally>(ledger);
  std::map<std::string, std::shared_ptr<PaymentPluginPreference>, std::less<>> preferences;
  std::shared_ptr<PaymentPluginPreference> cardPreference;
  std::shared_ptr<PaymentPluginMerchantOrder> merchantOrder;
  const std::uint64_t seed = environmentNumber("KORVANI_SOAK_SEED", 20240611);
  PlanMaker plans{seed};
  Tally tally;
  // Memory after each tenth of the run.
  static constexpr std::size_t kSamples = 10;
  std::vector<MemorySample> samples;
};

TEST_F(PaymentSoakTest, EveryCheckoutEndsAsItsScenarioSaysWithFlatMemory) {
  const std::size_t total = environmentNumber("KORVANI_SOAK_PAYMENTS", kDefaultPayments);
  ASSERT_GT(total, 0u) << "KORVANI_SOAK_PAYMENTS must be at least 1";
  const auto start = Clock::now();
  // Far beyond the expected run time, and below the test runner's own limit.
  const auto giveUpAt =
      start + std::min<Clock::duration>(
                  60s + std::chrono::milliseconds(30 * static_cast<std::int64_t>(total)), 540s);
  const std::uint64_t firstPaymentId = server->nextPaymentId();

  drive(total, giveUpAt);
  // Answers of released and superseded requests still arrive; they must reach no one.
  platform::MainQueue::runFor([] { return false; }, kQuietPeriod);
  const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const MemorySample end = sampleMemory();

  std::string shown;
  for (const std::string& line : tally.shown)
    shown += "\n  " + line;
  EXPECT_EQ(tally.mismatches, 0u) << "first mismatches:" << shown;
  EXPECT_EQ(ledger->offMainThread.load(), 0u) << "host calls made off the main thread";

  // Tracking: one "success" event per reported payment (each claimed by its report), one
  // "fail" event per failed request, none for answers without a payment, for cancelled,
  // released or superseded requests, or for the time-out probes (they bypass the view model).
  EXPECT_EQ(events->malformed(), 0u);
  EXPECT_EQ(events->unclaimed(), 0u) << "success events that no report claimed";
  EXPECT_EQ(events->successes(), tally.paid);
  EXPECT_EQ(events->failures(), tally.expectedFailures);

  // The mix exercised every path, not only the easy ones.
  const std::size_t minimum = total >= 2000 ? 10 : 0;
  EXPECT_GE(tally.cancelled, minimum);
  EXPECT_GE(tally.destroyedMidPayment, minimum);
  EXPECT_GE(tally.renderedTwice, minimum);
  EXPECT_GE(tally.timedOut, minimum);
  EXPECT_GE(tally.unpaid, minimum);
  // Each reported payment is one the sandbox created (no receipt is claimed twice above).
  const std::uint64_t created = server->nextPaymentId() - firstPaymentId;
  EXPECT_GE(created, tally.paid);

  ASSERT_EQ(samples.size(), kSamples);
  const MemorySample& baseline = samples[1];  // after the first fifth
  const auto growth = [](std::size_t from, std::size_t to) {
    return to > from ? to - from : std::size_t{0};
  };
  EXPECT_LE(growth(baseline.resident, end.resident), kResidentTolerance)
      << "resident memory grew from " << mebibytes(baseline.resident) << " MiB to "
      << mebibytes(end.resident) << " MiB";
  // A payment POST goes out at most once, so an answer lost on the wire can never come back
  // as a payment through a silent second send.
  EXPECT_EQ(tally.dropsRetried, 0u) << "lost answers were sent again and paid";
  EXPECT_LE(growth(baseline.heap, end.heap), kHeapTolerance)
      << "live heap grew from " << mebibytes(baseline.heap) << " MiB to " << mebibytes(end.heap)
      << " MiB";

  std::printf(
      "[ soak     ] %zu payments in %.1f s (seed %llu): %zu paid, %zu unpaid (%zu lost answers "
      "retried into payments), %zu rendered twice (%zu with the first answer already queued), "
      "%zu cancelled (%zu too late), %zu destroyed mid-payment, %zu destroyed after the report, "
      "%zu timed out; %llu payments created\n",
      total, elapsed, static_cast<unsigned long long>(seed), tally.paid, tally.unpaid,
      tally.dropsRetried, tally.renderedTwice, tally.firstAlsoReported, tally.cancelled,
      tally.lateCancels, tally.destroyedMidPayment, tally.destroyedAfterReport, tally.timedOut,
      static_cast<unsigned long long>(created));
  std::string curve;
  for (const MemorySample& sample : samples) {
    char text[32];
    std::snprintf(text, sizeof text, " %.0f/%.1f", mebibytes(sample.resident),
                  mebibytes(sample.heap));
    curve += text;
  }
  std::printf("[ soak     ] resident/heap MiB after each tenth:%s\n", curve.c_str());
  const auto counters = server->counters();
  std::printf(
      "[ soak     ] memory after the first fifth: resident %.1f MiB, heap %.1f MiB; at the end: "
      "resident %.1f MiB, heap %.1f MiB; sandbox: %llu connections, %llu handshakes, %llu "
      "requests\n",
      mebibytes(baseline.resident), mebibytes(baseline.heap), mebibytes(end.resident),
      mebibytes(end.heap), static_cast<unsigned long long>(counters.connectionsAccepted),
      static_cast<unsigned long long>(counters.handshakesCompleted),
      static_cast<unsigned long long>(counters.requestsServed));
}

}  // namespace
}  // namespace korvani
