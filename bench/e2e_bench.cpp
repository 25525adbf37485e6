// End to end over HTTPS against the in-process sandbox: sequential payments through the
// plug-in's PaymentService (request on the URL session's worker thread, answer handed back
// through the main queue, drained here as the host's main thread would) against the floor, a
// bare libcurl easy handle posting the identical bytes on its own reused connection.
//
// The two sides alternate in blocks, so that a noisy stretch of the shared machine hits both.
// The last line printed is "e2e_p50_ratio=<plug-in p50 / bare p50>".

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bare_client.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/payment.hpp"
#include "korvani/payment_service.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_session.hpp"
#include "korvani/response.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "latency.hpp"
#include "payment_fixture.hpp"
#include "processors.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using korvani::PaymentConfiguration;
using korvani::PaymentService;
using korvani::Response;
using korvani::platform::MainQueue;

struct Options {
  std::size_t payments = 2000;  // measured per side
  std::size_t epochs = 8;       // fresh server and connections for each
  std::size_t warmup = 50;      // per side and epoch, not measured
  std::size_t block = 50;       // consecutive payments of one side
  std::size_t probe = 1000;     // sequential payments for the connection count
};

constexpr auto kPaymentDeadline = std::chrono::seconds(10);

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "e2e bench: %s\n", message.c_str());
  std::exit(1);
}

std::size_t positive(const char* text, const char* flag) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > 10'000'000) {
    fail(std::string("bad value for ") + flag + ": " + text);
  }
  return static_cast<std::size_t>(value);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) fail("missing value after " + flag);
    const char* value = argv[++i];
    if (flag == "--payments") {
      options.payments = positive(value, "--payments");
    } else if (flag == "--epochs") {
      options.epochs = positive(value, "--epochs");
    } else if (flag == "--warmup") {
      options.warmup = positive(value, "--warmup");
    } else if (flag == "--block") {
      options.block = positive(value, "--block");
    } else if (flag == "--probe") {
      options.probe = positive(value, "--probe");
    } else {
      fail("unknown option " + flag +
           " (known: --payments --epochs --warmup --block --probe N, --processors one|all)");
    }
  }
  return options;
}

// One payment through the plug-in, as the view model runs it: a new service per payment, its
// three callbacks set, execute(), then the main queue drained until a callback ran. Returns
// the answer for a success, nothing otherwise.
std::shared_ptr<Response> payThroughPlugin(const PaymentConfiguration& configuration) {
  auto service = PaymentService::create(configuration);
  bool done = false;
  std::shared_ptr<Response> answer;
  service->success = [&](std::shared_ptr<Response> response) {
    answer = std::move(response);
    done = true;
  };
  service->error = [&](std::shared_ptr<Response>, korvani::platform::ErrorPtr) { done = true; };
  service->failure = [&](std::shared_ptr<Response>, korvani::platform::ErrorPtr) { done = true; };
  service->execute();
  if (!MainQueue::runFor([&] { return done; }, kPaymentDeadline)) fail("no answer in time");
  return answer;
}

double elapsedMicros(Clock::time_point since) {
  return std::chrono::duration<double, std::micro>(Clock::now() - since).count();
}

std::unique_ptr<korvani::sandbox::SandboxServer> startSandbox() {
  korvani::sandbox::SandboxOptions options;
  options.quiet = true;
  auto server = std::make_unique<korvani::sandbox::SandboxServer>(options);
  std::string error;
  if (!server->start(&error)) fail("sandbox did not start: " + error);
  // Each sandbox has a CA of its own; the earlier ones left with their servers, and a host
  // trusts one.
  korvani::platform::URLSession::sharedSession()->resetTrustedCertificates();
  korvani::platform::URLSession::sharedSession()->addTrustedCertificatesPem(
      server->caCertificatePem());
  return server;
}

// A host's own reachability service: a status it keeps up to date by itself, read for free.
struct HostReachability : korvani::host::ZRReachability {
  korvani::host::ZRNetworkStatus currentReachabilityStatus() const override {
    return korvani::host::ZRNetworkStatus::ReachableViaWiFi;
  }
};

void useHostReachability(bool host) {
  if (host) {
    korvani::host::ZRReachability::setProvider([] { return std::make_shared<HostReachability>(); });
  } else {
    korvani::host::ZRReachability::setProvider({});
  }
}

// Whether the library's default reachability (non-loopback interfaces) lets payments through.
bool defaultReachabilityPasses() {
  useHostReachability(false);
  const auto reachability = korvani::host::ZRReachability::reachabilityForInternetConnection();
  return reachability &&
         reachability->currentReachabilityStatus() != korvani::host::ZRNetworkStatus::NotReachable;
}

// TCP connections and TLS handshakes that a fresh server sees for `count` sequential payments.
korvani::sandbox::SandboxCounters countConnections(std::size_t count) {
  const auto server = startSandbox();
  const auto payment = korvani::bench::makeCardPayment(server->baseUrl(), "/v1/payments");
  const PaymentConfiguration configuration = payment.manager->currentConfiguration();
  for (std::size_t i = 0; i < count; ++i) {
    if (!payThroughPlugin(configuration)) fail("a payment of the connection probe failed");
  }
  return server->counters();
}

void printRow(const char* name, const korvani::bench::LatencySummary& s, double ratio) {
  std::printf("%-24s %7zu %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f %8.3f\n", name, s.count, s.min, s.p50,
              s.p90, s.p99, s.max, s.mean, ratio);
}

// A sandbox with fresh connections for every side. Which core a connection's server thread
// shares with the machine's other work decides much of that connection's latency; in epochs the
// sides meet that luck anew instead of keeping it for the whole run.
struct Epoch {
  std::unique_ptr<korvani::sandbox::SandboxServer> server;
  PaymentConfiguration configuration;
  std::unique_ptr<korvani::bench::BareClient> bare;
};

// Starts an epoch and warms it up (connections, TLS sessions, caches), checking on the way
// that the plug-in and the bare handle are given the same approved payment.
Epoch startEpoch(std::size_t warmup) {
  Epoch epoch;
  epoch.server = startSandbox();
  const auto payment = korvani::bench::makeCardPayment(epoch.server->baseUrl(), "/v1/payments");
  // Built once, so that every side posts the same bytes (same idempotency key included: every
  // payment after the first is answered from the sandbox's idempotency store, on every side).
  epoch.configuration = payment.manager->currentConfiguration();
  epoch.bare = std::make_unique<korvani::bench::BareClient>(
      korvani::bench::requestFor(PaymentService::create(epoch.configuration)->config),
      epoch.server->caCertificatePem());
  std::shared_ptr<Response> pluginAnswer;
  for (std::size_t i = 0; i < warmup; ++i) {
    pluginAnswer = payThroughPlugin(epoch.configuration);
    if (!pluginAnswer) fail("the plug-in's payment was not answered with a success");
    if (!epoch.bare->perform()) fail("the bare request failed: " + epoch.bare->error());
  }
  if (epoch.bare->status() != 201 || pluginAnswer->data != epoch.bare->body()) {
    fail("the plug-in and the bare handle were answered differently");
  }
  const auto parsed = korvani::Payment::fromJsonText(epoch.bare->body());
  if (!parsed || parsed->status() != "approved") fail("the answer is not an approved payment");
  return epoch;
}

// One way of sending the payment, with its samples.
struct Side {
  std::string name;
  std::function<void()> select;     // called before each of its blocks
  std::function<bool(Epoch&)> pay;  // one payment; false when it failed
  std::vector<double> micros;
};

}  // namespace

int main(int argc, char** argv) {
  const auto processors = korvani::bench::takeProcessorOption(argc, argv);
  const Options options = parseOptions(argc, argv);
  // Both sides start on the bench's main thread: the bare handle does all its work there, the
  // plug-in hands its network work to a thread of its own, which the kernel likes to put on
  // another processor. Virtual processors can run at different speeds for minutes (2-3x apart
  // on this machine), and then the ratio says where each side's threads landed, not what the
  // code costs. So by default every thread of the bench (servers included, they inherit it)
  // runs on one processor, the fastest of the check: both sides on the same hardware.
  std::printf("%s\n", korvani::bench::applyProcessorChoice(processors).c_str());
  // The library's default gate lists the network interfaces on every payment; a host usually
  // brings its own reachability service. Both are measured when the default lets payments
  // through (it needs an interface besides loopback, although the sandbox is on loopback).
  const bool defaultPasses = defaultReachabilityPasses();
  useHostReachability(!defaultPasses);

  const auto counters = countConnections(options.probe);

  auto throughPlugin = [](Epoch& epoch) {
    return payThroughPlugin(epoch.configuration) != nullptr;
  };
  std::vector<Side> sides;
  if (defaultPasses) {
    sides.push_back({"plug-in", [] { useHostReachability(false); }, throughPlugin, {}});
  }
  sides.push_back({"plug-in, host reachab.", [] { useHostReachability(true); }, throughPlugin, {}});
  sides.push_back(
      {"bare libcurl handle",
       [] {},
       [](Epoch& epoch) { return epoch.bare->perform() && epoch.bare->status() == 201; },
       {}});
  for (Side& side : sides)
    side.micros.reserve(options.payments);

  std::printf("epoch  plug-in-p50  bare-p50  ratio\n");

  // Within an epoch, blocks of each side in turn; the side that opens a round rotates.
  const std::size_t perEpoch = (options.payments + options.epochs - 1) / options.epochs;
  std::size_t round = 0;
  for (std::size_t epochIndex = 0; sides.front().micros.size() < options.payments; ++epochIndex) {
    Epoch epoch = startEpoch(options.warmup);
    const std::size_t firstOfEpoch = sides.front().micros.size();
    const std::size_t epochEnd = std::min(options.payments, sides.front().micros.size() + perEpoch);
    for (; sides.front().micros.size() < epochEnd; ++round) {
      const std::size_t n = std::min(options.block, epochEnd - sides.front().micros.size());
      for (std::size_t k = 0; k < sides.size(); ++k) {
        Side& side = sides[(round + k) % sides.size()];
        side.select();
        for (std::size_t i = 0; i < n; ++i) {
          const auto start = Clock::now();
          const bool ok = side.pay(epoch);
          side.micros.push_back(elapsedMicros(start));
          if (!ok) fail("a payment failed (" + side.name + ")");
        }
      }
    }
    // Every side paid as often as the first in each round.
    const auto epochP50 = [&](const Side& side) {
      return korvani::bench::summarize(
                 {side.micros.begin() + static_cast<std::ptrdiff_t>(firstOfEpoch),
                  side.micros.end()})
          .p50;
    };
    const double plugin = epochP50(sides.front());
    const double bare = epochP50(sides.back());
    std::printf("%5zu  %11.1f  %8.1f  %5.3f\n", epochIndex, plugin, bare, plugin / bare);
  }

  std::vector<korvani::bench::LatencySummary> summaries;
  for (const Side& side : sides)
    summaries.push_back(korvani::bench::summarize(side.micros));
  const auto& floor = summaries.back();
  std::printf("\nEnd to end, sequential payments over HTTPS to the in-process sandbox\n");
  std::printf(
      "(%zu per side in %zu epochs of fresh connections, each after %zu warm-up; rotating "
      "blocks of %zu; microseconds)\n",
      options.payments, options.epochs, options.warmup, options.block);
  std::printf("%-24s %7s %9s %9s %9s %9s %9s %9s %7s\n", "side", "count", "min", "p50", "p90",
              "p99", "max", "mean", "p50/bare");
  for (std::size_t k = 0; k < sides.size(); ++k) {
    printRow(sides[k].name.c_str(), summaries[k], summaries[k].p50 / floor.p50);
  }
  if (!defaultPasses) {
    std::printf(
        "note: the default reachability saw no interface besides loopback; the plug-in "
        "ran with a host reachability only\n");
  }
  std::printf(
      "\n%zu sequential plug-in payments: %llu TCP connection(s), %llu TLS handshake(s), "
      "%llu requests served (goal: 1 and 1)\n",
      options.probe, static_cast<unsigned long long>(counters.connectionsAccepted),
      static_cast<unsigned long long>(counters.handshakesCompleted),
      static_cast<unsigned long long>(counters.requestsServed));
  const auto& plugin = summaries.front();
  std::printf("p99 ratio %.3f (%s / bare)\n", plugin.p99 / floor.p99, sides.front().name.c_str());
  std::printf("e2e_p50_ratio=%.3f\n", plugin.p50 / floor.p50);
  return 0;
}
