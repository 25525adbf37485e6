#pragma once

// The easy handle of one request on its way and everything that arrives for it. Network thread
// only.

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "korvani/platform/url_request.hpp"
#include "transport/connection_policy.hpp"
#include "transport/curl_handles.hpp"
#include "transport/easy_handle.hpp"
#include "transport/request_url.hpp"

namespace korvani::platform::transport {

struct TaskCore;

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
  Clock::time_point deadline() const noexcept { return deadline_; }
  // Call when the transfer (re)enters the multi handle.
  void markStarted() noexcept { lastProgress_ = Clock::now(); }

  // Whether the attempt that ended with `result` lost its connection before the answer was
  // complete and the request may go out again (the re-send rule of connection_policy.hpp); if
  // so, prepareResend() sets the same request up for a new connection.
  bool mayResendAfter(CURLcode result) const noexcept;
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

  TaskCore& core_;
  std::shared_ptr<const ParsedUrl> url_;
  EasyHandle handle_;
  CurlHeaderList headerLines_;
  bool mayResend_ = false;

  Clock::time_point deadline_;

  // Per attempt
  std::string body_;
  HeaderList responseHeaders_;
  std::size_t headerBytes_ = 0;  // status lines, header and trailer fields so far
  bool bodyTooLarge_ = false;
  bool headersTooLarge_ = false;
  curl_off_t lastDown_ = 0;
  curl_off_t lastUp_ = 0;
  Clock::time_point lastProgress_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  // Whether the request went out in this attempt, how many connections the attempt had made at
  // its last send, and whether a copy libcurl wanted to send on its own was refused (see onSend).
  bool sent_ = false;
  long connectsAtLastSend_ = 0;
  bool ownRetryRefused_ = false;
};

}  // namespace korvani::platform::transport
