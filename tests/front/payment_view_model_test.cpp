#include "korvani/payment_view_model.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "front_fixture.hpp"
#include "korvani/payment_service.hpp"
#include "korvani/platform/error.hpp"

namespace korvani {
namespace {

using front_test::FrontTest;
using front_test::kApprovedRaw;
using front_test::paymentAnswer;
using test_support::Reply;
using test_support::TestServer;
using namespace std::chrono_literals;

constexpr const char* kScreen = "/myzr/account_balance";
constexpr const char* kAction = "post_payment";

// What one completion received, and how many events had been tracked by then.
struct Outcome {
  int calls = 0;
  std::optional<Payment> payment;
  platform::ErrorPtr error;
  std::size_t eventsAtCompletion = 0;
};

class PaymentViewModelTest : public FrontTest {
 protected:
  PaymentConfiguration configurationFor(const std::string& origin, const std::string& path) {
    PaymentConfiguration configuration;
    configuration.baseUrl = origin;
    configuration.path = path;
    configuration.accessToken = "TEST-token";
    configuration.headers = StringDictionary{{"X-Idempotency-Key", "key-1"}};
    configuration.body = JsonObject{{"transaction_amount", 10}, {"payment_method_id", "visa"}};
    return configuration;
  }

  PaymentViewModel::Completion recordInto(const std::shared_ptr<Outcome>& outcome) {
    return [outcome, trackListener = listener](std::optional<Payment> payment,
                                               platform::ErrorPtr error) {
      ++outcome->calls;
      outcome->payment = std::move(payment);
      outcome->error = std::move(error);
      outcome->eventsAtCompletion = trackListener->events().size();
    };
  }

  // Performs one payment on a fresh view model and waits for its completion.
  std::shared_ptr<Outcome> pay(const PaymentConfiguration& configuration) {
    auto outcome = std::make_shared<Outcome>();
    auto viewModel = std::make_shared<PaymentViewModel>();
    viewModel->performPayment(configuration, recordInto(outcome));
    EXPECT_TRUE(drainUntil([&] { return outcome->calls > 0; }));
    return outcome;
  }

  TestServer server;
};

TEST_F(PaymentViewModelTest, PaymentIsCompletedFirstAndThenTrackedWithItsRawObject) {
  const std::string answer = paymentAnswer(std::string(kApprovedRaw) + R"(, "nested": {"a": [1]})");
  server.on("/v1/payments", Reply::json(201, answer));
  auto viewModel = std::make_shared<PaymentViewModel>();
  EXPECT_EQ(viewModel->paymentService, nullptr);

  auto outcome = std::make_shared<Outcome>();
  viewModel->performPayment(configurationFor(server.origin(), "/v1/payments"), recordInto(outcome));
  const std::shared_ptr<PaymentService> service = viewModel->paymentService;
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(outcome->calls, 0) << "the completion must not run inside performPayment";
  ASSERT_TRUE(drainUntil([&] { return outcome->calls > 0; }));

  EXPECT_EQ(outcome->calls, 1);
  ASSERT_TRUE(outcome->payment.has_value());
  EXPECT_EQ(outcome->payment->id(), std::optional<std::uint64_t>(123));
  EXPECT_EQ(outcome->payment->status(), "approved");
  EXPECT_EQ(outcome->payment->statusDetail(), "accredited");
  EXPECT_EQ(outcome->error, nullptr);
  EXPECT_EQ(outcome->eventsAtCompletion, 0u) << "success is tracked after the completion";

  const JsonObject expectedRaw = *parseJson(answer)->asObject()->getObject("raw");
  const auto events = listener->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].screenName, kScreen);
  EXPECT_EQ(events[0].action, kAction);
  EXPECT_EQ(events[0].result, "success");
  EXPECT_EQ(events[0].extraParams, JsonObject({{"raw", expectedRaw}}));

  // The finished service stays stored, and the request went out as configured.
  EXPECT_EQ(viewModel->paymentService, service);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].query, "access_token=TEST-token");
  EXPECT_EQ(requests[0].header("X-Idempotency-Key"), "key-1");
}

TEST_F(PaymentViewModelTest, AnswersWithoutAValidPaymentGiveANewEmptyErrorAndNoEvent) {
  const struct {
    const char* name;
    Reply reply;
  } cases[] = {
      {"array", Reply::json(201, "[" + paymentAnswer(kApprovedRaw) + "]")},
      {"scalar", Reply::json(201, R"("approved")")},
      {"no-raw", Reply::json(201, R"({"id": 123, "status": "approved"})")},
      {"raw-not-object", Reply::json(201, R"({"raw": "approved"})")},
      {"no-status", Reply::json(201, paymentAnswer(R"("id": 1, "status_detail": "accredited")"))},
      {"numeric-detail",
       Reply::json(201, paymentAnswer(R"("id": 1, "status": "approved", "status_detail": 7)"))},
      {"html", Reply::text(201, "<html><body>approved</body></html>", "text/html")},
      {"empty", Reply::noBody(200)},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const std::string path = std::string("/") + testCase.name;
    server.on(path, testCase.reply);
    listener->clear();

    const auto outcome = pay(configurationFor(server.origin(), path));
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_FALSE(outcome->payment.has_value());
    ASSERT_NE(outcome->error, nullptr);
    EXPECT_EQ(outcome->error->domain(), "");
    EXPECT_EQ(outcome->error->code(), 0);
    EXPECT_FALSE(outcome->error->userInfo().has_value());
    EXPECT_TRUE(listener->events().empty());
  }
}

TEST_F(PaymentViewModelTest, FailuresAreTrackedBeforeTheCompletionWithTheErrorAsReceived) {
  server.on("/server-error", Reply::json(500, R"({"raw": {"status": "x", "status_detail": "y"}})"));
  server.on("/not-found", Reply::json(404, R"({"error": "not_found"})"));
  const std::string closedOrigin =
      "https://127.0.0.1:" + std::to_string(test_support::closedPort());

  const struct {
    const char* name;
    std::string origin;
    std::optional<std::string> path;
    bool online;
    std::optional<std::int64_t> errorCode;  // nullopt: no error object at all
  } cases[] = {
      {"http 500", server.origin(), "/server-error", true, std::nullopt},
      {"http 404", server.origin(), "/not-found", true, std::nullopt},
      {"refused", closedOrigin, "/v1/payments", true, platform::kURLErrorCannotConnectToHost},
      {"no path", server.origin(), std::nullopt, true, platform::kURLErrorBadURL},
      {"offline", server.origin(), "/v1/payments", false,
       platform::kURLErrorNotConnectedToInternet},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    front_test::setNetworkStatus(testCase.online ? host::ZRNetworkStatus::ReachableViaWWAN
                                                 : host::ZRNetworkStatus::NotReachable);
    listener->clear();
    PaymentConfiguration configuration = configurationFor(testCase.origin, "");
    configuration.path = testCase.path;

    const auto outcome = pay(configuration);
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_FALSE(outcome->payment.has_value());
    EXPECT_EQ(outcome->eventsAtCompletion, 1u) << "a failure is tracked before the completion";
    std::string expectedMessage;
    if (testCase.errorCode) {
      ASSERT_NE(outcome->error, nullptr);
      EXPECT_EQ(outcome->error->code(), *testCase.errorCode);
      expectedMessage = outcome->error->localizedDescription();
      EXPECT_FALSE(expectedMessage.empty());
    } else {
      EXPECT_EQ(outcome->error, nullptr);
    }
    const auto events = listener->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].screenName, kScreen);
    EXPECT_EQ(events[0].action, kAction);
    EXPECT_EQ(events[0].result, "fail");
    EXPECT_EQ(events[0].extraParams, JsonObject({{"error", expectedMessage}}));
  }
}

TEST_F(PaymentViewModelTest, OutcomeIsDeliveredUnchangedWithoutATrackListener) {
  host::KVQTracker::setTrackListener(nullptr);
  server.on("/v1/payments", Reply::json(201, paymentAnswer(kApprovedRaw)));
  server.on("/server-error", Reply::json(500, "{}"));

  const auto paid = pay(configurationFor(server.origin(), "/v1/payments"));
  EXPECT_EQ(paid->calls, 1);
  ASSERT_TRUE(paid->payment.has_value());
  EXPECT_EQ(paid->payment->idString(), "123");
  EXPECT_EQ(paid->error, nullptr);

  const auto failed = pay(configurationFor(server.origin(), "/server-error"));
  EXPECT_EQ(failed->calls, 1);
  EXPECT_FALSE(failed->payment.has_value());
  EXPECT_EQ(failed->error, nullptr);

  front_test::setNetworkStatus(host::ZRNetworkStatus::NotReachable);
  const auto offline = pay(configurationFor(server.origin(), "/v1/payments"));
  ASSERT_NE(offline->error, nullptr);
  EXPECT_EQ(offline->error->code(), platform::kURLErrorNotConnectedToInternet);
  EXPECT_TRUE(listener->events().empty());
}

TEST_F(PaymentViewModelTest, ReleasedViewModelCompletesNothingAndLeavesNothingBehind) {
  Reply slow = Reply::json(201, paymentAnswer(kApprovedRaw));
  slow.delay = 300ms;
  server.on("/slow", slow);

  auto outcome = std::make_shared<Outcome>();
  auto viewModel = std::make_shared<PaymentViewModel>();
  viewModel->performPayment(configurationFor(server.origin(), "/slow"), recordInto(outcome));
  const std::weak_ptr<PaymentService> service = viewModel->paymentService;
  ASSERT_TRUE(server.waitForRequests(1, 5s));
  viewModel.reset();
  // Neither the handlers nor the request in flight may keep the service alive.
  EXPECT_TRUE(service.expired());
  drainFor(800ms);
  EXPECT_EQ(outcome->calls, 0);
  EXPECT_TRUE(listener->events().empty());

  // Same for a failure known before anything is sent: it is queued at once, and still dropped.
  front_test::setNetworkStatus(host::ZRNetworkStatus::NotReachable);
  viewModel = std::make_shared<PaymentViewModel>();
  viewModel->performPayment(configurationFor(server.origin(), "/slow"), recordInto(outcome));
  viewModel.reset();
  platform::MainQueue::runUntilIdle();
  EXPECT_EQ(outcome->calls, 0);
  EXPECT_TRUE(listener->events().empty());
}

TEST_F(PaymentViewModelTest, SecondPaymentReplacesTheFirstWhoseAnswerReachesNoHandler) {
  Reply slow = Reply::json(201, paymentAnswer(R"("id": 1, "status": "approved",
                                                  "status_detail": "accredited")"));
  slow.delay = 300ms;
  server.on("/slow", slow);
  server.on("/fast", Reply::json(201, paymentAnswer(R"("id": 2, "status": "rejected",
                                               "status_detail": "cc_rejected_other_reason")")));

  auto viewModel = std::make_shared<PaymentViewModel>();
  auto first = std::make_shared<Outcome>();
  auto second = std::make_shared<Outcome>();
  viewModel->performPayment(configurationFor(server.origin(), "/slow"), recordInto(first));
  const std::weak_ptr<PaymentService> firstService = viewModel->paymentService;
  viewModel->performPayment(configurationFor(server.origin(), "/fast"), recordInto(second));
  EXPECT_TRUE(firstService.expired()) << "the view model must hold only the latest service";
  ASSERT_TRUE(server.waitForRequests(2, 5s));
  ASSERT_TRUE(drainUntil([&] { return second->calls > 0; }));
  drainFor(800ms);  // the slow answer arrives meanwhile

  EXPECT_EQ(first->calls, 0);
  EXPECT_EQ(second->calls, 1);
  ASSERT_TRUE(second->payment.has_value());
  EXPECT_EQ(second->payment->idString(), "2");
  ASSERT_EQ(listener->events().size(), 1u);
  EXPECT_EQ(listener->events()[0].result, "success");
}

TEST_F(PaymentViewModelTest, FailureKnownBeforeSendingSurvivesAReplacement) {
  server.on("/fast", Reply::json(201, paymentAnswer(kApprovedRaw)));
  auto viewModel = std::make_shared<PaymentViewModel>();
  auto first = std::make_shared<Outcome>();
  auto second = std::make_shared<Outcome>();

  PaymentConfiguration incomplete = configurationFor(server.origin(), "");
  incomplete.path.reset();
  viewModel->performPayment(incomplete, recordInto(first));
  viewModel->performPayment(configurationFor(server.origin(), "/fast"), recordInto(second));
  ASSERT_TRUE(drainUntil([&] { return first->calls > 0 && second->calls > 0; }));

  ASSERT_NE(first->error, nullptr);
  EXPECT_EQ(first->error->code(), platform::kURLErrorBadURL);
  EXPECT_EQ(first->eventsAtCompletion, 1u);
  ASSERT_TRUE(second->payment.has_value());
  const auto events = listener->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].result, "fail");
  EXPECT_EQ(events[1].result, "success");
}

}  // namespace
}  // namespace korvani
