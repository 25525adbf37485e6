// The benchmarks measure a full card payment, a typical answer and a large document; each has
// to be what it claims, or the figures describe something else.

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <string>

#include "json_document.hpp"
#include "korvani/dictionary_encoding.hpp"
#include "korvani/payment.hpp"
#include "latency.hpp"
#include "payment_fixture.hpp"

namespace korvani::bench {
namespace {

TEST(BenchFixture, Sha256HookGivesLowerCaseHexDigests) {
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(BenchFixture, CardPaymentCarriesEveryPartOfTheRequest) {
  const auto payment = makeCardPayment("https://127.0.0.1:1", "/v1/payments");
  const PaymentConfiguration configuration = payment.manager->currentConfiguration();
  ASSERT_TRUE(configuration.body.has_value());
  const JsonObject& body = *configuration.body;
  for (const char* member : {"internal_metadata",
                             "description",
                             "transaction_amount",
                             "marketplace",
                             "application_fee",
                             "operation_type",
                             "collector",
                             "differential_pricing_id",
                             "concept_amount",
                             "concept_id",
                             "order",
                             "notification_url",
                             "external_reference",
                             "sponsor_id",
                             "payment_method_id",
                             "token",
                             "installments",
                             "issuer_id",
                             "campaign_id",
                             "coupon_amount"}) {
    EXPECT_TRUE(body.contains(member)) << member;
  }
  EXPECT_EQ(body.getInt64("installments"), 3);
  EXPECT_EQ(*body.getString("token"), "sbx-approved");
  ASSERT_TRUE(configuration.headers.has_value());
  EXPECT_EQ(configuration.headers->count("User-Agent"), 1u);
  EXPECT_EQ(configuration.headers->count("X-Brix-Session-Id"), 1u);
  // The hook ran: the key starts with a 64-digit digest.
  const std::string& key = configuration.headers->at("X-Idempotency-Key");
  EXPECT_EQ(key.find('-'), 64u) << key;
  EXPECT_TRUE(JSONString(body).has_value());
}

TEST(BenchFixture, TypicalAnswerMakesAnApprovedPayment) {
  const auto payment = Payment::fromJsonText(typicalPaymentAnswer());
  ASSERT_TRUE(payment.has_value());
  EXPECT_EQ(payment->status(), "approved");
  EXPECT_EQ(payment->statusDetail(), "accredited");
  EXPECT_EQ(payment->idString(), "1000000187");
  EXPECT_TRUE(payment->formatted().has_value());
}

TEST(BenchFixture, LargeDocumentIsValidForBothParsersAndRepeatable) {
  const std::size_t size = std::size_t{1} << 20;
  const std::string text = paymentRecordsDocument(size);
  EXPECT_GE(text.size(), size);
  EXPECT_LT(text.size(), size + 1024);
  EXPECT_EQ(text, paymentRecordsDocument(size));

  JsonError error;
  const auto ours = parseJson(text, &error);
  ASSERT_TRUE(ours.has_value()) << error.message();
  boost::system::error_code code;
  const boost::json::value theirs = boost::json::parse(text, code);
  ASSERT_FALSE(code) << code.message();

  // Both read the same number of records, and the same first one.
  const JsonArray* records = ours->asObject()->getArray("results");
  ASSERT_NE(records, nullptr);
  const auto& theirRecords = theirs.as_object().at("results").as_array();
  EXPECT_EQ(records->size(), theirRecords.size());
  EXPECT_GT(records->size(), 1000u);
  const JsonObject& first = *records->front().asObject();
  EXPECT_EQ(*first.getString("description"), "Pedido n\u00ba 0 \"express\" \u00e9t\u00e9 \u20ac\n");
  EXPECT_EQ(first.getNumber("net_amount"), Decimal::fromString("-0.05"));
}

TEST(LatencyStatistics, NearestRankPercentiles) {
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i)
    hundred.push_back(i);  // unsorted on purpose
  const LatencySummary s = summarize(hundred);
  EXPECT_EQ(s.count, 100u);
  EXPECT_EQ(s.min, 1);
  EXPECT_EQ(s.p50, 50);
  EXPECT_EQ(s.p90, 90);
  EXPECT_EQ(s.p99, 99);
  EXPECT_EQ(s.max, 100);
  EXPECT_DOUBLE_EQ(s.mean, 50.5);

  struct Case {
    std::vector<double> sorted;
    double q;
    double expected;
  };
  const std::vector<Case> cases = {
      {{}, 0.5, 0},        {{7}, 0.0, 7},       {{7}, 0.99, 7},
      {{1, 2}, 0.5, 1},    {{1, 2}, 0.51, 2},   {{1, 2, 3}, 0.5, 2},
      {{1, 2, 3}, 1.0, 3}, {{1, 2, 3}, 1.5, 3}, {{1, 2, 3}, -1.0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(percentile(c.sorted, c.q), c.expected) << "q=" << c.q << " n=" << c.sorted.size();
  }
  EXPECT_EQ(summarize({}).count, 0u);
  EXPECT_EQ(summarize({}).p99, 0);
}

}  // namespace
}  // namespace korvani::bench
