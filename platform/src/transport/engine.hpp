#pragma once

// The network thread's own state: the multi handle, the requests in it, requests waiting for a
// warm-up or for their next send, warm-ups connecting. Created and destroyed on the network
// thread; never locked.

#include <curl/curl.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "transport/connection_policy.hpp"
#include "transport/curl_handles.hpp"
#include "transport/task_core.hpp"
#include "transport/warm_up.hpp"

namespace korvani::platform::transport {

// A task the session holds until its completion has run (the core shares the task's block, so
// it keeps the task alive).
struct HeldTask {
  std::shared_ptr<TaskCore> core;
};

struct WarmUpRequest {
  std::string url;
  std::shared_ptr<const TrustSettings> trust;
  std::shared_ptr<const std::string> proxy;
};

class Engine {
 public:
  Engine();
  // Completes every task still here as cancelled.
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // False when libcurl could not make its handles; the worker then cancels everything.
  bool valid() const noexcept { return multi_ && share_; }
  CURLM* multi() const noexcept { return multi_.get(); }

  // A task was resumed or cancelled: starts it, cancels it, or ignores it once it completed.
  void resumeOrCancel(HeldTask held);
  void warmUp(const WarmUpRequest& request);
  // Lets libcurl work, then ends what finished, stalled or waited long enough.
  void perform();
  // How long the network thread may sleep before it must look again (no request: a long time).
  int sleepMs() const;

 private:
  void start(HeldTask held);
  void add(HeldTask held);
  void finish(CURL* easy, CURLcode result);
  // When the request of `core`, whose attempt ended with `result`, goes out again; nullopt for
  // never (see the re-send rule in connection_policy.hpp).
  std::optional<Clock::time_point> nextSend(const TaskCore& core, CURLcode result);
  void cancel(TaskCore& core);
  void endWarmUp(CURL* easy, CURLcode result);
  void releaseWarmedUp(const std::string& origin);
  void expire();
  // The parsed form of `url`, reused while requests go to the same URL.
  std::shared_ptr<const ParsedUrl> parsed(const std::string& url, ErrorPtr& refusal);
  // A handle for the next request: the one the last request gave back, if any.
  EasyHandle takeHandle();
  void giveBack(TaskCore& core);

  CurlShare share_;
  CurlMulti multi_;
  ConnectionPolicy policy_;
  // In the multi handle; a few at most, so a vector (which keeps its storage) beats a map.
  std::vector<std::pair<CURL*, HeldTask>> running_;
  HeldTask* runningEntry(CURL* easy);
  struct Waiting {
    HeldTask held;
    Clock::time_point until;  // sent then at the latest
    bool forWarmUp;           // else for the pause before its next send
  };
  std::vector<Waiting> waiting_;  // prepared, waiting for their origin's warm-up or a pause
  std::minstd_rand jitter_;       // the re-send pauses' randomness
  std::unordered_map<CURL*, std::unique_ptr<WarmUp>> warmUps_;
  // Requests go one after another to one URL: its parsed form and an easy handle with the
  // session's options are kept for the next, which saves 27 of a payment's allocations (see
  // bench/README.md).
  std::shared_ptr<const ParsedUrl> lastUrl_;
  EasyHandle spare_;
};

}  // namespace korvani::platform::transport
