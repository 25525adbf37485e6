#pragma once

// What the front's tests share: a reachable network, a recording track listener installed as
// the host's (both undone by `state`), a main queue that starts and ends empty, and a local
// payment server.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "korvani/host/stand_ins.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/platform/main_queue.hpp"
#include "support/fakes.hpp"
#include "support/process_state.hpp"
#include "support/test_server.hpp"

namespace korvani::front_test {

using namespace std::chrono_literals;
using test_support::Reply;
using test_support::setNetworkStatus;

class FrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);
    host::KVQTracker::setTrackListener(listener);
    platform::MainQueue::runUntilIdle();
  }
  void TearDown() override { platform::MainQueue::runUntilIdle(); }

  static bool drainUntil(const std::function<bool()>& condition) {
    return platform::MainQueue::runFor(condition, std::chrono::seconds(10));
  }
  // For answers that must not arrive: longer than the slow replies below take.
  static void drainPastSlowReplies() {
    platform::MainQueue::runFor([] { return false; }, 800ms);
  }
  static Reply slowReply(const std::string& body) {
    return {.status = 201, .body = body, .delay = 300ms};
  }

  test_support::ProcessState state;
  std::shared_ptr<host::RecordingTrackListener> listener =
      std::make_shared<host::RecordingTrackListener>();
  test_support::TestServer server;
};

// The text under `key`, or nothing when it is missing or not text.
inline std::optional<std::string> textAt(const JsonObject& object, std::string_view key) {
  const std::string* text = object.getString(key);
  return text ? std::optional(*text) : std::nullopt;
}

// A payment answer as the platform sends it.
inline std::string paymentAnswer(const std::string& rawMembers) {
  return R"({"raw": {)" + rawMembers + R"(}, "formatted": {"status": "Approved"}})";
}

inline const std::string kApproved =
    paymentAnswer(R"("id": 123, "status": "approved", "status_detail": "accredited")");

}  // namespace korvani::front_test
