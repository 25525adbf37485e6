#include "web_driver.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace korvani::test_support {
namespace {

using Clock = std::chrono::steady_clock;

// The WebDriver name of an element reference in answers.
constexpr const char* kElementKey = "element-6066-11e4-a52e-4f735466cecf";

// A port nobody listens on now (the kernel's choice); chromedriver takes it a moment later.
int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

pid_t spawn(const std::vector<std::string>& arguments, const std::filesystem::path& log) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

std::unique_ptr<WebDriver> WebDriver::start(const std::filesystem::path& workDir,
                                            std::string& error) {
  std::unique_ptr<WebDriver> driver(new WebDriver());
  std::error_code ignored;
  std::filesystem::remove_all(workDir, ignored);
  std::filesystem::create_directories(workDir / "profile");
  driver->logFile_ = workDir / "chromedriver.log";
  const int port = freePort();
  driver->driver_ =
      spawn({KORVANI_CHROMEDRIVER, "--port=" + std::to_string(port)}, driver->logFile_);
  if (driver->driver_ < 0) {
    error = "chromedriver did not start";
    return nullptr;
  }
  driver->client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
  // Chromium on a loaded machine takes its time to start.
  driver->client_->set_read_timeout(180, 0);
  driver->client_->set_connection_timeout(5, 0);

  const auto deadline = Clock::now() + std::chrono::seconds(60);
  bool ready = false;
  while (!ready && Clock::now() < deadline) {
    const auto status = driver->client_->Get("/status");
    ready = status && status->status == 200;
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!ready) {
    error = "chromedriver did not answer: " + driver->log();
    return nullptr;
  }

  // Background networking and its kin open connections of their own (refused here, and noise);
  // a new profile keeps every run alike.
  JsonArray arguments;
  for (const char* flag :
       {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--window-size=1500,1000", "--hide-scrollbars"}) {
    arguments.emplace_back(flag);
  }
  arguments.emplace_back("--user-data-dir=" + (workDir / "profile").string());
  const JsonObject capabilities{{"browserName", "chrome"},
                                {"goog:chromeOptions", JsonObject{{"binary", KORVANI_CHROMIUM},
                                                                  {"args", std::move(arguments)}}}};
  const auto session = driver->call(
      "POST", "/session", JsonObject{{"capabilities", JsonObject{{"alwaysMatch", capabilities}}}});
  const JsonObject* value = session ? session->asObject() : nullptr;
  const std::string* id = value ? value->getString("sessionId") : nullptr;
  if (id == nullptr) {
    error = "no browser session: " + driver->log();
    return nullptr;
  }
  driver->session_ = *id;
  return driver;
}

WebDriver::~WebDriver() {
  if (!session_.empty()) call("DELETE", "/session/" + session_);
  if (driver_ > 0) {
    ::kill(driver_, SIGTERM);
    int status = 0;
    ::waitpid(driver_, &status, 0);
  }
}

std::optional<JsonValue> WebDriver::call(const std::string& method, const std::string& path,
                                         const JsonValue& body) {
  httplib::Result result =
      method == "GET" ? client_->Get(path.c_str())
      : method == "DELETE"
          ? client_->Delete(path.c_str())
          : client_->Post(path.c_str(), serializeJson(body).value_or("{}"), "application/json");
  if (!result || result->status != 200) return std::nullopt;
  std::optional<JsonValue> answer = parseJson(result->body);
  const JsonObject* object = answer ? answer->asObject() : nullptr;
  const JsonValue* value = object ? object->find("value") : nullptr;
  if (value == nullptr) return std::nullopt;
  return *value;
}

bool WebDriver::navigate(const std::string& url) {
  return call("POST", "/session/" + session_ + "/url", JsonObject{{"url", url}}).has_value();
}

std::optional<JsonValue> WebDriver::run(const std::string& script) {
  return call("POST", "/session/" + session_ + "/execute/sync",
              JsonObject{{"script", script}, {"args", JsonArray{}}});
}

bool WebDriver::waitUntil(const std::string& script, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const std::optional<JsonValue> value = run(script);
    if (value && value->asBool() == true) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

bool WebDriver::click(const std::string& selector) {
  const auto element = call("POST", "/session/" + session_ + "/element",
                            JsonObject{{"using", "css selector"}, {"value", selector}});
  const JsonObject* reference = element ? element->asObject() : nullptr;
  const std::string* id = reference ? reference->getString(kElementKey) : nullptr;
  return id != nullptr &&
         call("POST", "/session/" + session_ + "/element/" + *id + "/click").has_value();
}

bool WebDriver::screenshot(const std::filesystem::path& png) {
  const auto shot = call("GET", "/session/" + session_ + "/screenshot");
  const std::string* base64 = shot ? shot->asString() : nullptr;
  if (base64 == nullptr || base64->empty()) return false;
  std::string bytes(base64->size() / 4 * 3, '\0');
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(base64->data()),
                                      static_cast<int>(base64->size()));
  if (decoded < 0) return false;
  // The block decoder counts the padding as bytes.
  std::size_t size = static_cast<std::size_t>(decoded);
  for (auto it = base64->rbegin(); it != base64->rend() && *it == '='; ++it)
    --size;
  std::ofstream out(png, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

std::string WebDriver::log() const {
  std::ifstream in(logFile_);
  std::stringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  // The end says what went wrong.
  return all.size() > 4000 ? all.substr(all.size() - 4000) : all;
}

}  // namespace korvani::test_support
