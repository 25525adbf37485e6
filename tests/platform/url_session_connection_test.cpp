// Which connection a request goes out on: reuse within the server's keep-alive, one re-send on a
// new connection when that is safe, connections opened ahead, and stopping the session.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "korvani/platform/url_session.hpp"
#include "support/test_server.hpp"
#include "transport/connection_policy.hpp"

namespace korvani::platform {
namespace {

using namespace std::chrono_literals;
using test_support::fetch;
using test_support::outcomeCode;
using test_support::RecordedRequest;
using test_support::Reply;
using test_support::request;
using test_support::TestServer;

TEST(ConnectionPolicy, KeepAliveHintIsReadFromTheAnswer) {
  using transport::keepAliveTimeout;
  EXPECT_EQ(keepAliveTimeout({{"keep-alive", "max=100, timeout=5"}}), 5s);
  EXPECT_EQ(keepAliveTimeout({{"Keep-Alive", " timeout = 60 "}}), 60s);
  EXPECT_EQ(keepAliveTimeout({{"Keep-Alive", "timeout=99999999"}}),
            transport::policy::kDefaultMaxIdle);
  for (const char* bad : {"timeout=", "timeout=-1", "timeout=5s", "max=5", ""}) {
    EXPECT_EQ(keepAliveTimeout({{"Keep-Alive", bad}}), std::nullopt) << bad;
  }
  EXPECT_EQ(keepAliveTimeout({{"X-Keep-Alive", "timeout=5"}}), std::nullopt);
}

TEST(ConnectionReuse, AKeptAliveConnectionIsReusedWithinTheServersHint) {
  TestServer plain;
  TestServer hinting;
  plain.on("/a", Reply::with(200, "a"));
  hinting.on("/a", Reply{.body = "a", .headers = {{"Keep-Alive", "timeout=2"}}});
  for (TestServer* server : {&plain, &hinting}) {
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(outcomeCode(fetch(request(server->url("/a")))), 0);
      // Longer than the hint allows (2 s less the one-second margin), far below the default.
      std::this_thread::sleep_for(1200ms);
    }
  }
  const auto connections = [](const TestServer& server) {
    const auto requests = server.requests();
    return requests.back().connection - requests.front().connection + 1;
  };
  EXPECT_EQ(connections(plain), 1u) << "a POST after a pause takes the kept-alive connection";
  EXPECT_EQ(connections(hinting), 2u) << "the hint is not overstayed";
}

// The server drops a kept-alive connection just as a request arrives: only a request whose
// second copy is harmless goes out again, once, on a new connection, with the same bytes.
TEST(ConnectionReuse, ARequestLostOnAReusedConnectionIsSentAgainOnlyWhenThatIsSafe) {
  const struct {
    const char* name;
    std::string method;
    HeaderList headers;
    bool resent;
  } cases[] = {
      {"keyed POST", "POST", {{"X-Idempotency-Key", "k-1"}, {"X-Other", "1"}}, true},
      {"GET", "GET", {}, true},
      {"POST without key", "POST", {{"X-Other", "1"}}, false},
      {"POST with an empty key", "POST", {{"Idempotency-Key", ""}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer server;
    server.on("/warm", Reply::with(200, "{}"));
    std::atomic<int> seen{0};
    server.on("/pay", [&](const RecordedRequest&) {
      return ++seen == 1 ? Reply{.dropBeforeAnswer = true} : Reply::with(201, "paid");
    });
    ASSERT_EQ(outcomeCode(fetch(request(server.url("/warm")))), 0);
    const auto outcome =
        fetch(request(server.url("/pay"), c.method, c.headers, std::string("{\"a\":1}")));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->completions, 1);
    const auto requests = server.requests();
    if (c.resent) {
      EXPECT_EQ(outcomeCode(outcome), 0);
      EXPECT_EQ(outcome->data, "paid");
      ASSERT_EQ(requests.size(), 3u);
      EXPECT_EQ(requests[1].connection, requests[0].connection) << "the first went out reused";
      EXPECT_NE(requests[2].connection, requests[1].connection) << "the copy on a new one";
      EXPECT_EQ(requests[2].method, requests[1].method);
      EXPECT_EQ(requests[2].body, requests[1].body);
      EXPECT_EQ(requests[2].headers, requests[1].headers);
    } else {
      EXPECT_EQ(outcomeCode(outcome), kURLErrorNetworkConnectionLost);
      EXPECT_EQ(requests.size(), 2u) << "sent once only";
    }
  }
}

// With two kept connections, libcurl would try the copy on the other one, which may be just as
// stale; the copy still goes out once, on a connection opened for it.
TEST(ConnectionReuse, TheCopyNeverTakesAnotherKeptConnection) {
  TestServer server;
  server.on("/warm", Reply{.body = "{}", .delay = 100ms});
  server.on("/pay", [](const RecordedRequest& r) {
    return r.connection <= 2 ? Reply{.dropBeforeAnswer = true} : Reply::with(201, "paid");
  });
  std::thread other([&] { fetch(request(server.url("/warm"))); });
  ASSERT_EQ(outcomeCode(fetch(request(server.url("/warm")))), 0);
  other.join();
  ASSERT_EQ(server.connectionCount(), 2u);
  const auto outcome =
      fetch(request(server.url("/pay"), "POST", {{"X-Idempotency-Key", "k-3"}}, std::string("{}")));
  EXPECT_EQ(outcomeCode(outcome), 0);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u) << "two sends of the payment";
  EXPECT_LE(requests[2].connection, 2u);
  EXPECT_EQ(requests[3].connection, 3u);
}

TEST(ConnectionReuse, ARequestLostOnANewConnectionIsNotSentAgain) {
  TestServer server;
  server.on("/pay", Reply{.dropBeforeAnswer = true});
  const auto outcome =
      fetch(request(server.url("/pay"), "POST", {{"X-Idempotency-Key", "k-2"}}, std::string("{}")));
  EXPECT_EQ(outcomeCode(outcome), kURLErrorNetworkConnectionLost);
  EXPECT_EQ(server.requestCount(), 1u);
}

class WarmUpTest : public ::testing::Test {
 protected:
  void TearDown() override { URLSession::sharedSession()->setWarmUpEnabled(true); }
};

TEST_F(WarmUpTest, AConnectionIsHandshakenAheadWithoutARequestAndTheRequestTakesIt) {
  TestServer server;
  server.on("/pay", Reply::with(201, "{}"));
  auto session = URLSession::sharedSession();
  session->warmUp(server.url("/ignored/path"));
  ASSERT_TRUE(server.waitForConnections(1, 10s));
  session->warmUp(server.origin());  // already warm: nothing more
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(server.requestCount(), 0u) << "a warm-up sends no request";
  EXPECT_EQ(server.connectionCount(), 1u);

  EXPECT_EQ(outcomeCode(fetch(request(server.url("/pay"), "POST", {}, std::string("{}")))), 0);
  EXPECT_EQ(server.connectionCount(), 1u) << "the request took the warm connection";
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(server.requests()[0].path, "/pay");

  // A request made while the warm-up connects waits for it rather than opening another.
  TestServer other;
  other.on("/pay", Reply::with(201, "{}"));
  session->warmUp(other.origin());
  EXPECT_EQ(outcomeCode(fetch(request(other.url("/pay")))), 0);
  EXPECT_EQ(other.connectionCount(), 1u);
}

TEST_F(WarmUpTest, AFailedOrDisabledWarmUpChangesNoOutcome) {
  TestServer untrusted(/*trusted=*/false);
  TestServer server;
  server.on("/a", Reply::with(200, "a"));
  auto session = URLSession::sharedSession();
  const std::string refused = "https://127.0.0.1:1/pay";
  for (const std::string& url : {untrusted.url("/pay"), refused}) {
    SCOPED_TRACE(url);
    const std::int64_t cold = outcomeCode(fetch(request(url)));
    session->warmUp(url);
    EXPECT_EQ(outcomeCode(fetch(request(url))), cold);
  }
  EXPECT_EQ(untrusted.requestCount(), 0u);
  for (const char* odd : {"", "not a url", "ftp://127.0.0.1/"})
    session->warmUp(odd);

  session->setWarmUpEnabled(false);
  session->warmUp(server.origin());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(server.connectionCount(), 0u);
  EXPECT_EQ(outcomeCode(fetch(request(server.url("/a")))), 0);
}

TEST(SessionShutdown, CancelsWhatIsInFlightAndTheSessionStartsAfresh) {
  TestServer server;
  server.on("/stall", Reply{.delay = 30s});
  server.on("/a", Reply::with(200, "a"));
  auto session = URLSession::sharedSession();
  std::atomic<std::int64_t> code{1};
  std::atomic<std::thread::id> thread;
  session
      ->dataTask(request(server.url("/stall")),
                 [&](auto, auto, ErrorPtr error) {
                   thread = std::this_thread::get_id();
                   code = error ? error->code() : 0;
                 })
      ->resume();
  ASSERT_TRUE(server.waitForRequests(1, 10s));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(session->shutdown(5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(code.load(), kURLErrorCancelled) << "completed before shutdown returned";
  EXPECT_NE(thread.load(), std::this_thread::get_id());
  EXPECT_TRUE(session->shutdown(1s)) << "nothing left to stop";

  EXPECT_EQ(outcomeCode(fetch(request(server.url("/a")))), 0);
  EXPECT_EQ(server.requests().back().connection, 2u) << "the old connection was closed";
}

}  // namespace
}  // namespace korvani::platform
