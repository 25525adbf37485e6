#include "korvani/base_service.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "korvani/dictionary_encoding.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_request.hpp"
#include "korvani/platform/url_session.hpp"
#include "service/exchange_observer_detail.hpp"
#include "service/query_text.hpp"

namespace korvani {
namespace {

// A provider that throws answers nothing, as one that returns no object: no exception crosses
// back into the host.
bool networkReachable() noexcept {
  try {
    const auto reachability = host::ZRReachability::reachabilityForInternetConnection();
    return reachability != nullptr &&
           static_cast<int>(reachability->currentReachabilityStatus()) != 0;
  } catch (...) {
    return false;
  }
}

// The request's complete header set: the configured fields with "Content-Type" (that exact
// name only) set to the content type.
platform::HeaderList requestHeaders(const ServiceConfig& config) {
  constexpr std::string_view kContentType = "Content-Type";
  platform::HeaderList fields;
  std::size_t textBytes = kContentType.size() + config.contentType.size();
  for (const auto& [name, value] : config.headers)
    textBytes += name.size() + value.size();
  fields.reserve(config.headers.size() + 1, textBytes);
  bool placed = false;
  for (const auto& [name, value] : config.headers) {
    if (!placed && std::string_view(name) >= kContentType) {
      fields.emplace_back(kContentType, config.contentType);
      placed = true;
      if (name == kContentType) continue;
    }
    fields.emplace_back(name, value);
  }
  if (!placed) fields.emplace_back(kContentType, config.contentType);
  return fields;
}

// What the observer hears, when one is installed now; it runs first in the outcome's main-thread
// work.
std::optional<ExchangeOutcome> observed(std::optional<long> statusCode,
                                        const platform::ErrorPtr& err, std::uint32_t sendCount) {
  if (!detail::exchangeObserverInstalled()) return std::nullopt;
  return ExchangeOutcome{statusCode, statusCode ? nullptr : err, sendCount};
}

void observe(const std::optional<ExchangeOutcome>& outcome) {
  if (outcome) detail::notifyExchangeObserver(*outcome);
}

}  // namespace

std::shared_ptr<BaseService> BaseService::create(ServiceConfig config) {
  return std::make_shared<BaseService>(Passkey{}, std::move(config));
}

BaseService::BaseService(Passkey, ServiceConfig serviceConfig) : config(std::move(serviceConfig)) {}

void BaseService::execute() {
  // Reachability comes first: without a network nothing else matters.
  if (!networkReachable()) {
    auto err = platform::makeError("", platform::kURLErrorNotConnectedToInternet);
    auto outcome = observed(std::nullopt, err, 0);
    triggerFailure(std::make_shared<Response>(Response::Status::failed), std::move(err),
                   std::move(outcome));
    return;
  }
  const auto session = platform::URLSession::sharedSession();
  if (!config.base || !config.path) {
    auto err = platform::makeError("", platform::kURLErrorBadURL);
    auto outcome = observed(std::nullopt, err, 0);
    triggerFailure(std::make_shared<Response>(Response::Status::failed), std::move(err),
                   std::move(outcome));
    return;
  }

  platform::URLRequest request;
  // Joined as text; URL text the session cannot parse completes with kURLErrorBadURL. The
  // query is queryParamString(config.params), written in place.
  request.url.reserve(config.base->size() + config.path->size() +
                      detail::queryTextBound(config.params));
  request.url.append(*config.base).append(*config.path);
  detail::appendQueryText(request.url, config.params);
  request.httpMethod = std::string(rawValue(config.method));
  // Sent whatever the method; a body that cannot be serialized is left out.
  if (config.body) request.httpBody = JSONString(*config.body);
  request.allHTTPHeaderFields = requestHeaders(config);
  request.timeoutInterval = config.timeoutInterval;

  // Weak: a service released before the answer reports nothing (the observer still hears it).
  // The task is filled in before resume(), so the completion, which runs after it, finds it there
  // to ask how often the request went out.
  auto sent = std::make_shared<std::weak_ptr<platform::URLSessionDataTask>>();
  auto completion = [weakSelf = weak_from_this(), sent](
                        std::optional<std::string> data,
                        std::optional<platform::HTTPURLResponse> answer, platform::ErrorPtr err) {
    std::uint32_t sendCount = 0;
    if (const auto task = sent->lock()) sendCount = task->sendCount();
    auto outcome =
        observed(answer ? std::optional<long>(answer->statusCode) : std::nullopt, err, sendCount);
    const auto self = weakSelf.lock();
    auto response = std::make_shared<Response>(std::move(data), answer, err);
    const Response::Status status = response->result().status();
    if (!self || status == Response::Status::cancelled) {
      if (outcome) platform::MainQueue::async([outcome = std::move(outcome)] { observe(outcome); });
      return;
    }
    switch (status) {
      case Response::Status::success:
        self->triggerSuccess(std::move(response), std::move(outcome));
        break;
      case Response::Status::error:
        self->triggerError(std::move(response), std::move(err), std::move(outcome));
        break;
      case Response::Status::failed:
        self->triggerFailure(std::move(response), std::move(err), std::move(outcome));
        break;
      case Response::Status::cancelled:
        break;
    }
  };
  auto created = session->dataTask(std::move(request), std::move(completion));
  task_ = created;
  *sent = created;
  created->resume();
}

void BaseService::warmUp(const std::optional<std::string>& base) {
  if (!base || !networkReachable()) return;
  try {
    platform::URLSession::sharedSession()->warmUp(*base);
  } catch (...) {
    // Only a head start: the payment opens its own connection.
  }
}

void BaseService::cancel() {
  if (const auto task = task_.lock()) task->cancel();
}

// The submitted work holds the callback value read now and the outcome, never the service. The
// observer, when one was installed, hears the outcome first, in the same work.
void BaseService::triggerSuccess(std::shared_ptr<Response> response,
                                 std::optional<ExchangeOutcome> outcome) const {
  if (!success && !outcome) return;
  platform::MainQueue::async(
      [callback = success, response = std::move(response), outcome = std::move(outcome)] {
        observe(outcome);
        if (callback) callback(response);
      });
}

void BaseService::triggerError(std::shared_ptr<Response> response, platform::ErrorPtr err,
                               std::optional<ExchangeOutcome> outcome) const {
  if (!error && !outcome) return;
  platform::MainQueue::async([callback = error, response = std::move(response),
                              err = std::move(err), outcome = std::move(outcome)] {
    observe(outcome);
    if (callback) callback(response, err);
  });
}

void BaseService::triggerFailure(std::shared_ptr<Response> response, platform::ErrorPtr err,
                                 std::optional<ExchangeOutcome> outcome) const {
  if (!failure && !outcome) return;
  platform::MainQueue::async([callback = failure, response = std::move(response),
                              err = std::move(err), outcome = std::move(outcome)] {
    observe(outcome);
    if (callback) callback(response, err);
  });
}

}  // namespace korvani
