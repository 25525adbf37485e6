#include "korvani/sandbox/sandbox_server.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "korvani/decimal.hpp"
#include "korvani/json.hpp"
#include "sandbox_client.hpp"

namespace korvani::sandbox {
namespace {

using namespace std::chrono_literals;
using test::clientFor;
using test::jsonObjectOf;
using test::paymentTarget;
using test::postPayment;
using test::quietOptions;
using Clock = std::chrono::steady_clock;

constexpr const char* kCardBody =
    R"({"payment_method_id":"visa","token":"card-123","transaction_amount":10.25,)"
    R"("installments":3,"external_reference":"order-77","description":"Two lamps"})";

// Waits (bounded) until the server has created a payment with identifier `id`, that is until
// the request that creates it has been decided.
bool waitForPayment(const SandboxServer& server, std::uint64_t id) {
  const auto deadline = Clock::now() + 5s;
  while (server.nextPaymentId() <= id) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

TEST(SandboxRequests, RefusesUnauthenticatedAndMalformedRequestsWithJsonErrors) {
  SandboxServer server(quietOptions());
  ASSERT_TRUE(server.start());
  auto client = clientFor(server);
  const std::uint64_t firstId = server.nextPaymentId();

  struct Case {
    const char* label;
    std::string target;
    std::string body;
    int status;
  };
  const std::vector<Case> cases = {
      {"no query", "/v1/payments", kCardBody, 401},
      {"empty token", "/v1/payments?access_token=", kCardBody, 401},
      {"other parameter only", "/v1/payments?token=abc", kCardBody, 401},
      {"no token beats a bad body", "/v1/payments", "nonsense", 401},
      {"not JSON", paymentTarget(), "{\"payment_method_id\":", 400},
      {"empty body", paymentTarget(), "", 400},
      {"array", paymentTarget(), R"([{"payment_method_id":"visa"}])", 400},
      {"scalar", paymentTarget(), R"("visa")", 400},
      {"no payment method", paymentTarget(), R"({"transaction_amount":5})", 400},
      {"payment method not text", paymentTarget(), R"({"payment_method_id":12})", 400},
      {"amount not a number", paymentTarget(),
       R"({"payment_method_id":"visa","transaction_amount":"10.25"})", 400},
      {"unknown path", "/v1/refunds?access_token=abc", kCardBody, 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto result = postPayment(*client, c.body, "key-" + std::string(c.label), c.target);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    auto error = jsonObjectOf(result->body);
    ASSERT_TRUE(error) << result->body;
    EXPECT_EQ(error->getInt64("status"), c.status);
    ASSERT_NE(error->getString("message"), nullptr);
    EXPECT_FALSE(error->getString("message")->empty());
  }
  EXPECT_EQ(server.nextPaymentId(), firstId) << "a refused request must not create a payment";

  // Refused requests are not remembered under their idempotency key: the corrected request
  // with the same key is processed.
  auto corrected = postPayment(*client, kCardBody, std::string("key-not JSON"));
  ASSERT_TRUE(corrected);
  EXPECT_EQ(corrected->status, 201);
}

TEST(SandboxPayments, CreatedPaymentEchoesTheRequestExactly) {
  SandboxOptions options = quietOptions();
  options.firstPaymentId = 5000;
  SandboxServer server(options);
  ASSERT_TRUE(server.start());
  auto client = clientFor(server);

  auto result = postPayment(*client, kCardBody);
  ASSERT_TRUE(result);
  ASSERT_EQ(result->status, 201);
  EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
  // The amount goes back as the same decimal text, not through a binary float.
  EXPECT_NE(result->body.find(R"("transaction_amount":10.25)"), std::string::npos) << result->body;

  auto answer = jsonObjectOf(result->body);
  ASSERT_TRUE(answer);
  const JsonObject* raw = answer->getObject("raw");
  const JsonObject* formatted = answer->getObject("formatted");
  ASSERT_NE(raw, nullptr);
  ASSERT_NE(formatted, nullptr);
  EXPECT_EQ(raw->getUInt64("id"), 5000u);
  EXPECT_EQ(*raw->getString("status"), "approved");
  EXPECT_EQ(*raw->getString("status_detail"), "accredited");
  EXPECT_EQ(raw->getNumber("transaction_amount"), Decimal::fromString("10.25"));
  EXPECT_EQ(*raw->getString("payment_method_id"), "visa");
  EXPECT_EQ(raw->getInt64("installments"), 3);
  EXPECT_EQ(*raw->getString("external_reference"), "order-77");
  EXPECT_FALSE(raw->contains("description"));
  EXPECT_FALSE(raw->contains("token")) << "the card token is not echoed";
  EXPECT_EQ(*formatted->getString("amount"), "10.25");
  EXPECT_EQ(*formatted->getString("status"), "Approved");
  EXPECT_EQ(*formatted->getString("installments"), "3 installments");

  // Precision beyond a double survives; members not sent stay out.
  const std::string big = "12345678901234567890.123456789";
  auto created = postPayment(
      *client, R"({"payment_method_id":"account_money","transaction_amount":)" + big + "}");
  ASSERT_TRUE(created);
  ASSERT_EQ(created->status, 201);
  EXPECT_NE(created->body.find("\"transaction_amount\":" + big), std::string::npos)
      << created->body;
  auto parsed = jsonObjectOf(created->body);
  ASSERT_TRUE(parsed);
  EXPECT_FALSE(parsed->getObject("raw")->contains("installments"));
  EXPECT_FALSE(parsed->getObject("raw")->contains("external_reference"));
}

// What each scenario must look like on the wire, whichever input selected it.
void expectScenarioAnswer(std::string_view name, const httplib::Result& result,
                          std::chrono::milliseconds elapsed) {
  if (name == "drop") {
    EXPECT_FALSE(result) << "a dropped connection gives no answer";
    return;
  }
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  if (name == "server-error") {
    EXPECT_EQ(result->status, 500);
    auto error = jsonObjectOf(result->body);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->getInt64("status"), 500);
    return;
  }
  EXPECT_EQ(result->status, 201);
  if (name == "invalid-json") {
    EXPECT_FALSE(parseJson(result->body)) << result->body;
    return;
  }
  auto value = parseJson(result->body);
  ASSERT_TRUE(value) << result->body;
  if (name == "json-array") {
    ASSERT_TRUE(value->isArray());
    ASSERT_EQ(value->asArray()->size(), 1u);
    EXPECT_TRUE((*value->asArray())[0].isObject());
    return;
  }
  ASSERT_TRUE(value->isObject());
  const JsonObject* raw = value->asObject()->getObject("raw");
  ASSERT_NE(raw, nullptr);
  EXPECT_TRUE(raw->getUInt64("id"));
  if (name == "missing-status") {
    EXPECT_FALSE(raw->contains("status"));
    EXPECT_TRUE(raw->getString("status_detail"));
    return;
  }
  const std::map<std::string_view, std::pair<const char*, const char*>> statuses = {
      {"approved", {"approved", "accredited"}},
      {"slow", {"approved", "accredited"}},
      {"rejected", {"rejected", "cc_rejected_other_reason"}},
      {"in-process", {"in_process", "pending_contingency"}},
  };
  ASSERT_TRUE(statuses.contains(name)) << "scenario without expectations: " << name;
  EXPECT_EQ(*raw->getString("status"), statuses.at(name).first);
  EXPECT_EQ(*raw->getString("status_detail"), statuses.at(name).second);
  if (name == "slow") {
    EXPECT_GE(elapsed, 300ms);
  }
}

TEST(SandboxScenarios, EachScenarioIsSelectedByItsTokenOrItsAmount) {
  SandboxServer server(quietOptions());
  ASSERT_TRUE(server.start());
  auto client = clientFor(server);

  const auto names = sandboxScenarioNames();
  ASSERT_EQ(names.size(), 9u);
  for (std::string_view name : names) {
    SCOPED_TRACE(std::string(name));
    auto token = sandboxTokenForScenario(name);
    auto amount = sandboxAmountForScenario(name);
    ASSERT_TRUE(token);
    ASSERT_TRUE(amount);

    const std::string byToken =
        R"({"payment_method_id":"visa","transaction_amount":25,"token":")" + *token + "\"}";
    const std::string byAmount =
        R"({"payment_method_id":"pix","transaction_amount":)" + *amount + "}";
    for (const std::string& body : {byToken, byAmount}) {
      SCOPED_TRACE(body);
      // One client throughout: after a dropped connection it connects anew.
      const auto start = Clock::now();
      auto result = postPayment(*client, body);
      expectScenarioAnswer(
          name, result,
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start));
    }
  }
  EXPECT_FALSE(sandboxTokenForScenario("no-such-scenario"));
  EXPECT_FALSE(sandboxAmountForScenario(""));

  // Precedence: a known token decides over the amount; an unknown token lets the amount
  // decide; numerically equal amount text selects the same scenario.
  struct Precedence {
    std::string body;
    const char* status;
  };
  const std::vector<Precedence> precedence = {
      {R"({"payment_method_id":"visa","token":"sbx-rejected","transaction_amount":90.02})",
       "rejected"},
      {R"({"payment_method_id":"visa","token":"card-999","transaction_amount":90.02})",
       "in_process"},
      {R"({"payment_method_id":"pix","transaction_amount":90.010})", "rejected"},
      {R"({"payment_method_id":"pix","transaction_amount":9001})", "approved"},
      {R"({"payment_method_id":"pix","token":7,"transaction_amount":90.01})", "rejected"},
  };
  for (const Precedence& p : precedence) {
    SCOPED_TRACE(p.body);
    auto result = postPayment(*client, p.body);
    ASSERT_TRUE(result);
    auto answer = jsonObjectOf(result->body);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer->getObject("raw")->getString("status"), p.status);
  }
}

TEST(SandboxIdempotency, SameKeyReplaysAndADifferentBodyConflicts) {
  SandboxOptions options = quietOptions();
  options.slowDelay = 3s;
  SandboxServer server(options);
  ASSERT_TRUE(server.start());
  auto client = clientFor(server);

  auto first = postPayment(*client, kCardBody, std::string("key-A"));
  ASSERT_TRUE(first);
  ASSERT_EQ(first->status, 201);
  const auto firstId = jsonObjectOf(first->body)->getObject("raw")->getUInt64("id");
  ASSERT_TRUE(firstId);

  auto replay = postPayment(*client, kCardBody, std::string("key-A"));
  ASSERT_TRUE(replay);
  EXPECT_EQ(replay->status, 201);
  EXPECT_EQ(replay->body, first->body);

  // Same members in another order and spacing is the same body.
  auto reordered =
      postPayment(*client,
                  R"({ "description":"Two lamps", "external_reference":"order-77", "installments":3,
           "transaction_amount":10.250, "token":"card-123", "payment_method_id":"visa" })",
                  std::string("key-A"));
  ASSERT_TRUE(reordered);
  EXPECT_EQ(reordered->body, first->body);

  auto conflict = postPayment(
      *client, R"({"payment_method_id":"visa","token":"card-123","transaction_amount":10.26})",
      std::string("key-A"));
  ASSERT_TRUE(conflict);
  EXPECT_EQ(conflict->status, 409);
  ASSERT_TRUE(jsonObjectOf(conflict->body));
  EXPECT_EQ(jsonObjectOf(conflict->body)->getInt64("status"), 409);

  // A failure is replayed as it was, status included.
  const std::string failing =
      R"({"payment_method_id":"visa","token":")" + *sandboxTokenForScenario("server-error") + "\"}";
  auto failed = postPayment(*client, failing, std::string("key-B"));
  auto failedAgain = postPayment(*client, failing, std::string("key-B"));
  ASSERT_TRUE(failed);
  ASSERT_TRUE(failedAgain);
  EXPECT_EQ(failed->status, 500);
  EXPECT_EQ(failedAgain->status, 500);
  EXPECT_EQ(failedAgain->body, failed->body);

  // Without the header nothing is deduplicated; another key is another payment.
  const std::uint64_t before = server.nextPaymentId();
  auto plain1 = postPayment(*client, kCardBody);
  auto plain2 = postPayment(*client, kCardBody);
  auto otherKey = postPayment(*client, kCardBody, std::string("key-C"));
  ASSERT_TRUE(plain1 && plain2 && otherKey);
  std::set<std::uint64_t> ids;
  for (const auto* result : {&plain1, &plain2, &otherKey}) {
    ids.insert(*jsonObjectOf((*result)->body)->getObject("raw")->getUInt64("id"));
  }
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_FALSE(ids.contains(*firstId));
  EXPECT_EQ(server.nextPaymentId(), before + 3);

  // The payment behind a dropped connection exists: a retry with the key gets it.
  const std::string dropping =
      R"({"payment_method_id":"visa","token":")" + *sandboxTokenForScenario("drop") + "\"}";
  {
    auto dropClient = clientFor(server);
    EXPECT_FALSE(postPayment(*dropClient, dropping, std::string("key-D")));
  }
  auto retried = postPayment(*client, dropping, std::string("key-D"));
  ASSERT_TRUE(retried);
  EXPECT_EQ(retried->status, 201);
  auto retriedAnswer = jsonObjectOf(retried->body);
  ASSERT_TRUE(retriedAnswer);
  EXPECT_EQ(retriedAnswer->getObject("raw")->getUInt64("id"), before + 3);
  EXPECT_EQ(*retriedAnswer->getObject("raw")->getString("status"), "approved");

  // While the first request of a key is still being answered, the key is busy.
  const std::string slow =
      R"({"payment_method_id":"visa","token":")" + *sandboxTokenForScenario("slow") + "\"}";
  const std::uint64_t slowId = server.nextPaymentId();
  std::optional<httplib::Result> slowResult;
  std::thread slowRequest([&] {
    auto slowClient = clientFor(server);
    slowResult = postPayment(*slowClient, slow, std::string("key-E"));
  });
  EXPECT_TRUE(waitForPayment(server, slowId));
  auto busy = postPayment(*client, slow, std::string("key-E"));
  slowRequest.join();
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->status, 409) << busy->body;
  ASSERT_TRUE(slowResult && *slowResult);
  EXPECT_EQ((*slowResult)->status, 201);
  const auto start = Clock::now();
  auto settled = postPayment(*client, slow, std::string("key-E"));
  ASSERT_TRUE(settled);
  EXPECT_EQ(settled->body, (*slowResult)->body);
  EXPECT_LT(Clock::now() - start, options.slowDelay) << "a replay is not delayed again";
}

TEST(SandboxIdentifiers, IncreaseFromTheConfiguredStartAcrossThreads) {
  SandboxOptions options = quietOptions();
  options.firstPaymentId = 18'446'744'073'709'551'000ull;  // above the signed 64-bit range
  SandboxServer server(options);
  ASSERT_TRUE(server.start());

  constexpr int kThreads = 4;
  constexpr int kPerThread = 10;
  std::vector<std::vector<std::uint64_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto client = clientFor(server);
      for (int i = 0; i < kPerThread; ++i) {
        auto result = postPayment(*client, kCardBody);
        if (!result || result->status != 201) continue;
        auto answer = jsonObjectOf(result->body);
        if (auto id = answer ? answer->getObject("raw")->getUInt64("id") : std::nullopt) {
          seen[t].push_back(*id);
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();

  std::set<std::uint64_t> all;
  for (const auto& ids : seen) {
    ASSERT_EQ(ids.size(), static_cast<std::size_t>(kPerThread));
    for (std::size_t i = 1; i < ids.size(); ++i) {
      EXPECT_LT(ids[i - 1], ids[i]) << "one client's payments get increasing ids";
    }
    all.insert(ids.begin(), ids.end());
  }
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(*all.begin(), options.firstPaymentId);
  EXPECT_EQ(*all.rbegin(), options.firstPaymentId + kThreads * kPerThread - 1);
}

TEST(SandboxConnections, CountsConnectionsHandshakesAndRequestsAndLogsThem) {
  std::mutex linesMutex;
  std::vector<std::string> lines;
  SandboxOptions options = quietOptions();
  options.quiet = false;
  options.logSink = [&](const std::string& line) {
    std::lock_guard lock(linesMutex);
    lines.push_back(line);
  };
  SandboxServer server(options);
  ASSERT_TRUE(server.start());

  {
    auto client = clientFor(server);
    for (int i = 0; i < 200; ++i) {
      auto result = postPayment(*client, kCardBody);
      ASSERT_TRUE(result);
      ASSERT_EQ(result->status, 201);
    }
    auto counters = server.counters();
    EXPECT_EQ(counters.connectionsAccepted, 1u);
    EXPECT_EQ(counters.handshakesCompleted, 1u);
    EXPECT_EQ(counters.requestsServed, 200u);
  }
  {
    auto closing = clientFor(server, /*keepAlive=*/false);
    for (int i = 0; i < 3; ++i)
      ASSERT_TRUE(postPayment(*closing, kCardBody));
    auto counters = server.counters();
    EXPECT_EQ(counters.connectionsAccepted, 4u);
    EXPECT_EQ(counters.handshakesCompleted, 4u);
    EXPECT_EQ(counters.requestsServed, 203u);
  }
  {
    auto refused = clientFor(server);
    ASSERT_TRUE(postPayment(*refused, kCardBody, std::nullopt, "/v1/payments"));
  }

  std::lock_guard lock(linesMutex);
  ASSERT_EQ(lines.size(), 204u);
  EXPECT_EQ(lines.front().rfind("POST /v1/payments 201 payment=1000000001 ", 0), 0u) << lines[0];
  EXPECT_NE(lines.front().find("token=TEST\xE2\x80\xA6"), std::string::npos) << lines[0];
  EXPECT_NE(lines.front().find(" ms"), std::string::npos);
  EXPECT_EQ(lines.back().rfind("POST /v1/payments 401 payment=- ", 0), 0u) << lines.back();
  for (const std::string& line : lines) {
    ASSERT_EQ(line.find("TEST-8471"), std::string::npos) << "token leaked: " << line;
  }
}

TEST(SandboxLifecycle, StartsAndStopsRepeatedlyAndStopsPromptly) {
  SandboxOptions options = quietOptions();
  options.keepAliveTimeout = 30s;
  options.slowDelay = 30s;
  SandboxServer server(options);
  EXPECT_FALSE(server.isRunning());
  EXPECT_EQ(server.baseUrl(), "");

  const auto caPath = std::filesystem::temp_directory_path() /
                      ("korvani-sandbox-ca-" + std::to_string(::getpid()) + ".pem");
  ASSERT_TRUE(server.writeCaCertificate(caPath));
  std::stringstream written;
  written << std::ifstream(caPath).rdbuf();
  EXPECT_EQ(written.str(), server.caCertificatePem());
  EXPECT_EQ(server.caCertificatePem().rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
  std::filesystem::remove(caPath);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.start()) << "starting a running server is harmless";
    ASSERT_TRUE(server.isRunning());
    const int port = server.port();
    EXPECT_EQ(server.baseUrl(), "https://127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(server.paymentsUrl(), server.baseUrl() + "/v1/payments");

    // An idle kept-alive connection and a held answer must not hold up stop().
    auto idle = clientFor(server);
    auto created = postPayment(*idle, kCardBody);
    ASSERT_TRUE(created);
    EXPECT_EQ(jsonObjectOf(created->body)->getObject("raw")->getUInt64("id"),
              1'000'000'001u + static_cast<unsigned>(round) * 2)
        << "ids keep counting across restarts";
    std::optional<httplib::Result> held;
    const std::uint64_t slowId = server.nextPaymentId();
    std::thread slowRequest([&] {
      auto client = clientFor(server);
      held = postPayment(*client, R"({"payment_method_id":"visa","token":")" +
                                      *sandboxTokenForScenario("slow") + "\"}");
    });
    EXPECT_TRUE(waitForPayment(server, slowId));

    const auto start = Clock::now();
    server.stop();
    EXPECT_LT(Clock::now() - start, 3s);
    slowRequest.join();
    ASSERT_TRUE(held && *held) << "the held answer goes out when stopping: "
                               << (held ? httplib::to_string(held->error()) : "");
    EXPECT_EQ((*held)->status, 201);
    EXPECT_FALSE(server.isRunning());
    EXPECT_EQ(server.port(), 0);
    server.stop();  // stopping twice is harmless

    auto late = clientFor(server, true, port);
    EXPECT_FALSE(postPayment(*late, kCardBody)) << "nothing listens after stop()";
  }

  // Concurrent start and stop from several threads leave a consistent server.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&server, t] {
      for (int i = 0; i < 3; ++i) {
        if ((i + t) % 2 == 0) {
          server.start();
        } else {
          server.stop();
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  ASSERT_TRUE(server.start());
  auto client = clientFor(server);
  auto result = postPayment(*client, kCardBody);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 201);
}

TEST(SandboxLifecycle, RefusesNonLoopbackHostsAndBusyPorts) {
  SandboxServer first(quietOptions());
  ASSERT_TRUE(first.start());

  SandboxOptions samePort = quietOptions();
  samePort.port = first.port();
  SandboxServer second(samePort);
  std::string error;
  EXPECT_FALSE(second.start(&error));
  EXPECT_NE(error.find(std::to_string(first.port())), std::string::npos) << error;
  EXPECT_FALSE(second.isRunning());

  for (const char* host : {"0.0.0.0", "192.0.2.1", "example.test"}) {
    SandboxOptions remote = quietOptions();
    remote.host = host;
    SandboxServer server(remote);
    error.clear();
    EXPECT_FALSE(server.start(&error)) << host;
    EXPECT_NE(error.find("loopback"), std::string::npos) << error;
  }

  SandboxOptions otherPath = quietOptions();
  otherPath.paymentsPath = "/api/v2/payments.json";
  SandboxServer custom(otherPath);
  ASSERT_TRUE(custom.start());
  auto client = clientFor(custom);
  auto moved =
      postPayment(*client, kCardBody, std::nullopt, "/api/v2/payments.json?access_token=x");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->status, 201);
  // The dot in the path is literal, not a pattern.
  auto near = postPayment(*client, kCardBody, std::nullopt, "/api/v2/paymentsXjson?access_token=x");
  ASSERT_TRUE(near);
  EXPECT_EQ(near->status, 404);
  auto old = postPayment(*client, kCardBody);
  ASSERT_TRUE(old);
  EXPECT_EQ(old->status, 404);
}

}  // namespace
}  // namespace korvani::sandbox
