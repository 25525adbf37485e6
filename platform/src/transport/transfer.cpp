#include "transport/transfer.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

#include "transport/task_core.hpp"
#include "transport/url_errors.hpp"

namespace korvani::platform::transport {
namespace {

std::string_view trimBlanks(std::string_view text) noexcept {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// Fields libcurl adds on its own unless the request names them: the request carries exactly its
// own fields, plus Host and Content-Length, which libcurl derives from the request.
constexpr std::string_view kCurlsOwnFields[] = {"Accept", "Content-Type", "Expect",
                                                "Transfer-Encoding"};

// The room the request's header lines take: each field's "Name: value" and NUL, each of
// libcurl's own fields a "Name:" and NUL.
std::size_t headerBytes(const HeaderList& fields) {
  std::size_t bytes = fields.textSize() + 3 * fields.size();
  for (std::string_view own : kCurlsOwnFields)
    bytes += own.size() + 2;
  return bytes;
}

}  // namespace

Transfer::Transfer(TaskCore& core, std::shared_ptr<const ParsedUrl> url, EasyHandle handle,
                   const ConnectionPolicy& policy)
    : core_(core),
      url_(std::move(url)),
      handle_(std::move(handle)),
      headerLines_(headerBytes(core.request.allHTTPHeaderFields),
                   core.request.allHTTPHeaderFields.size() + std::size(kCurlsOwnFields)) {
  const HeaderList& fields = core_.request.allHTTPHeaderFields;
  for (const auto& [name, value] : fields)
    headerLines_.addField(name, value);
  for (std::string_view own : kCurlsOwnFields) {
    if (fields.count(own) == 0) headerLines_.addRemoval(own);
  }
  mayResend_ = mayResend(core_.request, core_.resendEnabled);
  deadline_ = Clock::now() + core_.deadline;
  applyConnectionSettings(handle_, core_.trust, core_.proxy);
  setRequestOptions(policy);
}

// Every option a request may set is set by every request: the handle may come from an earlier
// one.
void Transfer::setRequestOptions(const ConnectionPolicy& policy) {
  CURL* easy = handle_.easy.get();
  const URLRequest& request = core_.request;
  curl_easy_setopt(easy, CURLOPT_CURLU, url_->handle.get());
  curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, policy.maxIdleSeconds(url_->origin));
  curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 0L);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerLines_.list());
  // A plain GET first: clears what an earlier request's method left (no body, upload, POST).
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
  if (request.httpMethod == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (request.httpBody) {
    // Sent from the request's own buffer, so binary bytes pass unchanged. A body makes it a
    // POST; any other method is named.
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.httpBody->data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.httpBody->size()));
    if (request.httpMethod != "POST") {
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.httpMethod.c_str());
    }
  } else if (request.httpMethod != "GET") {
    if (request.httpMethod == "POST" || request.httpMethod == "PUT" ||
        request.httpMethod == "PATCH") {
      // An empty body, announced as "Content-Length: 0" as servers expect for these methods.
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
    }
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.httpMethod.c_str());
  }

  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::onSend);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_);
  // Refuses a declared oversized answer before any of it arrives (0 would mean "no limit"; then
  // onBody refuses any byte).
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                   static_cast<curl_off_t>(std::min<std::size_t>(core_.maximumBytes, INT64_MAX)));
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(core_.idleTimeout.count()));
}

Clock::time_point Transfer::expiresAt() const noexcept {
  return std::min(lastProgress_ + core_.idleTimeout, deadline_);
}

EasyHandle Transfer::releaseHandle() {
  CURL* easy = handle_.easy.get();
  if (easy != nullptr) {
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(easy, CURLOPT_CURLU, nullptr);
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);  // forgets the body
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
    for (CURLoption data :
         {CURLOPT_WRITEDATA, CURLOPT_HEADERDATA, CURLOPT_PREREQDATA, CURLOPT_XFERINFODATA}) {
      curl_easy_setopt(easy, data, nullptr);
    }
  }
  return std::move(handle_);
}

bool Transfer::mayResendAfter(CURLcode result) const noexcept {
  if (!mayResend_ || bodyTooLarge_ || headersTooLarge_) return false;
  return ownRetryRefused_ || lostBeforeAnswer(result);
}

void Transfer::prepareResend() {
  // The same handle and options, so the bytes are the same; only the connection is new.
  curl_easy_setopt(handle_.easy.get(), CURLOPT_FRESH_CONNECT, 1L);
  sent_ = false;
  ownRetryRefused_ = false;
  connectsAtLastSend_ = 0;  // libcurl counts connections afresh for the new attempt
  body_.clear();
  responseHeaders_.clear();
  headerBytes_ = 0;
  lastDown_ = lastUp_ = 0;
  errorBuffer_[0] = '\0';
}

long Transfer::connectsSoFar() const {
  long connects = 0;
  curl_easy_getinfo(handle_.easy.get(), CURLINFO_NUM_CONNECTS, &connects);
  return connects;
}

// Called when the request is about to go out on a connection. libcurl sends a request again on
// its own, once, when a reused connection died before any answer byte, and it has already opened
// a new connection for that: the copy goes out there at once when the re-send rule allows one
// (the server merely closed an idle connection, nothing calls for a pause), and is refused
// otherwise, which fails the attempt as a lost connection.
int Transfer::onSend(void* user, char*, char*, int, int) {
  auto& transfer = *static_cast<Transfer*>(user);
  const long connects = transfer.connectsSoFar();
  if (transfer.sent_) {
    const bool copyAllowed =
        transfer.mayResend_ && connects > transfer.connectsAtLastSend_ &&
        transfer.core_.sends.load(std::memory_order_relaxed) < policy::kMaxSends;
    if (!copyAllowed) {
      transfer.ownRetryRefused_ = true;
      return CURL_PREREQFUNC_ABORT;
    }
  }
  transfer.sent_ = true;
  transfer.connectsAtLastSend_ = connects;
  transfer.core_.sends.fetch_add(1, std::memory_order_relaxed);
  return CURL_PREREQFUNC_OK;
}

size_t Transfer::onBody(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  const std::size_t limit = transfer.core_.maximumBytes;
  if (length > limit - transfer.body_.size()) {  // the body never exceeds the limit
    // Returning less than given aborts the transfer; nothing more is kept.
    transfer.bodyTooLarge_ = true;
    return 0;
  }
  if (transfer.body_.empty()) {
    curl_off_t declared = -1;
    if (curl_easy_getinfo(transfer.handle_.easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                          &declared) == CURLE_OK &&
        declared > 0) {
      transfer.body_.reserve(std::min(static_cast<size_t>(declared), limit));
    }
  }
  transfer.body_.append(data, length);
  transfer.lastProgress_ = Clock::now();
  return length;
}

size_t Transfer::onHeader(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  // Every line counts, interim answers and trailers included, so none of them can grow without
  // bound; returning less than given aborts the transfer.
  transfer.headerBytes_ += length;
  if (transfer.headerBytes_ > policy::kMaximumHeaderBytes) {
    transfer.headersTooLarge_ = true;
    return 0;
  }
  std::string_view line(data, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);
  transfer.lastProgress_ = Clock::now();
  HeaderList& fields = transfer.responseHeaders_;
  if (line.starts_with("HTTP/")) {
    // A new status line: an interim (1xx) answer's fields are not the final answer's.
    fields.clear();
    fields.reserve(8, 512);  // an answer's usual fields, without regrowth
  } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
    // Obsolete line folding: continues the previous field's value.
    if (!fields.empty()) {
      fields.appendToLastValue(" ");
      fields.appendToLastValue(trimBlanks(line));
    }
  } else if (const auto colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
    fields.emplace_back(line.substr(0, colon), trimBlanks(line.substr(colon + 1)));
  }
  return length;
}

int Transfer::onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t,
                         curl_off_t uploaded) {
  auto& transfer = *static_cast<Transfer*>(user);
  if (downloaded != transfer.lastDown_ || uploaded != transfer.lastUp_) {
    transfer.lastDown_ = downloaded;
    transfer.lastUp_ = uploaded;
    transfer.lastProgress_ = Clock::now();
  }
  return 0;
}

Transfer::Outcome Transfer::finish(CURLcode result) {
  const std::string& url = core_.request.url;
  Outcome outcome;
  if (result == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(handle_.easy.get(), CURLINFO_RESPONSE_CODE, &status);
    // An answer whose end only the connection's close told counts by its status like any other:
    // a JSON answer cut short never parses, so a truncation cannot pass for another payment.
    if (status > 0) {
      outcome.response.emplace();
      outcome.response->url = std::move(core_.request.url);  // the request is done with it
      outcome.response->statusCode = status;
      outcome.response->allHeaderFields = std::move(responseHeaders_);
      outcome.data = std::move(body_);
    } else {
      outcome.error = urlError(kURLErrorBadServerResponse, url);
    }
    return outcome;
  }
  const char* message = errorBuffer_[0] != '\0' ? errorBuffer_ : curl_easy_strerror(result);
  std::int64_t code = urlErrorCodeForCurl(result);
  if (ownRetryRefused_) {
    code = kURLErrorNetworkConnectionLost;
  } else if (bodyTooLarge_ || headersTooLarge_) {
    code = kURLErrorDataLengthExceedsMaximum;
  }
  outcome.error = urlError(code, url,
                           JsonObject{{kCurlCodeKey, static_cast<int>(result)},
                                      {kCurlMessageKey, std::string(message)}});
  return outcome;
}

Transfer::Outcome Transfer::cancelled() const {
  return Outcome{std::nullopt, std::nullopt, urlError(kURLErrorCancelled, core_.request.url)};
}

}  // namespace korvani::platform::transport
