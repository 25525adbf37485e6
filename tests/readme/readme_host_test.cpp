// Runs the README's complete host, compiled from the README itself, against the sandbox: what a
// reader copies must build and pay.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "korvani/sandbox/sandbox_server.hpp"

namespace {

struct HostRun {
  int exitCode = -1;
  std::string out;
};

HostRun runHost(const std::string& arguments) {
  const std::string command = "timeout -k 5 120 " KORVANI_README_HOST " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  HostRun run;
  char buffer[4096];
  for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.out.append(buffer, n);
  const int status = pipe ? ::pclose(pipe) : -1;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class ReadmeHost : public ::testing::Test {
 protected:
  void SetUp() override {
    korvani::sandbox::SandboxOptions options;
    options.quiet = true;
    sandbox = std::make_unique<korvani::sandbox::SandboxServer>(options);
    std::string error;
    ASSERT_TRUE(sandbox->start(&error)) << error;
    ASSERT_TRUE(sandbox->writeCaCertificate(caFile));
  }
  void TearDown() override { std::filesystem::remove(caFile); }

  std::string caFile = (std::filesystem::temp_directory_path() /
                        ("readme_host_ca_" + std::to_string(::getpid()) + ".pem"))
                           .string();
  std::unique_ptr<korvani::sandbox::SandboxServer> sandbox;
};

TEST_F(ReadmeHost, PaysAndHearsEachKindOfReport) {
  const std::string id = std::to_string(sandbox->nextPaymentId());
  const HostRun approved = runHost(sandbox->baseUrl() + " " + caFile);
  EXPECT_EQ(approved.exitCode, 0) << approved.out;
  EXPECT_EQ(approved.out,
            "work begins\nwork ends\npayment " + id +
                ": approved / accredited\ntracked /myzr/account_balance post_payment success\n");

  const HostRun rejected = runHost(sandbox->baseUrl() + " " + caFile + " " +
                                   *korvani::sandbox::sandboxTokenForScenario("rejected"));
  EXPECT_NE(rejected.out.find(": rejected / cc_rejected_other_reason\n"), std::string::npos)
      << rejected.out;

  // An error answer is a report without a payment.
  const HostRun failed = runHost(sandbox->baseUrl() + " " + caFile + " " +
                                 *korvani::sandbox::sandboxTokenForScenario("server-error"));
  EXPECT_EQ(failed.exitCode, 0) << failed.out;
  EXPECT_NE(failed.out.find("work ends\nno payment (remote status 1)\n"), std::string::npos)
      << failed.out;

  const HostRun usage = runHost("");
  EXPECT_EQ(usage.exitCode, 2) << usage.out;
}

}  // namespace
