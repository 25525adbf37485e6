// checkout_demo: a terminal host checkout. main() does, top to bottom, what a host app does to
// pay with the plug-in, and prints what happened on the way. The options and the printing live in
// the other files of this folder.

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "demo_options.hpp"
#include "demo_printer.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/korvani.hpp"
#include "korvani/payment_configuration_manager.hpp"  // the request, printed before it is paid
#include "korvani/payment_service.hpp"
#include "korvani/sandbox/sandbox_server.hpp"

namespace {

using namespace checkout_demo;
using korvani::host::FixedReachability;
using korvani::host::RecordingNavigationHandler;
using korvani::host::ZRNetworkStatus;
using korvani::host::ZRReachability;

constexpr auto kReportDeadline = std::chrono::seconds(90);

enum ExitCode { kReported = 0, kCannotRun = 1, kBadArguments = 2, kNoReport = 3 };

// The sandbox's request log; it is written on the sandbox's server threads.
class SandboxLog {
 public:
  void add(const std::string& line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace

int main(int argc, char** argv) {
  const ParsedArguments parsed = parseArguments({argv + 1, argv + argc});
  if (parsed.kind == ParsedArguments::Kind::help) {
    std::cout << usage();
    return kReported;
  }
  if (parsed.kind == ParsedArguments::Kind::error) {
    std::cerr << "checkout_demo: " << parsed.message << "\n(--help lists the options)\n";
    return kBadArguments;
  }
  const DemoOptions& options = parsed.options;

  // The payment platform: the sandbox in this process unless --base-url names a server.
  SandboxLog sandboxLog;
  std::optional<korvani::sandbox::SandboxServer> sandbox;
  if (!options.baseUrl) {
    korvani::sandbox::SandboxOptions sandboxOptions;
    sandboxOptions.logSink = [&sandboxLog](const std::string& line) { sandboxLog.add(line); };
    std::string error;
    if (!sandbox.emplace(std::move(sandboxOptions)).start(&error)) {
      std::cerr << "checkout_demo: the sandbox did not start: " << error << '\n';
      return kCannotRun;
    }
  }
  const std::string baseUrl = sandbox ? sandbox->baseUrl() : *options.baseUrl;

  // 1. Trust. TLS verification is always on: a server whose certificate comes from a private
  //    authority (the sandbox, --ca-file) needs that authority beside the system store.
  const auto session = korvani::platform::URLSession::sharedSession();
  if (sandbox) session->addTrustedCertificatesPem(sandbox->caCertificatePem());
  if (options.caFile && !session->addTrustedCertificatesFile(*options.caFile)) {
    std::cerr << "checkout_demo: --ca-file: cannot read " << *options.caFile << '\n';
    return kBadArguments;
  }
  //    Both on by default; a host turns re-sending off when its platform ignores idempotency
  //    keys.
  session->setResendEnabled(options.recover);
  session->setWarmUpEnabled(options.warmUp);

  // 2. The host services the plug-in looks up: reachability and the tracker's listener.
  if (options.offline || sandbox) {
    const auto status =
        options.offline ? ZRNetworkStatus::NotReachable : ZRNetworkStatus::ReachableViaWiFi;
    ZRReachability::setProvider([status] { return std::make_shared<FixedReachability>(status); });
  }
  const auto trackListener = std::make_shared<korvani::host::RecordingTrackListener>();
  korvani::host::KVQTracker::setTrackListener(trackListener);

  // 3. The configuration: where to pay, who calls, what is paid and how to digest. A member
  //    left unset leaves its part out of the request (without a path nothing is sent).
  auto configuration = std::make_shared<korvani::PaymentPluginConfiguration>();
  configuration->baseUrl = baseUrl;
  configuration->path = options.path;
  configuration->accessToken = options.accessToken;
  configuration->appVersion = options.appVersion;
  configuration->brixSessionId = options.sessionId;
  configuration->source = options.source;
  configuration->userAgent = options.userAgent;
  configuration->checkoutPreference =
      korvani::PaymentPluginPreference::fromJson(options.preference);
  configuration->merchantOrder =
      korvani::PaymentPluginMerchantOrder::fromJson(options.merchantOrder);
  configuration->discount = korvani::PaymentDiscount::fromJson(options.discount);
  configuration->internalMetadata = options.metadata;
  if (options.sha256) configuration->sha256 = korvani::sha256Hex;

  // 4. The component, which the host hands to its checkout as the payment plug-in.
  const auto component = korvani::PaymentPluginComponent::create(configuration);

  // 5. What the checkout hands over: its store, holding the payer's choices (and a
  //    second-factor code under "auth_code"), and its navigation handler.
  const auto store =
      std::make_shared<korvani::host::InMemoryCheckoutStore>(korvani::host::makePaymentData({
          .paymentMethodId = options.paymentMethod,
          .paymentTypeId = options.paymentType,
          .issuerId = options.issuer,
          .tokenId = options.token,
          .installments = options.installments,
      }));
  if (options.authCode) {
    store->setData(korvani::Constants::AuthCode,
                   korvani::AuthCode(*options.authCode, true).toDictionary());
  }
  const auto navigationHandler = std::make_shared<RecordingNavigationHandler>();
  component->didReceive(store);
  component->navigationHandlerForPlugin(navigationHandler);

  // 6. Rendering has finished (the plug-in offers no view): the payment starts, and
  //    renderDidFinish() returns at once.
  std::cout << "Checkout demo: paying at " << baseUrl
            << (sandbox ? " (sandbox in this process)" : "")
            << (options.scenario ? ", scenario " + *options.scenario : std::string())
            << (options.offline ? ", offline" : "") << "\n\n";
  component->render(store, std::make_shared<korvani::host::VQTheme>());
  component->renderDidFinish();
  // The request as the payment service sends it, rebuilt by the component's own manager from
  // the same state (same creation time, so the same idempotency key).
  printRequest(
      std::cout,
      korvani::PaymentService::create(component->manager().currentConfiguration())->config);
  std::cout << '\n';

  // 7. This thread is the host's main thread: the plug-in's callbacks run while it drains the
  //    main queue, until the navigation handler has its report.
  const bool gotReport = korvani::platform::MainQueue::runUntil(
      [&] {
        const auto calls = navigationHandler->calls();
        return std::any_of(calls.begin(), calls.end(), isReport);
      },
      std::chrono::steady_clock::now() + kReportDeadline);
  korvani::platform::MainQueue::runUntilIdle();

  // What the host saw.
  const auto calls = navigationHandler->calls();
  printNavigationCalls(std::cout, calls);
  std::cout << '\n';
  printTrackingEvents(std::cout, trackListener->events());
  std::cout << '\n';
  if (sandbox) {
    sandbox->stop();
    printLines(std::cout, "Sandbox log", sandboxLog.lines());
    std::cout << '\n';
  }
  printOutcome(std::cout, calls);
  std::cout.flush();

  korvani::host::KVQTracker::setTrackListener(nullptr);
  ZRReachability::setProvider({});
  if (!gotReport) {
    std::cerr << "checkout_demo: no report reached the navigation handler within "
              << kReportDeadline.count() << " s\n";
    return kNoReport;
  }
  return kReported;
}
