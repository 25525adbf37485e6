#include "transport/engine.hpp"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

#include "transport/request_checks.hpp"
#include "transport/url_errors.hpp"

namespace korvani::platform::transport {
namespace {

// Sleep with nothing in flight: nothing of ours needs the thread then (a request wakes it).
constexpr int kIdleSleepMs = 3'600'000;

}  // namespace

Engine::Engine()
    : share_(curl_share_init()), multi_(curl_multi_init()), jitter_(std::random_device()()) {
  if (share_) {
    // New connections to a known server resume its TLS session (processor time, not a round
    // trip). Connections themselves live in the multi handle's pool.
    curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
}

Engine::~Engine() {
  for (auto& [easy, held] : running_) {
    curl_multi_remove_handle(multi_.get(), easy);
    completeCancelled(*held.core);
    held.core->transfer.reset();
  }
  running_.clear();
  for (Waiting& waiting : waiting_) {
    completeCancelled(*waiting.held.core);
    waiting.held.core->transfer.reset();
  }
  waiting_.clear();
  for (auto& [easy, warmUp] : warmUps_)
    curl_multi_remove_handle(multi_.get(), easy);
  warmUps_.clear();
}

void Engine::resumeOrCancel(HeldTask held) {
  TaskCore& core = *held.core;
  if (core.finished.load()) return;
  const bool canceling = core.state.load() == URLSessionDataTask::State::canceling;
  if (core.transfer) {
    if (canceling) cancel(core);
    return;
  }
  if (canceling) {
    completeCancelled(core);
    return;
  }
  start(std::move(held));
}

void Engine::start(HeldTask held) {
  TaskCore& core = *held.core;
  ErrorPtr refusal = refusalOf(core.request);
  std::shared_ptr<const ParsedUrl> url;
  if (!refusal) url = parsed(core.request.url, refusal);
  EasyHandle handle;
  if (!refusal) {
    handle = takeHandle();
    if (!handle.easy) refusal = urlError(kURLErrorUnknown, core.request.url);
  }
  if (refusal) {
    complete(core, std::nullopt, std::nullopt, std::move(refusal));
    return;
  }
  try {
    core.transfer.emplace(core, std::move(url), std::move(handle), policy_);
  } catch (const std::exception&) {  // out of memory: the request fails, the thread goes on
    complete(core, std::nullopt, std::nullopt, urlError(kURLErrorUnknown, core.request.url));
    return;
  }
  if (policy_.warming(core.transfer->origin())) {
    waiting_.push_back({std::move(held), Clock::now() + policy::kWarmUpWait, true});
    return;
  }
  add(std::move(held));
}

std::shared_ptr<const ParsedUrl> Engine::parsed(const std::string& url, ErrorPtr& refusal) {
  if (lastUrl_ && lastUrl_->text == url) return lastUrl_;
  auto fresh = parseRequestUrl(url, refusal);
  if (fresh) lastUrl_ = fresh;
  return fresh;
}

EasyHandle Engine::takeHandle() {
  if (spare_.easy) return std::move(spare_);
  return makeEasyHandle(share_.get());
}

void Engine::giveBack(TaskCore& core) {
  EasyHandle handle = core.transfer->releaseHandle();
  core.transfer.reset();
  if (!spare_.easy) spare_ = std::move(handle);
}

void Engine::add(HeldTask held) {
  TaskCore& core = *held.core;
  CURL* easy = core.transfer->easy();
  core.transfer->markStarted();
  if (curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) {
    complete(core, std::nullopt, std::nullopt, urlError(kURLErrorUnknown, core.request.url));
    giveBack(core);
    return;
  }
  running_.emplace_back(easy, std::move(held));
}

HeldTask* Engine::runningEntry(CURL* easy) {
  for (auto& [handle, held] : running_) {
    if (handle == easy) return &held;
  }
  return nullptr;
}

void Engine::finish(CURL* easy, CURLcode result) {
  const auto found = std::find_if(running_.begin(), running_.end(),
                                  [&](const auto& entry) { return entry.first == easy; });
  if (found == running_.end()) return;
  HeldTask held = std::move(found->second);
  running_.erase(found);
  TaskCore& core = *held.core;
  Transfer& transfer = *core.transfer;
  curl_multi_remove_handle(multi_.get(), easy);
  Transfer::Outcome outcome;
  if (core.state.load() == URLSessionDataTask::State::canceling) {
    outcome = transfer.cancelled();
  } else if (const auto next = nextSend(core, result)) {
    transfer.prepareResend();
    waiting_.push_back({std::move(held), *next, false});
    return;
  } else {
    outcome = transfer.finish(result);
    if (outcome.response) {
      policy_.noteAnswer(transfer.origin(), outcome.response->allHeaderFields, Clock::now());
    }
  }
  // The completion goes first: readying the handle for the next request is not the caller's wait.
  complete(core, std::move(outcome.data), std::move(outcome.response), std::move(outcome.error));
  giveBack(core);
}

std::optional<Clock::time_point> Engine::nextSend(const TaskCore& core, CURLcode result) {
  if (!core.transfer->mayResendAfter(result)) return std::nullopt;
  const double random = std::uniform_real_distribution<double>(0.0, 1.0)(jitter_);
  return nextSendAt(static_cast<int>(core.sends.load(std::memory_order_relaxed)), Clock::now(),
                    core.transfer->deadline(), random);
}

void Engine::cancel(TaskCore& core) {
  CURL* easy = core.transfer->easy();
  if (runningEntry(easy) != nullptr) {
    finish(easy, CURLE_OK);  // the state says canceling: completes as cancelled
    return;
  }
  const auto waiting = std::find_if(waiting_.begin(), waiting_.end(),
                                    [&](const Waiting& w) { return w.held.core.get() == &core; });
  if (waiting == waiting_.end()) return;
  const HeldTask held = std::move(waiting->held);
  waiting_.erase(waiting);
  completeCancelled(core);
  giveBack(core);
}

void Engine::warmUp(const WarmUpRequest& request) {
  if (!WarmUp::available()) return;
  ErrorPtr refusal;
  std::shared_ptr<const ParsedUrl> url = parseRequestUrl(request.url, refusal);
  if (!url) return;  // silently: nothing to warm
  const std::string& origin = url->origin;
  if (!policy_.shouldWarmUp(origin, Clock::now())) return;
  const long maxIdle = policy_.maxIdleSeconds(origin);
  auto warmUp = std::make_unique<WarmUp>(url, makeEasyHandle(share_.get()), request.trust,
                                         request.proxy, maxIdle);
  CURL* easy = warmUp->easy();
  if (easy == nullptr || curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) return;
  policy_.noteWarmUpStarted(origin);
  warmUps_.emplace(easy, std::move(warmUp));
  // Connecting starts now, not after the requests queued with the warm-up are set up.
  int active = 0;
  curl_multi_perform(multi_.get(), &active);
}

void Engine::endWarmUp(CURL* easy, CURLcode result) {
  auto node = warmUps_.extract(easy);
  if (node.empty()) return;
  curl_multi_remove_handle(multi_.get(), easy);
  const std::string origin = node.mapped()->origin();
  policy_.noteWarmUpEnded(origin, WarmUp::leftConnectionOpen(result), Clock::now());
  releaseWarmedUp(origin);
}

void Engine::releaseWarmedUp(const std::string& origin) {
  std::vector<HeldTask> ready;
  std::erase_if(waiting_, [&](Waiting& waiting) {
    if (!waiting.forWarmUp || waiting.held.core->transfer->origin() != origin) return false;
    ready.push_back(std::move(waiting.held));
    return true;
  });
  for (HeldTask& held : ready)
    add(std::move(held));
}

void Engine::perform() {
  int active = 0;
  curl_multi_perform(multi_.get(), &active);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode result = message->data.result;
    if (warmUps_.contains(easy)) {
      endWarmUp(easy, result);
    } else {
      finish(easy, result);
    }
  }
  expire();
}

void Engine::expire() {
  const auto now = Clock::now();
  std::vector<CURL*> stalled;
  for (const auto& [easy, held] : running_) {
    if (held.core->transfer->expiresAt() <= now) stalled.push_back(easy);
  }
  for (CURL* easy : stalled)
    finish(easy, CURLE_OPERATION_TIMEDOUT);
  // A pause before a copy is over, or a warm-up took too long to connect.
  std::vector<HeldTask> ready;
  std::erase_if(waiting_, [&](Waiting& waiting) {
    if (now < waiting.until) return false;
    ready.push_back(std::move(waiting.held));
    return true;
  });
  for (HeldTask& held : ready)
    add(std::move(held));
}

int Engine::sleepMs() const {
  if (running_.empty() && waiting_.empty()) return kIdleSleepMs;
  const auto now = Clock::now();
  auto nearest = Clock::time_point::max();
  for (const auto& [easy, held] : running_)
    nearest = std::min(nearest, held.core->transfer->expiresAt());
  for (const Waiting& waiting : waiting_)
    nearest = std::min(nearest, waiting.until);
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nearest - now).count();
  return static_cast<int>(std::clamp<long long>(wait, 0, kIdleSleepMs));
}

}  // namespace korvani::platform::transport
