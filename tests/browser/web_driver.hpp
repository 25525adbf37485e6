#pragma once

// A headless Chromium driven over chromedriver's WebDriver HTTP interface, for tests of pages
// that the project serves on loopback. One browser session per object.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "korvani/json.hpp"

namespace httplib {
class Client;
}

namespace korvani::test_support {

class WebDriver {
 public:
  // Starts chromedriver on a free loopback port and a headless Chromium with a new profile in
  // `workDir` (made empty first), where chromedriver's log goes too. Null, with the reason in
  // `error`, when either does not come up within a minute.
  static std::unique_ptr<WebDriver> start(const std::filesystem::path& workDir, std::string& error);
  // Ends the session (and the browser with it) and chromedriver.
  ~WebDriver();
  WebDriver(const WebDriver&) = delete;
  WebDriver& operator=(const WebDriver&) = delete;

  bool navigate(const std::string& url);
  // Runs `script` (a function body; `return` gives the result) in the page; nullopt when the
  // call failed.
  std::optional<JsonValue> run(const std::string& script);
  // Runs `script` until it returns true, at most `limit`; true when it did. For conditions on
  // the page, however slowly a loaded machine brings them about.
  bool waitUntil(const std::string& script,
                 std::chrono::milliseconds limit = std::chrono::seconds(60));
  // Clicks the first element that `selector` finds, as a person would (it must be visible).
  bool click(const std::string& selector);
  bool screenshot(const std::filesystem::path& png);
  // chromedriver's log, for failure messages.
  std::string log() const;

 private:
  WebDriver() = default;
  std::optional<JsonValue> call(const std::string& method, const std::string& path,
                                const JsonValue& body = JsonObject{});

  pid_t driver_ = -1;
  std::filesystem::path logFile_;
  std::unique_ptr<httplib::Client> client_;
  std::string session_;
};

}  // namespace korvani::test_support
