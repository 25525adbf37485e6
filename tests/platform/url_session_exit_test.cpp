#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "korvani/devtls/dev_certificates.hpp"
#include "support/test_server.hpp"

namespace korvani::platform {
namespace {

using namespace std::chrono_literals;

TEST(URLSessionExit, ReturningFromMainWithARequestInFlightEndsPromptlyAndCancelsIt) {
  test_support::TestServer server;
  server.on("/stall", test_support::Reply{.delay = 60s});
  const auto caFile = std::filesystem::temp_directory_path() /
                      ("korvani-exit-ca-" + std::to_string(::getpid()) + ".pem");
  devtls::writeTextFile(caFile, server.authorityPem());

  // The probe returns from main a second after it started the request; `timeout` ends it
  // (exit status 124) should the exit hang.
  const std::string command = std::string("timeout 20 ") + KORVANI_EXIT_PROBE + " " +
                              server.url("/stall") + " " + caFile.string();
  const auto start = std::chrono::steady_clock::now();
  FILE* probe = ::popen(command.c_str(), "r");
  ASSERT_NE(probe, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, probe) != nullptr)
    output += buffer;
  const int status = ::pclose(probe);
  std::filesystem::remove(caFile);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(server.requestCount(), 1u) << "the request was in flight at the exit";
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(output, "started\ncompletion -999\n");
}

}  // namespace
}  // namespace korvani::platform
