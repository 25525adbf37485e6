#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "korvani/payment_service.hpp"
#include "service_test_helpers.hpp"
#include "support/test_server.hpp"

namespace korvani {
namespace {

using service_test::CallRecorder;
using service_test::ReachabilityOverride;
using test_support::RecordedRequest;
using test_support::Reply;
using test_support::TestServer;

class RequestShape : public ::testing::Test {
 protected:
  void SetUp() override {
    TestServer::trustAuthority();
    server_.onAnyOtherPath([](const RecordedRequest&) { return Reply::json(201, "{}"); });
  }
  void TearDown() override { platform::MainQueue::runUntilIdle(); }

  // Runs the service to its single callback and returns what the server received.
  RecordedRequest send(const std::shared_ptr<BaseService>& service) {
    const std::size_t before = server_.requestCount();
    CallRecorder recorder;
    recorder.attach(*service);
    service->execute();
    EXPECT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(recorder.calls.size(), 1u);
    const auto requests = server_.requests();
    EXPECT_EQ(requests.size(), before + 1);
    return requests.empty() ? RecordedRequest{} : requests.back();
  }

  ReachabilityOverride online_ = ReachabilityOverride::online();
  TestServer server_;
};

TEST_F(RequestShape, PaymentServicePostsTheConfiguredRequest) {
  PaymentConfiguration configuration;
  configuration.baseUrl = server_.origin();
  configuration.path = "/v1/payments";
  configuration.accessToken = "APP_USR-12/34+5 6=7&8";
  configuration.headers = StringDictionary{{"X-Idempotency-Key", "0d6f-42"},
                                           {"X-Product-Id", "korvani"},
                                           {"Content-Type", "text/plain"},
                                           {"User-Agent", "Korvani-Test/1"}};
  configuration.body = JsonObject{
      {"transaction_amount", *Decimal::fromString("1520.75")},
      {"description", "Caf\xC3\xA9 \"special\""},
      {"payer", JsonObject{{"email", "a@b.c"}, {"id", nullptr}}},
      {"installments", 3},
  };

  const auto request = send(std::make_shared<PaymentService>(configuration));
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/v1/payments");
  EXPECT_TRUE(request.hasQuery);
  EXPECT_EQ(request.query, "access_token=APP_USR-12%2F34%2B5%206%3D7%268");
  EXPECT_EQ(request.header("X-Idempotency-Key"), "0d6f-42");
  EXPECT_EQ(request.header("X-Product-Id"), "korvani");
  EXPECT_EQ(request.header("User-Agent"), "Korvani-Test/1");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.headerCount("Content-Type"), 1u);
  EXPECT_EQ(request.body, serializeJson(JsonValue(*configuration.body)));

  // Without token, headers and body: no query, only "Content-Type", no body bytes.
  PaymentConfiguration bare;
  bare.baseUrl = server_.origin();
  bare.path = "/v1/payments";
  const auto bareRequest = send(std::make_shared<PaymentService>(bare));
  EXPECT_EQ(bareRequest.method, "POST");
  EXPECT_FALSE(bareRequest.hasQuery);
  EXPECT_EQ(bareRequest.header("Content-Type"), "application/json");
  EXPECT_EQ(bareRequest.header("X-Idempotency-Key"), std::nullopt);
  EXPECT_EQ(bareRequest.body, "");

  // An empty base is kept: the path alone is the URL.
  PaymentConfiguration pathOnly;
  pathOnly.baseUrl = "";
  pathOnly.path = server_.url("/whole");
  pathOnly.accessToken = "t";
  const auto pathOnlyRequest = send(std::make_shared<PaymentService>(pathOnly));
  EXPECT_EQ(pathOnlyRequest.path, "/whole");
  EXPECT_EQ(pathOnlyRequest.query, "access_token=t");
}

TEST_F(RequestShape, BaseServiceSendsMethodHeadersAndBodyAsConfigured) {
  const struct {
    RequestMethod method;
    const char* text;
  } methods[] = {{RequestMethod::get, "GET"},
                 {RequestMethod::put, "PUT"},
                 {RequestMethod::delete_, "DELETE"},
                 {RequestMethod::options, "OPTIONS"}};
  for (const auto& m : methods) {
    SCOPED_TRACE(m.text);
    ServiceConfig config;
    config.base = server_.origin();
    config.path = "/items";
    config.method = m.method;
    // The body goes out whatever the method.
    config.body = JsonObject{{"k", "v"}};
    config.contentType = "application/vnd.korvani+json";
    config.headers = {{"Content-Type", "text/plain"}, {"content-type", "text/csv"}, {"X-A", "1"}};
    const auto service = std::make_shared<BaseService>(config);
    const auto request = send(service);
    EXPECT_EQ(request.method, m.text);
    // The server library keeps the bytes of bodies it reads (PUT, DELETE); for the other
    // methods the declared length shows that the body went out.
    EXPECT_EQ(request.header("Content-Length"), "9");
    if (m.method == RequestMethod::put || m.method == RequestMethod::delete_) {
      EXPECT_EQ(request.body, R"({"k":"v"})");
    }
    EXPECT_EQ(request.header("X-A"), "1");
    // Only the exact name is replaced; a differently spelled one goes out as well.
    EXPECT_EQ(request.headerCount("Content-Type"), 2u);
    bool sawConfigured = false;
    for (const auto& [name, value] : request.headers) {
      if (name == "Content-Type") {
        EXPECT_EQ(value, "application/vnd.korvani+json");
      }
      sawConfigured = sawConfigured || value == "application/vnd.korvani+json";
      EXPECT_NE(value, "text/plain");
    }
    EXPECT_TRUE(sawConfigured);
    EXPECT_EQ(service->config.headers.at("Content-Type"), "text/plain");  // config untouched
  }

  // A body that is not valid UTF-8 cannot be serialized; the request goes out without one.
  ServiceConfig config;
  config.base = server_.origin();
  config.path = "/search";
  config.method = RequestMethod::put;
  config.params = {{"page", "2"}, {"q", "a b"}};
  config.body = JsonObject{{"bad", std::string("\xFF")}};
  const auto request = send(std::make_shared<BaseService>(config));
  EXPECT_EQ(request.method, "PUT");
  EXPECT_EQ(request.path, "/search");
  EXPECT_EQ(request.query, "page=2&q=a%20b");
  EXPECT_EQ(request.body, "");
  EXPECT_EQ(request.header("Content-Length").value_or("0"), "0");
}

}  // namespace
}  // namespace korvani
