#include "korvani/platform/url_session.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/test_server.hpp"

namespace korvani::platform {
namespace {

using namespace std::chrono_literals;
using test_support::fetch;
using test_support::RecordedRequest;
using test_support::Reply;
using test_support::TaskOutcome;
using test_support::TestServer;

URLRequest makeRequest(std::string url, std::string method = "GET") {
  URLRequest request;
  request.url = std::move(url);
  request.httpMethod = std::move(method);
  return request;
}

std::int64_t codeOf(const TaskOutcome& outcome) {
  return outcome.error ? outcome.error->code() : 0;
}

// A one-shot plain-HTTP peer on loopback that keeps the exact bytes of the request it receives
// (the HTTPS test server parses requests and so cannot show what was on the wire).
class WireCapture {
 public:
  WireCapture() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("WireCapture: cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serveOne(); });
  }
  ~WireCapture() {
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  // The request's bytes; waits for the exchange to end.
  std::string bytes() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void serveOne() {
    pollfd waitAccept{listener_, POLLIN, 0};
    if (::poll(&waitAccept, 1, 10000) <= 0) return;
    const int peer = ::accept(listener_, nullptr, nullptr);
    if (peer < 0) return;
    // Reads the head, then as many body bytes as Content-Length announces.
    std::size_t wanted = std::string::npos;
    char buffer[4096];
    while (wanted == std::string::npos || received_.size() < wanted) {
      pollfd p{peer, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) break;
      const ssize_t n = ::read(peer, buffer, sizeof buffer);
      if (n <= 0) break;
      received_.append(buffer, static_cast<std::size_t>(n));
      const auto end = received_.find("\r\n\r\n");
      if (wanted == std::string::npos && end != std::string::npos) {
        const auto field = received_.find("Content-Length: ");
        const std::size_t body = field != std::string::npos && field < end
                                     ? std::stoul(received_.substr(field + 16))
                                     : 0;
        wanted = end + 4 + body;
      }
    }
    const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    [[maybe_unused]] const auto sent = ::write(peer, answer.data(), answer.size());
    ::close(peer);
  }

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::string received_;
};

class URLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { TestServer::trustAuthority(); }
  void TearDown() override {
    URLSession::sharedSession()->setMaximumResponseBytes(URLSession::kDefaultMaximumResponseBytes);
  }
};

TEST_F(URLSessionTest, SendsExactlyTheGivenRequestAndDeliversTheAnswer) {
  TestServer server;
  server.on("/v1/payments", [](const RecordedRequest&) {
    Reply reply = Reply::json(201, R"({"id":7})");
    reply.headers = {{"X-Answer", "yes"}, {"X-Empty-Answer", ""}};
    return reply;
  });

  URLRequest request = makeRequest(server.url("/v1/payments?access_token=a%2Bb&x=1"), "POST");
  request.allHTTPHeaderFields = {
      {"Content-Type", "application/json"}, {"X-Idempotency-Key", "key-1"}, {"X-Empty", ""}};
  const std::string body("{\"a\":1}\0\xff binary", 17);
  request.httpBody = body;
  const auto outcome = fetch(request);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->completions, 1);
  EXPECT_NE(outcome->completionThread, std::this_thread::get_id());
  ASSERT_EQ(outcome->error, nullptr) << outcome->error->localizedDescription();
  ASSERT_TRUE(outcome->response);
  EXPECT_EQ(outcome->response->statusCode, 201);
  EXPECT_EQ(outcome->response->url, request.url);
  EXPECT_EQ(outcome->response->valueForHTTPHeaderField("x-answer"), "yes");
  EXPECT_EQ(outcome->response->valueForHTTPHeaderField("X-Empty-Answer"), "");
  EXPECT_EQ(outcome->response->valueForHTTPHeaderField("Content-Type"), "application/json");
  EXPECT_EQ(outcome->data, R"({"id":7})");

  ASSERT_EQ(server.requestCount(), 1u);
  const RecordedRequest seen = server.requests().at(0);
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.path, "/v1/payments");
  EXPECT_EQ(seen.query, "access_token=a%2Bb&x=1");
  EXPECT_EQ(seen.body, body);
  EXPECT_EQ(seen.header("Content-Type"), "application/json");
  EXPECT_EQ(seen.header("X-Idempotency-Key"), "key-1");
  // (The server library drops empty-valued fields; the wire test covers them.)
  EXPECT_EQ(seen.header("Content-Length"), std::to_string(body.size()));
  // Nothing of libcurl's own making besides Host and Content-Length.
  for (const auto& [name, value] : seen.headers) {
    EXPECT_TRUE(name == "Host" || name == "Content-Length" || name == "Content-Type" ||
                name == "X-Idempotency-Key" || name == "X-Empty")
        << "unexpected field " << name << ": " << value;
  }
}

TEST_F(URLSessionTest, WireCarriesTheGivenFieldsVerbatimIncludingEmptyValues) {
  WireCapture wire;
  URLRequest request = makeRequest(wire.url("/p?q=1"), "POST");
  request.allHTTPHeaderFields = {{"X-Empty", ""},
                                 {"X-Blank", "  "},
                                 {"x-lower", "Mixed Case; a=b"},
                                 {"X-Dup", "1"},
                                 {"X-Dup", "2"}};
  request.httpBody = "abc";
  const auto outcome = fetch(request);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->error, nullptr);
  EXPECT_EQ(outcome->data, "ok");
  EXPECT_EQ(wire.bytes(), "POST /p?q=1 HTTP/1.1\r\nHost: " + wire.host() +
                              "\r\nX-Empty:\r\nX-Blank:\r\nx-lower: Mixed Case; a=b\r\n"
                              "X-Dup: 1\r\nX-Dup: 2\r\nContent-Length: 3\r\n\r\nabc");
}

TEST_F(URLSessionTest, EachMethodIsSentAsGiven) {
  TestServer server;
  server.on("/m",
            [](const RecordedRequest& r) { return Reply::text(200, r.method + ":" + r.body); });
  struct Case {
    std::string method;
    std::optional<std::string> body;
    std::string answer;  // what the client receives
  };
  const Case cases[] = {
      {"GET", std::nullopt, "GET:"},
      {"DELETE", std::nullopt, "DELETE:"},
      {"DELETE", "with body", "DELETE:with body"},  // the method does not decide about the body
      {"GET", "unread", "GET:"},  // the server ignores it, but the connection must survive
      {"PUT", "x", "PUT:x"},
      {"PATCH", std::nullopt, "PATCH:"},
      {"OPTIONS", std::nullopt, "OPTIONS:"},
      {"HEAD", std::nullopt, ""},  // the answer to HEAD has no body
  };
  for (const Case& c : cases) {
    URLRequest request = makeRequest(server.url("/m"), c.method);
    request.httpBody = c.body;
    const auto outcome = fetch(request);
    ASSERT_TRUE(outcome) << c.method;
    ASSERT_EQ(outcome->error, nullptr)
        << c.method << ": " << outcome->error->localizedDescription();
    EXPECT_EQ(outcome->response->statusCode, 200) << c.method;
    EXPECT_EQ(outcome->data, c.answer) << c.method;
    EXPECT_EQ(server.requests().back().method, c.method);
  }
}

TEST_F(URLSessionTest, HTTPErrorStatusIsAnAnswerNotAFailure) {
  TestServer server;
  server.on("/missing", Reply::json(404, R"({"message":"not found"})"));
  server.on("/empty", Reply::noBody(500));
  auto outcome = fetch(makeRequest(server.url("/missing")));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->error, nullptr);
  ASSERT_TRUE(outcome->response);
  EXPECT_EQ(outcome->response->statusCode, 404);
  EXPECT_EQ(outcome->data, R"({"message":"not found"})");

  outcome = fetch(makeRequest(server.url("/empty")));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->error, nullptr);
  ASSERT_TRUE(outcome->response);
  EXPECT_EQ(outcome->response->statusCode, 500);
  EXPECT_EQ(outcome->data, "") << "an answer without a body still has (empty) data";
}

TEST_F(URLSessionTest, TransportFailuresCarryTheirCodeAndNoAnswer) {
  TestServer untrusted(TestServer::Options{.trusted = false});
  TestServer server;
  server.on("/cut", Reply::closeMidAnswer(std::string(100000, 'a'), 1000));

  struct Case {
    std::string name;
    std::string url;
    std::int64_t code;
  };
  const Case cases[] = {
      {"refused", "https://127.0.0.1:" + std::to_string(test_support::closedPort()) + "/",
       kURLErrorCannotConnectToHost},
      {"untrusted certificate", untrusted.url("/"), kURLErrorServerCertificateUntrusted},
      {"closed mid-answer", server.url("/cut"), kURLErrorNetworkConnectionLost},
  };
  for (const Case& c : cases) {
    const auto outcome = fetch(makeRequest(c.url));
    ASSERT_TRUE(outcome) << c.name;
    EXPECT_EQ(outcome->completions, 1) << c.name;
    ASSERT_TRUE(outcome->error) << c.name;
    EXPECT_EQ(outcome->error->domain(), kURLErrorDomain) << c.name;
    EXPECT_EQ(outcome->error->code(), c.code) << c.name;
    EXPECT_FALSE(outcome->response) << c.name;
    EXPECT_FALSE(outcome->data) << c.name;
    ASSERT_TRUE(outcome->error->userInfo()) << c.name;
    EXPECT_TRUE(outcome->error->userInfo()->getInt64(kCurlCodeKey)) << c.name;
    EXPECT_TRUE(outcome->error->userInfo()->getString(kCurlMessageKey)) << c.name;
    EXPECT_EQ(*outcome->error->userInfo()->getString(kFailingURLKey), c.url);
  }
  EXPECT_EQ(untrusted.requestCount(), 0u) << "no request crosses an untrusted connection";
}

TEST_F(URLSessionTest, NoProgressForTheTimeOutFailsWithTimedOut) {
  TestServer server;
  server.on("/stall", Reply::stall(20s));
  // A peer that accepts TCP but never answers the TLS handshake: the time-out covers set-up.
  const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length), 0);

  const std::string urls[] = {server.url("/stall"),
                              "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/"};
  for (const std::string& url : urls) {
    URLRequest request = makeRequest(url);
    request.timeoutInterval = 0.3;
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = fetch(request);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(outcome) << url;
    EXPECT_EQ(codeOf(*outcome), kURLErrorTimedOut) << url;
    EXPECT_FALSE(outcome->response);
    EXPECT_GE(took, 290ms) << url;
    EXPECT_LT(took, 5s) << url;
  }
  ::close(silent);
}

long maxResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST_F(URLSessionTest, OversizedAnswerIsRefusedWithBoundedMemory) {
  TestServer server;
  constexpr std::size_t kLimit = 1 << 20;
  constexpr std::size_t kHuge = std::size_t{768} << 20;
  server.on("/chunked", Reply::oversized(kHuge, /*declareLength=*/false));
  server.on("/declared", Reply::oversized(kHuge, /*declareLength=*/true));
  server.on("/at-limit", Reply::oversized(kLimit, /*declareLength=*/false));
  URLSession::sharedSession()->setMaximumResponseBytes(kLimit);
  EXPECT_EQ(URLSession::sharedSession()->maximumResponseBytes(), kLimit);

  const long before = maxResidentKiB();
  for (const char* path : {"/chunked", "/declared"}) {
    const auto outcome = fetch(makeRequest(server.url(path)), 60s);
    ASSERT_TRUE(outcome) << path;
    EXPECT_EQ(codeOf(*outcome), kURLErrorDataLengthExceedsMaximum) << path;
    EXPECT_FALSE(outcome->data) << path;
    EXPECT_FALSE(outcome->response) << path;
  }
  // Buffering either answer would have raised the peak by hundreds of MiB.
  EXPECT_LT(maxResidentKiB() - before, 128 * 1024);

  const auto exact = fetch(makeRequest(server.url("/at-limit")));
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->error, nullptr);
  ASSERT_TRUE(exact->data);
  EXPECT_EQ(exact->data->size(), kLimit);
}

TEST_F(URLSessionTest, CancelCompletesOnceWithCancelled) {
  TestServer server;
  server.on("/stall", Reply::stall(20s));
  auto session = URLSession::sharedSession();

  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, std::vector<std::int64_t>> codes;
  auto recorder = [&](std::string name) {
    return [&, name](std::optional<std::string> data, std::optional<HTTPURLResponse> response,
                     ErrorPtr error) {
      std::lock_guard lock(mutex);
      EXPECT_FALSE(data);
      EXPECT_FALSE(response);
      codes[name].push_back(error ? error->code() : 0);
      changed.notify_all();
    };
  };
  auto waitFor = [&](std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] {
      std::size_t total = 0;
      for (auto& [name, list] : codes)
        total += list.size();
      return total >= count;
    });
  };

  // In flight: the server has the request, the answer is still to come.
  auto running = session->dataTask(makeRequest(server.url("/stall")), recorder("running"));
  std::weak_ptr<URLSessionDataTask> weakRunning = running;
  running->resume();
  running.reset();  // the session keeps a resumed task alive
  ASSERT_TRUE(server.waitForRequests(1, 10s));
  auto held = weakRunning.lock();
  ASSERT_TRUE(held);
  EXPECT_EQ(held->state(), URLSessionDataTask::State::running);
  const auto start = std::chrono::steady_clock::now();
  held->cancel();
  held->cancel();
  held->resume();  // no effect once cancelled
  held.reset();

  // Suspended: cancelling completes it without anything being sent.
  auto suspended = session->dataTask(makeRequest(server.url("/never")), recorder("suspended"));
  EXPECT_EQ(suspended->state(), URLSessionDataTask::State::suspended);
  suspended->cancel();
  suspended->resume();

  // Resumed and cancelled at once, before the worker even looked at it.
  auto immediate = session->dataTask(makeRequest(server.url("/stall")), recorder("immediate"));
  immediate->resume();
  immediate->cancel();

  ASSERT_TRUE(waitFor(3));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  std::this_thread::sleep_for(50ms);  // room for a wrong second completion
  std::lock_guard lock(mutex);
  for (const char* name : {"running", "suspended", "immediate"}) {
    EXPECT_EQ(codes[name], std::vector<std::int64_t>{kURLErrorCancelled}) << name;
  }
  EXPECT_EQ(suspended->state(), URLSessionDataTask::State::completed);
  EXPECT_EQ(immediate->state(), URLSessionDataTask::State::completed);
  EXPECT_LE(server.requestCount(), 2u);
  for (const auto& r : server.requests())
    EXPECT_NE(r.path, "/never");
}

TEST_F(URLSessionTest, SessionHoldsARunningTaskOnlyUntilItsCompletionRan) {
  TestServer server;
  server.on("/ok", Reply::json(200, "{}"));
  std::weak_ptr<URLSessionDataTask> weakTask;
  std::atomic<bool> completed{false};
  std::atomic<bool> aliveDuringCompletion{false};
  {
    auto task = URLSession::sharedSession()->dataTask(makeRequest(server.url("/ok")),
                                                      [&](auto, auto, ErrorPtr) {
                                                        aliveDuringCompletion = !weakTask.expired();
                                                        completed = true;
                                                      });
    weakTask = task;
    if (auto strong = weakTask.lock()) strong->resume();
    EXPECT_GT(task->taskIdentifier(), 0u);
  }
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while ((!completed || !weakTask.expired()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(completed);
  EXPECT_TRUE(aliveDuringCompletion);
  EXPECT_TRUE(weakTask.expired()) << "the session let go of the task after its completion";

  // Never resumed: nothing runs, nothing is kept.
  bool ran = false;
  std::weak_ptr<URLSessionDataTask> idle = URLSession::sharedSession()->dataTask(
      makeRequest(server.url("/ok")), [&](auto, auto, auto) { ran = true; });
  EXPECT_TRUE(idle.expired());
  EXPECT_FALSE(ran);
}

TEST_F(URLSessionTest, RefusedRequestsCompleteAsynchronouslyAndSendNothing) {
  TestServer server;
  struct Case {
    std::string name;
    std::string url;
    std::string method;
    HeaderList headers;
    std::int64_t code;
  };
  const std::string ok = server.url("/x");
  const Case cases[] = {
      {"CR LF in value", ok, "GET", {{"X-Key", "a\r\nInjected: 1"}}, kURLErrorRequestHeaderInvalid},
      {"LF in value", ok, "GET", {{"X-Key", "a\nb"}}, kURLErrorRequestHeaderInvalid},
      {"NUL in value",
       ok,
       "GET",
       {{"X-Key", std::string("a\0b", 3)}},
       kURLErrorRequestHeaderInvalid},
      {"colon in name", ok, "GET", {{"X:Key", "v"}}, kURLErrorRequestHeaderInvalid},
      {"space in name", ok, "GET", {{"X Key", "v"}}, kURLErrorRequestHeaderInvalid},
      {"empty name", ok, "GET", {{"", "v"}}, kURLErrorRequestHeaderInvalid},
      {"bad field after good ones",
       ok,
       "GET",
       {{"A", "1"}, {"B\r", "2"}},
       kURLErrorRequestHeaderInvalid},
      {"space in URL", "https://127.0.0.1:1/a b", "GET", {}, kURLErrorBadURL},
      {"empty URL", "", "GET", {}, kURLErrorBadURL},
      {"no scheme", "not a url", "GET", {}, kURLErrorBadURL},
      {"unclosed IPv6", "https://[::1/", "GET", {}, kURLErrorBadURL},
      {"NUL in URL", std::string("https://127.0.0.1\0/", 19), "GET", {}, kURLErrorBadURL},
      {"method with space", ok, "GET /evil", {}, kURLErrorBadURL},
      {"other scheme", "ftp://127.0.0.1/", "GET", {}, kURLErrorUnsupportedURL},
  };
  for (const Case& c : cases) {
    std::atomic<int> completions{0};
    std::atomic<std::int64_t> code{0};
    std::atomic<bool> onCallerThread{false};
    const auto caller = std::this_thread::get_id();
    URLRequest request = makeRequest(c.url, c.method);
    request.allHTTPHeaderFields = c.headers;
    auto task = URLSession::sharedSession()->dataTask(
        request, [&](std::optional<std::string> data, std::optional<HTTPURLResponse> response,
                     ErrorPtr error) {
          onCallerThread = std::this_thread::get_id() == caller;
          EXPECT_FALSE(data);
          EXPECT_FALSE(response);
          code = error ? error->code() : 0;
          ++completions;
        });
    task->resume();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (completions == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(completions, 1) << c.name;
    EXPECT_EQ(code, c.code) << c.name;
    EXPECT_FALSE(onCallerThread) << c.name;
  }
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_EQ(server.connectionCount(), 0u) << "not even a connection was made";
}

TEST_F(URLSessionTest, ManyConcurrentTasksEachCompleteOnce) {
  TestServer server;
  server.onAnyOtherPath([](const RecordedRequest& r) {
    Reply reply = Reply::text(200, r.path);
    reply.delay = 20ms;  // keeps them overlapping
    return reply;
  });
  constexpr int kTasks = 48;
  std::mutex mutex;
  std::condition_variable changed;
  std::map<int, std::vector<std::string>> answers;
  int total = 0;
  std::vector<std::thread> starters;
  for (int part = 0; part < 4; ++part) {
    starters.emplace_back([&, part] {
      for (int i = part; i < kTasks; i += 4) {
        auto task = URLSession::sharedSession()->dataTask(
            makeRequest(server.url("/item/" + std::to_string(i))),
            [&, i](std::optional<std::string> data, auto, ErrorPtr error) {
              std::lock_guard lock(mutex);
              answers[i].push_back(error ? "error " + std::to_string(error->code())
                                         : data.value_or("<none>"));
              ++total;
              changed.notify_all();
            });
        task->resume();
      }
    });
  }
  for (auto& starter : starters)
    starter.join();
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return total >= kTasks; }));
  changed.wait_for(lock, 50ms, [&] { return total > kTasks; });
  EXPECT_EQ(total, kTasks);
  for (int i = 0; i < kTasks; ++i) {
    EXPECT_EQ(answers[i], std::vector<std::string>{"/item/" + std::to_string(i)});
  }
}

TEST_F(URLSessionTest, SequentialRequestsReuseOneConnection) {
  TestServer server;
  server.on("/ping", Reply::json(200, "{}"));
  for (int i = 0; i < 6; ++i) {
    const auto outcome = fetch(makeRequest(server.url("/ping")));
    ASSERT_TRUE(outcome);
    ASSERT_EQ(outcome->error, nullptr);
  }
  EXPECT_EQ(server.requestCount(), 6u);
  EXPECT_EQ(server.connectionCount(), 1u);
}

TEST_F(URLSessionTest, CompletionMayStartTheNextTask) {
  TestServer server;
  server.on("/a", Reply::text(200, "a"));
  server.on("/b", Reply::text(200, "b"));
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> got;
  auto session = URLSession::sharedSession();
  auto first = session->dataTask(makeRequest(server.url("/a")), [&](auto data, auto, auto) {
    {
      std::lock_guard lock(mutex);
      got.push_back(data.value_or("?"));
    }
    auto second = session->dataTask(makeRequest(server.url("/b")), [&](auto data2, auto, auto) {
      std::lock_guard lock(mutex);
      got.push_back(data2.value_or("?"));
      changed.notify_all();
    });
    second->resume();
  });
  first->resume();
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return got.size() == 2; }));
  EXPECT_EQ(got, (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace korvani::platform
