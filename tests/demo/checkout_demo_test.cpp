// Runs the checkout_demo program as a user would and reads what it prints.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct DemoRun {
  int exitCode = -1;  // -1: did not finish in time, or did not start
  std::string out;
  std::string err;
};

// Runs the demo with `arguments`, collecting both output streams; kills it at the deadline.
DemoRun runDemo(std::vector<std::string> arguments, Clock::duration timeout = 120s) {
  DemoRun run;
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return run;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  arguments.insert(arguments.begin(), KORVANI_CHECKOUT_DEMO);
  std::vector<char*> argv;
  for (auto& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const bool spawned =
      posix_spawn(&pid, KORVANI_CHECKOUT_DEMO, &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  const auto deadline = Clock::now() + timeout;
  std::array<pollfd, 2> fds{{{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&run.out, &run.err};
  int open = spawned ? 2 : 0;
  while (open > 0 && Clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (::poll(fds.data(), fds.size(), static_cast<int>(left.count()) + 1) <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        fds[i].fd = -1;  // end of stream (or error): poll() ignores negative descriptors
        --open;
      }
    }
  }
  ::close(outPipe[0]);
  ::close(errPipe[0]);
  if (!spawned) return run;
  int status = 0;
  if (open > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return run;
  }
  ::waitpid(pid, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// A file in the temporary directory, removed when the test ends.
class TempFile {
 public:
  TempFile(const std::string& name, const std::string& contents)
      : path_(std::filesystem::temp_directory_path() /
              ("checkout_demo_test_" + std::to_string(::getpid()) + "_" + name)) {
    std::ofstream(path_) << contents;
  }
  ~TempFile() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

std::string describe(const DemoRun& run) {
  return "exit " + std::to_string(run.exitCode) + "\n--- stdout\n" + run.out + "--- stderr\n" +
         run.err;
}

TEST(CheckoutDemo, PaysAnApprovedCardPaymentWithItsDefaults) {
  const DemoRun run = runDemo({});
  ASSERT_EQ(run.exitCode, 0) << describe(run);
  const std::string& out = run.out;

  // The request, with the access token masked and the idempotency key "<sha-256 hex>-<seconds>".
  EXPECT_TRUE(std::regex_search(
      out,
      std::regex(R"(\n  POST https://127\.0\.0\.1:\d+/v1/payments\?access_token=TEST\*\*\*\*\n)")))
      << out;
  EXPECT_EQ(out.find("TEST-4711"), std::string::npos) << "the token is printed unmasked";
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(X-Idempotency-Key: [0-9a-f]{64}-\d+\n)")))
      << out;
  for (const char* line :
       {"Content-Type: application/json", "X-Caller-Scopes: payments", "X-App-Version: 1.0.0",
        "X-Platform: ios", "X-Brix-Session-Id: demo-session-0001", "\"transaction_amount\": 150.75",
        "\"payment_method_id\": \"visa\"", "\"installments\": 3", "\"issuer_id\": \"310\"",
        "\"token\": \"demo-card-token-0001\"", "\"coupon_amount\": 10.5"}) {
    EXPECT_NE(out.find(line), std::string::npos) << "missing: " << line << "\n" << out;
  }

  // The handler's calls in order, the event and the outcome.
  const std::regex calls(
      "  1\\. beginPluginWork\\(\\)\n"
      "  2\\. endPluginWork\\(\\)\n"
      "  3\\. didFinishPayment\\(statusText: \"approved\", statusDetails: \"accredited\", "
      "receiptId: \"(\\d+)\"\\)\n");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(out, match, calls)) << out;
  const std::string receiptId = match[1];
  EXPECT_NE(out.find("event: screen /myzr/account_balance, action post_payment, result success"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"id\": " + receiptId), std::string::npos) << "raw payment not tracked";
  EXPECT_TRUE(std::regex_search(out, std::regex("POST /v1/payments 201 payment=" + receiptId +
                                                " scenario=approved token=TEST")))
      << out;
  EXPECT_NE(out.find("  status: approved\n  status detail: accredited\n  receipt id: " + receiptId),
            std::string::npos)
      << out;
}

// Each flag reaches the request or changes the outcome as a host app would see it.
TEST(CheckoutDemo, FlagsShapeTheRequestAndTheOutcome) {
  const std::string noPayment =
      "didFinishPayment(paymentStatus: 1 (rejected), statusDetails: "
      "\"\", receiptId: none)";
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> expected;
    std::vector<std::string> absent;
  };
  const std::vector<Case> cases{
      {{"--scenario", "rejected"},
       {"\"token\": \"sbx-rejected\"", "statusText: \"rejected\"",
        "status detail: cc_rejected_other_reason", "result success"},
       {"status: approved"}},
      {{"--offline"},
       {noPayment, "result fail", "not connected to the internet", "Sandbox log\n  (none)"},
       {"statusText:"}},
      {{"--scenario", "server-error"}, {noPayment, "result fail", "POST /v1/payments 500"}, {}},
      {{"--scenario", "invalid-json"}, {noPayment, "Tracking\n  (no event)"}, {"result"}},
      {{"--base-url", "https://127.0.0.1:1"},
       {"POST https://127.0.0.1:1/v1/payments?", noPayment, "result fail"},
       {"Sandbox log"}},
      {{"--payment-method", "account_money", "--payment-type", "account_money", "--auth-code",
        "123456", "--no-sha256", "--user-agent", "DemoShop/2.0"},
       {"\"payment_method_id\": \"account_money\"", "\"token\": \"123456\"",
        "User-Agent: DemoShop/2.0", "statusText: \"approved\""},
       {"\"installments\"", "\"issuer_id\"", "X-Platform", "X-App-Version"}},
      {{"--installments", "12", "--token", "tok-77", "--access-token", "APP-abcdefgh12345678"},
       {"\"installments\": 12", "\"token\": \"tok-77\"", "access_token=APP-****"},
       {"abcdefgh12345678"}},
  };
  for (const Case& c : cases) {
    const DemoRun run = runDemo(c.arguments);
    SCOPED_TRACE(c.arguments.front());
    ASSERT_EQ(run.exitCode, 0) << describe(run);
    for (const auto& text : c.expected) {
      EXPECT_NE(run.out.find(text), std::string::npos) << "missing: " << text << "\n" << run.out;
    }
    for (const auto& text : c.absent) {
      EXPECT_EQ(run.out.find(text), std::string::npos) << "unexpected: " << text << "\n" << run.out;
    }
  }
  // Without a digest hook the key is only the time part.
  const DemoRun plain = runDemo({"--no-sha256"});
  EXPECT_TRUE(std::regex_search(plain.out, std::regex(R"(X-Idempotency-Key: -\d+\n)")))
      << describe(plain);
}

TEST(CheckoutDemo, RefusesBadOptionsAndFilesWithExitCode2) {
  const TempFile malformed("preference.json", "{\n  \"amount\": 150.75,\n  \"title\": }\n");
  const TempFile notAnObject("discount.json", "[1, 2]");
  const TempFile noOrderId("order.json", R"({"notification_url": "https://x.example"})");
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Case> cases{
      {{"--preference", malformed.path()}, malformed.path() + ": line 3, column 12: "},
      {{"--discount", notAnObject.path()}, "expected a JSON object"},
      {{"--merchant-order", noOrderId.path()}, "\"id\" must be a whole number"},
      {{"--metadata", malformed.path() + ".missing"}, "cannot read"},
      {{"--installments", "0"}, "--installments: expected a positive whole number"},
      {{"--installments"}, "--installments needs a value"},
      {{"--scenario", "lost"}, "unknown scenario \"lost\" (known: approved, rejected"},
      {{"--scenario", "rejected", "--token", "t"}, "leave out --token"},
      {{"--offline=yes"}, "--offline takes no value"},
      {{"--colour"}, "unknown option --colour"},
      {{"--ca-file", malformed.path() + ".missing"}, "--ca-file: cannot read"},
  };
  for (const Case& c : cases) {
    const DemoRun run = runDemo(c.arguments, 60s);
    SCOPED_TRACE(c.arguments.front());
    EXPECT_EQ(run.exitCode, 2) << describe(run);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << describe(run);
    EXPECT_EQ(run.out.find("Navigation handler"), std::string::npos) << "it paid anyway";
  }

  const DemoRun help = runDemo({"--help"}, 60s);
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("usage: checkout_demo"), std::string::npos) << describe(help);
  EXPECT_NE(help.out.find("invalid-json"), std::string::npos) << "scenario names listed";
}

}  // namespace
