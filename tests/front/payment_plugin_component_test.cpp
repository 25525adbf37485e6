#include "korvani/payment_plugin_component.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "front_fixture.hpp"
#include "korvani/payment_service.hpp"

namespace korvani {
namespace {

using front_test::FrontTest;
using front_test::kApprovedRaw;
using front_test::paymentAnswer;
using front_test::textAt;
using host::RecordingNavigationHandler;
using test_support::Reply;
using test_support::TestServer;
using CallKind = RecordingNavigationHandler::CallKind;
using namespace std::chrono_literals;

// A handler that notes, when told that work begins, whether the component already held it.
class HandOverProbe final : public host::VQPluginNavigationHandler {
 public:
  using VQPluginNavigationHandler::didFinishPayment;

  std::weak_ptr<PaymentPluginComponent> component;
  int beginCalls = 0;
  int otherCalls = 0;
  bool heldAtBegin = false;

  void beginPluginWork() override {
    ++beginCalls;
    const auto owner = component.lock();
    heldAtBegin = owner && owner->navigationHandler.get() == this;
  }
  void endPluginWork() override { ++otherCalls; }
  void didFinishPayment(const std::string&, const std::string&,
                        const std::optional<std::string>&) override {
    ++otherCalls;
  }
  void didFinishPayment(RemotePaymentStatus, const std::string&,
                        const std::optional<std::string>&) override {
    ++otherCalls;
  }
};

class PaymentPluginComponentTest : public FrontTest {
 protected:
  std::shared_ptr<PaymentPluginConfiguration> configurationFor(const std::string& origin,
                                                               const std::string& path) {
    auto configuration = std::make_shared<PaymentPluginConfiguration>();
    configuration->baseUrl = origin;
    configuration->path = path;
    configuration->accessToken = "TEST-token";
    return configuration;
  }

  static std::shared_ptr<host::InMemoryCheckoutStore> cardStore(const std::string& token) {
    return std::make_shared<host::InMemoryCheckoutStore>(host::makePaymentData({
        .paymentMethodId = "visa",
        .paymentTypeId = "credit_card",
        .issuerId = "310",
        .tokenId = token,
        .installments = 3,
    }));
  }

  // The component handed a store and a handler, as the host does before rendering ends.
  std::shared_ptr<PaymentPluginComponent> readyComponent(const std::string& path) {
    auto component = PaymentPluginComponent::create(configurationFor(server.origin(), path));
    component->didReceive(cardStore("tok-1"));
    component->navigationHandlerForPlugin(handler);
    return component;
  }

  bool finished(const std::shared_ptr<RecordingNavigationHandler>& recorder) {
    return recorder->calls().size() >= 3;
  }

  TestServer server;
  std::shared_ptr<RecordingNavigationHandler> handler =
      std::make_shared<RecordingNavigationHandler>();
};

TEST_F(PaymentPluginComponentTest, QueriesAnswerFixedValuesAndRenderKeepsNothing) {
  server.on("/v1/payments", Reply::json(201, paymentAnswer(kApprovedRaw)));
  auto component =
      std::make_shared<PaymentPluginComponent>(configurationFor(server.origin(), "/v1/payments"));
  const auto store = cardStore("tok-1");
  const auto emptyStore = std::make_shared<host::InMemoryCheckoutStore>();
  const auto theme = std::make_shared<host::VQTheme>();

  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(component->render(store, theme), nullptr);
  }
  EXPECT_EQ(component->shouldShowNavigationBar(), std::optional<bool>(false));
  EXPECT_EQ(component->support(store), std::optional<bool>(true));
  EXPECT_EQ(component->support(emptyStore), std::optional<bool>(true));
  EXPECT_EQ(component->support(nullptr), std::optional<bool>(true));
  // Left to the host: the component offers no title or colour.
  EXPECT_EQ(component->titleForNavigationBar(), std::nullopt);
  EXPECT_EQ(component->colorForNavigationBar(), std::nullopt);

  EXPECT_EQ(component->store, nullptr);
  EXPECT_EQ(component->manager().store, nullptr);
  EXPECT_EQ(component->manager().paymentData, nullptr);
  EXPECT_EQ(component->paymentViewModel()->paymentService, nullptr);
  platform::MainQueue::runUntilIdle();
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(PaymentPluginComponentTest, HandOverBeginsWorkOnTheNewHandlerBeforeKeepingIt) {
  auto component = PaymentPluginComponent::create(configurationFor(server.origin(), "/v1"));
  auto first = std::make_shared<HandOverProbe>();
  auto second = std::make_shared<HandOverProbe>();
  first->component = component;
  second->component = component;

  component->navigationHandlerForPlugin(first);
  EXPECT_EQ(first->beginCalls, 1);
  EXPECT_FALSE(first->heldAtBegin);
  EXPECT_EQ(component->navigationHandler, first);

  component->navigationHandlerForPlugin(second);
  EXPECT_EQ(first->beginCalls, 1);
  EXPECT_EQ(second->beginCalls, 1);
  EXPECT_FALSE(second->heldAtBegin);
  EXPECT_EQ(component->navigationHandler, second);

  // Direct assignment stores and does nothing else.
  auto third = std::make_shared<HandOverProbe>();
  component->navigationHandler = third;
  EXPECT_EQ(third->beginCalls, 0);
  EXPECT_EQ(third->otherCalls, 0);
  component->store = cardStore("tok-1");
  EXPECT_EQ(component->manager().store, nullptr);

  // A later store replaces the earlier one.
  const auto store = cardStore("tok-2");
  component->didReceive(store);
  EXPECT_EQ(component->store, store);
  EXPECT_EQ(component->manager().store, nullptr) << "nothing is forwarded before rendering ends";
  platform::MainQueue::runUntilIdle();
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_EQ(first->otherCalls + second->otherCalls, 0);
}

TEST_F(PaymentPluginComponentTest, RenderDidFinishPaysWithTheStoreAndReportsThePayment) {
  server.on("/v1/payments", Reply::json(201, paymentAnswer(kApprovedRaw)));
  auto component = readyComponent("/v1/payments");
  const auto store = component->store;

  component->renderDidFinish();
  EXPECT_EQ(component->manager().paymentData, store->currentPaymentData());
  EXPECT_EQ(component->manager().store, store);
  EXPECT_EQ(handler->calls().size(), 1u) << "the payment must run asynchronously";
  ASSERT_TRUE(drainUntil([&] { return finished(handler); }));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto body = parseJson(requests[0].body);
  ASSERT_TRUE(body && body->isObject());
  EXPECT_EQ(textAt(*body->asObject(), "payment_method_id"), "visa");
  EXPECT_EQ(textAt(*body->asObject(), "token"), "tok-1");
  EXPECT_EQ(body->asObject()->getInt64("installments"), 3);

  const auto calls = handler->calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].kind, CallKind::beginPluginWork);
  EXPECT_EQ(calls[1].kind, CallKind::endPluginWork);
  EXPECT_EQ(calls[2], (RecordingNavigationHandler::Call{CallKind::finishWithStatusText, "approved",
                                                        std::nullopt, "accredited", "123"}));
  ASSERT_EQ(listener->events().size(), 1u);
  EXPECT_EQ(listener->events()[0].result, "success");
}

TEST_F(PaymentPluginComponentTest, WithoutAStoreThePaymentStillRuns) {
  server.on("/v1/payments", Reply::json(201, paymentAnswer(kApprovedRaw)));
  auto component =
      PaymentPluginComponent::create(configurationFor(server.origin(), "/v1/payments"));
  component->navigationHandlerForPlugin(handler);

  component->renderDidFinish();
  EXPECT_EQ(component->manager().paymentData, nullptr);
  EXPECT_EQ(component->manager().store, nullptr);
  ASSERT_TRUE(drainUntil([&] { return finished(handler); }));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto body = parseJson(requests[0].body);
  ASSERT_TRUE(body && body->isObject());
  EXPECT_FALSE(body->asObject()->contains("payment_method_id"));
  EXPECT_EQ(handler->calls().back().kind, CallKind::finishWithStatusText);

  // Store data passed by an earlier run stays with the manager when the store goes away.
  const auto store = cardStore("tok-9");
  component->didReceive(store);
  component->renderDidFinish();
  component->store = nullptr;
  component->renderDidFinish();
  EXPECT_EQ(component->manager().store, store);
  ASSERT_TRUE(server.waitForRequests(3, 5s));
  const auto third = parseJson(server.requests().at(2).body);
  ASSERT_TRUE(third && third->isObject());
  EXPECT_EQ(textAt(*third->asObject(), "token"), "tok-9");
}

TEST_F(PaymentPluginComponentTest, OutcomesMapToTheHostReports) {
  server.on("/id-123", Reply::json(201, paymentAnswer(kApprovedRaw)));
  server.on("/no-id", Reply::json(201, paymentAnswer(R"("status": "approved",
                                                         "status_detail": "accredited")")));
  server.on("/large-id",
            Reply::json(201, paymentAnswer(R"("id": 18446744073709551615, "status": "in_process",
                                               "status_detail": "pending_contingency")")));
  server.on("/odd-texts", Reply::json(201, paymentAnswer(R"("id": 0, "status": "",
                                               "status_detail": " Ünïcode\ttext ")")));
  server.on("/server-error", Reply::json(500, paymentAnswer(kApprovedRaw)));
  server.on("/array", Reply::json(201, "[" + paymentAnswer(kApprovedRaw) + "]"));
  server.on("/no-status", Reply::json(201, paymentAnswer(R"("id": 5, "status_detail": "x")")));
  const std::string closedOrigin =
      "https://127.0.0.1:" + std::to_string(test_support::closedPort());

  using Call = RecordingNavigationHandler::Call;
  const Call noPayment{CallKind::finishWithStatus, "",
                       host::VQPaymentMethodPlugin::RemotePaymentStatus{1},
                       host::VQPluginNavigationHandler::kDefaultStatusDetails, std::nullopt};
  const struct {
    std::string origin;
    std::string path;
    Call report;
  } cases[] = {
      {server.origin(),
       "/id-123",
       {CallKind::finishWithStatusText, "approved", std::nullopt, "accredited", "123"}},
      {server.origin(),
       "/no-id",
       {CallKind::finishWithStatusText, "approved", std::nullopt, "accredited", std::nullopt}},
      {server.origin(),
       "/large-id",
       {CallKind::finishWithStatusText, "in_process", std::nullopt, "pending_contingency",
        "18446744073709551615"}},
      {server.origin(),
       "/odd-texts",
       {CallKind::finishWithStatusText, "", std::nullopt, " Ünïcode\ttext ", "0"}},
      {server.origin(), "/server-error", noPayment},
      {server.origin(), "/array", noPayment},
      {server.origin(), "/no-status", noPayment},
      {closedOrigin, "/v1/payments", noPayment},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.path + " at " + testCase.origin);
    auto recorder = std::make_shared<RecordingNavigationHandler>();
    auto component =
        PaymentPluginComponent::create(configurationFor(testCase.origin, testCase.path));
    component->didReceive(cardStore("tok-1"));
    component->navigationHandlerForPlugin(recorder);
    component->renderDidFinish();
    ASSERT_TRUE(drainUntil([&] { return finished(recorder); }));
    const auto calls = recorder->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, CallKind::beginPluginWork);
    EXPECT_EQ(calls[1].kind, CallKind::endPluginWork);
    EXPECT_EQ(calls[2], testCase.report);
  }
}

TEST_F(PaymentPluginComponentTest, OutcomeGoesToTheHandlerPresentWhenItArrives) {
  Reply slow = Reply::json(201, paymentAnswer(kApprovedRaw));
  slow.delay = 200ms;
  server.on("/slow", slow);

  // Replaced while the payment runs: the new handler gets the end and the report.
  auto component = readyComponent("/slow");
  component->renderDidFinish();
  auto replacement = std::make_shared<RecordingNavigationHandler>();
  component->navigationHandlerForPlugin(replacement);
  ASSERT_TRUE(drainUntil([&] { return finished(replacement); }));
  EXPECT_EQ(handler->callKinds(), std::vector<CallKind>{CallKind::beginPluginWork});
  EXPECT_EQ(replacement->callKinds(),
            (std::vector<CallKind>{CallKind::beginPluginWork, CallKind::endPluginWork,
                                   CallKind::finishWithStatusText}));

  // Removed while the payment runs: nobody is told, the event is still tracked.
  listener->clear();
  handler->clear();
  component->navigationHandler = handler;
  component->renderDidFinish();
  component->navigationHandler = nullptr;
  ASSERT_TRUE(drainUntil([&] { return !listener->events().empty(); }));
  EXPECT_TRUE(handler->calls().empty());
  EXPECT_EQ(listener->events()[0].result, "success");
}

TEST_F(PaymentPluginComponentTest, DestroyedComponentReportsAndTracksNothing) {
  Reply slow = Reply::json(201, paymentAnswer(kApprovedRaw));
  slow.delay = 300ms;
  server.on("/slow", slow);

  auto component = readyComponent("/slow");
  component->renderDidFinish();
  const std::weak_ptr<PaymentViewModel> viewModel = component->paymentViewModel();
  const std::weak_ptr<PaymentService> service = component->paymentViewModel()->paymentService;
  ASSERT_TRUE(server.waitForRequests(1, 5s));
  component.reset();
  EXPECT_TRUE(viewModel.expired());
  EXPECT_TRUE(service.expired());
  drainFor(800ms);
  EXPECT_EQ(handler->callKinds(), std::vector<CallKind>{CallKind::beginPluginWork});
  EXPECT_TRUE(listener->events().empty());
}

TEST_F(PaymentPluginComponentTest, SecondRenderDidFinishSupersedesTheFirst) {
  // The card token decides: the first card's answer is slow, the second's immediate.
  server.on("/v1/payments", [](const test_support::RecordedRequest& request) {
    const bool first = request.body.find("tok-first") != std::string::npos;
    Reply reply = Reply::json(201, paymentAnswer(std::string(R"("id": )") + (first ? "1" : "2") +
                                                 R"(, "status": "approved",
                                                    "status_detail": "accredited")"));
    if (first) reply.delay = 300ms;
    return reply;
  });

  auto component = readyComponent("/v1/payments");
  component->didReceive(cardStore("tok-first"));
  component->renderDidFinish();
  const std::weak_ptr<PaymentService> firstService = component->paymentViewModel()->paymentService;
  component->didReceive(cardStore("tok-second"));
  component->renderDidFinish();
  EXPECT_TRUE(firstService.expired());
  ASSERT_TRUE(server.waitForRequests(2, 5s));
  ASSERT_TRUE(drainUntil([&] { return finished(handler); }));
  drainFor(800ms);  // the first answer arrives meanwhile

  const auto calls = handler->calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].receiptId, "2");
  EXPECT_EQ(listener->events().size(), 1u);
}

}  // namespace
}  // namespace korvani
