#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <thread>

namespace korvani::bench {

// A real network's latency between a client and a server on this machine: a TCP forwarder on
// 127.0.0.1 that connects each accepted connection to a target port and passes the bytes on in
// both directions, each chunk half a round trip after it was read. It is a delay line: reading
// goes on while earlier chunks wait, so latency is added but throughput is not cut to a chunk
// per round trip. Loopback completes a TCP handshake at once, where a real network takes a
// round trip; so a connection's first bytes towards the server leave one round trip after the
// connection was accepted at the earliest.
class LatencyRelay {
 public:
  struct Counts {
    std::uint64_t connections = 0;    // accepted
    std::uint64_t tlsHandshakes = 0;  // connections whose first record was a ClientHello
  };

  // Listens on an ephemeral loopback port and forwards to 127.0.0.1:targetPort. Throws
  // std::system_error when it cannot listen.
  LatencyRelay(int targetPort, std::chrono::microseconds roundTrip);
  ~LatencyRelay();  // stop()
  LatencyRelay(const LatencyRelay&) = delete;
  LatencyRelay& operator=(const LatencyRelay&) = delete;

  int port() const noexcept { return port_; }
  // Any thread.
  Counts counts() const noexcept;
  // Stops accepting, drops the bytes still in flight, closes every connection at both ends and
  // joins every thread. Idempotent; from one thread at a time.
  void stop();

 private:
  struct Link;
  void acceptConnections();
  void forward(Link& link, bool towardsServer);

  const int targetPort_;
  const std::chrono::microseconds roundTrip_;
  int listener_ = -1;
  int stopEvent_ = -1;  // an eventfd: readable from stop() on, which wakes every waiting thread
  int port_ = 0;
  std::atomic<std::uint64_t> connections_{0};
  std::atomic<std::uint64_t> tlsHandshakes_{0};
  std::atomic<bool> stopped_{false};
  std::list<std::unique_ptr<Link>> links_;  // the accepting thread's, then stop()'s
  std::thread acceptor_;
};

}  // namespace korvani::bench
