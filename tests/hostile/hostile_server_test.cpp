// What a server or a path under an attacker's control can do to a payment, and what it gets:
// no plaintext, no header the host did not set, no unbounded answer, no endless exchange, no
// environment taking over, no truncated answer read as complete.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "korvani/host/stand_ins.hpp"
#include "korvani/json.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_session.hpp"
#include "support/fakes.hpp"
#include "support/process_state.hpp"
#include "support/raw_tls_server.hpp"
#include "support/test_server.hpp"

namespace korvani {
namespace {

using namespace std::chrono_literals;
using test_support::fetch;
using test_support::LoopbackListener;
using test_support::outcomeCode;
using test_support::peakResidentKiB;
using test_support::RawTlsConnection;
using test_support::RawTlsServer;
using test_support::request;

const std::string kPaymentJson =
    R"({"raw":{"id":77,"status":"approved","status_detail":"accredited"}})";

class HostileServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    auto session = platform::URLSession::sharedSession();
    session->setRequestDeadline(platform::URLSession::kDefaultRequestDeadline);
    session->setProxy(std::nullopt);
  }
  test_support::ProcessState restore;
};

TEST_F(HostileServerTest, NoRequestLeavesWithoutTlsOrWithUserInformation) {
  LoopbackListener plain;
  RawTlsServer server([](RawTlsConnection& connection) { connection.closeNotify(); });
  for (const std::string scheme : {"http", "HTTP", "ws"}) {
    const std::string url =
        scheme + "://127.0.0.1:" + std::to_string(plain.port()) + "/v1/payments";
    EXPECT_EQ(outcomeCode(fetch(request(url))),
              platform::kURLErrorAppTransportSecurityRequiresSecureConnection)
        << url;
  }
  for (const std::string user : {"user:secret@", "user@"}) {
    const std::string url = "https://" + user + server.url("/").substr(8);
    EXPECT_EQ(outcomeCode(fetch(request(url))), platform::kURLErrorBadURL) << url;
  }
  EXPECT_FALSE(plain.contacted()) << "nothing went out in clear";
  EXPECT_EQ(server.connectionCount(), 0u) << "no credentials went out";
}

// Header and trailer fields, interim answers included, count against one bound; within it, an
// answer passes.
TEST_F(HostileServerTest, HeaderAndTrailerBytesAreBounded) {
  const std::string pad = "X-Pad: " + std::string(1000, 'p') + "\r\n";
  const struct {
    const char* name;
    std::string head;
    std::string field;  // repeated, 64 MiB of it
  } endless[] = {
      {"header fields", "HTTP/1.1 200 OK\r\n", pad},
      {"trailers",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Pad\r\n\r\n2\r\nok\r\n0\r\n",
       pad},
      {"interim answers", "", "HTTP/1.1 100 Continue\r\n" + pad + "\r\n"},
  };
  const long before = peakResidentKiB();
  for (const auto& c : endless) {
    SCOPED_TRACE(c.name);
    RawTlsServer server([&](RawTlsConnection& connection) {
      connection.readRequest();
      std::string block;
      while (block.size() < 64 * 1024)
        block += c.field;
      bool open = connection.send(c.head);
      for (std::size_t sent = 0; open && sent < std::size_t{64} << 20; sent += block.size())
        open = connection.send(block);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(outcomeCode(fetch(request(server.url("/")), 30s)),
              platform::kURLErrorDataLengthExceedsMaximum);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  }
  // Keeping 64 MiB of fields would have raised the peak by far more.
  EXPECT_LT(peakResidentKiB() - before, 32 * 1024);

  RawTlsServer within([&](RawTlsConnection& connection) {
    connection.readRequest();
    std::string head = "HTTP/1.1 102 Processing\r\n" + pad + "\r\nHTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 55; ++i)
      head += pad;
    connection.send(head + "Content-Length: 2\r\n\r\nok");
    connection.closeNotify();
  });
  const auto outcome = fetch(request(within.url("/")));
  EXPECT_TRUE(outcome && outcome->data == "ok") << outcomeCode(outcome);
}

// A byte every 100 ms keeps the stall time-out from ever firing; the deadline still ends it. It
// is the session's deadline or the request's time-out plus 6 s, whichever is longer.
TEST_F(HostileServerTest, ATricklingServerMeetsTheRequestDeadline) {
  RawTlsServer server([](RawTlsConnection& connection) {
    connection.readRequest();
    connection.send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n");
    while (connection.pause(100ms) && connection.send("x")) {
    }
  });
  platform::URLSession::sharedSession()->setRequestDeadline(1500ms);
  const auto start = std::chrono::steady_clock::now();
  const auto outcome = fetch(request(server.url("/"), "GET", {}, {}, /*timeout=*/0.5), 20s);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(outcomeCode(outcome), platform::kURLErrorTimedOut);
  EXPECT_GE(took, 6500ms);
  EXPECT_LT(took, 9s);
}

// An answer is classified by its status however it ends; a JSON answer cut short never parses,
// so a truncation cannot pass for another payment. A length or chunked framing that the close
// cuts short is a lost connection.
TEST_F(HostileServerTest, AnAnswerEndedByTheConnectionsCloseCountsByItsStatus) {
  const std::string closeDelimited =
      "HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n\r\n";
  const std::string truncated = kPaymentJson.substr(0, kPaymentJson.size() - 2);
  const struct {
    const char* name;
    std::string answer;
    bool notify;
    std::int64_t code;
    bool parses;
  } cases[] = {
      {"no length, cut", closeDelimited + truncated, false, 0, false},
      {"no length, close_notify", closeDelimited + kPaymentJson, true, 0, true},
      {"length, cut short",
       "HTTP/1.1 201 Created\r\nContent-Length: " + std::to_string(kPaymentJson.size()) +
           "\r\n\r\n" + truncated,
       false, platform::kURLErrorNetworkConnectionLost, false},
      {"chunked, cut before the last chunk",
       "HTTP/1.1 201 Created\r\nTransfer-Encoding: chunked\r\n\r\n4\r\n{\"ra\r\n", false,
       platform::kURLErrorNetworkConnectionLost, false},
      {"length, then cut", "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\n{}", false, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawTlsServer server([&](RawTlsConnection& connection) {
      connection.readRequest();
      connection.send(c.answer);
      c.notify ? connection.closeNotify() : connection.cut();
    });
    const auto outcome = fetch(request(server.url("/")));
    EXPECT_EQ(outcomeCode(outcome), c.code);
    EXPECT_EQ(outcome && outcome->data && parseJson(*outcome->data).has_value(), c.parses);
  }
}

// Proxy variables do not reroute requests; only the session's own setting does.
TEST_F(HostileServerTest, ProxiesComeOnlyFromTheSessionSetting) {
  test_support::TestServer server;
  server.on("/a", test_support::Reply::with(200, "a"));
  LoopbackListener proxy;
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
  const char* variables[] = {"https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"};
  for (const char* name : variables)
    ::setenv(name, proxyUrl.c_str(), 1);
  const auto outcome = fetch(request(server.url("/a")));
  for (const char* name : variables)
    ::unsetenv(name);
  EXPECT_EQ(outcomeCode(outcome), 0);
  EXPECT_FALSE(proxy.contacted());

  // The setting is obeyed: the request goes to the proxy, which never answers.
  auto session = platform::URLSession::sharedSession();
  session->setProxy(proxyUrl);
  EXPECT_EQ(outcomeCode(fetch(request(server.url("/a"), "GET", {}, {}, 0.5))),
            platform::kURLErrorTimedOut);
  EXPECT_TRUE(proxy.contacted());
}

// SSLKEYLOGFILE is read when libcurl starts, so a separate process runs with it set.
TEST_F(HostileServerTest, NoTlsSecretsAreLoggedWhateverTheEnvironmentSays) {
  test_support::TestServer server;
  server.on("/a", test_support::Reply::with(200, "a"));
  const auto keyLog =
      std::filesystem::temp_directory_path() / ("korvani-keylog-" + std::to_string(::getpid()));
  const test_support::ProbeRun probe = test_support::runProbe(
      server, "/a", KORVANI_EXIT_PROBE, "SSLKEYLOGFILE=" + keyLog.string() + " ");
  EXPECT_NE(probe.output.find("completion 0\n"), std::string::npos) << "the probe's request failed";
  std::error_code error;
  EXPECT_EQ(std::filesystem::exists(keyLog) ? std::filesystem::file_size(keyLog, error) : 0u, 0u);
  std::filesystem::remove(keyLog);
}

// The host hears of each refusal as of any other failed payment: one failure report, one event.
TEST_F(HostileServerTest, RefusedAnswersEndAsOneFailureReport) {
  RawTlsServer cut([](RawTlsConnection& connection) {
    connection.readRequest();
    connection.send("HTTP/1.1 201 Created\r\nContent-Length: 400\r\n\r\n" +
                    kPaymentJson.substr(0, 40));
    connection.cut();
  });
  const auto events = std::make_shared<host::RecordingTrackListener>();
  host::KVQTracker::setTrackListener(events);
  test_support::setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);
  const std::string origin = cut.url("");
  for (const std::string& base :
       {std::string("http://127.0.0.1:9"), "https://user:pw@" + origin.substr(8), origin}) {
    SCOPED_TRACE(base);
    auto configuration = std::make_shared<PaymentPluginConfiguration>();
    configuration->baseUrl = base;
    configuration->path = "/v1/payments";
    const auto handler = std::make_shared<host::RecordingNavigationHandler>();
    const auto component = PaymentPluginComponent::create(configuration);
    component->navigationHandlerForPlugin(handler);
    events->clear();
    component->renderDidFinish();
    ASSERT_TRUE(platform::MainQueue::runFor([&] { return handler->calls().size() == 3; }, 20s));
    EXPECT_EQ(handler->calls().back().paymentStatus,
              host::VQPaymentMethodPlugin::RemotePaymentStatus::Rejected);
    const auto tracked = events->events();
    ASSERT_EQ(tracked.size(), 1u);
    EXPECT_EQ(tracked[0].result, "fail");
  }
}

}  // namespace
}  // namespace korvani
