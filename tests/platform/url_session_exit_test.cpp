#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>

#include "support/test_server.hpp"

namespace korvani::platform {
namespace {

using namespace std::chrono_literals;

TEST(URLSessionExit, ReturningFromMainWithARequestInFlightEndsPromptlyAndCancelsIt) {
  test_support::TestServer server;
  server.on("/stall", test_support::Reply{.delay = 60s});
  // The probe returns from main a second after it started the request; `timeout` ends it
  // (exit status 124) should the exit hang.
  const auto start = std::chrono::steady_clock::now();
  const test_support::ProbeRun probe = test_support::runProbe(server, "/stall", KORVANI_EXIT_PROBE);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(server.requestCount(), 1u) << "the request was in flight at the exit";
  ASSERT_TRUE(WIFEXITED(probe.status)) << probe.status;
  EXPECT_EQ(WEXITSTATUS(probe.status), 0);
  EXPECT_EQ(probe.output, "started\ncompletion -999\n");
}

}  // namespace
}  // namespace korvani::platform
