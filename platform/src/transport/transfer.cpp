#include "transport/transfer.hpp"

#include <openssl/ssl.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

#include "transport/request_checks.hpp"
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

// Called for every new TLS connection, after libcurl's own set-up of the context.
CURLcode onSslContext(CURL*, void* context, void*) {
  auto* tls = static_cast<SSL_CTX*>(context);
  // libcurl would log the connection's secrets to the file SSLKEYLOGFILE names.
  SSL_CTX_set_keylog_callback(tls, nullptr);
  // libcurl has OpenSSL free a connection's record buffers whenever it goes idle, so every
  // request on a kept connection allocates them again; keeping them (about 34 KiB per open
  // connection) saves a few allocations per request (see bench/README.md).
  SSL_CTX_clear_mode(tls, SSL_MODE_RELEASE_BUFFERS);
  return CURLE_OK;
}

// The trust for a TLS proxy: libcurl's system defaults while a proxy is set. Without one nothing
// reads them, and libcurl would copy both paths into every transfer.
void setProxyTrust(CURL* easy, bool proxied) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  curl_easy_setopt(easy, CURLOPT_PROXY_CAINFO, proxied ? info->cainfo : nullptr);
  curl_easy_setopt(easy, CURLOPT_PROXY_CAPATH, proxied ? info->capath : nullptr);
}

}  // namespace

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

EasyHandle makeEasyHandle(CURLSH* share) {
  EasyHandle handle{CurlEasy(curl_easy_init()), nullptr, nullptr};
  CURL* easy = handle.easy.get();
  if (easy == nullptr) return handle;
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_SHARE, share);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &onSslContext);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);  // the progress callback tracks stalls
  // Every host an exception to proxying: libcurl then reads no proxy variable of the
  // environment (a configured proxy lifts the exception, see applyConnectionSettings).
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  setProxyTrust(easy, false);
  return handle;
}

void applyConnectionSettings(EasyHandle& handle, std::shared_ptr<const TrustSettings> trust,
                             std::shared_ptr<const std::string> proxy) {
  CURL* easy = handle.easy.get();
  if (handle.trust != trust) {
    if (!trust->bundle.empty()) {
      // The handle keeps `trust` alive while it may read the bundle.
      curl_blob blob{const_cast<char*>(trust->bundle.data()), trust->bundle.size(),
                     CURL_BLOB_NOCOPY};
      curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
      // The bundle replaces the file; a path left set would only be copied into every transfer.
      curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    } else {
      curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, nullptr);
      curl_easy_setopt(easy, CURLOPT_CAINFO,
                       trust->caFile.empty() ? nullptr : trust->caFile.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_CAPATH, trust->caPath.empty() ? nullptr : trust->caPath.c_str());
    handle.trust = std::move(trust);
  }
  if (handle.proxy != proxy) {
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy ? proxy->c_str() : nullptr);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, proxy ? "" : "*");
    setProxyTrust(easy, proxy != nullptr);
    handle.proxy = std::move(proxy);
  }
}

std::shared_ptr<const ParsedUrl> parseRequestUrl(const std::string& url, ErrorPtr& refusal) {
  if (url.find('\0') != std::string::npos) {
    refusal = urlError(kURLErrorBadURL, url);
    return nullptr;
  }
  auto parsed = std::make_shared<ParsedUrl>();
  parsed->text = url;
  parsed->handle.reset(curl_url());
  CURLU* handle = parsed->handle.get();
  if (handle == nullptr) {
    refusal = urlError(kURLErrorUnknown, url);
    return nullptr;
  }
  if (const CURLUcode rc =
          curl_url_set(handle, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME);
      rc != CURLUE_OK) {
    refusal = urlError(kURLErrorBadURL, url,
                       JsonObject{{"curlUrlCode", static_cast<int>(rc)},
                                  {kCurlMessageKey, curl_url_strerror(rc)}});
    return nullptr;
  }
  const auto part = [&](CURLUPart which) {
    char* value = nullptr;
    const CURLUcode rc = curl_url_get(handle, which, &value, CURLU_DEFAULT_PORT);
    return rc == CURLUE_OK ? CurlText(value) : CurlText();
  };
  const CurlText scheme = part(CURLUPART_SCHEME);
  const std::string_view name = scheme ? std::string_view(scheme.get()) : std::string_view();
  if (name != "https") {
    refusal = urlError(kURLErrorAppTransportSecurityRequiresSecureConnection, url);
    return nullptr;
  }
  // libcurl would send them as an "Authorization" field the host never set.
  if (part(CURLUPART_USER) || part(CURLUPART_PASSWORD)) {
    refusal = urlError(kURLErrorBadURL, url, JsonObject{{"reason", "user information"}});
    return nullptr;
  }
  const CurlText host = part(CURLUPART_HOST);
  const CurlText port = part(CURLUPART_PORT);
  parsed->origin.append(name).append("://").append(host ? host.get() : "");
  parsed->origin.append(":").append(port ? port.get() : "");
  return parsed;
}

namespace {

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
  mayResend_ = mayResend(core_.request);
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

long Transfer::connectsSoFar() const {
  long connects = 0;
  curl_easy_getinfo(handle_.easy.get(), CURLINFO_NUM_CONNECTS, &connects);
  return connects;
}

bool Transfer::shouldResend(CURLcode result) const noexcept {
  return result != CURLE_OK && resendRefused_ && mayResend_ && sends_ < policy::kMaxSends;
}

void Transfer::prepareResend() {
  // The same handle and options, so the bytes are the same; only the connection is new.
  curl_easy_setopt(handle_.easy.get(), CURLOPT_FRESH_CONNECT, 1L);
  connectsAtLastSend_ = 0;  // libcurl counts connections afresh for the new attempt
  resendRefused_ = false;
  body_.clear();
  responseHeaders_.clear();
  headerBytes_ = 0;
  bodyTooLarge_ = false;
  headersTooLarge_ = false;
  lastDown_ = lastUp_ = 0;
  errorBuffer_[0] = '\0';
}

// libcurl sends a request again on its own when a reused connection died before any answer
// byte. That is allowed once, for a request that may be sent twice, and only on a connection
// opened for it; anything else fails as a lost connection (or is re-sent by the engine on a new
// connection, see shouldResend).
int Transfer::onSend(void* user, char*, char*, int, int) {
  auto& transfer = *static_cast<Transfer*>(user);
  const long connects = transfer.connectsSoFar();
  const bool first = transfer.sends_ == 0;
  const bool againOnNewConnection = transfer.mayResend_ && transfer.sends_ < policy::kMaxSends &&
                                    connects > transfer.connectsAtLastSend_;
  if (!first && !againOnNewConnection) {
    transfer.resendRefused_ = true;
    return CURL_PREREQFUNC_ABORT;
  }
  ++transfer.sends_;
  transfer.connectsAtLastSend_ = connects;
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
    if (status > 0 && endedByClose()) {
      outcome.error = urlError(kURLErrorNetworkConnectionLost, url,
                               JsonObject{{"reason", "answer ended by the connection's close"}});
    } else if (status > 0) {
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
  if (resendRefused_) {
    code = kURLErrorNetworkConnectionLost;
  } else if (bodyTooLarge_ || headersTooLarge_) {
    code = kURLErrorDataLengthExceedsMaximum;
  }
  outcome.error = urlError(code, url,
                           JsonObject{{kCurlCodeKey, static_cast<int>(result)},
                                      {kCurlMessageKey, std::string(message)}});
  return outcome;
}

bool Transfer::endedByClose() const {
  CURL* easy = handle_.easy.get();
  long version = 0;
  long status = 0;
  curl_off_t length = -1;
  curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  if (version != CURL_HTTP_VERSION_1_0 && version != CURL_HTTP_VERSION_1_1) return false;
  if (length >= 0 || core_.request.httpMethod == "HEAD" || status == 204 || status == 304) {
    return false;
  }
  return std::none_of(responseHeaders_.begin(), responseHeaders_.end(), [](const auto& field) {
    return equalsIgnoringCase(field.first, "Transfer-Encoding") &&
           field.second.find("chunked") != std::string::npos;
  });
}

Transfer::Outcome Transfer::cancelled() const {
  return Outcome{std::nullopt, std::nullopt, urlError(kURLErrorCancelled, core_.request.url)};
}

}  // namespace korvani::platform::transport
