#include "korvani/base_service.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "korvani/dictionary_encoding.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_session.hpp"
#include "service/query_text.hpp"

namespace korvani {
namespace {

bool networkReachable() {
  const auto reachability = host::ZRReachability::reachabilityForInternetConnection();
  return reachability != nullptr &&
         static_cast<int>(reachability->currentReachabilityStatus()) != 0;
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

}  // namespace

std::shared_ptr<BaseService> BaseService::create(ServiceConfig config) {
  return std::make_shared<BaseService>(Passkey{}, std::move(config));
}

BaseService::BaseService(Passkey, ServiceConfig serviceConfig) : config(std::move(serviceConfig)) {}

void BaseService::execute() {
  // Reachability comes first: without a network nothing else matters.
  if (!networkReachable()) {
    triggerFailure(std::make_shared<Response>(Response::Status::failed),
                   platform::makeError("", platform::kURLErrorNotConnectedToInternet));
    return;
  }
  const auto session = platform::URLSession::sharedSession();
  if (!config.base || !config.path) {
    triggerFailure(std::make_shared<Response>(Response::Status::failed),
                   platform::makeError("", platform::kURLErrorBadURL));
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

  // Weak: a service released before the answer reports nothing.
  auto completion = [weakSelf = weak_from_this()](std::optional<std::string> data,
                                                  std::optional<platform::HTTPURLResponse> answer,
                                                  platform::ErrorPtr err) {
    const auto self = weakSelf.lock();
    if (!self) return;
    auto response = std::make_shared<Response>(std::move(data), answer, err);
    switch (response->result().status()) {
      case Response::Status::success:
        self->triggerSuccess(std::move(response));
        break;
      case Response::Status::error:
        self->triggerError(std::move(response), std::move(err));
        break;
      case Response::Status::failed:
        self->triggerFailure(std::move(response), std::move(err));
        break;
      case Response::Status::cancelled:
        break;
    }
  };
  auto created = session->dataTask(std::move(request), std::move(completion));
  task_ = created;
  created->resume();
}

void BaseService::warmUp(const std::optional<std::string>& base) {
  if (!base || !networkReachable()) return;
  platform::URLSession::sharedSession()->warmUp(*base);
}

void BaseService::cancel() {
  if (const auto task = task_.lock()) task->cancel();
}

// The submitted work holds the callback value read now and the outcome, never the service.
void BaseService::triggerSuccess(std::shared_ptr<Response> response) const {
  if (!success) return;
  platform::MainQueue::async(
      [callback = success, response = std::move(response)] { callback(response); });
}

void BaseService::triggerError(std::shared_ptr<Response> response, platform::ErrorPtr err) const {
  if (!error) return;
  platform::MainQueue::async([callback = error, response = std::move(response),
                              err = std::move(err)] { callback(response, err); });
}

void BaseService::triggerFailure(std::shared_ptr<Response> response, platform::ErrorPtr err) const {
  if (!failure) return;
  platform::MainQueue::async([callback = failure, response = std::move(response),
                              err = std::move(err)] { callback(response, err); });
}

}  // namespace korvani
