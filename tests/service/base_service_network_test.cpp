#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

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

}  // namespace
}  // namespace korvani
