// The latency relay stands for the network in the network benchmark: its delays and counts are
// what the benchmark's figures are made of.

#include "latency_relay.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/test_server.hpp"

namespace korvani::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A socket that closes itself; reads time out instead of hanging a failing test.
struct Socket {
  int fd = -1;
  explicit Socket(int descriptor) : fd(descriptor) {
    const timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  Socket(const Socket&) = delete;
  ~Socket() { close(fd); }
  void send(const std::string& bytes) const {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  }
  // Reads what is there (waiting for it); empty at the end or on a time-out.
  std::string receive() const {
    char buffer[256];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }
};

// A connection to 127.0.0.1 at `port`; -1 when nothing listens there.
int connectTo(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(LatencyRelay, DelaysEveryChunkByHalfARoundTripEachWayWithoutHoldingBackTheNext) {
  constexpr auto kRoundTrip = 300ms;
  constexpr auto kHalf = kRoundTrip / 2;
  // Tight below, a delay must never be short; generous above, since a loaded machine under
  // sanitizers was seen 80 ms late, yet short of what a doubled delay would add.
  constexpr auto kLate = kHalf - 10ms;
  const test_support::LoopbackListener target;
  LatencyRelay relay(target.port(), kRoundTrip);
  const auto connected = Clock::now();
  Socket client(connectTo(relay.port()));
  Socket server(target.acceptOne());

  // The first bytes towards the server also pay for the handshake loopback did not make.
  client.send("hello");
  EXPECT_EQ(server.receive(), "hello");
  const auto first = Clock::now() - connected;
  EXPECT_GE(first, kRoundTrip + kHalf);
  EXPECT_LT(first, kRoundTrip + kHalf + kLate);

  const auto answered = Clock::now();
  server.send("answer");
  EXPECT_EQ(client.receive(), "answer");
  EXPECT_GE(Clock::now() - answered, kHalf);
  EXPECT_LT(Clock::now() - answered, kHalf + kLate);

  // Chunks sent a tenth of the delay apart each arrive one delay after they left: reading goes
  // on while earlier chunks wait.
  constexpr int kChunks = 8;
  std::vector<Clock::time_point> sent;
  for (int i = 0; i < kChunks; ++i) {
    sent.push_back(Clock::now());
    client.send(std::string(1, char('a' + i)));
    std::this_thread::sleep_for(kHalf / 10);
  }
  std::string arrived;
  Clock::time_point last;
  while (arrived.size() < kChunks) {
    const std::string bytes = server.receive();
    ASSERT_FALSE(bytes.empty());
    last = Clock::now();
    for (const char byte : bytes) {
      const auto delay = last - sent.at(arrived.size());
      EXPECT_GE(delay, kHalf) << "chunk " << byte;
      EXPECT_LT(delay, kHalf + kLate) << "chunk " << byte;
      arrived += byte;
    }
  }
  EXPECT_EQ(arrived, "abcdefgh");
  // Held back one after another, the last chunk would come eight delays after the first left.
  EXPECT_LT(last - sent.front(), 3 * kHalf);
}

// Sends `bytes`, closes the sending side and waits until the server has closed the connection,
// by which time the relay has read everything.
void sendAndAwaitClose(int relayPort, const std::string& bytes) {
  Socket socket(connectTo(relayPort));
  socket.send(bytes.substr(0, 3));
  std::this_thread::sleep_for(20ms);  // separate chunks: the record header arrives in parts
  socket.send(bytes.substr(3));
  shutdown(socket.fd, SHUT_WR);
  while (!socket.receive().empty()) {
  }
}

// Connections through the relay and their handshakes are counted in the bare client's test.
TEST(LatencyRelay, CountsAsHandshakesOnlyConnectionsOpeningWithAClientHello) {
  test_support::TestServer server;
  LatencyRelay relay(std::stoi(server.origin().substr(server.origin().rfind(':') + 1)), 10ms);
  sendAndAwaitClose(relay.port(), "GET / HTTP/1.1\r\n\r\n");
  sendAndAwaitClose(relay.port(), std::string("\x16\x03\x01\x00\x40\x01", 6));
  sendAndAwaitClose(relay.port(), std::string("\x16\x03\x01\x00\x40\x02", 6));  // not a hello
  EXPECT_EQ(relay.counts().connections, 3u);
  EXPECT_EQ(relay.counts().tlsHandshakes, 1u);
}

}  // namespace
}  // namespace korvani::bench
