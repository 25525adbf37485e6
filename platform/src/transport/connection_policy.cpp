#include "transport/connection_policy.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>

#include "transport/request_checks.hpp"

namespace korvani::platform::transport {
namespace {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

bool mentionsClose(std::string_view connection) {
  while (!connection.empty()) {
    const auto comma = connection.find(',');
    if (HeaderList::sameName(trimmed(connection.substr(0, comma)), "close")) return true;
    if (comma == std::string_view::npos) break;
    connection.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

bool mayResend(const URLRequest& request, bool resendEnabled) noexcept {
  return resendEnabled && carriesIdempotencyKey(request.allHTTPHeaderFields);
}

bool lostBeforeAnswer(CURLcode result) noexcept {
  switch (result) {
    case CURLE_SEND_ERROR:    // the connection failed while the request was written
    case CURLE_RECV_ERROR:    // ... or while the answer was awaited or read
    case CURLE_GOT_NOTHING:   // closed without a byte of answer
    case CURLE_PARTIAL_FILE:  // closed before the announced length or the last chunk
    case CURLE_HTTP2:         // the HTTP/2 connection failed (GOAWAY, framing)
    case CURLE_HTTP2_STREAM:  // the stream was reset before its answer ended
      return true;
    default:
      return false;
  }
}

std::optional<Clock::time_point> nextSendAt(int sends, Clock::time_point now,
                                            Clock::time_point deadline, double random) noexcept {
  if (sends < 1 || sends >= policy::kMaxSends) return std::nullopt;
  const auto full = policy::kFirstResendDelay * (1 << (sends - 1));
  const double share = 1.0 - policy::kResendJitter * std::clamp(random, 0.0, 1.0);
  const auto pause = std::chrono::duration_cast<Clock::duration>(full * share);
  if (now + pause >= deadline) return std::nullopt;
  return now + pause;
}

std::chrono::milliseconds exchangeDeadline(std::chrono::milliseconds sessionDeadline,
                                           std::chrono::milliseconds stallTimeout) noexcept {
  return std::max(sessionDeadline, stallTimeout + policy::kDeadlineMargin);
}

std::optional<std::chrono::seconds> keepAliveTimeout(const HeaderList& fields) {
  for (const auto& [name, value] : fields) {
    if (!HeaderList::sameName(name, "Keep-Alive")) continue;
    std::string_view rest = value;
    while (!rest.empty()) {
      const auto comma = rest.find(',');
      const std::string_view parameter = trimmed(rest.substr(0, comma));
      const auto equals = parameter.find('=');
      if (equals != std::string_view::npos &&
          HeaderList::sameName(trimmed(parameter.substr(0, equals)), "timeout")) {
        const std::string_view digits = trimmed(parameter.substr(equals + 1));
        long long seconds = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
        if (error == std::errc() && end == digits.data() + digits.size() && seconds >= 0) {
          return std::chrono::seconds(
              std::min<long long>(seconds, policy::kDefaultMaxIdle.count()));
        }
        return std::nullopt;
      }
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return std::nullopt;
}

std::chrono::seconds ConnectionPolicy::reuseWindow(const Origin& origin) {
  if (!origin.keepAlive) return policy::kDefaultMaxIdle;
  return std::max(*origin.keepAlive - policy::kKeepAliveMargin, std::chrono::seconds(0));
}

long ConnectionPolicy::maxIdleSeconds(const std::string& origin) const {
  const auto found = origins_.find(origin);
  const std::chrono::seconds window =
      found == origins_.end() ? policy::kDefaultMaxIdle : reuseWindow(found->second);
  // libcurl reuses a connection while its whole idle seconds do not exceed the value, so idle
  // time stays below the window with one less (and never below zero: a one-second hint still
  // allows reuse within that second; the re-send covers the race).
  return std::max<long>(static_cast<long>(window.count()) - 1, 0);
}

bool ConnectionPolicy::shouldWarmUp(const std::string& origin, Clock::time_point now) const {
  const auto found = origins_.find(origin);
  if (found == origins_.end()) return true;
  const Origin& state = found->second;
  if (state.warming) return false;
  return !state.lastOpen || now - *state.lastOpen >= reuseWindow(state);
}

bool ConnectionPolicy::warming(const std::string& origin) const {
  const auto found = origins_.find(origin);
  return found != origins_.end() && found->second.warming;
}

void ConnectionPolicy::noteWarmUpStarted(const std::string& origin) {
  entry(origin).warming = true;
}

void ConnectionPolicy::noteWarmUpEnded(const std::string& origin, bool open,
                                       Clock::time_point now) {
  Origin& state = entry(origin);
  state.warming = false;
  if (open) state.lastOpen = now;
}

void ConnectionPolicy::noteAnswer(const std::string& origin, const HeaderList& fields,
                                  Clock::time_point now) {
  Origin& state = entry(origin);
  if (const auto hint = keepAliveTimeout(fields)) state.keepAlive = hint;
  const bool closing = std::any_of(fields.begin(), fields.end(), [](const auto& field) {
    return HeaderList::sameName(field.first, "Connection") && mentionsClose(field.second);
  });
  if (closing) {
    state.lastOpen.reset();
  } else {
    state.lastOpen = now;
  }
}

ConnectionPolicy::Origin& ConnectionPolicy::entry(const std::string& origin) {
  if (origins_.size() >= policy::kRememberedOrigins && !origins_.contains(origin)) {
    std::erase_if(origins_, [](const auto& item) { return !item.second.warming; });
  }
  return origins_[origin];
}

}  // namespace korvani::platform::transport
