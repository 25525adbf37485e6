// The whole road of a payment: the host protocol on the component, request assembly, HTTPS to
// the in-process sandbox, parsing, the report to the navigation handler and the tracking event.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "korvani/auth_code.hpp"
#include "korvani/constants.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/payment_plugin_configuration.hpp"
#include "korvani/platform/error.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_session.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "support/fakes.hpp"
#include "support/sandbox_checkout.hpp"

namespace korvani {
namespace {

using host::RecordingNavigationHandler;
using CallKind = RecordingNavigationHandler::CallKind;
using Call = RecordingNavigationHandler::Call;

const Call kNoPaymentReport{CallKind::finishWithStatus, "",
                            host::VQPaymentMethodPlugin::RemotePaymentStatus{1},
                            host::VQPluginNavigationHandler::kDefaultStatusDetails, std::nullopt};

// What the payer chose in the host checkout: a card (token) or account money (amount).
struct Choice {
  std::string paymentMethodId;
  std::optional<std::string> cardToken;
  std::string amount = "150.75";
};

Choice card(const std::string& scenario) {
  return {"visa", sandbox::sandboxTokenForScenario(scenario).value()};
}

std::shared_ptr<host::PaymentData> paymentDataFor(const Choice& choice) {
  if (!choice.cardToken) {
    return host::makePaymentData(
        {.paymentMethodId = "account_money", .paymentTypeId = "account_money"});
  }
  return host::makePaymentData({.paymentMethodId = choice.paymentMethodId,
                                .paymentTypeId = "credit_card",
                                .issuerId = "310",
                                .tokenId = choice.cardToken,
                                .installments = 3});
}

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
  std::shared_ptr<PaymentPluginComponent> pay(const Choice& choice) {
    auto configuration = std::make_shared<PaymentPluginConfiguration>();
    configuration->baseUrl = server->baseUrl();
    configuration->path = "/v1/payments";
    configuration->accessToken = "TEST-e2e-token";
    configuration->checkoutPreference = PaymentPluginPreference::fromJsonText(
        R"({"id": "pref-e2e", "items": [{"title": "Lamp", "quantity": 1, "currency_id": "EUR"}],
            "amount": )" +
        choice.amount +
        R"(, "collector_id": 5544, "marketplace": "NONE", "operation_type": "regular_payment"})");
    configuration->merchantOrder = PaymentPluginMerchantOrder::fromJsonText(
        R"({"id": 4242, "external_reference": "order-e2e"})");
    configuration->sha256 = [](const std::string& fragment) -> std::optional<std::string> {
      return test_support::sha256Hex(fragment);
    };
    store = std::make_shared<host::InMemoryCheckoutStore>(paymentDataFor(choice));
    store->setData(Constants::AuthCode, AuthCode("482913", true).toDictionary());
    handler = std::make_shared<RecordingNavigationHandler>();
    auto component = PaymentPluginComponent::create(configuration);
    component->didReceive(store);
    component->navigationHandlerForPlugin(handler);
    renderAndWait(*component);
    return component;
  }

  // Each render ends the plug-in's work and then reports once.
  void renderAndWait(PaymentPluginComponent& component) {
    const std::size_t before = handler->calls().size();
    component.renderDidFinish();
    EXPECT_TRUE(platform::MainQueue::runFor([&] { return handler->calls().size() >= before + 2; },
                                            std::chrono::seconds(15)));
    platform::MainQueue::runUntilIdle();
    ASSERT_EQ(handler->calls().size(), before + 2);
    EXPECT_EQ(handler->calls()[before].kind, CallKind::endPluginWork);
  }

  std::unique_ptr<sandbox::SandboxServer> server;
  std::shared_ptr<host::RecordingTrackListener> events =
      std::make_shared<host::RecordingTrackListener>();
  std::shared_ptr<host::InMemoryCheckoutStore> store;
  std::shared_ptr<RecordingNavigationHandler> handler;
};

TEST_F(CheckoutEndToEndTest, PaymentsAreReportedWithTheirReceiptAndTracked) {
  const struct {
    Choice choice;
    std::string status;
    std::string statusDetail;
  } cases[] = {
      {card("approved"), "approved", "accredited"},
      {card("rejected"), "rejected", "cc_rejected_other_reason"},
      {card("in-process"), "in_process", "pending_contingency"},
      {{"account_money", std::nullopt, *sandbox::sandboxAmountForScenario("rejected")},
       "rejected",
       "cc_rejected_other_reason"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.choice.cardToken.value_or(c.choice.amount));
    const std::uint64_t id = server->nextPaymentId();
    events->clear();
    pay(c.choice);
    EXPECT_EQ(handler->calls().back(), (Call{CallKind::finishWithStatusText, c.status, std::nullopt,
                                             c.statusDetail, std::to_string(id)}));
    const auto tracked = events->events();
    ASSERT_EQ(tracked.size(), 1u);
    EXPECT_EQ(tracked[0].screenName, "/myzr/account_balance");
    EXPECT_EQ(tracked[0].action, "post_payment");
    EXPECT_EQ(tracked[0].result, "success");
    ASSERT_TRUE(tracked[0].extraParams && tracked[0].extraParams->size() == 1u);
    const JsonObject* raw = tracked[0].extraParams->getObject("raw");
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->getUInt64("id"), id);
    EXPECT_EQ(*raw->getString("status"), c.status);
    EXPECT_EQ(*raw->getString("payment_method_id"), c.choice.paymentMethodId);
    EXPECT_EQ(raw->getNumber("transaction_amount"), Decimal::fromString(c.choice.amount));
    EXPECT_EQ(*raw->getString("external_reference"), "order-e2e");
  }
}

TEST_F(CheckoutEndToEndTest, AnswersWithoutAPaymentAreReportedAsStatusOne) {
  const struct {
    const char* scenario;
    std::optional<std::string> trackedError;  // nullopt: no event at all
  } cases[] = {
      {"server-error", ""},            // an HTTP error answer carries no error object
      {"invalid-json", std::nullopt},  // answers that hold no payment are not tracked
      {"json-array", std::nullopt},
      {"missing-status", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    events->clear();
    pay(card(c.scenario));
    EXPECT_EQ(handler->calls().back(), kNoPaymentReport);
    const auto tracked = events->events();
    ASSERT_EQ(tracked.size(), c.trackedError ? 1u : 0u);
    if (c.trackedError) {
      EXPECT_EQ(tracked[0].result, "fail");
      EXPECT_EQ(tracked[0].extraParams, JsonObject({{"error", *c.trackedError}}));
    }
  }
}

TEST_F(CheckoutEndToEndTest, AnswerLostOnAWarmConnectionIsReportedOnceAndNeverSentAgain) {
  // A first payment leaves a kept-alive connection behind; the lost answer then happens on a
  // reused connection, where a transport is tempted to send the POST again.
  pay(card("approved"));
  const std::uint64_t paymentId = server->nextPaymentId();
  events->clear();
  pay(card("drop"));

  EXPECT_EQ(handler->callKinds(),
            (std::vector<CallKind>{CallKind::beginPluginWork, CallKind::endPluginWork,
                                   CallKind::finishWithStatus}));
  EXPECT_EQ(handler->calls().back(), kNoPaymentReport);
  EXPECT_EQ(server->nextPaymentId(), paymentId + 1) << "the sandbox created the payment once";
  EXPECT_EQ(server->counters().requestsServed, 2u) << "the payment was posted a second time";
  const auto tracked = events->events();
  ASSERT_EQ(tracked.size(), 1u);
  EXPECT_EQ(tracked[0].result, "fail");
  const std::string lost =
      platform::Error(platform::kURLErrorDomain, platform::kURLErrorNetworkConnectionLost)
          .localizedDescription();
  EXPECT_EQ(tracked[0].extraParams, JsonObject({{"error", lost}}));
}

TEST_F(CheckoutEndToEndTest, APaymentAfterAPauseNeverRidesAConnectionTheServerMayBeClosing) {
  // Back to back, payments share the kept-alive connection. After a pause the server may be
  // closing it just as the POST goes out, which would lose the payment: a new one is opened.
  pay(card("approved"));
  pay(card("approved"));
  EXPECT_EQ(server->counters().connectionsAccepted, 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  pay(card("approved"));
  EXPECT_EQ(server->counters().connectionsAccepted, 2u);
  EXPECT_EQ(handler->calls().back().kind, CallKind::finishWithStatusText);
}

TEST_F(CheckoutEndToEndTest, UnchangedInputsReplayTheSamePaymentAndANewCardIsANewOne) {
  const auto component = pay(card("approved"));
  const std::uint64_t nextId = server->nextPaymentId();
  const Call firstReport = handler->calls().back();
  ASSERT_EQ(firstReport.kind, CallKind::finishWithStatusText);

  // The host renders again with the same store: same idempotency key, same body.
  renderAndWait(*component);
  EXPECT_EQ(handler->calls().back(), firstReport);
  EXPECT_EQ(server->nextPaymentId(), nextId) << "a replay creates no payment";
  EXPECT_EQ(server->counters().requestsServed, 2u);
  const auto tracked = events->events();
  ASSERT_EQ(tracked.size(), 2u);
  EXPECT_EQ(tracked[0], tracked[1]);

  store->setPaymentData(paymentDataFor(card("in-process")));
  renderAndWait(*component);
  EXPECT_EQ(handler->calls().back().receiptId, std::to_string(nextId));
  EXPECT_EQ(handler->calls().back().statusText, "in_process");
}

}  // namespace
}  // namespace korvani
