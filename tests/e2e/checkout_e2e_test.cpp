// The whole road of a payment: the host protocol on the component, request assembly, HTTPS to
// the in-process sandbox, parsing, the report to the navigation handler and the tracking event.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "korvani/exchange_observer.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_request.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "support/fakes.hpp"
#include "support/sandbox_checkout.hpp"
#include "support/test_server.hpp"

namespace korvani {
namespace {

using namespace std::chrono_literals;
using host::RecordingNavigationHandler;
using CallKind = RecordingNavigationHandler::CallKind;
using Call = RecordingNavigationHandler::Call;

class CheckoutEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox::SandboxOptions options;
    options.workerThreads = 4;
    std::string error;
    server = test_support::startCheckoutSandbox(options, events, error);
    ASSERT_TRUE(server) << error;
  }

  void TearDown() override { test_support::stopCheckoutSandbox(server.get()); }

  // The host's part: configuration, store, handler; then renderDidFinish() until the report.
  std::shared_ptr<PaymentPluginComponent> pay(const std::string& scenario) {
    store = test_support::sandboxStore(test_support::sandboxCard(scenario));
    handler = std::make_shared<RecordingNavigationHandler>();
    auto component = PaymentPluginComponent::create(test_support::sandboxCheckout(*server));
    component->didReceive(store);
    component->navigationHandlerForPlugin(handler);
    renderAndWait(*component);
    return component;
  }

  // Each render ends the plug-in's work and then reports once.
  void renderAndWait(PaymentPluginComponent& component) {
    const std::size_t before = handler->calls().size();
    EXPECT_TRUE(test_support::renderUntilReported(component, *handler, std::chrono::seconds(15)));
    ASSERT_EQ(handler->calls().size(), before + 2);
    EXPECT_EQ(handler->calls()[before].kind, CallKind::endPluginWork);
  }

  test_support::ProcessState state;  // outlives the server
  std::unique_ptr<sandbox::SandboxServer> server;
  std::shared_ptr<host::RecordingTrackListener> events =
      std::make_shared<host::RecordingTrackListener>();
  std::shared_ptr<host::InMemoryCheckoutStore> store;
  std::shared_ptr<RecordingNavigationHandler> handler;
};

// Every kind of answer is checked against its report and event by the soak test; here the
// details of one payment, and a render with unchanged inputs.
TEST_F(CheckoutEndToEndTest, PaymentIsReportedAndTrackedAndUnchangedInputsReplayIt) {
  const std::uint64_t id = server->nextPaymentId();
  const auto component = pay("approved");
  const Call report{CallKind::finishWithStatusText, "approved", std::nullopt, "accredited",
                    std::to_string(id)};
  EXPECT_EQ(handler->calls().back(), report);
  auto tracked = events->events();
  ASSERT_EQ(tracked.size(), 1u);
  EXPECT_EQ(tracked[0].result, "success");
  const JsonObject* raw =
      tracked[0].extraParams ? tracked[0].extraParams->getObject("raw") : nullptr;
  ASSERT_NE(raw, nullptr);
  // The sandbox echoes what the request carried.
  EXPECT_EQ(raw->getUInt64("id"), id);
  EXPECT_EQ(*raw->getString("payment_method_id"), "visa");
  EXPECT_EQ(raw->getNumber("transaction_amount"), Decimal::fromString("150.75"));
  EXPECT_EQ(*raw->getString("external_reference"), "order-checkout");

  // The host renders again with the same store: same idempotency key, same body.
  renderAndWait(*component);
  EXPECT_EQ(handler->calls().back(), report);
  EXPECT_EQ(server->nextPaymentId(), id + 1) << "a replay creates no payment";
  EXPECT_EQ(server->counters().requestsServed, 2u);
  tracked = events->events();
  ASSERT_EQ(tracked.size(), 2u);
  EXPECT_EQ(tracked[0], tracked[1]);

  store->setPaymentData(test_support::sandboxCard("in-process"));
  renderAndWait(*component);
  EXPECT_EQ(handler->calls().back(),
            (Call{CallKind::finishWithStatusText, "in_process", std::nullopt, "pending_contingency",
                  std::to_string(id + 1)}));
}

TEST_F(CheckoutEndToEndTest, PaymentsKeepTheirConnectionAndALostAnswerIsChargedAndReportedOnce) {
  // Back to back and after a pause, payments share the kept-alive connection and its handshake.
  pay("approved");
  pay("approved");
  std::this_thread::sleep_for(1200ms);
  pay("approved");
  EXPECT_EQ(server->counters().connectionsAccepted, 1u);
  EXPECT_EQ(server->counters().handshakesCompleted, 1u);

  // The platform creates the payment, then the kept connection dies before the answer: the POST
  // goes out once more, with the same key, on a new connection, and the platform answers with
  // the payment it created.
  const std::uint64_t paymentId = server->nextPaymentId();
  const std::uint64_t served = server->counters().requestsServed;
  events->clear();
  pay("drop");
  EXPECT_EQ(handler->calls().back(), (Call{CallKind::finishWithStatusText, "approved", std::nullopt,
                                           "accredited", std::to_string(paymentId)}));
  EXPECT_EQ(server->nextPaymentId(), paymentId + 1) << "charged once";
  EXPECT_EQ(server->counters().requestsServed, served + 2);
  EXPECT_EQ(server->counters().connectionsAccepted, 2u);
  const auto tracked = events->events();
  ASSERT_EQ(tracked.size(), 1u);
  EXPECT_EQ(tracked[0].result, "success");
}

// The checkout opens seconds before the payer pays: the connection is ready by then, and no
// request goes out before the payment.
TEST_F(CheckoutEndToEndTest, TheConnectionIsOpenedWhenTheCheckoutHandsOverItsParts) {
  const auto connectedWithin = [&](std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (server->counters().handshakesCompleted == 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(5ms);
    return server->counters().handshakesCompleted > 0;
  };
  const auto configuration = test_support::sandboxCheckout(*server);
  handler = std::make_shared<RecordingNavigationHandler>();
  store = test_support::sandboxStore(test_support::sandboxCard("approved"));

  test_support::setNetworkStatus(host::ZRNetworkStatus::NotReachable);
  auto offline = PaymentPluginComponent::create(configuration);
  offline->didReceive(store);
  offline->navigationHandlerForPlugin(handler);
  EXPECT_FALSE(connectedWithin(300ms)) << "nothing is opened without a network";

  test_support::setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);
  auto component = PaymentPluginComponent::create(configuration);
  component->navigationHandlerForPlugin(handler);
  ASSERT_TRUE(connectedWithin(10s));
  EXPECT_EQ(server->counters().requestsServed, 0u);
  component->didReceive(store);
  renderAndWait(*component);
  EXPECT_EQ(handler->calls().back().kind, CallKind::finishWithStatusText);
  EXPECT_EQ(server->counters().connectionsAccepted, 1u);
  EXPECT_EQ(server->counters().requestsServed, 1u);
}

// Re-sending on and off, warm-up on and off: what the host hears when the platform charges and
// the connection then drops, when it answers 500, and what a keyless request gets.
class ResendEndToEndTest : public CheckoutEndToEndTest,
                           public ::testing::WithParamInterface<std::tuple<bool, bool>> {
 protected:
  void SetUp() override {
    CheckoutEndToEndTest::SetUp();
    const auto session = platform::URLSession::sharedSession();
    session->setResendEnabled(std::get<0>(GetParam()));
    session->setWarmUpEnabled(std::get<1>(GetParam()));
  }
  void TearDown() override {
    const auto session = platform::URLSession::sharedSession();
    session->setResendEnabled(true);
    session->setWarmUpEnabled(true);
    CheckoutEndToEndTest::TearDown();
  }
};

TEST_P(ResendEndToEndTest, ALostAnswerIsRecoveredOnlyUnderItsKeyAndAnAnswerIsNeverSentTwice) {
  const bool resend = std::get<0>(GetParam());
  const std::uint64_t id = server->nextPaymentId();
  std::vector<ExchangeOutcome> observed;
  setExchangeObserver([&](const ExchangeOutcome& outcome) { observed.push_back(outcome); });
  pay("drop");
  setExchangeObserver({});
  EXPECT_EQ(server->nextPaymentId(), id + 1) << "charged once";
  EXPECT_EQ(server->counters().requestsServed, resend ? 2u : 1u);
  // The diagnostics tell what the report cannot: the answer came to the copy.
  ASSERT_EQ(observed.size(), 1u);
  EXPECT_EQ(observed[0].sendCount, resend ? 2u : 1u);
  EXPECT_EQ(observed[0].statusCode, resend ? std::optional<long>(201) : std::nullopt);
  EXPECT_EQ(observed[0].error ? observed[0].error->code() : std::int64_t{0},
            resend ? std::int64_t{0} : std::int64_t{platform::kURLErrorNetworkConnectionLost});
  if (resend) {
    EXPECT_EQ(handler->calls().back(), (Call{CallKind::finishWithStatusText, "approved",
                                             std::nullopt, "accredited", std::to_string(id)}));
  } else {
    EXPECT_EQ(handler->calls().back().paymentStatus,
              host::VQPaymentMethodPlugin::RemotePaymentStatus::Rejected);
  }
  auto tracked = events->events();
  ASSERT_EQ(tracked.size(), 1u) << "one event whatever happened underneath";
  EXPECT_EQ(tracked[0].result, resend ? "success" : "fail");

  // An answer is an outcome, 5xx included: sent once, reported without payment.
  events->clear();
  const std::uint64_t served = server->counters().requestsServed;
  pay("server-error");
  EXPECT_EQ(server->counters().requestsServed, served + 1);
  EXPECT_EQ(handler->calls().back().paymentStatus,
            host::VQPaymentMethodPlugin::RemotePaymentStatus::Rejected);
  tracked = events->events();
  ASSERT_EQ(tracked.size(), 1u);
  EXPECT_EQ(tracked[0].result, "fail");

  // Without an idempotency key a lost answer stays lost: the request is sent once.
  platform::URLRequest keyless{server->paymentsUrl() + "?access_token=TEST-keyless",
                               "POST",
                               {{"Content-Type", "application/json"}},
                               R"({"payment_method_id":"visa","token":"sbx-drop",
                                   "transaction_amount":10})",
                               10};
  const auto outcome = test_support::fetch(keyless);
  EXPECT_EQ(test_support::outcomeCode(outcome), platform::kURLErrorNetworkConnectionLost);
  EXPECT_EQ(outcome->sends, 1u);
  EXPECT_EQ(server->counters().requestsServed, served + 2);
}

INSTANTIATE_TEST_SUITE_P(ResendAndWarmUp, ResendEndToEndTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<bool, bool>>& tested) {
                           return std::string(std::get<0>(tested.param) ? "Resend" : "NoResend") +
                                  (std::get<1>(tested.param) ? "WarmUp" : "Cold");
                         });

}  // namespace
}  // namespace korvani
