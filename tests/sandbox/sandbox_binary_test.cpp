#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "korvani/sandbox/sandbox_server.hpp"
#include "sandbox_client.hpp"

namespace korvani::sandbox {
namespace {

using namespace std::chrono_literals;

// The korvani-sandbox program with `arguments`, under `timeout`: its output and exit status.
struct Program {
  explicit Program(const std::string& arguments, const char* limit = "20")
      : out(::popen((std::string("timeout --preserve-status ") + limit + " " +
                     KORVANI_SANDBOX_BINARY + " " + arguments + " 2>/dev/null")
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
  // `timeout` sends SIGTERM after four seconds; the program must then end cleanly.
  Program program("--ca-out " + caPath.string() + " --quiet --first-id 700", "4");
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

TEST(SandboxProgram, ListsScenariosAndRefusesBadOptions) {
  Program list("--scenarios");
  std::string table;
  for (std::string line = list.line(); !line.empty(); line = list.line())
    table += line;
  EXPECT_EQ(list.finish(), 0);
  for (std::string_view name : sandboxScenarioNames()) {
    EXPECT_NE(table.find(std::string(name)), std::string::npos) << table;
    EXPECT_NE(table.find(*sandboxTokenForScenario(name)), std::string::npos) << table;
  }
  for (const char* bad : {"--port 70000", "--bogus", "--slow-ms", "--host 10.0.0.1"}) {
    const int code = Program(bad).finish();
    EXPECT_TRUE(code > 0 && code < 124) << bad << ": " << code;  // refused, not timed out
  }
}

}  // namespace
}  // namespace korvani::sandbox
