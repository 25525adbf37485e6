// The end-to-end benchmark compares the plug-in with a bare libcurl handle; the comparison only
// means something when both put the same request on the wire.

#include "bare_client.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "korvani/base_service.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/payment_service.hpp"
#include "payment_fixture.hpp"
#include "support/test_server.hpp"

namespace korvani::bench {
namespace {

using test_support::RecordedRequest;
using test_support::Reply;
using test_support::TestServer;

struct AlwaysReachable : host::ZRReachability {
  host::ZRNetworkStatus currentReachabilityStatus() const override {
    return host::ZRNetworkStatus::ReachableViaWiFi;
  }
};

class BareClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestServer::trustAuthority();
    host::ZRReachability::setProvider([] { return std::make_shared<AlwaysReachable>(); });
    server.on("/v1/payments", Reply::json(201, typicalPaymentAnswer()));
    server.on("/v1/other", Reply::json(200, "{}"));
  }
  void TearDown() override { host::ZRReachability::setProvider({}); }

  // Runs `service` as the benchmark does and waits for its one callback.
  static bool sendThroughService(const std::shared_ptr<BaseService>& service) {
    bool done = false;
    service->success = [&](std::shared_ptr<Response>) { done = true; };
    service->error = [&](std::shared_ptr<Response>, platform::ErrorPtr) { done = true; };
    service->failure = [&](std::shared_ptr<Response>, platform::ErrorPtr) { done = true; };
    service->execute();
    return test_support::drainMainQueueUntil([&] { return done; });
  }

  static void expectSameRequest(const RecordedRequest& plugin, const RecordedRequest& bare) {
    EXPECT_EQ(plugin.method, bare.method);
    EXPECT_EQ(plugin.path, bare.path);
    EXPECT_EQ(plugin.hasQuery, bare.hasQuery);
    EXPECT_EQ(plugin.query, bare.query);
    EXPECT_EQ(plugin.headers, bare.headers);
    EXPECT_EQ(plugin.body, bare.body);
  }

  TestServer server;
};

TEST_F(BareClientTest, PostsThePaymentExactlyAsThePluginDoesAndKeepsItsConnection) {
  const auto payment = makeCardPayment(server.origin(), "/v1/payments");
  const PaymentConfiguration configuration = payment.manager->currentConfiguration();
  const auto service = std::make_shared<PaymentService>(configuration);
  ASSERT_TRUE(sendThroughService(service));

  BareClient bare(requestFor(service->config), TestServer::trustedAuthorityPem());
  ASSERT_TRUE(bare.perform()) << bare.error();
  EXPECT_EQ(bare.status(), 201);
  EXPECT_EQ(bare.body(), typicalPaymentAnswer());
  ASSERT_TRUE(bare.perform()) << bare.error();

  const std::vector<RecordedRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  expectSameRequest(requests[0], requests[1]);
  expectSameRequest(requests[1], requests[2]);
  // The request is the full payment: token in the query, the hook's digest in the key.
  EXPECT_EQ(requests[1].query, "access_token=TEST-4417-0123456789abcdef-merchant");
  const auto key = requests[1].header("X-Idempotency-Key");
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(key->find('-'), 64u) << *key;
  EXPECT_EQ(parseJson(requests[1].body), JsonValue(*configuration.body));
  // The floor reuses one connection, as the plug-in's session does.
  EXPECT_EQ(requests[1].connection, requests[2].connection);
}

TEST_F(BareClientTest, MirrorsTheServiceForOtherMethodsBodiesAndHeaders) {
  struct Case {
    const char* name;
    RequestMethod method;
    std::optional<JsonObject> body;
    StringDictionary headers;
    StringDictionary params;
  };
  const std::vector<Case> cases = {
      {"get without body", RequestMethod::get, std::nullopt, {{"X-One", "1"}}, {}},
      {"post without body", RequestMethod::post, std::nullopt, {}, {{"a", "b c"}}},
      {"put with body", RequestMethod::put, JsonObject{{"n", 1}}, {}, {}},
      {"content type replaced",
       RequestMethod::post,
       JsonObject{{"amount", Decimal::fromString("10.25").value()}},
       {{"Content-Type", "text/plain"}, {"content-type", "kept/as-is"}, {"Accept", "x/y"}},
       {{"access_token", "T&K=1"}, {"z", "last"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.clearRequests();
    ServiceConfig config;
    config.base = server.origin();
    config.path = "/v1/other";
    config.method = c.method;
    config.body = c.body;
    config.headers = c.headers;
    config.params = c.params;
    ASSERT_TRUE(sendThroughService(std::make_shared<BaseService>(config)));
    BareClient bare(requestFor(config), TestServer::trustedAuthorityPem());
    ASSERT_TRUE(bare.perform()) << bare.error();
    EXPECT_EQ(bare.status(), 200);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    expectSameRequest(requests[0], requests[1]);
  }
}

TEST(BareClientFailure, ReportsATransportFailure) {
  platform::URLRequest request;
  request.url = "https://127.0.0.1:" + std::to_string(test_support::closedPort()) + "/";
  request.timeoutInterval = 5;
  BareClient bare(request, TestServer::trustedAuthorityPem());
  EXPECT_FALSE(bare.perform());
  EXPECT_FALSE(bare.error().empty());
  EXPECT_EQ(bare.status(), 0);
}

}  // namespace
}  // namespace korvani::bench
