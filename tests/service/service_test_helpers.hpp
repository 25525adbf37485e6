#pragma once

// Shared by the service tests that talk to a local server: records which callback ran, on
// which thread, with what.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "korvani/base_service.hpp"
#include "korvani/platform/main_queue.hpp"
#include "support/fakes.hpp"
#include "support/process_state.hpp"
#include "support/test_server.hpp"

namespace korvani::service_test {

// One callback invocation.
struct Call {
  enum class Kind { success, error, failure };
  Kind kind;
  std::thread::id thread;
  std::shared_ptr<Response> response;
  platform::ErrorPtr error;
};

// Collects callback invocations. Only the thread draining the main queue touches it.
class CallRecorder {
 public:
  void attach(BaseService& service) {
    service.success = [this](std::shared_ptr<Response> r) { add(Call::Kind::success, r, {}); };
    service.error = [this](std::shared_ptr<Response> r, platform::ErrorPtr e) {
      add(Call::Kind::error, r, e);
    };
    service.failure = [this](std::shared_ptr<Response> r, platform::ErrorPtr e) {
      add(Call::Kind::failure, r, e);
    };
  }

  // Drains the main queue until `count` calls arrived (or `timeout`), then drains what is left
  // so that a second, unwanted call would be seen too.
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const bool arrived =
        platform::MainQueue::runFor([&] { return calls.size() >= count; }, timeout);
    platform::MainQueue::runUntilIdle();
    return arrived;
  }

  // Drains the main queue for `period` and reports whether no further call arrived.
  bool staysSilentFor(std::chrono::milliseconds period) {
    const std::size_t before = calls.size();
    platform::MainQueue::runFor([&] { return calls.size() != before; }, period);
    return calls.size() == before;
  }

  std::vector<Call> calls;

 private:
  void add(Call::Kind kind, std::shared_ptr<Response> response, platform::ErrorPtr error) {
    calls.push_back({kind, std::this_thread::get_id(), std::move(response), std::move(error)});
  }
};

// Online, trusting the test servers; the default reachability comes back afterwards.
class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override { test_support::setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi); }
  void TearDown() override { platform::MainQueue::runUntilIdle(); }

  static std::shared_ptr<BaseService> serviceFor(std::optional<std::string> base,
                                                 std::optional<std::string> path) {
    ServiceConfig config;
    config.base = std::move(base);
    config.path = std::move(path);
    return BaseService::create(std::move(config));
  }

  test_support::ProcessState state;
  const std::thread::id mainThread_ = std::this_thread::get_id();
};

}  // namespace korvani::service_test
