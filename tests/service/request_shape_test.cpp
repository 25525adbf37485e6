#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "korvani/payment_service.hpp"
#include "service_test_helpers.hpp"

namespace korvani {
namespace {

using service_test::CallRecorder;
using test_support::RecordedRequest;
using test_support::Reply;

class RequestShape : public service_test::NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    server_.onAnyOtherPath([](const RecordedRequest&) { return Reply::with(201, "{}"); });
  }

  // Runs the service to its single callback and returns what the server received.
  RecordedRequest send(const std::shared_ptr<BaseService>& service) {
    const std::size_t before = server_.requestCount();
    CallRecorder recorder;
    recorder.attach(*service);
    service->execute();
    EXPECT_TRUE(recorder.waitFor(1));
    const auto requests = server_.requests();
    EXPECT_EQ(requests.size(), before + 1);
    return requests.empty() ? RecordedRequest{} : requests.back();
  }

  test_support::TestServer server_;
};

TEST_F(RequestShape, PaymentServicePostsTheConfiguredRequest) {
  PaymentConfiguration configuration;
  configuration.baseUrl = server_.origin();
  configuration.path = "/v1/payments";
  configuration.accessToken = "APP_USR-12/34+5 6=7&8";
  // Which header wins over which is the base service's, below.
  configuration.headers = StringDictionary{{"X-Idempotency-Key", "0d6f-42"}};
  configuration.body = JsonObject{{"transaction_amount", *Decimal::fromString("1520.750")}};
  const auto request = send(PaymentService::create(configuration));
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/v1/payments");
  EXPECT_EQ(request.query, "access_token=APP_USR-12%2F34%2B5%206%3D7%268");
  EXPECT_EQ(request.header("X-Idempotency-Key"), "0d6f-42");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.body, R"({"transaction_amount":1520.75})");
  // Without a token there is no query at all: the demo's test.
}

TEST_F(RequestShape, BaseServiceSendsMethodHeadersAndBodyAsConfigured) {
  ServiceConfig config;
  config.base = server_.origin();
  config.path = "/items";
  config.method = RequestMethod::options;
  config.params = {{"page", "2"}, {"q", "a b"}};
  config.body = JsonObject{{"k", "v"}};  // goes out whatever the method
  config.contentType = "application/vnd.korvani+json";
  config.headers = {{"Content-Type", "text/plain"}, {"content-type", "text/csv"}, {"X-A", "1"}};
  const auto service = BaseService::create(config);
  auto request = send(service);
  EXPECT_EQ(request.method, "OPTIONS");
  EXPECT_EQ(request.query, "page=2&q=a%20b");
  EXPECT_EQ(request.body, R"({"k":"v"})");
  EXPECT_EQ(request.header("X-A"), "1");
  // Only the exact name is replaced; a differently spelled one goes out as well.
  EXPECT_EQ(request.headers.count("Content-Type"), 2u);
  for (const auto& [name, value] : request.headers) {
    EXPECT_TRUE(name != "Content-Type" || value == "application/vnd.korvani+json");
    EXPECT_NE(value, "text/plain");
  }
  EXPECT_EQ(service->config.headers.at("Content-Type"), "text/plain");  // config untouched

  // A body that is not valid UTF-8 cannot be serialized; the request goes out without one.
  service->config.method = RequestMethod::put;
  service->config.body = JsonObject{{"bad", std::string("\xFF")}};
  request = send(service);
  EXPECT_EQ(request.method, "PUT");
  EXPECT_EQ(request.body, "");
}

}  // namespace
}  // namespace korvani
