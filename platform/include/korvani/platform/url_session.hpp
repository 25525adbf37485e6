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

namespace korvani::platform {

class URLSession;
// The request and the answer's HTTP part; code that makes data tasks includes
// korvani/platform/url_request.hpp. A host that only sets the session up needs neither.
struct URLRequest;
struct HTTPURLResponse;

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
  // only the error (kURLErrorDomain; userInfo holds kFailingURLKey, and the transport's own code
  // and message when it failed). Runs on the network thread: keep it short, hand work elsewhere.
  // An exception it throws is swallowed, so the network thread survives.
  using Completion = std::function<void(std::optional<std::string> data,
                                        std::optional<HTTPURLResponse> response, ErrorPtr error)>;

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
  // How many times the request went out on a connection: 0 when it was refused, cancelled or
  // failed before it was sent; 1 normally; more when the session sent it again after a lost
  // connection (see URLSession). Final once the completion has started. Any thread.
  std::uint32_t sendCount() const noexcept;

 private:
  // Made by URLSession::dataTask only, together with what the network thread shares about it.
  friend class URLSession;
  struct Impl;
  struct Block;
  explicit URLSessionDataTask(Impl& impl) noexcept : impl_(&impl) {}
  Impl* impl_;  // made and freed together with the task
};

// Process-wide HTTPS client: every transfer is driven by one network thread, which sleeps
// whenever nothing is in flight. Started with the session, so that the first request
// finds it ready; stopped by shutdown() or at process exit. TLS peer and host verification is
// always on and cannot be switched off; HTTP/2 is used when the server offers it. Redirects are
// not followed. Nothing is taken from the environment: no proxy unless setProxy() names one, no
// TLS key log whatever SSLKEYLOGFILE says.
//
// Every answer is bounded: its body by maximumResponseBytes(), its header and trailer fields
// (interim 1xx answers included) by 64 KiB in all; beyond either the request fails with
// kURLErrorDataLengthExceedsMaximum. An HTTP/1 answer with neither a length nor chunked
// framing, which only the connection's close ends, is an answer like any other, classified by
// its status (a TLS close_notify cannot be told from a cut connection there, so its body may be
// truncated; a JSON body cut short never parses).
//
// Deadlines: a request fails with kURLErrorTimedOut after its timeoutInterval without progress,
// or once all its sends together have taken the longer of requestDeadline() and timeoutInterval
// plus 6 seconds, whichever comes first.
//
// Connections are kept open and reused while the server allows: a pooled connection is checked
// for a close before it is reused, and a connection idle for longer than the server's
// "Keep-Alive: timeout=N" hint (less a second) is not reused.
//
// Re-sending: a request that carries a non-empty idempotency key ("X-Idempotency-Key" or
// "Idempotency-Key") and whose connection was lost before its answer was complete (fresh, warmed
// or reused; before or after the request was written) is sent again with identical bytes on a
// new connection, after a pause of 50-100 ms, then 100-200 ms (none when a kept connection was
// found closed before any answer byte and the new one is open already): three sends
// at most, all within the deadline above. The server answers a copy with the outcome of the
// first, so the completion gets the payment rather than kURLErrorNetworkConnectionLost. An
// answer (any status), a time-out and a cancel are never re-sent, and a request without a key is
// sent at most once. The caller sees one task and one completion; sendCount() tells how often it
// went out. Off with setResendEnabled(false).
class KORVANI_EXPORT URLSession {
 public:
  // The one session of the process (never null; lives until the process ends). Any thread.
  static std::shared_ptr<URLSession> sharedSession();

  // Creates a suspended task for `request` (include korvani/platform/url_request.hpp); the
  // caller owns it until resume(), after which the session holds it until its completion has
  // run. Settings are taken now. Any thread.
  std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request,
                                               URLSessionDataTask::Completion completion);

  // Opens and handshakes a connection to the origin of `url` in the background, so that the
  // first request finds it ready: done only when warm-up is enabled and no connection to the
  // origin was left open recently enough to be reused. A request to the origin made while it is
  // connecting waits for it up to a second. Sends no request bytes and runs no callback; a
  // failure (no network, refused, untrusted certificate, a URL the session would refuse) is
  // silent and changes no request's outcome. Any thread.
  void warmUp(const std::string& url);
  // Warm-up is on by default; off, warmUp() does nothing. It also does nothing when the HTTP
  // library underneath is a version on which the tests have not proven that a warm-up sends no
  // request.
  // Thread-safe.
  void setWarmUpEnabled(bool enabled);
  bool warmUpEnabled() const;

  // Re-sending (see above) is on by default. Turn it off when the server behind the base URL does
  // not honour idempotency keys (a copy would then be a second payment), or when the host retries
  // lost requests under the same key itself. Off, every request is sent at most once and a lost
  // connection completes with kURLErrorNetworkConnectionLost. Applies to tasks created
  // afterwards. Thread-safe.
  void setResendEnabled(bool enabled);
  bool resendEnabled() const;

  // Stops the network thread: tasks queued or in flight complete with kURLErrorCancelled (on that
  // thread) and open connections are closed. Waits up to `timeout` for it; returns whether it
  // had stopped by then (always false when called from a completion, which runs on that very
  // thread). The next resume() or warmUp() starts the session afresh. A host that never calls it
  // gets the same at process exit (an std::atexit handler waiting at most a second). Any thread.
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

  // Longest a request may take, all its sends together, from the moment the network thread
  // starts it to its answer's last byte, however steadily a server trickles; past it the request
  // fails with kURLErrorTimedOut. A request whose timeoutInterval plus 6 seconds is longer gets
  // that instead, so that the host's time-out is honoured.
  void setRequestDeadline(std::chrono::milliseconds deadline);
  std::chrono::milliseconds requestDeadline() const;
  // A payment's 72-second stall time-out plus the 6-second margin: a host that waits 90 seconds
  // for the outcome of a payment with the default time-out always gets it.
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
