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

#include "korvani/devtls/dev_certificates.hpp"
#include "support/test_server.hpp"

extern char** environ;

namespace korvani::platform {
namespace {

using namespace std::chrono_literals;
using test_support::Reply;
using test_support::TestServer;

// Reads what the child wrote until `until` appears, EOF, or the deadline.
std::string readUntil(int fd, const std::string& until,
                      std::chrono::steady_clock::time_point deadline) {
  std::string text;
  while (text.find(until) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

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
  const std::string url = server.url("/stall");
  const std::string probe = KORVANI_EXIT_PROBE;
  const std::string ca = caFile.string();
  char* argv[] = {const_cast<char*>(probe.c_str()), const_cast<char*>(url.c_str()),
                  const_cast<char*>(ca.c_str()), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, probe.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);

  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::string output = readUntil(fromChild[0], "started\n", deadline);
  EXPECT_NE(output.find("started\n"), std::string::npos) << output;
  EXPECT_TRUE(server.waitForRequests(1, 20s)) << "the request should be in flight";

  const auto exitStart = std::chrono::steady_clock::now();
  ASSERT_EQ(::write(toChild[1], "go\n", 3), 3);
  ::close(toChild[1]);
  output += readUntil(fromChild[0], "\x04", deadline);  // reads to EOF
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
    FAIL() << "the process did not exit; output: " << output;
  }
  const auto exitTook = std::chrono::steady_clock::now() - exitStart;
  std::filesystem::remove(caFile);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "; output: " << output;
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
  EXPECT_LT(exitTook, 10s);
  EXPECT_EQ(output, "started\ncompletion -999\n");
}

}  // namespace
}  // namespace korvani::platform
