// Runs the checkout_demo program as a user would and reads what it prints.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "support/program_run.hpp"

namespace {

namespace fs = std::filesystem;

using DemoRun = korvani::test_support::ProgramRun;

// A file in the temporary directory, removed when the test ends.
struct TempFile {
  TempFile(const std::string& name, const std::string& contents)
      : path((fs::temp_directory_path() /
              ("checkout_demo_test_" + std::to_string(::getpid()) + "_" + name))
                 .string()) {
    std::ofstream(path) << contents;
  }
  ~TempFile() { fs::remove(path); }
  std::string path;
};

DemoRun runDemo(const std::vector<std::string>& arguments) {
  return korvani::test_support::runProgram(KORVANI_CHECKOUT_DEMO, arguments);
}

std::string describe(const DemoRun& run) {
  return "exit " + std::to_string(run.exitCode) + "\n" + run.out;
}

// Parts of the default request that the inputs left out in a flags case below remove.
const std::vector<std::string> kLeftOut = {
    "\"order\": {",       "\"coupon_amount\"", "\"internal_metadata\"", "\"installments\": 3",
    "X-Brix-Session-Id:", "X-App-Version:",    "source:checkout_demo"};

TEST(CheckoutDemo, PaysAnApprovedCardPaymentWithItsDefaults) {
  const DemoRun run = runDemo({});
  ASSERT_EQ(run.exitCode, 0) << describe(run);
  const std::string& out = run.out;
  // The access token masked, the idempotency key "<sha-256 hex>-<seconds>".
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(\n  POST https://127\.0\.0\.1:\d+/v1/payments\?access_token=TEST\*+\n)")));
  EXPECT_EQ(out.find("TEST-4711"), std::string::npos) << "the token is printed unmasked";
  // Nothing of libcurl's own reaches the host's output (its progress meter, for one).
  EXPECT_EQ(out.find("% Total"), std::string::npos) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(X-Idempotency-Key: [0-9a-f]{64}-\d+\n)")));
  for (const std::string& part : kLeftOut)
    EXPECT_NE(out.find(part), std::string::npos) << "missing: " << part;
  // The report, the tracked event and the sandbox log name the same payment.
  std::smatch match;
  ASSERT_TRUE(std::regex_search(out, match, std::regex(R"(\n  receipt id: (\d+)\n)"))) << out;
  const std::string id = match[1];
  const std::string lines[] = {
      "3. didFinishPayment(statusText: \"approved\", statusDetails: \"accredited\", receiptId: \"" +
          id + "\")",
      "action post_payment, result success", "\"id\": " + id,
      "POST /v1/payments 201 payment=" + id + " scenario=approved"};
  for (const std::string& line : lines)
    EXPECT_NE(out.find(line), std::string::npos) << "missing: " << line;
}

// Each flag reaches the request or changes the outcome as a host app would see it; every input
// can be left out (an empty value or a --no- flag), and its part of the request goes with it.
TEST(CheckoutDemo, FlagsShapeTheRequestAndTheOutcome) {
  const std::string noPayment =
      "didFinishPayment(paymentStatus: 1 (rejected), statusDetails: \"\", receiptId: none)";
  const struct {
    std::vector<std::string> arguments;
    std::vector<std::string> expected;
    std::vector<std::string> absent;
  } cases[] = {
      {{"--scenario", "rejected", "--installments", "12"},
       {"\"token\": \"sbx-rejected\"", "\"installments\": 12", "statusText: \"rejected\"",
        "result success"},
       {"status: approved"}},
      {{"--offline"},
       {noPayment, "result fail", "not connected to the internet", "Sandbox log\n  (none)"},
       {"statusText:"}},
      {{"--payment-method", "account_money", "--payment-type", "account_money", "--auth-code",
        "123456", "--no-sha256", "--user-agent", "DemoShop/2.0"},
       {"\"payment_method_id\": \"account_money\"", "\"token\": \"123456\"",
        "User-Agent: DemoShop/2.0", "X-Idempotency-Key: -", "statusText: \"approved\""},
       {"\"installments\"", "X-Platform"}},
      {{"--base-url", "https://127.0.0.1:1"},
       {"POST https://127.0.0.1:1/v1/payments?", noPayment, "result fail"},
       {"Sandbox log"}},
      {{"--no-merchant-order", "--no-discount", "--no-metadata", "--no-installments",
        "--session-id", "", "--app-version", "", "--source="},
       {"\"installments\": 1,", "X-Tracking-Id: platform:APP, so:ios, version:, source:\n",
        "statusText: \"approved\""},
       kLeftOut},
      // The sandbox charges, then drops the connection: sent again under its key on a fresh
      // connection, the payment is replayed; without re-sending the host hears no payment.
      {{"--scenario", "drop", "--no-warm-up"},
       {"statusText: \"approved\"", "dropped payment=", " replayed"},
       {noPayment}},
      {{"--scenario", "drop", "--no-recover"},
       {noPayment, "dropped payment=", "result fail"},
       {"replayed", "statusText:"}},
      // No token, no query; the platform refuses the request.
      {{"--access-token", ""}, {"/v1/payments\n", "POST /v1/payments 401", noPayment}, {"?"}},
  };
  for (const auto& c : cases) {
    const DemoRun run = runDemo(c.arguments);
    SCOPED_TRACE(describe(run));
    ASSERT_EQ(run.exitCode, 0);
    for (const auto& text : c.expected)
      EXPECT_NE(run.out.find(text), std::string::npos) << "missing: " << text;
    for (const auto& text : c.absent)
      EXPECT_EQ(run.out.find(text), std::string::npos) << "unexpected: " << text;
  }
}

TEST(CheckoutDemo, RefusesBadOptionsAndFilesWithExitCode2) {
  const TempFile malformed("preference.json", "{\n  \"amount\": 150.75,\n  \"title\": }\n");
  const TempFile notAnObject("discount.json", "[1, 2]");
  const TempFile noOrderId("order.json", R"({"notification_url": "https://x.example"})");
  const struct {
    std::vector<std::string> arguments;
    std::string message;
  } cases[] = {
      {{"--preference", malformed.path}, malformed.path + ": line 3, column 12: "},
      {{"--discount", notAnObject.path}, "expected a JSON object"},
      {{"--merchant-order", noOrderId.path}, "\"id\" must be a whole number"},
      {{"--installments", "0"}, "--installments: expected a positive whole number"},
      {{"--scenario", "lost"}, "unknown scenario \"lost\" (known: approved, rejected"},
      {{"--scenario", "rejected", "--token", "t"}, "leave out --token"},
      {{"--colour"}, "unknown option --colour"},
  };
  for (const auto& c : cases) {
    const DemoRun run = runDemo(c.arguments);
    SCOPED_TRACE(describe(run));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.out.find(c.message), std::string::npos);
    EXPECT_EQ(run.out.find("Navigation handler"), std::string::npos) << "it paid anyway";
  }
  const DemoRun help = runDemo({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("usage: checkout_demo"), std::string::npos) << describe(help);
}

}  // namespace
