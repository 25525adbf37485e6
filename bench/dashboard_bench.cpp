// A payment's time through the sandbox with its dashboard open and following live, next to the
// time without the dashboard: the journal and its viewers must cost a payment nothing that
// shows. Two in-process sandboxes, one with the dashboard and a viewer reading its live stream;
// rounds of back-to-back payments through the plug-in alternate between them.

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvani/host/reachability.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_session.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "latency.hpp"
#include "payment_fixture.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using korvani::platform::MainQueue;

constexpr int kRounds = 20;
constexpr int kPaymentsPerRound = 100;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "dashboard bench: %s\n", message.c_str());
  std::exit(1);
}

struct Checkout {
  std::unique_ptr<korvani::sandbox::SandboxServer> server;
  std::shared_ptr<korvani::host::RecordingNavigationHandler> handler =
      std::make_shared<korvani::host::RecordingNavigationHandler>();
  std::shared_ptr<korvani::PaymentPluginComponent> component;
  std::vector<double> millis;

  explicit Checkout(bool dashboard) {
    korvani::sandbox::SandboxOptions options;
    options.quiet = true;
    options.dashboard = dashboard;
    server = std::make_unique<korvani::sandbox::SandboxServer>(options);
    std::string error;
    if (!server->start(&error)) fail("the sandbox did not start: " + error);
    korvani::platform::URLSession::sharedSession()->addTrustedCertificatesPem(
        server->caCertificatePem());
    const auto payment = korvani::bench::makeCardPayment(server->baseUrl());
    // Every render a payment of its own (a new key), not a replay of the first.
    payment.configuration->sha256 =
        [count = std::make_shared<std::uint64_t>(0)](const std::string& text) {
          return korvani::sha256Hex(text + std::to_string((*count)++));
        };
    component = korvani::PaymentPluginComponent::create(payment.configuration);
    component->didReceive(payment.store);
    component->navigationHandlerForPlugin(handler);
  }

  // One render until its report (which follows the end of the plug-in's work).
  void pay() {
    using CallKind = korvani::host::RecordingNavigationHandler::CallKind;
    handler->clear();
    const auto start = Clock::now();
    component->renderDidFinish();
    if (!MainQueue::runUntil([&] { return handler->calls().size() >= 2; },
                             Clock::now() + std::chrono::seconds(60))) {
      fail("no report within a minute");
    }
    if (handler->calls().back().kind != CallKind::finishWithStatusText) {
      fail("a payment ended without a payment result");
    }
    millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
};

}  // namespace

int main() {
  // The sandbox is on loopback: no interface needs to be up.
  const auto reachable = std::make_shared<korvani::host::FixedReachability>(
      korvani::host::ZRNetworkStatus::ReachableViaWiFi);
  korvani::host::ZRReachability::setProvider([reachable] { return reachable; });
  Checkout plain(false);
  Checkout watched(true);

  // The viewer: the page's live stream, read to the end of every event as a browser receives
  // it (the page's own work, parsing and drawing, is the browser's process's).
  const std::string url = watched.server->dashboardUrl();  // http://127.0.0.1:PORT/
  httplib::Client viewer("127.0.0.1", std::stoi(url.substr(url.rfind(':') + 1)));
  viewer.set_read_timeout(120, 0);
  std::size_t events = 0;
  std::thread following([&] {
    std::string pending;
    viewer.Get("/api/events", [&](const char* bytes, std::size_t length) {
      pending.append(bytes, length);
      for (std::size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
        const std::size_t data = pending.find("data: ");
        if (data < end) ++events;
        pending.erase(0, end + 2);
      }
      return true;
    });
  });

  // Warm both connections, then alternate, so that drift on a shared machine hits both alike.
  plain.pay();
  watched.pay();
  plain.millis.clear();
  watched.millis.clear();
  for (int round = 0; round < kRounds; ++round) {
    for (Checkout* checkout : {&plain, &watched}) {
      for (int i = 0; i < kPaymentsPerRound; ++i)
        checkout->pay();
    }
  }
  watched.server->stop();  // ends the stream
  following.join();
  plain.server->stop();

  const auto without = korvani::bench::summarize(plain.millis);
  const auto with = korvani::bench::summarize(watched.millis);
  // Noise: how far the rounds' medians without the dashboard lie apart.
  std::vector<double> roundMedians;
  for (int round = 0; round < kRounds; ++round) {
    const auto first = plain.millis.begin() + round * kPaymentsPerRound;
    roundMedians.push_back(korvani::bench::summarize({first, first + kPaymentsPerRound}).p50);
  }
  const auto rounds = korvani::bench::summarize(roundMedians);
  const double noise = (rounds.max - rounds.min) / without.p50 * 100;
  const double change = (with.p50 - without.p50) / without.p50 * 100;
  std::printf(
      "payment through the sandbox (%zu each, in-process, plug-in to report, %d rounds):\n"
      "  without the dashboard:              median %.3f ms, p90 %.3f ms\n"
      "  dashboard open and followed live:   median %.3f ms, p90 %.3f ms (%zu live updates)\n"
      "  difference of the medians: %+.1f %%; the rounds without it differ by up to %.1f %%\n"
      "  (goal: within that noise): %s\n",
      without.count, kRounds, without.p50, without.p90, with.p50, with.p90, events, change, noise,
      change <= noise ? "met" : "NOT MET");
  return 0;
}
