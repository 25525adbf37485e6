// The benchmarks' own pieces: each must be what it claims, or the figures describe something
// else.

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "bare_client.hpp"
#include "json_document.hpp"
#include "korvani/payment.hpp"
#include "korvani/payment_service.hpp"
#include "korvani/platform/main_queue.hpp"
#include "latency.hpp"
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

TEST(BenchFixture, LargeDocumentHasItsSizeAndReadsTheSameInBothParsers) {
  const std::size_t size = std::size_t{1} << 20;
  const std::string text = paymentRecordsDocument(size);
  EXPECT_TRUE(text.size() >= size && text.size() < size + 1024) << text.size();
  const auto ours = parseJson(text);
  const JsonArray* records = ours ? ours->asObject()->getArray("results") : nullptr;
  ASSERT_NE(records, nullptr);
  EXPECT_EQ(records->size(), boost::json::parse(text).at("results").as_array().size());
  EXPECT_GT(records->size(), 1000u);
}

TEST(LatencyStatistics, NearestRankPercentiles) {
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i)
    hundred.push_back(i);  // unsorted on purpose
  const LatencySummary s = summarize(hundred);
  EXPECT_EQ(s.count, 100u);
  EXPECT_EQ(std::vector({s.min, s.p50, s.p90, s.p99, s.max}),
            std::vector<double>({1, 50, 90, 99, 100}));
  EXPECT_DOUBLE_EQ(s.mean, 50.5);
  EXPECT_EQ(summarize({}).p99, 0);
  const struct {
    std::vector<double> sorted;
    double q, expected;
  } cases[] = {{{7}, 0.99, 7},      {{1, 2}, 0.5, 1},     {{1, 2}, 0.51, 2},
               {{1, 2, 3}, 1.5, 3}, {{1, 2, 3}, -1.0, 1}, {{}, 0.5, 0}};
  for (const auto& c : cases)
    EXPECT_EQ(percentile(c.sorted, c.q), c.expected) << "q=" << c.q << " n=" << c.sorted.size();
}

}  // namespace
}  // namespace korvani::bench
