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

// The network thread needs descriptors of its own (the wake-up pipe) before it starts: a process
// that has none free must hear a failure at once, not wait for a thread that never runs, and be
// served once it has them again.
TEST(URLSessionDescriptors, OutOfThemARequestFailsAtOnceAndTheNextIsServedOnceTheyAreBack) {
#ifdef __SANITIZE_ADDRESS__
  // UndefinedBehaviorSanitizer, which comes with it here, checks an object's type through a pipe
  // of its own: without descriptors every such check fails.
  GTEST_SKIP() << "needs descriptors of its own under the sanitizers";
#endif
  test_support::TestServer server;
  server.on("/pay", test_support::Reply::with(200, "paid"));
  const test_support::ProbeRun probe =
      test_support::runProbe(server, "/pay", KORVANI_DESCRIPTOR_PROBE);
  ASSERT_TRUE(WIFEXITED(probe.status)) << probe.status;
  EXPECT_EQ(WEXITSTATUS(probe.status), 0);
  EXPECT_EQ(probe.output, "completion -1\ncompletion 0\n");
  EXPECT_EQ(server.requestCount(), 1u);
}

}  // namespace
}  // namespace korvani::platform
