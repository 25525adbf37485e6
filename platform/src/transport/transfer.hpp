#pragma once

// One data task on its way: what the session and the network thread share about it (TaskCore),
// and the easy handle with everything that arrives for it (Transfer, network thread only).

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "korvani/platform/url_session.hpp"
#include "transport/connection_policy.hpp"
#include "transport/curl_handles.hpp"
#include "transport/trust_store.hpp"

namespace korvani::platform::transport {

struct TaskCore;

// Runs the completion exactly once, whoever gets here first; a throwing completion is contained.
void complete(TaskCore& core, std::optional<std::string> data,
              std::optional<HTTPURLResponse> response, ErrorPtr error);

// A request URL as libcurl holds it, with its origin ("scheme://host:port", default port filled
// in). Immutable once made; shared by the requests to that URL.
struct ParsedUrl {
  std::string text;
  CurlUrl handle;
  std::string origin;
};

// Parses `url` for libcurl, or says why it cannot be sent (`refusal`, then null).
std::shared_ptr<const ParsedUrl> parseRequestUrl(const std::string& url, ErrorPtr& refusal);

// An easy handle with the options every handle of the session carries (HTTPS only,
// verification always on, no redirects, no environment, the shared TLS session cache), and the
// connection settings it was last given.
struct EasyHandle {
  CurlEasy easy;  // null when libcurl could not make one
  std::shared_ptr<const TrustSettings> trust;
  std::shared_ptr<const std::string> proxy;
};
EasyHandle makeEasyHandle(CURLSH* share);
// Gives the handle `trust` as its certificate authorities and `proxy` (null: none), unless it
// has them already. Warm-ups use the same, so that their connections match the requests that
// reuse them.
void applyConnectionSettings(EasyHandle& handle, std::shared_ptr<const TrustSettings> trust,
                             std::shared_ptr<const std::string> proxy);

// The easy handle of one request and what arrives for it. Network thread only.
class Transfer {
 public:
  // Sets up `handle` for the core's request to `url` (checked and parsed already).
  Transfer(TaskCore& core, std::shared_ptr<const ParsedUrl> url, EasyHandle handle,
           const ConnectionPolicy& policy);
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Hands the handle back once libcurl is done with it, for the next request; it no longer
  // points into this transfer.
  EasyHandle releaseHandle();

  CURL* easy() const noexcept { return handle_.easy.get(); }
  const std::string& origin() const noexcept { return url_->origin; }

  // When the request fails: for lack of progress (connection set-up included), or at its
  // deadline, whichever comes first.
  Clock::time_point expiresAt() const noexcept;
  // Call when the transfer (re)enters the multi handle.
  void markStarted() noexcept { lastProgress_ = Clock::now(); }

  // Whether libcurl gave up on a connection that died before any answer byte and the request may
  // still go out once more; if so, prepareResend() sets it up on a new connection.
  bool shouldResend(CURLcode result) const noexcept;
  void prepareResend();

  // What the completion gets once libcurl is done with `result`.
  struct Outcome {
    std::optional<std::string> data;
    std::optional<HTTPURLResponse> response;
    ErrorPtr error;
  };
  Outcome finish(CURLcode result);
  Outcome cancelled() const;

 private:
  static size_t onBody(char* data, size_t size, size_t count, void* user);
  static size_t onHeader(char* data, size_t size, size_t count, void* user);
  static int onSend(void* user, char*, char*, int, int);
  static int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t,
                        curl_off_t uploaded);
  void setRequestOptions(const ConnectionPolicy& policy);
  long connectsSoFar() const;
  // Whether only the connection's close ended the answer's body (see URLSession).
  bool endedByClose() const;

  TaskCore& core_;
  std::shared_ptr<const ParsedUrl> url_;
  EasyHandle handle_;
  CurlHeaderList headerLines_;
  bool mayResend_ = false;

  Clock::time_point deadline_;

  // Per answer
  std::string body_;
  HeaderList responseHeaders_;
  std::size_t headerBytes_ = 0;  // status lines, header and trailer fields so far
  bool bodyTooLarge_ = false;
  bool headersTooLarge_ = false;
  curl_off_t lastDown_ = 0;
  curl_off_t lastUp_ = 0;
  Clock::time_point lastProgress_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};

  // Sends of the request: how many went out, how many connections this attempt had made at the
  // last one, and whether libcurl asked for one more that was refused.
  int sends_ = 0;
  long connectsAtLastSend_ = 0;
  bool resendRefused_ = false;
};

struct TaskCore {
  std::uint64_t identifier = 0;
  URLRequest request;
  URLSessionDataTask::Completion completion;
  std::shared_ptr<const TrustSettings> trust;
  std::shared_ptr<const std::string> proxy;  // null: none
  std::size_t maximumBytes = 0;
  std::chrono::milliseconds idleTimeout{60000};
  std::chrono::milliseconds deadline{URLSession::kDefaultRequestDeadline};
  std::weak_ptr<URLSessionDataTask> self;
  std::atomic<URLSessionDataTask::State> state{URLSessionDataTask::State::suspended};
  std::atomic<bool> finished{false};
  // Network thread only: set while the request is being sent.
  std::optional<Transfer> transfer;
};

}  // namespace korvani::platform::transport
