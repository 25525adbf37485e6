// The network benchmark's floor: the bare handle must post what the plug-in posts, or the
// figures compare different work.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <tuple>

#include "bare_client.hpp"
#include "korvani/payment.hpp"
#include "korvani/payment_service.hpp"
#include "korvani/platform/main_queue.hpp"
#include "latency_relay.hpp"
#include "payment_fixture.hpp"
#include "support/fakes.hpp"
#include "support/process_state.hpp"
#include "support/test_server.hpp"

namespace korvani::bench {
namespace {

using test_support::TestServer;

// The network benchmark compares the plug-in with a bare libcurl handle, both through the
// latency relay; the comparison only means something when both put the same full payment on the
// wire, over one connection each, and the relay counts those connections and handshakes.
TEST(BareClient, PostsThePaymentExactlyAsThePluginDoes) {
  test_support::ProcessState state;
  test_support::setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);
  TestServer server;
  server.on("/v1/payments", test_support::Reply::with(201, typicalPaymentAnswer()));
  LatencyRelay relay(std::stoi(server.origin().substr(server.origin().rfind(':') + 1)),
                     std::chrono::milliseconds(10));
  const auto payment =
      makeCardPayment("https://127.0.0.1:" + std::to_string(relay.port()), "/v1/payments");
  const auto service = PaymentService::create(payment.manager->currentConfiguration());
  bool done = false;
  service->success = [&](std::shared_ptr<Response>) { done = true; };
  service->execute();
  ASSERT_TRUE(platform::MainQueue::runFor([&] { return done; }, std::chrono::seconds(10)));

  BareClient bare(requestFor(service->config), server.authorityPem());
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(bare.perform()) << bare.error();
    EXPECT_EQ(bare.status(), 201);
    EXPECT_EQ(bare.body(), typicalPaymentAnswer());
  }
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  const auto shape = [](const test_support::RecordedRequest& r) {
    return std::tie(r.method, r.path, r.query, r.headers, r.body);
  };
  EXPECT_EQ(shape(requests[1]), shape(requests[0]));
  EXPECT_EQ(shape(requests[2]), shape(requests[0]));
  EXPECT_EQ(requests[1].connection, requests[2].connection);
  EXPECT_EQ(relay.counts().connections, 2u);
  EXPECT_EQ(relay.counts().tlsHandshakes, 2u);
  // The answer the benchmarks parse is a payment.
  const auto answer = Payment::fromJsonText(typicalPaymentAnswer());
  EXPECT_TRUE(answer && answer->status() == "approved" && answer->idString() == "1000000187");
}

}  // namespace
}  // namespace korvani::bench
