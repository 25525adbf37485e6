#include "korvani/platform/url_session.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <utility>

#include "transport/connection_policy.hpp"
#include "transport/task_core.hpp"
#include "transport/trust_store.hpp"
#include "transport/worker.hpp"

namespace korvani::platform {
namespace {

using transport::TaskCore;
using transport::Worker;

std::chrono::milliseconds timeoutFor(double seconds) {
  // Non-positive or non-finite values mean "the default", as on the platform.
  if (!(seconds > 0) || !std::isfinite(seconds)) seconds = 60.0;
  const double ms = std::min(seconds * 1000.0, 1e9);
  return std::chrono::milliseconds(std::max<long long>(1, std::llround(ms)));
}

std::atomic<std::uint64_t> nextTaskIdentifier{1};

}  // namespace

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(std::string_view name) const {
  if (const auto value = allHeaderFields.value(name)) return std::string(*value);
  return std::nullopt;
}

// What the network thread shares about the task.
struct URLSessionDataTask::Impl : TaskCore {};

// A task and its shared part in one allocation: whoever holds either keeps both.
struct URLSessionDataTask::Block {
  Impl impl;
  URLSessionDataTask task{impl};
};

URLSessionDataTask::~URLSessionDataTask() = default;

void URLSessionDataTask::resume() {
  auto expected = State::suspended;
  if (!impl_->state.compare_exchange_strong(expected, State::running)) return;
  std::shared_ptr<URLSessionDataTask> self = impl_->self.lock();
  if (!self) return;  // only possible while the last owner is destroying the task
  Worker::instance().resumeOrCancel({std::shared_ptr<TaskCore>(self, impl_)});
}

void URLSessionDataTask::cancel() {
  auto& state = impl_->state;
  State current = state.load();
  while (current == State::suspended || current == State::running) {
    if (state.compare_exchange_weak(current, State::canceling)) {
      std::shared_ptr<URLSessionDataTask> self = impl_->self.lock();
      if (self) Worker::instance().resumeOrCancel({std::shared_ptr<TaskCore>(self, impl_)});
      return;
    }
  }
}

URLSessionDataTask::State URLSessionDataTask::state() const {
  return impl_->state.load();
}

std::uint64_t URLSessionDataTask::taskIdentifier() const noexcept {
  return impl_->identifier;
}

std::uint32_t URLSessionDataTask::sendCount() const noexcept {
  return impl_->sends.load(std::memory_order_acquire);
}

struct URLSession::Impl {
  transport::TrustStore trust;
  std::atomic<std::size_t> maximumBytes{kDefaultMaximumResponseBytes};
  std::atomic<std::chrono::milliseconds::rep> deadlineMs{kDefaultRequestDeadline.count()};
  std::atomic<bool> warmUpEnabled{true};
  std::atomic<bool> resendEnabled{true};
  mutable std::mutex proxyMutex;
  std::shared_ptr<const std::string> proxy;  // guarded by proxyMutex; null: none

  std::shared_ptr<const std::string> currentProxy() const {
    std::lock_guard lock(proxyMutex);
    return proxy;
  }
};

URLSession::URLSession() : impl_(std::make_unique<Impl>()) {
  // The host makes the session when it sets up (trust) or hands the plug-in its checkout, well
  // before the first request.
  Worker::instance().start();
}

URLSession::~URLSession() = default;

std::shared_ptr<URLSession> URLSession::sharedSession() {
  // Never destroyed, like the network thread it feeds: callers may still ask during exit.
  static const auto* const session = new std::shared_ptr<URLSession>(new URLSession);
  return *session;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(
    URLRequest request, URLSessionDataTask::Completion completion) {
  auto block = std::make_shared<URLSessionDataTask::Block>();
  TaskCore& core = block->impl;
  core.identifier = nextTaskIdentifier.fetch_add(1, std::memory_order_relaxed);
  core.idleTimeout = timeoutFor(request.timeoutInterval);
  core.request = std::move(request);
  core.completion = std::move(completion);
  core.trust = impl_->trust.current();
  core.maximumBytes = impl_->maximumBytes.load(std::memory_order_relaxed);
  core.deadline = transport::exchangeDeadline(
      std::chrono::milliseconds(impl_->deadlineMs.load(std::memory_order_relaxed)),
      core.idleTimeout);
  core.resendEnabled = impl_->resendEnabled.load(std::memory_order_relaxed);
  core.proxy = impl_->currentProxy();
  std::shared_ptr<URLSessionDataTask> task(block, &block->task);
  core.self = task;
  return task;
}

void URLSession::warmUp(const std::string& url) {
  if (!impl_->warmUpEnabled.load(std::memory_order_relaxed)) return;
  Worker::instance().warmUp({url, impl_->trust.current(), impl_->currentProxy()});
}

void URLSession::setWarmUpEnabled(bool enabled) {
  impl_->warmUpEnabled.store(enabled, std::memory_order_relaxed);
}

bool URLSession::warmUpEnabled() const {
  return impl_->warmUpEnabled.load(std::memory_order_relaxed);
}

void URLSession::setResendEnabled(bool enabled) {
  impl_->resendEnabled.store(enabled, std::memory_order_relaxed);
}

bool URLSession::resendEnabled() const {
  return impl_->resendEnabled.load(std::memory_order_relaxed);
}

bool URLSession::shutdown(std::chrono::milliseconds timeout) {
  return Worker::instance().shutdown(timeout);
}

void URLSession::addTrustedCertificatesPem(std::string pem) {
  impl_->trust.addPem(std::move(pem));
}

bool URLSession::addTrustedCertificatesFile(const std::filesystem::path& path) {
  return impl_->trust.addFile(path);
}

void URLSession::resetTrustedCertificates() {
  impl_->trust.reset();
}

void URLSession::setMaximumResponseBytes(std::size_t bytes) {
  impl_->maximumBytes.store(bytes, std::memory_order_relaxed);
}

std::size_t URLSession::maximumResponseBytes() const {
  return impl_->maximumBytes.load(std::memory_order_relaxed);
}

void URLSession::setRequestDeadline(std::chrono::milliseconds deadline) {
  impl_->deadlineMs.store(std::max<std::chrono::milliseconds::rep>(deadline.count(), 1),
                          std::memory_order_relaxed);
}

std::chrono::milliseconds URLSession::requestDeadline() const {
  return std::chrono::milliseconds(impl_->deadlineMs.load(std::memory_order_relaxed));
}

void URLSession::setProxy(std::optional<std::string> proxy) {
  auto value = proxy ? std::make_shared<const std::string>(std::move(*proxy)) : nullptr;
  std::lock_guard lock(impl_->proxyMutex);
  impl_->proxy = std::move(value);
}

std::optional<std::string> URLSession::proxy() const {
  const auto value = impl_->currentProxy();
  return value ? std::optional<std::string>(*value) : std::nullopt;
}

}  // namespace korvani::platform
