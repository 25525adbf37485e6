#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>

#include "korvani/sandbox/sandbox_server.hpp"
#include "sandbox_client.hpp"

namespace korvani::sandbox {
namespace {

using namespace std::chrono_literals;

// The korvani-sandbox program with `arguments`, ended by `timeout` with SIGTERM after four
// seconds.
struct Program {
  explicit Program(const std::string& arguments)
      : out(::popen(
            ("timeout --preserve-status 4 " KORVANI_SANDBOX_BINARY " " + arguments + " 2>/dev/null")
                .c_str(),
            "r")) {}
  ~Program() { finish(); }

  std::string line() {
    char buffer[256];
    return out != nullptr && std::fgets(buffer, sizeof buffer, out) ? buffer : "";
  }
  // Reads the rest of the output; the exit code (-1 for a signal).
  int finish() {
    while (!line().empty()) {
    }
    const int status = out != nullptr ? ::pclose(out) : -1;
    out = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  FILE* out;
};

TEST(SandboxProgram, AnnouncesItsUrlServesWithTheWrittenCaAndStopsOnSignal) {
  const auto caPath = std::filesystem::temp_directory_path() /
                      ("korvani-sandbox-program-ca-" + std::to_string(::getpid()) + ".pem");
  // The program must end cleanly on the signal.
  Program program("--ca-out " + caPath.string() + " --quiet --first-id 700");
  const std::string url = program.line();
  std::smatch match;
  ASSERT_TRUE(std::regex_match(url, match, std::regex("https://127\\.0\\.0\\.1:(\\d+)\n"))) << url;
  ASSERT_TRUE(std::filesystem::exists(caPath)) << "the CA is written before the URL is printed";

  httplib::SSLClient client("127.0.0.1", std::stoi(match[1].str()));
  client.set_ca_cert_path(caPath.string());
  client.enable_server_certificate_verification(true);
  client.set_connection_timeout(1s);
  auto result = test::postPayment(client, R"({"payment_method_id":"visa","token":")" +
                                              *sandboxTokenForScenario("rejected") + "\"}");
  std::filesystem::remove(caPath);
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  auto answer = test::jsonObjectOf(result->body);
  ASSERT_TRUE(answer && answer->getObject("raw"));
  EXPECT_EQ(answer->getObject("raw")->getUInt64("id"), 700u);
  EXPECT_EQ(*answer->getObject("raw")->getString("status"), "rejected");
  EXPECT_EQ(program.finish(), 0);
}

}  // namespace
}  // namespace korvani::sandbox
