#pragma once

// Which connection a request goes out on, when a request is sent again, and when a connection
// is opened ahead of the first request: every such rule of the session, in one place.

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

#include "korvani/platform/url_request.hpp"

namespace korvani::platform::transport {

using Clock = std::chrono::steady_clock;

namespace policy {
// Reuse bound for servers that send no Keep-Alive hint: libcurl's own default. A connection the
// server closed meanwhile is noticed by libcurl before reuse; one closed just as the request
// goes out is covered by the re-send rule below.
inline constexpr std::chrono::seconds kDefaultMaxIdle{118};
// Taken off a server's Keep-Alive timeout, so that the request reaches the server before its
// idle timer fires (covers a slow path's one-way delay; libcurl counts idle time in whole
// seconds).
inline constexpr std::chrono::seconds kKeepAliveMargin{1};
// The re-send rule. A request that carries a non-empty idempotency key, and whose connection was
// lost before its answer was complete, is sent again with identical bytes on a new connection:
// the platform answers the copy with the outcome of the first (the payment it created, if any),
// so the host hears the payment instead of a false "no payment" that would make the payer pay
// again under a new key. Fresh, warmed or reused, before or after the request was written: a
// lost connection tells nothing of what the server did, so all are the same case. An answer
// (any status), a stall past the request's time-out and a cancel are outcomes, never re-sent.
// A request without a key is sent at most once: the session cannot know whether its second copy
// is harmless (even a GET may charge on a server that does not follow HTTP's rules).
//
// Sends of one request at most: the first and two copies. A connection lost twice in a row on
// a path that worked a moment ago is rare; a third loss means the path or server is down, and
// the host should hear so while the payer still waits.
inline constexpr int kMaxSends = 3;
// Pause before the first copy; each further copy waits twice as long. A server that cut its
// connections (restart, load balancer draining) is usually ready again within a few hundred
// milliseconds, and a payer waits for the copy: 100 ms then 200 ms add little to a payment.
// One copy goes without a pause: when a kept connection turns out dead before any answer byte,
// libcurl has already opened a new connection for the copy, and the server had merely closed an
// idle connection; that copy counts against kMaxSends like any other.
inline constexpr std::chrono::milliseconds kFirstResendDelay{100};
// Each pause is taken at random between half and all of its length, so that the copies of
// many clients cut off together do not return in step.
inline constexpr double kResendJitter = 0.5;
// Added to a request's stall time-out to make the least whole-exchange deadline: a request that
// stalls fails by its time-out (kURLErrorTimedOut at timeoutInterval), not by the deadline a few
// seconds earlier. The default session deadline, 78 s, is a payment's 72 s plus this.
inline constexpr std::chrono::seconds kDeadlineMargin{6};
// How long a request waits for a warm-up to its origin that is still connecting before it opens
// a connection of its own: a TCP and TLS handshake on a slow mobile path takes a few hundred ms.
inline constexpr std::chrono::milliseconds kWarmUpWait{1000};
// Connect and handshake time allowed to a warm-up; it fails silently afterwards.
inline constexpr std::chrono::seconds kWarmUpTimeout{30};
// Status lines, header and trailer fields of one answer, interim answers included: a payment
// answer's are well under 2 KiB, and common servers refuse requests whose fields pass 8-32 KiB,
// so 64 KiB leaves room for any honest answer and bounds a hostile one.
inline constexpr std::size_t kMaximumHeaderBytes = 64 * 1024;
// Origins remembered; a host talks to one or two.
inline constexpr std::size_t kRememberedOrigins = 32;
}  // namespace policy

// Whether `request` may go out more than once under the re-send rule: re-sending is on and the
// request carries a non-empty idempotency key.
bool mayResend(const URLRequest& request, bool resendEnabled) noexcept;

// Whether libcurl's `result` for a transfer means that its connection was lost before the
// answer was complete (sent nothing back, or cut it short), as opposed to an answer, a stall,
// a refusal or a failure to connect at all.
bool lostBeforeAnswer(CURLcode result) noexcept;

// When the next copy of a request that went out `sends` times may go, given its deadline;
// nullopt when no copy is due (kMaxSends reached, or the pause would end past the deadline).
// `random` in [0, 1) picks the pause within its jitter.
std::optional<Clock::time_point> nextSendAt(int sends, Clock::time_point now,
                                            Clock::time_point deadline, double random) noexcept;

// The whole-exchange deadline of a request: the session's request deadline, but never shorter
// than the request's stall time-out plus kDeadlineMargin. It bounds all sends together.
std::chrono::milliseconds exchangeDeadline(std::chrono::milliseconds sessionDeadline,
                                           std::chrono::milliseconds stallTimeout) noexcept;

// The timeout of a "Keep-Alive: timeout=N, ..." field among `fields`, if any.
std::optional<std::chrono::seconds> keepAliveTimeout(const HeaderList& fields);

// What the network thread knows of the origins (scheme://host:port) it talked to. Network
// thread only.
class ConnectionPolicy {
 public:
  // CURLOPT_MAXAGE_CONN for a request to `origin`: the longest a kept-alive connection may have
  // idled (libcurl counts whole seconds and reuses while idle <= this) to be reused.
  long maxIdleSeconds(const std::string& origin) const;
  // Whether a warm-up to `origin` is worth starting: none is connecting and no connection to it
  // was left open recently enough to be reused.
  bool shouldWarmUp(const std::string& origin, Clock::time_point now) const;
  // Whether a warm-up to `origin` is connecting (requests to it wait for it a little).
  bool warming(const std::string& origin) const;

  void noteWarmUpStarted(const std::string& origin);
  // `open`: the warm-up left a handshaken connection in the pool.
  void noteWarmUpEnded(const std::string& origin, bool open, Clock::time_point now);
  // An answer arrived from `origin` with these header fields; its connection stays open unless
  // the server said "Connection: close".
  void noteAnswer(const std::string& origin, const HeaderList& fields, Clock::time_point now);

 private:
  struct Origin {
    std::optional<std::chrono::seconds> keepAlive;  // the server's latest hint
    std::optional<Clock::time_point> lastOpen;      // a connection was left open then
    bool warming = false;
  };
  // How long after `lastOpen` a connection to the origin counts as reusable.
  static std::chrono::seconds reuseWindow(const Origin& origin);
  Origin& entry(const std::string& origin);

  std::unordered_map<std::string, Origin> origins_;
};

}  // namespace korvani::platform::transport
