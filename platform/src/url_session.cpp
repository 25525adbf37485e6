#include "korvani/platform/url_session.hpp"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "spin_wait.hpp"
#include "url_session_detail.hpp"

namespace korvani::platform {

// ---------------------------------------------------------------------------------------------
// Pure helpers

namespace detail {

bool isValidHeaderName(std::string_view name) noexcept {
  if (name.empty()) return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '\r' || c == '\n' || c == '\0' || c == ':' || c == ' ' || c == '\t';
  });
}

bool isValidHeaderValue(std::string_view value) noexcept {
  return std::none_of(value.begin(), value.end(),
                      [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

bool isValidMethod(std::string_view method) noexcept {
  if (method.empty()) return false;
  constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return std::all_of(method.begin(), method.end(), [&](char c) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return alnum || kSymbols.find(c) != std::string_view::npos;
  });
}

bool isIdempotentMethod(std::string_view method) noexcept {
  for (std::string_view idempotent : {"GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"}) {
    if (method == idempotent) return true;
  }
  return false;
}

void appendCurlHeaderLine(std::string& out, std::string_view name, std::string_view value) {
  const bool blank = value.find_first_not_of(" \t") == std::string_view::npos;
  out.append(name);
  if (blank) {
    out.push_back(';');
  } else {
    out.append(": ");
    out.append(value);
  }
}

std::string curlHeaderLine(std::string_view name, std::string_view value) {
  std::string line;
  line.reserve(name.size() + value.size() + 2);
  appendCurlHeaderLine(line, name, value);
  return line;
}

std::int64_t urlErrorCodeForCurl(int curlCode, bool bodyTooLarge) noexcept {
  if (bodyTooLarge) return kURLErrorDataLengthExceedsMaximum;
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kURLErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT:
      return kURLErrorBadURL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return kURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return kURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return kURLErrorTimedOut;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2_STREAM:
      return kURLErrorNetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP3:
      return kURLErrorBadServerResponse;
    case CURLE_FILESIZE_EXCEEDED:
      return kURLErrorDataLengthExceedsMaximum;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CLIENTCERT:
      return kURLErrorSecureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return kURLErrorServerCertificateUntrusted;
    default:
      return kURLErrorUnknown;
  }
}

namespace {

struct TrustLocationsState {
  std::mutex mutex;
  SystemTrustLocations locations;
  std::uint64_t generation = 0;
};

TrustLocationsState& trustLocationsState() {
  static TrustLocationsState* const state = [] {
    auto* s = new TrustLocationsState;
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info->capath != nullptr) s->locations.caPath = info->capath;
    if (info->cainfo != nullptr) s->locations.caFile = info->cainfo;
    return s;
  }();
  return *state;
}

}  // namespace

SystemTrustLocations systemTrustLocations() {
  TrustLocationsState& s = trustLocationsState();
  std::lock_guard lock(s.mutex);
  return s.locations;
}

void setSystemTrustLocations(SystemTrustLocations locations) {
  TrustLocationsState& s = trustLocationsState();
  std::lock_guard lock(s.mutex);
  s.locations = std::move(locations);
  ++s.generation;
}

static std::uint64_t systemTrustGeneration() {
  TrustLocationsState& s = trustLocationsState();
  std::lock_guard lock(s.mutex);
  return s.generation;
}

}  // namespace detail

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trimBlanks(std::string_view text) noexcept {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return text;
}

bool holdsCertificate(std::string_view pem) noexcept {
  return pem.find("-----BEGIN CERTIFICATE-----") != std::string_view::npos;
}

// What a task hands to libcurl for certificate verification. Added certificates go in as an
// in-memory bundle; that bundle replaces libcurl's CA file, while its CA directory stays in use,
// so the system store keeps working beside them. Without a CA directory the system bundle file
// is copied into the in-memory bundle instead.
struct TrustSettings {
  std::string bundle;  // PEM for CURLOPT_CAINFO_BLOB; empty: none
  std::string caPath;  // CURLOPT_CAPATH; empty: none
  std::string caFile;  // CURLOPT_CAINFO when there is no bundle; empty: none
};

std::chrono::milliseconds timeoutFor(double seconds) {
  // Non-positive or non-finite values mean "the default", as on the platform.
  if (!(seconds > 0) || !std::isfinite(seconds)) seconds = 60.0;
  const double ms = std::min(seconds * 1000.0, 1e9);
  return std::chrono::milliseconds(std::max<long long>(1, std::llround(ms)));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Task state

namespace detail {

// A request URL as libcurl holds it (only read by libcurl), and its scheme, host and port.
struct ParsedUrl {
  std::unique_ptr<CURLU, void (*)(CURLU*)> handle{nullptr, &curl_url_cleanup};
  std::string origin;
};

// Everything a data task needs on the worker thread. Fields below `worker-only` are touched only
// by the worker (or, after the worker has stopped, by the single thread that finishes the task).
struct TaskCore {
  std::uint64_t identifier = 0;
  URLRequest request;
  URLSessionDataTask::Completion completion;
  std::shared_ptr<const TrustSettings> trust;
  std::size_t maximumBytes = URLSession::kDefaultMaximumResponseBytes;
  std::chrono::milliseconds timeout{60000};
  std::weak_ptr<URLSessionDataTask> self;
  std::atomic<URLSessionDataTask::State> state{URLSessionDataTask::State::suspended};
  std::atomic<bool> finished{false};

  // worker-only
  CURL* easy = nullptr;
  std::shared_ptr<const ParsedUrl> url;  // shared with other tasks to the same URL
  // The header list handed to libcurl, which only reads it: the lines, each ended by a NUL,
  // and the list's nodes pointing into them.
  std::string headerText;
  std::vector<curl_slist> headerLines;
  std::string body;
  HeaderList responseHeaders;
  bool bodyTooLarge = false;
  // How often libcurl was about to send the request, and whether a second send was refused.
  int sends = 0;
  bool resendRefused = false;
  curl_off_t lastDown = 0;
  curl_off_t lastUp = 0;
  std::chrono::steady_clock::time_point lastProgress;
  char errorBuffer[CURL_ERROR_SIZE] = {};
};

}  // namespace detail

struct URLSessionDataTask::Impl {
  std::shared_ptr<detail::TaskCore> core = std::make_shared<detail::TaskCore>();
};

// ---------------------------------------------------------------------------------------------
// The worker: one multi handle, one thread

namespace {

using detail::ParsedUrl;
using detail::TaskCore;

ErrorPtr urlError(std::int64_t code, const std::string& url, JsonObject extra = {}) {
  extra.set(kFailingURLKey, url);
  return makeError(kURLErrorDomain, code, std::move(extra));
}

class Engine {
 public:
  static Engine& instance() {
    // The engine is never destroyed (tasks may be poked during exit); the guard stops its
    // thread and finishes what is in flight when static objects are torn down.
    static Engine* const engine = new Engine;
    static const ExitGuard guard{*engine};
    return *engine;
  }

  // Asks the worker to look at `task` again (after resume or cancel). Thread-safe.
  void poke(std::shared_ptr<URLSessionDataTask> task, std::shared_ptr<TaskCore> core) {
    {
      std::lock_guard lock(mutex_);
      if (!stopRequested_) {
        if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
        pokes_.push_back({std::move(task), std::move(core)});
        pokeCount_.store(pokes_.size(), std::memory_order_release);
        // Wakes curl_multi_poll at once; safe from any thread. A worker that is not asleep sees
        // the request before it sleeps.
        if (sleeping_) curl_multi_wakeup(multi_);
        return;
      }
    }
    // The process is exiting and the worker is gone: nothing can be sent any more.
    complete(*core, std::nullopt, std::nullopt, urlError(kURLErrorCancelled, core->request.url));
  }

 private:
  struct Poke {
    std::shared_ptr<URLSessionDataTask> task;
    std::shared_ptr<TaskCore> core;
  };
  struct Running {
    std::shared_ptr<URLSessionDataTask> task;  // the session's strong reference
    std::shared_ptr<TaskCore> core;
  };
  struct ExitGuard {
    Engine& engine;
    ~ExitGuard() { engine.stop(); }
  };

  Engine() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi_ = curl_multi_init();
    share_ = curl_share_init();
    // TLS sessions are shared so that a new connection to a known server resumes its session;
    // connections themselves are shared by the multi handle's cache.
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }

  void stop() {
    std::vector<Poke> leftover;
    {
      // From here on poke() no longer queues work nor starts the thread, so worker_ is stable.
      std::lock_guard lock(mutex_);
      stopRequested_ = true;
      if (worker_.joinable()) curl_multi_wakeup(multi_);
    }
    if (worker_.joinable()) {
      if (worker_.get_id() == std::this_thread::get_id()) {
        // exit() called from a completion: the worker cannot join itself, and tearing down the
        // handles under its feet would be worse than leaving them to the exiting process.
        worker_.detach();
        return;
      }
      worker_.join();
    }
    {
      std::lock_guard lock(mutex_);
      leftover.swap(pokes_);
    }
    for (Poke& p : leftover) {
      complete(*p.core, std::nullopt, std::nullopt,
               urlError(kURLErrorCancelled, p.core->request.url));
    }
    for (CURL* easy : spare_)
      curl_easy_cleanup(easy);
    spare_.clear();
    parsedUrls_.clear();
    curl_multi_cleanup(multi_);
    curl_share_cleanup(share_);
  }

  void run() {
    for (;;) {
      // Swapped with pokes_ and emptied after use, so neither vector allocates once warm.
      std::vector<Poke>& batch = batch_;
      bool stopping = false;
      {
        std::lock_guard lock(mutex_);
        batch.swap(pokes_);
        pokeCount_.store(0, std::memory_order_relaxed);
        stopping = stopRequested_;
      }
      for (Poke& p : batch)
        handlePoke(std::move(p));
      batch.clear();
      if (stopping) {
        abortAll();
        return;
      }
      int active = 0;
      curl_multi_perform(multi_, &active);
      const std::size_t inFlight = running_.size();
      collectFinished();
      expireStalled();
      if (running_.empty() && inFlight > 0 && awaitNext()) continue;
      sleepInPoll();
    }
  }

  // Payments tend to come one after another: a host starts the next as soon as it has handled
  // an answer. Putting the worker to sleep and waking it again costs tens of microseconds on a
  // busy machine, more than the host needs, so after a request has finished and nothing is in
  // flight the worker first waits a little without sleeping (yielding the processor to any
  // thread that wants it). Returns true when a request came in meanwhile.
  bool awaitNext() {
    constexpr auto kAwaitNext = std::chrono::microseconds(200);
    return detail::spinUntil([this] { return pokeCount_.load(std::memory_order_acquire) != 0; },
                             std::chrono::steady_clock::now() + kAwaitNext);
  }

  // Sleeps in curl_multi_poll until a socket, a timer, a time-out or a poke needs the worker.
  // Only a sleeping worker is woken (a write to libcurl's wake-up pipe, a system call on the
  // poking thread); one that is still busy looks at the queued pokes before it sleeps.
  void sleepInPoll() {
    {
      std::lock_guard lock(mutex_);
      if (!pokes_.empty() || stopRequested_) return;
      sleeping_ = true;
    }
    curl_multi_poll(multi_, nullptr, 0, pollTimeoutMs(), nullptr);
    std::lock_guard lock(mutex_);
    sleeping_ = false;
  }

  void handlePoke(Poke p) {
    TaskCore& core = *p.core;
    if (core.finished.load()) return;
    const bool cancelling = core.state.load() == URLSessionDataTask::State::canceling;
    if (core.easy != nullptr) {
      if (cancelling) finishRunning(core.easy, CURLE_OK, /*cancelled=*/true);
      return;
    }
    if (cancelling) {
      complete(core, std::nullopt, std::nullopt, urlError(kURLErrorCancelled, core.request.url));
      return;
    }
    start(std::move(p));
  }

  void start(Poke p) {
    TaskCore& core = *p.core;
    if (ErrorPtr refusal = prepare(core)) {
      releaseHandles(core);
      complete(core, std::nullopt, std::nullopt, std::move(refusal));
      return;
    }
    core.lastProgress = std::chrono::steady_clock::now();
    CURL* easy = core.easy;
    running_.emplace(easy, Running{std::move(p.task), std::move(p.core)});
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
      auto node = running_.extract(easy);
      releaseHandles(*node.mapped().core);
      complete(*node.mapped().core, std::nullopt, std::nullopt,
               urlError(kURLErrorUnknown, node.mapped().core->request.url));
    }
  }

  // Checks the request and sets up its easy handle; returns the refusal, if any.
  ErrorPtr prepare(TaskCore& core) {
    const URLRequest& request = core.request;
    for (const auto& [name, value] : request.allHTTPHeaderFields) {
      if (!detail::isValidHeaderName(name) || !detail::isValidHeaderValue(value)) {
        return urlError(kURLErrorRequestHeaderInvalid, request.url);
      }
    }
    if (!detail::isValidMethod(request.httpMethod)) {
      return urlError(kURLErrorBadURL, request.url, JsonObject{{"httpMethod", request.httpMethod}});
    }
    if (request.url.find('\0') != std::string::npos) return urlError(kURLErrorBadURL, request.url);

    if (ErrorPtr refusal = parseUrl(core)) return refusal;

    buildHeaderLines(core);

    core.easy = takeEasy();
    if (core.easy == nullptr) return urlError(kURLErrorUnknown, request.url);
    configure(core);
    return nullptr;
  }

  // Parses and checks the request's URL, reusing the result for a URL seen shortly before:
  // a host sends its payments to one address.
  ErrorPtr parseUrl(TaskCore& core) {
    const std::string& text = core.request.url;
    const auto cached = std::find_if(parsedUrls_.begin(), parsedUrls_.end(),
                                     [&](const auto& entry) { return entry.first == text; });
    if (cached != parsedUrls_.end()) {
      core.url = cached->second;
      std::rotate(parsedUrls_.begin(), cached, cached + 1);  // most recent first
      return nullptr;
    }
    auto url = std::make_shared<ParsedUrl>();
    url->handle.reset(curl_url());
    CURLU* handle = url->handle.get();
    if (handle == nullptr) return urlError(kURLErrorUnknown, text);
    if (const CURLUcode rc = curl_url_set(handle, CURLUPART_URL, text.c_str(), 0);
        rc != CURLUE_OK) {
      return urlError(kURLErrorBadURL, text,
                      JsonObject{{"curlUrlCode", static_cast<int>(rc)},
                                 {kCurlMessageKey, curl_url_strerror(rc)}});
    }
    char* scheme = nullptr;
    const bool supported =
        curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        (std::string_view(scheme) == "http" || std::string_view(scheme) == "https");
    curl_free(scheme);
    if (!supported) return urlError(kURLErrorUnsupportedURL, text);
    // Scheme, host and port, the default port filled in: what a connection is kept for.
    for (const auto& [part, separator] :
         {std::pair{CURLUPART_SCHEME, "://"}, std::pair{CURLUPART_HOST, ":"},
          std::pair{CURLUPART_PORT, ""}}) {
      char* value = nullptr;
      if (curl_url_get(handle, part, &value, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        url->origin.append(value).append(separator);
      }
      curl_free(value);
    }
    if (parsedUrls_.size() == kParsedUrls) parsedUrls_.pop_back();
    parsedUrls_.emplace(parsedUrls_.begin(), text, url);
    core.url = std::move(url);
    return nullptr;
  }

  // A server closes a kept-alive connection after some idle time, and a request sent just as
  // it does so is lost: the connection dies before any answer. libcurl then sends the request
  // again, but one that must go out at most once (a payment POST) can only fail. So such a
  // request takes a kept-alive connection only when the server was used moments ago; servers
  // keep connections for seconds at least. A new connection resumes the TLS session.
  void avoidIdleConnections(TaskCore& core) {
    if (detail::isIdempotentMethod(core.request.httpMethod)) return;
    const auto used = lastUse_.find(core.url->origin);
    if (used == lastUse_.end() ||
        std::chrono::steady_clock::now() - used->second >= kWarmConnectionAge) {
      curl_easy_setopt(core.easy, CURLOPT_FRESH_CONNECT, 1L);
    }
    // Other kept connections to the server (after parallel requests) are judged by libcurl,
    // in whole seconds: none idle for a second or more.
    curl_easy_setopt(core.easy, CURLOPT_MAXAGE_CONN, 0L);
  }

  // Records that the request's origin just answered (its connection is warm). Forgets origins
  // not heard from lately once many are remembered.
  void noteUse(const TaskCore& core) {
    if (!core.url) return;
    const auto now = std::chrono::steady_clock::now();
    if (lastUse_.size() >= kRememberedOrigins) {
      std::erase_if(lastUse_,
                    [&](const auto& entry) { return now - entry.second >= kWarmConnectionAge; });
    }
    lastUse_[core.url->origin] = now;
  }

  static void buildHeaderLines(TaskCore& core) {
    const HeaderList& fields = core.request.allHTTPHeaderFields;
    std::vector<std::size_t> starts;
    starts.reserve(fields.size() + 4);
    std::string& text = core.headerText;
    for (const auto& [name, value] : fields) {
      starts.push_back(text.size());
      detail::appendCurlHeaderLine(text, name, value);
      text.push_back('\0');
    }
    // libcurl adds fields of its own unless told not to; the request carries exactly its own
    // fields (plus Host and Content-Length, which libcurl derives from the request).
    for (std::string_view suppressed : {"Accept", "Content-Type", "Expect", "Transfer-Encoding"}) {
      const bool given = std::any_of(fields.begin(), fields.end(), [&](const auto& field) {
        return equalsIgnoringCase(field.first, suppressed);
      });
      if (!given) {
        starts.push_back(text.size());
        text.append(suppressed).append(":", 2);  // the colon and the line's NUL
      }
    }
    // Linked only now: appending may have moved the text.
    core.headerLines.resize(starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i) {
      core.headerLines[i].data = text.data() + starts[i];
      core.headerLines[i].next = i + 1 < starts.size() ? &core.headerLines[i + 1] : nullptr;
    }
  }

  // The options every request shares; set when a handle is made or put back, so that starting
  // a request sets only its own.
  void configureShared(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Engine::onBody);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Engine::onHeader);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Engine::onSend);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Engine::onProgress);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  }

  void configure(TaskCore& core) {
    CURL* easy = core.easy;
    const URLRequest& request = core.request;
    curl_easy_setopt(easy, CURLOPT_CURLU, core.url->handle.get());
    avoidIdleConnections(core);
    const TrustSettings& trust = *core.trust;
    if (!trust.bundle.empty()) {
      curl_blob blob{const_cast<char*>(trust.bundle.data()), trust.bundle.size(),
                     CURL_BLOB_NOCOPY};  // the task keeps `trust` alive while the handle runs
      curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    } else {
      curl_easy_setopt(easy, CURLOPT_CAINFO, trust.caFile.empty() ? nullptr : trust.caFile.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_CAPATH, trust.caPath.empty() ? nullptr : trust.caPath.c_str());

    curl_easy_setopt(easy, CURLOPT_HTTPHEADER,
                     core.headerLines.empty() ? nullptr : core.headerLines.data());
    if (request.httpMethod == "HEAD") {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (request.httpBody) {
      // The body is sent from the request's own buffer, so binary bytes pass unchanged.
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.httpBody->data());
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.httpBody->size()));
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.httpMethod.c_str());
    } else if (request.httpMethod == "GET") {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
      if (request.httpMethod == "POST" || request.httpMethod == "PUT" ||
          request.httpMethod == "PATCH") {
        // An empty body, announced as "Content-Length: 0" as servers expect for these methods.
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
      }
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.httpMethod.c_str());
    }

    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &core);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &core);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &core);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &core);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, core.errorBuffer);
    if (core.maximumBytes > 0) {
      // Refuses a declared oversized answer before any of it arrives; 0 would mean "no limit".
      curl_easy_setopt(
          easy, CURLOPT_MAXFILESIZE_LARGE,
          static_cast<curl_off_t>(std::min<std::size_t>(core.maximumBytes, INT64_MAX)));
    }
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(core.timeout.count()));
  }

  static size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto& core = *static_cast<TaskCore*>(user);
    const size_t length = size * count;
    if (length > core.maximumBytes - core.body.size()) {
      // Returning less than given aborts the transfer; nothing more is kept.
      core.bodyTooLarge = true;
      return 0;
    }
    if (core.body.empty()) {
      curl_off_t declared = -1;
      if (curl_easy_getinfo(core.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared) == CURLE_OK &&
          declared > 0) {
        core.body.reserve(std::min(static_cast<size_t>(declared), core.maximumBytes));
      }
    }
    core.body.append(data, length);
    core.lastProgress = std::chrono::steady_clock::now();
    return length;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto& core = *static_cast<TaskCore*>(user);
    const size_t length = size * count;
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.remove_suffix(1);
    core.lastProgress = std::chrono::steady_clock::now();
    if (line.starts_with("HTTP/")) {
      // A new status line: an interim (1xx) answer's fields are not the final answer's.
      core.responseHeaders.clear();
    } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      // Obsolete line folding: continues the previous field's value.
      if (!core.responseHeaders.empty()) {
        std::string& value = core.responseHeaders.back().second;
        value.push_back(' ');
        value.append(trimBlanks(line));
      }
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
      core.responseHeaders.emplace_back(std::string(line.substr(0, colon)),
                                        std::string(trimBlanks(line.substr(colon + 1))));
    }
    return length;
  }

  // libcurl silently sends a request again when a reused connection dies before any answer
  // byte arrived. The server may well have acted on the first copy, so a request that is not
  // idempotent (a payment POST) goes out at most once and fails as a lost connection instead.
  static int onSend(void* user, char*, char*, int, int) {
    auto& core = *static_cast<TaskCore*>(user);
    if (core.sends++ > 0 && !detail::isIdempotentMethod(core.request.httpMethod)) {
      core.resendRefused = true;
      return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
  }

  static int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t,
                        curl_off_t uploaded) {
    auto& core = *static_cast<TaskCore*>(user);
    if (downloaded != core.lastDown || uploaded != core.lastUp) {
      core.lastDown = downloaded;
      core.lastUp = uploaded;
      core.lastProgress = std::chrono::steady_clock::now();
    }
    return 0;
  }

  void collectFinished() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg == CURLMSG_DONE) {
        finishRunning(message->easy_handle, message->data.result, /*cancelled=*/false);
      }
    }
  }

  // Ends transfers that made no progress for their time-out (connection set-up included).
  void expireStalled() {
    if (running_.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    std::vector<CURL*> stalled;
    for (const auto& [easy, entry] : running_) {
      if (now - entry.core->lastProgress >= entry.core->timeout) stalled.push_back(easy);
    }
    for (CURL* easy : stalled)
      finishRunning(easy, CURLE_OPERATION_TIMEDOUT, false);
  }

  int pollTimeoutMs() const {
    constexpr int kIdleMs = 10000;
    if (running_.empty()) return kIdleMs;
    const auto now = std::chrono::steady_clock::now();
    auto nearest = now + std::chrono::milliseconds(kIdleMs);
    for (const auto& [easy, entry] : running_) {
      nearest = std::min(nearest, entry.core->lastProgress + entry.core->timeout);
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nearest - now).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, kIdleMs));
  }

  void finishRunning(CURL* easy, CURLcode result, bool cancelled) {
    auto node = running_.extract(easy);
    if (node.empty()) return;
    Running& entry = node.mapped();
    TaskCore& core = *entry.core;
    curl_multi_remove_handle(multi_, easy);

    std::optional<std::string> data;
    std::optional<HTTPURLResponse> response;
    ErrorPtr error;
    if (cancelled || core.state.load() == URLSessionDataTask::State::canceling) {
      error = urlError(kURLErrorCancelled, core.request.url);
    } else if (result == CURLE_OK) {
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      if (status > 0) {
        noteUse(core);
        response.emplace();
        response->url = core.request.url;
        response->statusCode = status;
        response->allHeaderFields = std::move(core.responseHeaders);
        data = std::move(core.body);
      } else {
        error = urlError(kURLErrorBadServerResponse, core.request.url);
      }
    } else {
      const char* message =
          core.errorBuffer[0] != '\0' ? core.errorBuffer : curl_easy_strerror(result);
      const std::int64_t code = core.resendRefused
                                    ? kURLErrorNetworkConnectionLost
                                    : detail::urlErrorCodeForCurl(result, core.bodyTooLarge);
      error = urlError(code, core.request.url,
                       JsonObject{{kCurlCodeKey, static_cast<int>(result)},
                                  {kCurlMessageKey, std::string(message)}});
    }
    // The completion goes first: making the handle ready for its next use is not the caller's
    // wait.
    complete(core, std::move(data), std::move(response), std::move(error));
    releaseHandles(core);
    // `node` goes out of scope here: the session lets go of the task after its completion ran.
  }

  void abortAll() {
    std::vector<CURL*> all;
    all.reserve(running_.size());
    for (const auto& [easy, entry] : running_)
      all.push_back(easy);
    for (CURL* easy : all)
      finishRunning(easy, CURLE_OK, /*cancelled=*/true);
  }

  CURL* takeEasy() {
    if (!spare_.empty()) {
      CURL* easy = spare_.back();
      spare_.pop_back();
      return easy;
    }
    CURL* easy = curl_easy_init();
    if (easy != nullptr) configureShared(easy);
    return easy;
  }

  void releaseHandles(TaskCore& core) {
    if (core.easy != nullptr) {
      if (spare_.size() < kSpareHandles) {
        curl_easy_reset(core.easy);
        configureShared(core.easy);
        spare_.push_back(core.easy);
      } else {
        curl_easy_cleanup(core.easy);
      }
      core.easy = nullptr;
    }
    core.headerLines.clear();
    core.headerText.clear();
    core.url.reset();
    core.body = std::string();
    core.responseHeaders.clear();
  }

  // Runs the completion exactly once, whoever gets here first.
  static void complete(TaskCore& core, std::optional<std::string> data,
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

  static constexpr std::size_t kSpareHandles = 16;
  static constexpr std::size_t kParsedUrls = 8;
  static constexpr std::size_t kRememberedOrigins = 32;
  static constexpr auto kWarmConnectionAge = std::chrono::milliseconds(500);

  std::mutex mutex_;
  std::vector<Poke> pokes_;     // guarded by mutex_
  std::vector<Poke> batch_;     // worker-only
  bool stopRequested_ = false;  // guarded by mutex_
  bool sleeping_ = false;       // guarded by mutex_; the worker is in curl_multi_poll
  // pokes_.size(), for looking without the lock while awaiting the next request.
  std::atomic<std::size_t> pokeCount_{0};
  std::thread worker_;  // started under mutex_, joined by stop()
  CURLM* multi_ = nullptr;
  CURLSH* share_ = nullptr;
  // worker-only
  std::unordered_map<CURL*, Running> running_;
  std::vector<CURL*> spare_;
  // Recently parsed URLs, most recent first; libcurl only reads them.
  std::vector<std::pair<std::string, std::shared_ptr<const ParsedUrl>>> parsedUrls_;
  // When a request to each origin last ended, for avoidIdleConnections().
  std::unordered_map<std::string, std::chrono::steady_clock::time_point> lastUse_;
};

std::atomic<std::uint64_t> nextTaskIdentifier{1};

}  // namespace

// ---------------------------------------------------------------------------------------------
// HTTPURLResponse, URLSessionDataTask

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(std::string_view name) const {
  for (const auto& [field, value] : allHeaderFields) {
    if (equalsIgnoringCase(field, name)) return value;
  }
  return std::nullopt;
}

URLSessionDataTask::URLSessionDataTask(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

URLSessionDataTask::~URLSessionDataTask() = default;

void URLSessionDataTask::resume() {
  auto expected = State::suspended;
  if (!impl_->core->state.compare_exchange_strong(expected, State::running)) return;
  std::shared_ptr<URLSessionDataTask> self = impl_->core->self.lock();
  if (!self) return;  // only possible while the last owner is destroying the task
  Engine::instance().poke(std::move(self), impl_->core);
}

void URLSessionDataTask::cancel() {
  auto& state = impl_->core->state;
  State current = state.load();
  while (current == State::suspended || current == State::running) {
    if (state.compare_exchange_weak(current, State::canceling)) {
      std::shared_ptr<URLSessionDataTask> self = impl_->core->self.lock();
      if (self) Engine::instance().poke(std::move(self), impl_->core);
      return;
    }
  }
}

URLSessionDataTask::State URLSessionDataTask::state() const {
  return impl_->core->state.load();
}

std::uint64_t URLSessionDataTask::taskIdentifier() const noexcept {
  return impl_->core->identifier;
}

// ---------------------------------------------------------------------------------------------
// URLSession

struct URLSession::Impl {
  std::mutex mutex;
  std::vector<std::string> addedPems;          // guarded by mutex
  std::shared_ptr<const TrustSettings> trust;  // guarded by mutex; null: rebuild
  std::uint64_t trustGeneration = 0;           // guarded by mutex
  std::atomic<std::size_t> maximumBytes{kDefaultMaximumResponseBytes};

  std::shared_ptr<const TrustSettings> currentTrust() {
    const std::uint64_t generation = detail::systemTrustGeneration();
    std::lock_guard lock(mutex);
    if (trust && trustGeneration == generation) return trust;
    const detail::SystemTrustLocations system = detail::systemTrustLocations();
    auto settings = std::make_shared<TrustSettings>();
    settings->caPath = system.caPath;
    if (addedPems.empty()) {
      settings->caFile = system.caFile;
    } else {
      if (system.caPath.empty() && !system.caFile.empty()) {
        if (auto bundle = readFile(system.caFile)) settings->bundle = std::move(*bundle);
      }
      for (const std::string& pem : addedPems) {
        if (!settings->bundle.empty() && settings->bundle.back() != '\n') {
          settings->bundle.push_back('\n');
        }
        settings->bundle.append(pem);
      }
    }
    trust = std::move(settings);
    trustGeneration = generation;
    return trust;
  }
};

URLSession::URLSession() : impl_(std::make_unique<Impl>()) {}

URLSession::~URLSession() = default;

std::shared_ptr<URLSession> URLSession::sharedSession() {
  // Never destroyed, like the worker it feeds: callers may still ask for it during exit.
  static const auto* const session = new std::shared_ptr<URLSession>(new URLSession);
  return *session;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(
    URLRequest request, URLSessionDataTask::Completion completion) {
  auto impl = std::make_unique<URLSessionDataTask::Impl>();
  detail::TaskCore& core = *impl->core;
  core.identifier = nextTaskIdentifier.fetch_add(1, std::memory_order_relaxed);
  core.timeout = timeoutFor(request.timeoutInterval);
  core.request = std::move(request);
  core.completion = std::move(completion);
  core.trust = impl_->currentTrust();
  core.maximumBytes = impl_->maximumBytes.load(std::memory_order_relaxed);
  std::shared_ptr<URLSessionDataTask> task(new URLSessionDataTask(std::move(impl)));
  task->impl_->core->self = task;
  return task;
}

void URLSession::addTrustedCertificatesPem(std::string pem) {
  if (!holdsCertificate(pem)) return;
  std::lock_guard lock(impl_->mutex);
  if (std::find(impl_->addedPems.begin(), impl_->addedPems.end(), pem) != impl_->addedPems.end()) {
    return;
  }
  impl_->addedPems.push_back(std::move(pem));
  impl_->trust.reset();
}

bool URLSession::addTrustedCertificatesFile(const std::filesystem::path& path) {
  std::optional<std::string> pem = readFile(path);
  if (!pem || !holdsCertificate(*pem)) return false;
  addTrustedCertificatesPem(std::move(*pem));
  return true;
}

void URLSession::resetTrustedCertificates() {
  std::lock_guard lock(impl_->mutex);
  impl_->addedPems.clear();
  impl_->trust.reset();
}

void URLSession::setMaximumResponseBytes(std::size_t bytes) {
  impl_->maximumBytes.store(bytes, std::memory_order_relaxed);
}

std::size_t URLSession::maximumResponseBytes() const {
  return impl_->maximumBytes.load(std::memory_order_relaxed);
}

}  // namespace korvani::platform
