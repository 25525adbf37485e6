#pragma once

// What the session and the network thread share about one data task, and its completion.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "korvani/platform/url_session.hpp"
#include "transport/transfer.hpp"
#include "transport/trust_store.hpp"

namespace korvani::platform::transport {

struct TaskCore {
  std::uint64_t identifier = 0;
  URLRequest request;
  URLSessionDataTask::Completion completion;
  std::shared_ptr<const TrustSettings> trust;
  std::shared_ptr<const std::string> proxy;  // null: none
  std::size_t maximumBytes = 0;
  std::chrono::milliseconds idleTimeout{60000};
  std::chrono::milliseconds deadline{URLSession::kDefaultRequestDeadline};  // all sends together
  bool resendEnabled = true;  // the session's setting when the task was made
  std::weak_ptr<URLSessionDataTask> self;
  std::atomic<URLSessionDataTask::State> state{URLSessionDataTask::State::suspended};
  std::atomic<bool> finished{false};
  // Times the request went out on a connection; written on the network thread only, final once
  // the completion has started.
  std::atomic<std::uint32_t> sends{0};
  // Network thread only: set while the request is being sent.
  std::optional<Transfer> transfer;
};

// Runs the completion exactly once, whoever gets here first; a throwing completion is contained.
void complete(TaskCore& core, std::optional<std::string> data,
              std::optional<HTTPURLResponse> response, ErrorPtr error);
// Completes as cancelled (kURLErrorCancelled).
void completeCancelled(TaskCore& core);

}  // namespace korvani::platform::transport
