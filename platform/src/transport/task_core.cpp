#include "transport/task_core.hpp"

#include <utility>

#include "transport/url_errors.hpp"

namespace korvani::platform::transport {

void complete(TaskCore& core, std::optional<std::string> data,
              std::optional<HTTPURLResponse> response, ErrorPtr error) {
  if (core.finished.exchange(true)) return;
  core.state.store(URLSessionDataTask::State::completed);
  URLSessionDataTask::Completion completion = std::move(core.completion);
  core.completion = nullptr;
  if (!completion) return;
  try {
    completion(std::move(data), std::move(response), std::move(error));
  } catch (...) {
    // A throwing completion must not take the network thread down with it.
  }
}

void completeCancelled(TaskCore& core) {
  complete(core, std::nullopt, std::nullopt, urlError(kURLErrorCancelled, core.request.url));
}

}  // namespace korvani::platform::transport
