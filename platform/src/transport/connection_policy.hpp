#pragma once

// Which connection a request goes out on, when a request may be sent twice, and when a
// connection is opened ahead of the first request: every such rule of the session, in one place.

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>

#include "korvani/platform/url_session.hpp"

namespace korvani::platform::transport {

using Clock = std::chrono::steady_clock;

namespace policy {
// Reuse bound for servers that send no Keep-Alive hint: libcurl's own default. A connection the
// server closed meanwhile is noticed by libcurl before reuse; one closed just as the request
// goes out is covered by the re-send below.
inline constexpr std::chrono::seconds kDefaultMaxIdle{118};
// Taken off a server's Keep-Alive timeout, so that the request reaches the server before its
// idle timer fires (covers a slow path's one-way delay; libcurl counts idle time in whole
// seconds).
inline constexpr std::chrono::seconds kKeepAliveMargin{1};
// Sends of one request at most: the first, and one more on a new connection when a reused
// connection died before any answer byte (only for requests that may be sent twice).
inline constexpr int kMaxSends = 2;
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

// Whether a request that died on a reused connection before any answer byte may be sent once
// more: when sending it twice has the effect of sending it once, because its method is
// idempotent or because it carries an idempotency key (the server answers the copy with the
// outcome of the first). Anything else is sent at most once.
bool mayResend(const URLRequest& request) noexcept;

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
