#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

#include "korvani/devtls/dev_certificates.hpp"
#include "support/test_server.hpp"

extern char** environ;

namespace korvani::platform {
namespace {

using namespace std::chrono_literals;
using test_support::Reply;
using test_support::TestServer;

TEST(URLSessionExit, ReturningFromMainWithARequestInFlightEndsPromptlyAndCancelsIt) {
  TestServer server;
  server.on("/stall", Reply::stall(60s));
  const auto caFile = std::filesystem::temp_directory_path() /
                      ("korvani-exit-ca-" + std::to_string(::getpid()) + ".pem");
  devtls::writeTextFile(caFile, server.authorityPem());

  int toChild[2];
  int fromChild[2];
  ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::string probe = KORVANI_EXIT_PROBE, url = server.url("/stall"), ca = caFile.string();
  char* argv[] = {probe.data(), url.data(), ca.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, probe.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);

  // Reads what the child writes until `until` appears, end of output or the deadline.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::string output;
  const auto readUntil = [&](std::string_view until) {
    char buffer[256];
    pollfd p{fromChild[0], POLLIN, 0};
    while (output.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline &&
           ::poll(&p, 1, 100) >= 0) {
      if (!(p.revents & (POLLIN | POLLHUP))) continue;
      const ssize_t n = ::read(fromChild[0], buffer, sizeof buffer);
      if (n <= 0) break;
      output.append(buffer, static_cast<size_t>(n));
    }
  };
  readUntil("started\n");
  EXPECT_TRUE(server.waitForRequests(1, 20s)) << "the request should be in flight: " << output;

  const auto exitStart = std::chrono::steady_clock::now();
  ASSERT_EQ(::write(toChild[1], "go\n", 3), 3);
  ::close(toChild[1]);
  readUntil("\x04");  // to the end of output
  ::close(fromChild[0]);
  int status = 0;
  pid_t waited = 0;
  while ((waited = ::waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  if (waited == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  std::filesystem::remove(caFile);
  EXPECT_LT(std::chrono::steady_clock::now() - exitStart, 10s);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "; output: " << output;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(output, "started\ncompletion -999\n");
}

}  // namespace
}  // namespace korvani::platform
