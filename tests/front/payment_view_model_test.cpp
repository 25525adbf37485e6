#include "korvani/payment_view_model.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "front_fixture.hpp"
#include "korvani/payment_service.hpp"
#include "korvani/platform/error.hpp"

namespace korvani {
namespace {

using namespace front_test;

// What one completion received, and how many events had been tracked by then.
struct Outcome {
  int calls = 0;
  std::optional<Payment> payment;
  platform::ErrorPtr error;
  std::size_t eventsAtCompletion = 0;
};

class PaymentViewModelTest : public FrontTest {
 protected:
  PaymentConfiguration configurationFor(const std::string& path) {
    PaymentConfiguration configuration;
    configuration.baseUrl = server.origin();
    configuration.path = path;
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
    listener->clear();
    auto outcome = std::make_shared<Outcome>();
    auto viewModel = PaymentViewModel::create();
    viewModel->performPayment(configuration, recordInto(outcome));
    EXPECT_TRUE(drainUntil([&] { return outcome->calls > 0; }));
    EXPECT_EQ(outcome->calls, 1);
    return outcome;
  }

  void expectOneEvent(const std::string& result, const JsonObject& extraParams) {
    const auto events = listener->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (host::RecordingTrackListener::Event{
                             "/myzr/account_balance", "post_payment", result, extraParams}));
  }
};

TEST_F(PaymentViewModelTest, PaymentIsCompletedFirstAndThenTrackedWithItsRawObject) {
  const std::string answer = paymentAnswer(R"("id": 123, "status": "approved",
                                              "status_detail": "accredited", "nested": {"a": [1]})");
  server.on("/v1/payments", Reply::with(201, answer));
  auto viewModel = PaymentViewModel::create();
  auto outcome = std::make_shared<Outcome>();
  viewModel->performPayment(configurationFor("/v1/payments"), recordInto(outcome));
  const std::shared_ptr<PaymentService> service = viewModel->paymentService;
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(outcome->calls, 0) << "the completion must not run inside performPayment";
  ASSERT_TRUE(drainUntil([&] { return outcome->calls > 0; }));

  EXPECT_EQ(outcome->calls, 1);
  ASSERT_TRUE(outcome->payment.has_value());
  EXPECT_EQ(outcome->payment->idString(), "123");
  EXPECT_EQ(outcome->error, nullptr);
  EXPECT_EQ(outcome->eventsAtCompletion, 0u) << "success is tracked after the completion";
  expectOneEvent("success", {{"raw", *test_support::jsonObject(answer).getObject("raw")}});
  EXPECT_EQ(viewModel->paymentService, service) << "the finished service stays stored";
}

// Without a payment in the answer the completion gets no payment and the error as received:
// a failure is tracked first with that error's description; a success answer that holds no
// payment gives a new empty error and no event.
TEST_F(PaymentViewModelTest, OutcomesWithoutAPayment) {
  for (const auto& [path, reply] :
       {std::pair{"/array", Reply::with(201, "[" + kApproved + "]")},
        {"/no-raw", Reply::with(201, R"({"id": 123, "status": "approved"})")},
        {"/html", Reply::with(201, "<html>approved</html>", "text/html")}}) {
    SCOPED_TRACE(path);
    server.on(path, reply);
    const auto outcome = pay(configurationFor(path));
    EXPECT_FALSE(outcome->payment.has_value());
    EXPECT_NE(outcome->error, nullptr) << "an error, whatever its form";
    EXPECT_TRUE(listener->events().empty());
  }

  // An error answer comes without an error, a failure with its own.
  server.on("/server-error", Reply::with(500, R"({"raw": {"status": "x", "status_detail": "y"}})"));
  auto outcome = pay(configurationFor("/server-error"));
  EXPECT_FALSE(outcome->payment.has_value());
  EXPECT_EQ(outcome->error, nullptr);
  EXPECT_EQ(outcome->eventsAtCompletion, 1u) << "a failure is tracked before the completion";
  expectOneEvent("fail", {{"error", ""}});
  setNetworkStatus(host::ZRNetworkStatus::NotReachable);
  outcome = pay(configurationFor("/server-error"));
  ASSERT_NE(outcome->error, nullptr);
  EXPECT_EQ(outcome->error->code(), platform::kURLErrorNotConnectedToInternet);
  EXPECT_EQ(outcome->eventsAtCompletion, 1u);
  expectOneEvent("fail", {{"error", "The device is not connected to the internet."}});

  // Without a track listener the outcome is delivered all the same.
  host::KVQTracker::setTrackListener(nullptr);
  setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);
  server.on("/v1/payments", Reply::with(201, kApproved));
  EXPECT_TRUE(pay(configurationFor("/v1/payments"))->payment.has_value());
  EXPECT_EQ(pay(configurationFor("/server-error"))->error, nullptr);
}

// A released view model completes and tracks nothing, not even a failure that was queued at
// once (an answer in flight is dropped too: see the component's tests).
TEST_F(PaymentViewModelTest, ReleasedViewModelCompletesNothing) {
  setNetworkStatus(host::ZRNetworkStatus::NotReachable);
  auto outcome = std::make_shared<Outcome>();
  auto viewModel = PaymentViewModel::create();
  viewModel->performPayment(configurationFor("/v1/payments"), recordInto(outcome));
  viewModel.reset();
  platform::MainQueue::runUntilIdle();
  EXPECT_EQ(outcome->calls, 0);
  EXPECT_TRUE(listener->events().empty());
}

// A new payment drops the one in flight, whose answer then reaches no one; a failure that was
// known before sending is already on its way and still completes.
TEST_F(PaymentViewModelTest, NewPaymentReplacesTheOneInFlight) {
  server.on("/slow", slowReply(kApproved));
  server.on("/fast", Reply::with(201, paymentAnswer(R"("id": 2, "status": "rejected",
                                                         "status_detail": "other")")));
  auto viewModel = PaymentViewModel::create();
  auto outcomes = std::vector{std::make_shared<Outcome>(), std::make_shared<Outcome>(),
                              std::make_shared<Outcome>()};
  PaymentConfiguration incomplete = configurationFor("");
  incomplete.path.reset();
  viewModel->performPayment(incomplete, recordInto(outcomes[0]));
  viewModel->performPayment(configurationFor("/slow"), recordInto(outcomes[1]));
  const std::weak_ptr<PaymentService> slowService = viewModel->paymentService;
  viewModel->performPayment(configurationFor("/fast"), recordInto(outcomes[2]));
  EXPECT_TRUE(slowService.expired()) << "the view model must hold only the latest service";
  ASSERT_TRUE(server.waitForRequests(2, 5s));
  ASSERT_TRUE(drainUntil([&] { return outcomes[2]->calls > 0; }));
  drainPastSlowReplies();

  EXPECT_EQ(outcomes[0]->calls, 1);
  ASSERT_NE(outcomes[0]->error, nullptr);
  EXPECT_EQ(outcomes[0]->error->code(), platform::kURLErrorBadURL);
  EXPECT_EQ(outcomes[1]->calls, 0);
  EXPECT_EQ(outcomes[2]->calls, 1);
  ASSERT_TRUE(outcomes[2]->payment.has_value());
  EXPECT_EQ(outcomes[2]->payment->idString(), "2");
  const auto events = listener->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].result, "fail");
  EXPECT_EQ(events[1].result, "success");
}

}  // namespace
}  // namespace korvani
