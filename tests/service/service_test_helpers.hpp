#pragma once

// Shared by the service tests that talk to a local server: records which callback ran, on
// which thread, with what; and pins the reachability the services see.

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvani/base_service.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/platform/main_queue.hpp"
#include "support/fakes.hpp"

namespace korvani::service_test {

using test_support::FixedReachability;

// Installs a provider for the lifetime of the object; the default comes back afterwards.
class ReachabilityOverride {
 public:
  explicit ReachabilityOverride(host::ZRReachability::Provider provider) {
    host::ZRReachability::setProvider(std::move(provider));
  }
  static ReachabilityOverride online() {
    auto object = std::make_shared<FixedReachability>(host::ZRNetworkStatus::ReachableViaWiFi);
    return ReachabilityOverride([object] { return object; });
  }
  ~ReachabilityOverride() { host::ZRReachability::setProvider({}); }
  ReachabilityOverride(const ReachabilityOverride&) = delete;
  ReachabilityOverride& operator=(const ReachabilityOverride&) = delete;
};

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
  static void detach(BaseService& service) {
    service.success = nullptr;
    service.error = nullptr;
    service.failure = nullptr;
  }

  void attach(BaseService& service) {
    service.success = [this](std::shared_ptr<Response> response) {
      calls.push_back({Call::Kind::success, std::this_thread::get_id(), std::move(response), {}});
    };
    service.error = [this](std::shared_ptr<Response> response, platform::ErrorPtr error) {
      calls.push_back(
          {Call::Kind::error, std::this_thread::get_id(), std::move(response), std::move(error)});
    };
    service.failure = [this](std::shared_ptr<Response> response, platform::ErrorPtr error) {
      calls.push_back(
          {Call::Kind::failure, std::this_thread::get_id(), std::move(response), std::move(error)});
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
};

}  // namespace korvani::service_test
