#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "korvani/base_service.hpp"
#include "korvani/platform/url_session.hpp"
#include "service_test_helpers.hpp"
#include "support/test_server.hpp"

namespace korvani {
namespace {

using namespace std::chrono_literals;
using service_test::Call;
using service_test::CallRecorder;
using service_test::ReachabilityOverride;
using test_support::Reply;
using test_support::TestServer;
using Status = Response::Status;

class BaseServiceNetwork : public ::testing::Test {
 protected:
  void SetUp() override { TestServer::trustAuthority(); }
  void TearDown() override { platform::MainQueue::runUntilIdle(); }

  static std::shared_ptr<BaseService> serviceFor(std::string base, std::string path) {
    ServiceConfig config;
    config.base = std::move(base);
    config.path = std::move(path);
    return std::make_shared<BaseService>(std::move(config));
  }

  ReachabilityOverride online_ = ReachabilityOverride::online();
  const std::thread::id mainThread_ = std::this_thread::get_id();
};

TEST_F(BaseServiceNetwork, HttpAnswersReachSuccessOrErrorWithTheirBytes) {
  TestServer server;
  const struct {
    const char* path;
    Reply reply;
    Call::Kind kind;
    Status status;
    std::string data;  // an answer without a body arrives as empty data
    bool json;         // whether responseJSON() yields a value
  } cases[] = {
      {"/ok", Reply::json(200, R"({"id":1})"), Call::Kind::success, Status::success, R"({"id":1})",
       true},
      {"/created", Reply::json(201, "[1,2]"), Call::Kind::success, Status::success, "[1,2]", true},
      {"/text", Reply::text(200, "not json"), Call::Kind::success, Status::success, "not json",
       false},
      {"/empty", Reply::noBody(204), Call::Kind::success, Status::success, "", false},
      {"/missing", Reply::json(404, R"({"error":"not_found"})"), Call::Kind::error, Status::error,
       R"({"error":"not_found"})", true},
      {"/boom", Reply::text(500, "oops"), Call::Kind::error, Status::error, "oops", false},
      {"/moved", Reply::noBody(304), Call::Kind::error, Status::error, "", false},
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
    EXPECT_EQ(call.response->result().status(), c.status);
    EXPECT_EQ(call.response->data, c.data);
    EXPECT_EQ(call.response->responseJSON().has_value(), c.json);
    EXPECT_EQ(call.error, nullptr);
  }
  EXPECT_EQ(server.requestCount(), std::size(cases));

  // Every execute() sends anew; the same service reports each answer.
  const auto repeated = serviceFor(server.origin(), "/ok");
  CallRecorder recorder;
  recorder.attach(*repeated);
  repeated->execute();
  repeated->execute();
  ASSERT_TRUE(recorder.waitFor(2));
  ASSERT_EQ(recorder.calls.size(), 2u);
  EXPECT_EQ(recorder.calls[1].kind, Call::Kind::success);
  EXPECT_EQ(server.requestCount(), std::size(cases) + 2);
}

TEST_F(BaseServiceNetwork, TransportFailuresReachFailureWithTheSessionError) {
  TestServer server;
  TestServer untrusted(TestServer::Options{.trusted = false});
  server.on("/ok", Reply::json(200, "{}"));
  untrusted.on("/ok", Reply::json(200, "{}"));
  server.on("/cut", Reply::closeMidAnswer(std::string(4000, 'a'), 100));
  server.on("/stall", Reply::stall(5s));
  server.on("/huge", Reply::oversized(256 * 1024));

  const auto refusedOrigin = "https://127.0.0.1:" + std::to_string(test_support::closedPort());
  const struct {
    const char* label;
    std::string base;
    std::string path;
    double timeout;
    std::int64_t code;
  } cases[] = {
      {"connection refused", refusedOrigin, "/ok", 72.0, platform::kURLErrorCannotConnectToHost},
      {"untrusted certificate", untrusted.origin(), "/ok", 72.0,
       platform::kURLErrorServerCertificateUntrusted},
      {"closed mid-answer", server.origin(), "/cut", 72.0,
       platform::kURLErrorNetworkConnectionLost},
      {"stalled past the time-out", server.origin(), "/stall", 0.3, platform::kURLErrorTimedOut},
      {"answer above the size limit", server.origin(), "/huge", 72.0,
       platform::kURLErrorDataLengthExceedsMaximum},
      {"URL text that does not parse", "https://127.0.0.1:99999999", "/ok", 72.0,
       platform::kURLErrorBadURL},
      {"URL text with a space", "https://127.0.0.1 x", "/ok", 72.0, platform::kURLErrorBadURL},
  };

  const auto session = platform::URLSession::sharedSession();
  const auto previousLimit = session->maximumResponseBytes();
  session->setMaximumResponseBytes(64 * 1024);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto service = serviceFor(c.base, c.path);
    service->config.timeoutInterval = c.timeout;
    CallRecorder recorder;
    recorder.attach(*service);
    const auto started = std::chrono::steady_clock::now();
    service->execute();
    ASSERT_TRUE(recorder.waitFor(1));
    ASSERT_EQ(recorder.calls.size(), 1u);
    const Call& call = recorder.calls[0];
    EXPECT_EQ(call.kind, Call::Kind::failure);
    EXPECT_EQ(call.thread, mainThread_);
    EXPECT_EQ(call.response->result().status(), Status::failed);
    EXPECT_FALSE(call.response->data.has_value());
    ASSERT_NE(call.error, nullptr);
    EXPECT_EQ(call.error->code(), c.code);
    EXPECT_EQ(call.error->domain(), platform::kURLErrorDomain);
    if (c.timeout < 1.0) {
      EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    }
  }
  session->setMaximumResponseBytes(previousLimit);
}

TEST_F(BaseServiceNetwork, RequestsRefusedBeforeSendingLeaveTheServerUntouched) {
  TestServer server;
  server.on("/ok", Reply::json(200, "{}"));

  // A header value with CR/LF would split the request; the session refuses to send it.
  const auto injected = serviceFor(server.origin(), "/ok");
  injected->config.headers["X-Note"] = "a\r\nX-Injected: 1";
  CallRecorder injectedRecorder;
  injectedRecorder.attach(*injected);
  injected->execute();
  ASSERT_TRUE(injectedRecorder.waitFor(1));
  ASSERT_EQ(injectedRecorder.calls.size(), 1u);
  EXPECT_EQ(injectedRecorder.calls[0].kind, Call::Kind::failure);
  EXPECT_EQ(injectedRecorder.calls[0].response->result().status(), Status::failed);
  EXPECT_FALSE(injectedRecorder.calls[0].response->data.has_value());
  ASSERT_NE(injectedRecorder.calls[0].error, nullptr);
  EXPECT_EQ(injectedRecorder.calls[0].error->code(), platform::kURLErrorRequestHeaderInvalid);

  const struct {
    const char* label;
    host::ZRReachability::Provider provider;  // empty: stay online
    std::optional<std::string> base;
    std::optional<std::string> path;
    std::int64_t code;
  } cases[] = {
      {"reachability reports 0",
       [] {
         return std::make_shared<service_test::FixedReachability>(
             host::ZRNetworkStatus::NotReachable);
       },
       server.origin(), "/ok", platform::kURLErrorNotConnectedToInternet},
      {"no reachability object", [] { return std::shared_ptr<host::ZRReachability>(); },
       server.origin(), "/ok", platform::kURLErrorNotConnectedToInternet},
      {"offline and no base either",
       [] {
         return std::make_shared<service_test::FixedReachability>(
             host::ZRNetworkStatus::NotReachable);
       },
       std::nullopt, "/ok", platform::kURLErrorNotConnectedToInternet},
      {"no path", {}, server.origin(), std::nullopt, platform::kURLErrorBadURL},
      {"no base", {}, std::nullopt, "/ok", platform::kURLErrorBadURL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::optional<ReachabilityOverride> offline;
    if (c.provider) offline.emplace(c.provider);
    ServiceConfig config;
    config.base = c.base;
    config.path = c.path;
    const auto service = std::make_shared<BaseService>(config);
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
    EXPECT_EQ(call.error->domain(), "");
    EXPECT_EQ(call.error->code(), c.code);
    EXPECT_FALSE(call.error->userInfo().has_value());

    // The outcome was read inside execute(): a callback installed afterwards is not used.
    CallRecorder::detach(*service);
    CallRecorder late;
    service->execute();
    late.attach(*service);
    EXPECT_TRUE(late.staysSilentFor(50ms));
    EXPECT_EQ(recorder.calls.size(), 1u);
  }
  EXPECT_FALSE(server.waitForRequests(1, 200ms));
}

TEST_F(BaseServiceNetwork, CancelledReleasedOrUnheardRequestsReportNothing) {
  TestServer server;
  server.on("/stall", Reply::stall(3s));
  server.on("/ok", Reply::json(200, "{}"));
  server.on("/slow", [](const test_support::RecordedRequest&) {
    Reply reply = Reply::json(200, "{}");
    reply.delay = 300ms;
    return reply;
  });

  // Cancelling with nothing started does nothing.
  const auto idle = serviceFor(server.origin(), "/ok");
  idle->cancel();

  // Cancelled before the answer: no callback at all.
  const auto cancelled = serviceFor(server.origin(), "/stall");
  CallRecorder cancelledRecorder;
  cancelledRecorder.attach(*cancelled);
  cancelled->execute();
  ASSERT_TRUE(server.waitForRequests(1, 5s));
  cancelled->cancel();
  EXPECT_TRUE(cancelledRecorder.staysSilentFor(500ms));

  // Released before the answer: the request does not keep the service alive, and nothing runs.
  auto released = serviceFor(server.origin(), "/slow");
  CallRecorder releasedRecorder;
  releasedRecorder.attach(*released);
  released->execute();
  const std::weak_ptr<BaseService> watch = released;
  released.reset();
  EXPECT_TRUE(watch.expired());
  ASSERT_TRUE(server.waitForRequests(2, 5s));
  EXPECT_TRUE(releasedRecorder.staysSilentFor(800ms));

  // With no callback for the outcome, a 200 is dropped and nothing else runs.
  const auto unheard = serviceFor(server.origin(), "/ok");
  CallRecorder unheardRecorder;
  unheardRecorder.attach(*unheard);
  unheard->success = nullptr;
  unheard->execute();
  ASSERT_TRUE(server.waitForRequests(3, 5s));
  EXPECT_TRUE(unheardRecorder.staysSilentFor(500ms));

  // Cancelling after the answer arrived changes nothing.
  const auto done = serviceFor(server.origin(), "/ok");
  CallRecorder doneRecorder;
  doneRecorder.attach(*done);
  done->execute();
  ASSERT_TRUE(doneRecorder.waitFor(1));
  done->cancel();
  EXPECT_TRUE(doneRecorder.staysSilentFor(100ms));
  ASSERT_EQ(doneRecorder.calls.size(), 1u);
  EXPECT_EQ(doneRecorder.calls[0].kind, Call::Kind::success);
}

}  // namespace
}  // namespace korvani
