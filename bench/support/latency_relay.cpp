#include "latency_relay.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <string>
#include <string_view>
#include <system_error>

namespace korvani::bench {

namespace {

using Clock = std::chrono::steady_clock;

// Chunks go out as soon as they are due: the delay is the relay's, not Nagle's.
void noDelay(int socket) {
  const int on = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int connectTo(int port) {
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) return -1;
  const sockaddr_in address = loopback(port);
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(socket);
    return -1;
  }
  noDelay(socket);
  return socket;
}

bool sendAll(int socket, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

// A TLS record header (content type 22, handshake; version 3.x; two length bytes) followed by
// handshake message type 1, ClientHello.
bool opensWithClientHello(std::string_view bytes) {
  return bytes.size() >= 6 && bytes[0] == 0x16 && bytes[1] == 0x03 && bytes[5] == 0x01;
}

timespec until(Clock::time_point due) {
  const auto left = std::max(due - Clock::now(), Clock::duration::zero());
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  return {static_cast<time_t>(seconds.count()),
          static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
}

}  // namespace

// One relayed connection: the accepted socket, the one to the target, a thread per direction.
// The sockets are closed only once both threads are joined, so no thread ever sees a number
// reused.
struct LatencyRelay::Link {
  int client = -1;
  int server = -1;
  Clock::time_point accepted;
  std::atomic<int> forwarding{2};
  std::thread towardsServer;
  std::thread towardsClient;

  ~Link() {
    if (towardsServer.joinable()) towardsServer.join();
    if (towardsClient.joinable()) towardsClient.join();
    close(client);
    close(server);
  }
};

LatencyRelay::LatencyRelay(int targetPort, std::chrono::microseconds roundTrip)
    : targetPort_(targetPort), roundTrip_(roundTrip) {
  const auto fail = [this](const char* what) {
    const std::error_code error(errno, std::generic_category());
    if (listener_ >= 0) close(listener_);
    if (stopEvent_ >= 0) close(stopEvent_);
    throw std::system_error(error, std::string("latency relay: ") + what);
  };
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) fail("socket");
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fail("bind");
  }
  if (listen(listener_, SOMAXCONN) != 0) fail("listen");
  if (getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fail("getsockname");
  }
  port_ = ntohs(address.sin_port);
  stopEvent_ = eventfd(0, EFD_CLOEXEC);
  if (stopEvent_ < 0) fail("eventfd");
  acceptor_ = std::thread([this] { acceptConnections(); });
}

LatencyRelay::~LatencyRelay() {
  stop();
}

LatencyRelay::Counts LatencyRelay::counts() const noexcept {
  return {connections_.load(std::memory_order_relaxed),
          tlsHandshakes_.load(std::memory_order_relaxed)};
}

void LatencyRelay::stop() {
  if (stopped_.exchange(true)) return;
  const std::uint64_t one = 1;
  while (write(stopEvent_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  acceptor_.join();
  // A thread blocked in send() to a peer that does not read is woken by the shutdown; both
  // peers see the connection end.
  for (const auto& link : links_) {
    shutdown(link->client, SHUT_RDWR);
    shutdown(link->server, SHUT_RDWR);
  }
  links_.clear();
  close(listener_);
  close(stopEvent_);
}

void LatencyRelay::acceptConnections() {
  for (;;) {
    pollfd waits[] = {{stopEvent_, POLLIN, 0}, {listener_, POLLIN, 0}};
    if (poll(waits, 2, -1) < 0 && errno != EINTR) return;
    if (waits[0].revents != 0) return;
    if (waits[1].revents == 0) continue;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const auto accepted = Clock::now();
    connections_.fetch_add(1, std::memory_order_relaxed);
    noDelay(client);
    const int server = connectTo(targetPort_);
    if (server < 0) {
      close(client);
      continue;
    }
    // Connections that ended are let go here, so that a long run does not gather threads.
    links_.remove_if([](const auto& link) { return link->forwarding.load() == 0; });
    auto& link = *links_.emplace_back(std::make_unique<Link>());
    link.client = client;
    link.server = server;
    link.accepted = accepted;
    link.towardsServer = std::thread([this, &link] { forward(link, true); });
    link.towardsClient = std::thread([this, &link] { forward(link, false); });
  }
}

void LatencyRelay::forward(Link& link, bool towardsServer) {
  const int from = towardsServer ? link.client : link.server;
  const int to = towardsServer ? link.server : link.client;
  const auto halfTrip = roundTrip_ / 2;
  // The client's first bytes wait for the handshake a real network would have made first.
  const auto connected = towardsServer ? link.accepted + roundTrip_ : Clock::time_point{};
  struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the sender closed, which is passed on in turn
  };
  std::deque<Chunk> inFlight;
  bool reading = true;
  bool opening = towardsServer;  // still looking at the first bytes for a ClientHello
  std::string firstBytes;
  char buffer[64 * 1024];
  for (;;) {
    while (!inFlight.empty() && inFlight.front().due <= Clock::now()) {
      const std::string& bytes = inFlight.front().bytes;
      if (bytes.empty()) {
        shutdown(to, SHUT_WR);
      } else if (!sendAll(to, bytes)) {
        // The receiver is gone: so is the connection, for both directions.
        shutdown(from, SHUT_RDWR);
        shutdown(to, SHUT_RDWR);
        inFlight.clear();
        reading = false;
        break;
      }
      inFlight.pop_front();
    }
    if (!reading && inFlight.empty()) break;
    // Sleeps until bytes arrive, the oldest chunk is due, or the relay stops.
    pollfd waits[] = {{stopEvent_, POLLIN, 0}, {reading ? from : -1, POLLIN, 0}};
    const timespec timeout = inFlight.empty() ? timespec{} : until(inFlight.front().due);
    if (ppoll(waits, 2, inFlight.empty() ? nullptr : &timeout, nullptr) < 0 && errno != EINTR) {
      break;
    }
    if (waits[0].revents != 0) break;
    if (waits[1].revents == 0) continue;
    const ssize_t received = recv(from, buffer, sizeof buffer, 0);
    if (received < 0 && errno == EINTR) continue;
    const auto now = Clock::now();
    // An error ends this direction like an orderly close.
    const std::string_view bytes(buffer, received > 0 ? static_cast<std::size_t>(received) : 0);
    if (bytes.empty()) reading = false;
    if (opening) {
      firstBytes.append(bytes);
      if (firstBytes.size() >= 6 || bytes.empty()) {
        opening = false;
        if (opensWithClientHello(firstBytes)) {
          tlsHandshakes_.fetch_add(1, std::memory_order_relaxed);
        }
      }
    }
    inFlight.push_back({std::max(now, connected) + halfTrip, std::string(bytes)});
  }
  link.forwarding.fetch_sub(1);
}

}  // namespace korvani::bench
