#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "korvani/sandbox/sandbox_server.hpp"
#include "sandbox_client.hpp"

extern char** environ;

namespace korvani::sandbox {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The korvani-sandbox program, started with a pipe on its stdout.
class SandboxProcess {
 public:
  explicit SandboxProcess(std::vector<std::string> arguments) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    arguments.insert(arguments.begin(), KORVANI_SANDBOX_BINARY);
    std::vector<char*> argv;
    for (auto& argument : arguments)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, KORVANI_SANDBOX_BINARY, &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~SandboxProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  bool started() const { return pid_ > 0; }

  // Reads stdout until a full line or end of output, waiting at most `limit`.
  std::optional<std::string> readLine(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (buffer_.find('\n') == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= 0ms) return std::nullopt;
      pollfd pfd{out_, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[256];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) break;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    const auto end = buffer_.find('\n');
    if (end == std::string::npos) {
      if (buffer_.empty()) return std::nullopt;
      return std::exchange(buffer_, {});
    }
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return line;
  }

  // Sends `signal` and waits (bounded) for the exit; the exit code, or nullopt.
  std::optional<int> stop(int signal, std::chrono::milliseconds limit) {
    ::kill(pid_, signal);
    return waitExit(limit);
  }

  std::optional<int> waitExit(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
      }
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

TEST(SandboxProgram, AnnouncesItsUrlServesWithTheWrittenCaAndStopsOnSignal) {
  const auto caPath = std::filesystem::temp_directory_path() /
                      ("korvani-sandbox-program-ca-" + std::to_string(::getpid()) + ".pem");
  SandboxProcess process({"--ca-out", caPath.string(), "--quiet", "--first-id", "700"});
  ASSERT_TRUE(process.started());
  auto url = process.readLine(20s);
  ASSERT_TRUE(url);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(*url, match, std::regex(R"(https://127\.0\.0\.1:(\d+))"))) << *url;
  ASSERT_TRUE(std::filesystem::exists(caPath)) << "the CA is written before the URL is printed";

  httplib::SSLClient client("127.0.0.1", std::stoi(match[1].str()));
  client.set_ca_cert_path(caPath.string());
  client.enable_server_certificate_verification(true);
  client.set_connection_timeout(3s);
  client.set_read_timeout(10s);
  auto result = test::postPayment(client, R"({"payment_method_id":"visa","token":")" +
                                              *sandboxTokenForScenario("rejected") + "\"}");
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(result->status, 201);
  auto answer = test::jsonObjectOf(result->body);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->getObject("raw")->getUInt64("id"), 700u);
  EXPECT_EQ(*answer->getObject("raw")->getString("status"), "rejected");

  EXPECT_EQ(process.stop(SIGTERM, 20s), 0);
  std::filesystem::remove(caPath);
}

TEST(SandboxProgram, ListsScenariosAndRefusesBadOptions) {
  {
    SandboxProcess process({"--scenarios"});
    ASSERT_TRUE(process.started());
    std::string table;
    while (auto line = process.readLine(10s))
      table += *line + "\n";
    EXPECT_EQ(process.waitExit(10s), 0);
    for (std::string_view name : sandboxScenarioNames()) {
      EXPECT_NE(table.find(std::string(name)), std::string::npos) << table;
      EXPECT_NE(table.find(*sandboxTokenForScenario(name)), std::string::npos) << table;
    }
  }
  for (std::vector<std::string> bad : {std::vector<std::string>{"--port", "70000"},
                                       {"--bogus"},
                                       {"--slow-ms"},
                                       {"--host", "10.0.0.1"}}) {
    SCOPED_TRACE(bad.front());
    SandboxProcess process(bad);
    ASSERT_TRUE(process.started());
    auto code = process.waitExit(20s);
    ASSERT_TRUE(code);
    EXPECT_NE(*code, 0);
  }
}

}  // namespace
}  // namespace korvani::sandbox
