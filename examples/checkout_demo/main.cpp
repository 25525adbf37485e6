// checkout_demo: a terminal host checkout. It does what a host app does to pay with the
// plug-in (configuration, checkout store, navigation handler, main-queue draining, tracker
// listener, reachability) and prints what happened on the way.

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
#include "korvani/auth_code.hpp"
#include "korvani/constants.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/payment_plugin_configuration.hpp"
#include "korvani/payment_service.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_session.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "sha256_hook.hpp"

namespace {

using namespace checkout_demo;
using korvani::host::RecordingNavigationHandler;
using korvani::host::ZRNetworkStatus;
using korvani::host::ZRReachability;

constexpr auto kReportDeadline = std::chrono::seconds(90);

enum ExitCode { kReported = 0, kCannotRun = 1, kBadArguments = 2, kNoReport = 3 };

// Reachability that reports a fixed status: offline on request, and always online for the
// in-process sandbox, which is reached over loopback whatever the machine's network.
class FixedReachability final : public ZRReachability {
 public:
  explicit FixedReachability(ZRNetworkStatus status) : status_(status) {}
  ZRNetworkStatus currentReachabilityStatus() const override { return status_; }

 private:
  ZRNetworkStatus status_;
};

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

std::shared_ptr<korvani::PaymentPluginConfiguration> makeConfiguration(const DemoOptions& options,
                                                                       const std::string& baseUrl) {
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
  if (options.sha256) configuration->sha256 = sha256Hex;
  return configuration;
}

std::shared_ptr<korvani::host::InMemoryCheckoutStore> makeStore(const DemoOptions& options) {
  auto store =
      std::make_shared<korvani::host::InMemoryCheckoutStore>(korvani::host::makePaymentData({
          .paymentMethodId = options.paymentMethod,
          .paymentTypeId = options.paymentType,
          .issuerId = options.issuer,
          .tokenId = options.token,
          .installments = options.installments,
      }));
  if (options.authCode) {
    store->setData(std::string(korvani::Constants::AuthCode),
                   korvani::AuthCode(*options.authCode, true).toDictionary());
  }
  return store;
}

int run(const DemoOptions& options) {
  // The payment platform: the sandbox in this process unless a server was named.
  SandboxLog sandboxLog;
  std::optional<korvani::sandbox::SandboxServer> sandbox;
  std::string baseUrl;
  const auto session = korvani::platform::URLSession::sharedSession();
  if (options.baseUrl) {
    baseUrl = *options.baseUrl;
  } else {
    korvani::sandbox::SandboxOptions sandboxOptions;
    sandboxOptions.logSink = [&sandboxLog](const std::string& line) { sandboxLog.add(line); };
    sandbox.emplace(std::move(sandboxOptions));
    std::string error;
    if (!sandbox->start(&error)) {
      std::cerr << "checkout_demo: the sandbox did not start: " << error << '\n';
      return kCannotRun;
    }
    baseUrl = sandbox->baseUrl();
    session->addTrustedCertificatesPem(sandbox->caCertificatePem());
  }
  if (options.caFile && !session->addTrustedCertificatesFile(*options.caFile)) {
    std::cerr << "checkout_demo: --ca-file: cannot read " << *options.caFile << '\n';
    return kBadArguments;
  }

  // Host services the plug-in looks up: reachability and the tracker's listener.
  if (options.offline || sandbox) {
    const auto status =
        options.offline ? ZRNetworkStatus::NotReachable : ZRNetworkStatus::ReachableViaWiFi;
    ZRReachability::setProvider([status] { return std::make_shared<FixedReachability>(status); });
  }
  const auto trackListener = std::make_shared<korvani::host::RecordingTrackListener>();
  korvani::host::KVQTracker::setTrackListener(trackListener);

  const auto configuration = makeConfiguration(options, baseUrl);
  const auto store = makeStore(options);
  const auto navigationHandler = std::make_shared<RecordingNavigationHandler>();

  std::cout << "Checkout demo: paying at " << baseUrl
            << (sandbox ? " (sandbox in this process)" : "")
            << (options.scenario ? ", scenario " + *options.scenario : std::string())
            << (options.offline ? ", offline" : "") << "\n\n";

  const auto component = korvani::PaymentPluginComponent::create(configuration);

  // What the host checkout does with a payment plug-in, in its order.
  if (component->support(store) == false) {
    std::cerr << "checkout_demo: the plug-in declined this checkout\n";
    return kCannotRun;
  }
  component->didReceive(store);
  component->navigationHandlerForPlugin(navigationHandler);
  component->render(store, std::make_shared<korvani::host::VQTheme>());
  component->renderDidFinish();

  // The component's own manager rebuilds the request from the same state (creation time,
  // store, configuration), and the payment service describes it as it goes on the wire.
  const auto service = korvani::PaymentService::create(component->manager().currentConfiguration());
  printRequest(std::cout, service->config);
  std::cout << '\n';

  // This thread is the host's main thread: the plug-in's callbacks run while it drains.
  const auto reported = [&navigationHandler] {
    for (const auto& call : navigationHandler->calls()) {
      if (call.kind == RecordingNavigationHandler::CallKind::finishWithStatusText ||
          call.kind == RecordingNavigationHandler::CallKind::finishWithStatus) {
        return true;
      }
    }
    return false;
  };
  const bool gotReport = korvani::platform::MainQueue::runUntil(
      reported, std::chrono::steady_clock::now() + kReportDeadline);
  korvani::platform::MainQueue::runUntilIdle();

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

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  const ParsedArguments parsed = parseArguments(arguments);
  switch (parsed.kind) {
    case ParsedArguments::Kind::help:
      std::cout << usage();
      return kReported;
    case ParsedArguments::Kind::error:
      std::cerr << "checkout_demo: " << parsed.message << "\n(--help lists the options)\n";
      return kBadArguments;
    case ParsedArguments::Kind::run:
      break;
  }
  return run(parsed.options);
}
