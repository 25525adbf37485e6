#include "korvani/payment_plugin_component.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "front_fixture.hpp"
#include "korvani/payment_configuration_manager.hpp"
#include "korvani/payment_service.hpp"
#include "korvani/payment_view_model.hpp"
#include "korvani/platform/url_session.hpp"
#include "transport/worker.hpp"

namespace korvani {
namespace {

// Made only by create(): one on the stack would never hear its outcome.
static_assert(
    !std::is_constructible_v<PaymentPluginComponent, std::shared_ptr<PaymentPluginConfiguration>>);
static_assert(!std::is_default_constructible_v<PaymentViewModel>);
static_assert(!std::is_constructible_v<BaseService, ServiceConfig>);
static_assert(!std::is_constructible_v<PaymentService, PaymentConfiguration>);

using namespace front_test;
using host::RecordingNavigationHandler;
using Call = RecordingNavigationHandler::Call;
using CallKind = RecordingNavigationHandler::CallKind;

class PaymentPluginComponentTest : public FrontTest {
 protected:
  std::shared_ptr<PaymentPluginComponent> component(const std::string& path) {
    auto configuration = std::make_shared<PaymentPluginConfiguration>();
    configuration->baseUrl = server.origin();
    configuration->path = path;
    return PaymentPluginComponent::create(configuration);
  }

  static std::shared_ptr<host::InMemoryCheckoutStore> cardStore(const std::string& token) {
    return std::make_shared<host::InMemoryCheckoutStore>(
        host::makePaymentData({"visa", "credit_card", "310", token, 3}));
  }

  // The component handed a store and a handler, as the host does before rendering ends.
  std::shared_ptr<PaymentPluginComponent> readyComponent(const std::string& path) {
    auto ready = component(path);
    ready->didReceive(cardStore("tok-1"));
    ready->navigationHandlerForPlugin(handler);
    return ready;
  }

  static bool finished(const std::shared_ptr<RecordingNavigationHandler>& recorder) {
    return recorder->calls().size() >= 3;
  }

  // The body of the n-th request the server received.
  JsonObject body(std::size_t n) { return test_support::jsonObject(server.requests().at(n).body); }

  std::shared_ptr<RecordingNavigationHandler> handler =
      std::make_shared<RecordingNavigationHandler>();
};

TEST_F(PaymentPluginComponentTest, NothingHappensBeforeRenderingHasFinished) {
  auto paying = component("/v1/payments");
  const auto store = cardStore("tok-1");
  EXPECT_EQ(paying->render(store, std::make_shared<host::VQTheme>()), nullptr);
  EXPECT_EQ(paying->store, nullptr) << "render keeps nothing";

  // Every handler handed over is told that work begins, once.
  auto second = std::make_shared<RecordingNavigationHandler>();
  paying->navigationHandlerForPlugin(handler);
  paying->navigationHandlerForPlugin(second);
  paying->didReceive(store);
  EXPECT_EQ(paying->store, store);
  EXPECT_EQ(paying->manager().store, nullptr) << "nothing is forwarded before rendering ends";
  platform::MainQueue::runUntilIdle();
  EXPECT_EQ(handler->callKinds(), std::vector<CallKind>{CallKind::beginPluginWork});
  EXPECT_EQ(second->callKinds(), std::vector<CallKind>{CallKind::beginPluginWork});
  EXPECT_EQ(server.requestCount(), 0u);
}

// Rendering has finished: the component pays with the store's data and, after ending the work,
// reports the payment's texts and receipt, here none (every kind of answer and its report: the
// soak test).
TEST_F(PaymentPluginComponentTest, RenderDidFinishPaysWithTheStoreAndReportsTheOutcome) {
  server.on("/no-id", Reply::with(201, paymentAnswer(R"("status": "in_process",
                                                         "status_detail": "pending")")));
  auto paying = readyComponent("/no-id");
  paying->renderDidFinish();
  EXPECT_EQ(handler->calls().size(), 1u) << "the payment must run asynchronously";
  ASSERT_TRUE(drainUntil([&] { return finished(handler); }));
  // The body's other members are the configuration manager's; the token is the store's.
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(textAt(body(0), "token"), "tok-1");
  const auto calls = handler->calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].kind, CallKind::endPluginWork);
  EXPECT_EQ(calls[2], (Call{CallKind::finishWithStatusText, "in_process", {}, "pending", {}}));
}

TEST_F(PaymentPluginComponentTest, WithoutAStoreThePaymentRunsWithTheDataHandedOverBefore) {
  server.on("/v1/payments", Reply::with(201, kApproved));
  auto paying = component("/v1/payments");
  paying->navigationHandlerForPlugin(handler);
  paying->renderDidFinish();
  ASSERT_TRUE(drainUntil([&] { return finished(handler); }));
  EXPECT_FALSE(body(0).contains("payment_method_id"));

  const auto store = cardStore("tok-9");
  paying->didReceive(store);
  paying->renderDidFinish();
  paying->store = nullptr;
  paying->renderDidFinish();
  ASSERT_TRUE(server.waitForRequests(3, 5s));
  EXPECT_EQ(textAt(body(2), "token"), "tok-9");
}

// What the host's own services do wrong never comes back to it as an exception: a reachability
// provider that throws counts as no network, and a network thread that cannot start fails the
// request. Either way the payment ends with one report without payment.
TEST_F(PaymentPluginComponentTest, NoExceptionCrossesIntoTheHost) {
  server.on("/v1/payments", Reply::with(201, kApproved));
  const auto failsOnce = [&](const char* name) {
    SCOPED_TRACE(name);
    auto paying = component("/v1/payments");
    auto recorder = std::make_shared<RecordingNavigationHandler>();
    EXPECT_NO_THROW(paying->didReceive(cardStore("tok-1")));
    EXPECT_NO_THROW(paying->navigationHandlerForPlugin(recorder));
    EXPECT_NO_THROW(paying->renderDidFinish());
    ASSERT_TRUE(drainUntil([&] { return finished(recorder); }));
    drainPastSlowReplies();
    const auto calls = recorder->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].kind, CallKind::finishWithStatus);
  };
  host::ZRReachability::setProvider(
      []() -> std::shared_ptr<host::ZRReachability> { throw std::runtime_error("no radio"); });
  failsOnce("throwing reachability provider");
  setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);

  auto session = platform::URLSession::sharedSession();
  ASSERT_TRUE(session->shutdown(5s));
  platform::transport::Worker::refuseThreadStartsForTesting(true);
  failsOnce("network thread that cannot start");
  platform::transport::Worker::refuseThreadStartsForTesting(false);
  EXPECT_EQ(server.requestCount(), 0u);
}

// The outcome goes to the handler present when it arrives (a component released mid-payment
// reports and tracks nothing: the soak test).
TEST_F(PaymentPluginComponentTest, OutcomeGoesToTheHandlerPresentWhenItArrives) {
  server.on("/slow", slowReply(kApproved));
  auto paying = readyComponent("/slow");
  paying->renderDidFinish();
  auto replacement = std::make_shared<RecordingNavigationHandler>();
  paying->navigationHandlerForPlugin(replacement);
  ASSERT_TRUE(drainUntil([&] { return finished(replacement); }));
  EXPECT_EQ(handler->callKinds(), std::vector<CallKind>{CallKind::beginPluginWork});
  EXPECT_EQ(replacement->callKinds(),
            (std::vector<CallKind>{CallKind::beginPluginWork, CallKind::endPluginWork,
                                   CallKind::finishWithStatusText}));

  // Removed while the payment runs: nobody is told, the event is still tracked.
  listener->clear();
  replacement->clear();
  paying->renderDidFinish();
  paying->navigationHandler = nullptr;
  ASSERT_TRUE(drainUntil([&] { return !listener->events().empty(); }));
  EXPECT_TRUE(replacement->calls().empty());
  EXPECT_EQ(listener->events()[0].result, "success");
}

}  // namespace
}  // namespace korvani
