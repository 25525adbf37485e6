#pragma once

// What the front's unit tests share: a reachable network, a recording track listener installed
// as the host's, and a main queue that starts and ends empty.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "korvani/host/reachability.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/json.hpp"
#include "korvani/platform/main_queue.hpp"
#include "support/fakes.hpp"
#include "support/test_server.hpp"

namespace korvani::front_test {

using test_support::setNetworkStatus;

class FrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test_support::TestServer::trustAuthority();
    setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);
    host::KVQTracker::setTrackListener(listener);
    platform::MainQueue::runUntilIdle();
  }

  void TearDown() override {
    platform::MainQueue::runUntilIdle();
    host::KVQTracker::setTrackListener(nullptr);
    host::ZRReachability::setProvider({});
  }

  // Runs main-queue work until `condition` holds; false after the time-out.
  static bool drainUntil(const std::function<bool()>& condition,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return platform::MainQueue::runFor(condition, timeout);
  }
  // Runs main-queue work for `duration`, for answers that must not arrive.
  static void drainFor(std::chrono::milliseconds duration) {
    platform::MainQueue::runFor([] { return false; }, duration);
  }

  std::shared_ptr<host::RecordingTrackListener> listener =
      std::make_shared<host::RecordingTrackListener>();
};

// The text under `key`, or nothing when it is missing or not text.
inline std::optional<std::string> textAt(const JsonObject& object, std::string_view key) {
  if (const std::string* text = object.getString(key)) return *text;
  return std::nullopt;
}

// A payment answer as the platform sends it.
inline std::string paymentAnswer(const std::string& rawMembers) {
  return R"({"raw": {)" + rawMembers + R"(}, "formatted": {"status": "Approved"}})";
}

inline constexpr const char* kApprovedRaw =
    R"("id": 123, "status": "approved", "status_detail": "accredited", "installments": 3)";

}  // namespace korvani::front_test
