// Which connection a request goes out on: reuse within the server's keep-alive, the re-send rule,
// the deadline, connections opened ahead, and stopping the session.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "korvani/platform/url_request.hpp"
#include "korvani/platform/url_session.hpp"
#include "support/test_server.hpp"
#include "transport/connection_policy.hpp"
#include "transport/warm_up.hpp"

namespace korvani::platform {
namespace {

using namespace std::chrono_literals;
using test_support::fetch;
using test_support::HttpVersion;
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

std::string protocolName(const ::testing::TestParamInfo<HttpVersion>& tested) {
  return tested.param == HttpVersion::http1 ? "Http1" : "Http2";
}

TEST(ResendRule, WhichRequestsWhenAndWithinWhatDeadline) {
  using transport::exchangeDeadline;
  using transport::nextSendAt;
  const auto keyed = [](HeaderList fields) { return request("https://a/", "POST", fields); };
  EXPECT_TRUE(transport::mayResend(keyed({{"X-Idempotency-Key", "k"}}), true));
  EXPECT_TRUE(transport::mayResend(keyed({{"idempotency-key", "k"}}), true));
  EXPECT_FALSE(transport::mayResend(keyed({{"X-Idempotency-Key", "k"}}), false)) << "off";
  EXPECT_FALSE(transport::mayResend(keyed({{"X-Idempotency-Key", ""}}), true)) << "empty key";
  EXPECT_FALSE(transport::mayResend(request("https://a/"), true)) << "keyless GET";

  const auto now = transport::Clock::now();
  const auto far = now + 60s;
  for (const double random : {0.0, 0.5, 0.999}) {
    const auto first = nextSendAt(1, now, far, random);
    ASSERT_TRUE(first);
    EXPECT_GE(*first - now, 50ms);
    EXPECT_LE(*first - now, 100ms);
    const auto second = nextSendAt(2, now, far, random);
    ASSERT_TRUE(second);
    EXPECT_GE(*second - now, 100ms);
    EXPECT_LE(*second - now, 200ms);
  }
  EXPECT_FALSE(nextSendAt(3, now, far, 0.5)) << "three sends at most";
  EXPECT_FALSE(nextSendAt(1, now, now + 40ms, 0.0)) << "a pause past the deadline";

  // The host's time-out wins over a shorter session deadline, and a payment's default stays.
  EXPECT_EQ(exchangeDeadline(78s, 120s), 126s);
  EXPECT_EQ(exchangeDeadline(78s, 72s), 78s);
  EXPECT_EQ(exchangeDeadline(200s, 72s), 200s);
}

// A request whose connection is lost before the answer is complete, over both protocols: with an
// idempotency key it goes out again, with the same bytes, on a new connection; without one, or
// with re-sending off, it fails. An answer is never sent again, whatever its status.
class ResendTest : public ::testing::TestWithParam<HttpVersion> {
 protected:
  void TearDown() override { URLSession::sharedSession()->setResendEnabled(true); }
};

TEST_P(ResendTest, ALostAnswerIsFoundAgainUnderItsKeyOnly) {
  const HeaderList key = {{"X-Idempotency-Key", "k-1"}, {"X-Other", "1"}};
  const Reply drop{.dropBeforeAnswer = true};
  const Reply cut{.status = 201, .body = std::string(40, 'p'), .cutAfterBodyBytes = 10};
  const struct {
    const char* name;
    HeaderList headers;
    Reply firstReply;
    bool warmFirst;  // the payment goes out on a kept connection
    bool resend;     // the session's setting
    std::int64_t code;
    std::uint32_t sends;
  } cases[] = {
      {"keyed, lost on a reused connection", key, drop, true, true, 0, 2},
      {"keyed, lost on a fresh connection", key, drop, false, true, 0, 2},
      {"keyed, cut after part of the answer", key, cut, true, true, 0, 2},
      {"keyless, lost on a reused connection",
       {{"X-Other", "1"}},
       drop,
       true,
       true,
       kURLErrorNetworkConnectionLost,
       1},
      {"keyless, cut after part of the answer",
       {{"X-Other", "1"}},
       cut,
       true,
       true,
       kURLErrorNetworkConnectionLost,
       1},
      {"keyed, re-sending off", key, drop, true, false, kURLErrorNetworkConnectionLost, 1},
      {"keyed, answered 503", key, Reply::with(503, "busy"), true, true, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    URLSession::sharedSession()->setResendEnabled(c.resend);
    TestServer server(GetParam());
    server.on("/warm", Reply::with(200, "{}"));
    std::atomic<int> seen{0};
    server.on("/pay", [&](const RecordedRequest&) {
      return ++seen == 1 ? c.firstReply : Reply::with(201, "paid");
    });
    if (c.warmFirst) {
      ASSERT_EQ(outcomeCode(fetch(request(server.url("/warm")))), 0);
    }
    const auto outcome =
        fetch(request(server.url("/pay"), "POST", c.headers, std::string("{\"a\":1}")));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->completions, 1);
    EXPECT_EQ(outcomeCode(outcome), c.code);
    EXPECT_EQ(outcome->sends, c.sends);
    auto requests = server.requests();
    if (c.warmFirst) requests.erase(requests.begin());
    ASSERT_EQ(requests.size(), c.sends) << "the server saw each send";
    EXPECT_EQ(requests[0].protocol, GetParam() == HttpVersion::http1 ? "HTTP/1.1" : "HTTP/2");
    if (c.sends == 2) {
      EXPECT_EQ(outcome->data, "paid");
      EXPECT_NE(requests[1].connection, requests[0].connection) << "the copy on a new one";
      EXPECT_EQ(requests[1].method, requests[0].method);
      EXPECT_EQ(requests[1].body, requests[0].body);
      EXPECT_EQ(requests[1].headers, requests[0].headers);
    }
  }
}

TEST_P(ResendTest, ThreeLostAnswersFailWithinTheDeadlineAndAStallIsNotSentAgain) {
  TestServer server(GetParam());
  server.on("/lost", Reply{.dropBeforeAnswer = true});
  server.on("/stall", Reply{.delay = 5s});
  const HeaderList key = {{"X-Idempotency-Key", "k-2"}};
  const auto start = std::chrono::steady_clock::now();
  const auto lost = fetch(request(server.url("/lost"), "POST", key, std::string("{}")));
  EXPECT_EQ(outcomeCode(lost), kURLErrorNetworkConnectionLost);
  EXPECT_EQ(lost->sends, 3u);
  EXPECT_EQ(server.requestCount(), 3u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "two short pauses only";

  const auto stalled =
      fetch(request(server.url("/stall"), "POST", key, std::string("{}"), /*timeout=*/0.3));
  EXPECT_EQ(outcomeCode(stalled), kURLErrorTimedOut);
  EXPECT_EQ(stalled->sends, 1u);
}

INSTANTIATE_TEST_SUITE_P(Protocols, ResendTest,
                         ::testing::Values(HttpVersion::http1, HttpVersion::http2), protocolName);

// The host's time-out is honoured even when the session's deadline is shorter: the deadline is
// never shorter than what the time-out allows for one send.
TEST(RequestDeadline, NeverCutsARequestShortOfItsOwnTimeOut) {
  TestServer server;
  server.on("/slow", Reply{.body = "late", .delay = 700ms});
  auto session = URLSession::sharedSession();
  session->setRequestDeadline(200ms);
  const auto outcome = fetch(request(server.url("/slow"), "GET", {}, {}, /*timeout=*/2));
  session->setRequestDeadline(URLSession::kDefaultRequestDeadline);
  EXPECT_EQ(outcomeCode(outcome), 0);
  EXPECT_EQ(outcome->data, "late");
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

class WarmUpTest : public ::testing::TestWithParam<HttpVersion> {
 protected:
  void TearDown() override { URLSession::sharedSession()->setWarmUpEnabled(true); }
};

// The server's request handler never sees a warm-up, over either protocol; the request that
// follows takes the warm connection.
TEST_P(WarmUpTest, AConnectionIsHandshakenAheadWithoutARequestAndTheRequestTakesIt) {
  ASSERT_TRUE(transport::WarmUp::available()) << "warm-ups run only on proven libcurl versions";
  auto session = URLSession::sharedSession();
  // A fresh network thread forgets the origins of earlier tests' servers: a port may come again,
  // and a connection believed open to it would make the warm-up unnecessary.
  ASSERT_TRUE(session->shutdown(5s));
  TestServer server(GetParam());
  server.on("/pay", Reply::with(201, "{}"));
  session->warmUp(server.url("/ignored/path"));
  ASSERT_TRUE(server.waitForConnections(1, 10s));
  session->warmUp(server.origin());  // already warm: nothing more
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(server.requestCount(), 0u) << "a warm-up sends no request";
  EXPECT_EQ(server.connectionCount(), 1u);

  const auto paid = fetch(request(server.url("/pay"), "POST", {}, std::string("{}")));
  EXPECT_EQ(outcomeCode(paid), 0);
  EXPECT_EQ(paid->sends, 1u);
  EXPECT_EQ(server.connectionCount(), 1u) << "the request took the warm connection";
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(server.requests()[0].path, "/pay");

  // A request made while the warm-up connects waits for it rather than opening another. Only
  // HTTP/1.1 shows it for certain: this libcurl judges an idle HTTP/2 connection dead when what
  // waits on it is TLS session tickets without a frame, which the server sends once the handshake
  // is over. Over a network they come a round trip after the release; on loopback they may come
  // with it, and the request then opens a connection after the warm one.
  TestServer other(GetParam());
  other.on("/pay", Reply::with(201, "{}"));
  session->warmUp(other.origin());
  EXPECT_EQ(outcomeCode(fetch(request(other.url("/pay")))), 0);
  EXPECT_EQ(other.requestCount(), 1u);
  if (GetParam() == HttpVersion::http1) {
    EXPECT_EQ(other.connectionCount(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Protocols, WarmUpTest,
                         ::testing::Values(HttpVersion::http1, HttpVersion::http2), protocolName);

TEST(WarmUpVersions, OnlyTheProvenLibcurlWarmsUp) {
  using transport::WarmUp;
  EXPECT_TRUE(WarmUp::provenOn(0x075801));   // 7.88.1
  EXPECT_FALSE(WarmUp::provenOn(0x075700));  // 7.87.0
  EXPECT_FALSE(WarmUp::provenOn(0x075900));  // 7.89.0
  EXPECT_FALSE(WarmUp::provenOn(0x080000));  // 8.0.0
}

TEST(WarmUp, AFailedOrDisabledWarmUpChangesNoOutcome) {
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
  session->setWarmUpEnabled(true);
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
