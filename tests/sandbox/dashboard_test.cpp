// The dashboard's endpoints as scripts and the page use them: the journal, the controls, the
// live stream, and what is refused. The page itself is tested in a browser (tests/browser).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korvani/json.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "sandbox/sandbox_requests.hpp"
#include "support/fakes.hpp"

namespace korvani::sandbox {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

SandboxOptions dashboardOptions() {
  SandboxOptions options = quietOptions();
  options.dashboard = true;
  return options;
}

int dashboardPort(const SandboxServer& server) {
  const std::string url = server.dashboardUrl();  // http://127.0.0.1:PORT/
  const std::size_t colon = url.rfind(':');
  return colon == std::string::npos ? 0 : std::stoi(url.substr(colon + 1));
}

struct Page {
  int status = 0;
  JsonObject json;
};

Page get(const SandboxServer& server, const std::string& path, httplib::Headers headers = {}) {
  httplib::Client client("127.0.0.1", dashboardPort(server));
  const auto result = client.Get(path.c_str(), headers);
  if (!result) return {};
  return {result->status,
          result->body.empty() ? JsonObject{} : test_support::jsonObject(result->body)};
}

Page control(const SandboxServer& server, const std::string& path, const std::string& form = "",
             httplib::Headers headers = {}) {
  httplib::Client client("127.0.0.1", dashboardPort(server));
  const auto result = client.Post(path.c_str(), headers, form, "application/x-www-form-urlencoded");
  if (!result) return {};
  return {result->status,
          result->body.empty() ? JsonObject{} : test_support::jsonObject(result->body)};
}

std::vector<JsonObject> objects(const JsonObject& page, std::string_view key) {
  std::vector<JsonObject> found;
  if (const JsonArray* array = page.getArray(key)) {
    for (const JsonValue& value : *array) {
      if (const JsonObject* object = value.asObject()) found.push_back(*object);
    }
  }
  return found;
}

std::string text(const JsonObject& object, std::string_view key) {
  const std::string* value = object.getString(key);
  return value ? *value : "";
}

const JsonObject* connection(const std::vector<JsonObject>& connections, std::uint64_t id) {
  for (const JsonObject& c : connections) {
    if (c.getUInt64("id") == id) return &c;
  }
  return nullptr;
}

TEST(SandboxDashboard, JournalShowsEachRequestWithItsConnectionKeyAndOutcome) {
  SandboxServer plain(quietOptions());
  ASSERT_TRUE(plain.start());
  EXPECT_EQ(plain.dashboardUrl(), "") << "off unless asked for";

  SandboxOptions options = dashboardOptions();
  options.journalCapacity = 6;
  SandboxServer server(options);
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.dashboardUrl(),
            "http://127.0.0.1:" + std::to_string(dashboardPort(server)) + "/");
  EXPECT_NE(dashboardPort(server), server.port());

  const std::string exact =
      R"({"payment_method_id":"visa","token":"card-1","transaction_amount":10.250})";
  ASSERT_EQ(post(server, exact, "key-A").status, 201);
  ASSERT_EQ(post(server, exact, "key-A").status, 201);                              // replay
  ASSERT_EQ(post(server, R"({"payment_method_id":"visa"})", "key-A").status, 409);  // other body
  // Lost after charging: a second request with the key follows and is answered as a replay.
  ASSERT_EQ(post(server, cardBody("drop"), "key-D").status, 201);

  const Page journal = get(server, "/api/journal");
  ASSERT_EQ(journal.status, 200);
  const auto requests = objects(journal.json, "requests");
  const auto connections = objects(journal.json, "connections");
  ASSERT_EQ(requests.size(), 5u);
  const JsonObject &first = requests[0], &replay = requests[1], &conflict = requests[2],
                   &drop = requests[3], &resent = requests[4];
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].getUInt64("seq"), i + 1);
    EXPECT_EQ(text(requests[i], "target"), "/v1/payments?access_token=TEST\xE2\x80\xA6")
        << "the token is masked";
  }
  EXPECT_EQ(first.getInt64("status"), 201);
  EXPECT_EQ(text(first, "amount"), "10.250") << "exactly as sent";
  EXPECT_EQ(text(first, "key"), "key-A");
  EXPECT_EQ(text(first, "paymentStatus"), "approved");
  EXPECT_EQ(first.getBool("replayed"), false);
  EXPECT_EQ(replay.getBool("replayed"), true);
  EXPECT_EQ(text(replay, "payment"), text(first, "payment"));
  EXPECT_EQ(replay.getUInt64("connection"), first.getUInt64("connection")) << "kept alive";
  EXPECT_EQ(conflict.getInt64("status"), 409);
  EXPECT_TRUE(conflict.find("payment")->isNull());
  EXPECT_EQ(drop.getBool("dropped"), true);
  EXPECT_EQ(text(drop, "scenario"), "drop");
  EXPECT_EQ(resent.getBool("replayed"), true);
  EXPECT_EQ(text(resent, "key"), "key-D");
  EXPECT_EQ(text(resent, "payment"), text(drop, "payment"));
  EXPECT_NE(resent.getUInt64("connection"), drop.getUInt64("connection"));
  EXPECT_GE(*first.getInt64("end"), *first.getInt64("start"));

  // The dropped request's connection was handshaken and closed; the re-send's is still open.
  const JsonObject* dropLane = connection(connections, *drop.getUInt64("connection"));
  const JsonObject* resentLane = connection(connections, *resent.getUInt64("connection"));
  ASSERT_TRUE(dropLane && resentLane);
  EXPECT_LE(*dropLane->getInt64("handshakeStart"), *dropLane->getInt64("handshakeDone"));
  EXPECT_LE(*dropLane->getInt64("handshakeDone"), *first.getInt64("start"));
  EXPECT_GE(*dropLane->getInt64("closed"), *drop.getInt64("end"));
  EXPECT_EQ(dropLane->getUInt64("requests"), 4u);
  EXPECT_TRUE(resentLane->find("closed")->isNull());

  // A request whole: its fields as sent and the answer as written.
  const Page detail = get(server, "/api/requests/1");
  ASSERT_EQ(detail.status, 200);
  EXPECT_EQ(text(detail.json, "body"), exact);
  EXPECT_NE(text(detail.json, "answerBody").find("\"transaction_amount\":10.250"),
            std::string::npos);
  bool keySent = false;
  for (const JsonValue& field : *detail.json.getArray("headers")) {
    const JsonArray& pair = *field.asArray();
    keySent =
        keySent || (*pair[0].asString() == "X-Idempotency-Key" && *pair[1].asString() == "key-A");
  }
  EXPECT_TRUE(keySent);

  // Bounded: the oldest requests go.
  ASSERT_EQ(post(server, kCardBody).status, 201);
  ASSERT_EQ(post(server, kCardBody).status, 201);
  const auto kept = objects(get(server, "/api/journal").json, "requests");
  ASSERT_EQ(kept.size(), 6u);
  EXPECT_EQ(kept.front().getUInt64("seq"), 2u);
  EXPECT_EQ(kept.back().getUInt64("seq"), 7u);
  EXPECT_EQ(get(server, "/api/requests/1").status, 404);
}

TEST(SandboxDashboard, ControlsSetTheNextPaymentOnceAndClearTheJournal) {
  SandboxServer server(dashboardOptions());
  ASSERT_TRUE(server.start());

  Page set = control(server, "/api/next-scenario", "scenario=unavailable");
  ASSERT_EQ(set.status, 200);
  EXPECT_EQ(text(set.json, "nextScenario"), "unavailable");
  EXPECT_EQ(text(get(server, "/api/journal").json, "nextScenario"), "unavailable");
  EXPECT_EQ(post(server, kCardBody, "key-1").status, 503);
  EXPECT_EQ(post(server, kCardBody, "key-2").status, 201) << "used once";
  EXPECT_TRUE(get(server, "/api/journal").json.find("nextScenario")->isNull());

  EXPECT_EQ(control(server, "/api/next-scenario", "scenario=bogus").status, 400);
  EXPECT_EQ(control(server, "/api/next-scenario?scenario=rejected").status, 200);
  EXPECT_EQ(control(server, "/api/next-scenario", "scenario=").status, 200) << "cancels";
  const JsonObject cancelled = test_support::jsonObject(post(server, kCardBody, "key-3").body);
  ASSERT_NE(cancelled.getObject("raw"), nullptr);
  EXPECT_EQ(text(*cancelled.getObject("raw"), "status"), "approved");

  // Pages elsewhere cannot reach it through a browser: not by a name of theirs pointing here
  // (DNS rebinding), not by posting across sites.
  EXPECT_EQ(get(server, "/api/journal", {{"Host", "payments.example:80"}}).status, 403);
  EXPECT_EQ(control(server, "/api/clear", "", {{"Origin", "http://shop.example"}}).status, 403);
  EXPECT_EQ(control(server, "/api/next-scenario", "scenario=drop",
                    {{"Origin", "http://127.0.0.1:" + std::to_string(dashboardPort(server) + 1)}})
                .status,
            403);
  EXPECT_EQ(objects(get(server, "/api/journal").json, "requests").size(), 3u);
  EXPECT_TRUE(get(server, "/api/journal").json.find("nextScenario")->isNull());

  const std::string ownOrigin = "http://127.0.0.1:" + std::to_string(dashboardPort(server));
  EXPECT_EQ(control(server, "/api/clear", "", {{"Origin", ownOrigin}}).status, 204);
  const Page cleared = get(server, "/api/journal");
  EXPECT_TRUE(objects(cleared.json, "requests").empty());
  // The kept-alive connection stays as a lane, its requests forgotten.
  const auto lanes = objects(cleared.json, "connections");
  ASSERT_EQ(lanes.size(), 1u);
  EXPECT_EQ(lanes[0].getUInt64("requests"), 0u);
  EXPECT_EQ(post(server, kCardBody).status, 201);
  const auto after = objects(get(server, "/api/journal").json, "requests");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].getUInt64("seq"), 4u) << "numbers go on after a clear";
  EXPECT_EQ(after[0].getUInt64("connection"), lanes[0].getUInt64("id"));
}

// A socket that asks for the event stream and then never reads: its window fills and the
// server's writes to it block.
int stalledViewer(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int small = 2048;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const std::string request =
      "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST(SandboxDashboard, ViewersFollowLiveAndAStalledOneNeverHoldsPaymentsUp) {
  SandboxServer server(dashboardOptions());
  ASSERT_TRUE(server.start());
  const int port = dashboardPort(server);

  // A live viewer, reading everything until the server ends its stream.
  std::mutex mutex;
  std::condition_variable arrived;
  std::string events;
  httplib::Client live("127.0.0.1", port);
  live.set_read_timeout(60, 0);
  std::thread viewer([&] {
    live.Get("/api/events", [&](const char* data, std::size_t length) {
      std::lock_guard lock(mutex);
      events.append(data, length);
      arrived.notify_all();
      return true;
    });
  });
  std::vector<int> stalled;
  for (int i = 0; i < 3; ++i)
    stalled.push_back(stalledViewer(port));

  // Long keys make every event large, so that the stalled viewers' windows fill.
  Clock::duration slowest{};
  for (int i = 0; i < 60; ++i) {
    const std::string key = std::to_string(i) + "-" + std::string(6000, 'k');
    const auto start = Clock::now();
    ASSERT_EQ(post(server, kCardBody, key).status, 201);
    slowest = std::max(slowest, Clock::now() - start);
  }
  // A viewer that blocked the journal would hold a payment for its write time-out (2 s).
  EXPECT_LT(slowest, 1s);
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(arrived.wait_for(lock, 20s, [&] {
      return events.find("\"seq\":60,") != std::string::npos;
    })) << "the live viewer saw the last payment";
    EXPECT_NE(events.find("event: journal\n"), std::string::npos);
  }

  const auto stopping = Clock::now();
  server.stop();
  EXPECT_LT(Clock::now() - stopping, 5s) << "streams end when the server stops";
  viewer.join();
  for (int fd : stalled) {
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
  }
}

}  // namespace
}  // namespace korvani::sandbox
