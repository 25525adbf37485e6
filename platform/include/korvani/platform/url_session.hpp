#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvani/export.hpp"
#include "korvani/platform/error.hpp"
#include "korvani/platform/header_list.hpp"

namespace korvani::platform {

// One HTTP request as the session sends it (a plain value, copied into the task). Header fields
// are sent exactly as given, in order (an empty value is sent as an empty value); libcurl adds
// only Host and Content-Length. A name or value holding CR, LF or NUL, or an empty name or one
// holding ':' or white space, is refused: the task completes with kURLErrorRequestHeaderInvalid
// and nothing is sent. Redirects are not followed.
struct URLRequest {
  // https only: another scheme fails with kURLErrorAppTransportSecurityRequiresSecureConnection,
  // unparseable text or user information ("user:password@") with kURLErrorBadURL; nothing is
  // sent then.
  std::string url;
  std::string httpMethod = "GET";  // sent as given; HEAD asks for no body; not a token: -1000
  HeaderList allHTTPHeaderFields;
  std::optional<std::string> httpBody;  // bytes, sent whatever the method; absent: no body
  double timeoutInterval = 60.0;        // seconds without progress (set-up included) before
                                        // kURLErrorTimedOut; 0, negative or not finite: 60. The
                                        // session's request deadline bounds the whole exchange.
};

// The HTTP part of an answer (a plain value).
struct KORVANI_EXPORT HTTPURLResponse {
  std::string url;             // the request's URL (redirects are not followed)
  long statusCode = 0;         // the final status (interim 1xx answers are skipped)
  HeaderList allHeaderFields;  // in arrival order, names as the server wrote them
  // First value of the named field, name compared without regard to letter case; nullopt when
  // the answer has no such field. Any thread.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
};

class URLSession;

// A data task: created suspended by URLSession::dataTask, started by resume(). Its completion
// runs exactly once per resumed or cancelled task, on the session's network thread (once the
// process has begun to exit: at once, on the calling thread, with kURLErrorCancelled). A task
// neither resumed nor cancelled never completes. The session holds a resumed task until its
// completion has run; whoever else wants it holds a weak reference.
class KORVANI_EXPORT URLSessionDataTask {
 public:
  // Life of a task: suspended until resume(), canceling between cancel() and the completion,
  // completed once the completion has started.
  enum class State { suspended, running, canceling, completed };
  // On success: data (the body, empty when there is none) and response, no error. On failure:
  // only the error (kURLErrorDomain; userInfo holds kCurlCodeKey/kCurlMessageKey when libcurl
  // failed, and kFailingURLKey). Runs on the network thread: keep it short, hand work elsewhere.
  // An exception it throws is swallowed, so the network thread survives.
  using Completion = std::function<void(std::optional<std::string> data,
                                        std::optional<HTTPURLResponse> response, ErrorPtr error)>;

  struct Impl;
  // Made by URLSession::dataTask only (the key is the session's).
  class Passkey {
    friend class URLSession;
    explicit Passkey() = default;
  };
  URLSessionDataTask(Passkey, Impl& impl) noexcept : impl_(&impl) {}
  // Not copyable: one task, one completion; shared by std::shared_ptr.
  URLSessionDataTask(const URLSessionDataTask&) = delete;
  URLSessionDataTask& operator=(const URLSessionDataTask&) = delete;
  ~URLSessionDataTask();

  // Starts a suspended task; no effect otherwise. Runs the completion inline only once the
  // process has begun to exit. Any thread.
  void resume();
  // Cancels: the completion runs (on the network thread, soon) with kURLErrorCancelled (-999)
  // unless it has already started. A cancelled suspended task completes too. No effect once
  // completed or cancelled. Any thread.
  void cancel();
  // The current state; any thread.
  State state() const;
  // Unique within the process, from 1 upwards; any thread.
  std::uint64_t taskIdentifier() const noexcept;

 private:
  Impl* impl_;  // made and freed together with the task
};

// Process-wide HTTPS client: one libcurl multi handle driven by one network thread, which
// sleeps whenever nothing is in flight. Started with the session, so that the first request
// finds it ready; stopped by shutdown() or at process exit. TLS peer and host verification is
// always on and cannot be switched off; HTTP/2 is used when the server offers it. Redirects are
// not followed. Nothing is taken from the environment: no proxy unless setProxy() names one, no
// TLS key log whatever SSLKEYLOGFILE says.
//
// Every answer is bounded: its body by maximumResponseBytes(), its header and trailer fields
// (interim 1xx answers included) by 64 KiB in all (kURLErrorDataLengthExceedsMaximum beyond),
// its duration by requestDeadline() (kURLErrorTimedOut), besides the request's own time-out for
// a stall. An HTTP/1 answer with neither a length nor chunked framing, which only the
// connection's close ends, is refused with kURLErrorNetworkConnectionLost: this libcurl cannot
// tell a TLS close_notify from a cut connection, so such an answer may be truncated.
//
// Connections are kept open and reused while the server allows: libcurl checks a pooled
// connection for a close before reusing it, and a connection idle for longer than the server's
// "Keep-Alive: timeout=N" hint (less a second) is not reused.
//
// A request that dies on a reused connection before any byte of the answer (the server closed it
// as the request arrived) is sent once more, with identical bytes, on a new connection, provided
// sending it twice has the effect of sending it once: its method is idempotent (GET, HEAD,
// OPTIONS, TRACE, PUT, DELETE) or it carries an idempotency key ("X-Idempotency-Key" or
// "Idempotency-Key"). Any other request is sent at most once and fails with
// kURLErrorNetworkConnectionLost instead.
class KORVANI_EXPORT URLSession {
 public:
  // The one session of the process (never null; lives until the process ends). Any thread.
  static std::shared_ptr<URLSession> sharedSession();

  // Creates a suspended task for `request`; the caller owns it until resume(), after which the
  // session holds it until its completion has run. Settings are taken now. Any thread.
  std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request,
                                               URLSessionDataTask::Completion completion);

  // Opens and handshakes a connection to the origin of `url` in the background, so that the
  // first request finds it ready: done only when warm-up is enabled and no connection to the
  // origin was left open recently enough to be reused. A request to the origin made while it is
  // connecting waits for it up to a second. Sends no request bytes and runs no callback; a
  // failure (no network, refused, untrusted certificate, a URL the session would refuse) is
  // silent and changes no request's outcome. Any thread.
  void warmUp(const std::string& url);
  // Warm-up is on by default; off, warmUp() does nothing. Thread-safe.
  void setWarmUpEnabled(bool enabled);
  bool warmUpEnabled() const;

  // Stops the network thread: tasks queued or in flight complete with kURLErrorCancelled (on that
  // thread) and open connections are closed. Waits up to `timeout` for it; returns whether it
  // had stopped by then (always false when called from a completion, which runs on that very
  // thread). The next resume() or warmUp() starts the session afresh. A host that never calls it
  // gets the same at process exit (an std::atexit handler waiting at most a second), before
  // libcurl's own exit clean-up. Any thread.
  bool shutdown(std::chrono::milliseconds timeout);

  // Host-level settings; they apply to tasks created afterwards. Thread-safe.
  // Adds trusted CA certificates (PEM text, one or more) beside the system store; text without
  // a certificate is ignored, the same text twice counts once.
  void addTrustedCertificatesPem(std::string pem);
  // Same, read from a PEM file now; returns false when it cannot be read.
  bool addTrustedCertificatesFile(const std::filesystem::path& path);
  // Forgets the added certificates (the system store stays).
  void resetTrustedCertificates();
  // Largest answer body accepted; a larger one aborts with kURLErrorDataLengthExceedsMaximum
  // as soon as it shows (never buffered beyond the limit).
  void setMaximumResponseBytes(std::size_t bytes);
  // The current limit; any thread.
  std::size_t maximumResponseBytes() const;
  // A payment answer is a few KiB: 1 MiB leaves two hundred times that, and parsing the largest
  // accepted answer on the host's main thread then takes about 8 MiB and 30 ms.
  static constexpr std::size_t kDefaultMaximumResponseBytes = std::size_t{1} << 20;

  // Longest a request may take from the moment the network thread starts it to its answer's last
  // byte, however steadily a server trickles; past it the request fails with kURLErrorTimedOut.
  void setRequestDeadline(std::chrono::milliseconds deadline);
  std::chrono::milliseconds requestDeadline() const;
  // A payment's 72-second stall time-out plus a margin: a host that waits 90 seconds for an
  // outcome always gets it.
  static constexpr std::chrono::milliseconds kDefaultRequestDeadline{78'000};

  // The proxy every request goes through ("http://host:port", "socks5h://host:port", ...);
  // nullopt, the default, for none. The environment (https_proxy, ALL_PROXY, NO_PROXY, ...) is
  // never consulted.
  void setProxy(std::optional<std::string> proxy);
  std::optional<std::string> proxy() const;

  // Not copyable: there is one session, reached through sharedSession().
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;
  ~URLSession();

 private:
  friend class URLSessionDataTask;
  struct Impl;
  URLSession();
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvani::platform
