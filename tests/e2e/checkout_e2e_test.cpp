// The whole road of a payment: the host protocol on the component, request assembly, HTTPS to
// the in-process sandbox, parsing, the report to the navigation handler and the tracking event.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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

namespace korvani {
namespace {

using host::RecordingNavigationHandler;
using CallKind = RecordingNavigationHandler::CallKind;
using Call = RecordingNavigationHandler::Call;
using namespace std::chrono_literals;

constexpr auto kSlowDelay = 400ms;
constexpr auto kOutcomeTimeout = 15s;

using test_support::sha256Hex;

// The text under `key`, or nothing when it is missing or not text.
std::optional<std::string> textAt(const JsonObject& object, std::string_view key) {
  if (const std::string* text = object.getString(key)) return *text;
  return std::nullopt;
}

using test_support::setNetworkStatus;

// Keeps every event together with how many calls the watched handler had received by then,
// which places the event before or after the report.
class OrderProbe final : public host::KVTrackListener {
 public:
  struct Entry {
    host::RecordingTrackListener::Event event;
    std::size_t handlerCallsBefore = 0;
  };

  void watch(std::shared_ptr<RecordingNavigationHandler> handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }

  void trackEvent(const std::string& screenName, const std::string& action,
                  const std::optional<std::string>& result,
                  const std::optional<JsonObject>& extraParams) override {
    std::lock_guard lock(mutex_);
    entries_.push_back(
        {{screenName, action, result, extraParams}, handler_ ? handler_->calls().size() : 0});
  }

  std::vector<Entry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<RecordingNavigationHandler> handler_;
  std::vector<Entry> entries_;
};

// What the payer chose in the host checkout.
struct Choice {
  std::string paymentMethodId;
  std::optional<std::string> cardToken;  // card payments only
  std::string amount;                    // decimal text
};

Choice card(const std::string& scenario) {
  return {"visa", sandbox::sandboxTokenForScenario(scenario).value(), "150.75"};
}
Choice accountMoney(const std::string& scenario) {
  return {"account_money", std::nullopt, sandbox::sandboxAmountForScenario(scenario).value()};
}

// One host checkout session around one component.
struct Checkout {
  std::shared_ptr<PaymentPluginConfiguration> configuration;
  std::shared_ptr<host::InMemoryCheckoutStore> store;
  std::shared_ptr<RecordingNavigationHandler> handler;
  std::shared_ptr<PaymentPluginComponent> component;

  bool reported() const {
    for (const Call& call : handler->calls()) {
      if (call.kind == CallKind::finishWithStatus || call.kind == CallKind::finishWithStatusText) {
        return true;
      }
    }
    return false;
  }
};

std::shared_ptr<host::PaymentData> paymentDataFor(const Choice& choice) {
  if (choice.cardToken) {
    return host::makePaymentData({.paymentMethodId = choice.paymentMethodId,
                                  .paymentTypeId = "credit_card",
                                  .issuerId = "310",
                                  .tokenId = choice.cardToken,
                                  .installments = 3});
  }
  return host::makePaymentData(
      {.paymentMethodId = choice.paymentMethodId, .paymentTypeId = "account_money"});
}

class CheckoutEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = makeSandbox();
    std::string error;
    ASSERT_TRUE(server->start(&error)) << error;
    platform::URLSession::sharedSession()->addTrustedCertificatesPem(server->caCertificatePem());
    setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);
    host::KVQTracker::setTrackListener(probe);
    platform::MainQueue::runUntilIdle();
  }

  void TearDown() override {
    platform::MainQueue::runUntilIdle();
    host::KVQTracker::setTrackListener(nullptr);
    host::ZRReachability::setProvider({});
    server->stop();
  }

  static std::unique_ptr<sandbox::SandboxServer> makeSandbox() {
    sandbox::SandboxOptions options;
    options.quiet = true;
    options.slowDelay = kSlowDelay;
    options.workerThreads = 4;
    return std::make_unique<sandbox::SandboxServer>(options);
  }

  // Everything the host does before rendering ends.
  Checkout prepare(const Choice& choice, const std::string& baseUrl) {
    Checkout checkout;
    auto configuration = std::make_shared<PaymentPluginConfiguration>();
    configuration->baseUrl = baseUrl;
    configuration->path = "/v1/payments";
    configuration->accessToken = "TEST-e2e-token";
    configuration->appVersion = "4.2.0";
    configuration->brixSessionId = "session-e2e";
    configuration->source = "e2e";
    configuration->checkoutPreference = PaymentPluginPreference::fromJsonText(
        R"({"id": "pref-e2e", "items": [{"title": "Headphones", "quantity": 1,
            "currency_id": "EUR"}], "amount": )" +
        choice.amount + R"(, "collector_id": 5544, "marketplace": "NONE",
            "operation_type": "regular_payment"})");
    configuration->merchantOrder = PaymentPluginMerchantOrder::fromJsonText(
        R"({"id": 4242, "external_reference": "order-e2e"})");
    configuration->sha256 = [](const std::string& fragment) -> std::optional<std::string> {
      return sha256Hex(fragment);
    };
    checkout.configuration = configuration;

    checkout.store = std::make_shared<host::InMemoryCheckoutStore>(paymentDataFor(choice));
    checkout.store->setData(Constants::AuthCode, AuthCode("482913", true).toDictionary());
    checkout.handler = std::make_shared<RecordingNavigationHandler>();
    probe->watch(checkout.handler);
    checkout.component = PaymentPluginComponent::create(configuration);
    checkout.component->didReceive(checkout.store);
    checkout.component->navigationHandlerForPlugin(checkout.handler);
    return checkout;
  }

  Checkout pay(const Choice& choice) { return pay(choice, server->baseUrl()); }
  Checkout pay(const Choice& choice, const std::string& baseUrl) {
    Checkout checkout = prepare(choice, baseUrl);
    checkout.component->renderDidFinish();
    EXPECT_TRUE(platform::MainQueue::runFor([&] { return checkout.reported(); }, kOutcomeTimeout));
    return checkout;
  }

  static void drainFor(std::chrono::milliseconds duration) {
    platform::MainQueue::runFor([] { return false; }, duration);
  }

  std::unique_ptr<sandbox::SandboxServer> server;
  std::shared_ptr<OrderProbe> probe = std::make_shared<OrderProbe>();
};

const Call kNoPaymentReport{CallKind::finishWithStatus, "",
                            host::VQPaymentMethodPlugin::RemotePaymentStatus{1},
                            host::VQPluginNavigationHandler::kDefaultStatusDetails, std::nullopt};

TEST_F(CheckoutEndToEndTest, PaymentsAreReportedWithTheirReceiptAndThenTracked) {
  const struct {
    const char* name;
    Choice choice;
    std::string status;
    std::string statusDetail;
  } cases[] = {
      {"card approved", card("approved"), "approved", "accredited"},
      {"card rejected", card("rejected"), "rejected", "cc_rejected_other_reason"},
      {"card in process", card("in-process"), "in_process", "pending_contingency"},
      {"account money approved", accountMoney("approved"), "approved", "accredited"},
      {"account money rejected", accountMoney("rejected"), "rejected", "cc_rejected_other_reason"},
  };
  std::uint64_t expectedId = server->nextPaymentId();
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const std::size_t eventsBefore = probe->entries().size();
    const Checkout checkout = pay(testCase.choice);

    const auto calls = checkout.handler->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, CallKind::beginPluginWork);
    EXPECT_EQ(calls[1].kind, CallKind::endPluginWork);
    EXPECT_EQ(calls[2], (Call{CallKind::finishWithStatusText, testCase.status, std::nullopt,
                              testCase.statusDetail, std::to_string(expectedId)}));

    const auto entries = probe->entries();
    ASSERT_EQ(entries.size(), eventsBefore + 1);
    const auto& entry = entries.back();
    EXPECT_EQ(entry.handlerCallsBefore, 3u) << "a payment is reported before it is tracked";
    EXPECT_EQ(entry.event.screenName, "/myzr/account_balance");
    EXPECT_EQ(entry.event.action, "post_payment");
    EXPECT_EQ(entry.event.result, "success");
    ASSERT_TRUE(entry.event.extraParams.has_value());
    ASSERT_EQ(entry.event.extraParams->size(), 1u);
    const JsonObject* raw = entry.event.extraParams->getObject("raw");
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->getUInt64("id"), expectedId);
    EXPECT_EQ(textAt(*raw, "status"), testCase.status);
    EXPECT_EQ(textAt(*raw, "payment_method_id"), testCase.choice.paymentMethodId);
    EXPECT_EQ(raw->getNumber("transaction_amount"), Decimal::fromString(testCase.choice.amount));
    EXPECT_EQ(textAt(*raw, "external_reference"), "order-e2e");
    ++expectedId;
  }
}

TEST_F(CheckoutEndToEndTest, FailedPaymentsAreReportedAsStatusOne) {
  const struct {
    const char* scenario;
    std::optional<std::string> trackedError;  // nullopt: no event at all
  } cases[] = {
      {"server-error", ""},            // an HTTP error answer carries no error object
      {"invalid-json", std::nullopt},  // answers that hold no payment are not tracked
      {"json-array", std::nullopt},
      {"missing-status", std::nullopt},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.scenario);
    const std::size_t eventsBefore = probe->entries().size();
    const Checkout checkout = pay(card(testCase.scenario));

    EXPECT_EQ(checkout.handler->callKinds(),
              (std::vector<CallKind>{CallKind::beginPluginWork, CallKind::endPluginWork,
                                     CallKind::finishWithStatus}));
    EXPECT_EQ(checkout.handler->calls().back(), kNoPaymentReport);
    const auto entries = probe->entries();
    if (!testCase.trackedError) {
      EXPECT_EQ(entries.size(), eventsBefore);
      continue;
    }
    ASSERT_EQ(entries.size(), eventsBefore + 1);
    EXPECT_EQ(entries.back().handlerCallsBefore, 1u) << "a failure is tracked before the report";
    EXPECT_EQ(entries.back().event.result, "fail");
    EXPECT_EQ(entries.back().event.extraParams, JsonObject({{"error", *testCase.trackedError}}));
  }
}

TEST_F(CheckoutEndToEndTest, AnswerLostOnTheWireIsReportedOnceAndNeverSentAgain) {
  // A first payment leaves a kept-alive connection behind; the lost answer then happens on a
  // reused connection, where a transport is tempted to send the POST again.
  pay(card("approved"));
  const std::uint64_t paymentId = server->nextPaymentId();
  const std::size_t eventsBefore = probe->entries().size();
  const Checkout checkout = pay(card("drop"));

  EXPECT_EQ(checkout.handler->calls().back(), kNoPaymentReport);
  EXPECT_EQ(server->nextPaymentId(), paymentId + 1) << "the sandbox created the payment once";
  EXPECT_EQ(server->counters().requestsServed, 2u) << "the payment was posted a second time";
  const auto entries = probe->entries();
  ASSERT_EQ(entries.size(), eventsBefore + 1);
  EXPECT_EQ(entries.back().handlerCallsBefore, 1u);
  EXPECT_EQ(entries.back().event.result, "fail");
  const std::string expected =
      platform::Error(platform::kURLErrorDomain, platform::kURLErrorNetworkConnectionLost)
          .localizedDescription();
  EXPECT_EQ(entries.back().event.extraParams, JsonObject({{"error", expected}}));
}

TEST_F(CheckoutEndToEndTest, WithoutNetworkNothingIsSentAndStatusOneIsReported) {
  setNetworkStatus(host::ZRNetworkStatus::NotReachable);
  const Checkout checkout = pay(card("approved"));

  EXPECT_EQ(checkout.handler->calls().back(), kNoPaymentReport);
  EXPECT_EQ(server->counters().requestsServed, 0u);
  const auto entries = probe->entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].event.result, "fail");
  const std::string expected =
      platform::Error("", platform::kURLErrorNotConnectedToInternet).localizedDescription();
  EXPECT_EQ(entries[0].event.extraParams, JsonObject({{"error", expected}}));
}

TEST_F(CheckoutEndToEndTest, ServerWithAnUntrustedCertificateIsRefused) {
  // A second sandbox whose authority nobody added to the session.
  const auto stranger = makeSandbox();
  std::string error;
  ASSERT_TRUE(stranger->start(&error)) << error;
  const Checkout checkout = pay(card("approved"), stranger->baseUrl());
  stranger->stop();

  EXPECT_EQ(checkout.handler->calls().back(), kNoPaymentReport);
  EXPECT_EQ(stranger->counters().requestsServed, 0u) << "no request may pass an untrusted TLS";
  const auto entries = probe->entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].event.result, "fail");
  const std::string expected =
      platform::Error(platform::kURLErrorDomain, platform::kURLErrorServerCertificateUntrusted)
          .localizedDescription();
  EXPECT_EQ(entries[0].event.extraParams, JsonObject({{"error", expected}}));
}

TEST_F(CheckoutEndToEndTest, ComponentDestroyedMidPaymentReportsAndTracksNothing) {
  Checkout checkout = prepare(card("slow"), server->baseUrl());
  const std::uint64_t paymentId = server->nextPaymentId();
  checkout.component->renderDidFinish();
  ASSERT_TRUE(platform::MainQueue::runFor([&] { return server->counters().requestsServed == 1; },
                                          kOutcomeTimeout));
  checkout.component.reset();
  // Long enough for the slow answer to arrive and be dropped.
  drainFor(kSlowDelay + 600ms);

  EXPECT_EQ(checkout.handler->callKinds(), std::vector<CallKind>{CallKind::beginPluginWork});
  EXPECT_TRUE(probe->entries().empty());
  EXPECT_EQ(server->nextPaymentId(), paymentId + 1) << "the sandbox did create the payment";
}

TEST_F(CheckoutEndToEndTest, SecondRenderDidFinishSupersedesTheFirst) {
  Checkout checkout = prepare(card("slow"), server->baseUrl());
  const std::uint64_t firstId = server->nextPaymentId();
  checkout.component->renderDidFinish();
  // The payer picks another card before the first answer is in.
  checkout.store->setPaymentData(paymentDataFor(card("rejected")));
  checkout.component->renderDidFinish();
  ASSERT_TRUE(platform::MainQueue::runFor([&] { return checkout.reported(); }, kOutcomeTimeout));
  // Until the slow first answer has certainly arrived.
  drainFor(kSlowDelay + 600ms);

  EXPECT_EQ(server->nextPaymentId(), firstId + 2) << "both payments reached the sandbox";
  const auto calls = checkout.handler->calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].statusText, "rejected");
  const auto entries = probe->entries();
  ASSERT_EQ(entries.size(), 1u);
  const JsonObject* raw = entries[0].event.extraParams->getObject("raw");
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(textAt(*raw, "status"), "rejected");
  EXPECT_EQ(calls[2].receiptId, std::to_string(raw->getUInt64("id").value_or(0)));
}

TEST_F(CheckoutEndToEndTest, UnchangedInputsReplayTheSamePayment) {
  Checkout checkout = pay(card("approved"));
  const std::uint64_t nextId = server->nextPaymentId();
  const auto firstReport = checkout.handler->calls().back();
  ASSERT_EQ(firstReport.kind, CallKind::finishWithStatusText);
  ASSERT_TRUE(firstReport.receiptId.has_value());

  // The host renders again with the same store: same idempotency key, same body.
  checkout.handler->clear();
  checkout.component->renderDidFinish();
  ASSERT_TRUE(platform::MainQueue::runFor([&] { return checkout.reported(); }, kOutcomeTimeout));
  EXPECT_EQ(checkout.handler->calls().back(), firstReport);
  EXPECT_EQ(server->nextPaymentId(), nextId) << "a replay creates no payment";
  EXPECT_EQ(server->counters().requestsServed, 2u);

  const auto entries = probe->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].event, entries[1].event);

  // Another card is another payment.
  checkout.store->setPaymentData(paymentDataFor(card("in-process")));
  checkout.handler->clear();
  checkout.component->renderDidFinish();
  ASSERT_TRUE(platform::MainQueue::runFor([&] { return checkout.reported(); }, kOutcomeTimeout));
  EXPECT_EQ(checkout.handler->calls().back().receiptId, std::to_string(nextId));
}

}  // namespace
}  // namespace korvani
