#include "korvani/sandbox/sandbox_server.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "korvani/json.hpp"
#include "korvani/platform/url_request.hpp"
#include "korvani/platform/url_session.hpp"
#include "sandbox/sandbox_requests.hpp"
#include "support/fakes.hpp"

namespace korvani::sandbox {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The "raw" member of an answer's payment, or an empty object.
JsonObject rawOf(const Answer& answer) {
  const JsonObject object = answer.status ? test_support::jsonObject(answer.body) : JsonObject{};
  const JsonObject* raw = object.getObject("raw");
  return raw ? *raw : JsonObject{};
}

// Waits (bounded) until the server has created payment `id`, that is until the request that
// creates it has been decided.
bool waitForPayment(const SandboxServer& server, std::uint64_t id) {
  const auto deadline = Clock::now() + 5s;
  while (server.nextPaymentId() <= id && Clock::now() < deadline)
    std::this_thread::sleep_for(2ms);
  return server.nextPaymentId() > id;
}

TEST(SandboxRequests, RefusesUnauthenticatedAndMalformedRequestsWithJsonErrors) {
  SandboxServer server(quietOptions());
  ASSERT_TRUE(server.start());
  const std::uint64_t firstId = server.nextPaymentId();
  const struct {
    std::string target;
    std::string body;
    int status;
  } cases[] = {
      {"/v1/payments", kCardBody, 401},
      {"/v1/payments?access_token=", kCardBody, 401},
      {"/v1/payments?token=abc", "nonsense", 401},  // no token beats a bad body
      {kPaymentTarget, "{\"payment_method_id\":", 400},
      {kPaymentTarget, R"([{"payment_method_id":"visa"}])", 400},
      {kPaymentTarget, R"({"payment_method_id":12})", 400},
      {kPaymentTarget, R"({"payment_method_id":"visa","transaction_amount":"10.25"})", 400},
      {"/v1/refunds?access_token=abc", kCardBody, 404},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target + " " + c.body);
    const Answer answer = post(server, c.body, "key-" + c.body, c.target);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.contentType, "application/json");
    const JsonObject error = test_support::jsonObject(answer.body);
    EXPECT_EQ(error.getInt64("status"), c.status);
    EXPECT_TRUE(error.getString("message") && !error.getString("message")->empty());
  }
  EXPECT_EQ(server.nextPaymentId(), firstId) << "a refused request must not create a payment";
  // Refused requests are not remembered under their key: the corrected request goes through.
  EXPECT_EQ(post(server, kCardBody, "key-" + std::string(kCardBody)).status, 201);
}

// What each scenario answers, and what an answer echoes, is checked through the component by the
// end-to-end and soak tests.
TEST(SandboxPayments, IdsCountBeyondTheSignedRangeAndTheTokenDecidesBeforeTheAmount) {
  SandboxOptions options = quietOptions();
  options.firstPaymentId = 18'446'744'073'709'551'000ull;  // above the signed 64-bit range
  SandboxServer server(options);
  ASSERT_TRUE(server.start());
  // A known token decides over the amount; an unknown token lets the amount decide;
  // numerically equal amount text selects the same scenario.
  const std::pair<std::string, std::string> cases[] = {
      {R"({"payment_method_id":"visa","token":"sbx-rejected","transaction_amount":90.02})",
       "rejected"},
      {R"({"payment_method_id":"visa","token":"card-999","transaction_amount":90.02})",
       "in_process"},
      {R"({"payment_method_id":"pix","transaction_amount":90.010})", "rejected"},
      {R"({"payment_method_id":"pix","transaction_amount":9001})", "approved"},
      {R"({"payment_method_id":"pix","token":7,"transaction_amount":90.01})", "rejected"},
  };
  std::uint64_t id = options.firstPaymentId;
  for (const auto& [body, status] : cases) {
    const JsonObject raw = rawOf(post(server, body));
    EXPECT_EQ(raw.getString("status") ? *raw.getString("status") : "", status) << body;
    EXPECT_EQ(raw.getUInt64("id"), id++) << body;
  }
}

TEST(SandboxIdempotency, SameKeyReplaysAndADifferentBodyConflicts) {
  SandboxOptions options = quietOptions();
  options.slowDelay = 2s;
  SandboxServer server(options);
  ASSERT_TRUE(server.start());
  const Answer first = post(server, kCardBody, "key-A");
  ASSERT_EQ(first.status, 201);
  // The same body, also with members in another order and spacing, replays the answer.
  EXPECT_EQ(post(server, kCardBody, "key-A").body, first.body);
  EXPECT_EQ(post(server, R"({ "description":"Two lamps", "external_reference":"order-77",
           "installments":3, "transaction_amount":10.250, "token":"card-123",
           "payment_method_id":"visa" })",
                 "key-A")
                .body,
            first.body);
  const Answer conflict =
      post(server, R"({"payment_method_id":"visa","transaction_amount":10.26})", "key-A");
  EXPECT_EQ(conflict.status, 409);
  EXPECT_NE(conflict.body.find(R"("status":409)"), std::string::npos) << conflict.body;
  // A failure is replayed as it was, status included.
  const std::string failed = post(server, cardBody("server-error"), "key-B").body;
  const Answer failedAgain = post(server, cardBody("server-error"), "key-B");
  EXPECT_TRUE(failedAgain.status == 500 && failedAgain.body == failed) << failed;

  // Without the header nothing is deduplicated; another key is another payment.
  const std::uint64_t before = server.nextPaymentId();
  EXPECT_EQ(rawOf(post(server, kCardBody)).getUInt64("id"), before);
  EXPECT_EQ(rawOf(post(server, kCardBody)).getUInt64("id"), before + 1);
  EXPECT_EQ(rawOf(post(server, kCardBody, "key-C")).getUInt64("id"), before + 2);

  // (A retry with the key finds the payment behind a dropped answer: the end-to-end test.)
  // While the first request of a key is still being answered, the key is busy.
  const std::uint64_t slowId = server.nextPaymentId();
  Answer slow;
  std::thread slowRequest([&] { slow = post(server, cardBody("slow"), "key-E"); });
  EXPECT_TRUE(waitForPayment(server, slowId));
  EXPECT_EQ(post(server, cardBody("slow"), "key-E").status, 409);
  slowRequest.join();
  ASSERT_EQ(slow.status, 201);
  const auto start = Clock::now();
  EXPECT_EQ(post(server, cardBody("slow"), "key-E").body, slow.body);
  EXPECT_LT(Clock::now() - start, options.slowDelay) << "a replay is not delayed again";
}

TEST(SandboxLifecycle, StopsPromptlyAndStartsAgain) {
  SandboxOptions options = quietOptions();
  options.keepAliveTimeout = 30s;
  options.slowDelay = 30s;
  SandboxServer server(options);
  EXPECT_FALSE(server.isRunning());
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(server.start()) << "starting a running server is harmless";
  const int port = server.port();
  EXPECT_EQ(server.paymentsUrl(), "https://127.0.0.1:" + std::to_string(port) + "/v1/payments");
  // An idle kept-alive connection and a held answer must not hold up stop().
  EXPECT_EQ(post(server, kCardBody).status, 201);
  Answer held;
  const std::uint64_t slowId = server.nextPaymentId();
  std::thread slowRequest([&] { held = post(server, cardBody("slow")); });
  EXPECT_TRUE(waitForPayment(server, slowId));
  const auto start = Clock::now();
  server.stop();
  EXPECT_LT(Clock::now() - start, 3s);
  slowRequest.join();
  EXPECT_EQ(held.status, 201) << "the held answer goes out when stopping";
  EXPECT_FALSE(server.isRunning());
  server.stop();  // stopping twice is harmless
  EXPECT_EQ(post(server, kCardBody, {}, kPaymentTarget, port).status, 0) << "nothing listens";

  ASSERT_TRUE(server.start());
  EXPECT_EQ(rawOf(post(server, kCardBody)).getUInt64("id"), slowId + 1)
      << "ids keep counting across restarts";
}

TEST(SandboxLifecycle, RefusesNonLoopbackHosts) {
  SandboxOptions everyAddress = quietOptions();
  everyAddress.host = "0.0.0.0";
  std::string error;
  EXPECT_FALSE(SandboxServer(everyAddress).start(&error));
  EXPECT_NE(error.find("loopback"), std::string::npos) << error;
}

}  // namespace
}  // namespace korvani::sandbox
