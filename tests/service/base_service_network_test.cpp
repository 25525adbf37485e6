#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "korvani/base_service.hpp"
#include "korvani/platform/url_session.hpp"
#include "service_test_helpers.hpp"

namespace korvani {
namespace {

using namespace std::chrono_literals;
using service_test::Call;
using service_test::CallRecorder;
using test_support::Reply;
using test_support::TestServer;
using Status = Response::Status;
using BaseServiceNetwork = service_test::NetworkTest;

TEST_F(BaseServiceNetwork, HttpAnswersReachSuccessOrErrorWithTheirBytes) {
  TestServer server;
  // Which statuses count as success, and which bodies give JSON, is the response's business.
  const struct {
    const char* path;
    Reply reply;
    Call::Kind kind;
    std::string data;  // an answer without a body arrives as empty data
  } cases[] = {
      {"/ok", Reply::with(200, R"({"id":1})"), Call::Kind::success, R"({"id":1})"},
      {"/empty", Reply::with(204), Call::Kind::success, ""},
      {"/missing", Reply::with(404, R"({"e":1})"), Call::Kind::error, R"({"e":1})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    server.on(c.path, c.reply);
    const auto service = serviceFor(server.origin(), c.path);
    CallRecorder recorder;
    recorder.attach(*service);
    service->execute();
    EXPECT_TRUE(recorder.calls.empty()) << "a callback ran inside execute()";
    ASSERT_TRUE(recorder.waitFor(1));
    ASSERT_EQ(recorder.calls.size(), 1u);
    const Call& call = recorder.calls[0];
    EXPECT_EQ(call.kind, c.kind);
    EXPECT_EQ(call.thread, mainThread_);
    EXPECT_EQ(call.response->data, c.data);
    EXPECT_EQ(call.error, nullptr);
  }
  // Every execute() sends anew; the same service reports each answer.
  const auto repeated = serviceFor(server.origin(), "/ok");
  CallRecorder recorder;
  recorder.attach(*repeated);
  repeated->execute();
  repeated->execute();
  ASSERT_TRUE(recorder.waitFor(2));
  EXPECT_EQ(recorder.calls.size(), 2u);
  EXPECT_EQ(server.requestCount(), std::size(cases) + 2);
}

TEST_F(BaseServiceNetwork, FailuresReachFailureWithTheirError) {
  TestServer server;
  using enum host::ZRNetworkStatus;
  const struct {
    const char* label;
    std::optional<host::ZRNetworkStatus> network;  // nullopt: no reachability object at all
    std::optional<std::string> base;
    std::optional<std::string> path;
    std::int64_t code;
    bool beforeSending;  // decided inside execute(), with the empty domain
  } cases[] = {
      // A transport failure: the session's own error (its kinds, a time-out among them, are
      // the session tests' concern).
      {"joined URL does not parse", ReachableViaWWAN, "https://127.0.0.1 x", "/ok",
       platform::kURLErrorBadURL, false},
      {"no reachability object", std::nullopt, server.origin(), "/ok",
       platform::kURLErrorNotConnectedToInternet, true},
      {"offline and no base", NotReachable, std::nullopt, "/ok",
       platform::kURLErrorNotConnectedToInternet, true},
      {"no path", ReachableViaWWAN, server.origin(), std::nullopt, platform::kURLErrorBadURL, true},
      {"no base", ReachableViaWWAN, std::nullopt, "/ok", platform::kURLErrorBadURL, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.network) test_support::setNetworkStatus(*c.network);
    if (!c.network) host::ZRReachability::setProvider([] { return nullptr; });
    const auto service = serviceFor(c.base, c.path);
    CallRecorder recorder;
    recorder.attach(*service);
    service->execute();
    EXPECT_TRUE(recorder.calls.empty()) << "a callback ran inside execute()";
    ASSERT_TRUE(recorder.waitFor(1));
    ASSERT_EQ(recorder.calls.size(), 1u);
    const Call& call = recorder.calls[0];
    EXPECT_EQ(call.kind, Call::Kind::failure);
    EXPECT_EQ(call.thread, mainThread_);
    EXPECT_EQ(call.response->result().status(), Status::failed);
    EXPECT_FALSE(call.response->data.has_value());
    ASSERT_NE(call.error, nullptr);
    EXPECT_EQ(call.error->code(), c.code);
    EXPECT_EQ(call.error->domain(), c.beforeSending ? "" : platform::kURLErrorDomain);
    if (!c.beforeSending) continue;
    EXPECT_FALSE(call.error->userInfo().has_value());
    // The outcome was read inside execute(): a callback installed afterwards is not used.
    service->failure = nullptr;
    service->execute();
    CallRecorder late;
    late.attach(*service);
    EXPECT_TRUE(late.staysSilentFor(50ms));
  }
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(BaseServiceNetwork, CancelledReleasedOrUnheardRequestsReportNothing) {
  TestServer server;
  server.on("/stall", Reply{.delay = 3s});
  server.on("/ok", Reply::with(200, "{}"));
  server.on("/slow", Reply{.body = "{}", .delay = 300ms});
  serviceFor(server.origin(), "/ok")->cancel();  // with nothing started: nothing happens
  CallRecorder recorder;

  // Cancelled before the answer: no callback at all.
  const auto cancelled = serviceFor(server.origin(), "/stall");
  recorder.attach(*cancelled);
  cancelled->execute();
  ASSERT_TRUE(server.waitForRequests(1, 5s));
  cancelled->cancel();
  // Released before the answer: the request does not keep the service alive.
  auto released = serviceFor(server.origin(), "/slow");
  recorder.attach(*released);
  released->execute();
  const std::weak_ptr<BaseService> watch = released;
  released.reset();
  EXPECT_TRUE(watch.expired());
  // With no callback for the outcome, a 200 is dropped and nothing else runs.
  const auto unheard = serviceFor(server.origin(), "/ok");
  recorder.attach(*unheard);
  unheard->success = nullptr;
  unheard->execute();
  ASSERT_TRUE(server.waitForRequests(3, 5s));
  EXPECT_TRUE(recorder.staysSilentFor(800ms));

  // Cancelling after the answer arrived changes nothing.
  const auto done = serviceFor(server.origin(), "/ok");
  recorder.attach(*done);
  done->execute();
  ASSERT_TRUE(recorder.waitFor(1));
  done->cancel();
  EXPECT_TRUE(recorder.staysSilentFor(100ms));
  ASSERT_EQ(recorder.calls.size(), 1u);
  EXPECT_EQ(recorder.calls[0].kind, Call::Kind::success);
}

// The observer hears every exchange, on the main thread and before the outcome's callback: the
// answers a report cannot tell apart, failures decided before sending, and the outcomes no
// callback hears (released, cancelled). It changes nothing about the callbacks.
TEST_F(BaseServiceNetwork, ExchangeObserverHearsEveryOutcome) {
  TestServer server;
  server.on("/conflict", Reply::with(409, R"({"error":"conflict"})"));
  server.on("/slow", Reply{.body = "{}", .delay = 300ms});
  server.on("/stall", Reply{.delay = 3s});
  struct Heard {
    std::optional<long> statusCode;
    std::string domain;
    std::int64_t code = 0;
    std::size_t callbacksBefore = 0;
    std::thread::id thread;
    std::uint32_t sendCount = 0;
  };
  std::vector<Heard> heard;
  CallRecorder recorder;
  struct Uninstall {
    ~Uninstall() { setExchangeObserver({}); }
  } uninstall;
  setExchangeObserver([&](const ExchangeOutcome& outcome) {
    heard.push_back({outcome.statusCode, outcome.error ? outcome.error->domain() : "",
                     outcome.error ? outcome.error->code() : 0, recorder.calls.size(),
                     std::this_thread::get_id(), outcome.sendCount});
    if (heard.size() == 1) throw std::runtime_error("observer failed");  // swallowed
  });

  const auto conflict = serviceFor(server.origin(), "/conflict");
  recorder.attach(*conflict);
  conflict->execute();
  ASSERT_TRUE(recorder.waitFor(1));
  test_support::setNetworkStatus(host::ZRNetworkStatus::NotReachable);
  const auto offline = serviceFor(server.origin(), "/conflict");
  recorder.attach(*offline);
  offline->execute();
  ASSERT_TRUE(recorder.waitFor(2));
  test_support::setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);
  auto released = serviceFor(server.origin(), "/slow");
  recorder.attach(*released);
  released->execute();
  released.reset();
  const auto cancelled = serviceFor(server.origin(), "/stall");
  recorder.attach(*cancelled);
  cancelled->execute();
  ASSERT_TRUE(server.waitForRequests(3, 5s));
  cancelled->cancel();
  ASSERT_TRUE(platform::MainQueue::runFor([&] { return heard.size() >= 4; }, 10s));
  EXPECT_TRUE(recorder.staysSilentFor(100ms));

  ASSERT_EQ(heard.size(), 4u);
  ASSERT_EQ(recorder.calls.size(), 2u);
  EXPECT_EQ(recorder.calls[0].kind, Call::Kind::error) << "the observer's throw changed nothing";
  EXPECT_EQ(heard[0].statusCode, 409);
  EXPECT_EQ(heard[0].code, 0) << "an answer carries no error";
  EXPECT_EQ(heard[0].callbacksBefore, 0u);
  EXPECT_EQ(heard[1].statusCode, std::nullopt);
  EXPECT_EQ(heard[1].domain, "");
  EXPECT_EQ(heard[1].code, platform::kURLErrorNotConnectedToInternet);
  EXPECT_EQ(heard[1].callbacksBefore, 1u);
  // Which of the last two arrives first depends on the server; both are heard.
  const bool releasedFirst = heard[2].statusCode == 200;
  const Heard& answer = releasedFirst ? heard[2] : heard[3];
  const Heard& cancel = releasedFirst ? heard[3] : heard[2];
  EXPECT_EQ(answer.statusCode, 200) << "the released service's answer";
  EXPECT_EQ(cancel.code, platform::kURLErrorCancelled);
  for (const Heard& h : heard)
    EXPECT_EQ(h.thread, mainThread_);
  // Sent once each, but for the request stopped before sending.
  EXPECT_EQ(heard[0].sendCount, 1u);
  EXPECT_EQ(heard[1].sendCount, 0u);
  EXPECT_EQ(answer.sendCount, 1u);
  EXPECT_EQ(cancel.sendCount, 1u);

  // Removed: nothing more is heard.
  setExchangeObserver({});
  const auto later = serviceFor(server.origin(), "/conflict");
  recorder.attach(*later);
  later->execute();
  ASSERT_TRUE(recorder.waitFor(3));
  EXPECT_EQ(heard.size(), 4u);
}

}  // namespace
}  // namespace korvani
