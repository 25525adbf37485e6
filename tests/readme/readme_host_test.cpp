// Runs the README's complete host, compiled from the README itself, against the sandbox: what a
// reader copies must build and pay.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "korvani/sandbox/sandbox_server.hpp"
#include "support/program_run.hpp"

namespace {

using korvani::test_support::ProgramRun;

ProgramRun runHost(const std::vector<std::string>& arguments) {
  return korvani::test_support::runProgram(KORVANI_README_HOST, arguments);
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
  const ProgramRun approved = runHost({sandbox->baseUrl(), caFile});
  EXPECT_EQ(approved.exitCode, 0) << approved.out;
  EXPECT_EQ(approved.out,
            "work begins\nwork ends\npayment " + id +
                ": approved / accredited\ntracked /myzr/account_balance post_payment success\n");

  const ProgramRun rejected =
      runHost({sandbox->baseUrl(), caFile, *korvani::sandbox::sandboxTokenForScenario("rejected")});
  EXPECT_NE(rejected.out.find(": rejected / cc_rejected_other_reason\n"), std::string::npos)
      << rejected.out;

  // An error answer is a report without a payment.
  const ProgramRun failed = runHost(
      {sandbox->baseUrl(), caFile, *korvani::sandbox::sandboxTokenForScenario("server-error")});
  EXPECT_EQ(failed.exitCode, 0) << failed.out;
  EXPECT_NE(failed.out.find("work ends\nno payment (remote status 1)\n"), std::string::npos)
      << failed.out;

  const ProgramRun usage = runHost({});
  EXPECT_EQ(usage.exitCode, 2) << usage.out;
}

}  // namespace
